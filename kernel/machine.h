/* The numbers that the kernel's and the programs' assembly, C++ and (preprocessed)
   linker scripts must agree on, said once: descriptor selectors, task-state
   segment offsets, the page-table format and the boot tables' place, the fixed
   addresses of the memory map, and what a program in ring 3 is given: its
   selectors and the system-call numbers. Each includer turns every line into its
   own kind of definition: a constexpr in C++, a .set in assembly, a symbol
   assignment in the linker script. */
#ifndef TARVELIN_MACHINE_H
#define TARVELIN_MACHINE_H

#define MACHINE_CONSTANTS(X)                                                      \
    X(CODE64_SEL, 0x08)          /* kernel code */                                \
    X(DATA64_SEL, 0x10)          /* kernel data */                                \
    X(USER_DS_SEL, 0x18)         /* user data, directly below user code for SYSRET */ \
    X(USER_CS_SEL, 0x20)         /* user code */                                  \
    X(TSS_SEL, 0x28)                                                              \
    X(COM1, 0x3F8)               /* the serial console's first port */            \
    X(TSS_RSP0, 4)               /* offsets in the 64-bit task-state segment */   \
    X(TSS_IST, 36)                                                                \
    X(TSS_IOMAP_BASE, 102)                                                        \
    X(TSS_SIZE, 104)                                                              \
    X(PAGE_PRESENT, 0x1)         /* page-table entry bits, at every level */      \
    X(PAGE_WRITE, 0x2)                                                            \
    X(PAGE_USER, 0x4)                                                             \
    X(PAGE_SIZE, 0x80)           /* a directory entry that maps a 2 MiB page */   \
    X(PAGE_BYTES, 0x1000)                                                         \
    X(LARGE_PAGE_BYTES, 0x200000)                                                 \
    X(PAGE_TABLE_ENTRIES, 512)                                                    \
    X(PML4_ADDR, 0x1000)         /* the boot tables: one of each level */         \
    X(PDPT_ADDR, 0x2000)                                                          \
    X(PD_ADDR, 0x3000)                                                            \
    X(IDENTITY_MAP_END, 0x40000000) /* the boot tables map the first 1 GiB */     \
    X(KERNEL_LOAD_ADDR, 0x100000)                                                 \
    X(USER_IMAGE_BASE, 0x400000) /* link address of user programs */              \
    X(USER_IMAGE_END, 0x800000)  /* two 2 MiB pages the launch path opens */      \
    X(USER_STACK_BASE, 0x10000000)                                                \
    X(USER_STACK_TOP, 0x10010000) /* 64 KiB user stack */                         \
    X(USER_MMAP_BASE, 0x40000000) /* a program's mmap memory: the second GiB, */  \
    X(USER_MMAP_END, 0x80000000)  /* in 4 KiB pages of the run's own tables */

/* The selectors a program runs with, at privilege level 3 as SYSRETQ and IRETQ
   hand them over. */
#define USER_SELECTORS(X)                                                         \
    X(USER_CS, USER_CS_SEL | 3)                                                   \
    X(USER_SS, USER_DS_SEL | 3)

/* The system calls, numbered as Linux numbers them on x86-64, so that a program
   may be tried on a Linux host first. The entry path handles SYS_EXIT itself;
   the table in syscall.cpp has the rest. */
