"""Disk images made at test time: good ones by scripts/make-disk-image (an MBR and an ext2
volume at LBA 2048), damaged ones by patching a few bytes. debugfs is the independent
witness of what a volume holds; the few layout reads here only locate bytes to patch
or sectors to fail."""

import os
import shutil
import stat
import struct
import subprocess
import sys

from harness import SOURCE

SECTOR = 512
PARTITION_LBA = 2048
PARTITION_OFFSET = PARTITION_LBA * SECTOR
SUPERBLOCK = PARTITION_OFFSET + 1024  # in the disk image
SUPERBLOCK_SECTOR = PARTITION_LBA + 2
ROOT_INO = 2
# Superblock fields.
S_INODES_COUNT, S_BLOCKS_COUNT, S_FIRST_DATA_BLOCK, S_LOG_BLOCK_SIZE = 0, 4, 20, 24
S_BLOCKS_PER_GROUP, S_INODES_PER_GROUP, S_MAGIC, S_REV_LEVEL, S_INODE_SIZE, S_VOLUME_NAME = 32, 40, 56, 76, 88, 120

MOUNTING = "[ext2] Mounting ext2 from ATA (partition LBA %d)...\n" % PARTITION_LBA
MOUNT_FAILED = "  Failed to mount ext2\n"
LONG_NAME = ("a-name-of-255-bytes-" * 13)[:255]
# e2fsprogs lives in an sbin directory that an ordinary user's PATH may lack.
DEBUGFS = shutil.which("debugfs", path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"]))


def make_tree(root, many=40):
    """Every kind of root entry the shell tells apart (files, directories, a link, a fifo;
    a character device when run as root), a 255-byte name, and `many` more files so that
    a 1 KiB-block root directory spans several blocks."""
    os.makedirs(os.path.join(root, "docs", "deep"))
    files = {"hello.txt": "Hello from a test volume!\n", "README.txt": "A test volume.\n",
             os.path.join("docs", "notes.txt"): "notes\n", os.path.join("docs", "deep", "inner.txt"): "inner\n",
             LONG_NAME: "a long name\n"}
    files.update({"file-number-%03d.txt" % i: "file %d\n" % i * (i + 1) for i in range(many)})
    for name, text in files.items():
        with open(os.path.join(root, name), "w") as f:
            f.write(text)
    os.mkdir(os.path.join(root, "empty-dir"))
    os.symlink("hello.txt", os.path.join(root, "link"))
    os.mkfifo(os.path.join(root, "pipe"))
    if os.geteuid() == 0:
        os.mknod(os.path.join(root, "null-device"), 0o644 | stat.S_IFCHR, os.makedev(1, 3))
    return root


def make_image(out, source, block_size=1024, size_mib=8, label="tarvelin"):
    subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), out, source,
                    "--size-mib", str(size_mib), "--block-size", str(block_size), "--label", label],
                   check=True, capture_output=True)
    return Image(out)


