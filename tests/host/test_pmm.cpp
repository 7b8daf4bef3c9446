// The page allocator fed with boot information built in fake physical memory:
// the bitmap and counters it derives, the frames it hands out, and how it copes
// with maps that are odd, oversized or malformed.
#include <set>

#include "host_env.h"
#include "layout.h"
#include "mb2_builder.h"
#include "pmm.h"

namespace {

constexpr uint64_t KERNEL_END = 0x10A000;
constexpr uint64_t PAGE = 4096;

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
    // Takes every free frame; checks on the way that none is 0 while frames are free.
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
    static bool in_user_area(uint64_t a) {
        return (a >= USER_IMAGE_BASE && a < USER_IMAGE_END) || (a >= USER_STACK_BASE && a < USER_STACK_PAGE_END);
    }
};

TEST_F(pmm, typical_512m_map) {
    mb2_builder info;
    info.mmap(typical_map_512m()).end();
    // Top of RAM 0x1FFE0000 -> 131040 frames; the bitmap's 16380 bytes end at
    // 0x10DFFC, so frames 0-0x10D are kept. Free: 0x10E-0x1FFDF (130770) less the
    // user image area (1024 frames) and the user stack page (512 frames).
    EXPECT_EQ(boot(info), "  [OK] PMM: 131040 total, 129234 free (504 MB)\n");
    EXPECT_EQ(pmm_get_total_pages(), 131040u);
    EXPECT_EQ(pmm_get_free_pages(), 129234u);
    EXPECT_EQ(zero_bits(), 129234u);

    // The low 640 KiB is available RAM but lies below the bitmap's end.
    for (uint64_t f = 0; f <= 0x10D; ++f) EXPECT_TRUE(used(f)) << f;
    EXPECT_FALSE(used(0x10E));
    for (uint64_t f = 0x400; f < 0x800; ++f) ASSERT_TRUE(used(f)) << f;
    for (uint64_t f = 0x10000; f < 0x10200; ++f) ASSERT_TRUE(used(f)) << f;
    EXPECT_FALSE(used(0x3FF));
    EXPECT_FALSE(used(0x800));
    EXPECT_FALSE(used(0xFFFF));
    EXPECT_FALSE(used(0x10200));
    EXPECT_FALSE(used(0x1FFDF));

    EXPECT_EQ(pmm_alloc_page(), 0x10E000u);
    EXPECT_EQ(pmm_alloc_page(), 0x10F000u);
    EXPECT_EQ(pmm_get_free_pages(), 129232u);
}

TEST_F(pmm, bitmap_sits_at_kernel_end_and_covers_its_own_frames) {
    // A kernel ending mid-frame: the bitmap (2048 bytes for 64 MiB) starts right
    // there and its last byte, in the next frame, keeps that frame too.
    host_kernel_end = 0x10A900;
    mb2_builder info;
    info.mmap({{0x100000, 0x3F00000, MB2_AVAILABLE}}).end();
    // It ends at 0x10B100: frames 0-0x10B kept; the user stack page lies beyond
    // the 16384 frames, so only the image area's 1024 come off the rest.
    EXPECT_EQ(boot(info), "  [OK] PMM: 16384 total, 15092 free (58 MB)\n");
    EXPECT_EQ(fake_phys::at(0x10A900)[0], 0xFF);     // frames 0-7
    EXPECT_EQ(fake_phys::at(0x10A900)[0x21], 0x0F);  // frames 0x108-0x10B of 0x108-0x10F
    EXPECT_EQ(fake_phys::at(0x10A900)[0x80], 0xFF);  // frames 0x400-0x407, user image area
    EXPECT_EQ(pmm_alloc_page(), 0x10C000u);
}

TEST_F(pmm, unaligned_regions_lose_their_partial_frames) {
    mb2_builder info;
    info.mmap({{0x200800, 0xF900, MB2_AVAILABLE}}).end();  // 0x200800-0x210100
    // Whole frames 0x201-0x20F; total reaches the region's end, 0x210 frames.
    EXPECT_EQ(boot(info), "  [OK] PMM: 528 total, 15 free (0 MB)\n");
    const auto got = drain();
    ASSERT_EQ(got.size(), 15u);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], 0x201000u + i * PAGE);
}

TEST_F(pmm, padded_entries_are_walked_by_entry_size) {
    mb2_builder info;
    info.mmap({{0x0, 0x9F000, MB2_AVAILABLE}, {0x200000, 0x8000, MB2_AVAILABLE}, {0x300000, 0x4000, MB2_RESERVED}},
              40)
        .end();
    EXPECT_EQ(boot(info), "  [OK] PMM: 520 total, 8 free (0 MB)\n");
}

