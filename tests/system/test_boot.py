"""A machine without a disk, each behaviour on a machine of its own: the shell's replies and
line editor, every carried program, the screen, the PS/2 keyboard, the interrupt controllers,
the timer, an NMI, halt and reboot; a processor without long mode, and the test image's
programs in ring 3."""

import os
import re
import subprocess

from machine import BUILD, PROMPT, MachineTest, main, programs, read, symbols

NO_DRIVE = ["[ata] No drive detected (status=0x0)"]
TICKS = read("shell.txt")[read("shell.txt").index("tarvelin> ticks"):][:3]


def boot(m, probe=NO_DRIVE, kernel="kernel.elf", lines="boot.txt", **values):
    sym = symbols(kernel)
    return m.session(lines, probe=probe, lstar="%X" % sym["syscall_entry"], kernel_end="%X" % sym["kernel_end"],
                     **values)


class Boot(MachineTest):
    def booted(self):
        """A machine at its first prompt, its RSP then, and meminfo's figures: start-up's less the heap's."""
        m = self.machine()
        rsp, total, free, mb = boot(m)[3:]
        self.assertEqual(mb, free * 4 >> 10)
        return m, rsp, [n for pages in (total, free - 2048, total - free + 2048) for n in (pages, pages * 4 >> 10)]

    def test_shell_replies_and_meminfo(self):
        m, _, meminfo = self.booted()
        self.assertEqual(m.session("shell.txt", long="a" * 255, short="a" * 254)[:6], meminfo)

    def test_programs_twice(self):
        m = self.booted()[0]
        for _ in range(2):  # every launch starts from a fresh image
            numbers = m.session("programs.txt", **programs())
            # Page-directory flags: present, writable, user, 2 MiB (accessed and dirty as they come).
            self.assertEqual({v & 0x9F for v in numbers if v < 0x100}, {0x87})
            stack, heap = [v for v in numbers if v >= 0x100]  # ascii's: the heap follows the image
            self.assertTrue(0x10000000 <= stack < 0x10010000, hex(stack))
            self.assertEqual(heap, (symbols("applications/ascii.elf")["_end"] + 15) & ~15)

    def test_screen(self):
        # The greeting on row 0, light grey on black, the rest blank, the cursor below it.
        m = self.booted()[0]
        self.assertEqual(m.memory(0xB8000, 4000), b"".join(bytes([c, 7]) for c in b"Tarvelin VGA active.".ljust(2000)))
        self.assertEqual([m.outb(0x3D4, register).inb(0x3D5) for register in (0x0E, 0x0F)], [0, 80])

    def test_keyboard(self):
        # The whole layout, its extended keys and modifiers, and a meminfo typed on it.
        m, _, meminfo = self.booted()
        self.assertEqual(m.session("keyboard.txt")[:6], meminfo)

    def test_pic_masks(self):
        # After a key and a program: both controllers remapped, only the timer, keyboard and COM1
        # open, nothing left unacknowledged.
        m, runs = self.booted()[0], read("programs.txt")
        raw = runs[runs.index("tarvelin> execute raw"):runs.index("tarvelin> execute stack")]
        m.session(["tarvelin> ", "<<< keys: ret"] + raw, **programs())
        self.assertRegex(m.hmp("info pic"), r"pic1: irr=.. imr=ff isr=00 hprio=0 irq_base=28(.|\n)*"
                                            r"pic0: irr=.. imr=ec isr=00 hprio=0 irq_base=20")

    def test_pit(self):
        # Channel 0: low then high byte, rate generator, binary, counting down from 1193182 / 100;
        # its interrupts counted as ticks, and a second for every hundred of them.
        m = self.booted()[0]
        self.assertEqual(m.outb(0x43, 0xE2).inb(0x40), 0x34)
        counts = [m.outb(0x43, 0).inb(0x40) | m.inb(0x40) << 8 for _ in range(30)]  # latched, low byte first
        self.assertTrue(11931 // 2 < max(counts) <= 11931, counts)
        count, seconds = m.session(TICKS)
        self.assertIn(seconds, (count // 100, (count + 1) // 100))  # seconds are read a moment later
        self.assertTrue(any(m.session(TICKS)[0] > count for _ in range(1000)), "no tick came")

    def test_nmi(self):
        # Reported with where the kernel was, on the kernel's stack as at start-up, then the machine halts.
        (m, boot_rsp, _), sym = self.booted(), symbols()
        m.qmp("inject-nmi")
        rip, rflags, *_, rsp, _ = m.session("nmi.txt")
        self.assertTrue(0x100000 <= rip < sym["kernel_end"] and rflags & 2, (hex(rip), hex(rflags)))
        self.assertTrue(all(sym["kernel_stack_bottom"] <= r <= sym["kernel_stack_top"] for r in (boot_rsp, rsp)))

    def test_halt(self):
        m = self.machine()
        boot(m)
        m.session("halt.txt")
        m.send(b"help\r")
        m.expect("help", "", stop=True)

    def test_reboot(self):
        m = self.machine()
        boot(m)
        m.session("reboot.txt")
        self.assertEqual(m.proc.wait(30), 0)  # -no-reboot turns the reset into QEMU's exit

    def test_no_long_mode(self):
        self.machine(cpu="qemu32").expect(None, "P!", stop=True)


    def test_entry_stubs(self):  # a zero stands in unless the processor pushed an error code; then the vector
        code = subprocess.check_output(["objdump", "-d", os.path.join(BUILD, "kernel.elf")], text=True)
        self.assertEqual({int(n): re.findall(r"push\s+\$(0x\w+)", body) for n, body in
                          re.findall(r"<isr_stub_(\d+)>:\n((?:.+\n)+)", code)},
                         {n: ["0x0"] * (n not in (8, 10, 11, 12, 13, 14, 17, 21, 29, 30)) + [hex(n)]
                          for n in range(256)})

    def test_ring3(self):
        # Keys pressed while a program spins in ring 3 make up the next line.
        m = self.machine(iso=os.path.join(BUILD, "tarvelin-test.iso"))
        boot(m, kernel="kernel_test.elf")
        m.send(b"execute spin\r")
        m.until(b"spin: start\n")
        m.keys(["a"] * 20)
        m.expect("execute spin", "spin: done\n\n  " + "-" * 40 + "\n  Returned to kernel shell.\n" + PROMPT)
        m.keys(["ret"])
        m.expect("ret", "%s{0D}\n  Unknown: '%s'. Type 'apps' for applications.\n" % ("a" * 20, "a" * 20) + PROMPT)
        m.session("ring3.txt", **programs())


if __name__ == "__main__":
    main()
