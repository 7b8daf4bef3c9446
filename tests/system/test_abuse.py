"""Abuse: long runs of hostile or plentiful input, each reply still exact.

Random bytes on COM1 (every byte value, Ctrl-A included: the harness's stdio
chardev is a plain pipe), hundreds of mixed commands in one session, every program
again and again, PS/2 keys typed while programs run, and malformed ext2 volumes
mounted over and over. Each test boots once and does a lot; every reply is
compared byte for byte, or by a pattern only where the machine decides a number.
"""

import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import expected_programs
import test_programs
import test_shell
from harness import BUILD, PROMPT, SOURCE, MachineTest, main
from launch import split_run

HELP = test_shell.HELP
NAMES = test_programs.NAMES
AVAILABLE = test_programs.AVAILABLE
DISK = os.path.join(BUILD, "disk.img")

# Every word the dispatcher acts on. A random line must never be one of these:
# halt and reboot would stop the machine, and the rest would make the expected
# transcript depend on the command's reply.
EXACT_COMMANDS = {"apps", "help", "run", "meminfo", "ticks", "ata", "ata_test", "mount", "reboot", "halt"}
EXECUTE_PREFIX = "execute "

BACKSPACE, DELETE = 0x08, 0x7F
LINE_MAX = 255


def unknown(line):
    return "  Unknown: '%s'. Type 'apps' for applications.\n" % line


def is_command(line):
    """True when the dispatcher would run something for `line`."""
    word = line.lstrip(" ")
    return word in EXACT_COMMANDS or word.startswith(EXECUTE_PREFIX)


def edit_lines(data):
    """Runs the shell's line editor over `data`: yields (start, end, text, echo)
    for every line ended by CR or LF, where data[start:end] are the bytes typed
    for the line (without its terminator)."""
    start, text, echo = 0, [], bytearray()
    for i, b in enumerate(data):
        if b in (0x0A, 0x0D):
            yield start, i, "".join(text), bytes(echo)
            start, text, echo = i + 1, [], bytearray()
        elif b in (BACKSPACE, DELETE):
            if text:
                text.pop()
                echo += b"\b \b"
        elif 0x20 <= b <= 0x7E:
            if len(text) < LINE_MAX:
                text.append(chr(b))
                echo.append(b)
        # every other byte is ignored by the editor


def defuse(data):
    """Returns `data` with every line that would run a command emptied: DELETE
    bytes, one per stored character, are put in front of its terminator. The
    stream keeps every byte it had (each of the 256 values stays in it), and no
    line can be halt, reboot, run or execute, or any other command word."""
    out = bytearray(data)
    for start, end, text, _ in reversed(list(edit_lines(data))):
        if is_command(text):
            out[end:end] = bytes([DELETE]) * len(text)
    return bytes(out)


def expected_transcript(data):
    """What the shell sends back for `data` (which ends in a terminator): the
    echo of every line, its "\\r\\n", the reply and the next prompt."""
    out = bytearray()
    for _start, _end, text, echo in edit_lines(data):
        assert not is_command(text), "a random line is a command: %r" % text
        out += echo + b"\r\n"
        word = text.lstrip(" ")
        if word:
            out += unknown(word).encode()
        out += PROMPT
    return bytes(out)


# ---------------------------------------------------------------- ext2 volumes
# Superblock fields, as byte offsets inside the superblock.
SB_OFFSET = 1024
PARTITION_OFFSET = 2048 * 512
SB_BLOCKS_COUNT, SB_LOG_BLOCK_SIZE, SB_BLOCKS_PER_GROUP = 4, 24, 32
SB_INODES_PER_GROUP, SB_MAGIC, SB_REV_LEVEL, SB_INODE_SIZE = 40, 56, 76, 88
SB_INODES_COUNT, SB_VOLUME_NAME = 0, 120
BG_INODE_TABLE = 8
INODE_BLOCKS = 40
ROOT_INO = 2
TYPE_LETTERS = {1: "F", 2: "D", 7: "L"}


