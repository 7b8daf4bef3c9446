// Start-up, the COM1 console and kprintf.
//
// kernel_main_64 brings the machine up in a fixed order and reports each step on
// COM1; nothing it calls is checked, because every module reports its own failure
// and start-up carries on. The console's output is polled and unbuffered: every
// byte has reached the UART before the call that wrote it returns. Its input
// arrives by interrupt into a ring the shell reads.
#include "main.h"

#include "ata.h"
#include "clock.h"
#include "cpu.h"
#include "format.h"
#include "idt.h"
#include "io.h"
#include "heap.h"
#include "keyboard.h"
#include "layout.h"
#include "pmm.h"
#include "shell.h"
#include "syscall.h"
#include "timer.h"
#include "vga.h"

namespace {

// UART registers, as offsets from COM1.
constexpr uint16_t UART_DATA = 0;
constexpr uint16_t UART_IER = 1;
constexpr uint16_t UART_DIVISOR_HIGH = 1;
constexpr uint16_t UART_FCR = 2;
constexpr uint16_t UART_LCR = 3;
constexpr uint16_t UART_MCR = 4;
constexpr uint16_t UART_LSR = 5;

constexpr uint8_t LCR_DLAB = 0x80;
constexpr uint8_t LCR_8N1 = 0x03;
constexpr uint8_t DIVISOR_38400 = 3;  // 115200 / 3
constexpr uint8_t FCR_ENABLE_CLEAR_14 = 0xC7;
constexpr uint8_t MCR_DTR_RTS_OUT2 = 0x0B;
constexpr uint8_t MCR_DTR_OUT2 = 0x09;  // RTS dropped: the sender is asked to pause
constexpr uint8_t LSR_DATA_READY = 0x01;
constexpr uint8_t LSR_THR_EMPTY = 0x20;
constexpr uint8_t IER_NONE = 0x00;
constexpr uint8_t IER_RX_AVAILABLE = 0x01;  // data available, and the FIFO's timeout
// A FIFO holds 16 bytes; a missing UART reads 0xFF (data ready for ever) and
// must not hold the handler or start-up.
constexpr int RX_DRAIN_LIMIT = 256;
constexpr int RX_RING_SIZE = 256;

}  // namespace

// The receive ring, shaped like the keyboard's: the interrupt handler is the
// only writer of the head and its slot (character stored first), the shell the
// only writer of the tail; one slot stays empty.
static volatile char serial_rx_buf[RX_RING_SIZE];
static volatile int32_t serial_rx_head;
static volatile int32_t serial_rx_tail;
// Set while the ring is full and input waits in the UART: its interrupt is off
// and RTS down, so a sender that honours RTS (and QEMU, once the FIFO is full)
// holds back instead of having bytes dropped. Written with interrupts off only.
static volatile bool serial_rx_held;

namespace {

// Moves what the UART holds into the ring; with the ring full, leaves the rest
// in the UART and holds further input back. Runs with interrupts off.
void serial_rx_drain() {
    if (serial_rx_held) return;
    for (int i = 0; i < RX_DRAIN_LIMIT; ++i) {
        const int32_t head = serial_rx_head;
        const int32_t next = (head + 1) % RX_RING_SIZE;
        if (next == serial_rx_tail) {
            serial_rx_held = true;
            outb(COM1 + UART_IER, IER_NONE);
            outb(COM1 + UART_MCR, MCR_DTR_OUT2);
            return;
        }
        if ((inb(COM1 + UART_LSR) & LSR_DATA_READY) == 0) return;
        serial_rx_buf[head] = static_cast<char>(inb(COM1 + UART_DATA));
        serial_rx_head = next;
    }
}

void serial_isr(interrupt_frame*) { serial_rx_drain(); }

}  // namespace

void serial_init() {
    outb(COM1 + UART_IER, IER_NONE);
    outb(COM1 + UART_LCR, LCR_DLAB);
    outb(COM1 + UART_DATA, DIVISOR_38400);
    outb(COM1 + UART_DIVISOR_HIGH, 0x00);
    outb(COM1 + UART_LCR, LCR_8N1);
    outb(COM1 + UART_FCR, FCR_ENABLE_CLEAR_14);
    outb(COM1 + UART_MCR, MCR_DTR_RTS_OUT2);
}

