// The page allocator fed with boot information built in fake physical memory:
// the bitmap and counters it derives, the frames it hands out, and how it copes
// with maps that are odd, oversized or malformed.
#include <functional>

#include "host_env.h"
#include "layout.h"
#include "mb2_builder.h"

namespace {

constexpr uint64_t KERNEL_END = 0x10A000;
constexpr uint64_t PAGE = 4096;
// A good map of 0x200000-0x300000: 768 frames total, 256 free.
const std::vector<mb2_entry> GOOD = {{0x200000, 0x100000, MB2_AVAILABLE}};
const char GOOD_LINE[] = "  [OK] PMM: 768 total, 256 free (1 MB)\n";
const char NOTHING_FREE[] = "  [OK] PMM: 16384 total, 0 free (0 MB)\n";

class pmm : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        host_kernel_end = KERNEL_END;
        fake_phys::clear(MB2_INFO_ADDR, 0x10000);
    }
    void TearDown() override { host_kernel_end = KERNEL_END; }

    // Runs pmm_init on the information and returns its report line.
    std::string boot(mb2_builder& info, int64_t total_size = -1) {
        pmm_init(info.place(MB2_INFO_ADDR, total_size));
        return serial();
    }
    static bool used(uint64_t frame) { return (fake_phys::at(host_kernel_end)[frame / 8] >> (frame % 8)) & 1; }
    static uint64_t zero_bits() {
        uint64_t n = 0;
        for (uint64_t f = 0; f < pmm_get_total_pages(); ++f) n += used(f) ? 0 : 1;
        return n;
    }
    // Takes every free frame; none may be 0 while frames are free.
    static std::vector<uint64_t> drain() {
        std::vector<uint64_t> got;
        while (pmm_get_free_pages() > 0) {
            const uint64_t a = pmm_alloc_page();
            EXPECT_NE(a, 0u) << "0 returned with " << pmm_get_free_pages() << " frames free";
            if (a == 0) break;
            got.push_back(a);
        }
        EXPECT_EQ(pmm_alloc_page(), 0u);
        return got;
    }
};

TEST_F(pmm, typical_512m_map) {
    mb2_builder info;
    info.mmap(typical_map_512m()).end();
    // 131040 frames; the bitmap's 16380 bytes end at 0x10DFFC, so frames 0-0x10D
    // are kept. Free: 0x10E-0x1FFDF less the user image area and stack page.
    EXPECT_EQ(boot(info), "  [OK] PMM: 131040 total, 129234 free (504 MB)\n");
    EXPECT_EQ(pmm_get_total_pages(), 131040u);
    EXPECT_EQ(zero_bits(), 129234u);
    for (uint64_t f : {0x0ull, 0x9Full, 0x10Dull, 0x400ull, 0x7FFull, 0x10000ull, 0x101FFull}) EXPECT_TRUE(used(f)) << f;
    for (uint64_t f : {0x10Eull, 0x3FFull, 0x800ull, 0xFFFFull, 0x10200ull, 0x1FFDFull}) EXPECT_FALSE(used(f)) << f;
    EXPECT_EQ(pmm_alloc_page(), 0x10E000u);
    EXPECT_EQ(pmm_alloc_page(), 0x10F000u);
    EXPECT_EQ(pmm_get_free_pages(), 129232u);
}

TEST_F(pmm, bitmap_sits_at_kernel_end_and_covers_its_own_frames) {
    // A kernel ending mid-frame: the bitmap (2048 bytes for 64 MiB) starts there,
    // ends at 0x10B100 and keeps frames 0-0x10B.
    host_kernel_end = 0x10A900;
    mb2_builder info;
    info.mmap({{0x100000, 0x3F00000, MB2_AVAILABLE}}).end();
    EXPECT_EQ(boot(info), "  [OK] PMM: 16384 total, 15092 free (58 MB)\n");
    EXPECT_EQ(fake_phys::at(0x10A900)[0], 0xFF);     // frames 0-7
    EXPECT_EQ(fake_phys::at(0x10A900)[0x21], 0x0F);  // frames 0x108-0x10B of 0x108-0x10F
    EXPECT_EQ(fake_phys::at(0x10A900)[0x80], 0xFF);  // the user image area
    EXPECT_EQ(pmm_alloc_page(), 0x10C000u);
}

