"""Interrupts on a real (emulated) machine: the exception report for an NMI,
and the entry stubs as the image actually contains them. (Ticks reaching the
counter are seen through the shell's `ticks` command.)"""

import functools
import os
import re
import subprocess
import unittest

from expected import kernel_end
from harness import BUILD, MachineTest, main

HEX = r"([0-9A-F]+)"
NMI_REPORT = re.compile(
    r"\n  \[EXCEPTION\] Interrupt 2, Error: 0\n"
    r"  RIP=%(h)s CS=8 RFLAGS=%(h)s\n"
    r"  RAX=%(h)s RBX=%(h)s RCX=%(h)s RDX=%(h)s\n"
    r"  RSP=%(h)s RBP=%(h)s\n"
    r"  System halted\.\n" % {"h": HEX})

RFLAGS_ALWAYS_ONE = 0x2
RFLAGS_IF = 0x200

ERROR_CODE_VECTORS = {8, 10, 11, 12, 13, 14, 17, 21, 29, 30}
# interrupt_frame from its lowest address: isr_common must push these in reverse.
FRAME_REGISTERS = ["r15", "r14", "r13", "r12", "r11", "r10", "r9", "r8",
                   "rbp", "rdi", "rsi", "rdx", "rcx", "rbx", "rax"]


@functools.lru_cache(maxsize=None)
def symbols():
    """{source-level name: address} of the kernel image."""
    out = subprocess.run(["nm", "-C", os.path.join(BUILD, "kernel.elf")], check=True,
                         capture_output=True, text=True).stdout
    table = {}
    for line in out.splitlines():
        parts = line.split(maxsplit=2)
        if len(parts) == 3:
            table[parts[2]] = int(parts[0], 16)
    return table


def symbol(name):
    if name not in symbols():
        raise AssertionError("%s not in kernel.elf" % name)
    return symbols()[name]


def disassembly():
    """{function name: [instruction text, ...]} for the kernel image."""
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", os.path.join(BUILD, "kernel.elf")],
                         check=True, capture_output=True, text=True).stdout
    functions, current = {}, None
    for line in out.splitlines():
        m = re.match(r"^[0-9a-f]+ <([^>]+)>:$", line)
        if m:
            current = functions.setdefault(m.group(1), [])
        elif current is not None and re.match(r"^\s+[0-9a-f]+:\t", line):
            current.append(line.split("\t", 1)[1].strip())
    return functions


def read_image(addr, size):
    """`size` bytes of the kernel image at link address `addr`."""
    out = subprocess.run(["objdump", "-s", "--start-address=0x%x" % addr,
                          "--stop-address=0x%x" % (addr + size), os.path.join(BUILD, "kernel.elf")],
                         check=True, capture_output=True, text=True).stdout
    data = bytearray()
    for line in out.splitlines():
        m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8} ?)+)", line)
        if m:
            data += bytes.fromhex(m.group(2).replace(" ", ""))
    return bytes(data[:size])


class Interrupts(MachineTest):
    def test_nmi_is_reported_without_cr2_and_halts(self):
        m = self.machine()
        m.boot()
        m.qmp.execute("inject-nmi")
        got = m.wait_for("  System halted.\n").decode("utf-8")
        start = got.rfind("\n  [EXCEPTION] ")
        if start < 0:
            m.fail("no exception report")
        report = got[start:]
        match = NMI_REPORT.fullmatch(report)
        if not match:
            m.fail("report differs: %r" % report)
        self.assertNotIn("CR2", report)
        rip, rflags, rsp = (int(match.group(i), 16) for i in (1, 2, 7))
        # The NMI arrived while the shell waited for input: kernel code, on the
        # kernel stack.
        self.assertTrue(0x100000 <= rip < kernel_end(), hex(rip))
        self.assertTrue(symbol("kernel_stack_bottom") <= rsp <= symbol("kernel_stack_top"), hex(rsp))
        self.assertTrue(rflags & RFLAGS_ALWAYS_ONE, hex(rflags))
        # Halted for good: nothing more is printed and the processor sits in hlt.
        self.assertEqual(m.settle(quiet=1.0), b"")
        self.assertTrue(re.search(r"HLT=1", m.hmp("info registers")))


class EntryCode(unittest.TestCase):
    """The stubs and the table in the built image, without running it."""

    def test_stubs_push_the_vector_after_a_zero_unless_the_cpu_pushed_a_code(self):
        code = disassembly()
        for n in range(256):
            body = code.get("isr_stub_%d" % n)
            self.assertIsNotNone(body, "isr_stub_%d missing" % n)
            pushes = [ins.split()[1] for ins in body if ins.startswith("push")]
            want = ["$0x%x" % n] if n in ERROR_CODE_VECTORS else ["$0x0", "$0x%x" % n]
            self.assertEqual(pushes, want, "isr_stub_%d" % n)
            self.assertRegex(body[-1], r"^jmp\s+[0-9a-f]+ <isr_common>$", "isr_stub_%d" % n)

    def test_table_lists_the_stubs_in_vector_order(self):
        table = read_image(symbol("isr_stub_table"), 256 * 8)
        self.assertEqual(len(table), 256 * 8)
        for n in range(256):
            entry = int.from_bytes(table[n * 8:n * 8 + 8], "little")
            self.assertEqual(entry, symbol("isr_stub_%d" % n), "entry %d" % n)

    def test_common_path_saves_in_frame_order_and_drops_two_words(self):
        body = disassembly()["isr_common"]
        pushed = [ins.split()[1].lstrip("%") for ins in body if ins.startswith("push")]
        popped = [ins.split()[1].lstrip("%") for ins in body if ins.startswith("pop")]
        self.assertEqual(pushed, list(reversed(FRAME_REGISTERS)))
        self.assertEqual(popped, FRAME_REGISTERS)
        call = next(i for i, ins in enumerate(body) if ins.startswith("call"))
        self.assertRegex(body[call], r"<isr_dispatch>$")
        self.assertIn("mov    %rsp,%rdi", body[:call])
        self.assertEqual(body[-2:], ["add    $0x10,%rsp", "iretq"])


if __name__ == "__main__":
    main()
