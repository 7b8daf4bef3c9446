// The ELF64 loader on crafted images and on the built user programs: what it
// prints, what it returns and exactly which bytes of physical memory it writes.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>

#include "elf.h"
#include "elf_image.h"
#include "host_env.h"
#include "layout.h"
#include "user_images.h"

namespace {

using namespace elf_image;

constexpr uint64_t NO_START = ~0ull;
// What memory held before a load, so every byte the loader writes shows.
constexpr uint8_t OUTSIDE = 0x5A;  // around the user image area
constexpr uint8_t INSIDE = 0xA5;   // the user image area itself

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIX64, v);
    return buf;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

std::string load_line(int i, uint64_t vaddr, uint64_t filesz, uint64_t memsz, const std::string& flags) {
    return "[elf] PT_LOAD[" + std::to_string(i) + "]: vaddr=0x" + hex(vaddr) + " filesz=0x" + hex(filesz) +
           " memsz=0x" + hex(memsz) + " flags=" + flags + "\n";
}

// One R-E segment of 0x20 bytes at 0x400000, as the first of every crafted image.
builder with_text() {
    builder b;
    b.load(PF_R | PF_X, b.add_data(pattern(0x20, 5)), 0x400000, 0x20, 0x20);
    return b;
}
const std::string TEXT_LINE = load_line(0, 0x400000, 0x20, 0x20, "R-E");

class elf : public host_test {
protected:
    struct region {
        uint64_t addr, len;
    };
    // The kernel image, 64 KiB on each side of the user image area, the user stack.
    static constexpr region WATCHED[] = {{KERNEL_LOAD_ADDR, 0x2000},
                                         {USER_IMAGE_BASE - 0x10000, 0x10000},
                                         {USER_IMAGE_END, 0x10000},
                                         {USER_STACK_BASE, 0x2000}};

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
        return std::all_of(p, p + len, [value](uint8_t b) { return b == value; });
    }
    static std::vector<uint8_t> mem(uint64_t addr, uint64_t len) {
        const uint8_t* p = fake_phys::at(addr);
        return std::vector<uint8_t>(p, p + len);
    }
    static void expect_outside_untouched() {
        for (const region& r : WATCHED) EXPECT_TRUE(all(r.addr, r.len, OUTSIDE)) << "at 0x" << hex(r.addr);
    }

    int validate(const std::vector<uint8_t>& img) { return elf64_validate(img.data(), static_cast<uint32_t>(img.size())); }
    elf64_load_result load(const std::vector<uint8_t>& img) { return elf64_load(img.data(), static_cast<uint32_t>(img.size())); }

    // Refused after the two header lines and `lines`: empty result, no byte written.
    void expect_refused(const std::vector<uint8_t>& img, const std::string& lines) {
        const elf64_load_result r = load(img);
        EXPECT_EQ(r.success, 0u);
        EXPECT_EQ(r.entry, get<uint64_t>(img, 24));
        EXPECT_EQ(r.load_start, NO_START);
        EXPECT_EQ(r.load_end, 0u);
        EXPECT_EQ(serial(), "[elf] Entry point: 0x" + hex(get<uint64_t>(img, 24)) + "\n[elf] Program headers: " +
                                std::to_string(get<uint16_t>(img, 56)) + "\n" + lines);
        expect_outside_untouched();
        EXPECT_TRUE(all(USER_IMAGE_BASE, USER_IMAGE_END - USER_IMAGE_BASE, INSIDE));
    }
};

