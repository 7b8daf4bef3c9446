// The PS/2 keyboard driver: scan codes through the PIC model and the dispatcher
// into the key ring, and out again through keyboard_getchar.
#include <initializer_list>
#include <map>
#include <string>

#include "host_env.h"
#include "idt.h"
#include "interrupt_devices.h"
#include "keyboard.h"

namespace {

ps2_model* g_ps2;

class keyboard : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        g_ps2 = &ps2;
        pic.attach();
        ps2.attach();
        for (int v = 0; v < 256; ++v) irq_install(v, nullptr);
        pic_remap(IRQ_BASE_VECTOR, IRQ_SLAVE_VECTOR);
        cpu_enable_interrupts();
    }
    void TearDown() override { EXPECT_EQ(ps2.writes(), 0) << "nothing is ever sent to the controller"; }

    // Each byte arrives at the controller and raises IRQ 1.
    void keys(std::initializer_list<uint8_t> codes) {
        for (uint8_t c : codes) {
            ps2.push(c);
            pic.raise(1);
        }
    }
    // Everything waiting in the ring.
    std::string drain() {
        std::string s;
        for (int c; (c = keyboard_getchar()) != -1;) s.push_back(static_cast<char>(c));
        return s;
    }

    pic_model pic;
    ps2_model ps2;
};

TEST_F(keyboard, every_make_code_maps_through_the_us_table) {
    keyboard_init();
    EXPECT_EQ(keyboard_getchar(), -1);
    std::map<int, char> expected;
    auto row = [&](int first, const std::string& chars) {
        for (size_t i = 0; i < chars.size(); ++i) expected[first + static_cast<int>(i)] = chars[i];
    };
    row(0x02, "1234567890-=\b\t");
    row(0x10, "qwertyuiop[]\n");
    row(0x1E, "asdfghjkl;'`");
    row(0x2B, "\\zxcvbnm,./");
    row(0x37, "*");
    row(0x39, " ");
    row(0x4A, "-");
    row(0x4E, "+");
    for (int code = 0; code < 0x80; ++code) {
        keys({static_cast<uint8_t>(code)});
        auto it = expected.find(code);
        EXPECT_EQ(drain(), it == expected.end() ? "" : std::string(1, it->second)) << "code 0x" << std::hex << code;
    }
}

TEST_F(keyboard, modifiers_releases_and_extended_prefixes_give_nothing) {
    keyboard_init();
    keys({0x2A, 0xAA, 0x36, 0xB6, 0x1D, 0x9D, 0x38, 0xB8, 0x3A, 0xBA});  // Shifts, Ctrl, Alt, Caps
    EXPECT_EQ(drain(), "");
    keys({0x2A, 0x1E, 0x9E, 0xAA, 0x3A, 0xBA, 0x10, 0x90, 0x36, 0x02, 0x82, 0xB6});  // Shift+A, Caps q, Shift+1
    EXPECT_EQ(drain(), "aq1");
    for (int code = 0x80; code < 0x100; ++code) keys({static_cast<uint8_t>(code)});
    EXPECT_EQ(drain(), "");
    keys({0xE0, 0x1C, 0xE0, 0x9C, 0xE0, 0x35, 0xE0, 0xB5});  // keypad Enter and /
    EXPECT_EQ(drain(), "\n/");
    keys({0xE0, 0x48, 0xE0, 0xC8, 0xE0, 0x4B, 0xE0, 0xCB, 0xE0, 0x4D, 0xE0, 0xCD, 0xE0, 0x50, 0xE0, 0xD0});  // arrows
    EXPECT_EQ(drain(), "");
}

TEST_F(keyboard, one_code_read_per_interrupt_without_status_polling) {
    keyboard_init();
    const int reads = ps2.data_reads();
    fake_bus::clear_log();
    keys({0x1E, 0x9E, 0x30});
    EXPECT_EQ(ps2.data_reads(), reads + 3);
    for (const auto& a : fake_bus::log()) EXPECT_NE(a.port, 0x64) << "status read in the handler";
    EXPECT_EQ(pic.eois(), std::vector<std::string>(3, "master EOI"));
    EXPECT_EQ(drain(), "ab");
}

TEST_F(keyboard, full_ring_keeps_255_and_drops_the_newest_and_wraps_in_order) {
    keyboard_init();
    std::string typed;
    for (int i = 0; i < 255; ++i) {
        keys({static_cast<uint8_t>(0x10 + i % 10)});  // q w e r t y u i o p
        typed.push_back("qwertyuiop"[i % 10]);
    }
    keys({0x02, 0x03});  // '1' and '2': no room
    EXPECT_EQ(drain(), typed);
    EXPECT_EQ(keyboard_getchar(), -1);

    typed.clear();
    std::string read;
    for (int round = 0; round < 100; ++round) {  // 700 characters: the indices wrap again
        for (int i = 0; i < 7; ++i) {
            const int n = (round * 7 + i) % 10;
            keys({static_cast<uint8_t>(0x02 + n)});
            typed.push_back("1234567890"[n]);
        }
        read += drain();
    }
    EXPECT_EQ(read, typed);
}

TEST_F(keyboard, init_discards_waiting_bytes_and_empties_the_ring) {
    for (uint8_t c : {0x1E, 0x30, 0x2E}) ps2.push(c);
    keyboard_init();
    EXPECT_EQ(ps2.pending(), 0u);
    EXPECT_EQ(keyboard_getchar(), -1);
    EXPECT_EQ(pic.master().imr, 0xFD);  // line 1 open, nothing else
    EXPECT_EQ(pic.slave().imr, 0xFF);
    keys({0x1E, 0x30});
    keyboard_init();
    EXPECT_EQ(keyboard_getchar(), -1);
}

TEST_F(keyboard, init_gives_up_on_a_status_that_never_clears) {
    ps2.stuck_full = true;  // no controller: the status floats to all ones
    ps2.status_read_limit = 10000;
    EXPECT_NO_THROW(keyboard_init());
    EXPECT_EQ(pic.master().imr, 0xFD);
    ps2.stuck_full = false;
    keys({0x1E});
    EXPECT_EQ(drain(), "a");
}

TEST_F(keyboard, handler_is_in_place_before_line_1_opens) {
    // A key press lands between the drain and the unmask: taken as the line opens.
    pic.raise(1);
    pic.deliver = [](int vector) {
        if (vector == 33) g_ps2->push(0x1E);
        interrupt_frame f{};
        f.vector = static_cast<uint64_t>(vector);
        isr_dispatch(&f);
    };
    keyboard_init();
    EXPECT_EQ(drain(), "a");
}

}  // namespace
