// What the fuzz targets share: a check that stops the run (fuzzer and replay both see a
// crash), and control over which pages of fake physical memory are mapped, so that an
// access where the code under test has no business faults at that very access.
#pragma once
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fake_bus.h"
#include "fake_phys.h"

#define FUZZ_CHECK(cond)                                                   \
    do {                                                                   \
        if (!(cond)) fuzz_support::check_failed(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz_support {

[[noreturn]] inline void check_failed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

inline void must(int rc, const char* what) {
    if (rc == 0) return;
    std::perror(what);
    std::abort();
}

// Page-aligned ranges of fake physical memory: made inaccessible, or accessible again;
// whether a page was touched since it was last discarded (discarded pages read as zero).
inline void phys_forbid(uint64_t addr, uint64_t len) {
    must(mprotect(fake_phys::at(addr), len, PROT_NONE), "mprotect");
}
inline void phys_allow(uint64_t addr, uint64_t len) {
    must(mprotect(fake_phys::at(addr), len, PROT_READ | PROT_WRITE), "mprotect");
}
inline bool phys_touched(uint64_t addr, uint64_t len) {
    std::vector<unsigned char> resident(len / 4096);
    if (len != 0) must(mincore(fake_phys::at(addr), len, resident.data()), "mincore");
    for (unsigned char r : resident)
        if (r & 1) return true;
    return false;
}
inline void phys_discard(uint64_t addr, uint64_t len) {
    if (len != 0) must(madvise(fake_phys::at(addr), len, MADV_DONTNEED), "madvise");
}

// A fresh bus that drops the kernel's serial output (with FUZZ_VERBOSE set, each input's goes
// to standard error at end_input); end_input also empties the bus's access log.
inline uart_model* g_uart;
inline void quiet_bus() {
    fake_bus::reset();
    if (std::getenv("FUZZ_VERBOSE") != nullptr) fake_bus::attach(g_uart = new uart_model(0x3F8, 0), 0x3F8, 8);
}
inline void end_input() {
    fake_bus::clear_log();
    if (g_uart != nullptr) std::fputs(g_uart->take_output().c_str(), stderr);
}

}  // namespace fuzz_support
