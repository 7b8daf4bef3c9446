// The ELF64 loader, fed crafted images and the real user programs: what it
// prints, what it returns and exactly which bytes of physical memory it writes.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "elf.h"
#include "host_env.h"
#include "layout.h"

namespace {

constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_GNU_STACK = 0x6474E551;
constexpr uint32_t PF_X = 1, PF_W = 2, PF_R = 4;
constexpr uint64_t NO_START = ~0ull;

// Sentinel bytes: what memory held before a load, so every byte the loader
// writes, and every byte it should not have, can be told apart.
constexpr uint8_t OUTSIDE = 0x5A;   // around the user image area
constexpr uint8_t INSIDE = 0xA5;    // the user image area itself

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIX64, v);
    return buf;
}

template <typename T>
void put(std::vector<uint8_t>& bytes, uint64_t off, T value) {
    if (bytes.size() < off + sizeof value) bytes.resize(off + sizeof value);
    std::memcpy(bytes.data() + off, &value, sizeof value);
}

template <typename T>
T get(const std::vector<uint8_t>& bytes, uint64_t off) {
    T value;
    std::memcpy(&value, bytes.data() + off, sizeof value);
    return value;
}

// Builds an ELF64 image: header, program header table at e_phoff with stride
// e_phentsize, segment contents from DATA_START on. Header fields can be bent
// after build() with put<>().
struct elf_builder {
    static constexpr uint64_t DATA_START = 0x400;

    struct phdr {
        uint32_t type, flags;
        uint64_t offset, vaddr, filesz, memsz;
    };

    uint64_t entry = 0x400000;
    uint64_t phoff = 64;
    uint16_t phentsize = 56;
    std::vector<phdr> phdrs;
    std::vector<uint8_t> data;

