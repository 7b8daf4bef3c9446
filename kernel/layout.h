// Fixed addresses of the machine's memory layout, shared by the modules that
// must agree on them (the page allocator keeps frames out of the user areas that
// the launch path opens to ring 3).
#pragma once
#include <cstdint>

#include "machine.h"  // page sizes, the kernel's load address, the user image area and stack
#include "phys.h"     // IMAGE_ADDRESS

constexpr uint64_t USER_STACK_PAGE_END = USER_STACK_BASE + LARGE_PAGE_BYTES;

IMAGE_ADDRESS(kernel_end)
