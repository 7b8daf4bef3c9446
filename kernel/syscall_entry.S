/*
 * The SYSCALL entry path and the ring-3 enter and return routines.
 *
 * syscall_entry runs with interrupts off (IA32_FMASK clears IF) on its own 8 KiB
 * stack, restarted from the top on every call; one set of save slots is enough
 * because only one program runs and calls never nest. System call 60 does not
 * return to the program: it resumes the kernel where enter_userspace was called,
 * and so does any call whose handler set syscall_exit_pending (exit_group, a
 * signal a program sends itself).
 */

#include "machine.h"
#include "registers.inc"

.set RFLAGS_IF,     0x200
.set RFLAGS_USER,   0x202       /* IF and the always-one bit 1 */
.set RFLAGS_KERNEL, 0x202
.set IA32_FS_BASE,  0xC0000100
.set IA32_GS_BASE,  0xC0000101
.set FCW_DEFAULT,   0x037F      /* x87: every exception masked, 64-bit precision */
.set MXCSR_DEFAULT, 0x1F80      /* SSE: every exception masked, round to nearest */

.section .data
.balign 8
.global user_rsp, user_rflags, user_rcx
.global saved_kernel_rsp, saved_kernel_rbp
user_rsp:           .quad 0
user_rflags:        .quad 0
user_rcx:           .quad 0
saved_kernel_rsp:   .quad 0
saved_kernel_rbp:   .quad 0

/* The x87 and SSE state every program starts from, as FXRSTOR reads it: the
   control words at their defaults, every x87 register empty, XMM0-15 zero. */
.balign 16
clean_fpu_state:
    .word FCW_DEFAULT
    .skip 22
    .long MXCSR_DEFAULT
    .skip 512 - 28

.section .syscall_stack, "aw", @nobits
.balign 16
.global syscall_stack_top
    .skip 8192
syscall_stack_top:

.section .text
.code64

.global syscall_entry
syscall_entry:
    movq %rsp, user_rsp
    movq %r11, user_rflags
    movq %rcx, user_rcx
    movabsq $syscall_stack_top, %rsp

    subq $8, %rsp               /* so that with the fifteen below RSP is 16-byte aligned at the call */
    push_registers

    cmpq $SYS_EXIT, %rax
    jne not_exit
    addq $(REGISTERS_SIZE + 8), %rsp
    jmp return_to_kernel

not_exit:
    /* number, then the first five arguments; R9 (a sixth) is dropped. */
    movq %r8, %r9
    movq %r10, %r8
    movq %rdx, %rcx
    movq %rsi, %rdx
    movq %rdi, %rsi
    movq %rax, %rdi
    call syscall_dispatch
    cmpb $0, syscall_exit_pending
    jne return_to_kernel        /* it resets RSP itself */
    movq %rax, SAVED_RAX(%rsp)  /* the program gets the result in RAX */
    pop_registers
    addq $8, %rsp               /* the alignment slot */

    movq user_rflags, %r11
    orq $RFLAGS_IF, %r11
    movq user_rcx, %rcx
    movq user_rsp, %rsp
    sysretq

/*
 * enter_userspace(entry, user_rsp): saves every register the calling
 * convention keeps across a call, so compiled code around the launch is safe at
 * any optimisation level, then drops to ring 3. SYSRETQ gives CS 0x23, SS 0x1B.
 */
.global enter_userspace
enter_userspace:
    pushq %rbx
    pushq %rbp
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, saved_kernel_rsp
    movq %rbp, saved_kernel_rbp
    cli
    /* A clean floating-point state: nothing the previous program left. */
    fxrstor clean_fpu_state
    /* Null data selectors, as Linux starts a program; the thread-pointer
       bases are written after them, since loading a selector may change its
       base. */
    xorl %eax, %eax
    movw %ax, %ds
    movw %ax, %es
    movw %ax, %fs
    movw %ax, %gs
    xorl %edx, %edx
    movl $IA32_FS_BASE, %ecx
    wrmsr
    movl $IA32_GS_BASE, %ecx
    wrmsr
    movq %rdi, %rcx
    movq %rsi, %rsp
    movq $RFLAGS_USER, %r11
    /* The program starts with no kernel values in its registers. */
    clear_registers
    sysretq

/*
 * Reached by a jump from syscall_entry on system call 60 or a pending exit, on
 * the system-call stack with interrupts off. Resumes enter_userspace's caller with its
 * registers and clean flags (interrupts on, direction clear, no trap flag).
 */
.global return_to_kernel
return_to_kernel:
    cli
    movw $DATA64_SEL, %cx
    movw %cx, %ds
    movw %cx, %es
    movw %cx, %fs
    movw %cx, %gs
    movq saved_kernel_rsp, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbp
    popq %rbx
    pushq $RFLAGS_KERNEL
    popfq
    ret

.section .note.GNU-stack,"",@progbits
