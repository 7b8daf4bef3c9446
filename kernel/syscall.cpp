// The kernel's half of the system-call interface: the SYSCALL MSRs, the handler
// table, the dispatcher and the handlers behind it, each with the Linux behaviour
// it gives in one line above it, and where it differs, why.
//
// Invariant: a handler touches a program's memory only through the paging
// module's copies, which check in the live page tables that every byte lies in
// pages opened to ring 3, so a program can never have the kernel read or write
// kernel memory on its behalf. Every error is Linux's negative error number.
#include "syscall.h"

#include "clock.h"
#include "cpu.h"
#include "errno.h"
#include "files.h"
#include "main.h"
#include "paging.h"
#include "random.h"
#include "vm.h"

namespace {

constexpr uint32_t IA32_STAR = 0xC0000081;
constexpr uint32_t IA32_LSTAR = 0xC0000082;
constexpr uint32_t IA32_FMASK = 0xC0000084;
constexpr uint32_t IA32_FS_BASE = 0xC0000100;
constexpr uint32_t IA32_GS_BASE = 0xC0000101;

// Selector bases in IA32_STAR. SYSCALL loads CS from bits 47:32 and SS from that
// + 8: kernel code and data. SYSRETQ loads CS from bits 63:48 + 16 and SS from
// bits 63:48 + 8, both with RPL 3: a base 8 below user data gives CS 0x23 (user
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

// Programs may use SSE: the processor saves nothing for the kernel, which never
// touches those registers, and the launch path gives each program a clean set.
constexpr uint64_t CR4_OSFXSR = 1ull << 9;
constexpr uint64_t CR4_OSXMMEXCPT = 1ull << 10;

constexpr uint64_t COPY_CHUNK = 256;  // the system-call stack is 8 KiB
constexpr uint64_t MAX_RW_COUNT = 0x7FFFF000;  // Linux's cap on one transfer
constexpr uint64_t OWN_PID = 1;
constexpr uint64_t SIGNAL_COUNT = 64;
constexpr uint64_t SIGKILL = 9;
constexpr uint64_t SIGSTOP = 19;
constexpr uint64_t SIGSET_BYTES = 8;
constexpr uint64_t SIGACTION_BYTES = 32;
constexpr uint64_t ROBUST_LIST_HEAD_BYTES = 24;
constexpr uint64_t ARCH_SET_GS = 0x1001;
constexpr uint64_t ARCH_SET_FS = 0x1002;
constexpr uint64_t ARCH_GET_FS = 0x1003;
constexpr uint64_t ARCH_GET_GS = 0x1004;
constexpr uint64_t FUTEX_COMMAND = 0x7F;
constexpr uint64_t FUTEX_WAIT = 0;
constexpr uint64_t FUTEX_WAKE = 1;
constexpr uint64_t FUTEX_WAIT_BITSET = 9;
constexpr uint64_t FUTEX_WAKE_BITSET = 10;
constexpr uint64_t GRND_KNOWN_FLAGS = 0x7;  // NONBLOCK, RANDOM, INSECURE
constexpr uint64_t RLIMIT_COUNT = 16;
constexpr uint64_t RLIMIT_STACK = 3;
constexpr uint64_t RLIMIT_NOFILE = 7;
constexpr uint64_t RLIM_INFINITY = ~0ull;
constexpr uint64_t ROOT_ID = 0;
constexpr uint64_t NO_PARENT = 0;
constexpr uint64_t UTSNAME_FIELD_BYTES = 65;

// uname's release names the commit the build was configured at (CMake passes it).
#ifndef TARVELIN_RELEASE
#define TARVELIN_RELEASE "1.0"
#endif
static_assert(sizeof(TARVELIN_RELEASE) <= UTSNAME_FIELD_BYTES);

constexpr uint64_t PROGRAM_NAME_BYTES = 16;

const char* program_path = nullptr;  // for /proc/self/exe, while a program runs
char program_name[PROGRAM_NAME_BYTES];

int64_t result(uint64_t value) { return static_cast<int64_t>(value); }

// Ends the running program as exit does, once the handler has returned.
int64_t end_program() {
    syscall_exit_pending = 1;
    return 0;
}

int64_t zero_out(uint64_t addr, uint64_t len) {
    static const uint8_t zeros[SIGACTION_BYTES] = {};
    return addr == 0 ? 0 : copy_out(addr, zeros, len);
}

// A signal to this program ends it (abort's SIGABRT included): there is no
// handler to deliver it to.
int64_t signal_self(uint64_t sig) {
    if (sig > SIGNAL_COUNT) return -KEINVAL;
    if (sig == 0) return 0;
    kprintf("[syscall] Signal %d ends the program\n", sig);
    return end_program();
}

}  // namespace

