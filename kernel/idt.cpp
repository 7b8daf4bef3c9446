// The interrupt descriptor table, the handler table, the 8259A pair and the
// dispatcher that every interrupt and exception reaches through isr_common. All
// 256 gates are ring-0 interrupt gates, so handlers never nest; a PIC line is
// acknowledged only after its handler has returned, and acknowledged even when
// nobody claimed it, so a stray line cannot stall the controller. An exception
// nobody handles is reported on COM1 and stops the machine.
#include "idt.h"

#include "cpu.h"
#include "io.h"
#include "kassert.h"
#include "main.h"
#include "tss.h"

extern "C" const uint64_t isr_stub_table[256];  // kernel/isr.S

namespace {

constexpr int IDT_VECTORS = 256;
constexpr int EXCEPTION_VECTORS = 32;  // 0-31 belong to the processor
constexpr int PIC_LINES = 16;
constexpr int PIC_LINES_PER_CHIP = 8;
constexpr int DEBUG_VECTOR = 1;
constexpr int NMI_VECTOR = 2;
constexpr int DOUBLE_FAULT_VECTOR = 8;
constexpr int PAGE_FAULT_VECTOR = 14;
constexpr int MACHINE_CHECK_VECTOR = 18;

// Offsets 4 and 5 as one little-endian word: the IST index (0: none), then type
// 0x8E (present, DPL 0, 64-bit interrupt gate).
constexpr uint16_t GATE_ATTRIBUTES = 0x8E00;

constexpr uint16_t PIC1_COMMAND = 0x20;
constexpr uint16_t PIC2_COMMAND = 0xA0;
constexpr uint16_t PIC2_DATA = 0xA1;
constexpr uint16_t IO_DELAY_PORT = 0x80;

constexpr uint8_t ICW1_INIT_EDGE_CASCADE_ICW4 = 0x11;
constexpr uint8_t ICW3_MASTER_SLAVE_ON_LINE_2 = 0x04;
constexpr uint8_t ICW3_SLAVE_IDENTITY_2 = 0x02;
constexpr uint8_t ICW4_8086_MODE = 0x01;
constexpr uint8_t MASK_ALL = 0xFF;
constexpr uint8_t PIC_EOI = 0x20;

struct idt_gate {
    uint16_t offset_low;
    uint16_t selector;
    uint16_t attributes;  // IST index in the low byte, type in the high byte
    uint16_t offset_mid;
    uint32_t offset_high;
    uint32_t reserved;
};
static_assert(sizeof(idt_gate) == 16);
static_assert(offsetof(idt_gate, offset_low) == 0);
static_assert(offsetof(idt_gate, selector) == 2);
static_assert(offsetof(idt_gate, attributes) == 4);
static_assert(offsetof(idt_gate, offset_mid) == 6);
static_assert(offsetof(idt_gate, offset_high) == 8);
static_assert(offsetof(idt_gate, reserved) == 12);

// Exceptions that can strike on any instruction, among them the first of
// syscall_entry while RSP still holds whatever the program left there, run on
// stacks of their own from the task-state segment's interrupt stack table, so
// no frame is ever pushed where a program pointed. Entry n of the table is
// IST n + 1.
struct ist_gate {
    int vector;
    uint8_t ist;
};
constexpr ist_gate IST_GATES[] = {
    {DOUBLE_FAULT_VECTOR, 1},
    {NMI_VECTOR, 2},
    {DEBUG_VECTOR, 3},
    {MACHINE_CHECK_VECTOR, 4},
};
constexpr size_t IST_STACKS = sizeof(IST_GATES) / sizeof(IST_GATES[0]);
constexpr size_t IST_STACK_BYTES = 4096;
alignas(16) uint8_t ist_stacks[IST_STACKS][IST_STACK_BYTES];

alignas(16) idt_gate idt[IDT_VECTORS];
static_assert(sizeof(idt) == 4096);
idt_pointer idtr_reg;

irq_handler irq_handlers[IDT_VECTORS];

// An initialisation word, then the write to the unused POST port that gives an
// old 8259A time to take it.
void pic_write_delayed(uint16_t port, uint8_t value) {
    outb(port, value);
    outb(IO_DELAY_PORT, 0);
}

bool is_pic_vector(uint64_t vector) {
    return vector >= static_cast<uint64_t>(IRQ_BASE_VECTOR) &&
           vector < static_cast<uint64_t>(IRQ_BASE_VECTOR + PIC_LINES);
}

[[noreturn]] void report_exception(const interrupt_frame* frame) {
    kprintf("\n  [EXCEPTION] Interrupt %d, Error: %d\n", frame->vector, frame->error_code);
    kprintf("  RIP=%x CS=%x RFLAGS=%x\n", frame->rip, frame->cs, frame->rflags);
    if (frame->vector == PAGE_FAULT_VECTOR) kprintf("  CR2 (fault addr)=%x\n", cpu_read_cr2());
    kprintf("  RAX=%x RBX=%x RCX=%x RDX=%x\n", frame->rax, frame->rbx, frame->rcx, frame->rdx);
    kprintf("  RSP=%x RBP=%x\n", frame->rsp, frame->rbp);
    kprintf("  System halted.\n");
    cpu_halt_forever();
}

void ist_install() {
    for (const ist_gate& g : IST_GATES) {
        tss_struct.ist[g.ist - 1] = reinterpret_cast<uint64_t>(ist_stacks[g.ist - 1] + IST_STACK_BYTES);
        idt[g.vector].attributes = static_cast<uint16_t>(GATE_ATTRIBUTES | g.ist);
    }
}

}  // namespace

