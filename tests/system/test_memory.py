"""The page allocator, the heap and the VGA greeting on a 512 MiB machine. The allocator's
numbers depend on the firmware's memory map, so the test reads the boot information back
from guest memory (mb2_info_ptr; nothing writes there) and works out what the kernel must
print and leave in its bitmap."""

import struct

from expected import HEAP_LINE, PMM_LINE, VGA_LINE, symbol
from harness import MachineTest, main

PAGE = 4096
USER_AREAS = [(0x400000, 0x800000), (0x10000000, 0x10200000)]


def available_regions(info):
    """Available entries of at least a frame from the memory-map tag that GRUB wrote; the first 32."""
    off = 8
    while struct.unpack_from("<I", info, off)[0] != 6:
        off = (off + struct.unpack_from("<I", info, off + 4)[0] + 7) & ~7
        assert off < len(info), "no memory map in the boot information"
    size, entry_size = struct.unpack_from("<II", info, off + 4)
    entries = [struct.unpack_from("<QQI", info, e) for e in range(off + 16, off + size, entry_size)]
    return [(base, length) for base, length, kind in entries if kind == 1 and length >= PAGE][:32]


def expected_frames(regions, kernel_end):
    """total_pages, the bitmap's size, and the free frames in ascending order."""
    total = min(max(base + length for base, length in regions) // PAGE, 0x40000000 // PAGE)
    bitmap_size = (total + 7) // 8
    free = set()
    for base, length in regions:
        free.update(range(-(-base // PAGE), min((base + length) // PAGE, total)))
    free -= set(range(-(-(kernel_end + bitmap_size) // PAGE)))
    for start, end in USER_AREAS:
        free -= set(range(start // PAGE, end // PAGE))
    return total, bitmap_size, sorted(free)


class Memory(MachineTest):
    def test_page_allocator_heap_and_screen(self):
        m = self.machine()
        text = m.wait_for(VGA_LINE).decode()
        pmm_line = PMM_LINE.search(text)
        self.assertTrue(pmm_line and text.startswith(HEAP_LINE, pmm_line.end()), text)

        info_addr = struct.unpack("<Q", m.read_mem(symbol("mb2_info_ptr"), 8))[0]
        total_size = struct.unpack("<I", m.read_mem(info_addr, 4))[0]
        self.assertTrue(16 <= total_size <= 0x10000, "boot information unreadable: %d bytes" % total_size)
        regions = available_regions(m.read_mem(info_addr, total_size))
        self.assertTrue(regions, "no available RAM in the boot information")
        end = symbol("kernel_end")
        total, bitmap_size, free = expected_frames(regions, end)
        self.assertEqual(pmm_line.group(0), "  [OK] PMM: %d total, %d free (%d MB)\n"
                         % (total, len(free), len(free) * 4 // 1024))

        # The heap's 2048 frames were taken lowest-first; the rest is as the allocator left it.
        bitmap = m.read_mem(end, bitmap_size)
        self.assertEqual([f for f in range(total) if not (bitmap[f // 8] >> (f % 8)) & 1], free[2048:])
        # The screen: the greeting on row 0 and nothing else, light grey on black.
        greeting = "Tarvelin VGA active."
        want = [0x0700 | ord(greeting[i] if i < len(greeting) else " ") for i in range(2000)]
        cells = m.xp(2000, "h", 0xB8000)
        if cells != want:
            i = next(i for i in range(2000) if i >= len(cells) or cells[i] != want[i])
            m.fail("cell %d (row %d, column %d) is %r, expected 0x%04X" % (i, i // 80, i % 80, cells[i:i + 1],
                                                                          want[i]))


if __name__ == "__main__":
    main()
