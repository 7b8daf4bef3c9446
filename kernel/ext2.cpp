// Read-only ext2 reader (revisions 0 and 1) over a sector-read routine.
//
// The module owns the partition offset and three static buffers: the group
// descriptors of the mounted volume and two block buffers that every read
// passes through. Nothing on disk is trusted: each number that becomes an
// address (block, sector, inode-table offset, directory record length) is
// checked against the volume's own limits before use, so a damaged or hostile
// volume ends in a failed call, never in a read outside the volume or a buffer.
#include "ext2.h"

#include "ata.h"
#include "main.h"

namespace {

// On-disk layouts (little-endian, as the x86 reads them).
struct ext2_superblock {
    uint32_t s_inodes_count;
    uint32_t s_blocks_count;
    uint32_t s_r_blocks_count;
    uint32_t s_free_blocks_count;
    uint32_t s_free_inodes_count;
    uint32_t s_first_data_block;
    uint32_t s_log_block_size;
    uint32_t s_log_frag_size;
    uint32_t s_blocks_per_group;
    uint32_t s_frags_per_group;
    uint32_t s_inodes_per_group;
    uint32_t s_mtime;
    uint32_t s_wtime;
    uint16_t s_mnt_count;
    uint16_t s_max_mnt_count;
    uint16_t s_magic;
    uint16_t s_state;
    uint16_t s_errors;
    uint16_t s_minor_rev_level;
    uint32_t s_lastcheck;
    uint32_t s_checkinterval;
    uint32_t s_creator_os;
    uint32_t s_rev_level;
    uint16_t s_def_resuid;
    uint16_t s_def_resgid;
    uint32_t s_first_ino;
    uint16_t s_inode_size;
    uint16_t s_block_group_nr;
    uint32_t s_feature_compat;
    uint32_t s_feature_incompat;
    uint32_t s_feature_ro_compat;
    uint8_t s_uuid[16];
    char s_volume_name[16];
    char s_last_mounted[64];
    uint32_t s_algo_bitmap;
};
static_assert(sizeof(ext2_superblock) == EXT2_SUPERBLOCK_COPY);
static_assert(offsetof(ext2_superblock, s_log_block_size) == 24);
static_assert(offsetof(ext2_superblock, s_blocks_per_group) == 32);
static_assert(offsetof(ext2_superblock, s_inodes_per_group) == 40);
static_assert(offsetof(ext2_superblock, s_magic) == 56);
static_assert(offsetof(ext2_superblock, s_rev_level) == 76);
static_assert(offsetof(ext2_superblock, s_inode_size) == 88);
static_assert(offsetof(ext2_superblock, s_volume_name) == EXT2_VOLUME_NAME_OFFSET);
static_assert(offsetof(ext2_superblock, s_algo_bitmap) == 200);

struct ext2_group_desc {
    uint32_t bg_block_bitmap;
    uint32_t bg_inode_bitmap;
    uint32_t bg_inode_table;
    uint16_t bg_free_blocks_count;
    uint16_t bg_free_inodes_count;
    uint16_t bg_used_dirs_count;
    uint16_t bg_pad;
    uint8_t bg_reserved[12];
};
static_assert(sizeof(ext2_group_desc) == 32);
static_assert(offsetof(ext2_group_desc, bg_inode_table) == 8);

constexpr uint32_t EXT2_DIRECT_BLOCKS = 12;
constexpr uint32_t EXT2_IND_BLOCK = 12;
constexpr uint32_t EXT2_DIND_BLOCK = 13;
constexpr uint32_t EXT2_BLOCK_POINTERS = 15;

struct ext2_inode {
    uint16_t i_mode;
    uint16_t i_uid;
    uint32_t i_size;
    uint32_t i_atime;
    uint32_t i_ctime;
    uint32_t i_mtime;
    uint32_t i_dtime;
    uint16_t i_gid;
    uint16_t i_links_count;
    uint32_t i_blocks;
    uint32_t i_flags;
    uint32_t i_osd1;
    uint32_t i_block[EXT2_BLOCK_POINTERS];
    uint32_t i_generation;
    uint32_t i_file_acl;
    uint32_t i_size_high;
    uint32_t i_faddr;
    uint8_t i_osd2[12];
};
static_assert(sizeof(ext2_inode) == EXT2_INODE_COPY);
static_assert(offsetof(ext2_inode, i_size) == 4);
static_assert(offsetof(ext2_inode, i_block) == 40);
static_assert(offsetof(ext2_inode, i_block) + EXT2_IND_BLOCK * 4 == 88);
static_assert(offsetof(ext2_inode, i_block) + EXT2_DIND_BLOCK * 4 == 92);

struct ext2_dir_entry_header {
    uint32_t inode;
    uint16_t rec_len;
    uint8_t name_len;
    uint8_t file_type;
};
static_assert(sizeof(ext2_dir_entry_header) == 8);

constexpr uint16_t EXT2_MAGIC = 0xEF53;
constexpr uint32_t EXT2_I_BLOCKS_UNIT = 512;  // i_blocks counts 512-byte units
constexpr uint32_t EXT2_GOOD_OLD_REV = 0;
constexpr uint32_t EXT2_GOOD_OLD_INODE_SIZE = 128;
constexpr uint32_t EXT2_MIN_BLOCK_SIZE = 1024;
constexpr uint32_t EXT2_MAX_NAME = 255;

constexpr uint32_t SECTOR_BYTES = 512;
constexpr uint32_t SUPERBLOCK_SECTOR = 2;  // byte 1024 of the volume
constexpr uint32_t SUPERBLOCK_SECTORS = 2;
constexpr uint32_t SUPERBLOCK_BYTES = SUPERBLOCK_SECTOR * SECTOR_BYTES;

// The block buffers hold one block, so 4 KiB is the largest block size served.
// The descriptor buffer holds one such block whole, which bounds the groups a
// volume may have: 128, or 1 GiB of 1 KiB blocks and 16 GiB of 4 KiB blocks.
constexpr uint32_t BLOCK_BUF_BYTES = 4096;
constexpr uint32_t MAX_LOG_BLOCK_SIZE = 2;  // 1024 << 2 = 4096
constexpr uint32_t BGDT_BUF_BYTES = 4096;
constexpr uint32_t MAX_GROUPS = BGDT_BUF_BYTES / sizeof(ext2_group_desc);
static_assert(EXT2_MIN_BLOCK_SIZE << MAX_LOG_BLOCK_SIZE == BLOCK_BUF_BYTES);

constexpr uint32_t NO_BLOCK = 0;
// Directory blocks one lookup or one listing may read: far more than any real
// path needs, and few enough that a volume whose directories map every block to
// the same few cannot hold the kernel for minutes.
constexpr uint32_t DIR_BLOCK_BUDGET = 1024;

uint32_t g_part_offset = 0;
alignas(8) uint8_t bgdt_buf[BGDT_BUF_BYTES];
alignas(8) uint8_t block_buf[BLOCK_BUF_BYTES];
alignas(8) uint8_t dir_buf[BLOCK_BUF_BYTES];  // the directory block being walked
// The indirect blocks last read, kept with their numbers: a file read block by
// block needs each only once, not once for every block it maps.
alignas(8) uint8_t ind_buf[BLOCK_BUF_BYTES];
alignas(8) uint8_t dind_buf[BLOCK_BUF_BYTES];
uint32_t ind_cached = NO_BLOCK;
uint32_t dind_cached = NO_BLOCK;
uint32_t dir_cached = NO_BLOCK;  // the block dir_buf holds
uint32_t dir_blocks_left = DIR_BLOCK_BUDGET;
uint64_t dir_charged = ~0ull;  // the walk's block last charged

// The superblock copy in the record is bytes; these read it into its layout
// without assuming its alignment.
ext2_superblock superblock_of(const ext2_fs* fs) {
    ext2_superblock sb;
    kmemcpy(&sb, fs->sb, sizeof sb);
    return sb;
}

ext2_inode inode_of(const void* bytes) {
    ext2_inode inode;
    kmemcpy(&inode, bytes, sizeof inode);
    return inode;
}

uint32_t pointer_at(const uint8_t* block, uint32_t index) {
    uint32_t value;
    kmemcpy(&value, block + index * sizeof value, sizeof value);
    return value;
}

// The type is a 4-bit field, not a set of flags: a block device (0x6000) or a
// socket (0xC000) also has the directory's bit set.
bool is_directory(const ext2_inode& inode) { return (inode.i_mode & EXT2_TYPE_MASK) == EXT2_TYPE_DIR; }

// A fast symbolic link keeps its target text in the block-pointer bytes and owns
// no data block; only an extended-attribute block may be counted in i_blocks.
bool is_fast_symlink(const ext2_fs* fs, const ext2_inode& inode) {
    if ((inode.i_mode & EXT2_TYPE_MASK) != EXT2_TYPE_LINK) return false;
    const uint32_t xattr_units = inode.i_file_acl != NO_BLOCK ? fs->block_size / EXT2_I_BLOCKS_UNIT : 0;
    return inode.i_blocks == xattr_units;
}

// Reads block `block` into `dst` (block_size bytes). Block 0 is the "no block"
// marker and reads as zeros. A number outside the volume, or one whose sector
// address does not fit the routine's 32 bits, fails instead of wrapping.
bool read_block(const ext2_fs* fs, uint32_t block, void* dst) {
    if (block == NO_BLOCK) {
        kmemset(dst, 0, fs->block_size);
        return true;
    }
    const uint32_t blocks_count = superblock_of(fs).s_blocks_count;
    const uint32_t sectors_per_block = fs->block_size / SECTOR_BYTES;
    if (block >= blocks_count) {
        kprintf("[ext2] Block %d is beyond the volume's %d blocks\n", block, blocks_count);
        return false;
    }
    const uint64_t sector = static_cast<uint64_t>(block) * sectors_per_block;
    if (sector > UINT32_MAX) {
        kprintf("[ext2] Block %d lies beyond the 32-bit sector range\n", block);
        return false;
    }
    return fs->read_sectors(static_cast<uint32_t>(sector), sectors_per_block, dst) == 0;
}

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The superblock's numbers that later become divisors, shifts and buffer
// sizes; each refusal names what is wrong.
bool superblock_usable(const ext2_superblock& sb) {
    if (sb.s_log_block_size > MAX_LOG_BLOCK_SIZE) {
        kprintf("[ext2] Unsupported block size (s_log_block_size=%d, at most 4096 bytes)\n", sb.s_log_block_size);
        return false;
    }
    const uint32_t block_size = EXT2_MIN_BLOCK_SIZE << sb.s_log_block_size;
    if (sb.s_blocks_per_group == 0 || sb.s_inodes_per_group == 0) {
        kprintf("[ext2] Bad superblock: %d blocks and %d inodes per group\n", sb.s_blocks_per_group,
                sb.s_inodes_per_group);
        return false;
    }
    if (sb.s_rev_level != EXT2_GOOD_OLD_REV &&
        (!is_power_of_two(sb.s_inode_size) || sb.s_inode_size < EXT2_GOOD_OLD_INODE_SIZE ||
         sb.s_inode_size > block_size)) {
        kprintf("[ext2] Bad inode size %d\n", sb.s_inode_size);
        return false;
    }
    const uint32_t groups =
        sb.s_blocks_count / sb.s_blocks_per_group + (sb.s_blocks_count % sb.s_blocks_per_group != 0 ? 1 : 0);
    if (groups == 0) {
        kprintf("[ext2] Volume has no block groups\n");
        return false;
    }
    if (groups > MAX_GROUPS) {
        kprintf("[ext2] Too many block groups: %d (at most %d)\n", groups, MAX_GROUPS);
        return false;
    }
    return true;
}

ext2_group_desc group_desc(const ext2_fs* fs, uint32_t group) {
    ext2_group_desc desc;
    kmemcpy(&desc, fs->bgdt + group * sizeof desc, sizeof desc);
    return desc;
}

// Reads an indirect block through its one-block cache; a failed read leaves
// nothing cached, so its stale bytes are never taken for pointers.
bool read_indirect(const ext2_fs* fs, uint32_t block, uint8_t* buf, uint32_t& cached) {
    if (cached == block) return true;
    cached = NO_BLOCK;
    if (!read_block(fs, block, buf)) return false;
    cached = block;
    return true;
}

// Physical block of logical block n of `inode`, NO_BLOCK for a hole; false when
// an indirect block cannot be read.
bool map_block(const ext2_fs* fs, const ext2_inode& inode, uint32_t n, uint32_t* physical) {
    const uint32_t per_block = fs->block_size / sizeof(uint32_t);
    *physical = NO_BLOCK;
    if (n < EXT2_DIRECT_BLOCKS) {
        *physical = inode.i_block[n];
        return true;
    }
    n -= EXT2_DIRECT_BLOCKS;
    if (n < per_block) {
        const uint32_t ind = inode.i_block[EXT2_IND_BLOCK];
        if (ind == NO_BLOCK) return true;
        if (!read_indirect(fs, ind, ind_buf, ind_cached)) return false;
        *physical = pointer_at(ind_buf, n);
        return true;
    }
    n -= per_block;
    if (n < per_block * per_block) {
        const uint32_t dind = inode.i_block[EXT2_DIND_BLOCK];
        if (dind == NO_BLOCK) return true;
        if (!read_indirect(fs, dind, dind_buf, dind_cached)) return false;
        const uint32_t ind = pointer_at(dind_buf, n / per_block);
        if (ind == NO_BLOCK) return true;
        if (!read_indirect(fs, ind, ind_buf, ind_cached)) return false;
        *physical = pointer_at(ind_buf, n % per_block);
        return true;
    }
    return true;  // the triple-indirect range is not served: a hole
}

// How many blocks a walk of `dir` may read: those its size covers, but never
// more than the inode owns (i_blocks counts 512-byte units, indirect blocks
// included), than the volume has, or than the disk under it holds. A damaged
// directory that claims gigabytes with one block mapped everywhere then costs
// no more reads than the disk has blocks.
uint64_t walk_limit(const ext2_fs* fs, const ext2_inode& dir) {
    const uint32_t units_per_block = fs->block_size / EXT2_I_BLOCKS_UNIT;
    uint64_t limit = (static_cast<uint64_t>(dir.i_size) + fs->block_size - 1) / fs->block_size;
    const uint64_t caps[] = {
        dir.i_blocks / units_per_block,
        superblock_of(fs).s_blocks_count,
        fs->sector_count != 0 ? fs->sector_count / units_per_block : limit,
    };
    for (const uint64_t cap : caps)
        if (cap < limit) limit = cap;
    return limit;
}

// Reads block n of directory `dir` into dir_buf (unless it holds it already),
// charged to the budget once per block of the walk. Returns how many of its bytes the directory's size
// covers; 0 at a hole or past the end (walk_limit); -1 on a failure.
int64_t load_dir_block(ext2_fs* fs, const ext2_inode& dir, uint64_t n) {
    if (n >= walk_limit(fs, dir)) return 0;
    uint32_t physical;
    if (!map_block(fs, dir, static_cast<uint32_t>(n), &physical)) return -1;
    if (physical == NO_BLOCK) return 0;
    if (n != dir_charged) {  // each block of the walk counts, read or found in dir_buf
        if (dir_blocks_left == 0) {
            kprintf("[ext2] Directory walk stopped after %d blocks\n", DIR_BLOCK_BUDGET);
            return -1;
        }
        --dir_blocks_left;
        dir_charged = n;
    }
    if (physical != dir_cached) {
        dir_cached = NO_BLOCK;
        if (!read_block(fs, physical, dir_buf)) return -1;
        dir_cached = physical;
    }
    const uint64_t left = dir.i_size - n * fs->block_size;
    return left < fs->block_size ? left : fs->block_size;
}

// The record at `off` of a directory block whose first `used` bytes count: it
// must hold its header and name and stay inside the block (ext2's own rule).
bool record_at(uint64_t off, uint64_t used, ext2_dir_entry_header* h) {
    if (used - off < sizeof *h) return false;
    kmemcpy(h, dir_buf + off, sizeof *h);
    return h->rec_len >= sizeof *h + h->name_len && h->rec_len <= used - off;
}

// Called for every live entry with its header and zero-terminated name; true
// ends the walk.
using entry_visitor = bool (*)(const ext2_dir_entry_header& header, const char* name, void* ctx);

// Walks `dir` block by block, each block read once and its entries parsed in
// place. The first malformed record ends the walk (-1); so does a failed read
// or a spent budget. The walk also ends at the directory's size, at a hole, or
// at walk_limit.
int walk_directory(ext2_fs* fs, const ext2_inode& dir, entry_visitor visit, void* ctx) {
    for (uint64_t n = 0;; ++n) {
        const int64_t used = load_dir_block(fs, dir, n);
        if (used <= 0) return static_cast<int>(used);
        ext2_dir_entry_header h;
        for (uint64_t off = 0; off < static_cast<uint64_t>(used); off += h.rec_len) {
            if (!record_at(off, used, &h)) return -1;
            if (h.inode != 0) {
                char name[EXT2_MAX_NAME + 1];
                kmemcpy(name, dir_buf + off + sizeof h, h.name_len);
                name[h.name_len] = '\0';
                if (visit(h, name, ctx)) return 0;
            }
        }
    }
}

struct lookup {
    const char* name;
    uint32_t len;
    uint32_t ino;  // 0 until found
};

bool match_entry(const ext2_dir_entry_header& h, const char* name, void* ctx) {
    auto* want = static_cast<lookup*>(ctx);
    if (h.name_len != want->len || kstrncmp(name, want->name, want->len) != 0) return false;
    want->ino = h.inode;
    return true;
}

struct listing {
    ext2_dir_callback callback;
    void* user;
};

bool list_entry(const ext2_dir_entry_header& h, const char* name, void* ctx) {
    const auto* l = static_cast<const listing*>(ctx);
    l->callback(name, h.name_len, h.inode, h.file_type, l->user);
    return false;
}

}  // namespace

