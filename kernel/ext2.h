// Read-only ext2 reader (revisions 0 and 1) over a sector-read routine.
#pragma once
#include <cstddef>
#include <cstdint>

// Reads `count` sectors from `lba` (relative to the volume) into `dst`; 0 on success.
using sector_read_fn = int (*)(uint32_t lba, uint32_t count, void* dst);

constexpr uint32_t EXT2_SUPERBLOCK_COPY = 204;  // bytes kept, through s_algo_bitmap
constexpr uint32_t EXT2_INODE_COPY = 128;
constexpr uint32_t EXT2_ROOT_INO = 2;
constexpr uint32_t EXT2_VOLUME_NAME_OFFSET = 120;
constexpr uint32_t EXT2_VOLUME_NAME_LEN = 16;

struct ext2_fs {
    sector_read_fn read_sectors;
    uint8_t sb[EXT2_SUPERBLOCK_COPY];
    uint8_t* bgdt;
    uint32_t block_size;
    uint32_t inodes_per_group;
    uint32_t inode_size;
    uint32_t group_count;
    // Sectors the reader can serve from the volume's start, 0 when unknown:
    // bounds how far a directory walk may go, whatever the volume claims.
    uint32_t sector_count;
};

struct ext2_file {
    ext2_fs* volume;
    uint8_t inode[EXT2_INODE_COPY];
    uint32_t ino;
    uint32_t size;
    uint32_t pos;
};

// Called once per directory entry: name (zero-terminated copy), its length,
// inode number, file_type byte, user data.
using ext2_dir_callback = void (*)(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type,
                                   void* user);

int ext2_mount(ext2_fs* fs, uint32_t partition_lba);
int ext2_init(ext2_fs* fs, sector_read_fn read_sectors);
int ext2_read_inode(ext2_fs* fs, uint32_t ino, void* dst);
int read_inode_data(ext2_fs* fs, const void* inode, uint32_t offset, uint32_t count, void* dst);
int ext2_open(ext2_fs* fs, const char* path, ext2_file* file);
int ext2_read(ext2_file* file, void* dst, uint32_t count);
void ext2_close(ext2_file* file);
bool ext2_is_regular(const ext2_file* file);  // a plain file, not a directory, link or device
int ext2_readdir(ext2_fs* fs, uint32_t dir_ino, ext2_dir_callback callback, void* user);
int part_read(uint32_t lba, uint32_t count, void* dst);

// For programs' files: quiet (they print nothing but a spent budget's line), and
// each lookup or listing starts with ext2_budget_begin.
void ext2_budget_begin();
// The inode number `name` (len bytes) has in the directory whose inode bytes
// are given; 0 when it has none, -1 when the directory could not be read.
int64_t ext2_lookup(ext2_fs* fs, const void* dir_inode, const char* name, uint32_t len);
struct ext2_dirent {
    uint32_t ino;
    uint8_t file_type;  // 0 on revision-0 volumes, which record none
    uint8_t name_len;
    char name[256];
};
// The first live entry at or after byte `pos` of a directory: 1 with *out and
// the position after it in *next; 0 at the end; -1 on a failure.
int ext2_dir_next(ext2_fs* fs, const void* dir_inode, uint64_t pos, ext2_dirent* out, uint64_t* next);
// A symbolic link's target, at most `capacity` bytes, not terminated; its length
// or -1.
int ext2_link_target(ext2_fs* fs, const void* link_inode, char* dst, uint32_t capacity);
struct ext2_stat {
    uint16_t mode, uid, gid, links;
    uint32_t size, blocks, atime, mtime, ctime;
};
ext2_stat ext2_stat_of(const void* inode_bytes);
constexpr uint16_t EXT2_TYPE_MASK = 0xF000;  // the file-type field of i_mode
constexpr uint16_t EXT2_TYPE_DIR = 0x4000;
constexpr uint16_t EXT2_TYPE_REGULAR = 0x8000;
constexpr uint16_t EXT2_TYPE_LINK = 0xA000;
