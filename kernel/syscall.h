// The kernel's half of the system-call interface: the MSRs, the handler table,
// the dispatcher and the handlers.
#pragma once
#include <cstdint>

#include "machine.h"  // the system-call numbers

// Linux's numbers reach past 300 (rseq is 334); one slot for each up to here.
constexpr int SYSCALL_TABLE_SIZE = 512;

using syscall_handler = int64_t (*)(uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5);
struct syscall_row {
    uint32_t number;
    syscall_handler handler;
};

extern syscall_handler syscall_table[SYSCALL_TABLE_SIZE];
void syscall_init();
// Before each launch: the program's path (for /proc/self/exe) and no exit
// pending. (enter_userspace resets the thread pointer's bases.)
void syscall_begin_run(const char* path);
// Set by a handler that ends the program (exit_group, a signal to itself); the
// entry path then leaves as for exit instead of returning to the program.
extern "C" volatile uint8_t syscall_exit_pending;
// The running program's path as `execute` was given it, null between runs.
const char* syscall_program_path();
int64_t sys_prctl(uint64_t option, uint64_t arg, uint64_t, uint64_t, uint64_t);
extern "C" int64_t syscall_dispatch(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5);
int64_t sys_rt_sigaction(uint64_t sig, uint64_t act, uint64_t old, uint64_t size, uint64_t);
int64_t sys_rt_sigprocmask(uint64_t how, uint64_t set, uint64_t old, uint64_t size, uint64_t);
int64_t sys_getpid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_getppid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_getuid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_uname(uint64_t buf, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_kill(uint64_t pid, uint64_t sig, uint64_t, uint64_t, uint64_t);
int64_t sys_tgkill(uint64_t tgid, uint64_t tid, uint64_t sig, uint64_t, uint64_t);
int64_t sys_exit_group(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_arch_prctl(uint64_t code, uint64_t addr, uint64_t, uint64_t, uint64_t);
int64_t sys_set_tid_address(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_set_robust_list(uint64_t, uint64_t length, uint64_t, uint64_t, uint64_t);
int64_t sys_rseq(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_futex(uint64_t addr, uint64_t op, uint64_t value, uint64_t, uint64_t);
int64_t sys_getrandom(uint64_t buf, uint64_t length, uint64_t flags, uint64_t, uint64_t);
int64_t sys_prlimit64(uint64_t pid, uint64_t resource, uint64_t new_limit, uint64_t old_limit, uint64_t);
extern "C" void syscall_entry();  // kernel/syscall_entry.S, the IA32_LSTAR target
// Enters ring 3 at `entry` with the stack at `user_rsp`; comes back, as if it
// had returned, when the program issues system call 60 (kernel/syscall_entry.S).
extern "C" void enter_userspace(uint64_t entry, uint64_t user_rsp);
