"""The page allocator, the heap and the VGA greeting on a 512 MiB machine.

The page allocator's numbers depend on the memory map that the firmware hands to
GRUB, so the test reads that map back from guest memory (the kernel keeps the
boot information's address in mb2_info_ptr and never writes to it: the heap
writes only a header at the start of each chunk, and the information does not
start on a frame boundary) and works out independently what the kernel must
print. With QEMU's usual map this is 131040 frames: RAM ends 128 KiB below
512 MiB, where the firmware keeps its own tables.
"""

import struct

from expected import STARTUP_MEMORY, STARTUP_VGA, kernel_end, symbol
from harness import MachineTest, main

PAGE = 4096
IDENTITY_MAP_END = 0x40000000
USER_AREAS = [(0x400000, 0x800000), (0x10000000, 0x10200000)]
HEAP_FRAMES = 2048


def read_bytes(machine, addr, length):
    """Guest physical memory through the monitor's xp, as bytes."""
    data = bytearray()
    while len(data) < length:
        count = min(length - len(data), 4096)
        text = machine.hmp("xp /%dbx 0x%x" % (count, addr + len(data)))
        for line in text.splitlines():
            if ":" in line:
                data += bytes(int(v, 16) for v in line.split(":", 1)[1].split())
    return bytes(data[:length])


def available_regions(info):
    """The regions a Multiboot2 reader collects: available entries of at least a
    frame, the first 32, from every well-formed memory-map tag in the walk."""
    regions = []
    total_size = struct.unpack_from("<I", info, 0)[0]
    if total_size < 16:
        return regions
    off = 8
    while off + 8 <= total_size:
        tag_type, size = struct.unpack_from("<II", info, off)
        if tag_type == 0 or size < 8:
            break
        if tag_type == 6 and 16 <= size <= total_size - off:
            entry_size = struct.unpack_from("<I", info, off + 8)[0]
            pos = 16
            while entry_size >= 24 and pos + entry_size <= size and len(regions) < 32:
                base, length, kind = struct.unpack_from("<QQI", info, off + pos)
                if kind == 1 and length >= PAGE:
                    regions.append((base, length))
                pos += entry_size
        off = (off + size + 7) & ~7
    return regions


def expected_frames(regions, end_of_kernel):
    """total_pages, the bitmap, and the free frames in ascending order."""
    if regions:
        top = max(min(base + length, 2 ** 64 - 1) for base, length in regions)
        total = min(top // PAGE, IDENTITY_MAP_END // PAGE)
    else:
        total = 0x4000
    bitmap_size = (total + 7) // 8
    free = bytearray(total)
    for base, length in regions:
        for f in range(-(-base // PAGE), min((base + length) // PAGE, total)):
            free[f] = 1
    for f in range(min(-(-(end_of_kernel + bitmap_size) // PAGE), total)):
        free[f] = 0
    for start, end in USER_AREAS:
        for f in range(start // PAGE, min(end // PAGE, total)):
            free[f] = 0
    return total, bitmap_size, [f for f in range(total) if free[f]]


def runs(frames):
    """Consecutive frames grouped as (first, count)."""
    out = []
    for f in frames:
        if out and out[-1][0] + out[-1][1] == f:
            out[-1][1] += 1
        else:
            out.append([f, 1])
    return [tuple(r) for r in out]


class Memory(MachineTest):
    def test_page_allocator_heap_and_screen(self):
        m = self.machine()
        text = m.wait_for(STARTUP_VGA[0]).decode("utf-8")

        # The allocator's and the heap's lines, adjacent, then the screen's.
        pmm_line = STARTUP_MEMORY[0].search(text)
        self.assertIsNotNone(pmm_line, text)
        self.assertTrue(text.startswith(STARTUP_MEMORY[1], pmm_line.end()), text)

        # What the kernel must have printed, from the map it was given.
        info_addr = struct.unpack("<Q", read_bytes(m, symbol("mb2_info_ptr"), 8))[0]
        total_size = struct.unpack("<I", read_bytes(m, info_addr, 4))[0]
        self.assertTrue(16 <= total_size <= 0x10000, "boot information unreadable: %d bytes" % total_size)
        regions = available_regions(read_bytes(m, info_addr, total_size))
        self.assertTrue(regions, "no available RAM in the boot information")
        end = kernel_end()
        total, bitmap_size, free = expected_frames(regions, end)
        self.assertEqual(pmm_line.group(0), "  [OK] PMM: %d total, %d free (%d MB)\n"
                         % (total, len(free), len(free) * 4 // 1024))

        # The bitmap after start-up: the heap's 2048 frames taken lowest-first,
        # everything else as the allocator left it; never a user-area frame.
        bitmap = read_bytes(m, end, bitmap_size)
        still_free = [f for f in range(total) if not (bitmap[f // 8] >> (f % 8)) & 1]
        self.assertEqual(still_free, free[HEAP_FRAMES:])
        heap_frames = free[:HEAP_FRAMES]
        for start, stop in USER_AREAS:
            self.assertFalse([f for f in heap_frames if start // PAGE <= f < stop // PAGE])

        # Each run of adjacent heap frames is one free block; the runs are
        # linked in order. RAM is unbroken from 1 MiB, so the user image area
        # alone splits them: up to 4 MiB, and from 8 MiB on.
        chunks = runs(heap_frames)
        self.assertEqual(len(chunks), 2, chunks)
        self.assertEqual(sum(chunks[0]), 0x400000 // PAGE)
        self.assertEqual(chunks[1][0], 0x800000 // PAGE)
        for i, (first, count) in enumerate(chunks):
            size, flag, nxt = struct.unpack("<QQQ", read_bytes(m, first * PAGE, 24))
            self.assertEqual(size, count * PAGE - 24)
            self.assertEqual(flag & 0xFF, 1)
            self.assertEqual(nxt, chunks[i + 1][0] * PAGE if i + 1 < len(chunks) else 0)

        # The screen: the greeting on row 0 and nothing else, light grey on black.
        cells = m.read_vga()
        greeting = "Tarvelin VGA active."
        for i, (ch, attr) in enumerate(cells):
            want = greeting[i] if i < len(greeting) else " "
            if (chr(ch), attr) != (want, 0x07):
                m.fail("cell %d (row %d, column %d) is %r/0x%02X, expected %r/0x07"
                       % (i, i // 80, i % 80, chr(ch), attr, want))


if __name__ == "__main__":
    main()
