// Fuzz target: an ext2 volume, mounted through a sector routine over the input bytes (which
// it never reads past); every directory reachable from the root is listed, every name opened
// and read in odd-sized pieces into exact-size buffers. Checked: names end at their length;
// a listed name opens as its inode when that inode is readable; the entry stream programs
// read lists the same; no read returns more than asked or moves the position otherwise.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ext2.h"
#include "fuzz_support.h"

namespace {
const uint8_t* g_volume;
size_t g_size;
int g_budget;  // entries left for this input

int read_volume(uint32_t lba, uint32_t count, void* dst) {
    const uint64_t off = uint64_t{lba} * 512, len = uint64_t{count} * 512;
    return off > g_size || len > g_size - off ? -1 : (std::memcpy(dst, g_volume + off, len), 0);
}

using listing = std::vector<std::pair<std::string, uint32_t>>;
void collect(const char* name, uint32_t len, uint32_t ino, uint32_t, void* user) {
    FUZZ_CHECK(len <= 255 && name[len] == '\0');
    static_cast<listing*>(user)->push_back({std::string(name, len), ino});
}

void walk(ext2_fs* fs, uint32_t dir, const std::string& path, std::set<uint32_t>& seen) {
    listing list;
    std::set<std::string> names;
    if (!seen.insert(dir).second || ext2_readdir(fs, dir, collect, &list) != 0) return;
    // The stream programs list directories with sees the same entries, each record once.
    uint8_t dir_inode[EXT2_INODE_COPY];
    listing streamed;
    ext2_dirent e;
    ext2_budget_begin();
    for (uint64_t pos = 0, next; ext2_read_inode(fs, dir, dir_inode) == 0 &&
                                 ext2_dir_next(fs, dir_inode, pos, &e, &next) == 1; pos = next) {
        FUZZ_CHECK(next > pos && e.name[e.name_len] == '\0');
        streamed.push_back({std::string(e.name, e.name_len), e.ino});
    }
    FUZZ_CHECK(streamed == list);
    for (const auto& [name, ino] : list) {
        if (--g_budget < 0 || !names.insert(name).second || name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("/\0", 2)) != std::string::npos)
            continue;
        ext2_file f;
        uint8_t inode[EXT2_INODE_COPY];
        const bool readable = ext2_read_inode(fs, ino, inode) == 0;
        FUZZ_CHECK(readable == (ext2_open(fs, (path + "/" + name).c_str(), &f) == 0) && (!readable || f.ino == ino));
        for (uint32_t piece : {1u, 511u, 4097u, 3u}) {
            std::vector<uint8_t> buf(piece);
            const uint32_t before = f.pos;
            const int got = readable ? ext2_read(&f, buf.data(), piece) : 0;  // an exact-size buffer
            FUZZ_CHECK(got <= static_cast<int>(piece) && (got < 0 || f.pos == before + static_cast<uint32_t>(got)));
        }
        if (readable && (inode[1] & 0x40)) walk(fs, ino, path + "/" + name, seen);  // a directory
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ext2_fs fs;
    std::set<uint32_t> seen;
    g_volume = data, g_size = size, g_budget = 256, host::ports.clear();
    if (ext2_init(&fs, read_volume) != 0) return 0;
    fs.sector_count = static_cast<uint32_t>(size / 512 + 1);  // as the mount gives it, from the disk
    walk(&fs, EXT2_ROOT_INO, "", seen);
    return 0;
}
