"""The shell as a user meets it on COM1 and on the PS/2 keyboard."""

import time

from expected import HELP, PMM_LINE, SHELL_GREETING, check_meminfo, check_ticks, unknown
from harness import PROMPT, MachineTest, main


class Shell(MachineTest):
    def test_replies_and_line_editing(self):
        m = self.machine()
        startup = m.boot()
        self.assertTrue(startup.endswith(SHELL_GREETING + "tarvelin> "), startup[-400:])
        # help, apps and the not-found replies are checked in test_abuse's mixed commands.
        for line in ["HELP", "help ", "mount now", "execute", "foo bar"]:
            m.expect(line, unknown(line))
        m.expect("  Halt", unknown("Halt"))
        # The same total as the allocator reported at start-up.
        total, _ = check_meminfo(self, m, m.reply("meminfo"))
        self.assertEqual(total, int(PMM_LINE.search(startup).group(1)))

        first = check_ticks(self, m, m.reply("ticks"))
        time.sleep(0.5)
        self.assertGreater(check_ticks(self, m, m.reply("ticks")), first)

        # Empty lines, and CR LF giving a second prompt.
        for typed, echo in [("\r", b"\r\n"), ("   \r", b"   \r\n")]:
            m.send(typed)
            self.assertEqual(m.wait_for(PROMPT), echo + PROMPT)
        m.send("ticks\r\n")
        m.wait_for(PROMPT)
        self.assertEqual(m.wait_for(PROMPT), b"\r\n" + PROMPT)

        # Backspace, delete (also on an empty line), ignored control and high bytes, the 255-character limit.
        m.check(m.command(b"helpx\x08"), "helpx\b \b\r\n" + HELP)
        self.assertTrue(m.command(b"tickz\x7fs").startswith(b"tickz\b \bs\r\n  Timer ticks:   "))
        m.check(m.command(b"\x08\x7fhelp"), "help\r\n" + HELP)
        m.check(m.command(b"h\te\x1bl\x80p\xff\x01"), "help\r\n" + HELP)
        m.check(m.command(b"a" * 300 + b"\x08"), "a" * 255 + "\b \b\r\n" + unknown("a" * 254))

        # help on the PS/2 keyboard; Shift plus a letter gives the lower-case letter.
        m.send_keys(["h", ["shift", "e"], "l", "p", "ret"])
        m.check(m.wait_for(PROMPT), "help\r\n" + HELP + "tarvelin> ")

    def test_halt_leaves_no_prompt(self):
        m = self.machine()
        m.boot()
        m.send("halt\r")
        m.wait_for("halt\r\n  System halted.\n")
        m.send("help\r")
        self.assertEqual(m.settle(quiet=1.0), b"", "a halted machine answered")

    def test_reboot_resets_the_machine(self):
        m = self.machine()
        m.boot()
        m.send("reboot\r")
        m.wait_for("reboot\r\n  Rebooting...\n")
        # -no-reboot turns the reset into QEMU's exit.
        self.assertEqual(m.proc.wait(30), 0)


if __name__ == "__main__":
    main()