    // Appends file contents; returns their file offset.
    uint64_t add_data(const std::vector<uint8_t>& bytes) {
        const uint64_t off = DATA_START + data.size();
        data.insert(data.end(), bytes.begin(), bytes.end());
        return off;
    }
    elf_builder& load(uint32_t flags, uint64_t offset, uint64_t vaddr, uint64_t filesz, uint64_t memsz) {
        phdrs.push_back({PT_LOAD, flags, offset, vaddr, filesz, memsz});
        return *this;
    }
    elf_builder& other(uint32_t type) {
        phdrs.push_back({type, PF_R | PF_W, 0, 0, 0, 0});
        return *this;
    }
    std::vector<uint8_t> build() const {
        std::vector<uint8_t> b(64, 0);
        const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
        std::memcpy(b.data(), ident, sizeof ident);
        put<uint16_t>(b, 16, 2);   // ET_EXEC
        put<uint16_t>(b, 18, 62);  // EM_X86_64
        put<uint32_t>(b, 20, 1);
        put<uint64_t>(b, 24, entry);
        put<uint64_t>(b, 32, phoff);
        put<uint16_t>(b, 52, 64);
        put<uint16_t>(b, 54, phentsize);
        put<uint16_t>(b, 56, static_cast<uint16_t>(phdrs.size()));
        for (size_t i = 0; i < phdrs.size(); ++i) {
            const uint64_t at = phoff + i * phentsize;
            const phdr& p = phdrs[i];
            put(b, at + 0, p.type);
            put(b, at + 4, p.flags);
            put(b, at + 8, p.offset);
            put(b, at + 16, p.vaddr);
            put(b, at + 24, p.vaddr);  // p_paddr
            put(b, at + 32, p.filesz);
            put(b, at + 40, p.memsz);
            put<uint64_t>(b, at + 48, 0x1000);
            if (b.size() < at + phentsize) b.resize(at + phentsize);
        }
        if (!data.empty()) {
            if (b.size() < DATA_START) b.resize(DATA_START);
            b.insert(b.end(), data.begin(), data.end());
        }
        return b;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class elf : public host_test {
protected:
    // Regions watched around the user image area: the kernel image, the 64 KiB
    // below the area, the 64 KiB above it and the user stack.
    struct region {
        uint64_t addr, len;
    };
    static constexpr region WATCHED[] = {
        {KERNEL_LOAD_ADDR, 0x2000},
        {USER_IMAGE_BASE - 0x10000, 0x10000},
        {USER_IMAGE_END, 0x10000},
        {USER_STACK_BASE, 0x2000},
    };

    void SetUp() override {
        host_test::SetUp();
        fill_sentinels();
    }
    static void fill_sentinels() {
        for (const region& r : WATCHED) std::memset(fake_phys::at(r.addr), OUTSIDE, r.len);
        std::memset(fake_phys::at(USER_IMAGE_BASE), INSIDE, USER_IMAGE_END - USER_IMAGE_BASE);
    }

    static bool all(uint64_t addr, uint64_t len, uint8_t value) {
        const uint8_t* p = fake_phys::at(addr);
        for (uint64_t i = 0; i < len; ++i)
            if (p[i] != value) return false;
        return true;
    }
    static std::vector<uint8_t> mem(uint64_t addr, uint64_t len) {
        const uint8_t* p = fake_phys::at(addr);
        return std::vector<uint8_t>(p, p + len);
    }
    // Nothing around the user image area was written.
    static void expect_outside_untouched() {
        for (const region& r : WATCHED) EXPECT_TRUE(all(r.addr, r.len, OUTSIDE)) << "at 0x" << hex(r.addr);
    }
    // Nothing was written anywhere.
    static void expect_nothing_written() {
        expect_outside_untouched();
        EXPECT_TRUE(all(USER_IMAGE_BASE, USER_IMAGE_END - USER_IMAGE_BASE, INSIDE));
    }

    int validate(const std::vector<uint8_t>& img) { return elf64_validate(img.data(), static_cast<uint32_t>(img.size())); }
    elf64_load_result load(const std::vector<uint8_t>& img) { return elf64_load(img.data(), static_cast<uint32_t>(img.size())); }

    // A load that must be refused after the two header lines and `lines`,
    // with an empty result and no byte written.
    void expect_refused(const std::vector<uint8_t>& img, const std::string& lines) {
        const elf64_load_result r = load(img);
        EXPECT_EQ(r.success, 0u);
        EXPECT_EQ(r.entry, get<uint64_t>(img, 24));
        EXPECT_EQ(r.load_start, NO_START);
        EXPECT_EQ(r.load_end, 0u);
        EXPECT_EQ(serial(), "[elf] Entry point: 0x" + hex(get<uint64_t>(img, 24)) + "\n[elf] Program headers: " +
                                std::to_string(get<uint16_t>(img, 56)) + "\n" + lines);
        expect_nothing_written();
    }

    static std::string load_line(int i, uint64_t vaddr, uint64_t filesz, uint64_t memsz, const char* flags) {
        return "[elf] PT_LOAD[" + std::to_string(i) + "]: vaddr=0x" + hex(vaddr) + " filesz=0x" + hex(filesz) +
               " memsz=0x" + hex(memsz) + " flags=" + flags + "\n";
    }
};

// A minimal valid image: one R-E segment of 0x20 bytes at 0x400000.
std::vector<uint8_t> one_segment_image() {
    elf_builder b;
    const uint64_t off = b.add_data(pattern(0x20, 1));
    b.load(PF_R | PF_X, off, 0x400000, 0x20, 0x20);
    return b.build();
}

TEST_F(elf, validation_failures_in_their_order) {
    std::vector<uint8_t> img = one_segment_image();

    EXPECT_EQ(elf64_validate(img.data(), 63), -1);
    EXPECT_EQ(serial(), "[elf] File too small for ELF header\n");
    EXPECT_EQ(elf64_validate(img.data(), 0), -1);
    EXPECT_EQ(serial(), "[elf] File too small for ELF header\n");

    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> bad = img;
        bad[i] ^= 0x20;
        bad[4] = 1;  // the magic is looked at before the class
        EXPECT_EQ(validate(bad), -1);
        EXPECT_EQ(serial(), "[elf] Bad ELF magic\n") << "byte " << i;
    }

    std::vector<uint8_t> bad = img;
    bad[4] = 1;                     // ELFCLASS32
    bad[5] = 2;                     // and big-endian, and a shared object
    put<uint16_t>(bad, 16, 3);
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Not a 64-bit ELF (class=1)\n");

    bad = img;
    bad[5] = 2;                     // big-endian: its type and machine read byte-swapped
    put<uint16_t>(bad, 16, 0x0200);
    put<uint16_t>(bad, 18, 0x3E00);
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Not little-endian\n");

    bad = img;
    put<uint16_t>(bad, 16, 3);      // ET_DYN
    put<uint16_t>(bad, 18, 3);
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Not an executable (type=3)\n");

    bad = img;
    put<uint16_t>(bad, 18, 3);      // EM_386
    put<uint64_t>(bad, 32, 0x10000);  // and a table far outside
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Not x86-64 (machine=3)\n");

    bad = img;
    put<uint64_t>(bad, 32, img.size() - 55);
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");

    bad = img;
    put<uint16_t>(bad, 54, 1);      // a short entry size, but the table is out first
    put<uint64_t>(bad, 32, img.size());
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");

    bad = img;
    put<uint16_t>(bad, 54, 55);     // entries too short to hold a program header
    EXPECT_EQ(validate(bad), -1);
    EXPECT_EQ(serial(), "[elf] Program header entry too small (phentsize=55)\n");

    EXPECT_EQ(validate(img), 0);
    EXPECT_EQ(serial(), "");
}

TEST_F(elf, program_header_table_bounds) {
    // One header whose table ends exactly at the last byte of the image.
    elf_builder b;
    b.other(PT_GNU_STACK);
    std::vector<uint8_t> img = b.build();
    ASSERT_EQ(img.size(), 64u + 56u);
    EXPECT_EQ(validate(img), 0);
    EXPECT_EQ(elf64_validate(img.data(), static_cast<uint32_t>(img.size() - 1)), -1);
    EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");

    // A wider stride counts in full: 2 entries of 64 bytes need 128.
    b.phentsize = 64;
    b.other(PT_GNU_STACK);
    img = b.build();
    ASSERT_EQ(img.size(), 64u + 128u);
    EXPECT_EQ(validate(img), 0);
    EXPECT_EQ(elf64_validate(img.data(), static_cast<uint32_t>(img.size() - 1)), -1);
    EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");

    // Offsets that would wrap to a small sum if added first.
    for (uint64_t phoff : {~0ull - 55 + 1, ~0ull - 0x10, 0x8000000000000000ull, 0x100000000ull}) {
        img = one_segment_image();
        put<uint64_t>(img, 32, phoff);
        EXPECT_EQ(validate(img), -1) << "phoff 0x" << hex(phoff);
        EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");
    }

    // A bare 64-byte header with no program headers passes, whatever the
    // (unused) entry size, as long as the offset is within the header.
    for (uint64_t phoff : {0ull, 64ull}) {
        elf_builder bare;
        bare.phoff = phoff;
        bare.phentsize = 0;
        img = bare.build();
        ASSERT_EQ(img.size(), 64u);
        EXPECT_EQ(validate(img), 0);
    }
    img = elf_builder{}.build();
    put<uint64_t>(img, 32, 65);
    EXPECT_EQ(validate(img), -1);
    EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");
}

TEST_F(elf, failed_validation_returns_empty_result_and_touches_nothing) {
    std::vector<uint8_t> img = one_segment_image();
    put<uint16_t>(img, 18, 40);  // ARM
    const elf64_load_result r = load(img);
    EXPECT_EQ(r.entry, 0u);
    EXPECT_EQ(r.load_start, NO_START);
    EXPECT_EQ(r.load_end, 0u);
    EXPECT_EQ(r.success, 0u);
    EXPECT_EQ(serial(), "[elf] Not x86-64 (machine=40)\n");
    expect_nothing_written();
}

TEST_F(elf, loads_three_segments_with_exact_lines_and_bytes) {
    elf_builder b;
    b.entry = 0x400010;
    const std::vector<uint8_t> text = pattern(0x1A3, 3), rodata = pattern(0x40, 9), data = pattern(0x10, 200);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.load(PF_R, b.add_data(rodata), 0x401000, rodata.size(), rodata.size());
    b.load(PF_R | PF_W, b.add_data(data), 0x402000, data.size(), 0x1C);
    const std::vector<uint8_t> img = b.build();

    const elf64_load_result r = load(img);
    EXPECT_EQ(serial(),
              "[elf] Entry point: 0x400010\n"
              "[elf] Program headers: 3\n"
              "[elf] PT_LOAD[0]: vaddr=0x400000 filesz=0x1A3 memsz=0x1A3 flags=R-E\n"
              "[elf] PT_LOAD[1]: vaddr=0x401000 filesz=0x40 memsz=0x40 flags=R--\n"
              "[elf] PT_LOAD[2]: vaddr=0x402000 filesz=0x10 memsz=0x1C flags=RW-\n"
              "[elf] Loaded at 0x400000 - 0x40201C, entry at 0x400010\n");
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.entry, 0x400010u);
    EXPECT_EQ(r.load_start, 0x400000u);
    EXPECT_EQ(r.load_end, 0x40201Cu);