syscall_handler syscall_table[SYSCALL_TABLE_SIZE];
volatile uint8_t syscall_exit_pending = 0;

const char* syscall_program_path() { return program_path; }

void syscall_begin_run(const char* path) {
    program_path = path;
    syscall_exit_pending = 0;
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/') base = p + 1;
    kmemset(program_name, 0, sizeof program_name);
    kmemcpy(program_name, base, kstrnlen(base, sizeof program_name - 1));
    clock_begin_run();
}

extern "C" int64_t syscall_dispatch(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5) {
    if (number >= static_cast<uint64_t>(SYSCALL_TABLE_SIZE) || syscall_table[number] == nullptr) {
        kprintf("[syscall] Unimplemented syscall %d\n", number);
        return -KENOSYS;
    }
    return syscall_table[number](a1, a2, a3, a4, a5);
}

// rt_sigaction: accepted and forgotten (no signal is ever delivered); the old
// action reads as the default.
int64_t sys_rt_sigaction(uint64_t sig, uint64_t act, uint64_t old, uint64_t size, uint64_t) {
    if (size != SIGSET_BYTES || sig == 0 || sig > SIGNAL_COUNT) return -KEINVAL;
    if (act != 0 && (sig == SIGKILL || sig == SIGSTOP)) return -KEINVAL;
    if (act != 0 && !paging_user_range_ok(act, SIGACTION_BYTES, false)) return -KEFAULT;
    return zero_out(old, SIGACTION_BYTES);
}

// rt_sigprocmask: accepted; the old mask reads as empty.
int64_t sys_rt_sigprocmask(uint64_t how, uint64_t set, uint64_t old, uint64_t size, uint64_t) {
    constexpr uint64_t SIG_SETMASK = 2;
    if (size != SIGSET_BYTES || (set != 0 && how > SIG_SETMASK)) return -KEINVAL;
    if (set != 0 && !paging_user_range_ok(set, SIGSET_BYTES, false)) return -KEFAULT;
    return zero_out(old, SIGSET_BYTES);
}

// prctl: the program's name (PR_GET_NAME, PR_SET_NAME), 16 bytes with its
// terminator; at first the last component of its path.
int64_t sys_prctl(uint64_t option, uint64_t arg, uint64_t, uint64_t, uint64_t) {
    constexpr uint64_t PR_SET_NAME = 15, PR_GET_NAME = 16;
    if (option == PR_SET_NAME) {
        char name[PROGRAM_NAME_BYTES];
        const int64_t n = copy_string_from_user(name, arg, sizeof name);
        if (n == USER_STRING_FAULT) return -KEFAULT;
        name[sizeof name - 1] = '\0';  // Linux keeps the first 15 bytes of a longer one
        kmemcpy(program_name, name, sizeof name);
        return 0;
    }
    if (option == PR_GET_NAME) return copy_out(arg, program_name, sizeof program_name);
    return -KEINVAL;
}

// getgroups: root's one supplementary group, 0.
int64_t sys_getgroups(uint64_t size, uint64_t list, uint64_t, uint64_t, uint64_t) {
    const uint32_t groups[] = {ROOT_ID};
    if (size == 0) return 1;
    if (static_cast<int32_t>(size) < 1) return -KEINVAL;
    return copy_out(list, groups, sizeof groups) != 0 ? -KEFAULT : 1;
}

// setuid, setgid: the program runs as root and stays root; asking to become
// root again succeeds, anything else is refused rather than pretended.
int64_t sys_setid(uint64_t id, uint64_t, uint64_t, uint64_t, uint64_t) { return id == 0 ? 0 : -KEPERM; }

// getpid, gettid: one program, one thread.
int64_t sys_getpid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return OWN_PID; }

// getppid: 0, as Linux answers a process whose parent it cannot see: the shell
// that started the program is no process.
int64_t sys_getppid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return NO_PARENT; }

// getuid, geteuid, getgid, getegid: the one user is root.
int64_t sys_getuid(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return ROOT_ID; }

// uname: six fields of 65 bytes, each a zero-terminated string.
int64_t sys_uname(uint64_t buf, uint64_t, uint64_t, uint64_t, uint64_t) {
    static constexpr char fields[6][UTSNAME_FIELD_BYTES] = {"Tarvelin", "tarvelin", TARVELIN_RELEASE, "#1",
                                                            "x86_64", "(none)"};
    return copy_out(buf, fields, sizeof fields);
}

// kill: only the program itself (or its own group, 0) can be named.
int64_t sys_kill(uint64_t pid, uint64_t sig, uint64_t, uint64_t, uint64_t) {
    return pid == OWN_PID || pid == 0 ? signal_self(sig) : -KESRCH;
}

