// The shell over a fake serial line and key ring: the line editor, the
// dispatcher, every command's reply, and the ring-3 launch path.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "boot_tables.h"
#include "elf_image.h"
#include "fake_ring3.h"
#include "gdt.h"
#include "host_env.h"
#include "interrupt_devices.h"
#include "keyboard.h"
#include "mb2_builder.h"
#include "shell.h"
#include "timer.h"

namespace {

struct shell_stopped {};
const std::string PROMPT = "tarvelin> ";
const std::string HELP =
    "  Available commands:\n"
    "    help     - Show this help\n"
    "    run      - Run hello.elf in userspace (ring 3)\n"
    "    meminfo  - Memory information\n"
    "    ticks    - Timer tick count\n"
    "    ata      - ATA drive info\n"
    "    ata_test - Read sector 0 (MBR)\n"
    "    mount    - Mount ext2 filesystem\n"
    "    reboot   - Reboot the system\n"
    "    halt     - Halt the system\n";

class shell : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        kbc.attach();
        fake_ring3::reset();
        keyboard_init();
        boot_with_memory_mib(512);
        boot_tables::build();
        serial();
        fake_bus::clear_log();
    }
    // RAM below 640 KiB and from 1 MiB up to `mib`.
    void boot_with_memory_mib(uint64_t mib) {
        pmm_boot({{0, 0x9F000, MB2_AVAILABLE}, {0x100000, (mib << 20) - 0x100000, MB2_AVAILABLE}});
        serial();
    }

    // Types `input` on COM1 and runs the shell until it waits for more.
    std::string session(const std::string& input) {
        uart.feed(input);
        fake_cpu::on_halt([] { throw shell_stopped{}; });
        try {
            shell_run();
        } catch (const shell_stopped&) {
        }
        return serial();
    }
    // The reply to one line: echo and "\r\n" stripped, up to the next prompt.
    std::string reply(const std::string& line) {
        const std::string out = session(line + "\r");
        const std::string head = PROMPT + line + "\r\n";
        EXPECT_EQ(out.substr(0, head.size()), head);
        EXPECT_EQ(out.substr(out.size() - PROMPT.size()), PROMPT);
        return out.substr(head.size(), out.size() - head.size() - PROMPT.size());
    }

    ps2_model kbc;
};

TEST_F(shell, rest_of_a_serial_burst_is_read_without_waiting_for_a_tick) {
    // The rest of the line reaches the UART only while the shell polls after
    // "hel": it must be answered before the processor first halts.
    uart.feed("hel");
    uart.feed_after_polls("p\r", 1000);
    EXPECT_EQ(session(""), PROMPT + "help\r\n" + HELP + PROMPT);
    EXPECT_EQ(fake_cpu::halts(), 1);
}

TEST_F(shell, line_editor_and_dispatcher) {
    auto unknown = [](const std::string& l) { return "  Unknown: '" + l + "'. Type 'apps' for applications.\n"; };
    const std::string a255(255, 'a');
    struct case_ {
        std::string input, output;  // the output between the first prompt and the last
    };
    const case_ cases[] = {
        {"\r", "\r\n"},
        {"    \r", "    \r\n"},
        {"\b\x7F\r", "\r\n"},  // at length 0 a backspace sends nothing
        {"helpx\b\r", "helpx\b \b\r\n" + HELP},
        {"tickq\x7Fx\r", "tickq\b \bx\r\n" + unknown("tickx")},
        {"  help\r", "  help\r\n" + HELP},  // leading spaces are skipped, nothing else
        {"   ticksx\r", "   ticksx\r\n" + unknown("ticksx")},
        {"HELP\r", "HELP\r\n" + unknown("HELP")},
        {"help \r", "help \r\n" + unknown("help ")},
        {"mount /\r", "mount /\r\n" + unknown("mount /")},
        {"execute\r", "execute\r\n" + unknown("execute")},
        {std::string("h\te\x1bl\x80p\xff\x01\r", 10), "help\r\n" + HELP},  // control and high bytes ignored
        {std::string(300, 'a') + "\b\r", a255 + "\b \b\r\n" + unknown(a255.substr(1))},  // at most 255
        {"HELP\r\n", "HELP\r\n" + unknown("HELP") + PROMPT + "\r\n"},  // CR LF: the LF is an empty line
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(session(c.input), PROMPT + c.output + PROMPT);
    }

    // The keyboard is read when the serial line is idle: h e l p Enter, with
    // Shift around the 'e' and key releases.
    for (uint8_t code : {0x23, 0xA3, 0x2A, 0x12, 0x92, 0xAA, 0x26, 0x19, 0x1C}) {
        kbc.push(code);
        keyboard_isr(nullptr);
    }
    EXPECT_EQ(session(""), PROMPT + "help\r\n" + HELP + PROMPT);
}