    EXPECT_EQ(mem(0x400000, text.size()), text);
    EXPECT_TRUE(all(0x400000 + text.size(), 0x1000 - text.size(), INSIDE));  // gap left alone
    EXPECT_EQ(mem(0x401000, rodata.size()), rodata);
    EXPECT_EQ(mem(0x402000, data.size()), data);
    EXPECT_TRUE(all(0x402010, 0xC, 0));          // the zero-initialised tail
    EXPECT_TRUE(all(0x40201C, 0x100, INSIDE));   // one past the segment
    expect_outside_untouched();
}

TEST_F(elf, reads_an_unaligned_image_and_a_wider_header_stride) {
    elf_builder b;
    b.phentsize = 64;
    b.entry = 0x400004;
    const std::vector<uint8_t> text = pattern(0x30, 77), data = pattern(0x8, 1);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.other(PT_GNU_STACK);
    b.load(PF_R | PF_W, b.add_data(data), 0x401000, data.size(), data.size());
    const std::vector<uint8_t> img = b.build();
    std::vector<uint8_t> shifted(img.size() + 3);
    std::memcpy(shifted.data() + 3, img.data(), img.size());
    const uint8_t* odd = shifted.data() + 3;

    EXPECT_EQ(elf64_get_entry(odd), 0x400004u);
    const elf64_load_result r = elf64_load(odd, static_cast<uint32_t>(img.size()));
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(mem(0x400000, text.size()), text);
    EXPECT_EQ(mem(0x401000, data.size()), data);
    EXPECT_EQ(serial(),
              "[elf] Entry point: 0x400004\n"
              "[elf] Program headers: 3\n"
              "[elf] PT_LOAD[0]: vaddr=0x400000 filesz=0x30 memsz=0x30 flags=R-E\n"
              "[elf] PT_LOAD[2]: vaddr=0x401000 filesz=0x8 memsz=0x8 flags=RW-\n"
              "[elf] Loaded at 0x400000 - 0x401008, entry at 0x400004\n");
}

