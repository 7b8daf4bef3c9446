// Fuzz target: the bytes are the Multiboot2 boot information that pmm_init
// walks for its memory map.
//
// Out-of-bounds detection: fake physical memory is inaccessible everywhere but
// the pages of the bitmap and those holding the information. The information
// is placed twice per input: once ending exactly at a page boundary with an
// inaccessible page after it (any read past its end faults), once starting at
// a page boundary with an inaccessible page before it (any read before its
// start faults). The bitmap's unused tail is filled with a sentinel that must
// survive. total_size is the loader's promise of the information's length, so
// the harness keeps that promise: a claim beyond the input is cut to the input.
//
// Properties checked after each pmm_init: the counters agree with the bitmap,
// the kernel's own frames and the user areas are in use, every free frame lies
// wholly inside an available entry of the map, both placements give the same
// result, and the first allocation is the lowest free frame.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fake_phys.h"
#include "fuzz_support.h"
#include "layout.h"
#include "pmm.h"

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t MAX_INFO = 1 << 20;
constexpr uint64_t MAX_FRAMES = IDENTITY_MAP_END / PAGE;
constexpr uint64_t BITMAP_PAGES_END = 0x112000;  // room for the largest bitmap (32 KiB)
constexpr uint8_t SENTINEL = 0xA5;
constexpr uint64_t END_ALIGNED_TOP = 0x20000000;    // information ends here
constexpr uint64_t START_ALIGNED_BASE = 0x30000000;  // information starts here

uint64_t round_up(uint64_t v) { return (v + PAGE - 1) / PAGE * PAGE; }

uint32_t u32_at(const std::vector<uint8_t>& b, uint64_t off) {
    uint32_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}
uint64_t u64_at(const std::vector<uint8_t>& b, uint64_t off) {
    uint64_t v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

// Frame ranges [first, end) that the map declares available, from every
// well-formed entry a walk could reach, also in tags that run past total_size:
// a superset of what the allocator may free.
std::vector<std::pair<uint64_t, uint64_t>> available_frames(const std::vector<uint8_t>& info) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    const uint64_t total = u32_at(info, 0);
    for (uint64_t off = 8; off + 8 <= total && off + 8 <= info.size();) {
        const uint32_t type = u32_at(info, off);
        const uint32_t size = u32_at(info, off + 4);
        if (type == 0 || size < 8) break;
        if (type == 6 && size >= 16 && off + 16 <= info.size()) {
            const uint32_t entry_size = u32_at(info, off + 8);
            const uint64_t tag_end = std::min<uint64_t>(off + size, info.size());
            if (entry_size >= 24) {
                for (uint64_t e = off + 16; e + entry_size <= tag_end; e += entry_size) {
                    const uint64_t base = u64_at(info, e);
                    const uint64_t len = u64_at(info, e + 8);
                    if (u32_at(info, e + 16) != 1 || len < PAGE) continue;
                    const uint64_t end = len > ~0ull - base ? ~0ull : base + len;
                    out.push_back({base / PAGE + (base % PAGE != 0), end / PAGE});
                }
            }
        }
        off = (off + size + 7) & ~7ull;
    }
    return out;
}

bool frame_used(const uint8_t* bitmap, uint64_t f) { return (bitmap[f / 8] >> (f % 8)) & 1; }

bool in_user_area(uint64_t f) {
    return (f >= USER_IMAGE_BASE / PAGE && f < USER_IMAGE_END / PAGE) ||
           (f >= USER_STACK_BASE / PAGE && f < USER_STACK_PAGE_END / PAGE);
}

struct outcome {
    uint64_t total;
    uint64_t free;
    bool operator==(const outcome&) const = default;
};

outcome run_at(uint64_t addr, const std::vector<uint8_t>& info) {
    using namespace fuzz_support;
    const uint64_t first_page = addr / PAGE * PAGE;
    const uint64_t span = round_up(addr + info.size()) - first_page;
    phys_allow(first_page, span);
    std::memcpy(fake_phys::at(addr), info.data(), info.size());

    const uint64_t bitmap_at = kernel_end_addr();
    uint8_t* bitmap = fake_phys::at(bitmap_at);
    std::memset(bitmap, SENTINEL, BITMAP_PAGES_END - bitmap_at);

    pmm_init(addr);

    const uint64_t total = pmm_get_total_pages();
    const uint64_t free = pmm_get_free_pages();
    FUZZ_CHECK(total >= 1 && total <= MAX_FRAMES);
    FUZZ_CHECK(free <= total);
    const uint64_t bitmap_size = (total + 7) / 8;
    for (uint64_t i = bitmap_size; i < BITMAP_PAGES_END - bitmap_at; ++i) FUZZ_CHECK(bitmap[i] == SENTINEL);

    // Counters against the bitmap; reserved frames; free frames inside the map.
    auto ranges = available_frames(info);
    std::sort(ranges.begin(), ranges.end());
    const uint64_t reserved_end = (bitmap_at + bitmap_size + PAGE - 1) / PAGE;
    uint64_t zeros = 0;
    uint64_t lowest_free = 0;
    size_t r = 0;
    uint64_t covered_to = 0;  // frames below this lie in some range already passed
    for (uint64_t f = 0; f < total; ++f) {
        if (frame_used(bitmap, f)) continue;
        if (zeros++ == 0) lowest_free = f;
        FUZZ_CHECK(f >= reserved_end);
        FUZZ_CHECK(!in_user_area(f));
        while (r < ranges.size() && ranges[r].first <= f) covered_to = std::max(covered_to, ranges[r++].second);
        FUZZ_CHECK(f < covered_to);
    }
    FUZZ_CHECK(zeros == free);

    // The lowest free frame comes first; giving it back restores the count.
    const uint64_t got = pmm_alloc_page();
    if (free == 0) {
        FUZZ_CHECK(got == 0);
    } else {
        FUZZ_CHECK(got == lowest_free * PAGE);
        FUZZ_CHECK(pmm_get_free_pages() == free - 1);
        pmm_free_page(got);
        FUZZ_CHECK(pmm_get_free_pages() == free);
    }

    phys_discard(first_page, span);
    phys_forbid(first_page, span);
    return {total, free};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::quiet_bus();
    fake_phys::ensure();
    // Nothing is reachable but the bitmap's pages; run_at opens the
    // information's own pages while it is in place.
    fuzz_support::phys_forbid(0, fake_phys::SIZE);
    fuzz_support::phys_allow(kernel_end_addr() / PAGE * PAGE, BITMAP_PAGES_END - kernel_end_addr() / PAGE * PAGE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_INFO) return 0;
    // The information always has its 8-byte head; total_size never claims more
    // than there is, and what lies beyond total_size is not the information's.
    std::vector<uint8_t> info(data, data + size);
    if (info.size() < 8) info.resize(8, 0);
    uint32_t total = u32_at(info, 0);
    if (total > info.size()) {
        total = static_cast<uint32_t>(info.size());
        std::memcpy(info.data(), &total, sizeof total);
    }
    info.resize(std::max<uint64_t>(total, 8));

    const outcome at_end = run_at(END_ALIGNED_TOP - info.size(), info);
    const outcome at_start = run_at(START_ALIGNED_BASE, info);
    FUZZ_CHECK(at_end == at_start);
    fuzz_support::end_input();
    return 0;
}
