// Channel 0 of the PIT and the tick and second counters, with the 8254 and the
// 8259A pair modelled behind the fake bus.
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
        fake_bus::attach(&pic, 0x20, 2);
        fake_bus::attach(&pic, 0xA0, 2);
        fake_bus::attach(&pit, 0x40, 4);
        pic.deliver = [](int vector) {
            interrupt_frame f{};
            f.vector = static_cast<uint64_t>(vector);
            isr_dispatch(&f);
        };
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
    pit_model pit;
};

// First in the file: the counters are only ever zero in a fresh program.
TEST_F(timer, counters_are_zero_until_the_line_opens_and_init_programs_channel_0) {
    EXPECT_EQ(timer_get_ticks(), 0u);
    EXPECT_EQ(timer_get_seconds(), 0u);

    timer_init(100);
    const std::vector<port_access> pit_writes = {
        {true, 8, 0x43, 0x34}, {true, 8, 0x40, 0x9B}, {true, 8, 0x40, 0x2E}};
    ASSERT_GE(fake_bus::log().size(), 3u);
    EXPECT_EQ(std::vector<port_access>(fake_bus::log().begin(), fake_bus::log().begin() + 3), pit_writes);
    EXPECT_EQ(pit.mode, 2);
    EXPECT_EQ(pit.access, 3);
    EXPECT_FALSE(pit.bcd);
    EXPECT_TRUE(pit.reload_complete);
    EXPECT_EQ(pit.reload, 11931);

    // Only line 0 is opened.
    EXPECT_EQ(pic.master().imr, 0xFE);
    EXPECT_EQ(pic.slave().imr, 0xFF);
    EXPECT_EQ(timer_get_ticks(), 0u);
    EXPECT_EQ(timer_get_seconds(), 0u);
}

TEST_F(timer, divisor_is_the_truncated_quotient_low_byte_first) {
    timer_init(1000);  // 1193182 / 1000 = 1193 = 0x04A9
    EXPECT_EQ(fake_bus::writes_to(0x40), (std::vector<uint16_t>{0xA9, 0x04}));
    EXPECT_EQ(pit.reload, 1193);
    fake_bus::clear_log();
    timer_init(19);  // the slowest rate that fits 16 bits: 62799 = 0xF54F
    EXPECT_EQ(fake_bus::writes_to(0x40), (std::vector<uint16_t>{0x4F, 0xF5}));
    EXPECT_EQ(pit.reload, 62799);
    EXPECT_EQ(fake_bus::writes_to(0x43), std::vector<uint16_t>{0x34});
}

TEST_F(timer, handler_is_in_place_before_line_0_opens) {
    // A tick is already waiting at the PIC when the driver opens the line: it
    // is taken at once, so the handler must be registered by then.
    cpu_enable_interrupts();
    pic.raise(0);
    const uint64_t before = timer_get_ticks();
    timer_init(100);
    EXPECT_EQ(timer_get_ticks(), before + 1);
    EXPECT_EQ(pic.eois(), std::vector<std::string>{"master EOI"});
    EXPECT_EQ(pic.master().isr, 0);
}

TEST_F(timer, seconds_advance_on_every_hundredth_tick) {
    timer_init(100);
    // Start on a whole second (in a fresh program that is tick 0 already).
    while (timer_get_ticks() % 100 != 0) tick();
    const uint64_t t0 = timer_get_ticks();
    const uint64_t s0 = timer_get_seconds();
    pic.clear_eois();

    for (int i = 0; i < 99; ++i) tick();
    EXPECT_EQ(timer_get_ticks(), t0 + 99);
    EXPECT_EQ(timer_get_seconds(), s0);
    tick();
    EXPECT_EQ(timer_get_ticks(), t0 + 100);
    EXPECT_EQ(timer_get_seconds(), s0 + 1);
    for (int i = 0; i < 150; ++i) tick();
    EXPECT_EQ(timer_get_ticks(), t0 + 250);
    EXPECT_EQ(timer_get_seconds(), s0 + 2);

    // Every one of them was acknowledged, at the master only.
    EXPECT_EQ(pic.eois(), std::vector<std::string>(250, "master EOI"));
    EXPECT_EQ(serial(), "");
}

TEST_F(timer, seconds_follow_ticks_not_the_programmed_rate) {
    timer_init(1000);
    while (timer_get_ticks() % 100 != 0) tick();
    const uint64_t s0 = timer_get_seconds();
    for (int i = 0; i < 1000; ++i) tick();
    EXPECT_EQ(timer_get_seconds(), s0 + 10);
}

}  // namespace