int part_read(uint32_t lba, uint32_t count, void* dst) {
    if (lba > UINT32_MAX - g_part_offset) return -1;  // would wrap to the disk's start
    return ata_block_read(lba + g_part_offset, count, dst);
}

int ext2_mount(ext2_fs* fs, uint32_t partition_lba) {
    if (!ata_is_present()) {
        kprintf("[ext2] No ATA drive available\n");
        return -1;
    }
    g_part_offset = partition_lba;
    kprintf("[ext2] Mounting ext2 from ATA (partition LBA %d)...\n", partition_lba);
    if (ext2_init(fs, part_read) != 0) return -1;
    const uint32_t disk = ata_get_sector_count();
    // A volume starting past the disk's end has no sectors under it; 1 keeps
    // the record's "unknown" value 0 from lifting every bound.
    fs->sector_count = disk > partition_lba ? disk - partition_lba : 1;
    return 0;
}

int ext2_init(ext2_fs* fs, sector_read_fn read_sectors) {
    kmemset(fs, 0, sizeof *fs);
    ind_cached = dind_cached = dir_cached = NO_BLOCK;  // they were another volume's
    fs->read_sectors = read_sectors;

    alignas(8) uint8_t raw[SUPERBLOCK_BYTES];
    if (read_sectors(SUPERBLOCK_SECTOR, SUPERBLOCK_SECTORS, raw) != 0) {
        kprintf("[ext2] Failed to read superblock\n");
        return -1;
    }
    kmemcpy(fs->sb, raw, EXT2_SUPERBLOCK_COPY);
    const ext2_superblock sb = superblock_of(fs);
    if (sb.s_magic != EXT2_MAGIC) {
        kprintf("[ext2] Bad magic: 0x%x (expected 0xEF53)\n", sb.s_magic);
        return -1;
    }
    if (!superblock_usable(sb)) return -1;

    fs->block_size = EXT2_MIN_BLOCK_SIZE << sb.s_log_block_size;
    fs->inodes_per_group = sb.s_inodes_per_group;
    fs->inode_size = sb.s_rev_level == EXT2_GOOD_OLD_REV ? EXT2_GOOD_OLD_INODE_SIZE : sb.s_inode_size;
    fs->group_count = sb.s_blocks_count / sb.s_blocks_per_group +
                      (sb.s_blocks_count % sb.s_blocks_per_group != 0 ? 1 : 0);

    kprintf("[ext2] Magic OK, block_size=%d, inodes=%d, groups=%d\n", fs->block_size, sb.s_inodes_count,
            fs->group_count);
    kprintf("[ext2] Volume: ");
    kprint_escaped(sb.s_volume_name, kstrnlen(sb.s_volume_name, EXT2_VOLUME_NAME_LEN));
    kprintf("\n");

    // The descriptor table follows the superblock's block: block 2 with 1 KiB
    // blocks (the superblock fills block 1), block 1 otherwise.
    fs->bgdt = bgdt_buf;
    const uint32_t first = fs->block_size == EXT2_MIN_BLOCK_SIZE ? 2 : 1;
    const uint32_t table_bytes = fs->group_count * sizeof(ext2_group_desc);
    const uint32_t table_blocks = (table_bytes + fs->block_size - 1) / fs->block_size;
    for (uint32_t i = 0; i < table_blocks && i * fs->block_size < BGDT_BUF_BYTES; ++i) {
        if (!read_block(fs, first + i, bgdt_buf + i * fs->block_size)) {
            kprintf("[ext2] Failed to read BGDT block %d\n", first + i);
            return -1;
        }
    }
    kprintf("[ext2] Initialized successfully\n");
    return 0;
}

