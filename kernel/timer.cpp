// Channel 0 of the 8254 interval timer: the two counters its interrupt keeps,
// and its count read as it runs, the reference the clock is calibrated against.
//
// The interrupt handler is the only writer of timer_ticks and timer_seconds; the
// shell reads them between interrupts. Both live in memory as volatile 64-bit
// words, so every access is one aligned load or store that a single processor
// cannot see half done, and no reader keeps a stale copy in a register.
#include "timer.h"

#include "idt.h"
#include "io.h"
#include "kassert.h"

namespace {

constexpr uint32_t PIT_MIN_HZ = PIT_INPUT_HZ / 0xFFFF + 1;  // 19: the divisor fits 16 bits
constexpr uint16_t PIT_CHANNEL0_DATA = 0x40;
constexpr uint16_t PIT_COMMAND = 0x43;
// Channel 0, low byte then high byte, mode 2 (rate generator), binary counting.
constexpr uint8_t PIT_CH0_LOHI_RATE_BINARY = 0x34;
// Channel 0, counter latch: the next two reads give the count of this moment,
// low byte first, however far it has run on meanwhile.
constexpr uint8_t PIT_CH0_LATCH = 0x00;
// Seconds follow ticks at this fixed ratio, whatever rate timer_init was given.
constexpr uint64_t TICKS_PER_SECOND = 100;

}  // namespace

// Plain file-level names (not in an unnamed namespace) so that the symbol table
// shows them as they are called, for a debugger or a memory read from outside.
static volatile uint64_t timer_ticks;
static volatile uint64_t timer_seconds;
static uint32_t timer_reload;

// The divisor must be neither 0 nor wider than 16 bits.
void timer_init(uint32_t freq) {
    KASSERT(freq >= PIT_MIN_HZ && freq <= PIT_INPUT_HZ);
    const uint32_t divisor = PIT_INPUT_HZ / freq;
    timer_reload = divisor;
    outb(PIT_COMMAND, PIT_CH0_LOHI_RATE_BINARY);
    outb(PIT_CHANNEL0_DATA, static_cast<uint8_t>(divisor & 0xFF));
    outb(PIT_CHANNEL0_DATA, static_cast<uint8_t>((divisor >> 8) & 0xFF));
    irq_install(IRQ_BASE_VECTOR + IRQ_TIMER, timer_isr);
    pic_unmask_irq(IRQ_TIMER);
}

void timer_isr(interrupt_frame* frame) {
    (void)frame;
    timer_ticks = timer_ticks + 1;
    if (timer_ticks % TICKS_PER_SECOND == 0) timer_seconds = timer_seconds + 1;
}

uint64_t timer_get_ticks() { return timer_ticks; }

uint64_t timer_get_seconds() { return timer_seconds; }

uint32_t timer_read_count() {
    outb(PIT_COMMAND, PIT_CH0_LATCH);
    const uint8_t low = inb(PIT_CHANNEL0_DATA);
    return low | static_cast<uint32_t>(inb(PIT_CHANNEL0_DATA)) << 8;
}

uint32_t timer_divisor() { return timer_reload; }