// tgkill: likewise, as abort sends it.
int64_t sys_tgkill(uint64_t tgid, uint64_t tid, uint64_t sig, uint64_t, uint64_t) {
    return tgid == OWN_PID && tid == OWN_PID ? signal_self(sig) : -KESRCH;
}

// exit_group: exit, there being one thread.
int64_t sys_exit_group(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return end_program(); }

// arch_prctl: the FS and GS bases, the C libraries' thread pointer. A base in
// the upper half (or not canonical) is refused before WRMSR, which would fault
// in ring 0 on a non-canonical value.
int64_t sys_arch_prctl(uint64_t code, uint64_t addr, uint64_t, uint64_t, uint64_t) {
    const uint32_t msr = code == ARCH_SET_FS || code == ARCH_GET_FS ? IA32_FS_BASE : IA32_GS_BASE;
    if (code == ARCH_SET_FS || code == ARCH_SET_GS) {
        if (addr >= USER_SPACE_END) return -KEPERM;
        cpu_wrmsr(msr, addr);
        return 0;
    }
    if (code == ARCH_GET_FS || code == ARCH_GET_GS) {
        const uint64_t base = cpu_rdmsr(msr);
        return copy_out(addr, &base, sizeof base);
    }
    return -KEINVAL;
}

// set_tid_address: nothing waits for this thread's end; answers its id.
int64_t sys_set_tid_address(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return OWN_PID; }

// set_robust_list: recorded nowhere, as no other thread could need it.
int64_t sys_set_robust_list(uint64_t, uint64_t length, uint64_t, uint64_t, uint64_t) {
    return length == ROBUST_LIST_HEAD_BYTES ? 0 : -KEINVAL;
}

// rseq: not offered (-ENOSYS, as from a Linux built without it); the C library
// then does without, quietly.
int64_t sys_rseq(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) { return -KENOSYS; }

// futex: with one thread a wake finds no waiter, and a wait whose value still
// holds could never end: it fails with EDEADLK instead of hanging the machine.
int64_t sys_futex(uint64_t addr, uint64_t op, uint64_t value, uint64_t, uint64_t) {
    const uint64_t command = op & FUTEX_COMMAND;
    if (command == FUTEX_WAKE || command == FUTEX_WAKE_BITSET) return 0;
    if (command != FUTEX_WAIT && command != FUTEX_WAIT_BITSET) return -KENOSYS;
    uint32_t current;
    if (!copy_from_user(&current, addr, sizeof current)) return -KEFAULT;
    return current != static_cast<uint32_t>(value) ? -KEAGAIN : -KEDEADLK;
}

// getrandom: always ready, so the flags change nothing.
int64_t sys_getrandom(uint64_t buf, uint64_t length, uint64_t flags, uint64_t, uint64_t) {
    if ((flags & ~GRND_KNOWN_FLAGS) != 0) return -KEINVAL;
    if (length > MAX_RW_COUNT) length = MAX_RW_COUNT;
    if (length != 0 && !paging_user_range_ok(buf, length, true)) return -KEFAULT;
    uint8_t chunk[COPY_CHUNK];
    for (uint64_t done = 0; done < length;) {
        const uint64_t n = length - done < COPY_CHUNK ? length - done : COPY_CHUNK;
        random_fill(chunk, n);
        copy_to_user(buf + done, chunk, n);
        done += n;
    }
    return result(length);
}

// prlimit64: this program's limits as they are (the 64 KiB stack, its
// descriptors); new limits are accepted and change nothing.
int64_t sys_prlimit64(uint64_t pid, uint64_t resource, uint64_t new_limit, uint64_t old_limit, uint64_t) {
    if (pid != 0 && pid != OWN_PID) return -KESRCH;
    if (resource >= RLIMIT_COUNT) return -KEINVAL;
    uint64_t limit[2];
    if (new_limit != 0 && !copy_from_user(limit, new_limit, sizeof limit)) return -KEFAULT;
    if (old_limit == 0) return 0;
    uint64_t value = RLIM_INFINITY;
    if (resource == RLIMIT_STACK) value = USER_STACK_TOP - USER_STACK_BASE;
    if (resource == RLIMIT_NOFILE) value = FILES_MAX_DESCRIPTORS;
    limit[0] = limit[1] = value;
    return copy_out(old_limit, limit, sizeof limit);
}

