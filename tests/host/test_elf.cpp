// ELF validation and loading, on images made by a small builder: each refusal names the
// first thing wrong and writes nothing; an accepted image is copied and zero-filled.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "elf.h"
#include "host.h"

namespace {
constexpr uint64_t BASE = 0x400000, AREA = 0x400000, PAYLOAD = 64 + 2 * 56;

// Header at 0, two program headers at 64 (code, then data with bss), 0x100 bytes of payload.
struct image {
    struct segment {
        uint32_t type, flags;
        uint64_t offset, vaddr, paddr, filesz, memsz, align;
    };
    std::vector<uint8_t> bytes = std::vector<uint8_t>(PAYLOAD + 0x100);
    std::vector<segment> segments = {{1, 5, PAYLOAD, BASE, 0, 0xB0, 0xB0, 0}, {1, 6, PAYLOAD + 0xB0, BASE + 0x1000, 0, 0x40, 0x200, 0}};
    uint64_t entry = BASE + 0x10;
    template <typename T>
    void set(size_t at, T v) {
        if (at + sizeof v <= bytes.size()) std::memcpy(bytes.data() + at, &v, sizeof v);
    }
    std::vector<uint8_t> build(const std::function<void(image&)>& damage) {
        std::memcpy(bytes.data(), "\x7F" "ELF\x02\x01\x01", 7);
        set<uint16_t>(16, 2), set<uint16_t>(18, 62), set<uint32_t>(20, 1), set<uint64_t>(32, 64);
        set<uint16_t>(52, 64), set<uint16_t>(54, 56), set<uint16_t>(56, 2);
        for (size_t i = 0; i < 0x100; ++i) bytes[PAYLOAD + i] = static_cast<uint8_t>(i + 1);
        damage(*this);
        set(24, entry), set(64, segments[0]), set(64 + 56, segments[1]);
        return bytes;
    }
};
}  // namespace

TEST(elf, refusals_name_the_first_fault_and_write_nothing) {
    const struct {
        const char* name;
        std::function<void(image&)> damage;
        const char* message;
    } cases[] = {
        {"short", [](image& i) { i.bytes.resize(63); }, "File too small for ELF header"},
        {"magic", [](image& i) { i.bytes[3] = 'f'; }, "Bad ELF magic"},
        {"class", [](image& i) { i.bytes[4] = 1; }, "Not a 64-bit ELF (class=1)"},
        {"endian", [](image& i) { i.bytes[5] = 2; }, "Not little-endian"},
        {"type", [](image& i) { i.set<uint16_t>(16, 3); }, "Not an executable (type=3)"},
        {"machine", [](image& i) { i.set<uint16_t>(18, 3); }, "Not x86-64 (machine=3)"},
        {"table", [](image& i) { i.set<uint64_t>(32, i.bytes.size() - 111); }, "Program header table extends beyond file"},
        {"entry size", [](image& i) { i.set<uint16_t>(54, 32); }, "Program header entry too small (phentsize=32)"},
        {"past file", [](image& i) { i.segments[1].filesz = 0x51; }, "Segment extends beyond file"},
        {"wraps", [](image& i) { i.segments[1].offset = ~0ull - 0xF; }, "Segment extends beyond file"},
        {"filesz", [](image& i) { i.segments[1].memsz = 0x3F; }, "Segment file size exceeds its memory size"},
        {"below", [](image& i) { i.segments[1].vaddr = BASE - 0x200; }, "Segment outside user image area"},
        {"above", [](image& i) { i.segments[1].vaddr = 2 * BASE - 0x1FF; }, "Segment outside user image area"},
        {"entry not code", [](image& i) { i.entry = BASE + 0x1000; }, "is not in an executable segment"},
        {"entry past code", [](image& i) { i.entry = BASE + 0xB0; }, "is not in an executable segment"},
        {"no load", [](image& i) { i.segments[0].type = i.segments[1].type = 4; }, "No loadable segment"},
        {"too many", [](image& i) { i.bytes.resize(64 + 65 * 56), i.set<uint16_t>(56, 65); }, "Too many program headers: 65 (at most 64)"},
        {"overlap", [](image& i) { i.segments[1].vaddr = BASE + 0xAF; }, "Segments 0 and 1 overlap"},
        {"overlap below", [](image& i) { i.segments[1].vaddr = BASE - 0x1FF; }, "Segments 0 and 1 overlap"},
    };
    for (const auto& c : cases) {
        host::reset();
        std::memset(host::phys(BASE), 0xCC, AREA);
        const auto bytes = image().build(c.damage);
        const elf64_load_result r = elf64_load(bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_EQ(r.success, 0u) << c.name;
        EXPECT_NE(host::serial().find(c.message), std::string::npos) << c.name << ": " << host::serial();
        EXPECT_EQ(std::count(host::phys(BASE), host::phys(2 * BASE), 0xCC), AREA) << c.name;
    }
}

TEST(elf, segments_are_copied_and_zero_filled_in_place) {
    std::memset(host::phys(BASE), 0xCC, AREA);
    auto bytes = image().build([](image& i) { i.segments[1].vaddr = BASE + 0x1008; });
    bytes.insert(bytes.begin(), 3, 0);  // the image need not be aligned
    const elf64_load_result r = elf64_load(bytes.data() + 3, static_cast<uint32_t>(bytes.size() - 3));
    ASSERT_EQ(r.success, 1u);
    EXPECT_EQ(std::tuple(r.entry, r.load_start, r.load_end), std::tuple(BASE + 0x10, BASE, BASE + 0x1208));
    const uint8_t* payload = bytes.data() + 3 + PAYLOAD;
    EXPECT_EQ(std::memcmp(host::phys(BASE), payload, 0xB0), 0);
    EXPECT_EQ(std::memcmp(host::phys(BASE + 0x1008), payload + 0xB0, 0x40), 0);
    EXPECT_EQ(std::count(host::phys(BASE + 0x1048), host::phys(BASE + 0x1208), 0), 0x1C0);
    EXPECT_EQ(host::phys(BASE)[0xB0] & host::phys(BASE + 0x1208)[0], 0xCC);  // nothing past either segment
    EXPECT_EQ(elf64_get_entry(bytes.data() + 3), BASE + 0x10);

    // An empty segment (here at address 0, as linkers emit them) is reported and skipped.
    host::reset();
    bytes = image().build([](image& i) { i.segments[1] = {1, 6, 0, 0, 0, 0, 0, 0}; });
    const elf64_load_result e = elf64_load(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(std::tuple(e.success, e.load_start, e.load_end), std::tuple(1u, BASE, BASE + 0xB0));
    EXPECT_NE(host::serial().find("PT_LOAD[1]: vaddr=0x0 filesz=0x0 memsz=0x0 flags=RW-"), std::string::npos);
}
