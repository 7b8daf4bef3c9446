/* Says whether its whole stack, and its image page past its own bytes, read zero
   as the program starts (silent if not), then fills both with ones: run twice,
   the second run shows whether the kernel clears what the program before it left
   there. */
#include "hostile.inc"
    .set STACK_QWORDS, (USER_STACK_TOP - USER_STACK_BASE) / 8
    .set TAIL, USER_IMAGE_BASE + 0x10000    /* well past this program's few bytes */
    .set TAIL_QWORDS, (USER_IMAGE_BASE + LARGE_PAGE_BYTES - TAIL) / 8

.macro zero_or_ebx from, qwords         /* EBX gets a bit when a qword is not zero */
    mov $\from, %rdi
    mov $\qwords, %ecx
    xor %eax, %eax
    repe scasq
    setne %al
    or %eax, %ebx
.endm
.macro ones from, qwords
    mov $\from, %rdi
    mov $\qwords, %ecx
    mov $-1, %rax
    rep stosq
.endm

    .text
    .globl _start
_start:
    cld
    xor %ebx, %ebx
    zero_or_ebx USER_STACK_BASE, STACK_QWORDS
    zero_or_ebx TAIL, TAIL_QWORDS
    test %ebx, %ebx
    jnz 1f
    say zero
1:  ones USER_STACK_BASE, STACK_QWORDS
    ones TAIL, TAIL_QWORDS
    exit_program

    .section .rodata, "a", @progbits
zero:
    .ascii "freshstack: all zero\n"
zero_end:
    .section .note.GNU-stack, "", @progbits