TEST_F(pmm, odd_and_malformed_maps) {
    struct case_ {
        const char* what;
        std::function<void(mb2_builder&)> make;
        int64_t total_size;  // -1: the true one
        const char* line;
        uint64_t first;  // the first frame handed out, 0 when none
    };
    auto many = [](int n, uint64_t base, uint64_t stride, uint64_t len) {
        std::vector<mb2_entry> v;
        for (int i = 0; i < n; ++i) v.push_back({base + i * stride, len, MB2_AVAILABLE});
        return v;
    };
    const case_ cases[] = {
        {"unaligned region loses its partial frames", [](auto& b) { b.mmap({{0x200800, 0xF900, MB2_AVAILABLE}}); }, -1,
         "  [OK] PMM: 528 total, 15 free (0 MB)\n", 0x201000},
        {"padded entries walked by entry size",
         [](auto& b) {
             b.mmap({{0, 0x9F000, MB2_AVAILABLE}, {0x200000, 0x8000, MB2_AVAILABLE}, {0x300000, 0x4000, MB2_RESERVED}}, 40);
         },
         -1, "  [OK] PMM: 520 total, 8 free (0 MB)\n", 0x200000},
        {"overlapping regions counted once",
         [](auto& b) { b.mmap({{0x200000, 0x100000, MB2_AVAILABLE}, {0x280000, 0x100000, MB2_AVAILABLE}}); }, -1,
         "  [OK] PMM: 896 total, 384 free (1 MB)\n", 0x200000},
        {"4095 bytes: no region at all", [](auto& b) { b.mmap({{0x200000, 4095, MB2_AVAILABLE}}); }, -1, NOTHING_FREE, 0},
        {"4096 unaligned bytes: no whole frame", [](auto& b) { b.mmap({{0x300800, 4096, MB2_AVAILABLE}}); }, -1,
         "  [OK] PMM: 769 total, 0 free (0 MB)\n", 0},
        {"only the first 32 regions count",  // the highest end among them: 0x23F800
         [&](auto& b) {
             auto v = many(32, 0x200800, 0x2000, 4096);
             for (int i = 0; i < 32; ++i) v.insert(v.begin() + 2 * i + 1, {0x201800 + i * 0x2000ull, 4096, MB2_RESERVED});
             v.push_back({0x300000, 0x100000, MB2_AVAILABLE});
             b.mmap(v);
         },
         -1, "  [OK] PMM: 575 total, 0 free (0 MB)\n", 0},
        {"32 regions counted across tags", [&](auto& b) { b.mmap(many(20, 0x200000, 0x2000, PAGE)).mmap(many(14, 0x300000, 0x2000, PAGE)); },
         -1, "  [OK] PMM: 791 total, 32 free (0 MB)\n", 0x200000},
        {"no map tag", [](auto& b) { b.tag(1, {'q', 0}); }, -1, NOTHING_FREE, 0},
        {"total_size ends before any tag", [](auto& b) { b.mmap(GOOD); }, 15, NOTHING_FREE, 0},
        {"map after the end tag", [](auto& b) { b.end().mmap(GOOD); }, -1, NOTHING_FREE, 0},
        {"tag size below 8 stops the walk", [](auto& b) { b.tag(9, {}, 7).mmap(GOOD); }, -1, NOTHING_FREE, 0},
        // Each malformed tag below comes before GOOD; taking anything from it shows.
        {"map tag of 12 bytes, a lure in the next tag",
         [](auto& b) { b.u32(6).u32(12).u32(24).u32(0).tag(99, {0, 0, 0x10, 0, 0, 0, 0, 0, 1, 0, 0, 0}).mmap(GOOD); },
         -1, GOOD_LINE, 0x200000},
        {"entry size 0",
         [](auto& b) { b.mmap({{0x500000, 0x100000, MB2_AVAILABLE}}, 0, 16 + 24).u64(0).u64(0).u64(0).mmap(GOOD); }, -1,
         GOOD_LINE, 0x200000},
        {"20-byte entries",
         [](auto& b) { b.mmap({{0x100000, 0x1000000, MB2_AVAILABLE}, {0x2000000, 0x1000000, MB2_AVAILABLE}}, 20).mmap(GOOD); },
         -1, GOOD_LINE, 0x200000},
        {"entry cut by its tag's end, type 1 in the next tag",
         [](auto& b) {
             b.u32(6).u32(52).u32(24).u32(0).u64(0x200000).u64(0x100000).u32(MB2_AVAILABLE).u32(0);
             b.u64(0x1000000).u32(0x1000000).u32(0).tag(1, {'x', 0});
         },
         -1, GOOD_LINE, 0x200000},
        {"tag past total_size", [](auto& b) { b.mmap(GOOD).mmap({{0x300000, 0x100000, 1}, {0x400000, 0x800000, 1}}); },
         8 + 40 + 16 + 24, GOOD_LINE, 0x200000},
        {"region wrapping past 2^64 runs to the top",  // bitmap of 32 KiB up to 0x112000
         [](auto& b) { b.mmap({{0x100000, ~0ull, MB2_AVAILABLE}}); }, -1, "  [OK] PMM: 262144 total, 260334 free (1016 MB)\n",
         0x112000},
        {"region in the last frames below 2^64",
         [](auto& b) { b.mmap({GOOD[0], {0xFFFFFFFFFFFFF800, 0x2000, MB2_AVAILABLE}}); }, -1,
         "  [OK] PMM: 262144 total, 256 free (1 MB)\n", 0x200000},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.what);
        mb2_builder info;
        c.make(info);
        info.end();
        EXPECT_EQ(boot(info, c.total_size), c.line);
        EXPECT_EQ(zero_bits(), pmm_get_free_pages());
        EXPECT_EQ(pmm_alloc_page(), c.first);
    }
}

