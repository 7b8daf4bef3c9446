// The kernel heap on top of the real page allocator, which a crafted memory map
// steers: where blocks land, how they split and merge, how the heap grows, and
// how it refuses requests it cannot serve. Blocks are checked in fake physical
// memory through their headers (size at +0, free flag at +8, next at +16).
#include <cstring>

#include "heap.h"
#include "host_env.h"
#include "layout.h"
#include "mb2_builder.h"
#include "pmm.h"

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t HDR = 24;
constexpr uint64_t EIGHT_MIB = 0x800000;

struct header_view {
    uint64_t size;
    uint8_t free;
    uint64_t next;  // physical address of the next header, 0 at the tail
};

header_view header(uint64_t addr) {
    header_view v;
    v.size = *fake_phys::at<uint64_t>(addr);
    v.free = *fake_phys::at<uint8_t>(addr + 8);
    void* next = *fake_phys::at<void*>(addr + 16);
    v.next = next == nullptr ? 0 : ptr_phys(next);
    return v;
}

uint64_t phys(void* p) { return p == nullptr ? 0 : ptr_phys(p); }

// RAM below 640 KiB (all of it the kernel's) and from 8 MiB to 32 MiB: the heap's
// 2048 frames are 0x800000-0xFFFFFF, one unbroken chunk, and 4096 frames remain.
const std::vector<mb2_entry> CONTIGUOUS = {{0x0, 0x9F000, MB2_AVAILABLE}, {EIGHT_MIB, 0x1800000, MB2_AVAILABLE}};

class heap : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        host_kernel_end = 0x10A000;
        fake_phys::clear(0x100000, 0x1F00000);  // no header left by an earlier test
    }
    // Boots the page allocator on `map`, then the heap; returns the heap's lines.
    std::string start(const std::vector<mb2_entry>& map) {
        fake_phys::clear(MB2_INFO_ADDR, 0x1000);
        mb2_builder info;
        info.mmap(map).end();
        pmm_init(info.place(MB2_INFO_ADDR));
        serial();
        heap_init();
        return serial();
    }
};

TEST_F(heap, starts_as_one_free_block_of_eight_mib) {
    EXPECT_EQ(start(CONTIGUOUS), "  [OK] Heap: 8192 KB available\n");
    const header_view h = header(EIGHT_MIB);
    EXPECT_EQ(h.size, 8388584u);
    EXPECT_EQ(h.free, 1);
    EXPECT_EQ(h.next, 0u);
    EXPECT_EQ(pmm_get_free_pages(), 4096u);
}

TEST_F(heap, start_up_frames_split_around_the_user_area) {
    // The machine's own layout: frames 0x10E-0x3FF, then from 0x800 on, as the
    // user image area lies between them.
    EXPECT_EQ(start(typical_map_512m()), "  [OK] Heap: 8192 KB available\n");
    const uint64_t low = 0x10E000;
    const uint64_t low_frames = 0x400 - 0x10E;  // 754
    const header_view first = header(low);
    EXPECT_EQ(first.size, low_frames * PAGE - HDR);
    EXPECT_EQ(first.free, 1);
    EXPECT_EQ(first.next, USER_IMAGE_END);
    const header_view second = header(USER_IMAGE_END);
    EXPECT_EQ(second.size, (2048 - low_frames) * PAGE - HDR);
    EXPECT_EQ(second.free, 1);
    EXPECT_EQ(second.next, 0u);

    // A block larger than the low chunk comes from the high one, and nothing is
    // ever placed in the user area.
    void* big = kmalloc(first.size + 8);
    EXPECT_EQ(phys(big), USER_IMAGE_END + HDR);
    void* fits = kmalloc(first.size);
    EXPECT_EQ(phys(fits), low + HDR);
}

