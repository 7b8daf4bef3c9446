/* Attack on the system-call entry: IRETQ sets the trap flag and aims RSP into
   the kernel's code, landing on SYSCALL (exit). Were either to survive into the
   kernel, a single-step trap on syscall_entry's first instruction would push its
   frame at that address. A sound kernel simply ends the program. */
#include "hostile.inc"
#define TARGET 0x110000             /* inside the kernel's code */
#define RFLAGS_TF_IF 0x302          /* TF, IF and the always-one bit 1 */

    .text
    .globl _start
_start:
    say banner
    pushq $USER_SS
    pushq $TARGET
    pushq $RFLAGS_TF_IF
    pushq $USER_CS
    lea 1f(%rip), %rax
    pushq %rax
    mov $SYS_EXIT, %eax
    xor %edi, %edi
    iretq
1:  syscall
    ud2

    .section .rodata, "a", @progbits
banner:
    .ascii "trapflag: rsp=0x110000\n"
banner_end:
    .section .note.GNU-stack, "", @progbits
