"""The disk commands `ata`, `ata_test` and `mount` on real (emulated) drives:
no disk, the sample disk, a CD-ROM where the disk should be, volumes of every
block size, damaged volumes, and sectors that fail to read. Every reply is
compared byte for byte with what the image file itself, or debugfs, says."""

import os
import tempfile

import disk_images as di
from expected import ATA_NO_DRIVE
from harness import BUILD, ISO, MachineTest, main

NO_DRIVE = "  No ATA drive detected.\n"
SECTOR0_FAILS = "  Reading sector 0 (MBR)...\n  ERROR: Failed to read sector 0\n"
MOUNT_NO_DRIVE = "[ext2] No ATA drive available\n" + di.MOUNT_FAILED

# Boot-code bytes of sector 0 for the dump: digits 0-9 and A-F in both places,
# bytes below 16 that need their leading zero, and the extremes.
SECTOR0_PATTERN = bytes([0x00, 0x0A, 0xFF, 0x10, 0x01, 0xF0, 0x7F, 0x80, 0x09, 0x99, 0xAB, 0xCD, 0xEF, 0x0E,
                         0x5A, 0xA5, 0x0F, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0x02, 0x20, 0xC3, 0x3C,
                         0x0B, 0xB0, 0x66, 0xFE])


class Disk(MachineTest):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory(prefix="tarvelin-disk-")
        cls.addClassCleanup(tmp.cleanup)
        cls.work = tmp.name
        cls.source = di.make_tree(os.path.join(cls.work, "source"))

    def path(self, name):
        return os.path.join(self.work, name)

    def reply(self, m, line):
        """The reply to a line, after checking its echo."""
        got = m.command(line).decode("utf-8", errors="replace")
        if not got.startswith(line + "\r\n"):
            m.fail("no echo of %r" % line)
        return got[len(line) + 2:]

    def expect(self, m, line, want):
        self.assertTranscript(m, self.reply(m, line), want)

    def boot(self, **kwargs):
        m = self.machine(**kwargs)
        return m, m.boot().decode("utf-8", errors="replace")

    # -------------------------------------------------------- no drive

    def test_without_a_disk(self):
        m, startup = self.boot()
        self.assertIn("  [OK] VGA text mode (80x25)\n" + "".join(ATA_NO_DRIVE) + "\n  Kernel at 0x100000, end at ",
                      startup)
        self.expect(m, "ata", NO_DRIVE)
        self.expect(m, "ata_test", SECTOR0_FAILS)
        self.expect(m, "mount", MOUNT_NO_DRIVE)
        self.expect(m, "mount", MOUNT_NO_DRIVE)
        self.expect(m, "ata", NO_DRIVE)

    def test_cdrom_on_the_primary_master_is_no_disk(self):
        # The boot disc stays on the secondary master; the primary master is a
        # CD-ROM drive holding the same disc, which must never pass for a disk.
        m, _ = self.boot(extra_args=["-drive", "file=%s,if=ide,index=0,media=cdrom" % ISO])
        self.expect(m, "ata", NO_DRIVE)
        self.expect(m, "ata_test", SECTOR0_FAILS)
        self.expect(m, "mount", MOUNT_NO_DRIVE)

    # -------------------------------------------------------- good volumes

    def test_sample_disk(self):
        img = di.private_copy(os.path.join(BUILD, "disk.img"), self.path("sample.img"))
        self.assertEqual(img.sectors(), 131072)
        self.assertEqual(img.volume_name(), "tarvelin")
        m, _ = self.boot(disk=img.path)
        self.expect(m, "ata", "  ATA Drive Info:\n"
                              "    Model:    QEMU HARDDISK\n"
                              "    Serial:   QM00001\n"
                              "    Sectors:  131072\n"
                              "    Capacity: 64 MB\n")
        self.assertEqual(img.read(510, 2), b"\x55\xAA")  # shown as "0x55 0xAA"
        self.expect(m, "ata_test", img.ata_test_reply())
        self.assertLessEqual({"F", "D", "L"}, {letter for letter, _, _ in img.listing("/")})
        mount = img.mount_reply()
        # A second mount starts afresh and says the same again.
        self.expect(m, "mount", mount)
        self.expect(m, "mount", mount)

    def test_block_sizes(self):
        for block_size in (1024, 2048, 4096):
            with self.subTest(block_size=block_size):
                img = di.make_image(self.path("b%d.img" % block_size), self.source, block_size=block_size,
                                    label="blocks-%d" % block_size)
                self.assertEqual(img.block_size(), block_size)
                rows = img.listing("/")
                letters = {letter for letter, _, _ in rows}
                self.assertEqual(letters, {"F", "D", "L", "?"})
                self.assertIn(di.LONG_NAME, [name for _, _, name in rows])
                if block_size == 1024:
                    self.assertGreater(len(img.dir_blocks(di.ROOT_INO)), 1)
                # Make sector 0 worth dumping, once with an unpadded signature,
                # and leave the disk a size that is no whole number of MiB.
                img.patch(0, SECTOR0_PATTERN)
                if block_size == 2048:
                    img.patch(510, b"\x00\x05")
                if block_size == 4096:
                    with open(img.path, "ab") as f:
                        f.write(bytes(1023 * di.SECTOR))
                    self.assertEqual(img.sectors(), 8 * 2048 + 1023)  # just under 8.5 MiB: shown as 8 MB
                m, _ = self.boot(disk=img.path)
                self.expect(m, "ata", img.ata_reply())
                self.expect(m, "ata_test", img.ata_test_reply())
                self.expect(m, "mount", img.mount_reply())
                m.stop()

    # -------------------------------------------------------- damaged volumes

    def test_damaged_volumes(self):
        for kind, make in di.MALFORMED.items():
            with self.subTest(kind=kind):
                path, want = make(self.work, self.source)
                m, _ = self.boot(disk=path)
                self.expect(m, "mount", want)
                self.expect(m, "mount", want)
                self.expect(m, "ata", di.Image(path).ata_reply())
                m.stop()

    # -------------------------------------------------------- failing sectors

    def test_failing_sectors(self):
        # A 1 KiB volume whose root directory spans two blocks, so that a
        # listing can stop part-way.
        img = di.make_image(self.path("failing.img"), self.source)
        dir_blocks = img.dir_blocks(di.ROOT_INO)
        self.assertEqual(len(dir_blocks), 2)
        in_first_block = sum(1 for offset, ino, _, _, _ in img.dir_entries(di.ROOT_INO)
                             if ino != 0 and offset < img.block_offset(dir_blocks[0]) + img.block_size())
        table_sector = img.block_sector(img.group_table_block())
        inode_sector = img.inode_offset(di.ROOT_INO) // di.SECTOR
        inode_block = (img.inode_offset(di.ROOT_INO) - di.PARTITION_OFFSET) // img.block_size()
        dir_sectors = [img.block_sector(b) for b in dir_blocks]
        # Sector 0 fails every time. Each sector the mount needs fails once, in
        # the order the mount reads them, so every mount gets one step further.
        config = self.path("failing.conf")
        with open(config, "w") as f:
            f.write(di.blkdebug_rules([0]))
            f.write(di.blkdebug_rules([di.SUPERBLOCK_SECTOR, table_sector, inode_sector] + dir_sectors, once=True))
        m, _ = self.boot(extra_args=["-drive", di.blkdebug_drive(img.path, config)])

        def read_error(lba):
            return "[ata] Read error at LBA %d\n" % lba

        sector0 = "  Reading sector 0 (MBR)...\n" + read_error(0) + "  ERROR: Failed to read sector 0\n"
        self.expect(m, "ata_test", sector0)
        self.expect(m, "mount", di.MOUNTING + read_error(di.SUPERBLOCK_SECTOR) +
                    "[ext2] Failed to read superblock\n" + di.MOUNT_FAILED)
        self.expect(m, "mount", di.MOUNTING + img.superblock_lines() + read_error(table_sector) +
                    "[ext2] Failed to read BGDT block %d\n" % img.group_table_block() + di.MOUNT_FAILED)
        self.expect(m, "mount", img.mount_lines() + read_error(inode_sector) +
                    "[ext2] Failed to read inode table block %d\n" % inode_block)
        self.expect(m, "mount", img.mount_lines() + read_error(dir_sectors[0]))
        self.expect(m, "mount", img.mount_reply(entries=in_first_block) + read_error(dir_sectors[1]))
        self.expect(m, "mount", img.mount_reply())
        self.expect(m, "ata_test", sector0)
        self.expect(m, "ata", img.ata_reply())


if __name__ == "__main__":
    main()