TEST_F(heap, small_allocations_split_the_first_block) {
    start(CONTIGUOUS);
    EXPECT_EQ(kmalloc(0), nullptr);
    EXPECT_EQ(kcalloc(0, 5), nullptr);
    EXPECT_EQ(kcalloc(5, 0), nullptr);

    void* p = kmalloc(1);
    EXPECT_EQ(phys(p), EIGHT_MIB + HDR);
    const header_view used = header(EIGHT_MIB);
    EXPECT_EQ(used.size, 8u);
    EXPECT_EQ(used.free, 0);
    EXPECT_EQ(used.next, EIGHT_MIB + 32);
    const header_view rest = header(EIGHT_MIB + 32);
    EXPECT_EQ(rest.size, 8388552u);
    EXPECT_EQ(rest.free, 1);
    EXPECT_EQ(rest.next, 0u);

    // Sizes round up to 8, so every payload stays 8-byte aligned.
    void* q = kmalloc(13);
    EXPECT_EQ(phys(q), EIGHT_MIB + 32 + HDR);
    EXPECT_EQ(header(EIGHT_MIB + 32).size, 16u);
    EXPECT_EQ(header(EIGHT_MIB + 32).next, EIGHT_MIB + 32 + HDR + 16);
}

TEST_F(heap, a_block_without_room_for_another_is_handed_out_whole) {
    start(CONTIGUOUS);
    void* a = kmalloc(64);
    void* b = kmalloc(8);
    const uint64_t a_hdr = EIGHT_MIB, b_hdr = EIGHT_MIB + HDR + 64;
    ASSERT_EQ(phys(a), a_hdr + HDR);
    ASSERT_EQ(phys(b), b_hdr + HDR);
    kfree(a);  // b is in use: a stays a free block of 64

    // 64 < 32 + 40: whole, keeping its size.
    EXPECT_EQ(kmalloc(32), a);
    EXPECT_EQ(header(a_hdr).size, 64u);
    EXPECT_EQ(header(a_hdr).next, b_hdr);
    kfree(a);

    // 64 >= 24 + 40: split into 24 and a free 16.
    EXPECT_EQ(kmalloc(24), a);
    EXPECT_EQ(header(a_hdr).size, 24u);
    const uint64_t tail = a_hdr + HDR + 24;
    EXPECT_EQ(header(a_hdr).next, tail);
    EXPECT_EQ(header(tail).size, 16u);
    EXPECT_EQ(header(tail).free, 1);
    EXPECT_EQ(header(tail).next, b_hdr);
    EXPECT_EQ(kmalloc(16), fake_phys::at(tail + HDR));
}

TEST_F(heap, free_merges_only_with_the_next_block) {
    const uint64_t a = EIGHT_MIB, b = a + HDR + 32, c = b + HDR + 32, rest = c + HDR + 32;
    {
        start(CONTIGUOUS);
        void* pa = kmalloc(32);
        void* pb = kmalloc(32);
        kmalloc(32);
        kfree(pa);  // its successor b is in use
        kfree(pb);  // its predecessor is never looked at
        EXPECT_EQ(header(a).size, 32u);
        EXPECT_EQ(header(a).free, 1);
        EXPECT_EQ(header(a).next, b);
        EXPECT_EQ(header(b).size, 32u);
        EXPECT_EQ(header(b).free, 1);
        EXPECT_EQ(header(b).next, c);
    }
    {
        start(CONTIGUOUS);
        void* pa = kmalloc(32);
        void* pb = kmalloc(32);
        void* pc = kmalloc(32);
        kfree(pb);
        kfree(pa);  // absorbs b
        EXPECT_EQ(header(a).size, 88u);
        EXPECT_EQ(header(a).free, 1);
        EXPECT_EQ(header(a).next, c);
        const uint64_t rest_size = header(rest).size;
        kfree(pc);  // absorbs the rest of the chunk; a stays as it was
        EXPECT_EQ(header(c).size, 32 + HDR + rest_size);
        EXPECT_EQ(header(c).next, 0u);
        EXPECT_EQ(header(a).size, 88u);
        EXPECT_EQ(header(a).next, c);
        // The merged a serves a request that neither half could.
        EXPECT_EQ(kmalloc(80), pa);
    }
    kfree(nullptr);
}