TEST_F(pmm, overlapping_regions_free_shared_frames_once) {
    mb2_builder info;
    info.mmap({{0x200000, 0x100000, MB2_AVAILABLE}, {0x280000, 0x100000, MB2_AVAILABLE}}).end();
    // Frames 0x200-0x37F, the common 0x280-0x2FF counted once.
    EXPECT_EQ(boot(info), "  [OK] PMM: 896 total, 384 free (1 MB)\n");
    EXPECT_EQ(zero_bits(), 384u);
    EXPECT_EQ(drain().size(), 384u);
}

TEST_F(pmm, short_entries) {
    {
        mb2_builder info;  // 4095 bytes: not a region at all, so no map
        info.mmap({{0x200000, 4095, MB2_AVAILABLE}}).end();
        EXPECT_EQ(boot(info), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
    }
    {
        mb2_builder info;  // 4096 bytes at an unaligned base: a region without a whole frame
        info.mmap({{0x300800, 4096, MB2_AVAILABLE}}).end();
        EXPECT_EQ(boot(info), "  [OK] PMM: 769 total, 0 free (0 MB)\n");
        EXPECT_EQ(pmm_alloc_page(), 0u);
    }
}

TEST_F(pmm, only_the_first_32_regions_count) {
    std::vector<mb2_entry> entries;
    // 32 one-frame regions of the unaligned kind (no whole frame) and reserved
    // entries between them, which do not count.
    for (int i = 0; i < 32; ++i) {
        entries.push_back({0x200800 + i * 0x2000ull, 4096, MB2_AVAILABLE});
        entries.push_back({0x201800 + i * 0x2000ull, 4096, MB2_RESERVED});
    }
    entries.push_back({0x300000, 0x100000, MB2_AVAILABLE});  // the 33rd: ignored
    mb2_builder info;
    info.mmap(entries).end();
    // Highest end among the 32: 0x200800 + 31 * 0x2000 + 0x1000 = 0x23F800.
    EXPECT_EQ(boot(info), "  [OK] PMM: 575 total, 0 free (0 MB)\n");

    // Counted across tags too: 20 regions here, 12 in the next tag, then none.
    std::vector<mb2_entry> first, second;
    for (int i = 0; i < 20; ++i) first.push_back({0x200000 + i * 0x2000ull, PAGE, MB2_AVAILABLE});
    for (int i = 0; i < 14; ++i) second.push_back({0x300000 + i * 0x2000ull, PAGE, MB2_AVAILABLE});
    mb2_builder two;
    two.mmap(first).mmap(second).end();
    // Last counted region: 0x300000 + 11 * 0x2000, ending at 0x317000.
    EXPECT_EQ(boot(two), "  [OK] PMM: 791 total, 32 free (0 MB)\n");
}

TEST_F(pmm, no_usable_map_leaves_everything_in_use) {
    {
        mb2_builder info;
        info.tag(1, {'q', 0}).end();  // a command line, no memory map
        EXPECT_EQ(boot(info), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
        EXPECT_EQ(pmm_alloc_page(), 0u);
    }
    {
        // A good map, but total_size says the information ends before any tag.
        mb2_builder info;
        info.mmap({{0x200000, 0x100000, MB2_AVAILABLE}}).end();
        EXPECT_EQ(boot(info, 15), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
        EXPECT_EQ(zero_bits(), 0u);
    }
    {
        // The walk stops at the end tag and at a tag with a size below 8.
        mb2_builder ended, broken;
        ended.end().mmap({{0x200000, 0x100000, MB2_AVAILABLE}});
        EXPECT_EQ(boot(ended), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
        broken.tag(9, {}, 7).mmap({{0x200000, 0x100000, MB2_AVAILABLE}}).end();
        EXPECT_EQ(boot(broken), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
    }
}

// Each malformed tag below sits before a good map of 0x200000-0x300000 (768
// frames total, 256 free); a reader that took anything from the bad tag would
// print other numbers, or fault.
const std::vector<mb2_entry> GOOD = {{0x200000, 0x100000, MB2_AVAILABLE}};
const char GOOD_LINE[] = "  [OK] PMM: 768 total, 256 free (1 MB)\n";

TEST_F(pmm, malformed_map_tags_are_skipped) {
    {
        // Size 12: no room for the entry size and version. Read as a map, its
        // "entries" would start in the next tag, whose payload looks like an
        // available region far above 1 GiB.
        mb2_builder info;
        info.raw(mb2_builder::le32(6)).raw(mb2_builder::le32(12)).raw(mb2_builder::le32(24)).raw({0, 0, 0, 0});
        std::vector<uint8_t> lure = mb2_builder::le64(0x100000);
        const auto type = mb2_builder::le32(MB2_AVAILABLE);
        lure.insert(lure.end(), type.begin(), type.end());
        info.tag(99, lure).mmap(GOOD).end();
        EXPECT_EQ(boot(info), GOOD_LINE);
    }
    {
        mb2_builder info;  // entry_size 0 would divide by zero
        info.mmap({{0x500000, 0x100000, MB2_AVAILABLE}}, 0, 16 + 24).raw(std::vector<uint8_t>(24, 0)).mmap(GOOD).end();
        EXPECT_EQ(boot(info), GOOD_LINE);
    }
    {
        mb2_builder info;  // 20-byte entries cannot hold base, length and type whole
        info.mmap({{0x100000, 0x1000000, MB2_AVAILABLE}, {0x2000000, 0x1000000, MB2_AVAILABLE}}, 20).mmap(GOOD).end();
        EXPECT_EQ(boot(info), GOOD_LINE);
    }
}

TEST_F(pmm, entry_cut_by_its_tag_end_is_not_read) {
    // The tag's size (52) holds one good entry and 12 bytes of a second. Read on,
    // the second entry's type would come from the next tag, a command line, whose
    // type 1 reads as "available": 16 MiB more.
    mb2_builder info;
    info.raw(mb2_builder::le32(6)).raw(mb2_builder::le32(52)).raw(mb2_builder::le32(24)).raw(mb2_builder::le32(0));
    info.raw(mb2_builder::le64(GOOD[0].base)).raw(mb2_builder::le64(GOOD[0].length));
    info.raw(mb2_builder::le32(MB2_AVAILABLE)).raw(mb2_builder::le32(0));
    info.raw(mb2_builder::le64(0x1000000)).raw(mb2_builder::le32(0x1000000)).raw({0, 0, 0, 0});
    info.tag(1, {'x', 0}).end();
    EXPECT_EQ(boot(info), GOOD_LINE);
}

TEST_F(pmm, tag_running_past_total_size_is_not_read) {
    mb2_builder info;
    info.mmap(GOOD).mmap({{0x300000, 0x100000, MB2_AVAILABLE}, {0x400000, 0x800000, MB2_AVAILABLE}});
    // total_size ends inside the second map tag, after its first entry.
    const int64_t cut = 8 + 40 + 16 + 24;
    EXPECT_EQ(boot(info, cut), GOOD_LINE);
}

TEST_F(pmm, information_reaching_past_the_mapped_gigabyte_is_not_read) {
    // The information starts 24 bytes below 1 GiB; its map tag would need 40.
    const uint64_t at = IDENTITY_MAP_END - 24;
    mb2_builder info;
    info.mmap(GOOD).end();
    pmm_init(info.place(at));
    EXPECT_EQ(serial(), "  [OK] PMM: 16384 total, 0 free (0 MB)\n");
    fake_phys::clear(at, info.size());
}

TEST_F(pmm, wrapping_regions_end_at_the_top_of_memory) {
    {
        // base + length wraps past 2^64: the region runs to the top, so the whole
        // mapped gigabyte above 1 MiB is free.
        mb2_builder info;
        info.mmap({{0x100000, ~0ull, MB2_AVAILABLE}}).end();
        // 262144 frames, a 32 KiB bitmap ending at 0x112000: 262144 - 0x112 - 1536.
        EXPECT_EQ(boot(info), "  [OK] PMM: 262144 total, 260334 free (1016 MB)\n");
    }
    {
        // A region in the last frames below 2^64: nothing mapped is freed, and a
        // first-frame computation that wrapped to 0 would free everything.
        mb2_builder info;
        info.mmap({GOOD[0], {0xFFFFFFFFFFFFF800, 0x2000, MB2_AVAILABLE}}).end();
        EXPECT_EQ(boot(info), "  [OK] PMM: 262144 total, 256 free (1 MB)\n");
        EXPECT_FALSE(used(0x200));
        EXPECT_TRUE(used(0x300));
        EXPECT_TRUE(used(0x3FFFF));
    }
}

TEST_F(pmm, memory_beyond_one_gigabyte_is_not_covered) {
    const uint64_t canary_at = KERNEL_END + 32768;  // first byte past a 1 GiB bitmap
    *fake_phys::at(canary_at) = 0xA5;
    mb2_builder info;
    info.mmap({{0x0, 0x9FC00, MB2_AVAILABLE}, {0x100000, 0x7FF00000, MB2_AVAILABLE}}).end();  // 2 GiB
    EXPECT_EQ(boot(info), "  [OK] PMM: 262144 total, 260334 free (1016 MB)\n");
    EXPECT_EQ(pmm_get_total_pages(), IDENTITY_MAP_END / PAGE);
    EXPECT_EQ(*fake_phys::at(canary_at), 0xA5);
    const uint64_t before = pmm_get_free_pages();
    pmm_free_page(IDENTITY_MAP_END);  // frame 262144: not covered
    pmm_free_page(IDENTITY_MAP_END + 0x10000000);
    EXPECT_EQ(pmm_get_free_pages(), before);
    EXPECT_EQ(*fake_phys::at(canary_at), 0xA5);
    *fake_phys::at(canary_at) = 0;
}

TEST_F(pmm, user_areas_are_never_handed_out) {
    // RAM around both user areas and inside them; nothing else is free.
    mb2_builder info;
    info.mmap({{0x100000, 0x800000, MB2_AVAILABLE}, {0xFFFE000, 0x204000, MB2_AVAILABLE}}).end();
    // 0x10202 frames, bitmap 8257 bytes ending at 0x10C041: frames 0x10D-0x3FF
    // (755), 0x800-0x8FF (256), 0xFFFE-0xFFFF and 0x10200-0x10201 (4) free.
    EXPECT_EQ(boot(info), "  [OK] PMM: 66050 total, 1015 free (3 MB)\n");
    const auto got = drain();
    ASSERT_EQ(got.size(), 1015u);
    std::set<uint64_t> seen;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_FALSE(in_user_area(got[i])) << std::hex << got[i];
        EXPECT_EQ(got[i] % PAGE, 0u);
        if (i > 0) {
            EXPECT_GT(got[i], got[i - 1]) << "not lowest-first";
        }
        seen.insert(got[i]);
    }
    EXPECT_EQ(got.front(), 0x10D000u);
    EXPECT_EQ(got[754], 0x3FF000u);
    EXPECT_EQ(got[755], 0x800000u);
    EXPECT_EQ(got.back(), 0x10201000u);
    // Giving a user-area frame "back" does not make it allocatable.
    pmm_free_page(USER_IMAGE_BASE);
    pmm_free_page(USER_STACK_BASE + 0x5000);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    EXPECT_EQ(pmm_alloc_page(), 0u);
}

TEST_F(pmm, free_marks_one_frame_free_and_nothing_else) {
    mb2_builder info;
    info.mmap({{0x200000, 0x10000, MB2_AVAILABLE}}).end();  // frames 0x200-0x20F
    EXPECT_EQ(boot(info), "  [OK] PMM: 528 total, 16 free (0 MB)\n");
    const uint64_t a = pmm_alloc_page();
    const uint64_t b = pmm_alloc_page();
    EXPECT_EQ(a, 0x200000u);
    EXPECT_EQ(b, 0x201000u);
    EXPECT_EQ(pmm_get_free_pages(), 14u);

    pmm_free_page(a + 0x123);  // any address inside the frame names it
    EXPECT_EQ(pmm_get_free_pages(), 15u);
    pmm_free_page(a);  // already free
    EXPECT_EQ(pmm_get_free_pages(), 15u);
    pmm_free_page(0x210000);  // frame 528, beyond total
    pmm_free_page(~0ull);
    EXPECT_EQ(pmm_get_free_pages(), 15u);
    EXPECT_EQ(zero_bits(), 15u);
    EXPECT_EQ(pmm_alloc_page(), a);  // lowest first again
}

TEST_F(pmm, freed_frames_are_found_again_lowest_first_after_any_allocations) {
    mb2_builder info;
    info.mmap({{0x200000, 0x100000, MB2_AVAILABLE}}).end();  // frames 0x200-0x2FF
    EXPECT_EQ(boot(info), "  [OK] PMM: 768 total, 256 free (1 MB)\n");
    // Exhausted, then frames from several bitmap bytes come back, the highest
    // first: each allocation still takes the lowest free one.
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
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    // A new map starts the search afresh.
    EXPECT_EQ(boot(info), "  [OK] PMM: 768 total, 256 free (1 MB)\n");
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