class Image:
    def __init__(self, path):
        self.path = path

    def read(self, offset, count):
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(count)

    def patch(self, offset, data):
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def u(self, offset, fmt="<I"):
        return struct.unpack(fmt, self.read(offset, struct.calcsize(fmt)))[0]

    def sb(self, field, fmt="<I"):
        return self.u(SUPERBLOCK + field, fmt)

    def sectors(self):
        return os.path.getsize(self.path) // SECTOR

    def block_size(self):
        return 1024 << self.sb(S_LOG_BLOCK_SIZE)

    def block_offset(self, block):
        return PARTITION_OFFSET + block * self.block_size()

    def group_table_block(self):
        return self.sb(S_FIRST_DATA_BLOCK) + 1

    def inode_offset(self, ino):
        group, index = divmod(ino - 1, self.sb(S_INODES_PER_GROUP))
        inode_size = 128 if self.sb(S_REV_LEVEL) == 0 else self.sb(S_INODE_SIZE, "<H")
        table = self.u(self.block_offset(self.group_table_block()) + group * 32 + 8)
        return self.block_offset(table) + index * inode_size

    def dir_blocks(self, ino):
        """A directory's data blocks (direct blocks only, enough for the test volumes)."""
        inode = self.inode_offset(ino)
        count = -(-self.u(inode + 4) // self.block_size())
        assert count <= 12, "directory %d needs indirect blocks" % ino
        return [self.u(inode + 40 + 4 * i) for i in range(count)]

    def dir_entries(self, ino):
        """(offset in the image, inode) of each record of a directory, in on-disk order."""
        entries = []
        for block in self.dir_blocks(ino):
            base, off = self.block_offset(block), 0
            while off < self.block_size():
                entries.append((base + off, self.u(base + off)))
                off += self.u(base + off + 4, "<H") or self.block_size()
        return entries

    def debugfs(self, request):
        return subprocess.run([DEBUGFS or "debugfs", "-R", request, "%s?offset=%d" % (self.path, PARTITION_OFFSET)],
                              check=True, capture_output=True, text=True, errors="replace").stdout

    def listing(self, path="/"):
        """[(letter, inode, name)] of a directory in on-disk order as debugfs lists it."""
        letters = {0o10: "F", 0o04: "D", 0o12: "L"}
        rows = [line[1:].split("/") for line in self.debugfs("ls -p " + path).splitlines() if line.startswith("/")]
        assert rows, "debugfs lists nothing in %s of %s" % (path, self.path)
        return [(letters.get(int(f[1], 8) >> 12, "?"), int(f[0]), f[4]) for f in rows]  # /ino/mode/uid/gid/name/

    def volume_name(self):
        return self.read(SUPERBLOCK + S_VOLUME_NAME, 16).split(b"\0")[0].decode("latin-1")

    def superblock_lines(self):
        blocks, per_group = self.sb(S_BLOCKS_COUNT), self.sb(S_BLOCKS_PER_GROUP)
        return ("[ext2] Magic OK, block_size=%d, inodes=%d, groups=%d\n[ext2] Volume: %s\n"
                % (self.block_size(), self.sb(S_INODES_COUNT), -(-blocks // per_group), self.volume_name()))

    def mount_lines(self):
        """A good mount's lines up to the listing."""
        return (MOUNTING + self.superblock_lines() + "[ext2] Initialized successfully\n"
                "  ext2 mounted successfully!\n  Volume: %s\n  Root directory:\n" % self.volume_name())

    def mount_reply(self, entries=None):
        """The whole reply to `mount`, the listing cut to its first `entries` rows if given."""
        return self.mount_lines() + "".join("    [%s] inode=%d  %s\n" % row for row in self.listing()[:entries])

    def ata_reply(self):
        return ("  ATA Drive Info:\n    Model:    QEMU HARDDISK\n    Serial:   QM00001\n"
                "    Sectors:  %d\n    Capacity: %d MB\n" % (self.sectors(), self.sectors() // 2048))

    def ata_test_reply(self):
        s = self.read(0, SECTOR)
        return ("  Reading sector 0 (MBR)...\n  First 32 bytes of sector 0:\n    %s\n    %s\n"
                "  MBR signature: 0x%X 0x%X\n" % ("".join("%02X " % b for b in s[:16]),
                                                   "".join("%02X " % b for b in s[16:32]), s[510], s[511]))


def malformed(workdir, source):
    """(kind, path, the exact reply to `mount`) of each damaged volume; all of one size."""
    fresh = lambda kind, **kw: make_image(os.path.join(workdir, kind + ".img"), source, **kw)  # noqa: E731
    for kind, field, fmt, value, block_size, complaint in [
            ("bad_magic", S_MAGIC, "<H", 0x1234, 1024, "Bad magic: 0x1234 (expected 0xEF53)"),
            ("no_blocks_per_group", S_BLOCKS_PER_GROUP, "<I", 0, 1024,
             "Bad superblock: 0 blocks and {ipg} inodes per group"),
            ("no_inodes_per_group", S_INODES_PER_GROUP, "<I", 0, 1024,
             "Bad superblock: {bpg} blocks and 0 inodes per group"),
            ("inode_size_100", S_INODE_SIZE, "<H", 100, 1024, "Bad inode size 100"),
            ("inode_size_above_the_block", S_INODE_SIZE, "<H", 2048, 1024, "Bad inode size 2048"),
            # More than the block buffers hold.
            ("blocks_of_8k", S_LOG_BLOCK_SIZE, "<I", 3, 4096,
             "Unsupported block size (s_log_block_size=3, at most 4096 bytes)")]:
        img = fresh(kind, block_size=block_size)
        complaint = complaint.format(ipg=img.sb(S_INODES_PER_GROUP), bpg=img.sb(S_BLOCKS_PER_GROUP))
        img.patch(SUPERBLOCK + field, struct.pack(fmt, value))
        yield kind, img.path, MOUNTING + "[ext2] %s\n" % complaint + MOUNT_FAILED
    img = fresh("empty_partition")
    img.patch(PARTITION_OFFSET, bytes(os.path.getsize(img.path) - PARTITION_OFFSET))
    yield "empty_partition", img.path, MOUNTING + "[ext2] Bad magic: 0x0 (expected 0xEF53)\n" + MOUNT_FAILED
    # Root record 3 gets rec_len 0: the mount succeeds and the listing stops before it.
    img = fresh("root_rec_len_zero")
    reply, entries = img.mount_reply(entries=3), img.dir_entries(ROOT_INO)
    assert all(ino for _, ino in entries[:3]), "an empty record before the patched one changes the count"
    img.patch(entries[3][0] + 4, b"\0\0")
    yield "root_rec_len_zero", img.path, reply


def blkdebug_drive(image, config, rules):
    """A -drive value for `image` as primary master behind blkdebug, failing reads (EIO) of
    the sectors of `rules` [(sector, once)]. raw sits on top: it raises the read_aio event
    in the blkdebug node below it, which arms the rules."""
    with open(config, "w") as f:
        f.write("".join('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\nonce = "%s"\n\n'
                        % (sector, "on" if once else "off") for sector, once in rules))
    esc = lambda p: p.replace(",", ",,")  # noqa: E731  (QEMU doubles a literal comma)
    return ("driver=raw,file.driver=blkdebug,file.config=%s,file.image.driver=file,"
            "file.image.filename=%s,if=ide,index=0,media=disk" % (esc(config), esc(image)))
