"""Long runs of hostile or plentiful input, one session each, every reply still exact: random
bytes on COM1 (Ctrl-A included), and hundreds of commands and program runs mixed at random."""

import os
import random

from machine import BUILD, PROMPT, MachineTest, main, programs, read
from test_boot import boot
from test_disk import Volume


def edit(data):
    """The line editor over `data`: (text, echo) of each line ended by CR or LF."""
    text, echo, esc = "", b"", 0  # esc: 1 after ESC, 2 inside ESC [ or ESC O (a terminal key)
    for b in data:
        if (esc == 1 and b in b"[O") or (esc == 2 and 0x20 <= b <= 0x3F):
            esc = 2
            continue
        was, esc = esc, int(b == 0x1B)
        if esc or (was == 2 and 0x40 <= b <= 0x7E):
            continue
        if b in b"\r\n":
            yield text, echo
            text, echo = "", b""
        elif b in b"\x08\x7f" and text:
            text, echo = text[:-1], echo + b"\b \b"
        elif 0x20 <= b <= 0x7E and len(text) < 255:
            text, echo = text + chr(b), echo + bytes([b])


class Abuse(MachineTest):
    def test_random_bytes(self):
        # Every byte value and terminal keys, then mostly printable bytes whose lines outgrow the
        # 255-character limit.
        rng = random.Random(2024)
        uniform = rng.sample(range(256), 256) + [rng.randrange(256) for _ in range(1744)]
        for key in [b"\x1b[A", b"\x1b[3~", b"\x1bOH", b"\x1b[1;5C"] * 8:  # a terminal's keys among them
            at = rng.randrange(len(uniform))
            uniform[at:at] = key
        wordy = [rng.randrange(0x20, 0x7F) if rng.random() < 0.9 else rng.randrange(256) for _ in range(2000)]
        m = self.machine()
        boot(m)
        for chunk in (uniform, wordy):
            m.send(data := bytes(chunk) + b"\r")  # with this seed no line happens to be a command
            for text, echo in edit(data):
                reply = "  Unknown: '%s'. Type 'apps' for applications.\n" % text.lstrip(" ") if text.strip(" ") else ""
                m.expect(text, (echo.decode("latin-1") + "\r\n" + reply).replace("{", "{7B}") + PROMPT)
        m.session("shell.txt", long="a" * 255, short="a" * 254)

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
