// Fixed addresses of the machine's memory layout, shared by the modules that
// must agree on them (the page allocator keeps frames out of the user areas that
// the launch path opens to ring 3).
#pragma once
#include <cstdint>

#include "machine.h"  // page sizes, the kernel's load address, the user image area and stack

constexpr uint64_t USER_STACK_PAGE_END = USER_STACK_BASE + LARGE_PAGE_BYTES;

#ifdef TARVELIN_HOST
extern "C" uint64_t host_kernel_end;
inline uint64_t kernel_end_addr() { return host_kernel_end; }
#else
extern "C" char kernel_end[];
inline uint64_t kernel_end_addr() { return reinterpret_cast<uint64_t>(kernel_end); }
#endif
