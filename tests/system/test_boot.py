"""Start-up on a 64-bit processor and the refusal on a 32-bit one."""

import re

from expected import startup_lines
from harness import MachineTest, main


class Boot(MachineTest):
    def test_startup_report_on_qemu64(self):
        m = self.machine()
        text = m.boot()
        # Exact text, patterns only for what the machine decides.
        pattern = "".join(w.pattern if isinstance(w, re.Pattern) else re.escape(w) for w in startup_lines())
        if not re.fullmatch(pattern, text):
            m.fail("the start-up transcript differs from /%s/" % pattern)
        # The feature line keeps its fixed order and ends in a space; qemu64 has all six.
        self.assertIn("  Features:       TSC CX8 MMX SSE SSE2 LM \n", text)

    def test_no_long_mode_shows_p_bang_and_stops(self):
        m = self.machine(cpu="qemu32")
        m.wait_for("P!")
        self.assertEqual(m.settle(quiet=2.0), b"")
        self.assertEqual(bytes(m.output), b"P!")
        # Halted for good with interrupts off: the CPU sits in HLT.
        self.assertTrue(m.qmp("query-status")["running"])
        self.assertRegex(m.hmp("info registers"), r"HLT=1")


if __name__ == "__main__":
    main()
