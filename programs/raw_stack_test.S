/* Like raw_test, but touches the user stack first: a stack that ring 3 cannot
   write faults at the push, before anything is printed. Should the popped value
   differ from the pushed one, nothing is printed and the status is 1. */
#include "machine.h"
#define STDOUT_FD 1
#define MSG_WRITE_LEN 3     /* "OK!" without the stored newline */
#define STACK_PATTERN 0x41414141
#define STATUS_STACK_MISMATCH 1

    .text
    .globl _start
    .type _start, @function
_start:
    push $STACK_PATTERN
    pop %rax
    cmp $STACK_PATTERN, %rax
    jne .Lmismatch
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea msg(%rip), %rsi
    mov $MSG_WRITE_LEN, %edx
    syscall
    mov $SYS_EXIT, %eax
    xor %edi, %edi
    syscall
    ud2
.Lmismatch:
    mov $SYS_EXIT, %eax
    mov $STATUS_STACK_MISMATCH, %edi
    syscall
    ud2
    .size _start, . - _start

    .section .rodata, "a", @progbits
msg:
    .ascii "OK!\n"

    .section .note.GNU-stack, "", @progbits
