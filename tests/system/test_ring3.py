"""Ring 3 with the test image's extra programs: keys taken while a program spins in ring 3
reach the next prompt, and a privileged instruction there is a protection fault from CS 0x23."""

import os

from machine import BUILD, PROMPT, MachineTest, main, programs
from test_boot import boot


class Ring3(MachineTest):
    def test_spin_then_hlt(self):
        m = self.machine(iso=os.path.join(BUILD, "tarvelin-test.iso"))
        boot(m, kernel="kernel_test.elf")
        m.send(b"execute spin\r")
        m.until(b"spin: start\n")
        m.keys("h e l p".split())
        m.expect("execute spin", "spin: done\n\n  " + "-" * 40 + "\n  Returned to kernel shell.\n" + PROMPT)
        m.session("ring3.txt", **programs())


if __name__ == "__main__":
    main()
