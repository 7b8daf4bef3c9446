/* What the clocks say, for the system test to hold against the host's: time(),
   CLOCK_REALTIME's seconds, and CLOCK_MONOTONIC in nanoseconds before and after
   a 10 ms nanosleep, each as 16 hex digits; then uname's system and machine. */
#include "hostile.inc"
    .set NSEC_PER_SEC, 1000000000
    .set CLOCK_MONOTONIC, 1
    .set UTS_FIELD, 65

    .text
    .globl _start
_start:
    sub $400, %rsp                      /* a timespec, then a utsname */
    mov $SYS_TIME, %eax
    xor %edi, %edi
    syscall
    call print_hex
    mov $SYS_CLOCK_GETTIME, %eax
    xor %edi, %edi                      /* CLOCK_REALTIME */
    mov %rsp, %rsi
    syscall
    mov (%rsp), %rax
    call print_hex
    call monotonic
    mov $SYS_NANOSLEEP, %eax
    lea nap(%rip), %rdi
    xor %esi, %esi
    syscall
    call monotonic
    mov $SYS_UNAME, %eax
    mov %rsp, %rdi
    syscall
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    mov %rsp, %rsi
    mov $8, %edx                        /* "Tarvelin" */
    syscall
    movb $' ', 4 * UTS_FIELD - 1(%rsp)  /* the last byte of the field before */
    movb $'\n', 4 * UTS_FIELD + 6(%rsp)
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea 4 * UTS_FIELD - 1(%rsp), %rsi
    mov $8, %edx                        /* " x86_64\n" */
    syscall
    exit_program

/* Prints CLOCK_MONOTONIC in nanoseconds, read into the caller's timespec. */
monotonic:
    mov $SYS_CLOCK_GETTIME, %eax
    mov $CLOCK_MONOTONIC, %edi
    lea 8(%rsp), %rsi
    syscall
    imul $NSEC_PER_SEC, 8(%rsp), %rax
    add 16(%rsp), %rax
    jmp print_hex

    print_routine

    .section .rodata, "a", @progbits
    .balign 8
nap:
    .quad 0, 10000000
    .section .note.GNU-stack, "", @progbits