namespace {

constexpr syscall_row SYSCALLS[] = {
    {SYS_READ, sys_read},
    {SYS_WRITE, sys_write},
    {SYS_OPEN, sys_open},
    {SYS_CLOSE, sys_close},
    {SYS_STAT, sys_stat},
    {SYS_FSTAT, sys_fstat},
    {SYS_LSTAT, sys_lstat},
    {SYS_POLL, sys_poll},
    {SYS_LSEEK, sys_lseek},
    {SYS_MMAP, sys_mmap},
    {SYS_MPROTECT, sys_mprotect},
    {SYS_MUNMAP, sys_munmap},
    {SYS_BRK, sys_brk},
    {SYS_RT_SIGACTION, sys_rt_sigaction},
    {SYS_RT_SIGPROCMASK, sys_rt_sigprocmask},
    {SYS_IOCTL, sys_ioctl},
    {SYS_PREAD64, sys_pread64},
    {SYS_WRITEV, sys_writev},
    {SYS_ACCESS, sys_access},
    {SYS_MREMAP, sys_mremap},
    {SYS_DUP, sys_dup},
    {SYS_DUP2, sys_dup2},
    {SYS_NANOSLEEP, sys_nanosleep},
    {SYS_GETPID, sys_getpid},
    {SYS_SENDFILE, sys_sendfile},
    {SYS_KILL, sys_kill},
    {SYS_UNAME, sys_uname},
    {SYS_FCNTL, sys_fcntl},
    {SYS_TRUNCATE, sys_change_path},
    {SYS_FTRUNCATE, sys_change_fd},
    {SYS_GETCWD, sys_getcwd},
    {SYS_CHDIR, sys_chdir},
    {SYS_FCHDIR, sys_fchdir},
    {SYS_RENAME, sys_change_path},
    {SYS_MKDIR, sys_mkdir},
    {SYS_RMDIR, sys_change_path},
    {SYS_UNLINK, sys_change_path},
    {SYS_READLINK, sys_readlink},
    {SYS_CHMOD, sys_change_path},
    {SYS_FCHMOD, sys_change_fd},
    {SYS_CHOWN, sys_change_path},
    {SYS_FCHOWN, sys_change_fd},
    {SYS_LCHOWN, sys_change_path},
    {SYS_GETTIMEOFDAY, sys_gettimeofday},
    {SYS_GETUID, sys_getuid},
    {SYS_GETGID, sys_getuid},
    {SYS_SETUID, sys_setid},
    {SYS_SETGID, sys_setid},
    {SYS_GETEUID, sys_getuid},
    {SYS_GETEGID, sys_getuid},
    {SYS_GETPPID, sys_getppid},
    {SYS_GETGROUPS, sys_getgroups},
    {SYS_PRCTL, sys_prctl},
    {SYS_ARCH_PRCTL, sys_arch_prctl},
    {SYS_GETTID, sys_getpid},
    {SYS_TIME, sys_time},
    {SYS_FUTEX, sys_futex},
    {SYS_GETDENTS64, sys_getdents64},
    {SYS_SET_TID_ADDRESS, sys_set_tid_address},
    {SYS_CLOCK_GETTIME, sys_clock_gettime},
    {SYS_CLOCK_GETRES, sys_clock_getres},
    {SYS_CLOCK_NANOSLEEP, sys_clock_nanosleep},
    {SYS_EXIT_GROUP, sys_exit_group},
    {SYS_TGKILL, sys_tgkill},
    {SYS_OPENAT, sys_openat},
    {SYS_MKDIRAT, sys_mkdirat},
    {SYS_FCHOWNAT, sys_change_path_at},
    {SYS_NEWFSTATAT, sys_newfstatat},
    {SYS_UNLINKAT, sys_change_path_at},
    {SYS_RENAMEAT, sys_change_path_at},
    {SYS_READLINKAT, sys_readlinkat},
    {SYS_FCHMODAT, sys_change_path_at},
    {SYS_FACCESSAT, sys_faccessat},
    {SYS_SET_ROBUST_LIST, sys_set_robust_list},
    {SYS_UTIMENSAT, sys_utimensat},
    {SYS_DUP3, sys_dup3},
    {SYS_PRLIMIT64, sys_prlimit64},
    {SYS_RENAMEAT2, sys_change_path_at},
    {SYS_GETRANDOM, sys_getrandom},
    {SYS_RSEQ, sys_rseq},
    {SYS_FACCESSAT2, sys_faccessat2},
};

}  // namespace

void syscall_init() {
    for (auto& slot : syscall_table) slot = nullptr;
    for (const syscall_row& row : SYSCALLS) syscall_table[row.number] = row.handler;

    const uint64_t entry = reinterpret_cast<uint64_t>(&syscall_entry);
    cpu_wrmsr(IA32_STAR, STAR_VALUE);
    cpu_wrmsr(IA32_LSTAR, entry);
    cpu_wrmsr(IA32_FMASK, FMASK_VALUE);
    cpu_write_cr4(cpu_read_cr4() | CR4_OSFXSR | CR4_OSXMMEXCPT);

    kprintf("[syscall] Initialized SYSCALL interface\n");
    kprintf("[syscall] STAR=0x%x LSTAR=0x%x\n", STAR_VALUE, entry);
}
