"""What each carried user program writes to descriptor 1, byte for byte.

Keys are the names the shell starts them by ("raw", "stack", "hello2"; "hello"
is the program behind `run`), plus the programs no registry entry names. Every
text is written out from the programs' requirements, not captured from a run.
`ascii` prints two addresses that the machine decides: it has a pattern
(ASCII_PATTERN) instead of an entry in OUTPUT. Use `check(name, data)`.
"""

import re

FIBONACCI = (
    b"=== Fibonacci Sequence ===\n"
    b"Computing first 20 Fibonacci numbers:\n"
    b"\n"
    b"  F( 0) = 0\n"
    b"  F( 1) = 1\n"
    b"  F( 2) = 1\n"
    b"  F( 3) = 2\n"
    b"  F( 4) = 3\n"
    b"  F( 5) = 5\n"
    b"  F( 6) = 8\n"
    b"  F( 7) = 13\n"
    b"  F( 8) = 21\n"
    b"  F( 9) = 34\n"
    b"  F(10) = 55\n"
    b"  F(11) = 89\n"
    b"  F(12) = 144\n"
    b"  F(13) = 233\n"
    b"  F(14) = 377\n"
    b"  F(15) = 610\n"
    b"  F(16) = 987\n"
    b"  F(17) = 1597\n"
    b"  F(18) = 2584\n"
    b"  F(19) = 4181\n"
    b"\n"
    b"Done!\n")

PRIMES = (
    b"=== Prime Numbers (Sieve of Eratosthenes) ===\n"
    b"Primes up to 100:\n"
    b"\n"
    b"  2 3 5 7 11 13 17 19 23 29 31 37 41 43 47 53 59 61 67 71 73 79 83 89 97 \n"
    b"\n"
    b"Total: 25 primes found.\n")

# The art's first line holds two backslashes in a row, its fourth one.
ASCII_ART = (
    b"=== ASCII Art ===\n"
    b"\n"
    b"    /\\\\_/\\  \n"
    b"   ( o.o ) \n"
    b"    > ^ <  \n"
    b"   /|   |\\ \n"
    b"  (_|   |_)\n"
    b"    Tarvelin Cat\n"
    b"\n")


def _ascii_cell(code):
    # Decimal right-aligned in 3, two spaces, hex in 2 (lower case), three
    # spaces, the character itself, five spaces: 16 bytes.
    return b"%3d  %02x   %c     " % (code, code, code)


ASCII_TABLE = (
    b"=== ASCII Table ===\n"
    b"Dec  Hex  Chr   Dec  Hex  Chr   Dec  Hex  Chr\n"
    b"---  ---  ---   ---  ---  ---   ---  ---  ---\n" +
    b"".join(_ascii_cell(i) + _ascii_cell(i + 16) + _ascii_cell(i + 32) + b"\n"
             for i in range(32, 48)))

# Rows the table must hold, written field by field (decimal, two spaces, hex,
# three spaces, character, five spaces) as a check on the cell rule above.
ASCII_TABLE_SPOT_ROWS = [
    (b" 32" b"  " b"20" b"   " b" " b"     " +
     b" 48" b"  " b"30" b"   " b"0" b"     " +
     b" 64" b"  " b"40" b"   " b"@" b"     " b"\n"),
    (b" 33" b"  " b"21" b"   " b"!" b"     " +
     b" 49" b"  " b"31" b"   " b"1" b"     " +
     b" 65" b"  " b"41" b"   " b"A" b"     " b"\n"),
    (b" 47" b"  " b"2f" b"   " b"/" b"     " +
     b" 63" b"  " b"3f" b"   " b"?" b"     " +
     b" 79" b"  " b"4f" b"   " b"O" b"     " b"\n"),
]


def ascii_pattern(stack_address=rb"[0-9a-f]+", heap_address=rb"[0-9a-f]+"):
    """The whole ascii output; the two addresses are lower-case hexadecimal
    matching the given patterns."""
    return re.compile(
        re.escape(ASCII_ART + ASCII_TABLE +
                  b"\n=== Memory Layout Demo ===\n"
                  b"  Stack variable: 42 (addr ~") + b"(?P<stack>" + stack_address + b")" +
        re.escape(b")\n"
                  b"  Heap  variable: 99 (addr ~") + b"(?P<heap>" + heap_address + b")" +
        re.escape(b")\n"
                  b"\n"
                  b"Done!\n"),
        re.DOTALL)


# Under Tarvelin: the stack is the 64 KiB at 0x10000000, and the heap starts
# right after the image, inside the 2 MiB page at 0x400000.
ASCII_PATTERN = ascii_pattern(stack_address=rb"1000[0-9a-f]{4}", heap_address=rb"[45][0-9a-f]{5}")