TEST_F(shell, meminfo_reports_pages_and_mib) {
    boot_with_memory_mib(128);  // frames 0x10B-0x7FFF free but the user image area's 1024
    EXPECT_EQ(reply("meminfo"),
              "  Physical Memory:\n"
              "    Total pages: 32768 (128 MB)\n"
              "    Free pages:  31477 (122 MB)\n"
              "    Used pages:  1291 (5 MB)\n");
}

TEST_F(shell, ticks_reports_the_counters) {
    const uint64_t before = timer_get_ticks();
    for (int i = 0; i < 250; ++i) timer_isr(nullptr);
    const uint64_t ticks = timer_get_ticks();
    EXPECT_EQ(ticks, before + 250);
    EXPECT_EQ(reply("ticks"), "  Timer ticks:   " + std::to_string(ticks) + "\n  Uptime (sec):  " +
                                  std::to_string(timer_get_seconds()) + "\n");
}

TEST_F(shell, halt_stops_without_a_prompt) {
    uart.feed("halt\r");
    EXPECT_THROW(shell_run(), machine_halted);
    EXPECT_EQ(serial(), PROMPT + "halt\r\n  System halted.\n");
    EXPECT_FALSE(fake_cpu::interrupts_enabled());
}

TEST_F(shell, reboot_empties_the_idt_then_falls_back_to_the_controller) {
    uart.feed("reboot\r");
    EXPECT_THROW(shell_run(), machine_halted);
    EXPECT_EQ(serial(), PROMPT + "reboot\r\n  Rebooting...\n");
    EXPECT_EQ(fake_cpu::breakpoints(), 1);
    EXPECT_EQ(fake_bus::writes_to(0x64), std::vector<uint16_t>{0xFE});
}

TEST_F(shell, dir_list_callback_letters_and_names) {
    const std::string long_name(255, 'n');
    dir_list_cb("a", 1, 12, 1, nullptr);
    dir_list_cb("dir", 3, 13, 2, nullptr);
    dir_list_cb("ln", 2, 14, 7, nullptr);
    dir_list_cb("blk", 3, 15, 4, nullptr);
    dir_list_cb("x", 1, 16, 0, nullptr);
    dir_list_cb(long_name.c_str(), 255, 17, 1, nullptr);
    EXPECT_EQ(serial(), "    [F] inode=12  a\n    [D] inode=13  dir\n    [L] inode=14  ln\n"
                        "    [?] inode=15  blk\n    [?] inode=16  x\n    [F] inode=17  " + long_name + "\n");
}

// ---------------------------------------------------------------- launch path

// A minimal valid program: one read-execute segment at 0x400000.
std::vector<uint8_t> tiny_elf(uint64_t memsz) {
    elf_image::builder b;
    b.load(elf_image::PF_R | elf_image::PF_X, b.add_data(std::vector<uint8_t>(16, 0x90)), 0x400000, 16, memsz);
    return b.build();
}

