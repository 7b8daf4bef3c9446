#include "fake_bus.h"

#include <cstdint>

namespace {
struct binding {
    port_device* device;
    uint16_t first;
    uint16_t count;
};
std::vector<binding> g_bindings;
std::vector<port_access> g_log;
uint8_t g_unclaimed = 0xFF;

port_device* find(uint16_t port) {
    for (auto it = g_bindings.rbegin(); it != g_bindings.rend(); ++it)
        if (port >= it->first && port < it->first + it->count) return it->device;
    return nullptr;
}
}  // namespace

namespace fake_bus {
void reset() {
    g_bindings.clear();
    g_log.clear();
    g_unclaimed = 0xFF;
}
void attach(port_device* device, uint16_t first, uint16_t count) { g_bindings.push_back({device, first, count}); }
const std::vector<port_access>& log() { return g_log; }
void clear_log() { g_log.clear(); }
std::vector<uint16_t> writes_to(uint16_t port) {
    std::vector<uint16_t> out;
    for (const auto& a : g_log)
        if (a.write && a.port == port) out.push_back(a.value);
    return out;
}
void set_unclaimed_value(uint8_t value) { g_unclaimed = value; }
}  // namespace fake_bus

extern "C" {
void outb(uint16_t port, uint8_t value) {
    g_log.push_back({true, 8, port, value});
    if (auto* d = find(port)) d->out8(port, value);
}
uint8_t inb(uint16_t port) {
    auto* d = find(port);
    const uint8_t v = d ? d->in8(port) : g_unclaimed;
    g_log.push_back({false, 8, port, v});
    return v;
}
void outw(uint16_t port, uint16_t value) {
    g_log.push_back({true, 16, port, value});
    if (auto* d = find(port)) d->out16(port, value);
}
uint16_t inw(uint16_t port) {
    auto* d = find(port);
    const uint16_t v = d ? d->in16(port) : static_cast<uint16_t>(g_unclaimed * 0x101);
    g_log.push_back({false, 16, port, v});
    return v;
}
}

// ---------------------------------------------------------------- UART model
namespace {
constexpr int DATA = 0, IER = 1, LCR = 3, LSR = 5;
constexpr uint8_t LCR_DLAB = 0x80;
}  // namespace

uint8_t uart_model::in8(uint16_t port) {
    const int off = port - base_;
    if (off == LSR) {
        if (!late_.empty() && --late_polls_ <= 0) {
            feed(late_);
            late_.clear();
        }
        uint8_t lsr = 0;
        if (!rx_.empty()) lsr |= 0x01;
        if (busy_left_ > 0)
            --busy_left_;
        else
            lsr |= 0x60;  // transmit holding register and transmitter empty
        return lsr;
    }
    if (off == DATA && !(regs_[LCR] & LCR_DLAB)) {
        if (rx_.empty()) return 0;
        const uint8_t v = rx_.front();
        rx_.pop_front();
        return v;
    }
    return regs_[off];
}

void uart_model::out8(uint16_t port, uint8_t value) {
    const int off = port - base_;
    if (regs_[LCR] & LCR_DLAB) {
        if (off == DATA) { divisor_ = static_cast<uint16_t>((divisor_ & 0xFF00) | value); return; }
        if (off == IER) { divisor_ = static_cast<uint16_t>((divisor_ & 0x00FF) | (value << 8)); return; }
    }
    if (off == DATA) {
        if (busy_left_ > 0) ++overruns_;
        tx_.push_back(static_cast<char>(value));
        busy_left_ = busy_polls_;
        return;
    }
    regs_[off] = value;
}
