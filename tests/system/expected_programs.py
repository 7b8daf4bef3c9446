"""What each carried program writes to descriptor 1, byte for byte, and the launch path's
lines around it (derived from the program's ELF file). Keys are the shell's names;
"hello" is the program behind `run`. Texts are written out from what the programs must
print, not captured from a run."""

import functools
import os
import re
import struct

from harness import BUILD, PROMPT

FIBONACCI = (b"=== Fibonacci Sequence ===\nComputing first 20 Fibonacci numbers:\n\n" +
             b"".join(b"  F(%2d) = %d\n" % (i, f) for i, f in enumerate(
                 [0, 1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597, 2584, 4181])) +
             b"\nDone!\n")

PRIMES = (b"=== Prime Numbers (Sieve of Eratosthenes) ===\n"
          b"Primes up to 100:\n"
          b"\n"
          b"  2 3 5 7 11 13 17 19 23 29 31 37 41 43 47 53 59 61 67 71 73 79 83 89 97 \n"
          b"\n"
          b"Total: 25 primes found.\n")

# The art's first line holds two backslashes in a row.
ASCII_ART = (b"=== ASCII Art ===\n"
             b"\n"
             b"    /\\\\_/\\  \n"
             b"   ( o.o ) \n"
             b"    > ^ <  \n"
             b"   /|   |\\ \n"
             b"  (_|   |_)\n"
             b"    Tarvelin Cat\n"
             b"\n")


def _ascii_cell(code):
    # Decimal right-aligned in 3, two spaces, lower-case hex in 2, three spaces, the character, five spaces.
    return b"%3d  %02x   %c     " % (code, code, code)


ASCII_TABLE = (b"=== ASCII Table ===\n"
               b"Dec  Hex  Chr   Dec  Hex  Chr   Dec  Hex  Chr\n"
               b"---  ---  ---   ---  ---  ---   ---  ---  ---\n" +
               b"".join(_ascii_cell(i) + _ascii_cell(i + 16) + _ascii_cell(i + 32) + b"\n" for i in range(32, 48)))


def ascii_pattern(stack=rb"[0-9a-f]+", heap=rb"[0-9a-f]+"):
    """The whole ascii output; its two addresses are lower-case hex matching the patterns."""
    return re.compile(re.escape(ASCII_ART + ASCII_TABLE + b"\n=== Memory Layout Demo ===\n"
                                b"  Stack variable: 42 (addr ~") +
                      b"(?P<stack>" + stack + b")" + re.escape(b")\n  Heap  variable: 99 (addr ~") +
                      b"(?P<heap>" + heap + b")" + re.escape(b")\n\nDone!\n"), re.DOTALL)


# Under Tarvelin the stack is the 64 KiB at 0x10000000 and the heap follows the image in the page at 0x400000.
ASCII_PATTERN = ascii_pattern(stack=rb"1000[0-9a-f]{4}", heap=rb"[45][0-9a-f]{5}")


def _matrix(title, rows):
    return b"  %s:\n" % title + b"".join(b"    [" + b",".join(b"%4d" % v for v in r) + b"]\n" for r in rows) + b"\n"


_A = [[4 * i + j + 1 for j in range(4)] for i in range(4)]
MATRIX = (b"=== Matrix Multiplication (4x4) ===\n\n" + _matrix(b"Matrix A", _A) +
          _matrix(b"Identity B", [[int(i == j) for j in range(4)] for i in range(4)]) +
          _matrix(b"A * B = ", _A) +
          _matrix(b"A * A = ", [[sum(_A[i][k] * _A[k][j] for k in range(4)) for j in range(4)] for i in range(4)]) +
          b"Done!\n")

# State 12345 steps to 0x1c0d57f10c894254, whose value mod 100 is 88: secret 89,
# above every fixed guess. Five more steps give 923, 62, 277, 304 and 775.
GUESS = (b"=== Number Guessing Game ===\n"
         b"\n"
         b"I'm thinking of a number between 1 and 100.\n"
         b"The Tarvelin RNG will pick it for you.\n"
         b"\n"
         b"Secret number: 89\n"
         b"\n" +
         b"".join(b"  Guess %d: %d -> Too low\n" % (i + 1, g) for i, g in enumerate([50, 25, 75, 37, 62, 12, 87, 6])) +
         b"\n"
         b"  Not found in 8 guesses. The number was 89.\n"
         b"\n"
         b"=== Statistics ===\n"
         b"  RNG state: 1c0d57f10c894254\n"
         b"  Random numbers: 923 62 277 304 775 \n"
         b"\n"
         b"Done!\n")

SORT = (b"=== Sorting Algorithms Demo ===\n"
        b"\n"
        b"  Original: [93, 20, 75, 74, 65, 48, 47, 86, 37, 48]\n"
        b"\n"
        b"  Bubble sort   : [20, 37, 47, 48, 48, 65, 74, 75, 86, 93]\n"
        b"  Insertion sort: [20, 37, 47, 48, 48, 65, 74, 75, 86, 93]\n"
        b"\n"
        b"  Results match: YES\n"
        b"\n"
        b"Done!\n")

