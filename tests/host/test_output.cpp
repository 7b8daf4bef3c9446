// What reaches the ports: protocol facts an emulator forgives, checked on the recorded
// accesses; the uptime the timer counts; the date the CMOS clock's encodings give; and the three formatters (kprintf to COM1,
// vga_printf to the screen's first row, the user runtime's printf through its writes).
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "ata.h"
#include "clock.h"
#include "host.h"
#include "idt.h"
#include "keyboard.h"
#include "main.h"
#include "timer.h"
#include "vga.h"

using host::port_io;
using ios = std::vector<port_io>;
constexpr uint16_t LSR = 0x3FD;

TEST(ports, uart_waits_for_an_empty_transmitter_before_every_byte) {
    host::reset();
    host::script[LSR] = {0x00, 0x1F, 0x20, 0xDF, 0x60};  // bit 5 is the one that counts
    serial_puts("ab");
    EXPECT_EQ(host::ports, (ios{{LSR, 0x00, false}, {LSR, 0x1F, false}, {LSR, 0x20, false}, {0x3F8, 'a', true},
                                {LSR, 0xDF, false}, {LSR, 0x60, false}, {0x3F8, 'b', true}}));
}

// Bytes arrive in FIFO loads of up to 16, one interrupt each, while nothing reads the ring.
// 200 come out in order. Of 300, 255 fill the ring and the rest wait in the UART, its
// interrupt off and RTS down, until the shell has read half the ring: then it is let in.
TEST(ports, serial_input_is_taken_at_interrupt_time_in_order) {
    host::reset();
    host::fallback[LSR] = 0x20;
    serial_rx_init();
    host::ports.clear();
    const auto interrupt = [] { interrupt_frame frame{}; frame.vector = 0x24; isr_dispatch(&frame); };
    for (int count : {200, 300}) {
        std::string sent, got;
        for (int i = 0; i < count; ++i) {
            sent += char(i * 7);  // every byte value, 0 and 0x80 up among them
            host::script[LSR].push_back(0x21), host::script[0x3F8].push_back(sent.back());
            if (i % 16 == 15 || i == count - 1) interrupt();
        }
        const ios held = count > 255 ? ios{{0x3F9, 0, true}, {0x3FC, 0x09, true}} : ios{};
        EXPECT_EQ(host::accesses_to({0x3F9, 0x3FC}), held) << count;
        host::ports.clear();
        for (int c; (c = serial_getc()) >= 0;) got += char(c);
        const ios resumed = count > 255 ? ios{{0x3FC, 0x0B, true}, {0x3F9, 0x01, true}} : ios{};
        EXPECT_EQ(host::accesses_to({0x3F9, 0x3FC}), resumed) << count;
        interrupt();
        for (int c; (c = serial_getc()) >= 0;) got += char(c);
        EXPECT_EQ(got, sent) << count;
    }
}

// QEMU wires the cascade itself; a real pair needs the slave on line 2 and the identity 2.
TEST(ports, the_pics_get_their_initialisation_words_in_order_and_end_masked) {
    host::reset();
    pic_remap(0x20, 0x28);
    EXPECT_EQ(host::accesses_to({0x20, 0x21, 0xA0, 0xA1}), (ios{{0x20, 0x11, true}, {0xA0, 0x11, true}, {0x21, 0x20, true},
        {0xA1, 0x28, true}, {0x21, 0x04, true}, {0xA1, 0x02, true}, {0x21, 0x01, true}, {0xA1, 0x01, true},
        {0x21, 0xFF, true}, {0xA1, 0xFF, true}}));
}

