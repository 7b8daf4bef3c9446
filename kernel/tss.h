// The 64-bit task-state segment that kernel/entry.S builds beside the descriptor
// table: the stack for interrupts taken in ring 3 (RSP0), the interrupt stack
// table and the I/O map base. The selectors are in machine.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "machine.h"
#include "phys.h"  // IMAGE_ADDRESS

struct __attribute__((packed)) tss64 {
    uint32_t reserved0;
    uint64_t rsp0, rsp1, rsp2;
    uint64_t reserved1;
    uint64_t ist[7];
    uint64_t reserved2;
    uint16_t reserved3;
    uint16_t iomap_base;
};
static_assert(sizeof(tss64) == TSS_SIZE);
static_assert(offsetof(tss64, rsp0) == TSS_RSP0);
static_assert(offsetof(tss64, ist) == TSS_IST);
static_assert(offsetof(tss64, iomap_base) == TSS_IOMAP_BASE);

extern "C" tss64 tss_struct;

IMAGE_ADDRESS(interrupt_stack_top)
