// The kernel's half of the system-call interface: the MSRs, the handler table,
// the dispatcher and the handlers.
#pragma once
#include <cstdint>

#include "machine.h"  // the system-call numbers

constexpr int SYSCALL_TABLE_SIZE = 128;
constexpr int64_t SYSCALL_ENOSYS = -38;

using syscall_handler = int64_t (*)(uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5);

extern syscall_handler syscall_table[SYSCALL_TABLE_SIZE];
extern uint64_t current_brk;
void syscall_init();
extern "C" int64_t syscall_dispatch(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5);
int64_t sys_read(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t);
int64_t sys_write(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t);
int64_t sys_open(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_close(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_brk(uint64_t addr, uint64_t, uint64_t, uint64_t, uint64_t);
extern "C" void syscall_entry();  // kernel/syscall_entry.S, the IA32_LSTAR target
// Enters ring 3 at `entry` with the stack at `user_rsp`; comes back, as if it
// had returned, when the program issues system call 60 (kernel/syscall_entry.S).
extern "C" void enter_userspace(uint64_t entry, uint64_t user_rsp);
