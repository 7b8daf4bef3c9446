// Protocol facts an emulator forgives, checked on the recorded port accesses.
#include <gtest/gtest.h>

#include "ata.h"
#include "host.h"
#include "idt.h"
#include "keyboard.h"
#include "main.h"
#include "timer.h"

using host::port_io;
constexpr uint16_t LSR = 0x3FD;

TEST(ports, uart_waits_for_an_empty_transmitter_before_every_byte) {
    host::reset();
    host::script[LSR] = {0x00, 0x1F, 0x20, 0xDF, 0x60};  // bit 5 is the one that counts
    serial_puts("ab");
    EXPECT_EQ(host::ports, (std::vector<port_io>{{LSR, 0x00, false}, {LSR, 0x1F, false}, {LSR, 0x20, false},
                                                {0x3F8, 'a', true}, {LSR, 0xDF, false}, {LSR, 0x60, false},
                                                {0x3F8, 'b', true}}));
}

TEST(ports, pit_gets_the_mode_then_the_divisor_low_byte_first) {
    for (auto [hz, low, high] : {std::tuple{100, 0x9B, 0x2E}, {1000, 0xA9, 0x04}, {19, 0x4F, 0xF5}}) {
        host::reset();
        timer_init(hz);
        EXPECT_EQ(host::accesses_to({0x40, 0x43}),
                  (std::vector<port_io>{{0x43, 0x34, true}, {0x40, uint16_t(low), true}, {0x40, uint16_t(high), true}}))
            << hz << " Hz";
    }
}

TEST(ports, a_line_is_acknowledged_after_its_handler_slave_first_claimed_or_not) {
    static int calls;
    irq_install(0x21, [](interrupt_frame*) {
        ++calls;
        EXPECT_TRUE(host::ports.empty());
    });
    const std::vector<port_io> master = {{0x20, 0x20, true}}, both = {{0xA0, 0x20, true}, {0x20, 0x20, true}};
    for (auto [vector, acks] : {std::pair{0x20ull, master}, {0x21ull, master}, {0x27ull, master}, {0x28ull, both},
                                {0x2Full, both}, {0x30ull, {}}, {0x80ull, {}}}) {
        host::reset();
        interrupt_frame frame{};
        frame.vector = vector;
        isr_dispatch(&frame);
        EXPECT_EQ(host::accesses_to({0x20, 0xA0}), acks) << "vector " << vector;
    }
    EXPECT_EQ(calls, 1);
}

TEST(ports, a_full_key_ring_refuses_new_keys) {
    host::reset();
    host::fallback[0x64] = 0;  // nothing waiting at start-up
    keyboard_init();
    const uint8_t codes[] = {0x1E, 0x30, 0x2E, 0x9E, 0xE0};  // a b c, a release, a prefix
    for (int i = 0; i < 450; ++i) host::script[0x60].push_back(codes[i % 5]);
    for (int i = 0; i < 450; ++i) keyboard_isr(nullptr);
    std::string got;
    for (int c; (c = keyboard_getchar()) >= 0;) got += static_cast<char>(c);
    std::string want;
    for (int i = 0; want.size() < 255; ++i) want += "abc"[i % 3];
    EXPECT_EQ(got, want);
    host::script[0x60] = {0x2C};
    keyboard_isr(nullptr);
    EXPECT_EQ(keyboard_getchar(), 'z');
}

TEST(ports, an_ata_drive_stuck_busy_is_given_up_on) {
    host::reset();
    host::fallback[0x1F7] = 0x80;
    ata_init();
    EXPECT_EQ(ata_is_present(), 0);
    // Identified, then busy for good.
    host::reset();
    host::script[0x1F7] = {0x50, 0x50, 0x58, 0x58, 0x58};
    host::fallback = {{0x1F7, 0x80}, {0x1F4, 0}, {0x1F5, 0}};
    ata_init();
    ASSERT_EQ(ata_is_present(), 1);
    uint8_t sector[512];
    EXPECT_EQ(ata_read_sectors(0, 1, sector), -1);
    EXPECT_NE(host::serial().find("[ata] Timeout waiting for BSY to clear (status=0x80)\n"), std::string::npos);
}