TEST_F(elf, non_load_headers_are_silent_and_keep_indices) {
    elf_builder b;
    const std::vector<uint8_t> text = pattern(0x20, 5);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.other(PT_GNU_STACK);
    b.load(PF_R | PF_W, 0, 0x401000, 0, 0x1C);  // zero-initialised data: nothing copied
    b.load(PF_R | PF_W, b.add_data({0x42}), 0x402000, 1, 8);  // one byte and a zero tail
    const elf64_load_result r = load(b.build());
    EXPECT_EQ(serial(),
              "[elf] Entry point: 0x400000\n"
              "[elf] Program headers: 4\n"
              "[elf] PT_LOAD[0]: vaddr=0x400000 filesz=0x20 memsz=0x20 flags=R-E\n"
              "[elf] PT_LOAD[2]: vaddr=0x401000 filesz=0x0 memsz=0x1C flags=RW-\n"
              "[elf] PT_LOAD[3]: vaddr=0x402000 filesz=0x1 memsz=0x8 flags=RW-\n"
              "[elf] Loaded at 0x400000 - 0x402008, entry at 0x400000\n");
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.load_end, 0x402008u);
    EXPECT_TRUE(all(0x401000, 0x1C, 0));
    EXPECT_TRUE(all(0x40101C, 0x10, INSIDE));
    EXPECT_EQ(*fake_phys::at(0x402000), 0x42);
    EXPECT_TRUE(all(0x402001, 7, 0));
    EXPECT_TRUE(all(0x402008, 0x10, INSIDE));
    EXPECT_EQ(mem(0x400000, text.size()), text);
}