TEST(ports, a_line_is_acknowledged_after_its_handler_slave_first_claimed_or_not) {
    static int calls;
    irq_install(0x21, [](interrupt_frame*) { ++calls; EXPECT_TRUE(host::ports.empty()); });
    const ios master = {{0x20, 0x20, true}}, both = {{0xA0, 0x20, true}, {0x20, 0x20, true}};
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
    // a b c, a release, then an arrow (its prefix and the keypad-8 code): no character.
    const uint8_t codes[] = {0x1E, 0x30, 0x2E, 0x9E, 0xE0, 0x48};
    std::string got, want;
    for (int i = 0; i < 540; ++i) host::script[0x60].push_back(codes[i % 6]), keyboard_isr(nullptr);
    for (int c; (c = keyboard_getchar()) >= 0;) got += static_cast<char>(c);
    for (int i = 0; i < 255; ++i) want += "abc"[i % 3];
    EXPECT_EQ(got, want);
    // Print Screen (two prefixed codes) types nothing; keypad / and Enter keep their meaning.
    host::script[0x60] = {0xE0, 0x2A, 0xE0, 0x37, 0xE0, 0x35, 0xE0, 0x1C, 0x2C};
    for (int i = 0; i < 9; ++i) keyboard_isr(nullptr);
    got.clear();
    for (int c; (c = keyboard_getchar()) >= 0;) got += static_cast<char>(c);
    EXPECT_EQ(got, "/\nz");
}

// The uptime `ticks` shows: the timer runs at 100 Hz, so a second is every hundredth tick.
TEST(timer, a_second_is_every_hundredth_tick) {
    for (int i = 0; i < 1000; ++i) {
        timer_isr(nullptr);
        ASSERT_EQ(timer_get_seconds(), timer_get_ticks() / 100) << timer_get_ticks() << " ticks";
    }
}

// QEMU's CMOS clock is BCD, 24-hour, with a century register; a real one may be none of these.
TEST(clock, every_cmos_encoding_gives_seconds_since_1970) {
    const std::pair<rtc_registers, int64_t> cases[] = {
        {{0x30, 0x45, 0x13, 0x29, 0x02, 0x24, 0x20, 0x02}, 1709214330},  // BCD: 2024-02-29 13:45:30
        {{9, 5, 0x80 | 11, 4, 7, 40, 20, 0x04}, 2225055909},            // binary, 12-hour: 2040-07-04 11:05:09 PM
        {{0x59, 0x59, 0x12, 0x31, 0x12, 0x31, 0xFF, 0x00}, 1956445199},  // 12 AM, no century: 2031-12-31 00:59:59
        {{0x00, 0x00, 0x00, 0x31, 0x13, 0x24, 0x20, 0x02}, -1},          // month 13
    };
    for (const auto& [registers, seconds] : cases) EXPECT_EQ(rtc_to_unix(registers), seconds);
}

// A kernel caller that breaks a rule stops the kernel with the rule's place; host builds abort.
TEST(kassert, a_broken_rule_stops_with_its_place) {
    EXPECT_DEATH(irq_install(256, nullptr), "idt.cpp:[0-9]+: vector >= 0 && vector < IDT_VECTORS");
    EXPECT_DEATH(timer_init(18), "timer.cpp:[0-9]+: freq >= PIT_MIN_HZ");
}

TEST(ports, an_ata_drive_stuck_busy_is_given_up_on) {
    host::reset();
    host::fallback[0x1F7] = 0x80;
    ata_init();
    EXPECT_EQ(ata_is_present(), 0);
    host::reset();  // identified, then busy for good
    host::script[0x1F7] = {0x50, 0x50, 0x58, 0x58, 0x58};
    host::fallback = {{0x1F7, 0x80}, {0x1F4, 0}, {0x1F5, 0}};
    ata_init();
    uint8_t sector[1024];
    EXPECT_EQ(ata_is_present() + ata_read_sectors(0, 1, sector), 0);
    EXPECT_NE(host::serial().find("[ata] Timeout waiting for BSY to clear (status=0x80)\n"), std::string::npos);
    host::reset();  // ready, but the data never comes: a timeout, not a read error
    host::fallback[0x1F7] = 0x50;
    EXPECT_NE(ata_read_sectors(0, 1, sector), 0);
    EXPECT_EQ(host::serial(), "[ata] Timeout waiting for DRQ at LBA 0 (status=0x50)\n");
    const auto control = host::accesses_to({0x3F6});  // the late data dropped by a reset
    EXPECT_TRUE((std::find(control.begin(), control.end(), host::port_io{0x3F6, 4, true}) != control.end()));
    host::reset();  // the identity said 2^32 - 1 sectors: LBA28 ends the range first
    EXPECT_NE(ata_read_sectors((1 << 28) - 1, 2, sector), 0);
    EXPECT_EQ(host::serial(), "[ata] Read of 2 sectors at LBA 268435455 exceeds the 268435456 addressable sectors\n");
}

