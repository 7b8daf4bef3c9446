"""Abuse: long runs of hostile or plentiful input in one session each, every reply still
exact (patterns only for numbers the machine decides): random bytes on COM1 (Ctrl-A
included), hundreds of mixed commands, every program again and again, PS/2 keys during
runs, damaged ext2 volumes mounted over and over."""

import os
import random
import shutil
import tempfile

import disk_images as di
from expected import APPS, HELP, NAMES, check_meminfo, check_ticks, is_command, not_found, unknown
from expected_programs import run_program
from harness import BUILD, PROMPT, MachineTest, main

DISK = os.path.join(BUILD, "disk.img")
PROGRAMS = NAMES + ["hello"]
BACKSPACE, DELETE, LINE_MAX = 0x08, 0x7F, 255


def edit_lines(data):
    """The shell's line editor over `data`: (end, text, echo) for each line ended by CR or LF."""
    text, echo = [], bytearray()
    for i, b in enumerate(data):
        if b in (0x0A, 0x0D):
            yield i, "".join(text), bytes(echo)
            text, echo = [], bytearray()
        elif b in (BACKSPACE, DELETE):
            if text:
                text.pop()
                echo += b"\b \b"
        elif 0x20 <= b <= 0x7E and len(text) < LINE_MAX:
            text.append(chr(b))
            echo.append(b)


def defuse(data):
    """`data` with every line that would run a command emptied by DELETEs before its end:
    every byte value stays in the stream, but no line can halt, reboot or launch."""
    out = bytearray(data)
    for end, text, _ in reversed(list(edit_lines(data))):
        if is_command(text):
            out[end:end] = bytes([DELETE]) * len(text)
    return bytes(out)


class Abuse(MachineTest):
    def test_random_bytes_on_com1(self):
        # 2,000 bytes holding every value, then 2,000 mostly printable ones whose lines
        # outgrow the 255-character limit.
        rng = random.Random(2024)
        uniform = list(range(256)) + [rng.randrange(256) for _ in range(2000 - 256)]
        rng.shuffle(uniform)
        wordy = [rng.randrange(0x20, 0x7F) if rng.random() < 0.9 else rng.randrange(256) for _ in range(2000)]
        m = self.machine()
        m.boot()
        for chunk in (uniform, wordy):
            data = defuse(bytes(chunk) + b"\r")
            lines = list(edit_lines(data))
            self.assertEqual(chunk is wordy, any(len(text) == LINE_MAX for _, text, _ in lines))
            want = b"".join(echo + b"\r\n" + (unknown(text.lstrip(" ")).encode() if text.strip(" ") else b"") +
                            PROMPT for _, text, echo in lines)
            m.send(data)
            got = b"".join(m.wait_for(PROMPT) for _ in lines)
            if got != want:
                m.fail("the reply to the random bytes differs\n--- expected ---\n%r" % want)
            self.assertEqual(m.settle(), b"", "output after the last prompt")
            m.expect("help", HELP)

    def test_five_hundred_mixed_commands(self):
        img = di.Image(DISK)
        exact = {"help": HELP, "   help": HELP, "ata": img.ata_reply(), "ata_test": img.ata_test_reply(),
                 "mount": img.mount_reply(), "apps": APPS, "": "", "    ": ""}
        missing = ["hello", "", " primes", "Fibonacci", "fibonacci ", "Raw", "exec", "x" * 200]
        weights = {"exact": 40, "meminfo": 10, "ticks": 10, "unknown": 15, "missing": 5, "small": 15, "large": 3,
                   "run": 2}
        rng = random.Random(7)
        # Every fixed case once, then a seeded mix.
        script = [("exact", line) for line in exact] + [("missing", name) for name in missing]
        script += [(kind, None) for kind in rng.choices(list(weights), list(weights.values()), k=500 - len(script))]
        m = self.machine(disk=DISK)
        m.boot()
        meminfo, last_ticks = None, 0
        for kind, arg in script:
            if kind == "exact":
                line = arg if arg is not None else rng.choice(sorted(exact))
                m.expect(line, exact[line])
            elif kind == "meminfo":
                # Nothing allocates after start-up: the counts never move.
                got = m.reply("meminfo")
                check_meminfo(self, m, got)
                meminfo = meminfo or got
                m.check(got, meminfo)
            elif kind == "ticks":
                ticks = check_ticks(self, m, m.reply("ticks"))
                self.assertGreaterEqual(ticks, last_ticks)
                last_ticks = ticks
            elif kind == "unknown":
                word = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_ -") for _ in range(rng.randint(1, 40)))
                word = "x" + word if is_command(word) or not word.strip(" ") else word
                m.expect(word, unknown(word.lstrip(" ")))
            elif kind == "missing":
                name = arg if arg is not None else rng.choice(missing)
                m.expect("execute " + name, not_found(name))
            else:
                pool = {"small": ["raw", "stack", "hello2"], "run": ["hello"]}.get(kind, NAMES[:6])
                run_program(m, rng.choice(pool))
        self.assertEqual({kind for kind, _ in script}, set(weights))
        m.expect("help", HELP)

    def test_every_program_ten_times_in_a_row(self):
        # Also more than thirty launches in a row in one session.
        m = self.machine()
        m.boot()
        for name in PROGRAMS:
            for _ in range(10):
                run_program(m, name)
        m.expect("help", HELP)

    def test_keys_typed_on_the_keyboard_while_programs_run(self):
        # Keys pressed during a run wait in the key ring and make up the next line.
        rng = random.Random(11)
        m = self.machine()
        m.boot()
        for name in PROGRAMS * 3:
            letters = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 5)))
            letters += "q" if is_command(letters) else ""
            run_program(m, name, keys=list(letters))
            m.send_keys(["ret"])
            m.check(m.wait_for(PROMPT), letters + "\r\n" + unknown(letters) + "tarvelin> ")

    def test_damaged_volumes_mounted_again_and_again(self):
        # One boot; the disk image is rewritten between mounts (the kernel keeps no block cache).
        work = tempfile.mkdtemp(prefix="tarvelin-abuse-")
        self.addCleanup(shutil.rmtree, work)
        source = di.make_tree(os.path.join(work, "source"))
        disk = di.make_image(os.path.join(work, "disk.img"), source)
        pristine, good = disk.read(0, os.path.getsize(disk.path)), disk.mount_reply()
        m = self.machine(disk=disk.path)
        m.boot()
        m.expect("mount", good)
        for kind, path, want in di.malformed(work, source):
            with self.subTest(kind):
                damaged = di.Image(path).read(0, len(pristine))
                self.assertEqual(len(damaged), len(pristine))
                self.assertNotEqual(want, good)
                disk.patch(0, damaged)
                for _ in range(10):
                    m.expect("mount", want)
                    m.expect("help", HELP)
                disk.patch(0, pristine)
                m.expect("mount", good)


if __name__ == "__main__":
    main()