TEST_F(elf, load_range_spans_all_segments_in_any_order) {
    // Headers out of address order, the last one starting exactly where an
    // earlier one ends: the range is the lowest start and the highest end.
    elf_builder b;
    b.entry = 0x400800;
    const std::vector<uint8_t> a = pattern(0x10, 1), t = pattern(0x20, 2), d = pattern(0x8, 3);
    b.load(PF_R, b.add_data(a), 0x401000, a.size(), a.size());
    b.load(PF_R | PF_X, b.add_data(t), 0x400000, t.size(), 0x1000);
    b.load(PF_R | PF_W, b.add_data(d), 0x401010, d.size(), 0x20);
    const elf64_load_result r = load(b.build());
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.load_start, 0x400000u);
    EXPECT_EQ(r.load_end, 0x401030u);
    EXPECT_NE(serial().find("[elf] Loaded at 0x400000 - 0x401030, entry at 0x400800\n"), std::string::npos);
    EXPECT_EQ(mem(0x401000, a.size()), a);
    EXPECT_EQ(mem(0x400000, t.size()), t);
    EXPECT_TRUE(all(0x400000 + t.size(), 0x1000 - t.size(), 0));
    EXPECT_EQ(mem(0x401010, d.size()), d);
    EXPECT_TRUE(all(0x401018, 0x18, 0));
    EXPECT_TRUE(all(0x401030, 0x10, INSIDE));
}

TEST_F(elf, segment_past_end_of_file_is_refused_before_anything_is_copied) {
    elf_builder b;
    const std::vector<uint8_t> text = pattern(0x20, 5);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.load(PF_R | PF_W, b.add_data(pattern(0x10, 1)), 0x401000, 0x11, 0x20);  // one byte short
    expect_refused(b.build(), load_line(0, 0x400000, 0x20, 0x20, "R-E") + load_line(1, 0x401000, 0x11, 0x20, "RW-") +
                                  "[elf] Segment extends beyond file\n");
    // The same segment ending exactly at the end of the file loads.
    b.phdrs[1].filesz = 0x10;
    EXPECT_EQ(load(b.build()).success, 1u);
}

TEST_F(elf, wrapping_segment_offset_is_refused) {
    // p_offset + p_filesz wraps to 0x10: a sum checked after adding would pass.
    elf_builder b;
    b.load(PF_R | PF_X, b.add_data(pattern(0x20, 5)), 0x400000, 0x20, 0x20);
    b.load(PF_R | PF_W, ~0ull - 0xF, 0x401000, 0x20, 0x20);
    expect_refused(b.build(), load_line(0, 0x400000, 0x20, 0x20, "R-E") +
                                  load_line(1, 0x401000, 0x20, 0x20, "RW-") + "[elf] Segment extends beyond file\n");
}

