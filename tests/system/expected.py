"""The texts the kernel must print, shared by the system tests."""

import functools
import os
import re
import subprocess

from harness import BUILD


@functools.lru_cache(maxsize=None)
def symbols(elf=os.path.join(BUILD, "kernel.elf")):
    out = subprocess.run(["nm", "-C", elf], check=True, capture_output=True, text=True).stdout
    return {p[2]: int(p[0], 16) for p in (line.split(maxsplit=2) for line in out.splitlines()) if len(p) == 3}


def symbol(name):
    if name not in symbols():
        raise AssertionError("%s not in kernel.elf" % name)
    return symbols()[name]


BANNER = ("PLTM6"
          "\n========================================\n"
          "  Tarvelin \u2014 x86-64 Kernel\n"
          "  Built from NT source code analysis\n"
          "========================================\n\n"
          "  [OK] Multiboot2 verified\n")

# Lines whose values the machine decides are patterns; the rest is exact text.
EARLY_LINES = [
    re.compile(r"  CPU Vendor:     [\x20-\x7e]{12}\n"),
    re.compile(r"  Family/Model:   \d{1,2}/\d{1,2} Stepping \d{1,2}\n"),
    re.compile(r"  Features:       (TSC )?(CX8 )?(MMX )?(SSE )?(SSE2 )?(LM )?\n"),
    # The kernel stack lies in the image, which must end below 0x400000.
    re.compile(r"  RSP:            [1-3][0-9A-F]{5}\n"),
    "  CR0:            80000011 (PE=1 PG=1)\n",
    "  CR3 (PML4):     1000\n",
    "  CR4:            20 (PAE=1)\n",
    "  [OK] PIC remapped (IRQs 0x20-0x2F)\n",
    "  [OK] IDT initialized (256 vectors, 64-bit)\n",
    "  [OK] Interrupts enabled\n",
    "  [OK] PIT timer at 100 Hz\n",
    "  [OK] PS/2 keyboard initialized\n",
]
PMM_LINE = re.compile(r"  \[OK\] PMM: (\d+) total, (\d+) free \((\d+) MB\)\n")
HEAP_LINE = "  [OK] Heap: 8192 KB available\n"
VGA_LINE = "  [OK] VGA text mode (80x25)\n"
# QEMU's empty primary channel reads status 0.
ATA_NO_DRIVE = "[ata] Initializing primary ATA controller...\n[ata] No drive detected (status=0x0)\n"
SHELL_GREETING = ("\n  ========================================\n"
                  "    Tarvelin Shell Ready\n"
                  "    Type 'help' for available commands\n"
                  "    Type 'run' to execute hello.elf\n"
                  "  ========================================\n\n")


def startup_lines():
    """The whole start-up transcript of a machine without a disk, up to the prompt."""
    return [BANNER] + EARLY_LINES + [PMM_LINE, HEAP_LINE,
                                    "[syscall] Initialized SYSCALL interface\n",
                                    "[syscall] STAR=0x10000800000000 LSTAR=0x%X\n" % symbol("syscall_entry"),
                                    "  [OK] SYSCALL interface (STAR/LSTAR MSRs)\n",
                                    VGA_LINE, ATA_NO_DRIVE,
                                    "\n  Kernel at 0x100000, end at %X\n" % symbol("kernel_end"),
                                    "  PML4 at 0x0000000000001000\n\n", SHELL_GREETING, "tarvelin> "]


def probe_lines(machine, startup):
    """The ATA probe's lines: between the screen's start-up line and the kernel-end report."""
    head, _, rest = startup.partition(VGA_LINE)
    probe, found, _ = rest.partition("\n  Kernel at 0x100000")
    if not (head and found):
        machine.fail("no ATA probe between the screen line and the kernel-end report")
    return probe


HELP = ("  Available commands:\n"
        "    help     - Show this help\n"
        "    run      - Run hello.elf in userspace (ring 3)\n"
        "    meminfo  - Memory information\n"
        "    ticks    - Timer tick count\n"
        "    ata      - ATA drive info\n"
        "    ata_test - Read sector 0 (MBR)\n"
        "    mount    - Mount ext2 filesystem\n"
        "    reboot   - Reboot the system\n"
        "    halt     - Halt the system\n")
NAMES = ["fibonacci", "primes", "ascii", "matrix", "guess", "sort", "raw", "stack", "hello2"]
APPS = "  Available applications:\n" + "".join("    %s\n" % n for n in NAMES) + "\n  Usage: execute <name>\n"
MEMINFO = re.compile(r"  Physical Memory:\n"
                     r"    Total pages: (\d+) \((\d+) MB\)\n"
                     r"    Free pages:  (\d+) \((\d+) MB\)\n"
                     r"    Used pages:  (\d+) \((\d+) MB\)\n")
TICKS = re.compile(r"  Timer ticks:   (\d+)\n  Uptime \(sec\):  (\d+)\n")
# Every word the dispatcher acts on (execute takes a name after a space).
COMMANDS = {"apps", "help", "run", "meminfo", "ticks", "ata", "ata_test", "mount", "reboot", "halt"}


def is_command(line):
    word = line.lstrip(" ")
    return word in COMMANDS or word.startswith("execute ")


def unknown(word):
    return "  Unknown: '%s'. Type 'apps' for applications.\n" % word


def not_found(name):
    return "  '%s': application not found.\n  Available: %s\n" % (name, ", ".join(NAMES))


def check_meminfo(test, machine, reply):
    """The numbers of a meminfo reply, checked against each other: (total, free)."""
    m = MEMINFO.fullmatch(reply)
    if not m:
        machine.fail("meminfo reply malformed: %r" % reply)
    total, total_mb, free, free_mb, used, used_mb = map(int, m.groups())
    test.assertEqual((total - free, total * 4 >> 10, free * 4 >> 10, used * 4 >> 10),
                     (used, total_mb, free_mb, used_mb))
    return total, free


def check_ticks(test, machine, reply):
    """The tick count of a ticks reply; the seconds are read after it, so may count one more tick."""
    m = TICKS.fullmatch(reply)
    if not m:
        machine.fail("ticks reply malformed: %r" % reply)
    ticks, seconds = map(int, m.groups())
    test.assertIn(seconds, (ticks // 100, (ticks + 1) // 100))
    return ticks
