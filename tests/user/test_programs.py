"""What no QEMU test sees of the user programs: scripts/check-no-fpu itself, and the runtime's
self-test, which no shell command starts (the programs use Linux's system-call numbers, so it
runs as it is on this x86-64 host)."""

import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("TARVELIN_BUILD", os.path.join(HERE, "..", "..", "build"))
CHECKER = os.path.join(HERE, "..", "..", "scripts", "check-no-fpu")
INTEGER = "push %rbp\nmov %fs:0x28, %rax\nrep stosb\nlock cmpxchg %rcx, (%rdx)\ncs nopw 0x0(%rax,%rax,1)\nsyscall\n"
FORBIDDEN = ["movaps %xmm0, %xmm1", "movq %rax, %xmm0", "cvtsi2sd %eax, %xmm3", "vmovdqu %ymm1, (%rax)", "vzeroupper",
             "paddb %mm0, %mm1", "emms", "fld1", "fnstcw (%rsp)", "fxsave (%rax)", "ldmxcsr (%rsp)", "xsave (%rax)"]


class User(unittest.TestCase):
    def test_check_no_fpu(self):
        with tempfile.TemporaryDirectory() as tmp:
            obj = os.path.join(tmp, "t.o")
            self.assertEqual(subprocess.run([CHECKER, obj], capture_output=True).returncode, 2)  # no such file
            for body, code in [(INTEGER, 0)] + [(INTEGER + insn, 1) for insn in FORBIDDEN]:
                with open(os.path.join(tmp, "t.s"), "w") as f:
                    f.write(".text\n_start:\n%s\n" % body)
                subprocess.run(["as", "--64", f.name, "-o", obj], check=True)
                result = subprocess.run([CHECKER, obj], capture_output=True, text=True)
                self.assertEqual(result.returncode, code, body)
                self.assertIn(body.split("\n")[-1].split()[0] if code else "", result.stderr)

    def test_runtime_self_test(self):
        result = subprocess.run([os.path.join(BUILD, "test_prog.elf")], capture_output=True, timeout=30, env={})
        with open(os.path.join(HERE, "test_prog.txt"), "rb") as f:
            self.assertEqual((result.returncode, result.stderr, result.stdout), (0, b"", f.read()))


if __name__ == "__main__":
    unittest.main()