TEST_F(elf, segments_outside_the_user_image_area_are_refused) {
    struct placement {
        uint64_t vaddr, memsz;
    };
    const placement outside[] = {
        {0x3FF000, 0x2000},                   // starts below the area
        {0x3FFFFF, 0x1},                      // the byte just below it
        {0x7FF000, 0x1001},                   // straddles its end
        {0x800000, 0x10},                     // just above it
        {USER_STACK_BASE, 0x100},             // the user stack
        {KERNEL_LOAD_ADDR, 0x100},            // the kernel image
        {0x400000, ~0ull - 0x1FFFFF},         // vaddr + memsz wraps to 0x200000
        {~0ull - 0xFFF, 0x2000},              // vaddr + memsz wraps to 0x1000
    };
    for (const placement& p : outside) {
        SCOPED_TRACE("vaddr 0x" + hex(p.vaddr) + " memsz 0x" + hex(p.memsz));
        elf_builder b;
        b.load(PF_R | PF_X, b.add_data(pattern(0x20, 5)), 0x400000, 0x20, 0x20);
        b.load(PF_R | PF_W, b.add_data(pattern(0x10, 1)), p.vaddr, 0x1, p.memsz);
        expect_refused(b.build(), load_line(0, 0x400000, 0x20, 0x20, "R-E") +
                                      load_line(1, p.vaddr, 0x1, p.memsz, "RW-") +
                                      "[elf] Segment outside user image area 0x400000-0x7FFFFF\n");
    }

    // The whole area is usable, up to its last byte.
    elf_builder b;
    b.entry = 0x7FFFFF;
    b.load(PF_R | PF_X, b.add_data(pattern(0x10, 5)), 0x400000, 0x10, USER_IMAGE_END - USER_IMAGE_BASE);
    const elf64_load_result r = load(b.build());
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.load_end, USER_IMAGE_END);
    EXPECT_TRUE(all(0x400010, USER_IMAGE_END - 0x400010, 0));
    expect_outside_untouched();
}

TEST_F(elf, file_size_beyond_memory_size_is_refused) {
    elf_builder b;
    b.load(PF_R | PF_X, b.add_data(pattern(0x20, 5)), 0x400000, 0x20, 0x1F);
    expect_refused(b.build(), load_line(0, 0x400000, 0x20, 0x1F, "R-E") +
                                  "[elf] Segment file size exceeds its memory size\n");
}

TEST_F(elf, image_without_loadable_segment_is_refused) {
    expect_refused(elf_builder{}.build(), "[elf] No loadable segment\n");
    elf_builder b;
    b.other(PT_GNU_STACK).other(4 /* PT_NOTE */);
    expect_refused(b.build(), "[elf] No loadable segment\n");
}

TEST_F(elf, entry_point_must_lie_in_an_executable_segment) {
    const std::vector<uint8_t> text = pattern(0x20, 5);
    struct case_ {
        uint64_t entry;
        bool accepted;
    };
    // Text at 0x400000-0x40001F (R-E), data at 0x401000-0x40103F (RW-).
    const case_ cases[] = {
        {0x400000, true}, {0x40001F, true}, {0x400020, false},
        {0x3FFFFF, false}, {0x401000, false}, {0, false},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE("entry 0x" + hex(c.entry));
        fill_sentinels();
        elf_builder b;
        b.entry = c.entry;
        b.load(PF_R | PF_X, b.add_data(text), 0x400000, 0x20, 0x20);
        b.load(PF_R | PF_W, b.add_data(pattern(0x40, 1)), 0x401000, 0x40, 0x40);
        const std::vector<uint8_t> img = b.build();
        if (c.accepted) {
            EXPECT_EQ(load(img).success, 1u);
            serial();
        } else {
            expect_refused(img, load_line(0, 0x400000, 0x20, 0x20, "R-E") + load_line(1, 0x401000, 0x40, 0x40, "RW-") +
                                    "[elf] Entry point 0x" + hex(c.entry) + " is not in an executable segment\n");
        }
    }
}

