#include "fake_phys.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

extern "C" {
uint8_t* host_phys_base = nullptr;
uint64_t host_kernel_end = 0x10A000;  // a plausible end of the kernel image
}

namespace fake_phys {
void ensure() {
    if (host_phys_base != nullptr) return;
    void* p = mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) abort();
    host_phys_base = static_cast<uint8_t*>(p);
}
void clear(uint64_t addr, uint64_t len) {
    ensure();
    const uint64_t page = 4096;
    const uint64_t first = (addr + page - 1) & ~(page - 1);
    const uint64_t last = (addr + len) & ~(page - 1);
    if (last > first) {
        std::memset(host_phys_base + addr, 0, first - addr);
        madvise(host_phys_base + first, last - first, MADV_DONTNEED);
        std::memset(host_phys_base + last, 0, addr + len - last);
    } else {
        std::memset(host_phys_base + addr, 0, len);
    }
}
}  // namespace fake_phys
