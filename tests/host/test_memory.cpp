// The page allocator on odd Multiboot2 maps, the heap above it, and the system-call table's
// refusal of numbers it has no handler for.
#include <gtest/gtest.h>

#include <cstring>

#include "heap.h"
#include "host.h"
#include "pmm.h"
#include "syscall.h"

namespace {
struct region {
    uint64_t base, length;
    uint32_t type, reserved = 0;
};
constexpr uint64_t MIB = 1 << 20, INFO = 0x9000;

// Boot information at INFO: an odd-sized tag first if asked, the memory map with entries of
// `entry_size` bytes and a tag size `cut` bytes short of them, the end tag.
void boot(const std::vector<region>& map, uint32_t entry_size = 24, uint32_t cut = 0, bool tag_before = false) {
    std::vector<uint8_t> b(tag_before ? 24 : 8);
    auto put = [&](size_t at, auto v) { std::memcpy(&b[at], &v, sizeof v); };
    if (tag_before) put(8, uint64_t{13} << 32 | 1);
    const size_t tag = b.size();
    b.resize(tag + 16 + map.size() * entry_size);
    put(tag, uint32_t{6}), put(tag + 4, uint32_t(16 + map.size() * entry_size - cut)), put(tag + 8, entry_size);
    for (size_t i = 0; i < map.size(); ++i) put(tag + 16 + i * entry_size, map[i]);
    b.resize((b.size() + 7) / 8 * 8 + 8);
    put(b.size() - 4, uint32_t{8}), put(0, uint32_t(b.size()));
    std::memcpy(host::phys(INFO), b.data(), b.size());
    pmm_init(INFO);
}

const std::vector<region> TYPICAL = {{0, 0x9F000, 1}, {0x9F000, 0x61000, 2}, {MIB, 511 * MIB, 1}};
}  // namespace

TEST(pmm, odd_maps) {
    const struct {
        const char* name;
        std::vector<region> map;
        uint32_t entry_size, cut;
        bool tag_before;
        uint64_t total, free;
    } cases[] = {
        // 0x10E frames of kernel and bitmap, the image area and the stack page never free.
        {"typical", TYPICAL, 24, 0, false, 131072, 129266},
        {"reserved ignored", {{MIB, MIB, 1}, {2 * MIB, MIB, 2}}, 24, 0, false, 512, 245},
        {"unaligned base", {{0x200800, 0x10000, 1}}, 24, 0, false, 528, 15},
        {"odd tag before", {{0x200000, 0x10000, 1}}, 24, 0, true, 528, 16},
        {"wide entries", {{0x200000, 0x10000, 1}, {0x300000, 0x10000, 1}}, 32, 0, false, 784, 32},
        {"entry past its tag", {{0x200000, 0x10000, 1}, {0x300000, 0x10000, 1}}, 24, 4, false, 528, 16},
        {"no regions", {}, 24, 0, false, 16384, 0},
        {"beyond 1 GiB", {{MIB, 4096 * MIB, 1}}, 24, 0, false, 262144, 260334},
        {"wraps", {{~0ull - 0xFFF, 0x2000, 1}, {0x200000, 0x10000, 1}}, 24, 0, false, 262144, 16},
    };
    for (const auto& c : cases) {
        boot(c.map, c.entry_size, c.cut, c.tag_before);
        EXPECT_EQ(std::pair(pmm_get_total_pages(), pmm_get_free_pages()), std::pair(c.total, c.free)) << c.name;
    }
}

TEST(pmm, lowest_first_and_reserved_frames_stay_reserved) {
    boot(TYPICAL);
    const uint64_t first = pmm_alloc_page();
    EXPECT_EQ(first, 0x10E000u);
    for (uint64_t frame : {first, 0ul, 0x100000ul, 0x10D000ul, 0x400000ul, 0x10000000ul, 0x10E000ul}) pmm_free_page(frame);
    EXPECT_EQ(pmm_get_free_pages(), 129266u);
    EXPECT_EQ(pmm_alloc_page(), first);
}

// The heap's first block: from 0x10E000 up to the image area, CHUNK1 bytes of payload.
static uint8_t* heap() { return boot(TYPICAL), heap_init(), static_cast<uint8_t*>(kmalloc(100)); }
constexpr uint64_t CHUNK1 = (0x400 - 0x10E) * 4096 - 24;

TEST(heap, first_fit_splits_and_merges_within_a_run_of_frames) {
    uint8_t* a = heap();
    auto* b = static_cast<uint8_t*>(kmalloc(100));
    EXPECT_EQ(a, host::phys(0x10E018));
    EXPECT_EQ(b, a + 128);
    kfree(a);
    EXPECT_EQ(kmalloc(72), a);  // the whole 104 bytes: a split would leave less than 16
    auto* c = static_cast<uint8_t*>(kmalloc(8));
    EXPECT_EQ(c, b + 128);
    // The rest of the first run exactly, then the next run past the image area: freed, they stay apart.
    const uint64_t rest = CHUNK1 - 128 - 128 - 32;
    void* x = kmalloc(rest);
    void* y = kmalloc(8);
    EXPECT_EQ(x, c + 32);
    EXPECT_EQ(y, host::phys(0x800018));
    kfree(y), kfree(x);
    EXPECT_EQ(kmalloc(rest + 8), y);
}

TEST(heap, a_start_up_short_of_memory_gives_its_frames_back) {
    boot({{0x200000, 0x10000, 1}, {0x300000, 0x10000, 1}});  // two runs of frames
    const uint64_t free = pmm_get_free_pages();
    host::reset(), heap_init();
    EXPECT_EQ(host::serial(), "  [WARN] Heap: failed to pre-allocate 8 MB\n  [OK] Heap: 0 KB available\n");
    EXPECT_EQ(pmm_get_free_pages(), free);
    EXPECT_NE(kmalloc(8), nullptr);  // and the heap grows from them on demand
}

TEST(heap, exhaustion_overflow_and_growth) {
    heap();
    const uint64_t free = pmm_get_free_pages();
    for (uint64_t size : {0ull, 1ull << 40, ~0ull, ~0ull - 30}) EXPECT_EQ(kmalloc(size), nullptr) << size;
    EXPECT_EQ(kcalloc(0x8000000000000001, 2), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), free);
    auto* p = static_cast<uint8_t*>(kmalloc(64));
    std::memset(p, 0xAB, 64), kfree(p);
    ASSERT_EQ(kcalloc(8, 8), p);
    EXPECT_EQ(std::count(p, p + 64, 0), 64);
    EXPECT_NE(kmalloc(9 * MIB), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), free - 2305);
}

TEST(syscall, unknown_numbers_are_refused) {
    syscall_init();
    for (uint64_t n : {19ull, 59ull, 127ull, 511ull, 512ull, ~0ull}) EXPECT_EQ(syscall_dispatch(n, 0, 0, 0, 0, 0), -38) << n;
}
