/* Announces itself, then executes hlt in ring 3, which the processor refuses
   with a general-protection fault; the exit after it is never reached. */
#include "hostile.inc"

    .text
    .globl _start
_start:
    say msg
    hlt
    exit_program

    .section .rodata, "a", @progbits
msg:
    .ascii "hlt: executing hlt in ring 3\n"
msg_end:
    .section .note.GNU-stack, "", @progbits
