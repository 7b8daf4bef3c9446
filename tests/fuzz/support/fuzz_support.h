// What the fuzz targets share: a check that stops the run with a message (the
// fuzzer and the replay both see it as a crash), and control over which pages
// of fake physical memory are mapped, so that a read or write where the code
// under test has no business ends in a fault at that very access.
#pragma once
#include <cstddef>
#include <cstdint>

// A broken property of the code under test, not a sanitizer report: prints
// where and what, then aborts.
#define FUZZ_CHECK(cond)                                                   \
    do {                                                                   \
        if (!(cond)) fuzz_support::check_failed(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz_support {

[[noreturn]] void check_failed(const char* file, int line, const char* what);

// Fake physical memory [addr, addr + len), both page-aligned: inaccessible, or
// readable and writable again.
void phys_forbid(uint64_t addr, uint64_t len);
void phys_allow(uint64_t addr, uint64_t len);

// Whether any page of [addr, addr + len) (page-aligned) has been touched since
// it was last discarded with phys_discard: untouched pages are not resident.
bool phys_touched(uint64_t addr, uint64_t len);
// Drops the pages of [addr, addr + len) (page-aligned): they read as zero and
// count as untouched again.
void phys_discard(uint64_t addr, uint64_t len);

// Silences the kernel's serial output: a fresh bus whose log is emptied after
// every input (the fake bus logs each port access). With FUZZ_VERBOSE in the
// environment the output goes to standard error at the end of each input.
void quiet_bus();
void end_input();

}  // namespace fuzz_support
