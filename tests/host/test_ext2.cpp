// The ext2 reader against volumes that mkfs.ext2 makes at test time from a known
// source tree; debugfs is the independent witness of what a volume holds.
// Damaged volumes are made by patching bytes of a good one.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "ata.h"
#include "ata_model.h"
#include "ext2.h"
#include "host_env.h"

namespace fs_ = std::filesystem;

namespace {

// ------------------------------------------------------------ host side helpers

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const std::string SBIN_PATH = "PATH=\"$PATH:/usr/sbin:/sbin\" ";

std::string debugfs(const std::string& image, const std::string& request) {
    std::string out;
    FILE* p = popen((SBIN_PATH + "debugfs -R " + quote(request) + " " + quote(image) + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

// A number that debugfs prints after `key` (e.g. "Inode count:").
uint64_t debugfs_field(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? ~0ull : std::stoull(text.substr(at + key.size()));
}

struct listed_entry {
    std::string name;
    uint32_t ino;
    uint32_t type;
    bool operator==(const listed_entry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const listed_entry& e) {
    return os << "{" << e.name << ", ino " << e.ino << ", type " << e.type << "}";
}

// `ls -l DIR` as debugfs prints it: inode, mode, (type), uid, gid, size, date, time, name.
std::vector<listed_entry> debugfs_ls(const std::string& image, const std::string& dir) {
    std::vector<listed_entry> out;
    std::istringstream lines(debugfs(image, "ls -l " + dir));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string ino, mode, type, uid, gid, size, date, time, name;
        if (!(f >> ino >> mode >> type >> uid >> gid >> size >> date >> time >> name)) continue;
        out.push_back({name, static_cast<uint32_t>(std::stoul(ino)),
                       static_cast<uint32_t>(std::stoul(type.substr(1, type.size() - 2)))});
    }
    return out;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One scratch directory per test process under the build tree, removed at exit.
class scratch_env : public ::testing::Environment {
public:
    static std::string dir() {
        static std::string d = [] {
            const std::string base = std::string(TARVELIN_BINARY_DIR) + "/test-scratch";
            fs_::create_directories(base);
            std::string tmpl = base + "/ext2-XXXXXX";
            return std::string(mkdtemp(tmpl.data()));
        }();
        return d;
    }
    void TearDown() override {
        std::error_code ec;
        fs_::remove_all(dir(), ec);
    }
};
[[maybe_unused]] const auto* const g_scratch = ::testing::AddGlobalTestEnvironment(new scratch_env);

// ------------------------------------------------------------ the source tree

constexpr uint32_t BIG_SIZE = 4 * 1024 * 1024 + 512 * 1024 + 123;  // reaches the double-indirect block at 4 KiB
constexpr uint32_t SPARSE_MID = 5 * 4096, SPARSE_TAIL = 2 * 1024 * 1024;
const std::string LONG_NAME(255, 'n');

// The files of the tree, by path, with their contents.
const std::map<std::string, std::vector<uint8_t>>& tree_files() {
    static const auto files = [] {
        std::map<std::string, std::vector<uint8_t>> f;
        auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
        f["hello.txt"] = text("Hello from the Tarvelin disk!\n");
        f["docs/notes.txt"] = text("notes in a subdirectory\n");
        f["docs/deep/inner.txt"] = text("two levels down\n");
        // Block numbers valid on every volume: a reader that went on with a stale
        // buffer after a failed read would take these for pointers.
        std::vector<uint8_t> pointers(4096);
        for (size_t i = 0; i < pointers.size(); i += 4) pointers[i] = 3;
        f["pointers.bin"] = pointers;
        f[LONG_NAME] = text("a name of 255 bytes\n");
        for (int i = 0; i < 16; ++i) {  // enough inodes to reach later groups
            char name[8];
            snprintf(name, sizeof name, "f%02d", i);
            std::string body;
            for (int r = 0; r < i * 37 + 1; ++r) body += std::string("file ") + name + " line\n";
            f[name] = text(body);
        }
        std::vector<uint8_t> big(BIG_SIZE);
        for (uint32_t i = 0; i < BIG_SIZE; ++i) big[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9) ^ ((i >> 17) * 29));
        f["big.bin"] = big;
        std::vector<uint8_t> sparse(SPARSE_TAIL + 4, 0);
        memcpy(sparse.data(), "head", 4);
        memcpy(sparse.data() + SPARSE_MID, "middle", 6);
        memcpy(sparse.data() + SPARSE_TAIL, "tail", 4);
        f["sparse.bin"] = sparse;
        return f;
    }();
    return files;
}

std::string source_tree() {
    static const std::string dir = [] {
        const std::string d = scratch_env::dir() + "/src";
        for (const auto& [path, bytes] : tree_files()) {
            fs_::create_directories(fs_::path(d + "/" + path).parent_path());
            if (path == "sparse.bin") continue;
            std::ofstream(d + "/" + path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        // Written with seeks so the holes stay holes in the source and on the volume.
        std::fstream sparse(d + "/sparse.bin", std::ios::binary | std::ios::out);
        sparse.write("head", 4);
        sparse.seekp(SPARSE_MID);
        sparse.write("middle", 6);
        sparse.seekp(SPARSE_TAIL);
        sparse.write("tail", 4);
        sparse.close();
        fs_::create_symlink("hello.txt", d + "/link");
        return d;
    }();
    return dir;
}

// ------------------------------------------------------------ volumes

struct layout {
    const char* name;
    uint32_t block_size;
    int rev;
    uint32_t inode_size;  // 0: the revision's fixed size
    const char* extra;    // further mkfs options
    const char* label;
};

const layout L1K = {"b1k_rev1_i256_groups", 1024, 1, 256, "-g 2048 -N 64", "tarvelin"};
const layout L2K = {"b2k_rev1_i256", 2048, 1, 256, "", "two-k"};
const layout L4K = {"b4k_rev1_i256", 4096, 1, 256, "", "four-k"};
const layout L1K_REV0 = {"b1k_rev0", 1024, 0, 0, "", "old"};
const layout L1K_I128 = {"b1k_rev1_i128", 1024, 1, 128, "", "small-inodes"};
const layout L_NAME16 = {"name16", 1024, 1, 256, "", "ABCDEFGHIJKLMNOP"};

// Makes (once per process) the volume for `l` and returns its file name.
std::string make_volume(const layout& l) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(l.name); it != made.end()) return it->second;
    const std::string img = scratch_env::dir() + "/" + l.name + ".img";
    std::string cmd = SBIN_PATH + "mkfs.ext2 -q -F -b " + std::to_string(l.block_size) + " -r " + std::to_string(l.rev);
    if (l.inode_size) cmd += " -I " + std::to_string(l.inode_size);
    cmd += std::string(" ") + l.extra + " -L " + quote(l.label) + " -d " + quote(source_tree()) + " " + quote(img) +
           " 16M >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "mkfs failed: " << cmd;
    made[l.name] = img;
    return img;
}

// The sector-read routine the tests mount with: an in-memory copy of a volume,
// with failures injected per sector and every call logged.
std::vector<uint8_t> g_volume;
std::set<uint32_t> g_bad_sectors;
std::vector<std::pair<uint32_t, uint32_t>> g_reads;

int volume_read(uint32_t lba, uint32_t count, void* dst) {
    g_reads.emplace_back(lba, count);
    if ((static_cast<uint64_t>(lba) + count) * 512 > g_volume.size()) return -1;
    for (uint64_t s = lba; s < static_cast<uint64_t>(lba) + count; ++s)
        if (g_bad_sectors.count(static_cast<uint32_t>(s))) return -1;
    memcpy(dst, g_volume.data() + static_cast<uint64_t>(lba) * 512, static_cast<size_t>(count) * 512);
    return 0;
}

void put16(uint64_t at, uint16_t v) { memcpy(&g_volume[at], &v, 2); }
void put32(uint64_t at, uint32_t v) { memcpy(&g_volume[at], &v, 4); }
uint16_t get16(uint64_t at) { uint16_t v; memcpy(&v, &g_volume[at], 2); return v; }
uint32_t get32(uint64_t at) { uint32_t v; memcpy(&v, &g_volume[at], 4); return v; }

constexpr uint64_t SB = 1024;  // superblock byte offset

void collect(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type, void* user) {
    EXPECT_EQ(strlen(name), name_len);  // a zero-terminated copy of exactly name_len bytes
    static_cast<std::vector<listed_entry>*>(user)->push_back({std::string(name, name_len), ino, file_type});
}

class ext2_base : public host_test {
protected:
    void use(const layout& l) {
        image = make_volume(l);
        g_volume = read_file(image);
        ASSERT_FALSE(g_volume.empty());
        g_bad_sectors.clear();
        g_reads.clear();
        block_size = l.block_size;
    }
    int mount() { return ext2_init(&fs, volume_read); }
    void mount_ok() {
        ASSERT_EQ(mount(), 0) << serial();
        serial();
    }
    uint32_t ino_of(const std::string& path) {
        return static_cast<uint32_t>(debugfs_field(debugfs(image, "stat " + path), "Inode:"));
    }
    // Physical block of logical block n of a file, as debugfs maps it.
    uint32_t bmap(const std::string& path, uint32_t n) {
        return static_cast<uint32_t>(std::stoul(debugfs(image, "bmap " + path + " " + std::to_string(n))));
    }
    // The "(IND):1234" style entries of debugfs' block list.
    uint32_t meta_block(const std::string& path, const std::string& tag) {
        const std::string out = debugfs(image, "stat " + path);
        const size_t at = out.find("(" + tag + "):");
        EXPECT_NE(at, std::string::npos) << out;
        return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(out.substr(at + tag.size() + 3)));
    }
    // Byte offset of an inode in the volume, as debugfs locates it.
    uint64_t inode_location(uint32_t ino) {
        const std::string out = debugfs(image, "imap <" + std::to_string(ino) + ">");
        const size_t at = out.find("offset 0x");
        EXPECT_NE(at, std::string::npos) << out;
        return debugfs_field(out, "located at block ") * block_size + std::stoull(out.substr(at + 9), nullptr, 16);
    }
    void fail_block(uint32_t block) {
        for (uint32_t s = 0; s < block_size / 512; ++s) g_bad_sectors.insert(block * (block_size / 512) + s);
    }
    std::vector<uint8_t> read_path(const std::string& path) {
        ext2_file f;
        EXPECT_EQ(ext2_open(&fs, path.c_str(), &f), 0) << path << ": " << serial();
        std::vector<uint8_t> out(f.size);
        EXPECT_EQ(read_inode_data(&fs, f.inode, 0, f.size, out.data()), static_cast<int>(f.size)) << path;
        return out;
    }
    std::vector<listed_entry> readdir(uint32_t ino, int* result = nullptr) {
        std::vector<listed_entry> l;
        const int r = ext2_readdir(&fs, ino, collect, &l);
        if (result) *result = r;
        return l;
    }

    std::string image;
    uint32_t block_size = 0;
    ext2_fs fs{};
};

// ------------------------------------------------------------ every layout

class ext2_layout : public ext2_base, public ::testing::WithParamInterface<layout> {};

TEST_P(ext2_layout, mounts_lists_and_reads_every_file_byte_for_byte) {
    const layout l = GetParam();
    use(l);
    const std::string st = debugfs(image, "stats");
    const uint64_t per_group = debugfs_field(st, "Blocks per group:");
    const uint64_t groups = (debugfs_field(st, "Block count:") + per_group - 1) / per_group;
    ASSERT_EQ(mount(), 0);
    EXPECT_EQ(serial(), "[ext2] Magic OK, block_size=" + std::to_string(l.block_size) +
                            ", inodes=" + std::to_string(debugfs_field(st, "Inode count:")) + ", groups=" +
                            std::to_string(groups) + "\n[ext2] Volume: " + l.label + "\n[ext2] Initialized successfully\n");
    EXPECT_EQ(fs.inode_size, l.rev == 0 ? 128u : l.inode_size);
    EXPECT_EQ(0, memcmp(fs.sb, g_volume.data() + SB, EXT2_SUPERBLOCK_COPY));

    int result = -1;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), debugfs_ls(image, "/"));  // the 255-byte name whole
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readdir(ino_of("/docs"), &result), debugfs_ls(image, "/docs"));
    EXPECT_EQ(result, 0);