class Volume:
    """Just enough of an ext2 reader to know what `mount` must list."""

    def __init__(self, path):
        with open(path, "rb") as f:
            f.seek(PARTITION_OFFSET)
            self.data = f.read(4 * 1024 * 1024)
        sb = self.data[SB_OFFSET:SB_OFFSET + 1024]
        self.sb = sb
        self.block_size = 1024 << struct.unpack_from("<I", sb, SB_LOG_BLOCK_SIZE)[0]
        self.inodes = struct.unpack_from("<I", sb, SB_INODES_COUNT)[0]
        blocks = struct.unpack_from("<I", sb, SB_BLOCKS_COUNT)[0]
        per_group = struct.unpack_from("<I", sb, SB_BLOCKS_PER_GROUP)[0]
        self.inodes_per_group = struct.unpack_from("<I", sb, SB_INODES_PER_GROUP)[0]
        self.groups = -(-blocks // per_group)
        rev = struct.unpack_from("<I", sb, SB_REV_LEVEL)[0]
        self.inode_size = 128 if rev == 0 else struct.unpack_from("<H", sb, SB_INODE_SIZE)[0]
        self.name = sb[SB_VOLUME_NAME:SB_VOLUME_NAME + 16].split(b"\0")[0].decode()

    def block(self, n):
        return self.data[n * self.block_size:(n + 1) * self.block_size]

    def root_entries(self):
        """(offset in the volume, inode, rec_len, file type, name) of each record
        of the root directory's first block."""
        bgdt = 2 if self.block_size == 1024 else 1
        table = struct.unpack_from("<I", self.block(bgdt), BG_INODE_TABLE)[0]
        offset = table * self.block_size + (ROOT_INO - 1) * self.inode_size
        first = struct.unpack_from("<I", self.data, offset + INODE_BLOCKS)[0]
        base = first * self.block_size
        records, pos = [], 0
        while pos < self.block_size:
            ino, rec_len, name_len, ftype = struct.unpack_from("<IHBB", self.data, base + pos)
            name = self.data[base + pos + 8:base + pos + 8 + name_len].decode()
            records.append((base + pos, ino, rec_len, ftype, name))
            pos += rec_len
        return records

    def mount_reply(self, listed=None):
        """The whole reply of a successful `mount`; `listed` limits the listing
        to the first so many records."""
        out = ("[ext2] Mounting ext2 from ATA (partition LBA 2048)...\n"
               "[ext2] Magic OK, block_size=%d, inodes=%d, groups=%d\n" % (self.block_size, self.inodes, self.groups) +
               "[ext2] Volume: %s\n" % self.name +
               "[ext2] Initialized successfully\n"
               "  ext2 mounted successfully!\n"
               "  Volume: %s\n" % self.name +
               "  Root directory:\n")
        records = [r for r in self.root_entries() if r[1] != 0][:listed]
        for _off, ino, _len, ftype, name in records:
            out += "    [%s] inode=%d  %s\n" % (TYPE_LETTERS.get(ftype, "?"), ino, name)
        return out


MOUNT_FAILED = "  Failed to mount ext2\n"
MOUNT_START = "[ext2] Mounting ext2 from ATA (partition LBA 2048)...\n"


def ata_test_reply(path):
    with open(path, "rb") as f:
        sector = f.read(512)
    out = "  Reading sector 0 (MBR)...\n  First 32 bytes of sector 0:\n    "
    out += "".join("%02X " % b for b in sector[:16]) + "\n    "
    out += "".join("%02X " % b for b in sector[16:32]) + "\n"
    out += "  MBR signature: 0x%X 0x%X\n" % (sector[510], sector[511])
    return out


MEMINFO = re.compile(r"  Physical Memory:\n"
                     r"    Total pages: (\d+) \((\d+) MB\)\n"
                     r"    Free pages:  (\d+) \((\d+) MB\)\n"
                     r"    Used pages:  (\d+) \((\d+) MB\)\n")
TICKS = re.compile(r"  Timer ticks:   (\d+)\n  Uptime \(sec\):  (\d+)\n")


class Abuse(MachineTest):
    def reply(self, m, line):
        """The reply to `line` after its echo, as text."""
        got = m.command(line, timeout=120)
        echo = line.encode() + b"\r\n"
        if not got.startswith(echo):
            m.fail("echo of %r missing" % line)
        return got[len(echo):]

    def run_program(self, m, line, name):
        output = split_run(m, name, self.reply(m, line))
        problem = expected_programs.check(name, output)
        if problem:
            m.fail(problem)

    # ------------------------------------------------------------ random bytes
    def test_random_bytes_on_com1(self):
        # Seed 2024 gives 2,000 bytes with every value in them; the second run is
        # mostly printable, so its lines grow past the 255-character limit.
        rng = random.Random(2024)
        uniform = list(range(256)) + [rng.randrange(256) for _ in range(2000 - 256)]
        rng.shuffle(uniform)
        wordy = [rng.randrange(0x20, 0x7F) if rng.random() < 0.9 else rng.randrange(256) for _ in range(2000)]
        m = self.machine()
        m.boot()
        for chunk in (bytes(uniform), bytes(wordy)):
            self.assertEqual(len(chunk), 2000)
            data = defuse(chunk + b"\r")
            lines = list(edit_lines(data))
            self.assertFalse(any(is_command(text) for _s, _e, text, _echo in lines))
            want = expected_transcript(data)
            m.send(data)
            got = bytearray()
            for _ in lines:
                got += m.wait_for(PROMPT)
            if bytes(got) != want:
                m.fail("the reply to the random bytes differs\n--- expected ---\n%r" % want)
            rest = m.settle(quiet=0.5)
            self.assertEqual(rest, b"", "output after the last prompt")
            self.assertTranscript(m, m.command("help"), "help\r\n" + HELP)
        self.assertEqual(set(uniform), set(range(256)))
        self.assertTrue(any(len(text) == LINE_MAX for _s, _e, text, _echo in edit_lines(defuse(bytes(wordy) + b"\r"))))

    def test_defuse_empties_command_lines(self):
        # The filter itself: command lines, typed straight or built by editing,
        # are emptied and nothing else changes.
        data = b"halt\r  reboot\nrunx\x7f\rexecute raw\rhelpme\r"
        lines = [text for _s, _e, text, _echo in edit_lines(defuse(data))]
        self.assertEqual(lines, ["", "", "", "", "helpme"])
        self.assertEqual(defuse(b"hal\x01t\r"), b"hal\x01t" + b"\x7f" * 4 + b"\r")

    # ------------------------------------------------------------ mixed commands
    def test_five_hundred_mixed_commands(self):
        rng = random.Random(7)
        volume = Volume(DISK)
        mount = volume.mount_reply()
        ata = ("  ATA Drive Info:\n    Model:    QEMU HARDDISK\n    Serial:   QM00001\n"
               "    Sectors:  %d\n    Capacity: %d MB\n" % (os.path.getsize(DISK) // 512,
                                                          os.path.getsize(DISK) // 512 // 2048))
        exact = {
            "help": HELP,
            "   help": HELP,
            "ata": ata,
            "ata_test": ata_test_reply(DISK),
            "mount": mount,
            "apps": "  Available applications:\n" + "".join("    %s\n" % n for n in NAMES) +
                    "\n  Usage: execute <name>\n",
            "": "",
            "    ": "",
        }
        small = ["raw", "stack", "hello2"]
        large = ["fibonacci", "primes", "sort", "matrix", "guess", "ascii"]
        kinds = (["exact"] * 40 + ["meminfo"] * 10 + ["ticks"] * 10 + ["unknown"] * 15 +
                 ["not_found"] * 5 + ["small"] * 15 + ["large"] * 3 + ["run"] * 2)
        m = self.machine(disk=DISK)
        m.boot()
        first_meminfo = None
        last_ticks = 0
        counts = {}
        for _ in range(500):
            kind = rng.choice(kinds)
            counts[kind] = counts.get(kind, 0) + 1
            if kind == "exact":
                line = rng.choice(sorted(exact))
                self.assertTranscript(m, self.reply(m, line), exact[line])
            elif kind == "meminfo":
                got = self.reply(m, "meminfo").decode()
                match = MEMINFO.fullmatch(got)
                if not match:
                    m.fail("meminfo reply malformed")
                total, total_mb, free, free_mb, used, used_mb = map(int, match.groups())
                self.assertEqual((total - free, total * 4 >> 10, free * 4 >> 10, used * 4 >> 10),
                                 (used, total_mb, free_mb, used_mb))
                # Nothing allocates after start-up: the counts never move.
                if first_meminfo is None:
                    first_meminfo = got
                self.assertTranscript(m, got, first_meminfo)
            elif kind == "ticks":
                match = TICKS.fullmatch(self.reply(m, "ticks").decode())
                if not match:
                    m.fail("ticks reply malformed")
                ticks, seconds = map(int, match.groups())
                self.assertGreaterEqual(ticks, last_ticks)
                self.assertIn(seconds, (ticks // 100, (ticks + 1) // 100))
                last_ticks = ticks
            elif kind == "unknown":
                word = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_ -") for _ in range(rng.randint(1, 40)))
                if is_command(word) or not word.strip(" "):
                    word = "x" + word
                self.assertTranscript(m, self.reply(m, word), unknown(word.lstrip(" ")))
            elif kind == "not_found":
                name = rng.choice(["hello", "", "Raw", "stack ", " primes", "exec", "x" * 200])
                self.assertTranscript(m, self.reply(m, EXECUTE_PREFIX + name),
                                      "  '%s': application not found.\n%s" % (name, AVAILABLE))
            elif kind == "run":
                self.run_program(m, "run", "hello")
            else:
                name = rng.choice(small if kind == "small" else large)
                self.run_program(m, EXECUTE_PREFIX + name, name)
        # Every kind was exercised, and the shell still answers exactly.
        self.assertEqual(set(counts), set(kinds))
        self.assertEqual(sum(counts.values()), 500)
        self.assertTranscript(m, self.reply(m, "help"), HELP)

    # ------------------------------------------------------------ programs
    def test_every_program_ten_times_in_a_row(self):
        m = self.machine()
        m.boot()
        for name in NAMES + ["hello"]:
            line = "run" if name == "hello" else EXECUTE_PREFIX + name
            for _ in range(10):
                self.run_program(m, line, name)
        self.assertTranscript(m, self.reply(m, "help"), HELP)

    def test_keys_typed_on_the_keyboard_while_programs_run(self):
        # Keys pressed during a run wait in the key ring (whether the program has
        # ended by the time they arrive or not) and make up the next line.
        rng = random.Random(11)
        m = self.machine()
        m.boot()
        for name in (NAMES + ["hello"]) * 3:
            line = "run" if name == "hello" else EXECUTE_PREFIX + name
            letters = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 5)))
            if is_command(letters):
                letters += "q"
            m.send((line + "\r").encode())
            # The keys follow the echo, so they cannot overtake the serial line.
            m.wait_for(line + "\r\n")
            m.send_keys(list(letters))
            reply = m.wait_for(PROMPT, timeout=120)[:-len(PROMPT)]
            problem = expected_programs.check(name, split_run(m, name, reply))
            if problem:
                m.fail(problem)
            m.send_keys(["ret"])
            self.assertTranscript(m, m.wait_for(PROMPT), letters + "\r\n" + unknown(letters) + "tarvelin> ")

    # ------------------------------------------------------------ malformed volumes
    def test_malformed_volumes_mounted_again_and_again(self):
        tmp = tempfile.mkdtemp(prefix="tarvelin-abuse-")
        self.addCleanup(shutil.rmtree, tmp)
        src = os.path.join(tmp, "src")
        os.makedirs(os.path.join(src, "sub"))
        for name, text in [("alpha.txt", "alpha\n"), ("beta.txt", "beta\n"), ("gamma.txt", "gamma\n")]:
            with open(os.path.join(src, name), "w") as f:
                f.write(text)
        image = os.path.join(tmp, "disk.img")
        subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), image, src,
                        "--size-mib", "4"], check=True)
        with open(image, "rb") as f:
            pristine = f.read()
        volume = Volume(image)
        records = volume.root_entries()
        self.assertGreaterEqual(len([r for r in records if r[1]]), 6)  # . .. lost+found sub and 3 files
        sb = PARTITION_OFFSET + SB_OFFSET
        ipg = volume.inodes_per_group

        def field(offset, fmt, value):
            return [(sb + offset, struct.pack(fmt, value))]

        # Third record of the root directory: "." and ".." are listed, then the
        # walk meets a record length of 0 and the listing ends.
        third = records[2][0]
        cases = [
            ("bad magic", field(SB_MAGIC, "<H", 0x1234),
             MOUNT_START + "[ext2] Bad magic: 0x1234 (expected 0xEF53)\n" + MOUNT_FAILED),
            ("no blocks per group", field(SB_BLOCKS_PER_GROUP, "<I", 0),
             MOUNT_START + "[ext2] Bad superblock: 0 blocks and %d inodes per group\n" % ipg + MOUNT_FAILED),
            ("inode size 100", field(SB_INODE_SIZE, "<H", 100),
             MOUNT_START + "[ext2] Bad inode size 100\n" + MOUNT_FAILED),
            ("inode size above the block", field(SB_INODE_SIZE, "<H", 2048),
             MOUNT_START + "[ext2] Bad inode size 2048\n" + MOUNT_FAILED),
            ("8 KiB blocks", field(SB_LOG_BLOCK_SIZE, "<I", 3),
             MOUNT_START + "[ext2] Unsupported block size (s_log_block_size=3, at most 4096 bytes)\n" +
             MOUNT_FAILED),
            ("record length 0", [(PARTITION_OFFSET + third + 4, struct.pack("<H", 0))],
             volume.mount_reply(listed=2)),
        ]
        self.assertEqual(struct.unpack_from("<I", pristine, sb + SB_REV_LEVEL)[0], 1)

        # One boot: the image is rewritten between mounts. The kernel keeps no
        # block cache, so every mount reads the volume afresh.
        m = self.machine(disk=image)
        m.boot()
        good = volume.mount_reply()
        self.assertTranscript(m, self.reply(m, "mount"), good)
        for label, patches, want in cases:
            with self.subTest(label):
                data = bytearray(pristine)
                for offset, raw in patches:
                    data[offset:offset + len(raw)] = raw
                self.assertNotEqual(bytes(data), pristine)
                with open(image, "r+b") as f:
                    f.write(data)
                for _ in range(10):
                    self.assertTranscript(m, self.reply(m, "mount"), want)
                    self.assertTranscript(m, self.reply(m, "help"), HELP)
                with open(image, "r+b") as f:
                    f.write(pristine)
                self.assertTranscript(m, self.reply(m, "mount"), good)


if __name__ == "__main__":
    main()