TEST_F(heap, grows_by_whole_frames_when_nothing_fits) {
    start(CONTIGUOUS);
    const uint64_t before = pmm_get_free_pages();
    // 8 MiB + 24 bytes of header: 2049 frames, right after the first chunk.
    void* big = kmalloc(EIGHT_MIB);
    EXPECT_EQ(pmm_get_free_pages(), before - 2049);
    const uint64_t chunk = 2 * EIGHT_MIB;
    EXPECT_EQ(phys(big), chunk + HDR);
    EXPECT_EQ(header(chunk).size, EIGHT_MIB);
    EXPECT_EQ(header(chunk).next, chunk + HDR + EIGHT_MIB);
    EXPECT_EQ(header(chunk + HDR + EIGHT_MIB).size, 2049 * PAGE - HDR - EIGHT_MIB - HDR);

    // The old block is still whole and free, linked before the new chunk, and
    // first fit goes back to it.
    EXPECT_EQ(header(EIGHT_MIB).size, 8388584u);
    EXPECT_EQ(header(EIGHT_MIB).free, 1);
    EXPECT_EQ(header(EIGHT_MIB).next, chunk);
    EXPECT_EQ(phys(kmalloc(16)), EIGHT_MIB + HDR);

    // With the rest of the first block taken, every block is in use or too
    // small for 4073 bytes (the big one left 4048). A frame holds 4072 after its
    // header, so two frames come, right after the previous growth.
    EXPECT_NE(kmalloc(header(EIGHT_MIB + HDR + 16).size), nullptr);
    const uint64_t mid = pmm_get_free_pages();
    void* two = kmalloc(PAGE - HDR + 1);
    EXPECT_EQ(pmm_get_free_pages(), mid - 2);
    EXPECT_EQ(phys(two), chunk + 2049 * PAGE + HDR);
    EXPECT_EQ(header(chunk + HDR + EIGHT_MIB).next, chunk + 2049 * PAGE);
}

TEST_F(heap, blocks_are_never_merged_across_a_gap) {
    // Four frames at 8 MiB, then a hole, then RAM from 9 MiB: two chunks.
    start({{0x0, 0x9F000, MB2_AVAILABLE}, {EIGHT_MIB, 4 * PAGE, MB2_AVAILABLE}, {0x900000, 0x1700000, MB2_AVAILABLE}});
    const uint64_t low = EIGHT_MIB, high = 0x900000;
    EXPECT_EQ(header(low).size, 4 * PAGE - HDR);
    EXPECT_EQ(header(low).next, high);
    EXPECT_EQ(header(high).size, 2044 * PAGE - HDR);
    EXPECT_EQ(header(high).next, 0u);

    void* p = kmalloc(4 * PAGE - HDR);  // all of the low chunk
    void* q = kmalloc(8);
    EXPECT_EQ(phys(p), low + HDR);
    EXPECT_EQ(phys(q), high + HDR);
    kfree(q);  // back into one high block
    kfree(p);  // its list successor is free but 1 MiB away
    EXPECT_EQ(header(low).size, 4 * PAGE - HDR);
    EXPECT_EQ(header(low).next, high);
    EXPECT_EQ(header(high).size, 2044 * PAGE - HDR);

    // So a block one byte larger than the low chunk must come from the high one.
    EXPECT_EQ(phys(kmalloc(4 * PAGE - HDR + 1)), high + HDR);
}

TEST_F(heap, growth_keeps_only_adjacent_frames_together) {
    // The heap's 2048 frames end at 16 MiB; then two frames, a hole, and RAM
    // from 17 MiB.
    start({{0x0, 0x9F000, MB2_AVAILABLE},
           {EIGHT_MIB, EIGHT_MIB + 2 * PAGE, MB2_AVAILABLE},
           {0x1100000, 0x100000, MB2_AVAILABLE}});
    ASSERT_NE(kmalloc(8388584), nullptr);  // the whole start-up block
    const uint64_t before = pmm_get_free_pages();

    // 8192 bytes need three frames. The first three come as a run of two and a
    // lone frame past the hole: neither holds the block, so both join the heap
    // and three more are taken, which follow the lone frame but form a chunk of
    // their own.
    void* p = kmalloc(2 * PAGE);
    EXPECT_EQ(pmm_get_free_pages(), before - 6);
    EXPECT_EQ(phys(p), 0x1101000 + HDR);
    EXPECT_EQ(header(0x1000000).size, 2 * PAGE - HDR);
    EXPECT_EQ(header(0x1000000).next, 0x1100000u);
    EXPECT_EQ(header(0x1100000).size, PAGE - HDR);
    EXPECT_EQ(header(0x1100000).next, 0x1101000u);

    // The frames of the first round serve later requests.
    EXPECT_EQ(phys(kmalloc(2 * PAGE - HDR)), 0x1000000 + HDR);
    EXPECT_EQ(phys(kmalloc(PAGE - HDR)), 0x1100000 + HDR);
    EXPECT_EQ(pmm_get_free_pages(), before - 6);
}

