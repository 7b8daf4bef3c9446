// Fuzz target: an ext2 volume, mounted by ext2_init through a sector routine over the bytes;
// every directory reachable from the root is listed, every name opened by its path and every
// file read in odd-sized pieces. Out of bounds: the volume is an exact-size buffer that the
// routine never reads past; it copies whole requests into the destination, each piece an
// exact-size heap buffer. Checked: names end at their length; each plain name (first of its
// name, no '/' or NUL, not . or ..) opens, also with a trailing '/', as the inode listed
// unless that inode is unreadable; "", "/", "//" open the root; no read returns more than
// asked; pieces equal one read of the range; reads at the end and after ext2_close return 0.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ext2.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t SECTOR = 512;
constexpr uint16_t S_IFDIR = 0x4000;
constexpr int MAX_DEPTH = 6;
constexpr int MAX_ENTRIES = 256;
constexpr uint64_t MAX_FILE_BYTES = 256 * 1024;
constexpr uint64_t MAX_INPUT_BYTES = 2 * 1024 * 1024;
constexpr uint32_t PIECES[] = {1, 3, 7, 64, 511, 513, 1000, 4097, 10007};

const uint8_t* g_volume;
size_t g_size;

int read_volume(uint32_t lba, uint32_t count, void* dst) {
    const uint64_t off = static_cast<uint64_t>(lba) * SECTOR;
    const uint64_t len = static_cast<uint64_t>(count) * SECTOR;
    if (off > g_size || len > g_size - off) return -1;
    std::memcpy(dst, g_volume + off, len);
    return 0;
}

struct entry {
    std::string name;
    uint32_t ino;
};

void collect(const char* name, uint32_t name_len, uint32_t ino, uint32_t, void* user) {
    FUZZ_CHECK(name_len <= 255 && name[name_len] == '\0');
    static_cast<std::vector<entry>*>(user)->push_back({std::string(name, name_len), ino});
}

template <typename T>
T field(const uint8_t* inode, size_t off) {
    T v;
    std::memcpy(&v, inode + off, sizeof v);
    return v;
}

struct walker {
    ext2_fs fs;
    int entries = 0;
    uint64_t bytes = 0;
    std::set<uint32_t> visited;

    void read_file(ext2_file& f) {
        std::vector<uint8_t> got;
        const uint64_t want = std::min<uint64_t>(f.size, MAX_FILE_BYTES);
        int last = 1;  // 0 once a read has reported the end
        for (size_t i = 0; got.size() < want && bytes < MAX_INPUT_BYTES; ++i) {
            const uint32_t piece = PIECES[i % (sizeof PIECES / sizeof PIECES[0])];
            std::vector<uint8_t> buf(piece);  // exactly the piece's size
            const uint32_t before = f.pos;
            last = ext2_read(&f, buf.data(), piece);
            FUZZ_CHECK(last <= static_cast<int>(piece));
            if (last <= 0) break;
            FUZZ_CHECK(f.pos == before + static_cast<uint32_t>(last));
            got.insert(got.end(), buf.begin(), buf.begin() + last);
            bytes += static_cast<uint64_t>(last);
        }
        if (last == 0) FUZZ_CHECK(f.pos == f.size);

        // A fast link's text lies in its block pointers, which the raw reader would take as blocks.
        const bool link = (field<uint16_t>(f.inode, 0) & 0xF000) == 0xA000;
        if (!got.empty() && !link) {
            std::vector<uint8_t> whole(got.size());
            const int n = read_inode_data(&fs, f.inode, 0, static_cast<uint32_t>(got.size()), whole.data());
            FUZZ_CHECK(n == static_cast<int>(got.size()) && whole == got);
        }
        uint8_t byte;
        if (f.pos >= f.size) FUZZ_CHECK(ext2_read(&f, &byte, 1) == 0);
        ext2_close(&f);
        FUZZ_CHECK(ext2_read(&f, &byte, 1) == 0);
    }

    void visit(const std::string& path, const entry& e, int depth) {
        alignas(8) uint8_t inode[EXT2_INODE_COPY];
        const bool readable = ext2_read_inode(&fs, e.ino, inode) == 0;
        ext2_file f;
        const int rc = ext2_open(&fs, path.c_str(), &f);
        if (!readable) {
            FUZZ_CHECK(rc != 0);
            return;
        }
        FUZZ_CHECK(rc == 0 && f.ino == e.ino && f.size == field<uint32_t>(inode, 4));
        ext2_file again;
        FUZZ_CHECK(ext2_open(&fs, (path + "/").c_str(), &again) == 0 && again.ino == e.ino);

        read_file(f);
        if ((field<uint16_t>(inode, 0) & S_IFDIR) != 0) walk(e.ino, path, depth + 1);
    }

    void walk(uint32_t dir, const std::string& path, int depth) {
        if (depth > MAX_DEPTH || !visited.insert(dir).second) return;
        std::vector<entry> list;
        ext2_readdir(&fs, dir, collect, &list);  // a damaged directory still delivers what came before
        std::set<std::string> seen;
        for (const entry& e : list) {
            if (++entries > MAX_ENTRIES || bytes >= MAX_INPUT_BYTES) return;
            const bool first = seen.insert(e.name).second;
            if (first && !e.name.empty() && e.name != "." && e.name != ".." &&
                e.name.find_first_of(std::string("/\0", 2)) == std::string::npos)
                visit(path + "/" + e.name, e, depth);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::quiet_bus();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_volume = data;
    g_size = size;
    walker w;
    if (ext2_init(&w.fs, read_volume) == 0) {
        w.fs.sector_count = static_cast<uint32_t>(std::min<size_t>(size / 512 + 1, UINT32_MAX));
        alignas(8) uint8_t root[EXT2_INODE_COPY];
        const bool root_readable = ext2_read_inode(&w.fs, EXT2_ROOT_INO, root) == 0;
        for (const char* path : {"", "/", "//"}) {
            ext2_file f;
            const int rc = ext2_open(&w.fs, path, &f);
            FUZZ_CHECK((rc == 0) == root_readable && (rc != 0 || f.ino == EXT2_ROOT_INO));
        }
        w.walk(EXT2_ROOT_INO, "", 0);
    }
    fuzz_support::end_input();
    return 0;
}