    for (const auto& [path, bytes] : tree_files()) {
        const std::vector<uint8_t> got = read_path("/" + path);
        EXPECT_TRUE(got == bytes) << path << ": " << got.size() << " bytes read, " << bytes.size() << " expected";
    }
    ext2_file f;  // a symbolic link whose target lives in the inode itself
    ASSERT_EQ(ext2_open(&fs, "/link", &f), 0);
    EXPECT_EQ(f.size, 9u);
    EXPECT_EQ(f.ino, ino_of("/link"));
}

INSTANTIATE_TEST_SUITE_P(volumes, ext2_layout, ::testing::Values(L1K, L2K, L4K, L1K_REV0, L1K_I128),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ files and paths

class ext2_files : public ext2_base {
protected:
    void SetUp() override {
        ext2_base::SetUp();
        use(L1K);
        mount_ok();
    }
};

TEST_F(ext2_files, the_tree_has_holes_both_indirect_levels_and_later_groups) {
    // The premises of the byte-for-byte comparison on this volume.
    EXPECT_NE(meta_block("/big.bin", "IND"), 0u);
    EXPECT_NE(meta_block("/big.bin", "DIND"), 0u);
    for (uint32_t n : {1u, 100u, 1000u}) EXPECT_EQ(bmap("/sparse.bin", n), 0u) << n;
    uint32_t highest = 0;
    for (const auto& e : readdir(EXT2_ROOT_INO)) highest = std::max(highest, e.ino);
    EXPECT_GT((highest - 1) / fs.inodes_per_group, 1u);
}

TEST_F(ext2_files, reads_stop_at_the_end_and_close_ends_them) {
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/hello.txt", &f), 0);
    EXPECT_EQ(serial(), "[ext2] Opened inode " + std::to_string(ino_of("/hello.txt")) + ", size=30 bytes\n");
    char buf[128];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 30, 100, buf), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 31, 100, buf), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 20, 100, buf), 10);
    EXPECT_EQ(std::string(buf, 11), "lin disk!\n#");  // nothing beyond the end is written
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, 0, buf), 0);

    // Sequential reads advance to the end; a closed file reads nothing.
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    std::vector<uint8_t> got;
    int n;
    while ((n = ext2_read(&f, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(got == tree_files().at("f15"));
    EXPECT_EQ(f.pos, f.size);
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    EXPECT_EQ(ext2_read(&f, buf, 10), 10);
    ext2_close(&f);
    EXPECT_EQ(ext2_read(&f, buf, 10), 0);
    serial();
}

TEST_F(ext2_files, paths) {
    const uint32_t inner = ino_of("/docs/deep/inner.txt");
    const std::string too_long(300, 'n');
    struct case_ {
        std::string path;
        uint32_t ino;         // 0: refused
        std::string message;  // after a refusal
    };
    const case_ cases[] = {
        {"", 2, ""}, {"///", 2, ""},
        {"/docs/deep/inner.txt", inner, ""}, {"docs/deep/inner.txt", inner, ""},
        {"//docs//deep///inner.txt", inner, ""}, {"/docs/deep/inner.txt//", inner, ""},
        {"/docs/", ino_of("/docs"), ""}, {"/" + LONG_NAME, ino_of("/" + LONG_NAME), ""},
        {"/nothere", 0, "[ext2] Not found: nothere\n"},
        {"/docs/missing/deeper", 0, "[ext2] Not found: missing\n"},
        {"/hello.tx", 0, "[ext2] Not found: hello.tx\n"},  // a prefix of a name is not the name
        {"/hello.txtx", 0, "[ext2] Not found: hello.txtx\n"},
        {"/" + too_long, 0, "[ext2] Not found: " + too_long + "\n"},
        {"/hello.txt/x", 0, ""},  // below a regular file: no message
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.path);
        ext2_file f;
        const int r = ext2_open(&fs, c.path.c_str(), &f);
        const std::string out = serial();
        if (c.ino == 0) {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(out, c.message);
        } else {
            ASSERT_EQ(r, 0) << out;
            EXPECT_EQ(f.ino, c.ino);
            EXPECT_EQ(f.volume, &fs);
            EXPECT_EQ(out, "[ext2] Opened inode " + std::to_string(c.ino) + ", size=" + std::to_string(f.size) + " bytes\n");
        }
    }
}

TEST_F(ext2_files, inode_numbers_outside_the_volume) {
    const uint32_t last = fs.group_count * fs.inodes_per_group;
    uint8_t buf[128];
    for (uint32_t ino : {0u, last + 1, 0xFFFFFFFFu}) EXPECT_EQ(ext2_read_inode(&fs, ino, buf), -1) << ino;
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(ext2_read_inode(&fs, last, buf), 0);
    // readdir refuses what is not a directory.
    EXPECT_EQ(ext2_readdir(&fs, ino_of("/hello.txt"), collect, nullptr), -1);
    EXPECT_EQ(ext2_readdir(&fs, 0, collect, nullptr), -1);
}

TEST_F(ext2_files, a_record_whose_mount_was_refused_reads_nothing) {
    ext2_file root;
    ASSERT_EQ(ext2_open(&fs, "/", &root), 0);
    put16(SB + 56, 0);
    ASSERT_EQ(mount(), -1);  // leaves the record without geometry
    serial();
    uint8_t buf[128];
    EXPECT_EQ(ext2_read_inode(&fs, EXT2_ROOT_INO, buf), -1);
    EXPECT_EQ(read_inode_data(&fs, root.inode, 0, sizeof buf, buf), -1);
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/hello.txt", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read root inode\n");
    EXPECT_EQ(ext2_readdir(&fs, EXT2_ROOT_INO, collect, nullptr), -1);
}

