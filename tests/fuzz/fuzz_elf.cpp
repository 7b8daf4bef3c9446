// Fuzz target: an ELF image for elf64_load, with only the user image area of fake memory
// accessible. Checked: a refused image touches nothing; an accepted one reports a load range
// inside the area holding its entry, and touches no page outside that range.
#include "elf.h"
#include "fuzz_support.h"
#include "layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t AREA = USER_IMAGE_END - USER_IMAGE_BASE;
    static const bool ready = (host::protect(0, host::PHYS_SIZE, PROT_NONE),
                               host::protect(USER_IMAGE_BASE, AREA, PROT_READ | PROT_WRITE), true);
    if (!ready || size > UINT32_MAX) return 0;
    const elf64_load_result r = elf64_load(data, static_cast<uint32_t>(size));
    if (!r.success) {
        FUZZ_CHECK(!host::touched(USER_IMAGE_BASE, AREA));
    } else {
        FUZZ_CHECK(USER_IMAGE_BASE <= r.load_start && r.load_start < r.load_end && r.load_end <= USER_IMAGE_END);
        FUZZ_CHECK(r.entry >= r.load_start && r.entry < r.load_end);
        const uint64_t first = r.load_start & ~4095ull, end = (r.load_end + 4095) & ~4095ull;
        FUZZ_CHECK(!host::touched(USER_IMAGE_BASE, first - USER_IMAGE_BASE) && !host::touched(end, USER_IMAGE_END - end));
    }
    host::discard(USER_IMAGE_BASE, AREA), host::ports.clear();
    return 0;
}
