// Physical memory as the kernel sees it. The first 1 GiB is identity-mapped, so a
// physical address is a pointer. Host builds keep a stand-in physical memory
// instead (host::phys in tests/host/support) and translate through its base, so
// code that writes page tables, frames, the screen or program images runs
// unchanged in the tests.
#pragma once
#include <cstdint>

// IMAGE_ADDRESS(name) gives name_addr(), the address of a label that the linker
// script or the assembly places (the image's end, a stack's top); host builds
// read the variable host_name, which the test support sets, instead.
#ifdef TARVELIN_HOST
#define IMAGE_ADDRESS(name) \
    extern uint64_t host_##name; \
    inline uint64_t name##_addr() { return host_##name; }
#else
#define IMAGE_ADDRESS(name) \
    extern "C" char name[]; \
    inline uint64_t name##_addr() { return reinterpret_cast<uint64_t>(name); }
#endif

#ifdef TARVELIN_HOST
extern uint8_t* host_phys_base;
inline void* phys_ptr(uint64_t addr) { return host_phys_base + addr; }
inline uint64_t ptr_phys(const void* p) {
    return static_cast<uint64_t>(static_cast<const uint8_t*>(p) - host_phys_base);
}
#else
inline void* phys_ptr(uint64_t addr) { return reinterpret_cast<void*>(addr); }
inline uint64_t ptr_phys(const void* p) { return reinterpret_cast<uint64_t>(p); }
#endif
