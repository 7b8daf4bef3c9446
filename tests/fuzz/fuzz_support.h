// What the fuzz targets share: a check that stops the run (under the fuzzer and in the
// replay alike), and pages of fake physical memory made inaccessible, so that an access
// where the code has no business faults at that very access.
#pragma once
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host.h"

#define FUZZ_CHECK(cond) \
    ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), std::abort()))

namespace fuzz {
inline void protect(uint64_t addr, uint64_t len, int prot) {
    if (len != 0 && mprotect(host::phys(addr), len, prot) != 0) std::abort();
}
// Whether a page of [addr, addr + len) was written since it was last discarded.
inline bool touched(uint64_t addr, uint64_t len) {
    std::vector<unsigned char> resident(len / 4096);
    if (len != 0 && mincore(host::phys(addr), len, resident.data()) != 0) std::abort();
    for (unsigned char r : resident)
        if (r & 1) return true;
    return false;
}
inline void discard(uint64_t addr, uint64_t len) { madvise(host::phys(addr), len, MADV_DONTNEED); }
}  // namespace fuzz
