"""The disk commands on drives QEMU emulates: volumes made by mkfs.ext2 at test time (every
block size, both revisions, damaged ones), sectors that fail, and no disk where one should
be. debugfs is the independent witness of what a volume holds."""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile

from machine import ISO, SOURCE, MachineTest, main, read
from test_boot import NO_DRIVE, boot

PART = 2048 * 512  # the volume's first byte in the disk image
FIELDS = {"inodes": (0, "<I"), "blocks": (4, "<I"), "log_block_size": (24, "<I"), "blocks_per_group": (32, "<I"),
          "inodes_per_group": (40, "<I"), "magic": (56, "<H"), "rev": (76, "<I"), "inode_size": (88, "<H")}
DEBUGFS = shutil.which("debugfs", path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"]))


class Volume:
    def __init__(self, path):
        self.path, self.data = path, bytearray(pathlib.Path(path).read_bytes())

    def sb(self, field, value=None):
        off, fmt = FIELDS[field]
        if value is not None:
            struct.pack_into(fmt, self.data, PART + 1024 + off, value)
        return struct.unpack_from(fmt, self.data, PART + 1024 + off)[0]

    def put(self, other):
        pathlib.Path(self.path).write_bytes(other.data)

    def debugfs(self, request):
        return subprocess.run([DEBUGFS, "-R", request, "%s?offset=%d" % (self.path, PART)], check=True,
                              capture_output=True, text=True, errors="replace").stdout

    def root(self):
        """The root inode's and root directory blocks' offsets, and its first block's used records."""
        size = 1024 << self.sb("log_block_size")
        block, offset = re.search(r"located at block (\d+), offset (0x[0-9a-f]+)", self.debugfs("imap <2>")).groups()
        blocks = [PART + int(b) * size for b in self.debugfs("blocks <2>").split()]
        records, off = [], blocks[0]
        while off < blocks[0] + size:
            records += [off] if struct.unpack_from("<I", self.data, off)[0] else []
            off += struct.unpack_from("<H", self.data, off + 4)[0]
        return PART + int(block) * size + int(offset, 16), blocks, records

    def values(self):
        """What disk.txt and failing.txt need to know of this disk."""
        letter = {0o10: "F", 0o04: "D", 0o12: "L"} if self.sb("rev") else {}  # revision 0 has no entry types
        listing = ["    [%s] inode=%s  %s" % (letter.get(int(f[2], 8) >> 12, "?"), f[1], f[5]) for f in
                   (r.split("/") for r in self.debugfs("ls -p /").splitlines() if r.startswith("/"))]
        dump, sectors = (lambda a: "".join("%02X " % x for x in self.data[a:a + 16])), len(self.data) // 512
        return dict(sectors=sectors, mb=sectors // 2048, row0=dump(0), row1=dump(16), sig0="%X" % self.data[510],
                    sig1="%X" % self.data[511], block_size=1024 << self.sb("log_block_size"), inodes=self.sb("inodes"),
                    groups=-(-self.sb("blocks") // self.sb("blocks_per_group")), mounted=read("mounted.txt"),
                    listing=listing, label=self.data[PART + 1144:PART + 1160].split(b"\0")[0].decode("latin-1"))


class Disk(MachineTest):
    @classmethod
    def setUpClass(cls):
        # Every kind of entry the shell tells apart, a 255-byte name, and a root spanning two 1 KiB blocks.
        cls.work = tempfile.mkdtemp(prefix="tarvelin-disk-")
        cls.addClassCleanup(shutil.rmtree, cls.work)
        cls.tree = os.path.join(cls.work, "tree")
        for name in ["docs/deep", "empty-dir"]:
            os.makedirs(os.path.join(cls.tree, name))
        for name in ["hello.txt", "docs/deep/inner.txt", "n" * 255] + ["file-number-%03d.txt" % i for i in range(40)]:
            pathlib.Path(cls.tree, name).write_text(name * 3)
        os.symlink("hello.txt", os.path.join(cls.tree, "link"))
        os.mkfifo(os.path.join(cls.tree, "pipe"))

    def volume(self, name, *options):
        path = os.path.join(self.work, name + ".img")
        subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), path, self.tree,
                        "--size-mib", "8", *options], check=True, capture_output=True)
        with open(path, "ab") as f:
            f.write(bytes(1023 * 512))  # 8.5 MiB less a sector: shown as 8 MB
        return Volume(path)

    def test_volumes(self):
        # One machine; the image under it is rewritten between commands (the kernel caches no block).
        disk = self.volume("disk")
        m = self.machine(disk=disk.path)
        boot(m, probe=read("probe.txt"), sectors=17407, mb=8)
        for i, options in enumerate([["--block-size", "2048", "--inode-size", "256"], [], ["--block-size", "4096"],
                                     ["--rev", "0", "--label", "sixteen-chars-ab"]]):
            vol = self.volume("v%d" % i, *options)
            vol.data[PART + 1160:PART + 1168] = b"/mnt/old"  # the last mount point, right after a label's 16 bytes
            if i == 0:  # every digit and letter on both dump lines, bytes below 16, an unpadded signature
                vol.data[:32] = bytes.fromhex("000AFF1001F07F800999ABCDEF0E5AA50F123456789ABCDE0220C33C0BB066FE")
                vol.data[510:512] = b"\x00\x05"
            disk.put(vol)
            m.session("disk.txt", **vol.values())

        vol = self.volume("damaged")
        good, fields = vol.values(), {field: vol.sb(field) for field in FIELDS}
        for field, value, complaint in (line.split(" ", 2) for line in read("damaged.txt")):
            damaged = Volume(vol.path)
            damaged.sb(field, int(value, 0))
            disk.put(damaged)
            for _ in range(3):
                m.session("mount.txt", reply=good["mounted"][:1] + ["[ext2] " + complaint, "  Failed to mount ext2"],
                          **fields)
        for rec_len in (0, 8):  # a root record shorter than its header, or than its name: the listing stops there
            damaged = Volume(vol.path)
            struct.pack_into("<H", damaged.data, damaged.root()[2][3] + 4, rec_len)
            disk.put(damaged)
            m.session("mount.txt", reply=good["mounted"] + good["listing"][:3], **good)
        disk.put(vol)
        m.session("mount.txt", reply=good["mounted"] + good["listing"], **good)

    def test_failing_sectors(self):
        vol = self.volume("failing")
        inode, blocks, records = vol.root()
        values = vol.values()
        values.update(first_block=values["listing"][:len(records)], table_sector=(PART + 2048) // 512,
                      dir0=blocks[0] // 512, dir1=blocks[1] // 512, inode_sector=inode // 512,
                      inode_block=(inode - PART) // 1024)
        # Sector 0 always fails; each sector a mount needs fails once, so every mount gets a step further.
        rules = [(0, "off"), (2050, "on")] + [(values[k], "on") for k in ("table_sector", "inode_sector",
                                                                            "dir0", "dir1")]
        config = pathlib.Path(self.work, "blkdebug.conf")
        config.write_text("".join('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\nonce = "%s"\n\n' % r
                                  for r in rules))
        m = self.machine(extra_args=["-drive", "driver=raw,file.driver=blkdebug,file.config=%s,file.image.driver=file,"
                                     "file.image.filename=%s,if=ide,index=0,media=disk" % (config, vol.path)])
        boot(m, probe=read("probe.txt"), sectors=17407, mb=8)
        m.session("failing.txt", **values)

    def test_no_disk_but_a_cdrom(self):
        # A CD-ROM drive on the primary master (the boot disc is the secondary), full or empty, is no disk.
        for drive in ("file=%s,if=ide,index=0,media=cdrom" % ISO, "if=ide,index=0,media=cdrom"):
            m = self.machine(extra_args=["-drive", drive])
            boot(m, probe=NO_DRIVE)
            m.session("nodrive.txt")


if __name__ == "__main__":
    main()