// The real user programs, when the build has produced them.
class elf_program : public elf, public ::testing::WithParamInterface<const char*> {};

TEST_P(elf_program, loads_with_its_lines_and_bytes) {
    const std::string name = GetParam();
    std::ifstream in(std::string(TARVELIN_BINARY_DIR) + "/" + name, std::ios::binary);
    // The build makes every program before the tests run: a missing one is a fault.
    ASSERT_TRUE(in) << name << " has not been built";
    const std::vector<uint8_t> img((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(img.size(), 64u);

    // Read the program headers here, independently, to know what must happen.
    const uint64_t entry = get<uint64_t>(img, 24), phoff = get<uint64_t>(img, 32);
    const uint16_t phentsize = get<uint16_t>(img, 54), phnum = get<uint16_t>(img, 56);
    std::string expected = "[elf] Entry point: 0x" + hex(entry) + "\n[elf] Program headers: " +
                           std::to_string(phnum) + "\n";
    uint64_t low = NO_START, high = 0;
    for (int i = 0; i < phnum; ++i) {
        const uint64_t at = phoff + static_cast<uint64_t>(i) * phentsize;
        if (get<uint32_t>(img, at) != PT_LOAD) continue;
        const uint32_t flags = get<uint32_t>(img, at + 4);
        const uint64_t vaddr = get<uint64_t>(img, at + 16), filesz = get<uint64_t>(img, at + 32),
                       memsz = get<uint64_t>(img, at + 40);
        const char letters[] = {(flags & PF_R) ? 'R' : '-', (flags & PF_W) ? 'W' : '-', (flags & PF_X) ? 'E' : '-', 0};
        expected += load_line(i, vaddr, filesz, memsz, letters);
        low = std::min(low, vaddr);
        high = std::max(high, vaddr + memsz);
    }
    expected += "[elf] Loaded at 0x" + hex(low) + " - 0x" + hex(high) + ", entry at 0x" + hex(entry) + "\n";

    const elf64_load_result r = load(img);
    EXPECT_EQ(serial(), expected);
    ASSERT_EQ(r.success, 1u);
    EXPECT_EQ(r.entry, entry);
    EXPECT_EQ(r.load_start, low);
    EXPECT_EQ(r.load_end, high);
    EXPECT_GE(low, USER_IMAGE_BASE);
    EXPECT_LE(high, USER_IMAGE_END);

    for (int i = 0; i < phnum; ++i) {
        const uint64_t at = phoff + static_cast<uint64_t>(i) * phentsize;
        if (get<uint32_t>(img, at) != PT_LOAD) continue;
        const uint64_t offset = get<uint64_t>(img, at + 8), vaddr = get<uint64_t>(img, at + 16),
                       filesz = get<uint64_t>(img, at + 32), memsz = get<uint64_t>(img, at + 40);
        EXPECT_EQ(mem(vaddr, filesz), std::vector<uint8_t>(img.begin() + offset, img.begin() + offset + filesz))
            << "segment " << i;
        EXPECT_TRUE(all(vaddr + filesz, memsz - filesz, 0)) << "segment " << i;
    }
    expect_outside_untouched();
}

INSTANTIATE_TEST_SUITE_P(built, elf_program,
                         ::testing::Values("applications/fibonacci.elf", "applications/primes.elf",
                                           "applications/ascii.elf", "applications/matrix.elf",
                                           "applications/guess.elf", "applications/sort.elf", "hello.elf",
                                           "hello_v2.elf", "raw_test.elf", "raw_stack_test.elf",
                                           "test_prog.elf"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             const size_t slash = n.find('/');
                             if (slash != std::string::npos) n = n.substr(slash + 1);
                             return n.substr(0, n.find('.'));
                         });

}  // namespace
