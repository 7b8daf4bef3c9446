// Device models behind the interrupt path: the 8259A pair and the 8042 keyboard
// controller. Each follows the protocol a driver must speak, so a driver that
// skips or reorders a step leaves a model in the wrong state.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "fake_bus.h"

// The cascaded 8259A pair on 0x20/0x21 and 0xA0/0xA1. Lines are raised with
// raise(); an unmasked, requested line whose priority is not already in service
// is delivered to `deliver` (with its vector) while the fake processor has
// interrupts enabled, as the processor would take it. Deliveries do not nest:
// the processor enters every gate with interrupts off.
class pic_model : public port_device {
public:
    struct chip {
        int init_step = 0;  // 0 ready; 2, 3, 4 = the initialisation word expected next
        uint8_t icw1 = 0;
        uint8_t vector_base = 0;
        uint8_t imr = 0xFF;
        uint8_t irr = 0;
        uint8_t isr = 0;
        int inits = 0;  // completed initialisation sequences
    };

    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;
    // Claims 0x20-0x21 and 0xA0-0xA1; deliveries go to the kernel's dispatcher.
    void attach();

    // Raises line 0-15 (an edge: it stays requested until delivered).
    void raise(int line);

    const chip& master() const { return chips_[0]; }
    const chip& slave() const { return chips_[1]; }
    chip& master() { return chips_[0]; }
    chip& slave() { return chips_[1]; }
    // "master EOI" / "slave EOI" in the order the commands arrived.
    const std::vector<std::string>& eois() const { return eois_; }
    void clear_eois() { eois_.clear(); }

    std::function<void(int vector)> deliver;

private:
    chip chips_[2];
    std::vector<std::string> eois_;
    bool delivering_ = false;

    void command(int which, uint8_t value);
    void data(int which, uint8_t value);
    void try_deliver();
    int next_line() const;  // highest-priority deliverable line, or -1
};

// The 8042 as the keyboard driver sees it: data 0x60, status 0x64 (bit 0 =
// output buffer full). A read of 0x60 with nothing queued returns the last byte
// again, as the real latch does.
class ps2_model : public port_device {
public:
    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;

    void attach();  // claims 0x60 and 0x64
    void push(uint8_t byte) { queue_.push_back(byte); }
    size_t pending() const { return queue_.size(); }
    int data_reads() const { return data_reads_; }
    int writes() const { return writes_; }

    // A controller whose status never clears (or a floating bus). Reading the
    // status more than `limit` times throws, turning a hang into a failure.
    bool stuck_full = false;
    int status_read_limit = 100000;

private:
    std::deque<uint8_t> queue_;
    uint8_t last_ = 0;
    int data_reads_ = 0;
    int status_reads_ = 0;
    int writes_ = 0;
};