// ------------------------------------------------------------ malformed directories

class ext2_damaged : public ext2_files {
protected:
    // Byte offsets of the root directory's entries in its (only) block.
    std::vector<uint64_t> root_entries() {
        const uint64_t base = static_cast<uint64_t>(bmap("/", 0)) * block_size;
        std::vector<uint64_t> out;
        for (uint64_t off = 0; off < block_size;) {
            out.push_back(base + off);
            const uint16_t rec_len = get16(base + off + 4);
            if (rec_len == 0) break;
            off += rec_len;
        }
        return out;
    }
    std::vector<listed_entry> first(size_t n) {
        auto all = debugfs_ls(image, "/");
        all.resize(n);
        return all;
    }
};

TEST_F(ext2_damaged, bad_rec_len_ends_the_walk_as_malformed) {
    const auto entries = root_entries();
    ASSERT_GT(entries.size(), 4u);
    const uint16_t real = get16(entries[2] + 4), name_len = g_volume[entries[2] + 6];
    for (uint16_t bad : {uint16_t{0}, static_cast<uint16_t>(8 + name_len - 1), uint16_t{4}}) {
        SCOPED_TRACE(bad);
        put16(entries[2] + 4, bad);  // 0, shorter than its name, shorter than a header
        int result = 0;
        EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(2));  // . and .. were delivered
        EXPECT_EQ(result, -1);
        ext2_file f;
        EXPECT_EQ(ext2_open(&fs, "/hello.txt", &f), -1);
        EXPECT_EQ(serial(), "[ext2] Not found: hello.txt\n");
    }
    put16(entries[2] + 4, real);

    // The last record running past the directory's one block.
    const uint64_t last = entries.back();
    put16(last + 4, static_cast<uint16_t>(get16(last + 4) + 4));
    int result = 0;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(entries.size() - 1));
    EXPECT_EQ(result, -1);
    const std::string last_name(reinterpret_cast<const char*>(&g_volume[last + 8]), g_volume[last + 6]);
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, ("/" + last_name).c_str(), &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: " + last_name + "\n");
}

