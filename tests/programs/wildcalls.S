/* Every system call that takes a pointer or an address, handed kernel memory, a
   range running out of the program's own pages, a non-canonical or kernel-half
   FS base, an absurd size, a clock there is not or a nanosecond count of a whole
   second, and the descriptor calls handed descriptors never opened: each result
   is printed as 16 hex digits, so each must be Linux's error (EFAULT ...F2, EPERM
   ...FF, EINVAL ...EA, ENOMEM ...F4, EBADF ...F7, ESRCH ...FD) with the kernel
   unharmed. A refused brk answers the break unchanged: it is printed less the
   break at the start, 0. The last call, a signal to itself, ends the program. */
#include "hostile.inc"
    .set ROW, 48
    .set KERNEL, 0x100000               /* the kernel image */
    .set EDGE, USER_IMAGE_BASE + LARGE_PAGE_BYTES - 8   /* 8 bytes before a closed page */
    .set ANON_PRIVATE, 0x22
    .set FIXED, 0x10
    .set AT_FDCWD, -100

    .text
    .globl _start
_start:
    mov $SYS_BRK, %eax
    xor %edi, %edi
    syscall
    mov %rax, %r13
    lea calls(%rip), %rbx
    mov $CALLS, %r12d
1:  mov (%rbx), %rax
    mov 8(%rbx), %rdi
    mov 16(%rbx), %rsi
    mov 24(%rbx), %rdx
    mov 32(%rbx), %r10
    mov 40(%rbx), %r8
    syscall
    cmpq $SYS_BRK, (%rbx)
    jne 2f
    sub %r13, %rax
2:  call print_hex
    add $ROW, %rbx
    dec %r12d
    jnz 1b
    exit_program

    print_routine

    .section .rodata, "a", @progbits
    .balign 8
