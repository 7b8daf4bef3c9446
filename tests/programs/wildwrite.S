/* write() with buffers that are not wholly the program's: each must come back
   negative (printed R) with nothing sent; the last, a buffer of its own, is sent and
   accepted (A), proving the calls reach the kernel. */
#include "hostile.inc"

    .text
    .globl _start
_start:
    say banner
    lea cases(%rip), %rbx
    mov $CASES, %r12d
1:  mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    mov (%rbx), %rsi
    mov 8(%rbx), %rdx
    syscall
    lea refused(%rip), %rsi
    test %rax, %rax
    js 2f
    lea accepted(%rip), %rsi
2:  mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    mov $1, %edx
    syscall
    add $16, %rbx
    dec %r12d
    jnz 1b
    say newline
    exit_program

    .section .rodata, "a", @progbits
    .balign 8
cases:
    .quad 0x5FFFF0, 0x20            /* from the program's page past its end */
    .quad 0x3FFFF0, 0x20            /* from kernel memory into the program's page */
    .quad 0x100000, 0x10            /* the kernel image */
    .quad USER_STACK_BASE - 8, 0x10 /* up into the user stack from below */
    .quad USER_IMAGE_BASE, -0x100   /* a length that wraps the address space */
    .quad own, own_end - own
    .set CASES, (. - cases) / 16
banner:
    .ascii "wildwrite: "
banner_end:
own:
    .ascii "ok"
own_end:
refused:
    .ascii "R"
accepted:
    .ascii "A"
newline:
    .ascii "\n"
newline_end:
    .section .note.GNU-stack, "", @progbits
