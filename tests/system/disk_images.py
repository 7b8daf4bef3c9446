"""Disk images for the system tests, made at test time.

Good volumes come from scripts/make-disk-image (an MBR and an ext2 volume at
LBA 2048); damaged ones are copies of a good one with a few bytes patched.
debugfs, run on the image's partition, is the independent witness of what a
volume holds. Each maker returns the image's path and the exact reply that the
shell's `mount` must give for it, so the same images serve any test that mounts
them (once, or many times over).

Standard library only; mkfs.ext2 and debugfs come from e2fsprogs.
"""

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
SUPERBLOCK = PARTITION_OFFSET + 1024  # byte offset of the superblock in the disk image
SUPERBLOCK_SECTOR = PARTITION_LBA + 2
ROOT_INO = 2

# Superblock fields (offsets within the superblock).
S_INODES_COUNT = 0
S_BLOCKS_COUNT = 4
S_FIRST_DATA_BLOCK = 20
S_LOG_BLOCK_SIZE = 24
S_BLOCKS_PER_GROUP = 32
S_INODES_PER_GROUP = 40
S_MAGIC = 56
S_REV_LEVEL = 76
S_INODE_SIZE = 88
S_VOLUME_NAME = 120
GROUP_DESC_BYTES = 32
BG_INODE_TABLE = 8
I_SIZE = 4
I_BLOCK = 40
DIRECT_BLOCKS = 12
DIRENT_HEADER = 8

MOUNTING = "[ext2] Mounting ext2 from ATA (partition LBA %d)...\n" % PARTITION_LBA
MOUNT_FAILED = "  Failed to mount ext2\n"

LONG_NAME = ("a-name-of-255-bytes-" * 13)[:255]


def sbin(tool):
    """An e2fsprogs tool, also where an ordinary user's PATH has no sbin."""
    path = shutil.which(tool, path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"]))
    if path is None:
        raise AssertionError("%s not found (install e2fsprogs)" % tool)
    return path


# ------------------------------------------------------------ source folders

def make_tree(root, many=40):
    """A source folder with every kind of root entry the shell tells apart:
    files, directories, a symbolic link and a fifo ("?"); a 255-byte name; and
    `many` further files, so that with 1 KiB blocks the root directory spans
    several blocks. A character device is added when the build runs as root.
    Returns `root`."""
    os.makedirs(os.path.join(root, "docs", "deep"))
    files = {"hello.txt": "Hello from a test volume!\n",
             "README.txt": "A test volume.\n",
             os.path.join("docs", "notes.txt"): "notes\n",
             os.path.join("docs", "deep", "inner.txt"): "inner\n",
             LONG_NAME: "a long name\n"}
    for i in range(many):
        files["file-number-%03d.txt" % i] = "file %d\n" % i * (i + 1)
    for name, text in files.items():
        with open(os.path.join(root, name), "w") as f:
            f.write(text)
    os.mkdir(os.path.join(root, "empty-dir"))
    os.symlink("hello.txt", os.path.join(root, "link"))
    os.mkfifo(os.path.join(root, "pipe"))
    if os.geteuid() == 0:
        os.mknod(os.path.join(root, "null-device"), 0o644 | stat.S_IFCHR, os.makedev(1, 3))
    return root


# ------------------------------------------------------------ images

def private_copy(src, dst):
    """Copies an image, keeping its runs of zeros as holes. Tests boot copies:
    QEMU locks a disk image for writing, so two machines running at once on
    one file would refuse to start."""
    chunk = 1 << 16
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        while True:
            data = fin.read(chunk)
            if not data:
                break
            if data.count(0) == len(data):
                fout.seek(len(data), os.SEEK_CUR)
            else:
                fout.write(data)
        fout.truncate(fin.tell())
    return Image(dst)


def make_image(out, source, block_size=1024, size_mib=8, label="tarvelin", rev=1):
    """Runs scripts/make-disk-image; returns an Image of the result."""
    env = dict(os.environ, MKFS_EXT2=sbin("mkfs.ext2"))
    subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), out, source,
                    "--size-mib", str(size_mib), "--block-size", str(block_size), "--rev", str(rev),
                    "--label", label], check=True, env=env, capture_output=True)
    return Image(out)


