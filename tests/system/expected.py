"""The texts the kernel must print, shared by the system tests."""

import os
import re
import subprocess

from harness import BUILD


def kernel_end():
    """kernel_end as the linker placed it."""
    return symbol("kernel_end")


BANNER = ("PLTM6"
          "\n========================================\n"
          "  Tarvelin \u2014 x86-64 Kernel\n"
          "  Built from NT source code analysis\n"
          "========================================\n\n"
          "  [OK] Multiboot2 verified\n")

# Lines whose values the machine decides are patterns; the rest is exact text.
CPU_REPORT = [
    re.compile(r"  CPU Vendor:     [\x20-\x7e]{12}\n"),
    re.compile(r"  Family/Model:   \d{1,2}/\d{1,2} Stepping \d{1,2}\n"),
    re.compile(r"  Features:       (TSC )?(CX8 )?(MMX )?(SSE )?(SSE2 )?(LM )?\n"),
    # The kernel stack lies in the image, which the carried programs make
    # several hundred KiB long; the image must end below 0x400000.
    re.compile(r"  RSP:            [1-3][0-9A-F]{5}\n"),
    "  CR0:            80000011 (PE=1 PG=1)\n",
    "  CR3 (PML4):     1000\n",
    "  CR4:            20 (PAE=1)\n",
]

# Controllers, interrupt table, interrupts on, then the two devices.
STARTUP_INTERRUPTS = [
    "  [OK] PIC remapped (IRQs 0x20-0x2F)\n",
    "  [OK] IDT initialized (256 vectors, 64-bit)\n",
    "  [OK] Interrupts enabled\n",
    "  [OK] PIT timer at 100 Hz\n",
    "  [OK] PS/2 keyboard initialized\n",
]
# Start-up steps of the memory modules and of the screen, each in its place in
# the report; the allocator's counts depend on the machine's memory map.
STARTUP_MEMORY = [
    re.compile(r"  \[OK\] PMM: \d+ total, \d+ free \(\d+ MB\)\n"),
    "  [OK] Heap: 8192 KB available\n",
]


def symbol(name):
    """The address of a kernel symbol, from kernel.elf's symbol table."""
    out = subprocess.run(["nm", os.path.join(BUILD, "kernel.elf")], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == name:
            return int(parts[0], 16)
    raise AssertionError("%s not in kernel.elf" % name)


def startup_syscall():
    return ["[syscall] Initialized SYSCALL interface\n",
            "[syscall] STAR=0x10000800000000 LSTAR=0x%X\n" % symbol("syscall_entry"),
            "  [OK] SYSCALL interface (STAR/LSTAR MSRs)\n"]


STARTUP_VGA = ["  [OK] VGA text mode (80x25)\n"]
# The ATA probe of a machine without a disk: QEMU's empty primary channel reads 0.
ATA_PROBE_START = "[ata] Initializing primary ATA controller...\n"
ATA_NO_DRIVE = [ATA_PROBE_START, "[ata] No drive detected (status=0x0)\n"]


def closing_lines():
    return ("\n  Kernel at 0x100000, end at %X\n" % kernel_end() +
            "  PML4 at 0x0000000000001000\n\n")


def match_lines(test, machine, text, expected):
    """Matches `text` line by line against `expected` (strings or patterns);
    returns what is left after the last expected line."""
    pos = 0
    for want in expected:
        if isinstance(want, str):
            if not text.startswith(want, pos):
                machine.fail("at offset %d expected %r, found %r" % (pos, want, text[pos:pos + len(want) + 20]))
            pos += len(want)
        else:
            m = want.match(text, pos)
            if not m:
                machine.fail("at offset %d expected /%s/, found %r" % (pos, want.pattern, text[pos:pos + 80]))
            pos = m.end()
    return text[pos:]


SHELL_GREETING = ("\n  ========================================\n"
                  "    Tarvelin Shell Ready\n"
                  "    Type 'help' for available commands\n"
                  "    Type 'run' to execute hello.elf\n"
                  "  ========================================\n\n")
