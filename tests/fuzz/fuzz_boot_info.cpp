// Fuzz target: Multiboot2 boot information for pmm_init, ending at a page boundary with only
// its own pages and the bitmap's accessible. Checked against the bitmap: the counters, the
// kernel's frames and the user areas never free, the lowest free frame handed out first.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "layout.h"
#include "pmm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t PAGE = 4096, END = 0x20000000, BITMAP = 0x10A000, BITMAP_END = 0x112000;  // 32 KiB at most
    static const bool ready = (host::protect(0, host::PHYS_SIZE, PROT_NONE),
                               host::protect(BITMAP, BITMAP_END - BITMAP, PROT_READ | PROT_WRITE), true);
    if (!ready || size > (1 << 20)) return 0;
    // What the loader promises: an 8-byte head whose total size is no more than there is.
    std::vector<uint8_t> info(data, data + size);
    uint32_t claimed = 0;
    std::memcpy(&claimed, data, std::min<size_t>(size, 4));
    info.resize(std::max<uint64_t>(std::min<uint64_t>(claimed, info.size()), 8));
    claimed = std::min<uint64_t>(claimed, info.size());
    std::memcpy(info.data(), &claimed, 4);
    const uint64_t at = END - info.size(), first = at / PAGE * PAGE;
    host::protect(first, END - first, PROT_READ | PROT_WRITE);
    std::memcpy(host::phys(at), info.data(), info.size());
    pmm_init(at);

    const uint64_t total = pmm_get_total_pages(), free = pmm_get_free_pages();
    const uint64_t reserved_end = (BITMAP + (total + 7) / 8 + PAGE - 1) / PAGE;
    FUZZ_CHECK(total >= 1 && total <= IDENTITY_MAP_END / PAGE && free <= total);
    uint64_t zeros = 0, lowest = 0;
    for (uint64_t f = 0; f < total; ++f) {
        if ((host::phys(BITMAP)[f / 8] >> (f % 8)) & 1) continue;
        lowest = zeros++ == 0 ? f : lowest;
        FUZZ_CHECK(f >= reserved_end && !(f >= USER_IMAGE_BASE / PAGE && f < USER_IMAGE_END / PAGE) &&
                   !(f >= USER_STACK_BASE / PAGE && f < USER_STACK_PAGE_END / PAGE));
    }
    FUZZ_CHECK(zeros == free && pmm_alloc_page() == lowest * PAGE);
    host::discard(first, END - first), host::protect(first, END - first, PROT_NONE), host::ports.clear();
    return 0;
}