TEST_F(elf, validation_failures_in_their_order) {
    const std::vector<uint8_t> good = with_text().build();
    const std::string BEYOND = "[elf] Program header table extends beyond file\n";
    struct case_ {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> bend;
        std::string message;  // empty: accepted
    };
    const case_ cases[] = {
        {"63 bytes", [](auto& b) { b.resize(63); }, "[elf] File too small for ELF header\n"},
        {"empty", [](auto& b) { b.clear(); }, "[elf] File too small for ELF header\n"},
        {"32-bit, big-endian, shared", [](auto& b) { b[4] = 1, b[5] = 2, put<uint16_t>(b, 16, 3); },
         "[elf] Not a 64-bit ELF (class=1)\n"},
        {"big-endian", [](auto& b) { b[5] = 2, put<uint16_t>(b, 16, 0x0200), put<uint16_t>(b, 18, 0x3E00); },
         "[elf] Not little-endian\n"},
        {"ET_DYN for i386", [](auto& b) { put<uint16_t>(b, 16, 3), put<uint16_t>(b, 18, 3); },
         "[elf] Not an executable (type=3)\n"},
        {"i386, table far out", [](auto& b) { put<uint16_t>(b, 18, 3), put<uint64_t>(b, 32, 0x10000); },
         "[elf] Not x86-64 (machine=3)\n"},
        {"table one byte short", [](auto& b) { put<uint64_t>(b, 32, b.size() - 55); }, BEYOND},
        {"short stride, table out first", [](auto& b) { put<uint16_t>(b, 54, 1), put<uint64_t>(b, 32, b.size()); },
         BEYOND},
        {"phoff + size wraps", [](auto& b) { put<uint64_t>(b, 32, ~0ull - 55 + 1); }, BEYOND},
        {"short entries", [](auto& b) { put<uint16_t>(b, 54, 55); },
         "[elf] Program header entry too small (phentsize=55)\n"},
        {"good", [](auto&) {}, ""},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> img = good;
        c.bend(img);
        EXPECT_EQ(elf64_validate(img.data(), static_cast<uint32_t>(img.size())), c.message.empty() ? 0 : -1);
        EXPECT_EQ(serial(), c.message);
        if (c.message.empty()) continue;
        const elf64_load_result r = load(img);  // an empty result, nothing written
        EXPECT_EQ(serial(), c.message);
        EXPECT_EQ(r.success, 0u);
        EXPECT_EQ(r.entry, 0u);
        EXPECT_EQ(r.load_start, NO_START);
        EXPECT_EQ(r.load_end, 0u);
        EXPECT_TRUE(all(USER_IMAGE_BASE, USER_IMAGE_END - USER_IMAGE_BASE, INSIDE));
    }
    for (int i = 0; i < 4; ++i) {  // every byte of the magic, looked at before the class
        std::vector<uint8_t> img = good;
        img[i] ^= 0x20;
        img[4] = 1;
        EXPECT_EQ(validate(img), -1);
        EXPECT_EQ(serial(), "[elf] Bad ELF magic\n") << "byte " << i;
    }
}

TEST_F(elf, program_header_table_may_end_exactly_at_the_end_of_the_file) {
    for (uint16_t stride : {56, 64}) {  // a wider stride counts in full
        builder b;
        b.phentsize = stride;
        b.other(PT_GNU_STACK).other(PT_GNU_STACK);
        const std::vector<uint8_t> img = b.build();
        ASSERT_EQ(img.size(), 64u + 2 * stride);
        EXPECT_EQ(validate(img), 0);
        EXPECT_EQ(elf64_validate(img.data(), static_cast<uint32_t>(img.size() - 1)), -1);
        EXPECT_EQ(serial(), "[elf] Program header table extends beyond file\n");
    }
    // A bare 64-byte header: any entry size, an offset within the header.
    for (uint64_t phoff : {0ull, 64ull, 65ull}) {
        builder bare;
        bare.phoff = phoff;
        bare.phentsize = 0;
        const std::vector<uint8_t> img = bare.build();
        ASSERT_EQ(img.size(), 64u);
        EXPECT_EQ(validate(img), phoff <= 64 ? 0 : -1) << phoff;
        EXPECT_EQ(serial(), phoff <= 64 ? "" : "[elf] Program header table extends beyond file\n");
    }
}

TEST_F(elf, loads_three_segments_with_exact_lines_and_bytes) {
    builder b;
    b.entry = 0x400010;
    const std::vector<uint8_t> text = pattern(0x1A3, 3), rodata = pattern(0x40, 9), data = pattern(0x10, 200);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.load(PF_R, b.add_data(rodata), 0x401000, rodata.size(), rodata.size());
    b.load(PF_R | PF_W, b.add_data(data), 0x402000, data.size(), 0x1C);

    const elf64_load_result r = load(b.build());
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
    EXPECT_TRUE(all(0x402010, 0xC, 0));         // the zero-initialised tail
    EXPECT_TRUE(all(0x40201C, 0x100, INSIDE));  // one past the segment
    expect_outside_untouched();
}