TEST_F(ext2_damaged, a_directory_claiming_gigabytes_is_refused_before_the_walk) {
    // A walk would read the real block and deliver its entries.
    const uint64_t root = inode_location(EXT2_ROOT_INO);
    const uint32_t real_size = get32(root + 4);
    put32(root + 4, 0xFFFFFFF0);
    serial();
    g_reads.clear();
    int result = 0;
    EXPECT_TRUE(readdir(EXT2_ROOT_INO, &result).empty());
    EXPECT_EQ(result, -1);
    const std::string refusal = "[ext2] Directory inode 2 is too large to walk (4294967280 bytes)\n";
    EXPECT_EQ(serial(), refusal);
    EXPECT_LE(g_reads.size(), 1u);  // the inode, and not one entry
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/hello.txt", &f), -1);
    EXPECT_EQ(serial(), refusal);
    EXPECT_EQ(ext2_open(&fs, "/", &f), 0);  // nothing has to be walked for the directory itself
    serial();

    // 64 KiB is still walked: the real block, then the hole after it ends the walk.
    const auto all = debugfs_ls(image, "/");
    for (const uint32_t size : {64u * 1024, 64u * 1024 + 1, real_size}) {
        put32(root + 4, size);
        EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), size <= 64 * 1024 ? all : std::vector<listed_entry>{}) << size;
        EXPECT_EQ(result, size == real_size ? 0 : -1) << size;
    }
    serial();
}