int ext2_read_inode(ext2_fs* fs, uint32_t ino, void* dst) {
    // A record that was never mounted (or whose mount was refused) has no
    // geometry; it must not become a division by zero.
    if (ino == 0 || fs->inodes_per_group == 0 || fs->block_size == 0) return -1;
    const uint32_t group = (ino - 1) / fs->inodes_per_group;
    const uint32_t index = (ino - 1) % fs->inodes_per_group;
    if (group >= fs->group_count) return -1;

    const uint64_t offset = static_cast<uint64_t>(index) * fs->inode_size;
    const uint64_t block = group_desc(fs, group).bg_inode_table + offset / fs->block_size;
    const uint32_t within = static_cast<uint32_t>(offset % fs->block_size);
    if (block > UINT32_MAX || !read_block(fs, static_cast<uint32_t>(block), block_buf)) {
        kprintf("[ext2] Failed to read inode table block %d\n", block);
        return -1;
    }
    kmemcpy(dst, block_buf + within, EXT2_INODE_COPY);
    return 0;
}

int read_inode_data(ext2_fs* fs, const void* inode_bytes, uint32_t offset, uint32_t count, void* dst) {
    const ext2_inode inode = inode_of(inode_bytes);
    if (count == 0 || offset >= inode.i_size) return 0;
    if (fs->block_size == 0) return -1;  // not mounted
    // The result is an int: a single call delivers at most 2^31 - 1 bytes.
    constexpr uint32_t MAX_RESULT = 0x7FFFFFFF;
    if (count > MAX_RESULT) count = MAX_RESULT;

    auto* out = static_cast<uint8_t*>(dst);
    uint32_t done = 0;
    while (count > 0 && offset < inode.i_size) {
        const uint32_t n = offset / fs->block_size;
        const uint32_t start = offset % fs->block_size;
        uint32_t chunk = fs->block_size - start;
        if (chunk > count) chunk = count;
        if (chunk > inode.i_size - offset) chunk = inode.i_size - offset;

        uint32_t physical;
        if (!map_block(fs, inode, n, &physical)) return -1;
        if (physical == NO_BLOCK) {
            kmemset(out, 0, chunk);
        } else {
            if (!read_block(fs, physical, block_buf)) return -1;
            kmemcpy(out, block_buf + start, chunk);
        }
        out += chunk;
        offset += chunk;
        count -= chunk;
        done += chunk;
    }
    return static_cast<int>(done);
}

