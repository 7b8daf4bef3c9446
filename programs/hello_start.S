/* hello_v2's entry routine, used in place of the runtime's: it does not trust
   the stack pointer it was handed but sets its own at the top of the user stack,
   then runs main and exits with main's status. */
#include "machine.h"

    .text
    .globl _start
    .type _start, @function
_start:
    mov $USER_STACK_TOP, %rsp
    call main
    movslq %eax, %rdi
    mov $SYS_EXIT, %eax
    syscall
    ud2
    .size _start, . - _start

    .section .note.GNU-stack, "", @progbits