class Image:
    """A disk image file: its ext2 volume read straight from the bytes, and
    what debugfs says about the same volume."""

    def __init__(self, path):
        self.path = path

    # -------------------------------------------------------- raw bytes
    def read(self, offset, count):
        with open(self.path, "rb") as f:
            f.seek(offset)
            data = f.read(count)
        if len(data) != count:
            raise AssertionError("%s: %d bytes at %d are past the end" % (self.path, count, offset))
        return data

    def patch(self, offset, data):
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def u16(self, offset):
        return struct.unpack("<H", self.read(offset, 2))[0]

    def u32(self, offset):
        return struct.unpack("<I", self.read(offset, 4))[0]

    def put16(self, offset, value):
        self.patch(offset, struct.pack("<H", value))

    def put32(self, offset, value):
        self.patch(offset, struct.pack("<I", value))

    def sectors(self):
        return os.path.getsize(self.path) // SECTOR

    # -------------------------------------------------------- the volume's layout
    def sb(self, field, size=4):
        return (self.u32 if size == 4 else self.u16)(SUPERBLOCK + field)

    def block_size(self):
        return 1024 << self.sb(S_LOG_BLOCK_SIZE)

    def volume_name(self):
        return self.read(SUPERBLOCK + S_VOLUME_NAME, 16).split(b"\0")[0].decode("latin-1")

    def block_offset(self, block):
        """Byte offset of a volume block in the disk image."""
        return PARTITION_OFFSET + block * self.block_size()

    def block_sector(self, block):
        return self.block_offset(block) // SECTOR

    def inode_offset(self, ino):
        """Byte offset of inode `ino` in the disk image."""
        per_group = self.sb(S_INODES_PER_GROUP)
        group, index = divmod(ino - 1, per_group)
        inode_size = 128 if self.sb(S_REV_LEVEL) == 0 else self.sb(S_INODE_SIZE, 2)
        table = self.block_offset(self.group_table_block()) + group * GROUP_DESC_BYTES
        return self.block_offset(self.u32(table + BG_INODE_TABLE)) + index * inode_size

    def dir_blocks(self, ino):
        """The directory's data blocks (direct blocks only: enough for the
        test volumes, and checked)."""
        inode = self.inode_offset(ino)
        size = self.u32(inode + I_SIZE)
        count = -(-size // self.block_size())
        if count > DIRECT_BLOCKS:
            raise AssertionError("directory %d needs indirect blocks" % ino)
        return [self.u32(inode + I_BLOCK + 4 * i) for i in range(count)]

    def dir_entries(self, ino):
        """(byte offset in the image, inode, rec_len, file_type, name) of each
        record of a directory, in on-disk order, empty records included."""
        entries = []
        for block in self.dir_blocks(ino):
            base = self.block_offset(block)
            data = self.read(base, self.block_size())
            off = 0
            while off + DIRENT_HEADER <= len(data):
                e_ino, rec_len, name_len, ftype = struct.unpack_from("<IHBB", data, off)
                name = data[off + DIRENT_HEADER:off + DIRENT_HEADER + name_len].decode("latin-1")
                entries.append((base + off, e_ino, rec_len, ftype, name))
                if rec_len == 0:
                    break
                off += rec_len
        return entries

    # -------------------------------------------------------- debugfs' view
    def debugfs(self, request):
        out = subprocess.run([sbin("debugfs"), "-R", request, "%s?offset=%d" % (self.path, PARTITION_OFFSET)],
                             check=True, capture_output=True, text=True, errors="replace")
        return out.stdout

    def listing(self, path="/"):
        """[(letter, inode, name)] of a directory, in on-disk order, as debugfs
        lists it; the letter from the entry's mode: F, D, L, or ? for the rest."""
        letters = {0o10: "F", 0o04: "D", 0o12: "L"}
        rows = []
        for line in self.debugfs("ls -p %s" % path).splitlines():
            if not line.startswith("/"):
                continue
            fields = line[1:].split("/")  # /inode/mode/uid/gid/name/size/
            ino, mode, name = int(fields[0]), int(fields[1], 8), fields[4]
            rows.append((letters.get(mode >> 12, "?"), ino, name))
        if not rows:
            raise AssertionError("debugfs lists nothing in %s of %s" % (path, self.path))
        return rows

    # -------------------------------------------------------- what the shell says
    def mount_lines(self):
        """The reader's and the shell's lines of a good mount, up to the
        listing: numbers from the superblock as it lies on the disk."""
        return (MOUNTING + self.superblock_lines() +
                "[ext2] Initialized successfully\n"
                "  ext2 mounted successfully!\n"
                "  Volume: %s\n" % self.volume_name() +
                "  Root directory:\n")

    def superblock_lines(self):
        """The reader's report of a superblock that it accepts."""
        blocks, per_group = self.sb(S_BLOCKS_COUNT), self.sb(S_BLOCKS_PER_GROUP)
        return ("[ext2] Magic OK, block_size=%d, inodes=%d, groups=%d\n"
                % (self.block_size(), self.sb(S_INODES_COUNT), -(-blocks // per_group)) +
                "[ext2] Volume: %s\n" % self.volume_name())

    def group_table_block(self):
        return self.sb(S_FIRST_DATA_BLOCK) + 1

    def mount_reply(self, entries=None):
        """The whole reply to `mount`; `entries` limits the listing to its first
        so many rows (a walk that stops early)."""
        rows = self.listing("/")
        if entries is not None:
            rows = rows[:entries]
        return self.mount_lines() + "".join(listing_line(*row) for row in rows)

    def ata_reply(self):
        sectors = self.sectors()
        return ("  ATA Drive Info:\n"
                "    Model:    QEMU HARDDISK\n"
                "    Serial:   QM00001\n"
                "    Sectors:  %d\n"
                "    Capacity: %d MB\n" % (sectors, sectors * SECTOR // (1024 * 1024)))

    def ata_test_reply(self):
        sector = self.read(0, SECTOR)
        first = ["".join("%02X " % b for b in sector[i:i + 16]) for i in (0, 16)]
        return ("  Reading sector 0 (MBR)...\n"
                "  First 32 bytes of sector 0:\n"
                "    %s\n    %s\n" % tuple(first) +
                "  MBR signature: 0x%X 0x%X\n" % (sector[510], sector[511]))


def listing_line(letter, ino, name):
    return "    [%s] inode=%d  %s\n" % (letter, ino, name)


# ------------------------------------------------------------ damaged volumes
#
# Each maker takes a work directory (private to the caller) and a source folder,
# and returns (path, reply to `mount`).

def _fresh(workdir, source, name, **kwargs):
    return make_image(os.path.join(workdir, name + ".img"), source, **kwargs)


def bad_magic(workdir, source):
    img = _fresh(workdir, source, "bad-magic")
    img.put16(SUPERBLOCK + S_MAGIC, 0)
    return img.path, MOUNTING + "[ext2] Bad magic: 0x0 (expected 0xEF53)\n" + MOUNT_FAILED


def empty_partition(workdir, source):
    """A partitioned disk whose partition holds zeros only."""
    img = _fresh(workdir, source, "empty-partition")
    size = os.path.getsize(img.path)
    with open(img.path, "r+b") as f:
        f.truncate(PARTITION_OFFSET)
        f.truncate(size)
    return img.path, MOUNTING + "[ext2] Bad magic: 0x0 (expected 0xEF53)\n" + MOUNT_FAILED


def zero_blocks_per_group(workdir, source):
    img = _fresh(workdir, source, "zero-blocks-per-group")
    img.put32(SUPERBLOCK + S_BLOCKS_PER_GROUP, 0)
    return img.path, (MOUNTING + "[ext2] Bad superblock: 0 blocks and %d inodes per group\n"
                      % img.sb(S_INODES_PER_GROUP) + MOUNT_FAILED)


def zero_inodes_per_group(workdir, source):
    img = _fresh(workdir, source, "zero-inodes-per-group")
    img.put32(SUPERBLOCK + S_INODES_PER_GROUP, 0)
    return img.path, (MOUNTING + "[ext2] Bad superblock: %d blocks and 0 inodes per group\n"
                      % img.sb(S_BLOCKS_PER_GROUP) + MOUNT_FAILED)


def bad_inode_size(workdir, source):
    """A revision-1 volume whose inode size is no power of two."""
    img = _fresh(workdir, source, "bad-inode-size")
    img.put16(SUPERBLOCK + S_INODE_SIZE, 100)
    return img.path, MOUNTING + "[ext2] Bad inode size 100\n" + MOUNT_FAILED


def block_size_8k(workdir, source):
    """A 4 KiB volume that claims 8 KiB blocks, more than the block buffers hold."""
    img = _fresh(workdir, source, "block-size-8k", block_size=4096)
    img.put32(SUPERBLOCK + S_LOG_BLOCK_SIZE, 3)
    return img.path, (MOUNTING + "[ext2] Unsupported block size (s_log_block_size=3, at most 4096 bytes)\n" +
                      MOUNT_FAILED)


def root_rec_len_zero(workdir, source, index=3):
    """The root directory's record number `index` (from 0) gets rec_len 0: the
    mount succeeds and the listing ends with the records before it."""
    img = _fresh(workdir, source, "root-rec-len-zero")
    reply = img.mount_reply(entries=index)
    entries = img.dir_entries(ROOT_INO)
    if any(e[1] == 0 for e in entries[:index]):
        raise AssertionError("an empty record before the patched one changes the count")
    img.put16(entries[index][0] + 4, 0)
    return img.path, reply


MALFORMED = {
    "bad_magic": bad_magic,
    "empty_partition": empty_partition,
    "zero_blocks_per_group": zero_blocks_per_group,
    "zero_inodes_per_group": zero_inodes_per_group,
    "bad_inode_size": bad_inode_size,
    "block_size_8k": block_size_8k,
    "root_rec_len_zero": root_rec_len_zero,
}


# ------------------------------------------------------------ failing sectors

def blkdebug_rules(sectors, once=False):
    """blkdebug configuration text that fails guest reads (EIO) of each of
    `sectors`; with `once` each rule fires a single time and is then gone."""
    return "".join('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\nonce = "%s"\n\n'
                   % (sector, "on" if once else "off") for sector in sectors)


def blkdebug_drive(image, config):
    """QEMU -drive value for `image` as the primary master behind blkdebug.
    The raw format driver sits on top: it raises the read_aio event in the
    blkdebug node below it, which arms the rules; blkdebug on top of raw would
    see no event and fail nothing."""
    return ("driver=raw,file.driver=blkdebug,file.config=%s,file.image.driver=file,"
            "file.image.filename=%s,if=ide,index=0,media=disk" % (_escape(config), _escape(image)))


def _escape(path):
    return path.replace(",", ",,")  # QEMU's option syntax doubles a literal comma
