"""Plentiful input in one session, every reply still exact: hundreds of commands and program runs
mixed at random. (Random bytes on the serial line are the shell fuzz target's, every byte value
through the receive ring the host port test's.)"""

import os
import random

from machine import BUILD, PROMPT, MachineTest, main, programs, read
from test_boot import boot
from test_disk import Volume


class Abuse(MachineTest):
    def test_mixed_commands(self):
        # Every step of the plain sessions once, then 450 more drawn from them.
        pool, rng = [], random.Random(7)
        for line in read("shell.txt") + read("disk.txt") + read("programs.txt"):
            pool += [[]] if line.startswith(PROMPT) else []
            pool[-1].append(line)
        pool = [step for step in pool if not any(line.startswith("<<<") for line in step)]
        disk = Volume(os.path.join(BUILD, "disk.img"))
        m = self.machine(disk=disk.path)
        boot(m, probe=read("probe.txt"), sectors=131072, mb=64)
        m.session([line for step in pool + rng.choices(pool, k=450) for line in step], **disk.values(), **programs())


if __name__ == "__main__":
    main()
