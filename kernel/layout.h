// Fixed addresses of the machine's memory layout, shared by the modules that
// must agree on them (the page allocator keeps frames out of the user areas that
// the launch path opens to ring 3).
#pragma once
#include <cstdint>

#include "machine.h"  // the kernel's load address, the user image area and stack

constexpr uint64_t PAGE_BYTES = 4096;
constexpr uint64_t LARGE_PAGE_BYTES = 0x200000;         // one page-directory entry
constexpr uint64_t IDENTITY_MAP_END = 0x40000000;       // boot tables map the first 1 GiB

constexpr uint64_t USER_STACK_PAGE_END = USER_STACK_BASE + LARGE_PAGE_BYTES;

#ifdef TARVELIN_HOST
extern "C" uint64_t host_kernel_end;
inline uint64_t kernel_end_addr() { return host_kernel_end; }
#else
extern "C" char kernel_end[];
inline uint64_t kernel_end_addr() { return reinterpret_cast<uint64_t>(kernel_end); }
#endif