void pic_remap(int master_offset, int slave_offset) {
    pic_write_delayed(PIC1_COMMAND, ICW1_INIT_EDGE_CASCADE_ICW4);
    pic_write_delayed(PIC2_COMMAND, ICW1_INIT_EDGE_CASCADE_ICW4);
    pic_write_delayed(PIC1_DATA, static_cast<uint8_t>(master_offset));
    pic_write_delayed(PIC2_DATA, static_cast<uint8_t>(slave_offset));
    pic_write_delayed(PIC1_DATA, ICW3_MASTER_SLAVE_ON_LINE_2);
    pic_write_delayed(PIC2_DATA, ICW3_SLAVE_IDENTITY_2);
    pic_write_delayed(PIC1_DATA, ICW4_8086_MODE);
    pic_write_delayed(PIC2_DATA, ICW4_8086_MODE);
    pic_mask_all();
}

void pic_mask_all() {
    outb(PIC1_DATA, MASK_ALL);
    outb(PIC2_DATA, MASK_ALL);
}

void pic_unmask_irq(int irq) {
    KASSERT(irq >= 0 && irq < PIC_LINES);
    const uint16_t port = irq < PIC_LINES_PER_CHIP ? PIC1_DATA : PIC2_DATA;
    const int bit = irq % PIC_LINES_PER_CHIP;
    const uint8_t mask = inb(port);
    outb(port, static_cast<uint8_t>(mask & ~(1u << bit)));
}

// The launch path closes every line but the ones a program may need, and opens
// exactly what was open before once it is back, so a driver that opened a line
// of its own keeps it.
pic_masks pic_allow_only(uint16_t lines) {
    const pic_masks before = static_cast<pic_masks>(inb(PIC1_DATA) | inb(PIC2_DATA) << PIC_LINES_PER_CHIP);
    pic_restore(static_cast<pic_masks>(~lines));
    return before;
}

void pic_restore(pic_masks masks) {
    outb(PIC1_DATA, static_cast<uint8_t>(masks));
    outb(PIC2_DATA, static_cast<uint8_t>(masks >> PIC_LINES_PER_CHIP));
}

void pic_send_eoi(int irq) {
    KASSERT(irq >= 0 && irq < PIC_LINES);
    if (irq >= PIC_LINES_PER_CHIP) outb(PIC2_COMMAND, PIC_EOI);
    outb(PIC1_COMMAND, PIC_EOI);
}

void irq_install(int vector, irq_handler handler) {
    KASSERT(vector >= 0 && vector < IDT_VECTORS);
    irq_handlers[vector] = handler;
}

void idt_init() {
    kmemset(idt, 0, sizeof(idt));
    for (int v = 0; v < IDT_VECTORS; ++v) {
        const uint64_t stub = isr_stub_table[v];
        idt_gate& gate = idt[v];
        gate.offset_low = static_cast<uint16_t>(stub);
        gate.selector = CODE64_SEL;
        gate.attributes = GATE_ATTRIBUTES;
        gate.offset_mid = static_cast<uint16_t>(stub >> 16);
        gate.offset_high = static_cast<uint32_t>(stub >> 32);
        gate.reserved = 0;
    }
    ist_install();
    idtr_reg.limit = sizeof(idt) - 1;
    idtr_reg.base = reinterpret_cast<uint64_t>(idt);
    idt_load(&idtr_reg);
}

extern "C" void isr_dispatch(interrupt_frame* frame) {
    const uint64_t vector = frame->vector;
    // The stubs only push 0-255; a larger value is not a vector and must not
    // index the table.
    if (vector >= static_cast<uint64_t>(IDT_VECTORS)) return;

    const irq_handler handler = irq_handlers[vector];
    if (handler != nullptr) {
        handler(frame);
    } else if (vector < static_cast<uint64_t>(EXCEPTION_VECTORS)) {
        report_exception(frame);
    }
    if (is_pic_vector(vector)) pic_send_eoi(static_cast<int>(vector - IRQ_BASE_VECTOR));
}