#define SYSCALL_NUMBERS(X)                                                      \
    X(SYS_READ, 0)                                                              \
    X(SYS_WRITE, 1)                                                             \
    X(SYS_OPEN, 2)                                                              \
    X(SYS_CLOSE, 3)                                                             \
    X(SYS_STAT, 4)                                                              \
    X(SYS_FSTAT, 5)                                                             \
    X(SYS_LSTAT, 6)                                                             \
    X(SYS_POLL, 7)                                                              \
    X(SYS_LSEEK, 8)                                                             \
    X(SYS_MMAP, 9)                                                              \
    X(SYS_MPROTECT, 10)                                                         \
    X(SYS_MUNMAP, 11)                                                           \
    X(SYS_BRK, 12)                                                              \
    X(SYS_RT_SIGACTION, 13)                                                     \
    X(SYS_RT_SIGPROCMASK, 14)                                                   \
    X(SYS_IOCTL, 16)                                                            \
    X(SYS_PREAD64, 17)                                                          \
    X(SYS_WRITEV, 20)                                                           \
    X(SYS_ACCESS, 21)                                                           \
    X(SYS_MREMAP, 25)                                                           \
    X(SYS_DUP, 32)                                                              \
    X(SYS_DUP2, 33)                                                             \
    X(SYS_NANOSLEEP, 35)                                                        \
    X(SYS_GETPID, 39)                                                           \
    X(SYS_SENDFILE, 40)                                                         \
    X(SYS_EXIT, 60)                                                             \
    X(SYS_KILL, 62)                                                             \
    X(SYS_UNAME, 63)                                                            \
    X(SYS_FCNTL, 72)                                                            \
    X(SYS_TRUNCATE, 76)                                                         \
    X(SYS_FTRUNCATE, 77)                                                        \
    X(SYS_GETCWD, 79)                                                           \
    X(SYS_CHDIR, 80)                                                            \
    X(SYS_FCHDIR, 81)                                                           \
    X(SYS_RENAME, 82)                                                           \
    X(SYS_MKDIR, 83)                                                            \
    X(SYS_RMDIR, 84)                                                            \
    X(SYS_UNLINK, 87)                                                           \
    X(SYS_READLINK, 89)                                                         \
    X(SYS_CHMOD, 90)                                                            \
    X(SYS_FCHMOD, 91)                                                           \
    X(SYS_CHOWN, 92)                                                            \
    X(SYS_FCHOWN, 93)                                                           \
    X(SYS_LCHOWN, 94)                                                           \
    X(SYS_GETTIMEOFDAY, 96)                                                     \
    X(SYS_GETUID, 102)                                                          \
    X(SYS_GETGID, 104)                                                          \
    X(SYS_SETUID, 105)                                                          \
    X(SYS_SETGID, 106)                                                          \
    X(SYS_GETEUID, 107)                                                         \
    X(SYS_GETEGID, 108)                                                         \
    X(SYS_GETPPID, 110)                                                         \
    X(SYS_GETGROUPS, 115)                                                       \
    X(SYS_PRCTL, 157)                                                           \
    X(SYS_ARCH_PRCTL, 158)                                                      \
    X(SYS_GETTID, 186)                                                          \
    X(SYS_TIME, 201)                                                            \
    X(SYS_FUTEX, 202)                                                           \
    X(SYS_GETDENTS64, 217)                                                      \
    X(SYS_SET_TID_ADDRESS, 218)                                                 \
    X(SYS_CLOCK_GETTIME, 228)                                                   \
    X(SYS_CLOCK_GETRES, 229)                                                    \
    X(SYS_CLOCK_NANOSLEEP, 230)                                                 \
    X(SYS_EXIT_GROUP, 231)                                                      \
    X(SYS_TGKILL, 234)                                                          \
    X(SYS_OPENAT, 257)                                                          \
    X(SYS_MKDIRAT, 258)                                                         \
    X(SYS_FCHOWNAT, 260)                                                        \
    X(SYS_NEWFSTATAT, 262)                                                      \
    X(SYS_UNLINKAT, 263)                                                        \
    X(SYS_RENAMEAT, 264)                                                        \
    X(SYS_READLINKAT, 267)                                                      \
    X(SYS_FCHMODAT, 268)                                                        \
    X(SYS_FACCESSAT, 269)                                                       \
    X(SYS_SET_ROBUST_LIST, 273)                                                 \
    X(SYS_UTIMENSAT, 280)                                                       \
    X(SYS_DUP3, 292)                                                            \
    X(SYS_PRLIMIT64, 302)                                                       \
    X(SYS_RENAMEAT2, 316)                                                       \
    X(SYS_GETRANDOM, 318)                                                       \
    X(SYS_RSEQ, 334)                                                            \
    X(SYS_FACCESSAT2, 439)

#if defined(__cplusplus)
#include <cstdint>
#define MACHINE_CONSTANT(name, value) constexpr uint64_t name = value;
#elif defined(__ASSEMBLER__)
#define MACHINE_CONSTANT(name, value) .set name, value;
#else
#define MACHINE_CONSTANT(name, value) name = value;
#endif
MACHINE_CONSTANTS(MACHINE_CONSTANT)
USER_SELECTORS(MACHINE_CONSTANT)
SYSCALL_NUMBERS(MACHINE_CONSTANT)
#undef MACHINE_CONSTANT

#endif
