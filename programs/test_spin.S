/* Test kernel only: stays in ring 3 for about a second without a system call,
   timed by the time-stamp counter (readable in ring 3), then exits. While it
   runs the kernel sees only the interrupts it leaves open to a program. */
#define SYS_WRITE 1
#define SYS_EXIT 60
#define STDOUT_FD 1
#define SPIN_TSC_TICKS 0x80000000   /* 2^31 cycles: 0.6 to 1 s on a 2-3.5 GHz counter */

    .text
    .globl _start
    .type _start, @function
_start:
    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea start_msg(%rip), %rsi
    mov $(start_msg_end - start_msg), %edx
    syscall

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

    mov $SYS_WRITE, %eax
    mov $STDOUT_FD, %edi
    lea done_msg(%rip), %rsi
    mov $(done_msg_end - done_msg), %edx
    syscall
    mov $SYS_EXIT, %eax
    xor %edi, %edi
    syscall
    ud2
    .size _start, . - _start

    .section .rodata, "a", @progbits
start_msg:
    .ascii "spin: start\n"
start_msg_end:
done_msg:
    .ascii "spin: done\n"
done_msg_end:

    .section .note.GNU-stack, "", @progbits
