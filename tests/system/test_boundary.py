"""The ring-3 boundary, attacked by the test kernel's hostile programs, and text
from outside (a volume's names and label, a drive's identity) kept from driving
the operator's terminal."""

import os
import re
import shutil
import subprocess
import tempfile

from harness import BUILD, MachineTest, main

TEST_ISO = os.path.join(BUILD, "tarvelin-test.iso")
SECTOR = 512
VOLUME_OFFSET = 2048 * SECTOR
SEPARATOR = "  ----------------------------------------\n"
RETURNED = "\n" + SEPARATOR + "  Returned to kernel shell.\n"
GP_FROM_RING3 = re.compile(r"\n  \[EXCEPTION\] Interrupt 13, Error: 0\n  RIP=40[0-9A-F]{4} CS=23 RFLAGS=[0-9A-F]+\n"
                           r"  RAX=[0-9A-F]+ RBX=[0-9A-F]+ RCX=[0-9A-F]+ RDX=[0-9A-F]+\n"
                           r"  RSP=[0-9A-F]+ RBP=[0-9A-F]+\n  System halted.\n")


def escaped(raw):
    """How the kernel shows outside bytes: controls and DEL as \\xNN, the rest as it is."""
    return b"".join(b"\\x%02X" % c if c < 0x20 or c == 0x7F else bytes([c]) for c in raw)


def pic_masks(m):
    """(master, slave) interrupt masks, from the monitor's `info pic`."""
    found = dict(re.findall(r"^(pic[01]):.* imr=([0-9a-f]+)", m.hmp("info pic"), re.M))
    return int(found["pic0"], 16), int(found["pic1"], 16)


def program_output(m, name):
    """What `execute name` printed between the launch separator and the closing lines."""
    got = m.command("execute " + name).decode(errors="replace")
    return got.partition(SEPARATOR)[2]


class Boundary(MachineTest):
    def test_trap_flag_and_wild_buffers_do_not_reach_the_kernel(self):
        m = self.machine(iso=TEST_ISO)
        m.boot()
        # trapflag enters SYSCALL with TF set and RSP aimed at 0x110000, in the
        # kernel's code: it must simply exit, with nothing written there.
        target = 0x110000
        before = m.read_mem(target - 1024, 1088)
        m.check(program_output(m, "trapflag"), "trapflag: rsp=0x110000\n" + RETURNED)
        self.assertEqual(m.read_mem(target - 1024, 1088), before, "kernel memory changed under the program's RSP")
        # Every buffer not wholly the program's is refused (R) and nothing of it
        # is sent; the program's own buffer goes out (ok) and is accepted (A).
        m.check(program_output(m, "wildwrite"), "wildwrite: RRRRRokA\n" + RETURNED)

    def test_nmi_runs_on_its_own_stack(self):
        m = self.machine(iso=TEST_ISO)
        m.boot()
        m.qmp("inject-nmi")
        m.wait_for("  System halted.\n")
        # The second interrupt stack holds the NMI's frame at its top: vector 2,
        # error 0, then the processor's RIP and CS 0x08.
        nm = subprocess.run(["nm", "-C", os.path.join(BUILD, "kernel_test.elf")], capture_output=True,
                            text=True, check=True).stdout
        stacks = int(re.search(r"^([0-9a-f]+) \w .*\bist_stacks$", nm, re.M).group(1), 16)
        vector, error, _, cs = m.xp(4, "g", stacks + 2 * 4096 - 56)
        self.assertEqual((vector, error, cs), (2, 0, 8))

    def test_port_access_in_ring3_faults_before_the_device(self):
        with tempfile.TemporaryDirectory() as tmp:
            for program in ["outpic", "outata", "inata"]:
                with self.subTest(program=program):
                    disk = os.path.join(tmp, "disk.img")
                    shutil.copyfile(os.path.join(BUILD, "disk.img"), disk)
                    m = self.machine(iso=TEST_ISO, extra_args=[
                        "-drive", "file=%s,format=raw,if=ide,index=0,media=disk" % disk])
                    m.boot()
                    m.send("execute %s\r" % program)
                    m.wait_for("ioport: trying\n")
                    report = m.wait_for("  System halted.\n").decode(errors="replace")
                    if not GP_FROM_RING3.fullmatch(report):
                        m.fail("no protection fault from ring 3: %r" % report)
                    # The masks the launch path set: only the keyboard open.
                    self.assertEqual(pic_masks(m), (0xFD, 0xFF))
                    m.stop()
                    with open(disk, "rb") as got, open(os.path.join(BUILD, "disk.img"), "rb") as want:
                        self.assertEqual(got.read(SECTOR), want.read(SECTOR), "sector 0 was written")

    def test_outside_text_is_escaped(self):
        names = [b"bell\x07", b"esc\x1b[31mred", b"del\x7f", b"caf\xc3\xa9"]
        label = b"lab\x1b]0;x\x07"
        model, serial = b"Q\x1b]0;pwned\x07\x7fX", b"S\x1b[2J9"
        with tempfile.TemporaryDirectory() as tmp:
            tree = os.path.join(tmp, "tree")
            os.mkdir(tree)
            for name in names:
                with open(os.path.join(os.fsencode(tree), name), "w") as f:
                    f.write("x")
            volume, disk = os.path.join(tmp, "volume"), os.path.join(tmp, "disk.img")
            subprocess.run([b"mkfs.ext2", b"-q", b"-F", b"-b", b"1024", b"-L", label, b"-d", os.fsencode(tree),
                            os.fsencode(volume), b"4096"], check=True, stdout=subprocess.DEVNULL)
            listing = subprocess.run(["debugfs", "-R", "ls -p /", volume], capture_output=True, check=True).stdout
            with open(disk, "wb") as out, open(volume, "rb") as vol:
                out.write(bytes(VOLUME_OFFSET) + vol.read())
            m = self.machine(extra_args=[
                "-drive", "file=%s,format=raw,if=none,id=d0,snapshot=on" % disk,
                b"-device", b"ide-hd,drive=d0,bus=ide.0,unit=0,model=" + model + b",serial=" + serial])
            identity = b"Model:    " + escaped(model) + b"\n%sSerial:   " + escaped(serial) + b"\n"
            self.assertIn(identity.replace(b"%s", b"[ata] "), m.boot().encode())
            got = m.command("ata")
            self.assertIn(b"    " + identity.replace(b"%s", b"    "), got)
            want = [b"  ext2 mounted successfully!\n  Volume: " + escaped(label) + b"\n  Root directory:\n"]
            for line in listing.splitlines():
                fields = line.split(b"/")
                if len(fields) > 5:
                    kind = {b"04": b"D", b"10": b"F", b"12": b"L"}.get(fields[2][:2], b"?")
                    want.append(b"    [%s] inode=%s  %s\n" % (kind, fields[1], escaped(fields[5])))
            got = m.command("mount")
            self.assertIn(b"[ext2] Volume: " + escaped(label) + b"\n", got)
            m.check(got[got.index(b"  ext2 mounted"):], b"".join(want).decode(errors="replace"))


if __name__ == "__main__":
    main()
