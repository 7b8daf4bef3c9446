#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fake_bus.h"
#include "fake_phys.h"

namespace fuzz_support {

namespace {
constexpr uint64_t PAGE = 4096;

uint8_t* host(uint64_t addr) { return fake_phys::at(addr); }

void must(int rc, const char* what) {
    if (rc != 0) {
        std::perror(what);
        std::abort();
    }
}
}  // namespace

void check_failed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

void phys_forbid(uint64_t addr, uint64_t len) { must(mprotect(host(addr), len, PROT_NONE), "mprotect"); }

void phys_allow(uint64_t addr, uint64_t len) {
    must(mprotect(host(addr), len, PROT_READ | PROT_WRITE), "mprotect");
}

bool phys_touched(uint64_t addr, uint64_t len) {
    if (len == 0) return false;
    std::vector<unsigned char> resident(len / PAGE);
    must(mincore(host(addr), len, resident.data()), "mincore");
    for (unsigned char r : resident)
        if (r & 1) return true;
    return false;
}

void phys_discard(uint64_t addr, uint64_t len) {
    if (len == 0) return;
    must(madvise(host(addr), len, MADV_DONTNEED), "madvise");
}

namespace {
// With FUZZ_VERBOSE set in the environment, what the kernel prints for each
// input goes to standard error instead of nowhere.
uart_model* g_uart;
}  // namespace

void quiet_bus() {
    fake_bus::reset();
    if (std::getenv("FUZZ_VERBOSE") != nullptr) {
        g_uart = new uart_model(0x3F8, 0);
        fake_bus::attach(g_uart, 0x3F8, 8);
    }
}

void end_input() {
    fake_bus::clear_log();
    if (g_uart != nullptr) std::fputs(g_uart->take_output().c_str(), stderr);
}

}  // namespace fuzz_support
