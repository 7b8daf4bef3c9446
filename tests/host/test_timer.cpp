// Channel 0 of the PIT and the tick and second counters, with the 8259A pair
// modelled behind the fake bus.
#include <vector>

#include "host_env.h"
#include "idt.h"
#include "interrupt_devices.h"
#include "timer.h"

namespace {

class timer : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        pic.attach();
        for (int v = 0; v < 256; ++v) irq_install(v, nullptr);
        pic_remap(IRQ_BASE_VECTOR, IRQ_SLAVE_VECTOR);
        fake_bus::clear_log();
    }
    // One timer interrupt, through the dispatcher as the stub would deliver it.
    void tick() {
        interrupt_frame f{};
        f.vector = 32;
        isr_dispatch(&f);
    }
    pic_model pic;
};

// First in the file: the counters are only ever zero in a fresh program.
TEST_F(timer, counters_start_at_zero_and_init_programs_channel_0) {
    EXPECT_EQ(timer_get_ticks(), 0u);
    EXPECT_EQ(timer_get_seconds(), 0u);
    timer_init(100);
    // Mode 2, low then high byte, binary; 1193182 / 100 = 11931 = 0x2E9B.
    const std::vector<port_access> pit_writes = {{true, 8, 0x43, 0x34}, {true, 8, 0x40, 0x9B}, {true, 8, 0x40, 0x2E}};
    ASSERT_GE(fake_bus::log().size(), 3u);
    EXPECT_EQ(std::vector<port_access>(fake_bus::log().begin(), fake_bus::log().begin() + 3), pit_writes);
    EXPECT_EQ(pic.master().imr, 0xFE);  // only line 0 is opened
    EXPECT_EQ(pic.slave().imr, 0xFF);
    EXPECT_EQ(timer_get_ticks(), 0u);
    EXPECT_EQ(timer_get_seconds(), 0u);
}

TEST_F(timer, divisor_is_the_truncated_quotient_low_byte_first) {
    timer_init(1000);  // 1193
    EXPECT_EQ(fake_bus::writes_to(0x40), (std::vector<uint16_t>{0xA9, 0x04}));
    fake_bus::clear_log();
    timer_init(19);  // the slowest rate that fits 16 bits: 62799
    EXPECT_EQ(fake_bus::writes_to(0x40), (std::vector<uint16_t>{0x4F, 0xF5}));
    EXPECT_EQ(fake_bus::writes_to(0x43), std::vector<uint16_t>{0x34});
}

TEST_F(timer, handler_is_in_place_before_line_0_opens) {
    // A tick already waiting at the PIC is taken the moment the line opens.
    cpu_enable_interrupts();
    pic.raise(0);
    const uint64_t before = timer_get_ticks();
    timer_init(100);
    EXPECT_EQ(timer_get_ticks(), before + 1);
    EXPECT_EQ(pic.eois(), std::vector<std::string>{"master EOI"});
    EXPECT_EQ(pic.master().isr, 0);
}

TEST_F(timer, seconds_advance_on_every_hundredth_tick_whatever_the_rate) {
    timer_init(1000);
    while (timer_get_ticks() % 100 != 0) tick();
    const uint64_t t0 = timer_get_ticks(), s0 = timer_get_seconds();
    pic.clear_eois();
    for (int i = 0; i < 99; ++i) tick();
    EXPECT_EQ(timer_get_seconds(), s0);
    tick();
    EXPECT_EQ(timer_get_ticks(), t0 + 100);
    EXPECT_EQ(timer_get_seconds(), s0 + 1);
    for (int i = 0; i < 150; ++i) tick();
    EXPECT_EQ(timer_get_ticks(), t0 + 250);
    EXPECT_EQ(timer_get_seconds(), s0 + 2);
    EXPECT_EQ(pic.eois(), std::vector<std::string>(250, "master EOI"));  // each acknowledged, at the master
    EXPECT_EQ(serial(), "");
}

}  // namespace
