// The kernel heap on the real page allocator, steered by crafted memory maps:
// where blocks land, how they split and merge, how the heap grows and what it
// refuses. Headers are read in fake physical memory (size +0, free +8, next +16).
#include <cstring>

#include "heap.h"
#include "host_env.h"
#include "layout.h"
#include "mb2_builder.h"

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t HDR = 24;
constexpr uint64_t EIGHT_MIB = 0x800000;
constexpr uint64_t START_BLOCK = EIGHT_MIB - HDR;  // the start-up block's payload

uint64_t phys(void* p) { return p == nullptr ? 0 : ptr_phys(p); }

// The header at `addr` holds exactly this; `next` is a physical address or 0.
void expect_block(uint64_t addr, uint64_t size, bool free, uint64_t next) {
    SCOPED_TRACE("header at 0x" + std::to_string(addr));
    EXPECT_EQ(*fake_phys::at<uint64_t>(addr), size);
    EXPECT_EQ(*fake_phys::at<uint8_t>(addr + 8), free ? 1 : 0);
    EXPECT_EQ(phys(*fake_phys::at<void*>(addr + 16)), next);
}
uint64_t size_at(uint64_t addr) { return *fake_phys::at<uint64_t>(addr); }

// RAM below 640 KiB (all the kernel's) and from 8 MiB to 32 MiB: the heap's 2048
// frames are 0x800000-0xFFFFFF, one unbroken chunk, and 4096 frames remain.
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
        pmm_boot(map);
        serial();
        heap_init();
        return serial();
    }
};

TEST_F(heap, starts_as_one_free_block_of_eight_mib) {
    EXPECT_EQ(start(CONTIGUOUS), "  [OK] Heap: 8192 KB available\n");
    expect_block(EIGHT_MIB, START_BLOCK, true, 0);
    EXPECT_EQ(pmm_get_free_pages(), 4096u);
}

TEST_F(heap, start_up_frames_split_around_the_user_area) {
    // Frames 0x10E-0x3FF, then from 0x800 on: the user image area lies between.
    EXPECT_EQ(start(typical_map_512m()), "  [OK] Heap: 8192 KB available\n");
    const uint64_t low = 0x10E000, low_frames = 0x400 - 0x10E;
    expect_block(low, low_frames * PAGE - HDR, true, USER_IMAGE_END);
    expect_block(USER_IMAGE_END, (2048 - low_frames) * PAGE - HDR, true, 0);
    // A block larger than the low chunk comes from the high one.
    EXPECT_EQ(phys(kmalloc(low_frames * PAGE - HDR + 8)), USER_IMAGE_END + HDR);
    EXPECT_EQ(phys(kmalloc(low_frames * PAGE - HDR)), low + HDR);
}

TEST_F(heap, first_fit_splits_above_the_threshold_only) {
    start(CONTIGUOUS);
    EXPECT_EQ(kmalloc(0), nullptr);
    EXPECT_EQ(kcalloc(0, 5), nullptr);
    EXPECT_EQ(kcalloc(5, 0), nullptr);

    // Sizes round up to 8, so every payload stays 8-byte aligned.
    EXPECT_EQ(phys(kmalloc(1)), EIGHT_MIB + HDR);
    expect_block(EIGHT_MIB, 8, false, EIGHT_MIB + 32);
    expect_block(EIGHT_MIB + 32, START_BLOCK - 32, true, 0);
    EXPECT_EQ(phys(kmalloc(13)), EIGHT_MIB + 32 + HDR);
    expect_block(EIGHT_MIB + 32, 16, false, EIGHT_MIB + 72);

    // A free block of 64 between used ones: 64 < 32 + 40 is handed out whole,
    // 64 >= 24 + 40 is split into 24 and a free 16.
    const uint64_t a = EIGHT_MIB + 72, b = a + HDR + 64;
    void* pa = kmalloc(64);
    ASSERT_EQ(phys(pa), a + HDR);
    ASSERT_EQ(phys(kmalloc(8)), b + HDR);
    kfree(pa);
    EXPECT_EQ(kmalloc(32), pa);
    expect_block(a, 64, false, b);
    kfree(pa);
    EXPECT_EQ(kmalloc(24), pa);
    expect_block(a, 24, false, a + HDR + 24);
    expect_block(a + HDR + 24, 16, true, b);
    EXPECT_EQ(phys(kmalloc(16)), a + HDR + 24 + HDR);
}

