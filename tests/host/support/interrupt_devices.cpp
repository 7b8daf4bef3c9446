#include "interrupt_devices.h"

#include <stdexcept>

#include "fake_cpu.h"
#include "idt.h"

// ---------------------------------------------------------------- 8259A pair
namespace {
constexpr uint16_t MASTER_COMMAND = 0x20, MASTER_DATA = 0x21;
constexpr uint16_t SLAVE_COMMAND = 0xA0, SLAVE_DATA = 0xA1;
constexpr uint8_t ICW1_BIT = 0x10, ICW1_SINGLE = 0x02, ICW1_NEEDS_ICW4 = 0x01;
constexpr uint8_t OCW3_BIT = 0x08;
constexpr uint8_t EOI_HIGHEST_IN_SERVICE = 0x20;
constexpr int CASCADE_LINE = 2;

int lowest_bit(uint8_t bits) {
    for (int i = 0; i < 8; ++i)
        if (bits & (1u << i)) return i;
    return -1;
}
}  // namespace

void pic_model::attach() {
    fake_bus::attach(this, MASTER_COMMAND, 2);
    fake_bus::attach(this, SLAVE_COMMAND, 2);
    deliver = [](int vector) {
        interrupt_frame f{};
        f.vector = static_cast<uint64_t>(vector);
        isr_dispatch(&f);
    };
}

uint8_t pic_model::in8(uint16_t port) {
    if (port == MASTER_DATA) return chips_[0].imr;
    if (port == SLAVE_DATA) return chips_[1].imr;
    return 0;  // the status reads (IRR/ISR through OCW3) are not used by the kernel
}

void pic_model::out8(uint16_t port, uint8_t value) {
    switch (port) {
    case MASTER_COMMAND: command(0, value); break;
    case MASTER_DATA: data(0, value); break;
    case SLAVE_COMMAND: command(1, value); break;
    case SLAVE_DATA: data(1, value); break;
    default: break;
    }
    try_deliver();
}

void pic_model::command(int which, uint8_t value) {
    chip& c = chips_[which];
    const char* name = which == 0 ? "master" : "slave";
    if (value & ICW1_BIT) {
        const int inits = c.inits;
        c = chip{};
        c.inits = inits;
        c.icw1 = value;
        c.imr = 0;  // initialisation clears the mask register
        c.init_step = 2;
        return;
    }
    if (value & OCW3_BIT) return;
    if (value == EOI_HIGHEST_IN_SERVICE) {
        const int bit = lowest_bit(c.isr);
        if (bit >= 0) c.isr = static_cast<uint8_t>(c.isr & ~(1u << bit));
        eois_.push_back(std::string(name) + " EOI");
        return;
    }
    eois_.push_back(std::string(name) + " OCW2 " + std::to_string(value));
}

void pic_model::data(int which, uint8_t value) {
    chip& c = chips_[which];
    const bool needs_icw4 = (c.icw1 & ICW1_NEEDS_ICW4) != 0;
    switch (c.init_step) {
    case 2:
        c.vector_base = static_cast<uint8_t>(value & 0xF8);
        c.init_step = (c.icw1 & ICW1_SINGLE) ? (needs_icw4 ? 4 : 0) : 3;
        break;
    case 3:  // the cascade wiring
        c.init_step = needs_icw4 ? 4 : 0;
        break;
    case 4:
        c.init_step = 0;
        break;
    default:
        c.imr = value;
        return;
    }
    if (c.init_step == 0) ++c.inits;
}

void pic_model::raise(int line) {
    if (line < 8)
        chips_[0].irr = static_cast<uint8_t>(chips_[0].irr | (1u << line));
    else
        chips_[1].irr = static_cast<uint8_t>(chips_[1].irr | (1u << (line - 8)));
    try_deliver();
}

int pic_model::next_line() const {
    const chip& m = chips_[0];
    const chip& s = chips_[1];
    for (int i = 0; i < 8; ++i) {
        if (m.isr & (1u << i)) return -1;  // this and everything below it waits
        if (m.imr & (1u << i)) continue;
        if (i == CASCADE_LINE) {
            for (int j = 0; j < 8; ++j) {
                if (s.isr & (1u << j)) break;
                if (!(s.imr & (1u << j)) && (s.irr & (1u << j))) return 8 + j;
            }
            continue;
        }
        if (m.irr & (1u << i)) return i;
    }
    return -1;
}

void pic_model::try_deliver() {
    if (delivering_ || !deliver) return;
    delivering_ = true;
    while (fake_cpu::interrupts_enabled()) {
        const int line = next_line();
        if (line < 0) break;
        chip& m = chips_[0];
        chip& s = chips_[1];
        int vector;
        if (line < 8) {
            m.irr = static_cast<uint8_t>(m.irr & ~(1u << line));
            m.isr = static_cast<uint8_t>(m.isr | (1u << line));
            vector = m.vector_base + line;
        } else {
            const int j = line - 8;
            s.irr = static_cast<uint8_t>(s.irr & ~(1u << j));
            s.isr = static_cast<uint8_t>(s.isr | (1u << j));
            m.isr = static_cast<uint8_t>(m.isr | (1u << CASCADE_LINE));
            vector = s.vector_base + j;
        }
        deliver(vector);
    }
    delivering_ = false;
}

// ---------------------------------------------------------------- 8042
namespace {
constexpr uint16_t PS2_DATA = 0x60, PS2_STATUS = 0x64;
}

void ps2_model::attach() {
    fake_bus::attach(this, PS2_DATA, 1);
    fake_bus::attach(this, PS2_STATUS, 1);
}

uint8_t ps2_model::in8(uint16_t port) {
    if (port == PS2_STATUS) {
        if (++status_reads_ > status_read_limit)
            throw std::runtime_error("the status port was polled without end");
        return (stuck_full || !queue_.empty()) ? 0x01 : 0x00;
    }
    if (port == PS2_DATA) {
        ++data_reads_;
        if (!queue_.empty()) {
            last_ = queue_.front();
            queue_.pop_front();
        }
        return last_;
    }
    return 0xFF;
}

void ps2_model::out8(uint16_t, uint8_t) { ++writes_; }
