/* Test kernel only: announces itself, then executes hlt in ring 3, which the
   processor refuses with a general-protection fault. The exit after it is never
   reached on a sound kernel. */
#define SYS_WRITE 1
#define SYS_EXIT 60
#define STDOUT_FD 1

    .text
    .globl _start
    .type _start, @function
_start:
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea msg(%rip), %rsi
    mov $(msg_end - msg), %edx
    syscall
    hlt
    mov $SYS_EXIT, %eax
    xor %edi, %edi
    syscall
    ud2
    .size _start, . - _start

    .section .rodata, "a", @progbits
msg:
    .ascii "hlt: executing hlt in ring 3\n"
msg_end:

    .section .note.GNU-stack, "", @progbits
