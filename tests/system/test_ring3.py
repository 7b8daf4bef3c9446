"""Ring 3 for real, with the test image's extra programs: interrupts taken while a program
spins in ring 3, and a privileged instruction faulting there."""

import os
import re

from harness import BUILD, PROMPT, MachineTest, main

TEST_ISO = os.path.join(BUILD, "tarvelin-test.iso")


class Ring3(MachineTest):
    def test_keys_during_a_long_ring3_run_reach_the_next_prompt(self):
        m = self.machine(iso=TEST_ISO)
        m.boot()
        m.send("execute spin\r")
        m.wait_for("spin: start\n")
        m.send_keys(["h", "e", "l", "p"])
        got = m.wait_for(PROMPT, timeout=120).decode()
        self.assertTrue(got.endswith("spin: done\n\n  ----------------------------------------\n"
                                     "  Returned to kernel shell.\ntarvelin> "), got)
        m.send_keys(["ret"])
        self.assertTrue(m.wait_for(PROMPT).startswith(b"help\r\n  Available commands:\n"))
        # The timer runs again after the program.
        self.assertRegex(m.command("ticks").decode(), r"  Timer ticks:   \d+\n")

    def test_hlt_in_ring3_is_a_protection_fault_from_cs_0x23(self):
        m = self.machine(iso=TEST_ISO)
        m.boot()
        m.send("execute hlt\r")
        got = m.wait_for("  System halted.\n").decode()
        report = got.partition("hlt: executing hlt in ring 3\n")[2]
        if not re.fullmatch(r"\n  \[EXCEPTION\] Interrupt 13, Error: 0\n"
                            r"  RIP=40[0-9A-F]{4} CS=23 RFLAGS=[0-9A-F]+\n"
                            r"  RAX=[0-9A-F]+ RBX=[0-9A-F]+ RCX=[0-9A-F]+ RDX=[0-9A-F]+\n"
                            r"  RSP=100[01][0-9A-F]{4} RBP=[0-9A-F]+\n"
                            r"  System halted.\n", report):
            m.fail("unexpected fault report: %r" % report)


if __name__ == "__main__":
    main()
