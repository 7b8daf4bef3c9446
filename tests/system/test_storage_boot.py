"""The ATA probe at start-up: a hard disk on the primary master is identified;
no drive, or a CD-ROM there, is reported and never taken for a disk."""

import os

from expected import ATA_NO_DRIVE, ATA_PROBE_START as PROBE_START
from harness import BUILD, ISO, MachineTest, main

DISK = os.path.join(BUILD, "disk.img")
END_OF_STARTUP = "PML4 at 0x0000000000001000\n\n"


class StorageBoot(MachineTest):
    def probe_lines(self, m):
        """The lines of the ATA probe: from its first line to the kernel-end
        report that follows it directly."""
        text = m.wait_for(END_OF_STARTUP).decode("utf-8")
        start = text.find("\n" + PROBE_START)
        if start < 0:
            m.fail("no ATA probe at the start of a line")
        end = text.find("\n  Kernel at 0x100000", start)
        if end < 0:
            m.fail("the ATA probe is not followed by the kernel-end report")
        return text[start + 1:end]

    def block_devices(self, m):
        """QEMU's view of its block devices, by device name."""
        return {line.split()[0].rstrip(":"): line for line in m.hmp("info block").splitlines()
                if line and not line.startswith(" ")}

    def test_identifies_the_default_disk(self):
        self.assertTrue(os.path.exists(DISK), "build/disk.img is made by the default build")
        sectors = os.path.getsize(DISK) // 512
        m = self.machine(disk=DISK)
        self.assertTranscript(m, self.probe_lines(m),
                              PROBE_START +
                              "[ata] Drive detected, status=0x50\n"
                              "[ata] Model:    QEMU HARDDISK\n"
                              "[ata] Serial:   QM00001\n"
                              "[ata] Sectors:  %d (%d MB)\n" % (sectors, sectors // 2048) +
                              "[ata] ATA PIO driver ready.\n")
        self.assertEqual(sectors, 131072)  # the default image is 64 MiB

    def test_no_drive(self):
        m = self.machine()
        self.assertNotIn("ide0-hd0", self.block_devices(m))
        self.assertTranscript(m, self.probe_lines(m), "".join(ATA_NO_DRIVE))

    def test_cdrom_as_primary_master_is_not_a_disk(self):
        # The boot image itself stays on the secondary master (-cdrom); the
        # primary master gets a CD-ROM drive, once with a disc and once empty.
        for drive in ("file=%s,if=ide,index=0,media=cdrom" % ISO, "if=ide,index=0,media=cdrom"):
            with self.subTest(drive=drive):
                m = self.machine(extra_args=["-drive", drive])
                devices = self.block_devices(m)
                self.assertIn("ide0-cd0", devices)
                self.assertIn("ide1-cd0", devices)
                # QEMU's packet device shows status 0 after the reset.
                self.assertTranscript(m, self.probe_lines(m), "".join(ATA_NO_DRIVE))
                m.stop()


if __name__ == "__main__":
    main()