TEST_F(elf, unaligned_image_wide_stride_and_other_headers_between_loads) {
    builder b;
    b.phentsize = 64;
    b.entry = 0x400004;
    const std::vector<uint8_t> text = pattern(0x30, 77);
    b.load(PF_R | PF_X, b.add_data(text), 0x400000, text.size(), text.size());
    b.other(PT_GNU_STACK);
    b.load(PF_R | PF_W, 0, 0x401000, 0, 0x1C);                // nothing copied, all zero
    b.load(PF_R | PF_W, b.add_data({0x42}), 0x402000, 1, 8);  // one byte and a zero tail
    const std::vector<uint8_t> img = b.build();
    std::vector<uint8_t> shifted(img.size() + 3);
    std::memcpy(shifted.data() + 3, img.data(), img.size());
    const uint8_t* odd = shifted.data() + 3;

    EXPECT_EQ(elf64_get_entry(odd), 0x400004u);
    const elf64_load_result r = elf64_load(odd, static_cast<uint32_t>(img.size()));
    EXPECT_EQ(serial(),
              "[elf] Entry point: 0x400004\n"
              "[elf] Program headers: 4\n"
              "[elf] PT_LOAD[0]: vaddr=0x400000 filesz=0x30 memsz=0x30 flags=R-E\n"
              "[elf] PT_LOAD[2]: vaddr=0x401000 filesz=0x0 memsz=0x1C flags=RW-\n"
              "[elf] PT_LOAD[3]: vaddr=0x402000 filesz=0x1 memsz=0x8 flags=RW-\n"
              "[elf] Loaded at 0x400000 - 0x402008, entry at 0x400004\n");
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(mem(0x400000, text.size()), text);
    EXPECT_TRUE(all(0x401000, 0x1C, 0));
    EXPECT_TRUE(all(0x40101C, 0x10, INSIDE));
    EXPECT_EQ(*fake_phys::at(0x402000), 0x42);
    EXPECT_TRUE(all(0x402001, 7, 0));
    EXPECT_TRUE(all(0x402008, 0x10, INSIDE));
}

TEST_F(elf, load_range_spans_all_segments_in_any_order) {
    builder b;
    b.entry = 0x400800;
    const std::vector<uint8_t> a = pattern(0x10, 1), t = pattern(0x20, 2), d = pattern(0x8, 3);
    b.load(PF_R, b.add_data(a), 0x401000, a.size(), a.size());
    b.load(PF_R | PF_X, b.add_data(t), 0x400000, t.size(), 0x1000);
    b.load(PF_R | PF_W, b.add_data(d), 0x401010, d.size(), 0x20);  // starts where the first ends
    const elf64_load_result r = load(b.build());
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.load_start, 0x400000u);
    EXPECT_EQ(r.load_end, 0x401030u);
    EXPECT_NE(serial().find("[elf] Loaded at 0x400000 - 0x401030, entry at 0x400800\n"), std::string::npos);
    EXPECT_EQ(mem(0x401000, a.size()), a);
    EXPECT_TRUE(all(0x400000 + t.size(), 0x1000 - t.size(), 0));
    EXPECT_EQ(mem(0x401010, d.size()), d);
    EXPECT_TRUE(all(0x401018, 0x18, 0));
}

