// Interrupt descriptor table, the 8259A pair and the dispatcher every interrupt
// and exception passes through.
#pragma once
#include <cstddef>
#include <cstdint>

// The register record isr_common builds on the stack, lowest address first.
struct interrupt_frame {
    uint64_t r15, r14, r13, r12, r11, r10, r9, r8;
    uint64_t rbp, rdi, rsi, rdx, rcx, rbx, rax;
    uint64_t vector;
    uint64_t error_code;
    uint64_t rip, cs, rflags, rsp, ss;  // pushed by the processor
};
static_assert(sizeof(interrupt_frame) == 22 * 8);
static_assert(offsetof(interrupt_frame, r15) == 0);
static_assert(offsetof(interrupt_frame, rax) == 14 * 8);
static_assert(offsetof(interrupt_frame, vector) == 15 * 8);
static_assert(offsetof(interrupt_frame, error_code) == 16 * 8);
static_assert(offsetof(interrupt_frame, rip) == 17 * 8);
static_assert(offsetof(interrupt_frame, ss) == 21 * 8);

using irq_handler = void (*)(interrupt_frame* frame);

// The 10-byte operand of lidt.
struct __attribute__((packed)) idt_pointer {
    uint16_t limit;
    uint64_t base;
};
static_assert(sizeof(idt_pointer) == 10);

constexpr int IRQ_BASE_VECTOR = 0x20;   // master PIC lines 0-7 -> 32-39
constexpr int IRQ_SLAVE_VECTOR = 0x28;  // slave lines 8-15 -> 40-47
constexpr int IRQ_TIMER = 0;
constexpr int IRQ_KEYBOARD = 1;
constexpr int IRQ_COM1 = 4;
constexpr uint16_t PIC1_DATA = 0x21;   // master mask register

// Both controllers' masks, the master's in the low byte; a set bit closes a line.
using pic_masks = uint16_t;
// Closes every line whose bit is clear in `lines`; returns the masks it replaced.
pic_masks pic_allow_only(uint16_t lines);
void pic_restore(pic_masks masks);

void pic_remap(int master_offset, int slave_offset);
void pic_mask_all();
void pic_unmask_irq(int irq);
void pic_send_eoi(int irq);
void irq_install(int vector, irq_handler handler);
void idt_init();
extern "C" void idt_load(const idt_pointer* pointer);  // kernel/isr.S
extern "C" void isr_dispatch(interrupt_frame* frame);   // called by isr_common only
