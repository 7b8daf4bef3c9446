// The page allocator on odd Multiboot2 maps, and the heap above it.
#include <gtest/gtest.h>

#include <cstring>

#include "heap.h"
#include "host.h"
#include "pmm.h"

namespace {
struct region {
    uint64_t base, length;
    uint32_t type;
};
constexpr uint64_t MIB = 1 << 20, INFO = 0x9000;

// Boot information at INFO: an odd-sized tag if asked, the memory map with entries of
// `entry_size` bytes and a tag size `cut` bytes short of them, the end tag.
void boot(const std::vector<region>& map, uint32_t entry_size = 24, uint32_t cut = 0, bool tag_before = false) {
    std::vector<uint8_t> b(8, 0);
    auto put = [&](uint64_t v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) b.push_back(i < 8 ? static_cast<uint8_t>(v >> 8 * i) : 0);
    };
    if (tag_before) put(1, 4), put(13, 4), put(0x7878787878, 5), put(0, 3);
    put(6, 4), put(16 + map.size() * entry_size - cut, 4), put(entry_size, 4), put(0, 4);
    for (const region& r : map) put(r.base, 8), put(r.length, 8), put(r.type, 4), put(0, entry_size - 20);
    b.resize((b.size() + 7) / 8 * 8);
    put(0, 4), put(8, 4);
    const auto total = static_cast<uint32_t>(b.size());
    std::memcpy(b.data(), &total, 4);
    std::memcpy(host::phys(INFO), b.data(), b.size());
    pmm_init(INFO);
}

const std::vector<region> TYPICAL = {{0, 0x9F000, 1}, {0x9F000, 0x61000, 2}, {MIB, 511 * MIB, 1}};
}  // namespace

TEST(pmm, odd_maps) {
    struct {
        const char* name;
        std::function<void()> init;
        uint64_t total, free;
    } cases[] = {
        // 0x10E frames of kernel and bitmap, the image area and the stack page never free.
        {"typical", [] { boot(TYPICAL); }, 131072, 129266},
        {"reserved ignored", [] { boot({{MIB, MIB, 1}, {2 * MIB, MIB, 2}}); }, 512, 245},
        {"unaligned base", [] { boot({{0x200800, 0x10000, 1}}); }, 528, 15},
        {"odd tag before", [] { boot({{0x200000, 0x10000, 1}}, 24, 0, true); }, 528, 16},
        {"wide entries", [] { boot({{0x200000, 0x10000, 1}, {0x300000, 0x10000, 1}}, 32); }, 784, 32},
        {"entry past its tag", [] { boot({{0x200000, 0x10000, 1}, {0x300000, 0x10000, 1}}, 24, 4); }, 528, 16},
        {"no regions", [] { boot({}); }, 16384, 0},
        {"beyond 1 GiB", [] { boot({{MIB, 4096 * MIB, 1}}); }, 262144, 260334},
        {"wraps", [] { boot({{~0ull - 0xFFF, 0x2000, 1}, {0x200000, 0x10000, 1}}); }, 262144, 16},
    };
    for (const auto& c : cases) {
        c.init();
        EXPECT_EQ(pmm_get_total_pages(), c.total) << c.name;
        EXPECT_EQ(pmm_get_free_pages(), c.free) << c.name;
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

namespace {
uint8_t* at(uint64_t addr) { return host::phys(addr); }
void* heap() {
    boot(TYPICAL);
    heap_init();
    return kmalloc(100);  // the first block: frames from 0x10E000 up to the image area
}
constexpr uint64_t CHUNK1 = (0x400 - 0x10E) * 4096 - 24;  // payload of that first run
}  // namespace

TEST(heap, first_fit_splits_only_what_is_worth_it) {
    auto* a = static_cast<uint8_t*>(heap());
    EXPECT_EQ(a, at(0x10E018));
    auto* b = static_cast<uint8_t*>(kmalloc(100));
    EXPECT_EQ(b, a + 128);
    kfree(a);
    EXPECT_EQ(kmalloc(72), a);  // the whole 104 bytes: a split would leave less than 16
    EXPECT_EQ(kmalloc(8), b + 128);
}

TEST(heap, blocks_never_reach_across_the_image_area) {
    auto* a = static_cast<uint8_t*>(heap());
    void* x = kmalloc(CHUNK1 - 128);
    EXPECT_EQ(x, a + 128);
    void* y = kmalloc(8);
    EXPECT_EQ(y, at(0x800018));
    kfree(y);
    kfree(x);
    EXPECT_EQ(kmalloc(CHUNK1 - 120), y);
}

TEST(heap, exhaustion_overflow_and_growth) {
    heap();
    const uint64_t free = pmm_get_free_pages();
    for (uint64_t size : {0ull, 1ull << 40, ~0ull, ~0ull - 30}) EXPECT_EQ(kmalloc(size), nullptr) << size;
    EXPECT_EQ(kcalloc(0x8000000000000001, 2), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), free);
    auto* p = static_cast<uint8_t*>(kmalloc(64));
    std::memset(p, 0xAB, 64);
    kfree(p);
    auto* q = static_cast<uint8_t*>(kcalloc(8, 8));
    ASSERT_EQ(q, p);
    EXPECT_EQ(std::count(q, q + 64, 0), 64);
    EXPECT_NE(kmalloc(9 * MIB), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), free - 2305);
}
