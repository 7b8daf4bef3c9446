// The built user executables as the kernel's loader will meet them: ELF64
// executables at 0x400000 with the segment layout each kind of program needs,
// the entry at _start, the heap start past every loaded byte, and the images
// the kernel embeds identical to the files.
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "user_images.h"

namespace {

struct elf_header {
    uint8_t ident[16];
    uint16_t type;
    uint16_t machine;
    uint32_t version;
    uint64_t entry;
    uint64_t phoff;
    uint64_t shoff;
    uint32_t flags;
    uint16_t ehsize;
    uint16_t phentsize;
    uint16_t phnum;
    uint16_t shentsize;
    uint16_t shnum;
    uint16_t shstrndx;
};
static_assert(sizeof(elf_header) == 64);
static_assert(offsetof(elf_header, entry) == 24 && offsetof(elf_header, phnum) == 56);

struct program_header {
    uint32_t type;
    uint32_t flags;
    uint64_t offset;
    uint64_t vaddr;
    uint64_t paddr;
    uint64_t filesz;
    uint64_t memsz;
    uint64_t align;
};
static_assert(sizeof(program_header) == 56);

struct section_header {
    uint32_t name;
    uint32_t type;
    uint64_t flags;
    uint64_t addr;
    uint64_t offset;
    uint64_t size;
    uint32_t link;
    uint32_t info;
    uint64_t addralign;
    uint64_t entsize;
};
static_assert(sizeof(section_header) == 64);

struct symbol {
    uint32_t name;
    uint8_t info;
    uint8_t other;
    uint16_t shndx;
    uint64_t value;
    uint64_t size;
};
static_assert(sizeof(symbol) == 24);

constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PF_X = 1, PF_W = 2, PF_R = 4;
constexpr uint32_t SHT_SYMTAB = 2;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t EM_X86_64 = 62;
constexpr uint64_t BASE = 0x400000;
constexpr uint64_t PAGE = 0x1000;
// Every carried program must fit the 2 MiB page at 0x400000: the launch path
// opens that page, and the heap starts right after the image inside it.
constexpr uint64_t FIRST_PAGE_END = 0x600000;
constexpr uint64_t USER_STACK_BASE = 0x10000000;

// One executable read from the build tree, every read bounds-checked.
class elf_file {
public:
    explicit elf_file(const std::string& relative) : path_(std::string(TARVELIN_BINARY_DIR) + "/" + relative) {
        std::ifstream in(path_, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    const std::string& path() const { return path_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

    template <typename T>
    std::optional<T> read(uint64_t offset) const {
        if (offset > bytes_.size() || sizeof(T) > bytes_.size() - offset) {
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    std::optional<elf_header> header() const { return read<elf_header>(0); }

    std::vector<program_header> segments() const {
        std::vector<program_header> list;
        const auto h = header();
        if (!h) {
            return list;
        }
        for (uint16_t i = 0; i < h->phnum; ++i) {
            const auto ph = read<program_header>(h->phoff + uint64_t{i} * h->phentsize);
            if (ph) {
                list.push_back(*ph);
            }
        }
        return list;
    }

    // The value of a symbol from the static symbol table, if present.
    std::optional<uint64_t> symbol_value(const std::string& wanted) const {
        const auto h = header();
        if (!h) {
            return std::nullopt;
        }
        for (uint16_t i = 0; i < h->shnum; ++i) {
            const auto sh = read<section_header>(h->shoff + uint64_t{i} * h->shentsize);
            if (!sh || sh->type != SHT_SYMTAB || sh->entsize != sizeof(symbol)) {
                continue;
            }
            const auto strtab = read<section_header>(h->shoff + uint64_t{sh->link} * h->shentsize);
            if (!strtab) {
                return std::nullopt;
            }
            for (uint64_t k = 0; k < sh->size / sizeof(symbol); ++k) {
                const auto sym = read<symbol>(sh->offset + k * sizeof(symbol));
                if (sym && name_at(strtab->offset + sym->name, strtab->offset + strtab->size) == wanted) {
                    return sym->value;
                }
            }
        }
        return std::nullopt;
    }

    // `count` bytes at the file offset that holds virtual address `vaddr`.
    std::string bytes_at(uint64_t vaddr, uint64_t count) const {
        for (const auto& ph : segments()) {
            if (ph.type == PT_LOAD && vaddr >= ph.vaddr && vaddr - ph.vaddr < ph.filesz &&
                count <= ph.filesz - (vaddr - ph.vaddr)) {
                const uint64_t off = ph.offset + (vaddr - ph.vaddr);
                if (off <= bytes_.size() && count <= bytes_.size() - off) {
                    return std::string(reinterpret_cast<const char*>(bytes_.data() + off), count);
                }
            }
        }
        return {};
    }

private:
    std::string name_at(uint64_t offset, uint64_t limit) const {
        std::string s;
        for (; offset < limit && offset < bytes_.size() && bytes_[offset] != 0; ++offset) {
            s += static_cast<char>(bytes_[offset]);
        }
        return s;
    }

    std::string path_;
    std::vector<uint8_t> bytes_;
};

std::string flags_text(uint32_t flags) {
    return std::string(flags & PF_R ? "R" : "-") + (flags & PF_W ? "W" : "-") + (flags & PF_X ? "E" : "-");
}

// What holds for every carried executable: a static x86-64 executable whose
// loaded segments are all PT_LOAD, in address order without overlap, inside
// the first user page, with offsets congruent to addresses modulo 4 KiB and
// the code starting at 0x400000 from file offset 0x1000.
void check_common(const elf_file& f) {
    SCOPED_TRACE(f.path());
    const auto h = f.header();
    ASSERT_TRUE(h.has_value()) << "missing or shorter than an ELF header";
    EXPECT_EQ(std::memcmp(h->ident, "\x7f" "ELF", 4), 0);
    EXPECT_EQ(h->ident[4], 2);  // 64-bit
    EXPECT_EQ(h->ident[5], 1);  // little-endian
    EXPECT_EQ(h->type, ET_EXEC);
    EXPECT_EQ(h->machine, EM_X86_64);
    EXPECT_EQ(h->phentsize, sizeof(program_header));

    const auto segs = f.segments();
    ASSERT_EQ(segs.size(), h->phnum) << "program header table runs past the file";
    uint64_t previous_end = BASE;
    for (const auto& ph : segs) {
        EXPECT_EQ(ph.type, PT_LOAD) << "only loadable segments: no interpreter, no dynamic section";
        EXPECT_EQ(ph.offset % PAGE, ph.vaddr % PAGE);
        EXPECT_GE(ph.vaddr, previous_end);
        EXPECT_LE(ph.filesz, ph.memsz);
        EXPECT_LE(ph.offset + ph.filesz, f.bytes().size());
        EXPECT_LE(ph.vaddr + ph.memsz, FIRST_PAGE_END);
        previous_end = ph.vaddr + ph.memsz;
    }
    ASSERT_FALSE(segs.empty());
    EXPECT_EQ(segs[0].vaddr, BASE);
    EXPECT_EQ(segs[0].offset, PAGE);
    EXPECT_EQ(flags_text(segs[0].flags).back(), 'E');

    const auto start = f.symbol_value("_start");
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(h->entry, *start);
    EXPECT_GE(h->entry, segs[0].vaddr);
    EXPECT_LT(h->entry, segs[0].vaddr + segs[0].filesz);
}

// Programs with the runtime: the heap begins at _end, which must lie at or past
// the last loaded byte, zero-initialised data included.
void check_heap_start(const elf_file& f) {
    SCOPED_TRACE(f.path());
    const auto end = f.symbol_value("_end");
    ASSERT_TRUE(end.has_value());
    const auto segs = f.segments();
    ASSERT_FALSE(segs.empty());
    EXPECT_GE(*end, segs.back().vaddr + segs.back().memsz);
    EXPECT_LT(*end, USER_STACK_BASE);
}

void check_three_segments(const std::string& relative) {
    const elf_file f(relative);
    check_common(f);
    check_heap_start(f);
    const auto segs = f.segments();
    ASSERT_EQ(segs.size(), 3u) << relative;
    EXPECT_EQ(flags_text(segs[0].flags), "R-E") << relative;
    EXPECT_EQ(flags_text(segs[1].flags), "R--") << relative;
    EXPECT_EQ(flags_text(segs[2].flags), "RW-") << relative;
    for (const auto& ph : segs) {
        EXPECT_EQ(ph.vaddr % PAGE, 0u) << relative << ": segments start on their own page";
        EXPECT_EQ(ph.align, PAGE) << relative;
    }
}

void check_raw(const std::string& relative) {
    const elf_file f(relative);
    check_common(f);
    const auto segs = f.segments();
    ASSERT_EQ(segs.size(), 2u) << relative;
    EXPECT_EQ(flags_text(segs[0].flags), "R-E") << relative;
    EXPECT_EQ(flags_text(segs[1].flags), "R--") << relative;
    EXPECT_EQ(segs[1].filesz, 4u) << relative;
    EXPECT_EQ(segs[1].memsz, 4u) << relative;
    EXPECT_EQ(segs[1].vaddr, segs[0].vaddr + segs[0].memsz) << relative << ": message right after the code";
    EXPECT_EQ(f.bytes_at(segs[1].vaddr, 4), "OK!\n") << relative;
}

struct embedded {
    const char* file;
    const uint8_t* image;
    uint32_t length;
};

}  // namespace

TEST(user_images, applications_have_code_rodata_and_data_segments) {
    for (const char* app : {"fibonacci", "primes", "ascii", "matrix", "guess", "sort"}) {
        check_three_segments(std::string("applications/") + app + ".elf");
    }
}

TEST(user_images, guess_keeps_its_generator_state_in_initialised_data) {
    const elf_file f("applications/guess.elf");
    const auto state = f.symbol_value("rng_state");
    ASSERT_TRUE(state.has_value());
    const auto segs = f.segments();
    ASSERT_EQ(segs.size(), 3u);
    // In the file part of the writable segment, holding 12345.
    const std::string bytes = f.bytes_at(*state, 8);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_GE(*state, segs[2].vaddr);
    uint64_t value = 0;
    std::memcpy(&value, bytes.data(), 8);
    EXPECT_EQ(value, 12345u);
}

TEST(user_images, hello_v2_and_test_prog_use_the_application_layout) {
    check_three_segments("hello_v2.elf");
    check_three_segments("test_prog.elf");
}

TEST(user_images, hello_v2_enters_through_its_own_routine) {
    const elf_file f("hello_v2.elf");
    const auto h = f.header();
    ASSERT_TRUE(h.has_value());
    // mov $0x10010000, %rsp
    EXPECT_EQ(f.bytes_at(h->entry, 7), std::string("\x48\xc7\xc4\x00\x00\x01\x10", 7));
}

TEST(user_images, hello_is_one_read_write_execute_segment) {
    const elf_file f("hello.elf");
    check_common(f);
    check_heap_start(f);
    const auto segs = f.segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(flags_text(segs[0].flags), "RWE");
    // The same greeting as hello_v2, from the same main.
    const auto h = f.header();
    ASSERT_TRUE(h.has_value());
    EXPECT_NE(f.bytes_at(h->entry, 7), std::string("\x48\xc7\xc4\x00\x00\x01\x10", 7));
}

TEST(user_images, raw_programs_are_code_then_a_four_byte_message) {
    check_raw("raw_test.elf");
    check_raw("raw_stack_test.elf");
}

TEST(user_images, test_kernel_programs_load_in_the_first_user_page) {
    for (const char* name : {"test_spin.elf", "test_hlt.elf"}) {
        const elf_file f(name);
        check_common(f);
        const auto segs = f.segments();
        ASSERT_EQ(segs.size(), 2u) << name;
        EXPECT_EQ(flags_text(segs[1].flags), "R--") << name;
        EXPECT_GT(segs[1].memsz, 0u) << name;
        EXPECT_EQ(segs[1].vaddr % PAGE, 0u) << name;
    }
}

TEST(user_images, embedded_images_equal_the_built_files) {
    const embedded images[] = {
        {"applications/fibonacci.elf", build_applications_fibonacci_elf, build_applications_fibonacci_elf_len},
        {"applications/primes.elf", build_applications_primes_elf, build_applications_primes_elf_len},
        {"applications/ascii.elf", build_applications_ascii_elf, build_applications_ascii_elf_len},
        {"applications/matrix.elf", build_applications_matrix_elf, build_applications_matrix_elf_len},
        {"applications/guess.elf", build_applications_guess_elf, build_applications_guess_elf_len},
        {"applications/sort.elf", build_applications_sort_elf, build_applications_sort_elf_len},
        {"raw_test.elf", build_raw_test_elf, build_raw_test_elf_len},
        {"raw_stack_test.elf", build_raw_stack_test_elf, build_raw_stack_test_elf_len},
        {"hello_v2.elf", build_hello_v2_elf, build_hello_v2_elf_len},
        {"hello.elf", hello_elf_data, hello_elf_data_len},
        {"test_prog.elf", build_test_prog_elf, build_test_prog_elf_len},
    };
    for (const auto& e : images) {
        const elf_file f(e.file);
        ASSERT_FALSE(f.bytes().empty()) << e.file;
        ASSERT_EQ(e.length, f.bytes().size()) << e.file;
        EXPECT_EQ(std::memcmp(e.image, f.bytes().data(), e.length), 0) << e.file;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(e.image) % 16, 0u) << e.file;
    }
}