static uint64_t s(const char* text) { return reinterpret_cast<uint64_t>(text); }
static std::string screen_row() {
    std::string row;
    for (int i = 0; i < 80; ++i) row += static_cast<char>(host::phys(VGA_TEXT_ADDR)[2 * i]);
    return row.substr(0, row.find_last_not_of(' ') + 1);
}

TEST(format, kprintf_and_vga_printf) {
    const std::tuple<bool, const char*, std::vector<uint64_t>, std::string> cases[] = {
        {false, "%d|%d", {0, UINT64_MAX}, "0|18446744073709551615"},
        {false, "%x|%x|%x", {0, 0xEF53, UINT64_MAX}, "0|EF53|FFFFFFFFFFFFFFFF"},
        {false, "%s|%s|%c|%%|%q", {s("abc"), 0, 'A'}, "abc|(null)|A|%|%q"},
        {false, "%.2s|%.0s|%.*s|%.3s", {s("abc"), s("abc"), 1, s("xyz"), 0}, "ab||x|(null)"},
        {false, "%.x|%.s|%", {}, "%.x|%.s|%"},
        {false, "%d%s%x", {7}, "7(null)0"},
        {true, "%d %x", {42, 0xAB}, "42 0x00000000000000AB"},  // the screen's own %x
        {true, "%s|%s|%c|%%", {s("abc"), 0, 'z'}, "abc|(null)|z|%"},
        {true, "%ld|%.16s|%", {}, "%ld|%.16s|%"},
    };
    for (const auto& [screen, format, args, out] : cases) {
        host::reset(), vga_clear();
        (screen ? vga_printf_args : kprintf_args)(format, args.data(), args.size());
        EXPECT_EQ(screen ? screen_row() : host::serial(), out) << format;
    }
}

// The runtime's side of the system calls: writes are collected, the rest answered as the kernel would.
static std::string g_written;
int rt_main(int, char**) { return 0; }
extern "C" int rt_printf(const char* format, ...);
extern "C" uint64_t runtime_host_image_end = 0x404000;
extern "C" int64_t runtime_host_syscall(uint64_t number, uint64_t, uint64_t a2, uint64_t a3) {
    return number == 1 ? g_written.append(reinterpret_cast<const char*>(a2), a3), static_cast<int64_t>(a3) : 0;
}

TEST(format, user_printf) {
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[] { return rt_printf("%d|%d|%d", 0, -1, INT_MIN); }, "0|-1|-2147483648"},
        {[] { return rt_printf("%5d|%05d|%-3d|%02d", -7, -7, 123); }, "   -7|-0007|%-3d|123"},
        {[] { return rt_printf("%u|%x|%08x", 3000000000u, 255u, 0xBEEFu); }, "3000000000|ff|0000beef"},
        {[] { return rt_printf("%ld|%lx|%lu", LONG_MIN, 1ul << 40, ULONG_MAX); }, "-9223372036854775808|10000000000|18446744073709551615"},
        {[] { return rt_printf("%s|%s|%c|%%", "abc", static_cast<char*>(nullptr), 'q'); }, "abc|(null)|q|%"},
        {[] { return rt_printf("%q|%5q|%l|%07"); }, "%q|%5q|%l|%07"},
    };
    for (const auto& [call, out] : cases) {
        g_written.clear();
        EXPECT_EQ(call(), static_cast<int>(out.size())) << out;
        EXPECT_EQ(g_written, out);
    }
}