TEST_F(pmm, information_reaching_past_the_mapped_gigabyte_is_not_read) {
    const uint64_t at = IDENTITY_MAP_END - 24;  // its map tag would need 40 bytes
    mb2_builder info;
    info.mmap(GOOD).end();
    pmm_init(info.place(at));
    EXPECT_EQ(serial(), NOTHING_FREE);
    fake_phys::clear(at, info.size());
}

TEST_F(pmm, memory_beyond_one_gigabyte_is_not_covered) {
    const uint64_t canary_at = KERNEL_END + 32768;  // first byte past a 1 GiB bitmap
    *fake_phys::at(canary_at) = 0xA5;
    mb2_builder info;
    info.mmap({{0x0, 0x9FC00, MB2_AVAILABLE}, {0x100000, 0x7FF00000, MB2_AVAILABLE}}).end();  // 2 GiB
    EXPECT_EQ(boot(info), "  [OK] PMM: 262144 total, 260334 free (1016 MB)\n");
    const uint64_t before = pmm_get_free_pages();
    pmm_free_page(IDENTITY_MAP_END);  // frame 262144: not covered
    pmm_free_page(IDENTITY_MAP_END + 0x10000000);
    EXPECT_EQ(pmm_get_free_pages(), before);
    EXPECT_EQ(*fake_phys::at(canary_at), 0xA5);
    *fake_phys::at(canary_at) = 0;
}

