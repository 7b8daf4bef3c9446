/* Stays in ring 3 for about a second without a system call,
   timed by the time-stamp counter (readable in ring 3), then exits. While it
   runs the kernel sees only the interrupts it leaves open to a program. */
#include "hostile.inc"
#define SPIN_TSC_TICKS 0x80000000   /* 2^31 cycles: 0.6 to 1 s on a 2-3.5 GHz counter */

    .text
    .globl _start
    .type _start, @function
_start:
    say start_msg

    rdtsc
    shl $32, %rdx
    or %rax, %rdx
    mov %rdx, %rbx              /* start count */
    mov $SPIN_TSC_TICKS, %r12d
.Lspin:
    pause
    rdtsc
    shl $32, %rdx
    or %rax, %rdx
    sub %rbx, %rdx
    cmp %r12, %rdx
    jb .Lspin

    say done_msg
    exit_program
    .size _start, . - _start

    .section .rodata, "a", @progbits
start_msg:
    .ascii "spin: start\n"
start_msg_end:
done_msg:
    .ascii "spin: done\n"
done_msg_end:

    .section .note.GNU-stack, "", @progbits