void serial_putc(char c) {
    while ((inb(COM1 + UART_LSR) & LSR_THR_EMPTY) == 0) {
    }
    outb(COM1 + UART_DATA, static_cast<uint8_t>(c));
}

void serial_puts(const char* s) {
    while (*s != '\0') serial_putc(*s++);
}

// Input arrives by interrupt, so that a burst faster than the shell reads is
// kept in the ring instead of overflowing the UART's FIFO while the shell
// halts. The handler comes first and what already waits is taken in before the
// UART may raise the line: a line already high when the controller is opened
// would never give the edge the 8259 waits for.
void serial_rx_init() {
    serial_rx_head = 0;
    serial_rx_tail = 0;
    serial_rx_held = false;
    irq_install(IRQ_BASE_VECTOR + IRQ_COM1, serial_isr);
    cpu_disable_interrupts();
    serial_rx_drain();
    outb(COM1 + UART_IER, IER_RX_AVAILABLE);
    cpu_enable_interrupts();
    pic_unmask_irq(IRQ_COM1);
}

int serial_poll() { return serial_rx_head != serial_rx_tail ? 1 : 0; }

// Called with interrupts off (the shell's input loop). Once half the ring is free
// again, held input is let in: turning the UART's interrupt back on raises its
// line anew while bytes wait, which gives the 8259 its edge.
int serial_getc() {
    const int32_t tail = serial_rx_tail;
    if (serial_rx_head == tail) return -1;
    const int c = static_cast<unsigned char>(serial_rx_buf[tail]);
    serial_rx_tail = (tail + 1) % RX_RING_SIZE;
    const int32_t used = (serial_rx_head - serial_rx_tail + RX_RING_SIZE) % RX_RING_SIZE;
    if (serial_rx_held && used < RX_RING_SIZE / 2) {
        serial_rx_held = false;
        outb(COM1 + UART_MCR, MCR_DTR_RTS_OUT2);
        outb(COM1 + UART_IER, IER_RX_AVAILABLE);
    }
    return c;
}

void kprint_hex(uint64_t value) {
    serial_puts("0x");
    format_number(serial_putc, value, 16, 16);
}

// Text that comes from outside (a disk's file names and label, a drive's
// identity) may hold terminal control sequences; every control byte and DEL is
// shown as \xNN instead, so such text can neither drive the operator's terminal
// nor forge lines of the kernel's own. Bytes from 0x80 up (UTF-8) pass as they are.
void kprint_escaped(const char* s, size_t n) {
    constexpr unsigned char FIRST_PRINTABLE = 0x20;
    constexpr unsigned char DEL = 0x7F;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= FIRST_PRINTABLE && c != DEL) {
            serial_putc(static_cast<char>(c));
            continue;
        }
        serial_puts("\\x");
        format_number(serial_putc, c, 16, 2);
    }
}

void kprint_dec(uint64_t value) { format_number(serial_putc, value, 10); }

// The serial console's %x is as short as the value allows, and its strings take
// a precision, for names that end at a length rather than at a zero byte.
void kprintf_args(const char* fmt, const uint64_t* args, size_t count) {
    static constexpr format_sink SERIAL = {serial_putc, "", 1, true};
    format_args(SERIAL, fmt, args, count);
}

size_t kstrlen(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

size_t kstrnlen(const char* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    return n;
}

int kstrcmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int kstrncmp(const char* a, const char* b, size_t n) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i] || x[i] == 0) return static_cast<int>(x[i]) - static_cast<int>(y[i]);
    }
    return 0;
}

void* kmemset(void* dst, int value, size_t n) {
    auto* d = static_cast<volatile unsigned char*>(dst);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(value);
    return dst;
}

void* kmemcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<volatile unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dst;
}

// The compiler may emit calls to these for structure copies and clears, even in
// freestanding code; they are the kernel's own routines under the usual names.
#ifndef TARVELIN_HOST
extern "C" void* memset(void* dst, int value, size_t n) { return kmemset(dst, value, n); }
extern "C" void* memcpy(void* dst, const void* src, size_t n) { return kmemcpy(dst, src, n); }
#endif

