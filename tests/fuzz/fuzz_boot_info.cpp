// Fuzz target: Multiboot2 boot information for pmm_init. Out of bounds: fake memory is
// inaccessible but for the bitmap and the information, placed once ending at a page boundary
// and once starting at one, next to inaccessible pages; a sentinel follows the bitmap.
// Checked: counters against the bitmap; kernel frames and user areas in use; every free frame
// in an available entry; both placements agree; the lowest free frame is allocated first.
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
constexpr uint64_t BITMAP_PAGES_END = 0x112000;  // room for the largest bitmap (32 KiB)
constexpr uint8_t SENTINEL = 0xA5;

template <typename T>
T at(const std::vector<uint8_t>& b, uint64_t off) {
    T v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

// Frame ranges [first, end) declared available by every well-formed entry a walk could
// reach, also in tags running past total_size: a superset of what may be freed.
std::vector<std::pair<uint64_t, uint64_t>> available_frames(const std::vector<uint8_t>& info) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (uint64_t off = 8; off + 8 <= info.size();) {
        const auto type = at<uint32_t>(info, off), size = at<uint32_t>(info, off + 4);
        if (type == 0 || size < 8) break;
        const uint32_t entry_size = type == 6 && size >= 16 && off + 16 <= info.size() ? at<uint32_t>(info, off + 8) : 0;
        const uint64_t tag_end = std::min<uint64_t>(off + size, info.size());
        for (uint64_t e = off + 16; entry_size >= 24 && e + entry_size <= tag_end; e += entry_size) {
            const auto base = at<uint64_t>(info, e), len = at<uint64_t>(info, e + 8);
            if (at<uint32_t>(info, e + 16) == 1 && len >= PAGE)
                out.push_back({base / PAGE + (base % PAGE != 0), (len > ~0ull - base ? ~0ull : base + len) / PAGE});
        }
        off = (off + size + 7) & ~7ull;
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool in_user_area(uint64_t f) {
    return (f >= USER_IMAGE_BASE / PAGE && f < USER_IMAGE_END / PAGE) ||
           (f >= USER_STACK_BASE / PAGE && f < USER_STACK_PAGE_END / PAGE);
}

std::pair<uint64_t, uint64_t> run_at(uint64_t addr, const std::vector<uint8_t>& info) {
    const uint64_t first_page = addr / PAGE * PAGE;
    const uint64_t span = (addr + info.size() + PAGE - 1) / PAGE * PAGE - first_page;
    fuzz_support::phys_allow(first_page, span);
    std::memcpy(fake_phys::at(addr), info.data(), info.size());
    const uint64_t bitmap_at = kernel_end_addr();
    uint8_t* bitmap = fake_phys::at(bitmap_at);
    std::memset(bitmap, SENTINEL, BITMAP_PAGES_END - bitmap_at);

    pmm_init(addr);

    const uint64_t total = pmm_get_total_pages(), free = pmm_get_free_pages();
    FUZZ_CHECK(total >= 1 && total <= IDENTITY_MAP_END / PAGE && free <= total);
    const uint64_t bitmap_size = (total + 7) / 8;
    FUZZ_CHECK(std::all_of(bitmap + bitmap_size, fake_phys::at(BITMAP_PAGES_END), [](uint8_t b) { return b == SENTINEL; }));

    const auto ranges = available_frames(info);
    const uint64_t reserved_end = (bitmap_at + bitmap_size + PAGE - 1) / PAGE;
    uint64_t zeros = 0, lowest_free = 0, covered_to = 0;  // frames below covered_to lie in a range passed
    size_t r = 0;
    for (uint64_t f = 0; f < total; ++f) {
        if ((bitmap[f / 8] >> (f % 8)) & 1) continue;
        if (zeros++ == 0) lowest_free = f;
        FUZZ_CHECK(f >= reserved_end && !in_user_area(f));
        while (r < ranges.size() && ranges[r].first <= f) covered_to = std::max(covered_to, ranges[r++].second);
        FUZZ_CHECK(f < covered_to);
    }
    FUZZ_CHECK(zeros == free);

    // The lowest free frame comes first; giving it back restores the count.
    const uint64_t got = pmm_alloc_page();
    FUZZ_CHECK(got == (free == 0 ? 0 : lowest_free * PAGE));
    if (free != 0) {
        FUZZ_CHECK(pmm_get_free_pages() == free - 1);
        pmm_free_page(got);
        FUZZ_CHECK(pmm_get_free_pages() == free);
    }
    fuzz_support::phys_discard(first_page, span);
    fuzz_support::phys_forbid(first_page, span);
    return {total, free};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::quiet_bus();
    fake_phys::ensure();
    const uint64_t bitmap_page = kernel_end_addr() / PAGE * PAGE;
    fuzz_support::phys_forbid(0, fake_phys::SIZE);
    fuzz_support::phys_allow(bitmap_page, BITMAP_PAGES_END - bitmap_page);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) return 0;
    // The 8-byte head always exists; total_size never claims more than there is, and
    // what lies beyond it is not the information's.
    std::vector<uint8_t> info(data, data + size);
    info.resize(std::max<size_t>(info.size(), 8));
    const uint32_t total = std::min<uint32_t>(at<uint32_t>(info, 0), static_cast<uint32_t>(info.size()));
    std::memcpy(info.data(), &total, sizeof total);
    info.resize(std::max<uint64_t>(total, 8));

    FUZZ_CHECK(run_at(0x20000000 - info.size(), info) == run_at(0x30000000, info));
    fuzz_support::end_input();
    return 0;
}
