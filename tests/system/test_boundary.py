"""The ring-3 boundary, attacked by the test kernel's hostile programs (tests/programs) and
watched for what one program leaves the next, and text from outside (a volume's names and
label, a drive's identity) kept from driving the operator's terminal."""

import os
import re
import shutil
import subprocess
import tempfile
import time

from machine import BUILD, MachineTest, main, programs, read, symbols
from test_boot import TICKS, boot
from test_disk import Volume

TEST_ISO = os.path.join(BUILD, "tarvelin-test.iso")
TARGET = 0x110000  # where trapflag aims RSP: the kernel's code


def escaped(raw):
    """Outside bytes as the kernel shows them: controls and DEL as \\xNN, the rest as they are."""
    return b"".join(b"\\x%02X" % c if c < 0x20 or c == 0x7F else bytes([c]) for c in raw).decode()


class Boundary(MachineTest):
    def test_trap_flag_wild_buffers_and_nmi_stack(self):
        disk = os.path.join(BUILD, "disk.img")  # mounted after wildcalls, for filecalls' paths
        m, volume = self.machine(iso=TEST_ISO, disk=disk), Volume(disk).values()
        boot(m, kernel="kernel_test.elf", probe=read("probe.txt"), **volume)
        # trapflag enters SYSCALL with TF set and RSP in the kernel's code: it just exits,
        # nothing written there. wildwrite's buffers not wholly its own are refused (R),
        # nothing of them sent; its own buffer goes out (ok) and is accepted (A).
        before, values = m.memory(TARGET - 1024, 1088), programs()
        m.session("boundary.txt", **values, **volume)
        session = read("boundary.txt")  # filecalls again: its descriptors went with it
        m.session(session[session.index("tarvelin> execute filecalls"):], **values)
        self.assertEqual(m.memory(TARGET - 1024, 1088), before, "kernel memory changed under the program's RSP")
        for _ in range(2):  # each run finds the whole stack zero, though trapflag and the run before wrote it
            m.session("freshstack.txt", **values)
        # clocks, twice, with half a second of the shell's ticks between. Each bound holds on the
        # slowest host: a reading lies within the host's time around it (QEMU's CMOS clock is
        # the host's, to the second below), and no tick comes early.
        sent = time.time()
        first = m.session("clocks.txt", **values)[-4:]
        ticks = m.session(TICKS)[0]
        time.sleep(0.5)
        ticks = m.session(TICKS)[0] - ticks
        second = m.session("clocks.txt", **values)[-4:]
        done = time.time()
        for now, real, asleep, awake in first, second:
            self.assertTrue(int(sent) - 3 <= now <= real <= done + 1, (sent, now, real, done))
            self.assertGreaterEqual(awake - asleep, 10 ** 7)  # the 10 ms nanosleep, on the monotonic clock
        elapsed = second[2] - first[2]
        self.assertTrue((ticks - 1) * 10 ** 7 <= elapsed <= (done - sent) * 10 ** 9, (ticks, elapsed, done - sent))
        # An NMI leaves its frame on its own stack (IST 2): vector 2, error 0, RIP, CS 0x08.
        m.qmp("inject-nmi")
        m.session("nmi.txt")
        top = symbols("kernel_test.elf")["_ZN12_GLOBAL__N_110ist_stacksE"] + 2 * 4096
        vector, error, _, cs = (int.from_bytes(m.memory(top - 56 + 8 * i, 8), "little") for i in range(4))
        self.assertEqual((vector, error, cs), (2, 0, 8))

    def test_ports_fault_in_ring3_before_the_device(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = os.path.join(tmp, "disk.img")
            for program in ["outpic", "outata", "inata"]:
                with self.subTest(program=program):
                    shutil.copyfile(os.path.join(BUILD, "disk.img"), disk)  # written through: no snapshot
                    m = self.machine(iso=TEST_ISO, extra_args=["-drive", "file=%s,format=raw,if=ide" % disk])
                    boot(m, kernel="kernel_test.elf", probe=["[ata] {*}"] * 5)
                    m.session("ioport.txt", program=program, load=programs()["load_" + program])
                    masks = re.findall(r"imr=(\w\w)", m.hmp("info pic"))
                    self.assertEqual(masks, ["ff", "ed"])  # as the launch path left them: keyboard and COM1 open
                    m.stop()
                    with open(disk, "rb") as got, open(os.path.join(BUILD, "disk.img"), "rb") as want:
                        self.assertEqual(got.read(), want.read(), "the disk was written")

    def test_outside_text_is_escaped(self):
        names = [b"bell\x07", b"esc\x1b[31mred", b"del\x7f", b"caf\xc3\xa9"]
        label, model, serial = b"lab\x1b]0;x\x07", b"Q\x1b]0;pwned\x07\x7fX", b"S\x1b[2J9"
        with tempfile.TemporaryDirectory() as tmp:
            tree, volume, disk = (os.path.join(tmp, n) for n in ("tree", "volume", "disk.img"))
            os.mkdir(tree)
            for name in names:
                open(os.path.join(os.fsencode(tree), name), "w").close()
            subprocess.run([b"mkfs.ext2", b"-q", b"-F", b"-b", b"1024", b"-L", label, b"-d", tree.encode(),
                            volume.encode(), b"4096"], check=True, stdout=subprocess.DEVNULL)
            listing = subprocess.run(["debugfs", "-R", "ls -p /", volume], capture_output=True, check=True).stdout
            with open(disk, "wb") as out, open(volume, "rb") as vol:
                out.write(bytes(2048 * 512) + vol.read())
            m = self.machine(extra_args=["-drive", "file=%s,format=raw,if=none,id=d0,snapshot=on" % disk, "-device",
                                         b"ide-hd,drive=d0,bus=ide.0,unit=0,model=%s,serial=%s" % (model, serial)])
            identity = ["Model:    " + escaped(model), "Serial:   " + escaped(serial)]
            boot(m, probe=["[ata] Drive detected, status=0x50"] + ["[ata] " + x for x in identity] +
                 ["[ata] Sectors:  {n} ({n} MB)", "[ata] ATA PIO driver ready."])
            rows = [f.split(b"/") for f in listing.splitlines() if f.startswith(b"/")]
            kinds = {b"04": "D", b"10": "F", b"12": "L"}
            m.session([
                "tarvelin> ata", "  ATA Drive Info:"] + ["    " + x for x in identity] + [
                "    Sectors:  {n}", "    Capacity: {n} MB",
                "tarvelin> mount", "[ext2] Mounting ext2 from ATA (partition LBA 2048)...",
                "[ext2] Magic OK, block_size=1024, inodes={n}, groups={n}", "[ext2] Volume: " + escaped(label),
                "[ext2] Initialized successfully", "  ext2 mounted successfully!", "  Volume: " + escaped(label),
                "  Root directory:"] + ["    [%s] inode=%s  %s" % (kinds.get(r[2][:2], "?"), r[1].decode(), escaped(r[5]))
                                        for r in rows])


if __name__ == "__main__":
    main()