TEST_F(shell, pt_make_user_accessible_opens_one_page_at_every_level) {
    using namespace boot_tables;
    fake_cpu::set_cr(3, PML4 | 0x18);  // flag bits in CR3 are not part of the address
    pt_make_user_accessible(0x10000123);
    EXPECT_EQ(serial(), "    PD[128] for vaddr 0x10000123 \xE2\x86\x92 flags 0x10000087\n");
    EXPECT_EQ(entry(PML4, 0), PDPT | P | W | U);
    EXPECT_EQ(entry(PDPT, 0), PD | P | W | U);
    for (uint64_t i = 0; i < 512; ++i)
        ASSERT_EQ(entry(PD, i), i * LARGE_PAGE_BYTES | P | W | PS | (i == 128 ? U : 0)) << i;
}

// The launch's lines are the program-output system tests' business; here what they cannot see.
TEST_F(shell, launch_opens_pages_zeroes_the_stack_and_masks_the_timer) {
    using namespace boot_tables;
    const auto img = tiny_elf(0x20);
    std::memset(fake_phys::at(USER_STACK_BASE), 0xAA, 0x10000);
    fake_ring3::set_program([&] {
        EXPECT_EQ(fake_bus::writes_to(0x21).back(), 0xFD);  // only the keyboard line open meanwhile
        const auto* stack = fake_phys::at(USER_STACK_BASE);
        EXPECT_TRUE(std::all_of(stack, stack + 0x10000, [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(entry(PD, 2) & U, U);
        EXPECT_EQ(entry(PD, 128) & U, U);
        EXPECT_EQ(entry(PD, 3) & U, 0u);  // the next page stays closed
        EXPECT_EQ(tss_struct.rsp0, 0x10F000u);
    });
    cmd_run_elf(img.data(), static_cast<uint32_t>(img.size()), "tiny");
    EXPECT_NE(serial().find("\n  Returned to kernel shell.\n"), std::string::npos);
    ASSERT_EQ(fake_ring3::entries().size(), 1u);
    EXPECT_EQ(fake_ring3::entries()[0].entry, 0x400000u);
    EXPECT_EQ(fake_ring3::entries()[0].user_rsp, USER_STACK_TOP);
    EXPECT_EQ(fake_bus::writes_to(0x21), (std::vector<uint16_t>{0xFD, 0xFC}));
}

TEST_F(shell, launch_opens_a_second_image_page_only_when_needed) {
    // 0x400000-0x600000 exactly fits one page; one byte more needs the next.
    auto img = tiny_elf(0x200000);
    cmd_run_elf(img.data(), static_cast<uint32_t>(img.size()), "a");
    EXPECT_EQ(serial().find("PD[3]"), std::string::npos);
    img = tiny_elf(0x200001);
    cmd_run_elf(img.data(), static_cast<uint32_t>(img.size()), "b");
    EXPECT_NE(serial().find("    PD[3] for vaddr 0x600000 \xE2\x86\x92 flags 0x600087\n"), std::string::npos);
}

TEST_F(shell, failed_load_touches_nothing) {
    const std::vector<uint8_t> junk(63, 0);
    cmd_run_elf(junk.data(), 63, "junk");
    EXPECT_EQ(serial(), "  Loading ELF64 binary: junk\n[elf] File too small for ELF header\n"
                        "  ERROR: Failed to load ELF\n");
    EXPECT_TRUE(fake_ring3::entries().empty());
    EXPECT_TRUE(fake_bus::writes_to(0x21).empty());
    EXPECT_EQ(fake_phys::at<uint64_t>(0x3000)[2], 0x400083u);
}

TEST_F(shell, launch_refused_without_memory_for_the_user_stack) {
    boot_with_memory_mib(200);
    const auto img = tiny_elf(0x20);
    cmd_run_elf(img.data(), static_cast<uint32_t>(img.size()), "tiny");
    EXPECT_EQ(serial(), "  Loading ELF64 binary: tiny\n  ERROR: No memory for the user stack at 0x10000000\n");
    EXPECT_TRUE(fake_ring3::entries().empty());
}

}  // namespace
