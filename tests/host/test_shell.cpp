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
constexpr char PROMPT[] = "tarvelin> ";

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
        const std::string head = std::string(PROMPT) + line + "\r\n";
        EXPECT_EQ(out.substr(0, head.size()), head);
        EXPECT_EQ(out.substr(out.size() - std::strlen(PROMPT)), PROMPT);
        return out.substr(head.size(), out.size() - head.size() - std::strlen(PROMPT));
    }

    ps2_model kbc;
};

TEST_F(shell, rest_of_a_serial_burst_is_read_without_waiting_for_a_tick) {
    // The rest of the line reaches the UART only while the shell polls after
    // "hel": it must be read before the processor halts, so the whole line is
    // answered in this one session.
    uart.feed("hel");
    uart.feed_after_polls("p\r", 1000);
    int halts = 0;
    fake_cpu::on_halt([&halts] {
        ++halts;
        throw shell_stopped{};
    });
    try {
        shell_run();
    } catch (const shell_stopped&) {
    }
    const std::string out = serial();
    EXPECT_EQ(halts, 1);
    EXPECT_NE(out.find("help\r\n  Available commands:\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - std::strlen(PROMPT)), PROMPT);
}

TEST_F(shell, greeting) {
    shell_init();
    EXPECT_EQ(serial(),
              "\n  ========================================\n"
              "    Tarvelin Shell Ready\n"
              "    Type 'help' for available commands\n"
              "    Type 'run' to execute hello.elf\n"
              "  ========================================\n\n");
}

TEST_F(shell, help_lists_the_commands) {
    EXPECT_EQ(reply("help"),
              "  Available commands:\n"
              "    help     - Show this help\n"
              "    run      - Run hello.elf in userspace (ring 3)\n"
              "    meminfo  - Memory information\n"
              "    ticks    - Timer tick count\n"
              "    ata      - ATA drive info\n"
              "    ata_test - Read sector 0 (MBR)\n"
              "    mount    - Mount ext2 filesystem\n"
              "    reboot   - Reboot the system\n"
              "    halt     - Halt the system\n");
}

TEST_F(shell, matching_is_exact_and_case_sensitive) {
    EXPECT_EQ(reply("HELP"), "  Unknown: 'HELP'. Type 'apps' for applications.\n");
    EXPECT_EQ(reply("help "), "  Unknown: 'help '. Type 'apps' for applications.\n");
    EXPECT_EQ(reply("mount /"), "  Unknown: 'mount /'. Type 'apps' for applications.\n");
    EXPECT_EQ(reply("execute"), "  Unknown: 'execute'. Type 'apps' for applications.\n");
    EXPECT_EQ(reply("   ticksx"), "  Unknown: 'ticksx'. Type 'apps' for applications.\n");
    EXPECT_EQ(reply("  help").substr(0, 23), "  Available commands:\n ");
}

TEST_F(shell, empty_lines_and_crlf) {
    EXPECT_EQ(session("\r"), std::string(PROMPT) + "\r\n" + PROMPT);
    EXPECT_EQ(session("    \r"), std::string(PROMPT) + "    \r\n" + PROMPT);
    // CR LF: the command runs at CR, the LF is an empty line and a second prompt.
    const std::string out = session("ticks\r\n");
    EXPECT_EQ(out.substr(out.size() - (2 + 2 * std::strlen(PROMPT))),
              std::string(PROMPT) + "\r\n" + PROMPT);
}

TEST_F(shell, backspace_and_delete_edit_the_line) {
    const std::string out = session("helpx\b\r");
    EXPECT_EQ(out.substr(0, 10 + 5 + 3 + 2), std::string(PROMPT) + "helpx\b \b\r\n");
    EXPECT_NE(out.find("  Available commands:\n"), std::string::npos);
    EXPECT_EQ(session("tickq\x7F" "s\r").substr(10, 11), "tickq\b \bs\r\n");
    // At length 0 a backspace sends nothing.
    EXPECT_EQ(session("\b\x7F\r"), std::string(PROMPT) + "\r\n" + PROMPT);
}

TEST_F(shell, line_holds_at_most_255_characters) {
    const std::string out = session(std::string(300, 'a') + "\b\r");
    const std::string expect_echo = std::string(PROMPT) + std::string(255, 'a') + "\b \b\r\n";
    EXPECT_EQ(out.substr(0, expect_echo.size()), expect_echo);
    EXPECT_EQ(out.substr(expect_echo.size()),
              "  Unknown: '" + std::string(254, 'a') + "'. Type 'apps' for applications.\n" + PROMPT);
}

TEST_F(shell, control_and_high_bytes_are_ignored) {
    const std::string out = session(std::string("h\te\x1bl\x80p\xff\x01\r", 10));
    EXPECT_EQ(out.substr(0, 16), std::string(PROMPT) + "help\r\n");
    EXPECT_NE(out.find("  Available commands:\n"), std::string::npos);
}

TEST_F(shell, keyboard_input_is_read_when_serial_is_idle) {
    // h e l p Enter, with a Shift press/release around the 'e' and key releases.
    for (uint8_t code : {0x23, 0xA3, 0x2A, 0x12, 0x92, 0xAA, 0x26, 0x19, 0x1C}) {
        kbc.push(code);
        keyboard_isr(nullptr);
    }
    const std::string out = session("");
    EXPECT_EQ(out.substr(0, 16), std::string(PROMPT) + "help\r\n");
    EXPECT_NE(out.find("    halt     - Halt the system\n"), std::string::npos);
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
    EXPECT_EQ(serial(), std::string(PROMPT) + "halt\r\n  System halted.\n");
    EXPECT_FALSE(fake_cpu::interrupts_enabled());
}

TEST_F(shell, reboot_empties_the_idt_then_falls_back_to_the_controller) {
    uart.feed("reboot\r");
    EXPECT_THROW(shell_run(), machine_halted);
    EXPECT_EQ(serial(), std::string(PROMPT) + "reboot\r\n  Rebooting...\n");
    EXPECT_EQ(fake_cpu::breakpoints(), 1);
    EXPECT_EQ(fake_bus::writes_to(0x64), std::vector<uint16_t>{0xFE});
}

TEST_F(shell, apps_and_unknown_names) {
    EXPECT_EQ(reply("apps"),
              "  Available applications:\n    fibonacci\n    primes\n    ascii\n    matrix\n    guess\n"
              "    sort\n    raw\n    stack\n    hello2\n\n  Usage: execute <name>\n");
    const std::string list = "  Available: fibonacci, primes, ascii, matrix, guess, sort, raw, stack, hello2\n";
    EXPECT_EQ(reply("execute hello"), "  'hello': application not found.\n" + list);
    EXPECT_EQ(reply("execute "), "  '': application not found.\n" + list);
    EXPECT_EQ(reply("execute  primes"), "  ' primes': application not found.\n" + list);
    EXPECT_EQ(reply("execute Fibonacci"), "  'Fibonacci': application not found.\n" + list);
}

TEST_F(shell, disk_commands_without_a_drive) {
    EXPECT_EQ(reply("ata"), "  No ATA drive detected.\n");
    EXPECT_EQ(reply("ata_test"), "  Reading sector 0 (MBR)...\n  ERROR: Failed to read sector 0\n");
    EXPECT_EQ(reply("mount"), "[ext2] No ATA drive available\n  Failed to mount ext2\n");
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

TEST_F(shell, launch_opens_pages_zeroes_the_stack_and_masks_the_timer) {
    const auto img = tiny_elf(0x20);
    std::memset(fake_phys::at(USER_STACK_BASE), 0xAA, 0x10000);
    fake_ring3::set_program([&] {
        // While the program runs only the keyboard line is open.
        EXPECT_EQ(fake_bus::writes_to(0x21).back(), 0xFD);
    });
    cmd_run_elf(img.data(), static_cast<uint32_t>(img.size()), "tiny");
    const std::string out = serial();
    EXPECT_EQ(out.substr(0, 31), "  Loading ELF64 binary: tiny\n[e");
    const std::string tail =
        "  Entry: 0x400000, Load: 0x400000-0x400020\n"
        "  Setting up page tables for ring 3...\n"
        "    PD[2] for vaddr 0x400000 \xE2\x86\x92 flags 0x400087\n"
        "    PD[128] for vaddr 0x10000000 \xE2\x86\x92 flags 0x10000087\n"
        "  User stack: 0x10000000 - 0x10010000 (64KB)\n"
        "  Entering userspace at RIP=0x400000 RSP=0x10010000...\n"
        "  ----------------------------------------\n"
        "\n  ----------------------------------------\n"
        "  Returned to kernel shell.\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    ASSERT_EQ(fake_ring3::entries().size(), 1u);
    EXPECT_EQ(fake_ring3::entries()[0].entry, 0x400000u);
    EXPECT_EQ(fake_ring3::entries()[0].user_rsp, USER_STACK_TOP);
    EXPECT_EQ(fake_bus::writes_to(0x21), (std::vector<uint16_t>{0xFD, 0xFC}));
    const auto* stack = fake_phys::at(USER_STACK_BASE);
    EXPECT_TRUE(std::all_of(stack, stack + 0x10000, [](uint8_t b) { return b == 0; }));
    // The page-table walk went through every level.
    EXPECT_EQ(*fake_phys::at<uint64_t>(0x1000) & 4, 4u);
    EXPECT_EQ(*fake_phys::at<uint64_t>(0x2000) & 4, 4u);
    EXPECT_EQ(fake_phys::at<uint64_t>(0x3000)[3] & 4, 0u);  // the next page stays closed
    EXPECT_EQ(tss_struct.rsp0, 0x10F000u);
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
