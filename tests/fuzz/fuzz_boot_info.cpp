// Fuzz target: Multiboot2 boot information for pmm_init, placed to end at a page boundary
// with only its own pages and the bitmap's accessible. Checked against the bitmap: the
// counters, the kernel's frames and the user areas never free, the lowest free frame first.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "layout.h"
#include "pmm.h"

namespace {
constexpr uint64_t PAGE = 4096, INFO_END = 0x20000000, BITMAP_END = 0x112000;  // room for 32 KiB
bool user_area(uint64_t f) {
    return (f >= USER_IMAGE_BASE / PAGE && f < USER_IMAGE_END / PAGE) ||
           (f >= USER_STACK_BASE / PAGE && f < USER_STACK_PAGE_END / PAGE);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (fuzz::protect(0, host::PHYS_SIZE, PROT_NONE),
                               fuzz::protect(0x10A000, BITMAP_END - 0x10A000, PROT_READ | PROT_WRITE), true);
    if (!ready || size > (1 << 20)) return 0;
    // The loader's promise: an 8-byte head whose total size is no more than there is.
    std::vector<uint8_t> info(data, data + size);
    info.resize(std::max<size_t>(size, 8));
    uint32_t claimed;
    std::memcpy(&claimed, info.data(), 4);
    claimed = static_cast<uint32_t>(std::min<uint64_t>(claimed, info.size()));
    std::memcpy(info.data(), &claimed, 4);
    info.resize(std::max<uint32_t>(claimed, 8));
    const uint64_t at = INFO_END - info.size(), first = at / PAGE * PAGE;
    fuzz::protect(first, INFO_END - first, PROT_READ | PROT_WRITE);
    std::memcpy(host::phys(at), info.data(), info.size());
    pmm_init(at);

    const uint64_t total = pmm_get_total_pages(), free = pmm_get_free_pages();
    FUZZ_CHECK(total >= 1 && total <= IDENTITY_MAP_END / PAGE && free <= total);
    const uint8_t* bitmap = host::phys(kernel_end_addr());
    const uint64_t reserved_end = (kernel_end_addr() + (total + 7) / 8 + PAGE - 1) / PAGE;
    uint64_t zeros = 0, lowest = 0;
    for (uint64_t f = 0; f < total; ++f) {
        if ((bitmap[f / 8] >> (f % 8)) & 1) continue;
        if (zeros++ == 0) lowest = f;
        FUZZ_CHECK(f >= reserved_end && !user_area(f));
    }
    FUZZ_CHECK(zeros == free && pmm_alloc_page() == lowest * PAGE);
    fuzz::discard(first, INFO_END - first);
    fuzz::protect(first, INFO_END - first, PROT_NONE);
    host::ports.clear();
    return 0;
}