int ext2_open(ext2_fs* fs, const char* path, ext2_file* file) {
    kmemset(file, 0, sizeof *file);
    file->volume = fs;

    alignas(8) uint8_t current[EXT2_INODE_COPY];
    if (ext2_read_inode(fs, EXT2_ROOT_INO, current) != 0) {
        kprintf("[ext2] Failed to read root inode\n");
        return -1;
    }
    uint32_t ino = EXT2_ROOT_INO;
    while (*path == '/') ++path;
    ext2_budget_begin();

    while (*path != '\0') {
        uint32_t len = 0;
        while (path[len] != '\0' && path[len] != '/') ++len;

        const ext2_inode dir = inode_of(current);
        if (!is_directory(dir)) return -1;

        // A malformed directory ends the search like its end does: not found.
        lookup want = {path, len, 0};
        walk_directory(fs, dir, match_entry, &want);
        if (want.ino == 0) {
            kprintf("[ext2] Not found: %.*s\n", len, path);
            return -1;
        }
        ino = want.ino;
        if (ext2_read_inode(fs, ino, current) != 0) return -1;
        path += len;
        while (*path == '/') ++path;
    }

    kmemcpy(file->inode, current, EXT2_INODE_COPY);
    file->ino = ino;
    file->size = inode_of(current).i_size;
    file->pos = 0;
    kprintf("[ext2] Opened inode %d, size=%d bytes\n", file->ino, file->size);
    return 0;
}

