/*
 * Interrupt entry: one stub per vector, the common save-and-restore path and
 * the lidt wrapper. Every stub leaves the same frame shape (error code, then
 * vector) so that isr_dispatch sees one interrupt_frame layout for all 256
 * vectors, whether or not the processor pushed an error code.
 */

#include "registers.inc"

.altmacro

.set FRAME_DISCARD, 16          /* vector and error code, dropped before iretq */

/* Sets `result` to 1 for the vectors whose processor frame already carries an
   error code: 8, 10-14, 17, 21, 29 and 30. */
.macro has_error_code n, result
    .if (\n == 8) || (\n == 10) || (\n == 11) || (\n == 12) || (\n == 13) || (\n == 14) || (\n == 17) || (\n == 21) || (\n == 29) || (\n == 30)
        .set \result, 1
    .else
        .set \result, 0
    .endif
.endm

.macro isr_stub n
.global isr_stub_\n
.type isr_stub_\n, @function
isr_stub_\n:
    has_error_code \n, stub_has_error
    .if stub_has_error == 0
    pushq $0                    /* stands in for the missing error code */
    .endif
    pushq $\n                   /* positive even above 127: assembled as imm32 */
    jmp isr_common
.size isr_stub_\n, . - isr_stub_\n
.endm

.macro stub_address n
    .quad isr_stub_\n
.endm

.section .text
.set vector, 0
.rept 256
    isr_stub %vector
    .set vector, vector + 1
.endr

/*
 * The processor aligned RSP to 16 before its five quadwords; with the two the
 * stub pushed and the fifteen below the frame is 22 quadwords, so RSP is
 * 16-byte aligned again at the call, as the C++ side expects.
 */
.global isr_common
.type isr_common, @function
isr_common:
    push_registers

    movq %rsp, %rdi
    /* Compiled code assumes the direction flag clear on entry; the interrupted
       code may have set it, and iretq gives it back its own RFLAGS anyway. */
    cld
    call isr_dispatch

    pop_registers
    addq $FRAME_DISCARD, %rsp
    iretq
.size isr_common, . - isr_common

/* idt_load(pointer): loads the 10-byte limit-and-base operand at RDI. */
.global idt_load
.type idt_load, @function
idt_load:
    lidt (%rdi)
    ret
.size idt_load, . - idt_load

/* Entry n is the address of isr_stub_n; idt_init builds the gates from it. */
.section .rodata
.balign 8
.global isr_stub_table
.type isr_stub_table, @object
isr_stub_table:
.set vector, 0
.rept 256
    stub_address %vector
    .set vector, vector + 1
.endr
.size isr_stub_table, . - isr_stub_table

.section .note.GNU-stack,"",@progbits