TEST_F(heap, free_merges_only_with_the_next_block) {
    const uint64_t a = EIGHT_MIB, b = a + HDR + 32, c = b + HDR + 32, rest = c + HDR + 32;
    start(CONTIGUOUS);
    void* pa = kmalloc(32);
    void* pb = kmalloc(32);
    void* pc = kmalloc(32);
    kfree(pa);  // its successor b is in use
    kfree(pb);  // its predecessor is never looked at
    expect_block(a, 32, true, b);
    expect_block(b, 32, true, c);

    start(CONTIGUOUS);
    pa = kmalloc(32);
    pb = kmalloc(32);
    pc = kmalloc(32);
    kfree(pb);
    kfree(pa);  // absorbs b
    expect_block(a, 88, true, c);
    const uint64_t rest_size = size_at(rest);
    kfree(pc);  // absorbs the rest of the chunk; a stays as it was
    expect_block(c, 32 + HDR + rest_size, true, 0);
    expect_block(a, 88, true, c);
    EXPECT_EQ(kmalloc(80), pa);  // the merged block serves what neither half could
    kfree(nullptr);
}

TEST_F(heap, grows_by_whole_frames_when_nothing_fits) {
    start(CONTIGUOUS);
    const uint64_t before = pmm_get_free_pages();
    // 8 MiB + a header: 2049 frames, right after the first chunk.
    const uint64_t chunk = 2 * EIGHT_MIB, tail = chunk + HDR + EIGHT_MIB;
    EXPECT_EQ(phys(kmalloc(EIGHT_MIB)), chunk + HDR);
    EXPECT_EQ(pmm_get_free_pages(), before - 2049);
    expect_block(chunk, EIGHT_MIB, false, tail);
    expect_block(tail, 2049 * PAGE - HDR - EIGHT_MIB - HDR, true, 0);
    // The old block is still whole, linked before the new chunk; first fit goes back to it.
    expect_block(EIGHT_MIB, START_BLOCK, true, chunk);
    EXPECT_EQ(phys(kmalloc(16)), EIGHT_MIB + HDR);

    // With the rest of the first block taken, nothing holds 4073 bytes (the tail
    // has 4048); a frame holds 4072 after its header, so two frames come.
    EXPECT_NE(kmalloc(size_at(EIGHT_MIB + HDR + 16)), nullptr);
    const uint64_t mid = pmm_get_free_pages();
    EXPECT_EQ(phys(kmalloc(PAGE - HDR + 1)), chunk + 2049 * PAGE + HDR);
    EXPECT_EQ(pmm_get_free_pages(), mid - 2);
    EXPECT_EQ(phys(*fake_phys::at<void*>(tail + 16)), chunk + 2049 * PAGE);
}

TEST_F(heap, blocks_are_never_merged_across_a_gap) {
    // Four frames at 8 MiB, a hole, RAM from 9 MiB: two chunks.
    const uint64_t low = EIGHT_MIB, high = 0x900000;
    start({{0x0, 0x9F000, MB2_AVAILABLE}, {low, 4 * PAGE, MB2_AVAILABLE}, {high, 0x1700000, MB2_AVAILABLE}});
    expect_block(low, 4 * PAGE - HDR, true, high);
    expect_block(high, 2044 * PAGE - HDR, true, 0);
    void* p = kmalloc(4 * PAGE - HDR);  // all of the low chunk
    void* q = kmalloc(8);
    EXPECT_EQ(phys(p), low + HDR);
    EXPECT_EQ(phys(q), high + HDR);
    kfree(q);
    kfree(p);  // its list successor is free but 1 MiB away
    expect_block(low, 4 * PAGE - HDR, true, high);
    expect_block(high, 2044 * PAGE - HDR, true, 0);
    EXPECT_EQ(phys(kmalloc(4 * PAGE - HDR + 1)), high + HDR);
}

