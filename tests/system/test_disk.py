"""The ATA probe at start-up and `ata`, `ata_test`, `mount` on emulated drives: none, a
CD-ROM where the disk should be, the sample disk, every block size, failing sectors.
Replies are compared byte for byte with the image file itself and with debugfs.
(Damaged volumes are mounted over and over by test_abuse.)"""

import os
import tempfile

import disk_images as di
from expected import ATA_NO_DRIVE, probe_lines
from harness import BUILD, ISO, MachineTest, main

NO_DRIVE = "  No ATA drive detected.\n"
SECTOR0_FAILS = "  Reading sector 0 (MBR)...\n  ERROR: Failed to read sector 0\n"
MOUNT_NO_DRIVE = "[ext2] No ATA drive available\n" + di.MOUNT_FAILED
# Sector 0's dump: digits 0-9 and A-F in both places, bytes below 16, the extremes.
SECTOR0_PATTERN = bytes.fromhex("000AFF1001F07F800999ABCDEF0E5AA50F123456789ABCDE0220C33C0BB066FE")


class Disk(MachineTest):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory(prefix="tarvelin-disk-")
        cls.addClassCleanup(tmp.cleanup)
        cls.work = tmp.name
        cls.source = di.make_tree(os.path.join(cls.work, "source"))

    def test_no_drive_and_cdrom_on_the_primary_master(self):
        # The boot disc stays on the secondary master; a CD-ROM drive on the primary
        # master, with a disc or empty, must never pass for a disk.
        for drive in (None, "file=%s,if=ide,index=0,media=cdrom" % ISO, "if=ide,index=0,media=cdrom"):
            with self.subTest(drive=drive):
                m = self.machine(extra_args=["-drive", drive] if drive else [])
                devices = m.hmp("info block")
                self.assertEqual(("ide0-cd0" in devices, "ide0-hd0" in devices), (drive is not None, False))
                m.check(probe_lines(m, m.boot()), ATA_NO_DRIVE)
                m.expect("ata", NO_DRIVE)
                m.expect("ata_test", SECTOR0_FAILS)
                m.expect("mount", MOUNT_NO_DRIVE)
                m.expect("mount", MOUNT_NO_DRIVE)
                m.stop()

    def test_sample_disk(self):
        img = di.Image(os.path.join(BUILD, "disk.img"))
        self.assertEqual((img.sectors(), img.volume_name(), img.read(510, 2)), (131072, "tarvelin", b"\x55\xAA"))
        self.assertLessEqual({"F", "D", "L"}, {letter for letter, _, _ in img.listing()})
        m = self.machine(disk=img.path)
        m.check(probe_lines(m, m.boot()), "[ata] Initializing primary ATA controller...\n"
                "[ata] Drive detected, status=0x50\n[ata] Model:    QEMU HARDDISK\n[ata] Serial:   QM00001\n"
                "[ata] Sectors:  131072 (64 MB)\n[ata] ATA PIO driver ready.\n")
        m.expect("ata", "  ATA Drive Info:\n    Model:    QEMU HARDDISK\n    Serial:   QM00001\n"
                        "    Sectors:  131072\n    Capacity: 64 MB\n")
        m.expect("ata_test", img.ata_test_reply())
        # A second mount starts afresh and says the same again.
        m.expect("mount", img.mount_reply())
        m.expect("mount", img.mount_reply())

    def test_block_sizes(self):
        for block_size in (1024, 2048, 4096):
            with self.subTest(block_size=block_size):
                img = di.make_image(os.path.join(self.work, "b%d.img" % block_size), self.source,
                                    block_size=block_size, label="blocks-%d" % block_size)
                self.assertEqual(img.block_size(), block_size)
                rows = img.listing()
                self.assertEqual({letter for letter, _, _ in rows}, {"F", "D", "L", "?"})
                self.assertIn(di.LONG_NAME, [name for _, _, name in rows])
                self.assertTrue(block_size > 1024 or len(img.dir_blocks(di.ROOT_INO)) > 1)
                # Sector 0 worth dumping, once with an unpadded signature; once a
                # size just under 8.5 MiB, shown as 8 MB.
                img.patch(0, SECTOR0_PATTERN)
                if block_size == 2048:
                    img.patch(510, b"\x00\x05")
                if block_size == 4096:
                    img.patch(os.path.getsize(img.path), bytes(1023 * di.SECTOR))
                    self.assertEqual(img.sectors(), 8 * 2048 + 1023)
                m = self.machine(disk=img.path)
                m.boot()
                m.expect("ata", img.ata_reply())
                m.expect("ata_test", img.ata_test_reply())
                m.expect("mount", img.mount_reply())
                m.stop()

    def test_failing_sectors(self):
        # 1 KiB blocks: the root directory spans two blocks, so a listing can stop part-way.
        img = di.make_image(os.path.join(self.work, "failing.img"), self.source)
        dir_blocks = img.dir_blocks(di.ROOT_INO)
        self.assertEqual(len(dir_blocks), 2)
        first_end = img.block_offset(dir_blocks[0]) + img.block_size()
        in_first_block = sum(1 for off, ino in img.dir_entries(di.ROOT_INO) if ino and off < first_end)
        table_sector = img.block_offset(img.group_table_block()) // di.SECTOR
        inode_sector = img.inode_offset(di.ROOT_INO) // di.SECTOR
        inode_block = (img.inode_offset(di.ROOT_INO) - di.PARTITION_OFFSET) // img.block_size()
        dir_sectors = [img.block_offset(b) // di.SECTOR for b in dir_blocks]
        # Sector 0 always fails; each sector the mount needs fails once, in the order
        # the mount reads them, so every mount gets one step further.
        rules = [(0, False)] + [(s, True) for s in [di.SUPERBLOCK_SECTOR, table_sector, inode_sector] + dir_sectors]
        m = self.machine(extra_args=["-drive", di.blkdebug_drive(img.path, os.path.join(self.work, "f.conf"), rules)])
        m.boot()
        error = "[ata] Read error at LBA %d\n".__mod__
        sector0 = "  Reading sector 0 (MBR)...\n" + error(0) + "  ERROR: Failed to read sector 0\n"
        m.expect("ata_test", sector0)
        m.expect("mount", di.MOUNTING + error(di.SUPERBLOCK_SECTOR) + "[ext2] Failed to read superblock\n" +
                 di.MOUNT_FAILED)
        m.expect("mount", di.MOUNTING + img.superblock_lines() + error(table_sector) +
                 "[ext2] Failed to read BGDT block %d\n" % img.group_table_block() + di.MOUNT_FAILED)
        m.expect("mount", img.mount_lines() + error(inode_sector) +
                 "[ext2] Failed to read inode table block %d\n" % inode_block)
        m.expect("mount", img.mount_lines() + error(dir_sectors[0]))
        m.expect("mount", img.mount_reply(entries=in_first_block) + error(dir_sectors[1]))
        m.expect("mount", img.mount_reply())
        m.expect("ata_test", sector0)
        m.expect("ata", img.ata_reply())


if __name__ == "__main__":
    main()
