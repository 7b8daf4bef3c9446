// A fake I/O bus for host tests: the kernel's outb/inb/outw/inw land here, are
// recorded in order, and are answered by whichever device model claims the port.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

struct port_access {
    bool write;
    int width;  // 8 or 16
    uint16_t port;
    uint16_t value;
    bool operator==(const port_access&) const = default;
};

class port_device {
public:
    virtual ~port_device() = default;
    virtual uint8_t in8(uint16_t port) = 0;
    virtual void out8(uint16_t port, uint8_t value) = 0;
    virtual uint16_t in16(uint16_t port) { return in8(port); }
    virtual void out16(uint16_t port, uint16_t value) { out8(port, static_cast<uint8_t>(value)); }
};

namespace fake_bus {
// Clears the log and detaches every device.
void reset();
// Attaches a device to the ports [first, first + count).
void attach(port_device* device, uint16_t first, uint16_t count);
const std::vector<port_access>& log();
void clear_log();
// Only the writes (8- and 16-bit) to one port, in order.
std::vector<uint16_t> writes_to(uint16_t port);
// What an unclaimed port reads as (floating bus: 0xFF by default).
void set_unclaimed_value(uint8_t value);
}  // namespace fake_bus

// Model of a 16550 UART. After each transmitted byte the transmit-holding-empty
// bit stays clear for `busy_polls` reads of the line status register; a byte
// written before it is set again counts as an overrun, so a driver that skips
// the wait is caught.
class uart_model : public port_device {
public:
    explicit uart_model(uint16_t base = 0x3F8, int busy_polls = 3) : base_(base), busy_polls_(busy_polls) {}
    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;

    void feed(const std::string& bytes) { for (char c : bytes) rx_.push_back(static_cast<uint8_t>(c)); }
    // Bytes that reach the receive FIFO only after `polls` more line-status
    // reads, as the rest of a burst does once a real FIFO has been drained.
    void feed_after_polls(const std::string& bytes, int polls) {
        late_ = bytes;
        late_polls_ = polls;
    }
    std::string take_output() { std::string s; s.swap(tx_); return s; }
    const std::string& output() const { return tx_; }
    int overruns() const { return overruns_; }
    uint16_t divisor() const { return divisor_; }
    size_t pending_input() const { return rx_.size(); }

private:
    uint16_t base_;
    int busy_polls_;
    int busy_left_ = 0;
    int overruns_ = 0;
    uint16_t divisor_ = 0;
    uint8_t regs_[8] = {};
    std::string tx_;
    std::deque<uint8_t> rx_;
    std::string late_;
    int late_polls_ = 0;
};