// ------------------------------------------------------------ read failures

TEST_F(ext2_damaged, failed_block_reads_fail_the_read) {
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    std::vector<uint8_t> buf(1024);
    auto read_block_n = [&](uint32_t n) {
        // Plausible pointers in the block buffer first (see pointers.bin).
        EXPECT_TRUE(read_path("/pointers.bin") == tree_files().at("pointers.bin"));
        return read_inode_data(&fs, f.inode, n * 1024, 1024, buf.data());
    };
    const uint32_t dind = meta_block("/big.bin", "DIND");
    ASSERT_EQ(read_block_n(268), 1024);  // leaves the second-level pointers in a buffer
    const struct {
        uint32_t bad_block, logical;
    } cases[] = {{meta_block("/big.bin", "IND"), 12}, {dind, 268}, {get32(static_cast<uint64_t>(dind) * 1024), 268},
                 {bmap("/big.bin", 5), 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bad_block);
        fail_block(c.bad_block);
        EXPECT_EQ(read_block_n(c.logical), -1);
        EXPECT_EQ(read_block_n(11), 1024);  // the direct blocks are unaffected
        g_bad_sectors.clear();
        EXPECT_EQ(read_block_n(c.logical), 1024);
    }

    const uint32_t table_block = static_cast<uint32_t>(inode_location(EXT2_ROOT_INO) / block_size);
    fail_block(table_block);
    serial();
    EXPECT_EQ(ext2_open(&fs, "/", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read inode table block " + std::to_string(table_block) +
                            "\n[ext2] Failed to read root inode\n");
}

TEST_F(ext2_damaged, block_numbers_past_the_volume_fail) {
    const uint32_t blocks = get32(SB + 4);  // s_blocks_count
    const uint64_t small = inode_location(ino_of("/f15")), big = inode_location(ino_of("/big.bin"));
    uint8_t buf[16];
    ext2_file f;
    put32(small + 40, blocks);  // i_block[0]
    put32(big + 88, 0xFFFFFFF0);  // the single-indirect pointer
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    serial();
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, sizeof buf, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Block " + std::to_string(blocks) + " is beyond the volume's " + std::to_string(blocks) +
                            " blocks\n");
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    serial();
    EXPECT_EQ(read_inode_data(&fs, f.inode, 12 * 1024, sizeof buf, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Block 4294967280 is beyond the volume's " + std::to_string(blocks) + " blocks\n");
    put32(small + 40, blocks - 1);  // the last block is a block of the volume
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, sizeof buf, buf), static_cast<int>(sizeof buf));
}