calls:  /* number, then five arguments */
    .quad SYS_WRITE, 1, KERNEL, 16, 0, 0
    .quad SYS_WRITE, 1, EDGE, 16, 0, 0
    .quad SYS_WRITEV, 1, KERNEL, 1, 0, 0
    .quad SYS_WRITEV, 1, into_kernel, 1, 0, 0
    .quad SYS_WRITEV, 1, into_kernel, 1025, 0, 0
    .quad SYS_ARCH_PRCTL, 0x1002, 0x0000800000000000, 0, 0, 0   /* set FS: not canonical */
    .quad SYS_ARCH_PRCTL, 0x1002, 0xFFFF800000000000, 0, 0, 0   /* set FS: the upper half */
    .quad SYS_ARCH_PRCTL, 0x1003, KERNEL, 0, 0, 0               /* get FS into the kernel */
    .quad SYS_GETRANDOM, KERNEL, 16, 0, 0, 0
    .quad SYS_GETRANDOM, EDGE, 16, 0, 0, 0
    .quad SYS_FSTAT, 1, KERNEL, 0, 0, 0
    .quad SYS_NEWFSTATAT, 1, KERNEL, into_kernel, 0x1000, 0
    .quad SYS_READLINK, KERNEL, into_kernel, 64, 0, 0
    .quad SYS_READLINK, self_exe, KERNEL, 64, 0, 0
    .quad SYS_RT_SIGACTION, 6, 0, KERNEL, 8, 0
    .quad SYS_RT_SIGPROCMASK, 0, KERNEL, 0, 8, 0
    .quad SYS_PRLIMIT64, 0, 3, 0, KERNEL, 0
    .quad SYS_FUTEX, KERNEL, 0, 0, 0, 0
    .quad SYS_MMAP, KERNEL, 4096, 3, ANON_PRIVATE | FIXED, -1
    .quad SYS_MMAP, 0, 1 << 40, 3, ANON_PRIVATE, -1
    .quad SYS_MMAP, 0, -4096, 3, ANON_PRIVATE, -1
    .quad SYS_MPROTECT, KERNEL, 4096, 7, 0, 0
    .quad SYS_MREMAP, KERNEL, 4096, 8192, 1, 0
    .quad SYS_NANOSLEEP, KERNEL, 0, 0, 0, 0
    .quad SYS_NANOSLEEP, bad_nap, 0, 0, 0, 0
    .quad SYS_CLOCK_NANOSLEEP, 1, 0, KERNEL, 0, 0
    .quad SYS_CLOCK_GETTIME, 0, KERNEL, 0, 0, 0
    .quad SYS_CLOCK_GETTIME, 8, into_kernel, 0, 0, 0            /* no such clock */
    .quad SYS_CLOCK_GETRES, 1, KERNEL, 0, 0, 0
    .quad SYS_GETTIMEOFDAY, KERNEL, 0, 0, 0, 0
    .quad SYS_GETTIMEOFDAY, 0, KERNEL, 0, 0, 0                  /* the time zone */
    .quad SYS_TIME, KERNEL, 0, 0, 0, 0
    .quad SYS_UNAME, KERNEL, 0, 0, 0, 0
    .quad SYS_BRK, KERNEL, 0, 0, 0, 0
    .quad SYS_BRK, USER_STACK_BASE, 0, 0, 0, 0
    .quad SYS_BRK, -1, 0, 0, 0, 0
    .quad SYS_OPEN, KERNEL, 0, 0, 0, 0
    .quad SYS_OPENAT, AT_FDCWD, KERNEL, 0, 0, 0
    .quad SYS_STAT, KERNEL, into_kernel, 0, 0, 0
    .quad SYS_ACCESS, KERNEL, 0, 0, 0, 0
    .quad SYS_CHDIR, KERNEL, 0, 0, 0, 0
    .quad SYS_GETCWD, KERNEL, 64, 0, 0, 0
    .quad SYS_READ, 1000, into_kernel, 1, 0, 0
    .quad SYS_READ, -1, into_kernel, 1, 0, 0
    .quad SYS_CLOSE, 1000, 0, 0, 0, 0
    .quad SYS_CLOSE, -1, 0, 0, 0, 0
    .quad SYS_FSTAT, 1000, into_kernel, 0, 0, 0
    .quad SYS_FSTAT, -1, into_kernel, 0, 0, 0
    .quad SYS_LSEEK, 1000, 0, 0, 0, 0
    .quad SYS_PREAD64, 1000, into_kernel, 1, 0, 0
    .quad SYS_GETDENTS64, 1000, into_kernel, 64, 0, 0
    .quad SYS_DUP, 1000, 0, 0, 0, 0
    .quad SYS_DUP2, 1000, 1, 0, 0, 0
    .quad SYS_FCNTL, -1, 1, 0, 0, 0                             /* F_GETFD */
    .quad SYS_SENDFILE, 1, 1000, 0, 16, 0
    .quad SYS_WRITE, -1, self_exe, 5, 0, 0
    .quad SYS_WRITE, 3, self_exe, 5, 0, 0                      /* never opened */
    .quad SYS_WRITE, 1, 0, 0, 0, 0                             /* nothing: 0, whatever the buffer */
    .quad SYS_WRITE, 1, -16, 32, 0, 0                          /* wraps the address space */
    .quad SYS_POLL, KERNEL, 1, 0, 0, 0
    .quad SYS_POLL, KERNEL, 65, 0, 0, 0                        /* more than the descriptors */
    .quad SYS_IOCTL, 1000, 0x5401, 0, 0, 0
    .quad SYS_FCHDIR, 1000, 0, 0, 0, 0
    .quad SYS_DUP3, 1000, 1, 0, 0, 0
    .quad SYS_FCHMOD, 1000, 0644, 0, 0, 0
    .quad SYS_MKDIR, KERNEL, 0755, 0, 0, 0
    .quad SYS_UTIMENSAT, -100, KERNEL, 0, 0, 0
    .quad SYS_READLINKAT, -100, KERNEL, into_kernel, 64, 0
    .quad SYS_FACCESSAT2, -100, KERNEL, 0, 0, 0
    .quad SYS_GETGROUPS, 1, KERNEL, 0, 0, 0
    .quad SYS_PRCTL, 16, KERNEL, 0, 0, 0                      /* PR_GET_NAME */
    .quad SYS_SETUID, 1, 0, 0, 0, 0
    .quad SYS_KILL, 2, 9, 0, 0, 0                              /* no such process */
    .quad SYS_TGKILL, 1, 1, 6, 0, 0                            /* itself, as abort does: the end */
    .set CALLS, (. - calls) / ROW
into_kernel:                            /* an iovec of its own naming kernel memory */
    .quad KERNEL, 16
self_exe:
    .asciz "/proc/self/exe"
bad_nap:                                /* a nanosecond count of a whole second */
    .quad 0, 1000000000
    .section .note.GNU-stack, "", @progbits