int ext2_read(ext2_file* file, void* dst, uint32_t count) {
    if (file->pos >= file->size) return 0;
    if (count > file->size - file->pos) count = file->size - file->pos;
    const ext2_inode inode = inode_of(file->inode);
    if (is_fast_symlink(file->volume, inode)) {
        // The block pointers are the text: never take them as block numbers.
        constexpr uint32_t TARGET_BYTES = sizeof inode.i_block;
        if (file->pos >= TARGET_BYTES) return -1;
        if (count > TARGET_BYTES - file->pos) count = TARGET_BYTES - file->pos;
        kmemcpy(dst, reinterpret_cast<const uint8_t*>(inode.i_block) + file->pos, count);
        file->pos += count;
        return static_cast<int>(count);
    }
    const int got = read_inode_data(file->volume, file->inode, file->pos, count, dst);
    if (got > 0) file->pos += static_cast<uint32_t>(got);
    return got;
}

bool ext2_is_regular(const ext2_file* file) {
    return (inode_of(file->inode).i_mode & EXT2_TYPE_MASK) == EXT2_TYPE_REGULAR;
}

void ext2_close(ext2_file* file) {
    file->size = 0;
    file->pos = 0;
}

int ext2_readdir(ext2_fs* fs, uint32_t dir_ino, ext2_dir_callback callback, void* user) {
    alignas(8) uint8_t raw[EXT2_INODE_COPY];
    if (ext2_read_inode(fs, dir_ino, raw) != 0) return -1;
    const ext2_inode dir = inode_of(raw);
    if (!is_directory(dir)) return -1;
    listing l = {callback, user};
    ext2_budget_begin();
    return walk_directory(fs, dir, list_entry, &l);
}

