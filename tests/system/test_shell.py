"""The shell as a user meets it on COM1 and on the PS/2 keyboard."""

import re
import time

from expected import SHELL_GREETING
from harness import PROMPT, MachineTest, main

HELP = ("  Available commands:\n"
        "    help     - Show this help\n"
        "    run      - Run hello.elf in userspace (ring 3)\n"
        "    meminfo  - Memory information\n"
        "    ticks    - Timer tick count\n"
        "    ata      - ATA drive info\n"
        "    ata_test - Read sector 0 (MBR)\n"
        "    mount    - Mount ext2 filesystem\n"
        "    reboot   - Reboot the system\n"
        "    halt     - Halt the system\n")



def unknown(line):
    return "  Unknown: '%s'. Type 'apps' for applications.\n" % line


class Shell(MachineTest):
    def setUp(self):
        self.m = self.machine()
        startup = self.m.boot().decode("utf-8")
        self.assertTrue(startup.endswith(SHELL_GREETING + "tarvelin> "), startup[-400:])
        self.startup_total = int(re.search(r"\[OK\] PMM: (\d+) total", startup).group(1))

    def reply(self, line):
        """The reply to a line, after checking its echo."""
        got = self.m.command(line).decode("utf-8", errors="replace")
        echo = line + "\r\n"
        if not got.startswith(echo):
            self.m.fail("echo of %r missing" % line)
        return got[len(echo):]

    def test_every_core_reply(self):
        self.assertTranscript(self.m, self.reply("help"), HELP)
        self.assertTranscript(self.m, self.reply("   help"), HELP)
        for line in ["HELP", "help ", "mount now", "execute", "foo bar"]:
            self.assertTranscript(self.m, self.reply(line), unknown(line))
        self.assertTranscript(self.m, self.reply("  Halt"), unknown("Halt"))
        mem = self.reply("meminfo")
        m = re.fullmatch(r"  Physical Memory:\n"
                         r"    Total pages: (\d+) \((\d+) MB\)\n"
                         r"    Free pages:  (\d+) \((\d+) MB\)\n"
                         r"    Used pages:  (\d+) \((\d+) MB\)\n", mem)
        if not m:
            self.m.fail("meminfo reply malformed")
        total, total_mb, free, free_mb, used, used_mb = map(int, m.groups())
        # The same total as the allocator reported at start-up (QEMU's map for
        # 512 MiB ends a little below 512 MiB).
        self.assertEqual(total, self.startup_total)
        self.assertEqual((total * 4) >> 10, total_mb)
        self.assertEqual(total - free, used)
        self.assertEqual((free * 4) >> 10, free_mb)
        self.assertEqual((used * 4) >> 10, used_mb)

    def test_empty_lines_and_crlf(self):
        self.m.send("\r")
        self.assertEqual(self.m.wait_for(PROMPT), b"\r\n" + PROMPT)
        self.m.send("   \r")
        self.assertEqual(self.m.wait_for(PROMPT), b"   \r\n" + PROMPT)
        self.m.send("ticks\r\n")
        self.m.wait_for(PROMPT)
        self.assertEqual(self.m.wait_for(PROMPT), b"\r\n" + PROMPT)

    def test_line_editing(self):
        got = self.m.command(b"helpx\x08").decode()
        self.assertTranscript(self.m, got, "helpx\b \b\r\n" + HELP)
        got = self.m.command(b"tickz\x7fs").decode()
        self.assertTrue(got.startswith("tickz\b \bs\r\n  Timer ticks:   "), got)
        got = self.m.command(b"\x08\x7fhelp").decode()
        self.assertTranscript(self.m, got, "help\r\n" + HELP)
        got = self.m.command(b"h\te\x1bl\x80p\xff\x01").decode("latin-1")
        self.assertTranscript(self.m, got, "help\r\n" + HELP)

    def test_255_character_limit(self):
        got = self.m.command(b"a" * 300 + b"\x08").decode()
        self.assertTranscript(self.m, got, "a" * 255 + "\b \b\r\n" + unknown("a" * 254))

    def test_ticks_grow(self):
        first = self.reply("ticks")
        m1 = re.fullmatch(r"  Timer ticks:   (\d+)\n  Uptime \(sec\):  (\d+)\n", first)
        time.sleep(0.5)
        second = self.reply("ticks")
        m2 = re.fullmatch(r"  Timer ticks:   (\d+)\n  Uptime \(sec\):  (\d+)\n", second)
        if not (m1 and m2):
            self.m.fail("ticks reply malformed")
        self.assertGreater(int(m2.group(1)), int(m1.group(1)))
        ticks, seconds = int(m2.group(1)), int(m2.group(2))
        # Seconds are read after ticks, so they may already count one more tick.
        self.assertIn(seconds, (ticks // 100, (ticks + 1) // 100))

    def test_help_on_the_ps2_keyboard(self):
        # Shift plus a letter gives the lower-case letter.
        self.m.send_keys(["h", ["shift", "e"], "l", "p", "ret"])
        got = self.m.wait_for(PROMPT).decode()
        self.assertTranscript(self.m, got, "help\r\n" + HELP + "tarvelin> ")

    def test_halt_leaves_no_prompt(self):
        self.m.send("halt\r")
        self.m.wait_for("halt\r\n  System halted.\n")
        self.m.send("help\r")
        rest = self.m.settle(quiet=1.0)
        self.assertEqual(rest, b"", "a halted machine answered: %r" % rest)

    def test_reboot_resets_the_machine(self):
        self.m.send("reboot\r")
        self.m.wait_for("reboot\r\n  Rebooting...\n")
        # -no-reboot turns the reset into QEMU's exit.
        self.m.wait_exit(timeout=30)


if __name__ == "__main__":
    main()
