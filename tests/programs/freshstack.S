/* Says whether the whole user stack reads zero as the program starts (silent if
   not), then fills it with ones: run twice, the second run shows whether the
   launch path clears what the program before it left there. */
#include "hostile.inc"
    .set STACK_QWORDS, (USER_STACK_TOP - USER_STACK_BASE) / 8

    .text
    .globl _start
_start:
    cld
    mov $USER_STACK_BASE, %rdi
    mov $STACK_QWORDS, %ecx
    xor %eax, %eax
    repe scasq
    jne 1f
    say zero
1:  mov $USER_STACK_BASE, %rdi
    mov $STACK_QWORDS, %ecx
    mov $-1, %rax
    rep stosq
    exit_program

    .section .rodata, "a", @progbits
zero:
    .ascii "freshstack: all zero\n"
zero_end:
    .section .note.GNU-stack, "", @progbits
