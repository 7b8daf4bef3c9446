"""Interrupts on an emulated machine (an NMI's exception report), and the entry stubs and
their table as the built image holds them."""

import os
import re
import subprocess
import unittest

from expected import symbol
from harness import BUILD, MachineTest, main

ELF = os.path.join(BUILD, "kernel.elf")
NMI_REPORT = re.compile(r"\n  \[EXCEPTION\] Interrupt 2, Error: 0\n  RIP=(%(h)s) CS=8 RFLAGS=(%(h)s)\n"
                        r"  RAX=%(h)s RBX=%(h)s RCX=%(h)s RDX=%(h)s\n  RSP=(%(h)s) RBP=%(h)s\n  System halted\.\n\Z"
                        % {"h": "[0-9A-F]+"})
ERROR_CODE_VECTORS = {8, 10, 11, 12, 13, 14, 17, 21, 29, 30}
# interrupt_frame from its lowest address: isr_common pushes these in reverse.
FRAME_REGISTERS = "r15 r14 r13 r12 r11 r10 r9 r8 rbp rdi rsi rdx rcx rbx rax".split()


def objdump(*args):
    return subprocess.run(["objdump", *args, ELF], check=True, capture_output=True, text=True).stdout


def disassembly():
    """{function: [instruction, ...]} of the kernel image."""
    functions, current = {}, None
    for line in objdump("-d", "--no-show-raw-insn").splitlines():
        head = re.match(r"^[0-9a-f]+ <([^>]+)>:$", line)
        if head:
            current = functions.setdefault(head.group(1), [])
        elif current is not None and re.match(r"^\s+[0-9a-f]+:\t", line):
            current.append(line.split("\t", 1)[1].strip())
    return functions


class Interrupts(MachineTest):
    def test_nmi_is_reported_without_cr2_and_halts(self):
        m = self.machine()
        m.boot()
        m.qmp("inject-nmi")
        got = m.wait_for("  System halted.\n").decode()
        match = NMI_REPORT.search(got)
        if not match:
            m.fail("report differs")
        rip, rflags, rsp = (int(v, 16) for v in match.groups())
        # The NMI came while the shell waited for input: kernel code, on the kernel stack.
        self.assertTrue(0x100000 <= rip < symbol("kernel_end"), hex(rip))
        self.assertTrue(symbol("kernel_stack_bottom") <= rsp <= symbol("kernel_stack_top"), hex(rsp))
        self.assertTrue(rflags & 0x2, hex(rflags))  # the bit that always reads 1
        # Halted for good: nothing more is printed and the processor sits in hlt.
        self.assertEqual(m.settle(quiet=1.0), b"")
        self.assertRegex(m.hmp("info registers"), r"HLT=1")


class EntryCode(unittest.TestCase):
    def test_stubs_push_a_zero_unless_the_cpu_pushed_a_code_then_the_vector(self):
        code = disassembly()
        for n in range(256):
            body = code.get("isr_stub_%d" % n, [])
            pushes = [ins.split()[1] for ins in body if ins.startswith("push")]
            self.assertEqual(pushes, (["$0x0"] if n not in ERROR_CODE_VECTORS else []) + ["$0x%x" % n], n)
            self.assertRegex(body[-1], r"^jmp\s+[0-9a-f]+ <isr_common>$", n)

    def test_table_lists_the_stubs_in_vector_order(self):
        start = symbol("isr_stub_table")
        dump = objdump("-s", "--start-address=0x%x" % start, "--stop-address=0x%x" % (start + 256 * 8))
        table = bytes.fromhex("".join("".join(line.split("  ")[0].split()[1:]) for line in dump.splitlines()
                                      if re.match(r"^ [0-9a-f]+ ", line)))
        self.assertEqual([int.from_bytes(table[n * 8:n * 8 + 8], "little") for n in range(len(table) // 8)],
                         [symbol("isr_stub_%d" % n) for n in range(256)])

    def test_common_path_saves_in_frame_order_and_drops_two_words(self):
        body = disassembly()["isr_common"]
        regs = lambda op: [ins.split()[1].lstrip("%") for ins in body if ins.startswith(op)]  # noqa: E731
        self.assertEqual((regs("push"), regs("pop")), (FRAME_REGISTERS[::-1], FRAME_REGISTERS))
        call = next(i for i, ins in enumerate(body) if ins.startswith("call"))
        self.assertRegex(body[call], r"<isr_dispatch>$")
        self.assertIn("mov    %rsp,%rdi", body[:call])
        self.assertEqual(body[-2:], ["add    $0x10,%rsp", "iretq"])


if __name__ == "__main__":
    main()