TEST_F(ext2_damaged, block_and_sector_offsets_do_not_wrap) {
    // Group 0's inode table at the last 32-bit block number: the inode three table
    // blocks further on would, in 32 bits, be read from block 2.
    use(L1K_I128);
    put32(2 * 1024 + 8, 0xFFFFFFFF);
    mount_ok();
    const uint32_t ino = 1 + 3 * (block_size / fs.inode_size);
    ASSERT_LE(ino, fs.inodes_per_group);
    uint8_t buf[128];
    g_reads.clear();
    EXPECT_EQ(ext2_read_inode(&fs, ino, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read inode table block 4294967298\n");
    EXPECT_TRUE(g_reads.empty());

    // 2^32 - 1 blocks of 4 KiB in 128 groups: block 2^29 would be sector 2^32, 0 in 32 bits.
    use(L4K);
    put32(SB + 4, 0xFFFFFFFF);
    put32(SB + 32, 0x02000000);
    mount_ok();
    put32(inode_location(ino_of("/hello.txt")) + 40, 0x20000000);
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/hello.txt", &f), 0);
    serial();
    g_reads.clear();
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, 16, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Block 536870912 lies beyond the 32-bit sector range\n");
    EXPECT_TRUE(g_reads.empty());
}

// ------------------------------------------------------------ superblocks

TEST_F(ext2_files, superblock_refusals) {
    const uint32_t ipg = get32(SB + 40), bpg = get32(SB + 32);
    const std::string unsupported = "[ext2] Unsupported block size (s_log_block_size=";
    struct case_ {
        std::function<void()> patch;
        std::string message;
    };
    const case_ cases[] = {
        {[] { put16(SB + 56, 0x1234); }, "[ext2] Bad magic: 0x1234 (expected 0xEF53)\n"},
        {[] { put32(SB + 32, 0); }, "[ext2] Bad superblock: 0 blocks and " + std::to_string(ipg) + " inodes per group\n"},
        {[] { put32(SB + 40, 0); }, "[ext2] Bad superblock: " + std::to_string(bpg) + " blocks and 0 inodes per group\n"},
        {[] { put16(SB + 88, 0); }, "[ext2] Bad inode size 0\n"},
        {[] { put16(SB + 88, 64); }, "[ext2] Bad inode size 64\n"},
        {[] { put16(SB + 88, 129); }, "[ext2] Bad inode size 129\n"},
        {[] { put16(SB + 88, 2048); }, "[ext2] Bad inode size 2048\n"},  // beyond the block
        {[] { put32(SB + 24, 3); }, unsupported + "3, at most 4096 bytes)\n"},
        {[] { put32(SB + 24, 0xFFFFFFFF); }, unsupported + "4294967295, at most 4096 bytes)\n"},
        {[] { put32(SB + 4, 0); }, "[ext2] Volume has no block groups\n"},
        {[] { put32(SB + 4, 16384), put32(SB + 32, 8); }, "[ext2] Too many block groups: 2048 (at most 128)\n"},
        {[] { put32(SB + 4, 16384), put32(SB + 32, 127); }, "[ext2] Too many block groups: 130 (at most 128)\n"},
    };
    const std::vector<uint8_t> good = g_volume;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.message);
        g_volume = good;
        c.patch();
        g_reads.clear();
        EXPECT_EQ(mount(), -1);
        EXPECT_EQ(g_reads.size(), 1u);  // refused before the descriptor table is read
        EXPECT_EQ(serial(), c.message);
    }
    g_volume = good;
}

