/* The file calls on a mounted volume, handed paths that never end and buffers in
   the kernel: a path of 4096 bytes with no terminator is too long (ENAMETOOLONG
   ...DC) even though the page after it is closed, one byte less runs into that
   page (EFAULT ...F2); an existing path with its result aimed at the kernel is
   EFAULT too. New descriptors are the lowest free ones, and opening without
   closing ends in EMFILE (...E8) after at least 32: the last line is 1 then. It
   exits with all of them open, so a second run must print the same. */
#include "hostile.inc"
    .set KERNEL, 0x100000
    .set PAGE, 4096
    .set AT_FDCWD, -100
    .set O_DIRECTORY, 0x10000
    .set F_GETFD, 1
    .set F_DUPFD, 0

/* row number, arguments: the call, its result printed. Keeps RBX, R12-R15. */
.macro row nr, a=$0, b=$0, c=$0, d=$0
    mov $\nr, %eax
    mov \a, %rdi
    mov \b, %rsi
    mov \c, %rdx
    mov \d, %r10
    syscall
    call print_hex
.endm

    .text
    .globl _start
_start:
    mov $SYS_MMAP, %eax                 /* two pages, the second given back */
    xor %edi, %edi
    mov $2 * PAGE, %esi
    mov $3, %edx
    mov $0x22, %r10d
    mov $-1, %r8
    xor %r9d, %r9d
    syscall
    mov %rax, %r12
    mov $SYS_MUNMAP, %eax
    lea PAGE(%r12), %rdi
    mov $PAGE, %esi
    syscall
    mov %r12, %rdi                      /* a page of 'a', no terminator */
    mov $'a', %eax
    mov $PAGE, %ecx
    rep stosb
    lea 1(%r12), %r13
    row SYS_OPEN, %r12
    row SYS_OPEN, %r13
    row SYS_OPENAT, $AT_FDCWD, %r12
    row SYS_STAT, %r13, %r12
    row SYS_LSTAT, %r12, %r12
    row SYS_ACCESS, %r13
    row SYS_READLINK, %r12, %r12, $64
    row SYS_CHDIR, %r13
    row SYS_STAT, $root, $KERNEL
    row SYS_NEWFSTATAT, $AT_FDCWD, $root, $KERNEL
    row SYS_READLINK, $link, $KERNEL, $64
    row SYS_READLINK, $root, %r12, $64
    row SYS_GETCWD, %r12, $1
    row SYS_OPEN, $root, $O_DIRECTORY
    row SYS_GETDENTS64, $3, $KERNEL, $PAGE
    row SYS_READ, $3, %r12, $16
    row SYS_CLOSE, $3
    row SYS_CLOSE, $3
    row SYS_DUP, $1
    row SYS_FCNTL, $1, $F_DUPFD, $10
    row SYS_FCNTL, $10, $F_GETFD
    row SYS_CLOSE, $10
    row SYS_CLOSE, $3
    xor %ebx, %ebx
1:  mov $SYS_OPEN, %eax
    mov $root, %edi
    mov $O_DIRECTORY, %esi
    syscall
    test %rax, %rax
    js 2f
    inc %ebx
    cmp $65536, %ebx                    /* a kernel that never refuses ends here */
    jb 1b
2:  call print_hex
    xor %eax, %eax
    cmp $32, %ebx
    setae %al
    call print_hex
    exit_program

    print_routine

    .section .rodata, "a", @progbits
root:
    .asciz "/"
link:
    .asciz "/link"
    .section .note.GNU-stack, "", @progbits