void ext2_budget_begin() {
    dir_blocks_left = DIR_BLOCK_BUDGET;
    dir_charged = ~0ull;
}

int64_t ext2_lookup(ext2_fs* fs, const void* dir_inode, const char* name, uint32_t len) {
    const ext2_inode dir = inode_of(dir_inode);
    if (!is_directory(dir)) return -1;
    lookup want = {name, len, 0};
    if (walk_directory(fs, dir, match_entry, &want) != 0) return -1;
    return want.ino;
}

int ext2_dir_next(ext2_fs* fs, const void* dir_inode, uint64_t pos, ext2_dirent* out, uint64_t* next) {
    const ext2_inode dir = inode_of(dir_inode);
    if (!is_directory(dir) || fs->block_size == 0) return -1;
    // Records are found from their block's start, so any position (one a
    // program chose with lseek, say) lands on the first record at or after it.
    for (uint64_t n = pos / fs->block_size;; ++n) {
        const int64_t used = load_dir_block(fs, dir, n);
        if (used <= 0) return static_cast<int>(used);
        const uint64_t base = n * fs->block_size;
        ext2_dir_entry_header h;
        for (uint64_t off = 0; off < static_cast<uint64_t>(used); off += h.rec_len) {
            if (!record_at(off, used, &h)) return -1;
            if (base + off < pos || h.inode == 0) continue;
            out->ino = h.inode;
            out->file_type = h.file_type;
            out->name_len = h.name_len;
            kmemcpy(out->name, dir_buf + off + sizeof h, h.name_len);
            out->name[h.name_len] = '\0';
            *next = base + off + h.rec_len;
            return 1;
        }
    }
}

int ext2_link_target(ext2_fs* fs, const void* link_inode, char* dst, uint32_t capacity) {
    const ext2_inode inode = inode_of(link_inode);
    if ((inode.i_mode & EXT2_TYPE_MASK) != EXT2_TYPE_LINK) return -1;
    uint32_t length = inode.i_size < capacity ? inode.i_size : capacity;
    if (is_fast_symlink(fs, inode)) {
        if (length > sizeof inode.i_block) length = sizeof inode.i_block;
        kmemcpy(dst, inode.i_block, length);
        return static_cast<int>(length);
    }
    return read_inode_data(fs, link_inode, 0, length, dst);
}

ext2_stat ext2_stat_of(const void* inode_bytes) {
    const ext2_inode inode = inode_of(inode_bytes);
    return {inode.i_mode, inode.i_uid, inode.i_gid, inode.i_links_count, inode.i_size,
            inode.i_blocks, inode.i_atime, inode.i_mtime, inode.i_ctime};
}
