// The report of a broken invariant: where and what, in the exception report's
// shape, then the machine stops (host builds abort instead).
#include "kassert.h"

#include "cpu.h"
#include "main.h"

#ifdef TARVELIN_HOST
#include <cstdio>
#include <cstdlib>
#endif

void kassert_fail(const char* file, int line, const char* expression) {
    kprintf("\n  [ASSERT] %s:%d: %s\n", file, line, expression);
#ifdef TARVELIN_HOST
    std::fprintf(stderr, "[ASSERT] %s:%d: %s\n", file, line, expression);
    std::abort();
#else
    kprintf("  System halted.\n");
    cpu_halt_forever();
#endif
}
