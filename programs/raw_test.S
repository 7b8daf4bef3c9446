/* The smallest ring-3 program: writes "OK!" with one system call and exits,
   without the runtime. The message lives in its own read-only segment. */
#include "machine.h"
#define STDOUT_FD 1
#define MSG_WRITE_LEN 3     /* "OK!" without the stored newline */

    .text
    .globl _start
    .type _start, @function
_start:
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea msg(%rip), %rsi
    mov $MSG_WRITE_LEN, %edx
    syscall
    mov $SYS_EXIT, %eax
    xor %edi, %edi
    syscall
    ud2
    .size _start, . - _start

    .section .rodata, "a", @progbits
msg:
    .ascii "OK!\n"

    .section .note.GNU-stack, "", @progbits