MATRIX = (
    b"=== Matrix Multiplication (4x4) ===\n"
    b"\n"
    b"  Matrix A:\n"
    b"    [   1,   2,   3,   4]\n"
    b"    [   5,   6,   7,   8]\n"
    b"    [   9,  10,  11,  12]\n"
    b"    [  13,  14,  15,  16]\n"
    b"\n"
    b"  Identity B:\n"
    b"    [   1,   0,   0,   0]\n"
    b"    [   0,   1,   0,   0]\n"
    b"    [   0,   0,   1,   0]\n"
    b"    [   0,   0,   0,   1]\n"
    b"\n"
    b"  A * B = :\n"
    b"    [   1,   2,   3,   4]\n"
    b"    [   5,   6,   7,   8]\n"
    b"    [   9,  10,  11,  12]\n"
    b"    [  13,  14,  15,  16]\n"
    b"\n"
    b"  A * A = :\n"
    b"    [  90, 100, 110, 120]\n"
    b"    [ 202, 228, 254, 280]\n"
    b"    [ 314, 356, 398, 440]\n"
    b"    [ 426, 484, 542, 600]\n"
    b"\n"
    b"Done!\n")

# State 12345 steps to 0x1c0d57f10c894254, whose value mod 100 is 88: secret 89,
# above every fixed guess. Five more steps give 923, 62, 277, 304 and 775.
GUESS = (
    b"=== Number Guessing Game ===\n"
    b"\n"
    b"I'm thinking of a number between 1 and 100.\n"
    b"The Tarvelin RNG will pick it for you.\n"
    b"\n"
    b"Secret number: 89\n"
    b"\n"
    b"  Guess 1: 50 -> Too low\n"
    b"  Guess 2: 25 -> Too low\n"
    b"  Guess 3: 75 -> Too low\n"
    b"  Guess 4: 37 -> Too low\n"
    b"  Guess 5: 62 -> Too low\n"
    b"  Guess 6: 12 -> Too low\n"
    b"  Guess 7: 87 -> Too low\n"
    b"  Guess 8: 6 -> Too low\n"
    b"\n"
    b"  Not found in 8 guesses. The number was 89.\n"
    b"\n"
    b"=== Statistics ===\n"
    b"  RNG state: 1c0d57f10c894254\n"
    b"  Random numbers: 923 62 277 304 775 \n"
    b"\n"
    b"Done!\n")

SORT = (
    b"=== Sorting Algorithms Demo ===\n"
    b"\n"
    b"  Original: [93, 20, 75, 74, 65, 48, 47, 86, 37, 48]\n"
    b"\n"
    b"  Bubble sort   : [20, 37, 47, 48, 48, 65, 74, 75, 86, 93]\n"
    b"  Insertion sort: [20, 37, 47, 48, 48, 65, 74, 75, 86, 93]\n"
    b"\n"
    b"  Results match: YES\n"
    b"\n"
    b"Done!\n")

# The stored newline of "OK!\n" is not written.
RAW = b"OK!"
STACK = b"OK!"

HELLO = (
    b"Hello from Tarvelin userspace!\n"
    b"This is a minimal userspace program running on the Tarvelin kernel.\n"
    b"System call test: 21 + 21 = 42\n"
    b"Hex test: 0xdeadbeef\n")

# Carried but started by no command.
TEST_PROG = (
    b"=== Runtime test ===\n"
    b"  argc 0, no argv: ok\n"
    b"  strlen: ok\n"
    b"  arithmetic: ok\n"
    b"  strcmp, strncmp: ok\n"
    b"  strcpy, memmove: ok\n"
    b"  malloc, free: ok\n"
    b"  hex: deadbeef 100000000 0a\n"
    b"=== All tests passed! ===\n")

# Only in the test kernel. test_hlt faults at its hlt: nothing follows its line.
TEST_SPIN = b"spin: start\nspin: done\n"
TEST_HLT = b"hlt: executing hlt in ring 3\n"

OUTPUT = {
    "fibonacci": FIBONACCI,
    "primes": PRIMES,
    "matrix": MATRIX,
    "guess": GUESS,
    "sort": SORT,
    "raw": RAW,
    "stack": STACK,
    "hello": HELLO,
    "hello2": HELLO,
    "test_prog": TEST_PROG,
    "spin": TEST_SPIN,
    "hlt": TEST_HLT,
}

# Shell name -> executable in the build tree.
ELF_FILES = {
    "fibonacci": "applications/fibonacci.elf",
    "primes": "applications/primes.elf",
    "ascii": "applications/ascii.elf",
    "matrix": "applications/matrix.elf",
    "guess": "applications/guess.elf",
    "sort": "applications/sort.elf",
    "raw": "raw_test.elf",
    "stack": "raw_stack_test.elf",
    "hello": "hello.elf",
    "hello2": "hello_v2.elf",
    "test_prog": "test_prog.elf",
    "spin": "test_spin.elf",
    "hlt": "test_hlt.elf",
}


def check(name, data, ascii_pattern_=None):
    """Returns None when `data` is exactly what program `name` writes, else a
    description of the first difference."""
    if name == "ascii":
        pattern = ascii_pattern_ or ASCII_PATTERN
        if pattern.fullmatch(data):
            return None
        return "ascii output does not match /%r/: %r" % (pattern.pattern[:60], data)
    want = OUTPUT[name]
    if data == want:
        return None
    i = next((k for k in range(min(len(data), len(want))) if data[k] != want[k]),
             min(len(data), len(want)))
    return "%s differs at byte %d: expected %r, got %r" % (name, i, want[i:i + 40], data[i:i + 40])