namespace {

constexpr uint32_t CPUID_VENDOR = 0;
constexpr uint32_t CPUID_FEATURES = 1;
constexpr uint32_t CPUID_EXT_FEATURES = 0x80000001;

void report_cpu() {
    const cpuid_regs leaf0 = cpu_cpuid(CPUID_VENDOR);
    char vendor[13];
    const uint32_t parts[3] = {leaf0.ebx, leaf0.edx, leaf0.ecx};
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b) vendor[i * 4 + b] = static_cast<char>(parts[i] >> (8 * b));
    vendor[12] = '\0';
    kprintf("  CPU Vendor:     %s\n", vendor);

    const cpuid_regs leaf1 = cpu_cpuid(CPUID_FEATURES);
    kprintf("  Family/Model:   %d/%d Stepping %d\n", (leaf1.eax >> 8) & 0xF, (leaf1.eax >> 4) & 0xF,
            leaf1.eax & 0xF);

    struct feature {
        uint32_t bit;
        const char* name;
    };
    static constexpr feature EDX_FEATURES[] = {
        {4, "TSC "}, {8, "CX8 "}, {23, "MMX "}, {25, "SSE "}, {26, "SSE2 "}};
    kprintf("  Features:       ");
    for (const feature& f : EDX_FEATURES)
        if (leaf1.edx & (1u << f.bit)) kprintf(f.name);
    constexpr uint32_t EXT_LONG_MODE_BIT = 29;
    if (cpu_cpuid(CPUID_EXT_FEATURES).edx & (1u << EXT_LONG_MODE_BIT)) kprintf("LM ");
    kprintf("\n");

    const uint64_t cr0 = cpu_read_cr0();
    const uint64_t cr3 = cpu_read_cr3();
    const uint64_t cr4 = cpu_read_cr4();
    kprintf("  RSP:            %x\n", cpu_read_rsp());
    kprintf("  CR0:            %x (PE=%d PG=%d)\n", cr0, cr0 & 1, (cr0 >> 31) & 1);
    kprintf("  CR3 (PML4):     %x\n", cr3);
    kprintf("  CR4:            %x (PAE=%d)\n", cr4, (cr4 >> 5) & 1);
}

}  // namespace

extern "C" [[noreturn]] void kernel_main_64(uint64_t info, uint64_t magic) {
    serial_init();

    kprintf("\n========================================\n");
    kprintf("  Tarvelin \xE2\x80\x94 x86-64 Kernel\n");
    kprintf("  Built from NT source code analysis\n");
    kprintf("========================================\n\n");

    if (magic == MB2_BOOTLOADER_MAGIC)
        kprintf("  [OK] Multiboot2 verified\n");
    else
        kprintf("  [WARN] Multiboot magic: %x\n", magic);

    report_cpu();

    // Every line stays masked until its own driver has installed a handler.
    pic_remap(IRQ_BASE_VECTOR, IRQ_SLAVE_VECTOR);
    kprintf("  [OK] PIC remapped (IRQs 0x20-0x2F)\n");
    idt_init();
    kprintf("  [OK] IDT initialized (256 vectors, 64-bit)\n");
    cpu_enable_interrupts();
    kprintf("  [OK] Interrupts enabled\n");
    timer_init(TIMER_HZ);
    clock_init();
    kprintf("  [OK] PIT timer at 100 Hz\n");
    keyboard_init();
    kprintf("  [OK] PS/2 keyboard initialized\n");
    serial_rx_init();

    pmm_init(info);
    heap_init();
    syscall_init();
    kprintf("  [OK] SYSCALL interface (STAR/LSTAR MSRs)\n");

    vga_init();
    vga_clear();
    vga_puts("Tarvelin VGA active.\n");
    kprintf("  [OK] VGA text mode (80x25)\n");

    ata_init();

    kprintf("\n  Kernel at 0x100000, end at %x\n", kernel_end_addr());
    kprintf("  PML4 at ");
    kprint_hex(cpu_read_cr3());
    kprintf("\n\n");

    shell_init();
    shell_run();

    // The shell never returns; should it ever, the machine stops here.
    kprintf("\n  System halted.\n");
    cpu_halt_forever();
}