TEST_F(ext2_files, superblock_limits_that_still_mount) {
    for (uint16_t size : {128, 512, 1024}) {  // inode sizes up to the block size
        put16(SB + 88, size);
        EXPECT_EQ(mount(), 0) << size;
        EXPECT_EQ(fs.inode_size, size);
    }
    put32(SB + 76, 0);  // revision 0: 128-byte inodes whatever the field holds
    put16(SB + 88, 100);
    EXPECT_EQ(mount(), 0);
    EXPECT_EQ(fs.inode_size, 128u);
    put32(SB + 76, 1);
    put16(SB + 88, 256);

    // Exactly 128 groups: four 1 KiB descriptor blocks, all read.
    put32(SB + 4, 16384);
    put32(SB + 32, 128);
    g_reads.clear();
    ASSERT_EQ(mount(), 0) << serial();
    EXPECT_EQ(fs.group_count, 128u);
    EXPECT_EQ(g_reads, (std::vector<std::pair<uint32_t, uint32_t>>{{2, 2}, {4, 2}, {6, 2}, {8, 2}, {10, 2}}));
    EXPECT_EQ(0, memcmp(fs.bgdt, &g_volume[2048], 4096));
    serial();
}

TEST_F(ext2_files, superblock_and_descriptor_read_failures) {
    g_bad_sectors = {3};
    EXPECT_EQ(mount(), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read superblock\n");
    g_bad_sectors = {4};  // the descriptor table, block 2
    EXPECT_EQ(mount(), -1);
    EXPECT_EQ(serial(), "[ext2] Magic OK, block_size=1024, inodes=" + std::to_string(get32(SB)) + ", groups=" +
                            std::to_string(fs.group_count) + "\n[ext2] Volume: tarvelin\n[ext2] Failed to read BGDT block 2\n");
    use(L2K);
    g_bad_sectors = {4};
    EXPECT_EQ(mount(), -1);
    EXPECT_NE(serial().find("[ext2] Failed to read BGDT block 1\n"), std::string::npos);
}

TEST_F(ext2_files, volume_name_of_exactly_16_characters) {
    use(L_NAME16);
    g_volume[SB + 136] = 'X';  // the byte after the name field is not a terminator
    ASSERT_EQ(mount(), 0);
    const std::string out = serial();
    EXPECT_NE(out.find("[ext2] Volume: ABCDEFGHIJKLMNOP\n"), std::string::npos) << out;
}

// ------------------------------------------------------------ through the ATA driver

class ext2_on_ata : public ext2_base {
protected:
    void TearDown() override {
        EXPECT_TRUE(disk.violations().empty());
        fake_bus::reset();
    }
    ata_model disk;
};

TEST_F(ext2_on_ata, mount_without_a_drive) {
    ata_init();  // nothing on the channel: the bus floats
    serial();
    fs.block_size = 12345;
    EXPECT_EQ(ext2_mount(&fs, 2048), -1);
    EXPECT_EQ(serial(), "[ext2] No ATA drive available\n");
    EXPECT_EQ(fs.block_size, 12345u);  // untouched
}

TEST_F(ext2_on_ata, mounts_a_partition_at_lba_2048) {
    use(L1K);
    disk.image.assign(2048 * 512, 0);
    disk.image.insert(disk.image.end(), g_volume.begin(), g_volume.end());
    disk.attach();
    ata_init();
    ASSERT_EQ(ata_is_present(), 1);
    serial();
    ASSERT_EQ(ext2_mount(&fs, 2048), 0);
    const std::string out = serial();
    EXPECT_EQ(out.substr(0, 54), "[ext2] Mounting ext2 from ATA (partition LBA 2048)...\n");
    EXPECT_NE(out.find("\n[ext2] Volume: tarvelin\n[ext2] Initialized successfully\n"), std::string::npos) << out;
    EXPECT_EQ(fs.read_sectors, &part_read);
    EXPECT_EQ(readdir(EXT2_ROOT_INO), debugfs_ls(image, "/"));
    EXPECT_TRUE(read_path("/docs/deep/inner.txt") == tree_files().at("docs/deep/inner.txt"));
    for (const auto& c : disk.commands())
        EXPECT_TRUE(c.command != ata_model::CMD_READ || c.lba >= 2048u);  // every sector from the partition

    // An offset that would carry the address past 32 bits fails instead of wrapping.
    serial();
    const size_t commands_before = disk.commands().size();
    EXPECT_EQ(ext2_mount(&fs, 0xFFFFFFFF), -1);
    EXPECT_EQ(serial(), "[ext2] Mounting ext2 from ATA (partition LBA 4294967295)...\n"
                        "[ext2] Failed to read superblock\n");
    EXPECT_EQ(disk.commands().size(), commands_before);
}

}  // namespace
