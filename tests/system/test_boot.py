"""Start-up on a 64-bit processor and the refusal on a 32-bit one."""

import re

from expected import (ATA_NO_DRIVE, BANNER, CPU_REPORT, STARTUP_INTERRUPTS, STARTUP_MEMORY, STARTUP_VGA,
                      SHELL_GREETING, closing_lines, match_lines, startup_syscall)
from harness import MachineTest, main


class Boot(MachineTest):
    def test_startup_report_on_qemu64(self):
        m = self.machine()
        text = m.boot().decode("utf-8")
        rest = match_lines(self, m, text, [BANNER] + CPU_REPORT + STARTUP_INTERRUPTS + STARTUP_MEMORY +
                           startup_syscall() + STARTUP_VGA + ATA_NO_DRIVE + [closing_lines()] +
                           [SHELL_GREETING, "tarvelin> "])
        self.assertEqual(rest, "")
        # The feature line keeps its fixed order and ends in a space; qemu64 has all six.
        self.assertIn("  Features:       TSC CX8 MMX SSE SSE2 LM \n", text)

    def test_no_long_mode_shows_p_bang_and_stops(self):
        m = self.machine(cpu="qemu32")
        m.wait_for("P!")
        rest = m.settle(quiet=2.0)
        self.assertEqual(m.transcript(), "P!", "after P! nothing more: %r" % rest)
        # Halted for good with interrupts off: the CPU state shows HLT.
        status = m.qmp.execute("query-status")
        self.assertTrue(status["running"])
        regs = m.hmp("info registers")
        self.assertTrue(re.search(r"HLT=1", regs), regs)


if __name__ == "__main__":
    main()