TEST_F(heap, failed_start_up_warns_and_grows_on_first_use) {
    // 100 frames: start-up takes them all and still fails.
    EXPECT_EQ(start({{EIGHT_MIB, 100 * PAGE, MB2_AVAILABLE}}),
              "  [WARN] Heap: failed to pre-allocate 8 MB\n"
              "  [OK] Heap: 0 KB available\n");
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    EXPECT_EQ(kmalloc(100), nullptr);

    // The frames are not in the heap: no header was written into them.
    EXPECT_EQ(header(EIGHT_MIB).size, 0u);

    const uint64_t frame = EIGHT_MIB + 42 * PAGE;
    pmm_free_page(frame);
    void* p = kmalloc(100);
    EXPECT_EQ(phys(p), frame + HDR);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    EXPECT_EQ(header(frame).size, 104u);
    EXPECT_EQ(header(frame + HDR + 104).size, PAGE - HDR - 104 - HDR);
    EXPECT_EQ(header(frame + HDR + 104).next, 0u);
}

TEST_F(heap, impossible_sizes_fail_without_taking_frames) {
    start(CONTIGUOUS);
    const uint64_t frames = pmm_get_free_pages();
    const uint64_t max = ~0ull;
    EXPECT_EQ(kmalloc(max), nullptr);       // rounding up wraps to 0
    EXPECT_EQ(kmalloc(max - 7), nullptr);   // 2^64 - 8: the header wraps
    EXPECT_EQ(kmalloc(max - 29), nullptr);  // rounds to 2^64 - 24: the header wraps
    EXPECT_EQ(kmalloc(max - 40), nullptr);  // frame count far beyond memory
    EXPECT_EQ(kmalloc(1ull << 63), nullptr);
    EXPECT_EQ(kmalloc(frames * PAGE), nullptr);  // one header more than is free
    EXPECT_EQ(kcalloc((1ull << 63) + 1, 2), nullptr);  // the product wraps to 2
    EXPECT_EQ(kcalloc(1ull << 32, 1ull << 32), nullptr);
    EXPECT_EQ(kcalloc(max, max), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), frames);
    EXPECT_EQ(header(EIGHT_MIB).size, 8388584u);
    EXPECT_EQ(header(EIGHT_MIB).free, 1);
    EXPECT_EQ(header(EIGHT_MIB).next, 0u);

    // Everything free still fits: the start-up block's 8 MiB plus the 4096
    // frames left, as one growth of 16 MiB less a header.
    EXPECT_EQ(phys(kmalloc(frames * PAGE - HDR)), 2 * EIGHT_MIB + HDR);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
}

TEST_F(heap, calloc_clears_what_it_returns) {
    start(CONTIGUOUS);
    void* p = kmalloc(64);
    std::memset(p, 0xAA, 64);
    kfree(p);
    auto* q = static_cast<uint8_t*>(kcalloc(8, 8));
    ASSERT_EQ(q, p);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(q[i], 0) << i;

    // 3 x 5 = 15 bytes: a 16-byte block, all 15 cleared.
    void* r = kmalloc(16);
    std::memset(r, 0xBB, 16);
    kfree(r);
    auto* z = static_cast<uint8_t*>(kcalloc(3, 5));
    ASSERT_EQ(z, r);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(z[i], 0) << i;
}

}  // namespace