TEST_F(heap, growth_keeps_only_adjacent_frames_together) {
    // The heap's frames end at 16 MiB; then two frames, a hole, RAM from 17 MiB.
    start({{0x0, 0x9F000, MB2_AVAILABLE},
           {EIGHT_MIB, EIGHT_MIB + 2 * PAGE, MB2_AVAILABLE},
           {0x1100000, 0x100000, MB2_AVAILABLE}});
    ASSERT_NE(kmalloc(START_BLOCK), nullptr);
    const uint64_t before = pmm_get_free_pages();
    // 8192 bytes need three frames. A run of two and a lone frame past the hole
    // hold it neither: both join the heap, and three more form a chunk of their own.
    EXPECT_EQ(phys(kmalloc(2 * PAGE)), 0x1101000 + HDR);
    EXPECT_EQ(pmm_get_free_pages(), before - 6);
    expect_block(0x1000000, 2 * PAGE - HDR, true, 0x1100000);
    expect_block(0x1100000, PAGE - HDR, true, 0x1101000);
    EXPECT_EQ(phys(kmalloc(2 * PAGE - HDR)), 0x1000000 + HDR);
    EXPECT_EQ(phys(kmalloc(PAGE - HDR)), 0x1100000 + HDR);
    EXPECT_EQ(pmm_get_free_pages(), before - 6);
}

TEST_F(heap, failed_start_up_warns_and_grows_on_first_use) {
    // 100 frames: start-up takes them all, fails, and writes no header into them.
    EXPECT_EQ(start({{EIGHT_MIB, 100 * PAGE, MB2_AVAILABLE}}),
              "  [WARN] Heap: failed to pre-allocate 8 MB\n"
              "  [OK] Heap: 0 KB available\n");
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    EXPECT_EQ(kmalloc(100), nullptr);
    EXPECT_EQ(size_at(EIGHT_MIB), 0u);

    const uint64_t frame = EIGHT_MIB + 42 * PAGE;
    pmm_free_page(frame);
    EXPECT_EQ(phys(kmalloc(100)), frame + HDR);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
    expect_block(frame, 104, false, frame + HDR + 104);
    expect_block(frame + HDR + 104, PAGE - HDR - 104 - HDR, true, 0);
}

TEST_F(heap, impossible_sizes_fail_without_taking_frames) {
    start(CONTIGUOUS);
    const uint64_t frames = pmm_get_free_pages();
    const uint64_t max = ~0ull;
    EXPECT_EQ(kmalloc(max), nullptr);       // rounding up wraps to 0
    EXPECT_EQ(kmalloc(max - 7), nullptr);   // 2^64 - 8: the header wraps
    EXPECT_EQ(kmalloc(max - 29), nullptr);  // rounds to 2^64 - 24: the header wraps
    EXPECT_EQ(kmalloc(max - 40), nullptr);  // frame count far beyond memory
    EXPECT_EQ(kmalloc(frames * PAGE), nullptr);        // one header more than is free
    EXPECT_EQ(kcalloc((1ull << 63) + 1, 2), nullptr);  // the product wraps to 2
    EXPECT_EQ(kcalloc(1ull << 32, 1ull << 32), nullptr);
    EXPECT_EQ(pmm_get_free_pages(), frames);
    expect_block(EIGHT_MIB, START_BLOCK, true, 0);
    // Everything free still fits: the start-up block plus 4096 frames, as one growth.
    EXPECT_EQ(phys(kmalloc(frames * PAGE - HDR)), 2 * EIGHT_MIB + HDR);
    EXPECT_EQ(pmm_get_free_pages(), 0u);
}

TEST_F(heap, calloc_clears_what_it_returns) {
    start(CONTIGUOUS);
    void* p = kmalloc(16);
    std::memset(p, 0xBB, 16);
    kfree(p);
    auto* z = static_cast<uint8_t*>(kcalloc(3, 5));  // 15 bytes in the 16-byte block
    ASSERT_EQ(z, p);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(z[i], 0) << i;
}

}  // namespace
