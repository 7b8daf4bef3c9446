// The kernel's half of the system-call interface: the SYSCALL MSRs, the 128-slot
// handler table, the dispatcher and the handlers behind it.
//
// Invariant: a handler touches user memory only after the paging module has
// checked, in the live page tables, that every byte of it lies in pages opened to
// ring 3, so a program can never have the kernel read kernel memory on the
// program's behalf.
#include "syscall.h"

#include "cpu.h"
#include "main.h"
#include "paging.h"
#include "phys.h"

namespace {

constexpr uint32_t IA32_STAR = 0xC0000081;
constexpr uint32_t IA32_LSTAR = 0xC0000082;
constexpr uint32_t IA32_FMASK = 0xC0000084;

// Selector bases in IA32_STAR. The descriptor table holds kernel code 0x08,
// kernel data 0x10, user data 0x18, user code 0x20. SYSCALL loads CS from bits
// 47:32 and SS from that + 8: 0x08 and 0x10. SYSRETQ loads CS from bits 63:48 + 16
// and SS from bits 63:48 + 8, both with RPL 3: a base of 0x10 gives CS 0x23 (user
// code) and SS 0x1B (user data), a stack selector that IRETQ also accepts when an
// interrupt taken in ring 3 returns there.
constexpr uint64_t STAR_SYSCALL_BASE = CODE64_SEL;
constexpr uint64_t STAR_SYSRET_BASE = USER_DS_SEL - 8;
constexpr uint64_t STAR_VALUE = (STAR_SYSRET_BASE << 48) | (STAR_SYSCALL_BASE << 32);
static_assert(STAR_VALUE == 0x0010000800000000);

// SYSCALL keeps none of the program's control flags: interrupts and direction
// as the handlers expect them, and no trap flag, alignment check, nested task or
// I/O privilege level, any of which would let a program steer the kernel's first
// instructions (a single-step trap there would still run on the program's stack).
constexpr uint64_t RFLAGS_TF = 1ull << 8;
constexpr uint64_t RFLAGS_IF = 1ull << 9;
constexpr uint64_t RFLAGS_DF = 1ull << 10;
constexpr uint64_t RFLAGS_IOPL = 3ull << 12;
constexpr uint64_t RFLAGS_NT = 1ull << 14;
constexpr uint64_t RFLAGS_AC = 1ull << 18;
constexpr uint64_t FMASK_VALUE = RFLAGS_TF | RFLAGS_IF | RFLAGS_DF | RFLAGS_IOPL | RFLAGS_NT | RFLAGS_AC;
static_assert(FMASK_VALUE == 0x47700);

constexpr uint64_t FD_STDIN = 0;
constexpr uint64_t FD_STDOUT = 1;
constexpr uint64_t FD_STDERR = 2;

}  // namespace

syscall_handler syscall_table[SYSCALL_TABLE_SIZE];
uint64_t current_brk = 0;

void syscall_init() {
    for (auto& slot : syscall_table) slot = nullptr;
    syscall_table[SYS_READ] = sys_read;
    syscall_table[SYS_WRITE] = sys_write;
    syscall_table[SYS_OPEN] = sys_open;
    syscall_table[SYS_CLOSE] = sys_close;
    syscall_table[SYS_BRK] = sys_brk;

    const uint64_t entry = reinterpret_cast<uint64_t>(&syscall_entry);
    cpu_wrmsr(IA32_STAR, STAR_VALUE);
    cpu_wrmsr(IA32_LSTAR, entry);
    cpu_wrmsr(IA32_FMASK, FMASK_VALUE);

    kprintf("[syscall] Initialized SYSCALL interface\n");
    kprintf("[syscall] STAR=0x%x LSTAR=0x%x\n", STAR_VALUE, entry);
}

extern "C" int64_t syscall_dispatch(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5) {
    if (number >= static_cast<uint64_t>(SYSCALL_TABLE_SIZE) || syscall_table[number] == nullptr) {
        kprintf("[syscall] Unimplemented syscall %d\n", number);
        return SYSCALL_ENOSYS;
    }
    return syscall_table[number](a1, a2, a3, a4, a5);
}

// There is no input source for programs yet: standard input is always at its end.
int64_t sys_read(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    return fd == FD_STDIN ? 0 : -1;
}

int64_t sys_write(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t) {
    if (fd != FD_STDOUT && fd != FD_STDERR) return -1;
    if (count == 0) return 0;
    if (!paging_user_range_ok(buf, count, false)) return -1;
    const auto* bytes = static_cast<const char*>(phys_ptr(buf));
    for (uint64_t i = 0; i < count; ++i) serial_putc(bytes[i]);
    return static_cast<int64_t>(count);
}

int64_t sys_open(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) {
    kprintf("[syscall] open: not yet implemented\n");
    return -1;
}

int64_t sys_close(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    return fd <= FD_STDERR ? 0 : -1;
}

// The break is only recorded: it never shrinks, and 0 asks for its value. While
// none is recorded (0) the first request is taken as it is, which the single
// comparison covers: a request of 0 leaves it unset and returns 0.
int64_t sys_brk(uint64_t addr, uint64_t, uint64_t, uint64_t, uint64_t) {
    if (addr > current_brk) current_brk = addr;
    return static_cast<int64_t>(current_brk);
}