TEST_F(elf, bad_second_segments_are_refused_before_anything_is_copied) {
    const std::string PAST_END = "[elf] Segment extends beyond file\n";
    const std::string OUTSIDE_AREA = "[elf] Segment outside user image area 0x400000-0x7FFFFF\n";
    struct case_ {
        int64_t offset;  // -1: the segment's own 0x10 bytes at the end of the file
        uint64_t vaddr, filesz, memsz;
        std::string message;
    };
    const case_ cases[] = {
        {-1, 0x401000, 0x11, 0x20, PAST_END},  // one byte short
        {static_cast<int64_t>(~0ull - 0xF), 0x401000, 0x20, 0x20, PAST_END},  // offset + size wraps to 0x10
        {-1, 0x401000, 0x10, 0xF, "[elf] Segment file size exceeds its memory size\n"},
        {-1, 0x3FF000, 0x1, 0x2000, OUTSIDE_AREA},          // starts below the area
        {-1, 0x3FFFFF, 0x1, 0x1, OUTSIDE_AREA},             // the byte just below it
        {-1, 0x7FF000, 0x1, 0x1001, OUTSIDE_AREA},          // straddles its end
        {-1, 0x800000, 0x1, 0x10, OUTSIDE_AREA},            // just above it
        {-1, USER_STACK_BASE, 0x1, 0x100, OUTSIDE_AREA},
        {-1, KERNEL_LOAD_ADDR, 0x1, 0x100, OUTSIDE_AREA},
        {-1, 0x400000, 0x1, ~0ull - 0x1FFFFF, OUTSIDE_AREA},  // vaddr + memsz wraps to 0x200000
        {-1, ~0ull - 0xFFF, 0x1, 0x2000, OUTSIDE_AREA},       // wraps to 0x1000
    };
    for (const case_& c : cases) {
        SCOPED_TRACE("vaddr 0x" + hex(c.vaddr) + " filesz 0x" + hex(c.filesz) + " memsz 0x" + hex(c.memsz));
        builder b = with_text();
        const uint64_t own = b.add_data(pattern(0x10, 1));
        b.load(PF_R | PF_W, c.offset < 0 ? own : static_cast<uint64_t>(c.offset), c.vaddr, c.filesz, c.memsz);
        expect_refused(b.build(), TEXT_LINE + load_line(1, c.vaddr, c.filesz, c.memsz, "RW-") + c.message);
    }
    expect_refused(builder{}.build(), "[elf] No loadable segment\n");
    expect_refused(builder{}.other(PT_GNU_STACK).other(4).build(), "[elf] No loadable segment\n");

    // Ending exactly at the end of the file, and the whole area up to its last byte, load.
    builder b = with_text();
    b.load(PF_R | PF_W, b.add_data(pattern(0x10, 1)), 0x401000, 0x10, USER_IMAGE_END - 0x401000);
    const elf64_load_result r = load(b.build());
    EXPECT_EQ(r.success, 1u);
    EXPECT_EQ(r.load_end, USER_IMAGE_END);
    EXPECT_TRUE(all(0x401010, USER_IMAGE_END - 0x401010, 0));
    expect_outside_untouched();
}

TEST_F(elf, entry_point_must_lie_in_an_executable_segment) {
    // Text at 0x400000-0x40001F (R-E), data at 0x401000-0x40103F (RW-).
    const std::pair<uint64_t, bool> cases[] = {{0x400000, true},  {0x40001F, true},  {0x400020, false},
                                               {0x3FFFFF, false}, {0x401000, false}, {0, false}};
    for (const auto& [entry, accepted] : cases) {
        SCOPED_TRACE("entry 0x" + hex(entry));
        fill_sentinels();
        builder b = with_text();
        b.entry = entry;
        b.load(PF_R | PF_W, b.add_data(pattern(0x40, 1)), 0x401000, 0x40, 0x40);
        const std::vector<uint8_t> img = b.build();
        if (accepted) {
            EXPECT_EQ(load(img).success, 1u);
            serial();
        } else {
            expect_refused(img, TEXT_LINE + load_line(1, 0x401000, 0x40, 0x40, "RW-") + "[elf] Entry point 0x" +
                                    hex(entry) + " is not in an executable segment\n");
        }
    }
}

// ------------------------------------------------------------ the built programs

