"""What the launch path prints around a program, derived from its ELF file."""

import os
import re
import struct

import expected_programs
from harness import BUILD

SEPARATOR = "  ----------------------------------------\n"
ARROW = "\u2192"


def program_headers(path):
    with open(path, "rb") as f:
        data = f.read()
    entry, phoff = struct.unpack_from("<QQ", data, 24)
    phentsize, phnum = struct.unpack_from("<HH", data, 54)
    headers = []
    for i in range(phnum):
        p_type, p_flags, p_offset, p_vaddr, _paddr, p_filesz, p_memsz = struct.unpack_from(
            "<IIQQQQQ", data, phoff + i * phentsize)
        headers.append((i, p_type, p_flags, p_vaddr, p_filesz, p_memsz))
    return entry, headers


def loader_lines(name):
    """The launch path's lines before the program's own output."""
    path = os.path.join(BUILD, expected_programs.ELF_FILES[name])
    entry, headers = program_headers(path)
    out = "  Loading ELF64 binary: %s\n" % name
    out += "[elf] Entry point: 0x%X\n" % entry
    out += "[elf] Program headers: %d\n" % len(headers)
    low, high = 2 ** 64 - 1, 0
    for i, p_type, flags, vaddr, filesz, memsz in headers:
        if p_type != 1:
            continue
        letters = ("R" if flags & 4 else "-") + ("W" if flags & 2 else "-") + ("E" if flags & 1 else "-")
        out += "[elf] PT_LOAD[%d]: vaddr=0x%X filesz=0x%X memsz=0x%X flags=%s\n" % (i, vaddr, filesz, memsz, letters)
        low, high = min(low, vaddr), max(high, vaddr + memsz)
    out += "[elf] Loaded at 0x%X - 0x%X, entry at 0x%X\n" % (low, high, entry)
    out += "  Entry: 0x%X, Load: 0x%X-0x%X\n" % (entry, low, high)
    out += "  Setting up page tables for ring 3...\n"
    pages = [low]
    if (low & ~0x1FFFFF) + 0x200000 < high:
        pages.append(high - 1)
    pages.append(0x10000000)
    for addr in pages:
        index = (addr >> 21) & 511
        # The entry as it stands: present, writable, user, 2 MiB, plus the
        # accessed and dirty bits the processor sets once the page is touched.
        out += "    PD[%d] for vaddr 0x%X %s flags 0x%s\n" % (
            index, addr, ARROW, PD_FLAGS % ((index << 21) >> 8))
    out += "  User stack: 0x10000000 - 0x10010000 (64KB)\n"
    out += "  Entering userspace at RIP=0x%X RSP=0x10010000...\n" % entry
    out += SEPARATOR
    return out


PD_FLAGS = "%X(?:87|A7|C7|E7)"


def loader_pattern(name):
    """loader_lines as a pattern: everything exact but the accessed and dirty
    bits of the page-directory entries."""
    parts = loader_lines(name).split("flags 0x")
    out = re.escape(parts[0])
    for part in parts[1:]:
        flags, rest = part.split("\n", 1)
        out += "flags 0x" + flags + "\n" + re.escape(rest)
    return re.compile(out.encode())


CLOSING = "\n" + SEPARATOR + "  Returned to kernel shell.\n"


def split_run(machine, name, reply):
    """Checks the launch lines and closing lines of a run; returns the program's
    own output as bytes."""
    head = loader_pattern(name).match(reply)
    tail = CLOSING.encode()
    if not head:
        machine.fail("launch lines of %s differ\n--- expected ---\n%s" % (name, loader_lines(name)))
    if not reply.endswith(tail):
        machine.fail("closing lines of %s missing" % name)
    return reply[head.end():len(reply) - len(tail)]