HELLO = (b"Hello from Tarvelin userspace!\n"
         b"This is a minimal userspace program running on the Tarvelin kernel.\n"
         b"System call test: 21 + 21 = 42\n"
         b"Hex test: 0xdeadbeef\n")

# Carried but started by no command.
TEST_PROG = (b"=== Runtime test ===\n"
             b"  argc 0, no argv: ok\n"
             b"  strlen: ok\n"
             b"  arithmetic: ok\n"
             b"  strcmp, strncmp: ok\n"
             b"  strcpy, memmove: ok\n"
             b"  malloc, free: ok\n"
             b"  hex: deadbeef 100000000 0a\n"
             b"=== All tests passed! ===\n")

# raw and stack do not write the stored newline of "OK!\n".
OUTPUT = {"fibonacci": FIBONACCI, "primes": PRIMES, "matrix": MATRIX, "guess": GUESS, "sort": SORT,
          "raw": b"OK!", "stack": b"OK!", "hello": HELLO, "hello2": HELLO, "test_prog": TEST_PROG}

ELF_FILES = {name: "applications/%s.elf" % name for name in ("fibonacci", "primes", "ascii", "matrix", "guess", "sort")}
ELF_FILES.update(raw="raw_test.elf", stack="raw_stack_test.elf", hello="hello.elf", hello2="hello_v2.elf",
                 test_prog="test_prog.elf")


def check(name, data):
    """None when `data` is exactly what program `name` writes, else the first difference."""
    if name == "ascii":
        return None if ASCII_PATTERN.fullmatch(data) else "ascii output differs: %r" % data
    want, i = OUTPUT[name], len(os.path.commonprefix([data, OUTPUT[name]]))
    return None if data == want else "%s differs at byte %d: expected %r, got %r" % (name, i, want[i:i + 40],
                                                                                      data[i:i + 40])


# ------------------------------------------------------------ the launch path
SEPARATOR = "  ----------------------------------------\n"
CLOSING = ("\n" + SEPARATOR + "  Returned to kernel shell.\n").encode()


@functools.lru_cache(maxsize=None)
def loader_lines(name):
    """The launch path's lines before the program's own output; the flags of the page-directory
    entries are a pattern (the processor may have set the accessed and dirty bits)."""
    with open(os.path.join(BUILD, ELF_FILES[name]), "rb") as f:
        data = f.read()
    entry, phoff = struct.unpack_from("<QQ", data, 24)
    phentsize, phnum = struct.unpack_from("<HH", data, 54)
    out = "  Loading ELF64 binary: %s\n[elf] Entry point: 0x%X\n[elf] Program headers: %d\n" % (name, entry, phnum)
    low, high = 2 ** 64 - 1, 0
    for i in range(phnum):
        p_type, flags, _off, vaddr, _paddr, filesz, memsz = struct.unpack_from("<IIQQQQQ", data, phoff + i * phentsize)
        if p_type == 1:
            letters = "".join(c if flags & bit else "-" for c, bit in (("R", 4), ("W", 2), ("E", 1)))
            out += "[elf] PT_LOAD[%d]: vaddr=0x%X filesz=0x%X memsz=0x%X flags=%s\n" % (i, vaddr, filesz, memsz,
                                                                                       letters)
            low, high = min(low, vaddr), max(high, vaddr + memsz)
    out += "[elf] Loaded at 0x%X - 0x%X, entry at 0x%X\n  Entry: 0x%X, Load: 0x%X-0x%X\n" % (low, high, entry, entry,
                                                                                              low, high)
    out = re.escape(out + "  Setting up page tables for ring 3...\n")
    pages = [low] + ([high - 1] if (low & ~0x1FFFFF) + 0x200000 < high else []) + [0x10000000]
    for addr in pages:
        index = (addr >> 21) & 511
        # Present, writable, user, 2 MiB; plus accessed and dirty once touched.
        out += re.escape("    PD[%d] for vaddr 0x%X \u2192 flags 0x%X" % (index, addr, index << 13))
        out += "(?:87|A7|C7|E7)\n"
    out += re.escape("  User stack: 0x10000000 - 0x10010000 (64KB)\n"
                     "  Entering userspace at RIP=0x%X RSP=0x10010000...\n" % entry + SEPARATOR)
    return re.compile(out.encode())


def run_program(machine, name, keys=(), timeout=120):
    """Runs `name` from the shell, typing `keys` on the keyboard once it is entered, and checks
    everything the program and the launch path print."""
    line = "run" if name == "hello" else "execute " + name
    machine.send(line + "\r")
    # Keys only once the program runs: a key arriving with the serial line would join it.
    reply = machine.wait_for("  Entering userspace at ", timeout)
    machine.send_keys(keys)
    reply += machine.wait_for(PROMPT, timeout)[:-len(PROMPT)]
    head = loader_lines(name).match(reply, len(line) + 2)
    if not reply.startswith(line.encode() + b"\r\n") or not head or not reply.endswith(CLOSING):
        machine.fail("echo, launch or closing lines of %s differ; launch: /%s/" % (name, loader_lines(name).pattern))
    problem = check(name, reply[head.end():len(reply) - len(CLOSING)])
    if problem:
        machine.fail(problem)