struct built {
    const char* file;
    const char* layout;      // segment types and flags, in header order
    bool runtime;            // linked with the runtime: its heap starts at _end
    const uint8_t* image;    // the copy the kernel embeds, if it carries one
    const uint32_t* length;
};
const built BUILT[] = {
    {"applications/fibonacci.elf", "R-E R-- RW-", true, build_applications_fibonacci_elf, &build_applications_fibonacci_elf_len},
    {"applications/primes.elf", "R-E R-- RW-", true, build_applications_primes_elf, &build_applications_primes_elf_len},
    {"applications/ascii.elf", "R-E R-- RW-", true, build_applications_ascii_elf, &build_applications_ascii_elf_len},
    {"applications/matrix.elf", "R-E R-- RW-", true, build_applications_matrix_elf, &build_applications_matrix_elf_len},
    {"applications/guess.elf", "R-E R-- RW-", true, build_applications_guess_elf, &build_applications_guess_elf_len},
    {"applications/sort.elf", "R-E R-- RW-", true, build_applications_sort_elf, &build_applications_sort_elf_len},
    {"hello_v2.elf", "R-E R-- RW-", true, build_hello_v2_elf, &build_hello_v2_elf_len},
    {"test_prog.elf", "R-E R-- RW-", true, build_test_prog_elf, &build_test_prog_elf_len},
    {"hello.elf", "RWE", true, hello_elf_data, &hello_elf_data_len},
    {"raw_test.elf", "R-E R--", false, build_raw_test_elf, &build_raw_test_elf_len},
    {"raw_stack_test.elf", "R-E R--", false, build_raw_stack_test_elf, &build_raw_stack_test_elf_len},
    {"test_spin.elf", "R-E R--", false, nullptr, nullptr},
    {"test_hlt.elf", "R-E R--", false, nullptr, nullptr},
};

class elf_program : public elf, public ::testing::WithParamInterface<built> {};

TEST_P(elf_program, loads_with_its_lines_and_bytes_and_is_embedded_whole) {
    const built& p = GetParam();
    const std::vector<uint8_t> img = read_file(std::string(TARVELIN_BINARY_DIR) + "/" + p.file);
    ASSERT_GE(img.size(), 64u) << p.file << " has not been built";
    if (p.image != nullptr) {
        ASSERT_EQ(*p.length, img.size());
        EXPECT_EQ(std::memcmp(p.image, img.data(), img.size()), 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p.image) % 16, 0u);
    }

    // What must happen, from the program headers read here independently.
    const uint64_t entry = get<uint64_t>(img, 24);
    const std::vector<segment> segs = segments(img);
    std::string expected = "[elf] Entry point: 0x" + hex(entry) + "\n[elf] Program headers: " +
                           std::to_string(segs.size()) + "\n";
    std::string layout;
    uint64_t low = NO_START, high = 0;
    for (size_t i = 0; i < segs.size(); ++i) {
        const segment& s = segs[i];
        if (i) layout += ' ';
        layout += s.type == PT_LOAD ? flags_text(s.flags) : "type " + hex(s.type);
        if (s.type != PT_LOAD) continue;
        expected += load_line(static_cast<int>(i), s.vaddr, s.filesz, s.memsz, flags_text(s.flags));
        low = std::min(low, s.vaddr);
        high = std::max(high, s.vaddr + s.memsz);
    }
    expected += "[elf] Loaded at 0x" + hex(low) + " - 0x" + hex(high) + ", entry at 0x" + hex(entry) + "\n";
    EXPECT_EQ(layout, p.layout);
    EXPECT_EQ(symbol(img, "_start"), entry);
    EXPECT_LE(high, USER_IMAGE_BASE + LARGE_PAGE_BYTES);  // the program and its heap share the first page
    if (p.runtime) {
        const auto end = symbol(img, "_end");
        ASSERT_TRUE(end.has_value());
        EXPECT_GE(*end, high);  // the heap begins past every loaded byte
    }

    const elf64_load_result r = load(img);
    EXPECT_EQ(serial(), expected);
    ASSERT_EQ(r.success, 1u);
    EXPECT_EQ(r.entry, entry);
    EXPECT_EQ(r.load_start, low);
    EXPECT_EQ(r.load_end, high);
    for (const segment& s : segs) {
        if (s.type != PT_LOAD) continue;
        EXPECT_EQ(mem(s.vaddr, s.filesz), std::vector<uint8_t>(img.begin() + s.offset, img.begin() + s.offset + s.filesz));
        EXPECT_TRUE(all(s.vaddr + s.filesz, s.memsz - s.filesz, 0));
    }
    expect_outside_untouched();
}

INSTANTIATE_TEST_SUITE_P(built, elf_program, ::testing::ValuesIn(BUILT), [](const auto& info) {
    std::string n = info.param.file;
    n = n.substr(n.find('/') + 1);
    return n.substr(0, n.find('.'));
});

}  // namespace