TEST_F(pmm, user_areas_are_never_handed_out) {
    // RAM around and inside both user areas. 0x10202 frames, bitmap to 0x10C041:
    // free 0x10D-0x3FF, 0x800-0x8FF, 0xFFFE-0xFFFF and 0x10200-0x10201.
    mb2_builder info;
    info.mmap({{0x100000, 0x800000, MB2_AVAILABLE}, {0xFFFE000, 0x204000, MB2_AVAILABLE}}).end();
    EXPECT_EQ(boot(info), "  [OK] PMM: 66050 total, 1015 free (3 MB)\n");
    const auto got = drain();
    ASSERT_EQ(got.size(), 1015u);
    for (size_t i = 1; i < got.size(); ++i) ASSERT_GT(got[i], got[i - 1]) << "not lowest-first";
    EXPECT_EQ(got.front(), 0x10D000u);
    EXPECT_EQ(got[754], 0x3FF000u);
    EXPECT_EQ(got[755], 0x800000u);
    EXPECT_EQ(got[1010], 0x8FF000u);
    EXPECT_EQ(got[1011], 0xFFFE000u);
    EXPECT_EQ(got.back(), 0x10201000u);
    // Giving a user-area frame "back" does not make it allocatable.
    pmm_free_page(USER_IMAGE_BASE);
    pmm_free_page(USER_STACK_BASE + 0x5000);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    EXPECT_EQ(pmm_alloc_page(), 0u);
}

TEST_F(pmm, free_returns_one_frame_and_allocation_stays_lowest_first) {
    mb2_builder info;
    info.mmap(GOOD).end();
    EXPECT_EQ(boot(info), GOOD_LINE);
    EXPECT_EQ(pmm_alloc_page(), 0x200000u);
    pmm_free_page(0x200123);  // any address inside the frame names it
    EXPECT_EQ(pmm_get_free_pages(), 256u);
    pmm_free_page(0x200000);  // already free
    pmm_free_page(0x300000);  // frame 768, beyond total
    pmm_free_page(~0ull);
    EXPECT_EQ(pmm_get_free_pages(), 256u);
    EXPECT_EQ(zero_bits(), 256u);

    // Exhausted, then frames from several bitmap bytes come back, highest first.
    EXPECT_EQ(drain().size(), 256u);
    for (uint64_t frame : {0x2F3, 0x2A0, 0x2A7, 0x231, 0x200}) pmm_free_page(frame * PAGE);
    for (uint64_t frame : {0x200, 0x231, 0x2A0, 0x2A7, 0x2F3}) EXPECT_EQ(pmm_alloc_page(), frame * PAGE);
    EXPECT_EQ(pmm_alloc_page(), 0u);
    // A frame freed below the last one handed out comes before those above it.
    pmm_free_page(0x2F0 * PAGE);
    pmm_free_page(0x2FF * PAGE);
    EXPECT_EQ(pmm_alloc_page(), 0x2F0 * PAGE);
    pmm_free_page(0x208 * PAGE);
    EXPECT_EQ(pmm_alloc_page(), 0x208 * PAGE);
    EXPECT_EQ(pmm_alloc_page(), 0x2FF * PAGE);
    // A new map starts the search afresh.
    EXPECT_EQ(boot(info), GOOD_LINE);
    EXPECT_EQ(pmm_alloc_page(), 0x200000u);
}

TEST_F(pmm, kernel_frames_cannot_be_freed_into_use) {
    mb2_builder info;
    info.mmap({{0x0, 0x9FC00, MB2_AVAILABLE}, {0x100000, 0x110000, MB2_AVAILABLE}}).end();
    // 0x210 frames, bitmap 66 bytes: frames 0-0x10A kept, 0x10B-0x20F free.
    EXPECT_EQ(boot(info), "  [OK] PMM: 528 total, 261 free (1 MB)\n");
    pmm_free_page(0);           // frame 0 would read as "no frame"
    pmm_free_page(0x100000);    // the kernel image
    pmm_free_page(KERNEL_END);  // the bitmap
    EXPECT_EQ(pmm_get_free_pages(), 261u);
    EXPECT_EQ(pmm_alloc_page(), 0x10B000u);
}

}  // namespace
