// The descriptor-table selectors, the task-state segment the boot code built,
// and the ring-3 enter routine. The tables themselves live in kernel/entry.S.
#pragma once
#include <cstddef>
#include <cstdint>

#include "machine.h"

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

extern "C" {
extern tss64 tss_struct;
// Enters ring 3 at `entry` with the stack at `user_rsp`; comes back, as if it
// had returned, when the program issues system call 60.
void enter_userspace(uint64_t entry, uint64_t user_rsp);
}

#ifdef TARVELIN_HOST
extern "C" uint64_t host_interrupt_stack_top;
inline uint64_t interrupt_stack_top_addr() { return host_interrupt_stack_top; }
#else
extern "C" char interrupt_stack_top[];
inline uint64_t interrupt_stack_top_addr() { return reinterpret_cast<uint64_t>(interrupt_stack_top); }
#endif
