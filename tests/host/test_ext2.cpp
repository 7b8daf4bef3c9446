// The ext2 reader against volumes that mkfs.ext2 makes at test time from a
// known source tree; debugfs is the independent witness of what the volume
// holds. Damaged volumes are made by patching bytes of a good one.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ata.h"
#include "ata_model.h"
#include "ext2.h"
#include "host_env.h"

namespace fs_ = std::filesystem;

namespace {

// ------------------------------------------------------------ host side helpers

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

const std::string SBIN_PATH = "PATH=\"$PATH:/usr/sbin:/sbin\" ";

std::string debugfs(const std::string& image, const std::string& request) {
    return capture(SBIN_PATH + "debugfs -R " + shell_quote(request) + " " + shell_quote(image) + " 2>/dev/null");
}

// A number that debugfs prints after `key` (e.g. "Inode count:").
uint64_t debugfs_field(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return ~0ull;
    return std::stoull(text.substr(at + key.size()));
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

// `ls -l DIR` as debugfs prints it: inode, mode, (file type), uid, gid, size,
// date, time, name.
std::vector<listed_entry> debugfs_ls(const std::string& image, const std::string& dir) {
    std::vector<listed_entry> out;
    std::istringstream lines(debugfs(image, "ls -l " + dir));
    std::string line;
    while (std::getline(lines, line)) {
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

uint8_t big_byte(uint64_t i) { return static_cast<uint8_t>((i * 131) ^ (i >> 9) ^ ((i >> 17) * 29)); }

constexpr uint32_t BIG_SIZE = 4 * 1024 * 1024 + 512 * 1024 + 123;  // reaches the double-indirect block at 4 KiB
constexpr uint32_t SPARSE_MID = 5 * 4096;
constexpr uint32_t SPARSE_TAIL = 2 * 1024 * 1024;
const std::string LONG_NAME(255, 'n');

// The files of the tree, by path, with their contents.
const std::map<std::string, std::vector<uint8_t>>& tree_files() {
    static const auto files = [] {
        std::map<std::string, std::vector<uint8_t>> f;
        auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
        f["hello.txt"] = text("Hello from the Tarvelin disk!\n");
        f["README.txt"] = text("A test volume.\nIt holds a few files and a link.\n");
        f["docs/notes.txt"] = text("notes in a subdirectory\n");
        f["docs/deep/inner.txt"] = text("two levels down\n");
        // Block numbers that are valid on every test volume: read last, these
        // would be taken for pointers by a reader that used a stale buffer.
        std::vector<uint8_t> pointers(4096);
        for (size_t i = 0; i < pointers.size(); i += 4) pointers[i] = 3;
        f["pointers.bin"] = pointers;
        f[LONG_NAME] = text("a name of 255 bytes\n");
        for (int i = 0; i < 16; ++i) {
            char name[8];
            snprintf(name, sizeof name, "f%02d", i);
            std::string body;
            for (int r = 0; r < i * 37 + 1; ++r) body += std::string("file ") + name + " line\n";
            f[name] = text(body);
        }
        std::vector<uint8_t> big(BIG_SIZE);
        for (uint32_t i = 0; i < BIG_SIZE; ++i) big[i] = big_byte(i);
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
    std::string cmd = SBIN_PATH + "mkfs.ext2 -q -F -b " + std::to_string(l.block_size) + " -r " +
                      std::to_string(l.rev);
    if (l.inode_size) cmd += " -I " + std::to_string(l.inode_size);
    cmd += std::string(" ") + l.extra + " -L " + shell_quote(l.label) + " -d " + shell_quote(source_tree()) + " " +
           shell_quote(img) + " 16M >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "mkfs failed: " << cmd;
    made[l.name] = img;
    return img;
}

// The sector-read routine the tests mount with: sectors of an in-memory copy of
// a volume, with failures injected per sector and every call logged.
std::vector<uint8_t> g_volume;
std::set<uint32_t> g_bad_sectors;
std::vector<std::pair<uint32_t, uint32_t>> g_reads;

int volume_read(uint32_t lba, uint32_t count, void* dst) {
    g_reads.emplace_back(lba, count);
    const uint64_t end = (static_cast<uint64_t>(lba) + count) * 512;
    if (end > g_volume.size()) return -1;
    for (uint64_t s = lba; s < static_cast<uint64_t>(lba) + count; ++s)
        if (g_bad_sectors.count(static_cast<uint32_t>(s))) return -1;
    memcpy(dst, g_volume.data() + static_cast<uint64_t>(lba) * 512, static_cast<size_t>(count) * 512);
    return 0;
}

void put16(uint64_t at, uint16_t v) { memcpy(&g_volume[at], &v, 2); }
void put32(uint64_t at, uint32_t v) { memcpy(&g_volume[at], &v, 4); }
uint16_t get16(uint64_t at) {
    uint16_t v;
    memcpy(&v, &g_volume[at], 2);
    return v;
}
uint32_t get32(uint64_t at) {
    uint32_t v;
    memcpy(&v, &g_volume[at], 4);
    return v;
}

constexpr uint64_t SB = 1024;  // superblock byte offset

struct dir_listing {
    std::vector<listed_entry> entries;
};

void collect(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type, void* user) {
    EXPECT_EQ(strlen(name), name_len);  // a zero-terminated copy of exactly name_len bytes
    static_cast<dir_listing*>(user)->entries.push_back({std::string(name, name_len), ino, file_type});
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
    std::string stats() { return debugfs(image, "stats"); }
    uint32_t ino_of(const std::string& path) {
        const std::string out = debugfs(image, "stat " + path);
        return static_cast<uint32_t>(debugfs_field(out, "Inode:"));
    }
    // Physical block of logical block n of a file, as debugfs maps it.
    uint32_t bmap(const std::string& path, uint32_t n) {
        return static_cast<uint32_t>(std::stoul(debugfs(image, "bmap " + path + " " + std::to_string(n))));
    }
    // "(IND):1234" style entries of debugfs' block list.
    uint32_t meta_block(const std::string& path, const std::string& tag) {
        const std::string out = debugfs(image, "stat " + path);
        const size_t at = out.find("(" + tag + "):");
        EXPECT_NE(at, std::string::npos) << out;
        return static_cast<uint32_t>(std::stoul(out.substr(at + tag.size() + 3)));
    }
    // Byte offset of an inode in the volume, as debugfs locates it.
    uint64_t inode_location(uint32_t ino) {
        const std::string out = debugfs(image, "imap <" + std::to_string(ino) + ">");
        const uint64_t block = debugfs_field(out, "located at block ");
        const size_t at = out.find("offset 0x");
        EXPECT_NE(at, std::string::npos) << out;
        return block * block_size + std::stoull(out.substr(at + 9), nullptr, 16);
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
        dir_listing l;
        const int r = ext2_readdir(&fs, ino, collect, &l);
        if (result) *result = r;
        return l.entries;
    }

    std::string image;
    uint32_t block_size = 0;
    ext2_fs fs{};
};

// ------------------------------------------------------------ every layout

class ext2_layout : public ext2_base, public ::testing::WithParamInterface<layout> {};

TEST_P(ext2_layout, mounts_with_the_exact_lines_and_geometry) {
    const layout l = GetParam();
    use(l);
    const std::string st = stats();
    const uint64_t inodes = debugfs_field(st, "Inode count:");
    const uint64_t blocks = debugfs_field(st, "Block count:");
    const uint64_t per_group = debugfs_field(st, "Blocks per group:");
    const uint64_t groups = (blocks + per_group - 1) / per_group;
    ASSERT_EQ(mount(), 0);
    EXPECT_EQ(serial(), "[ext2] Magic OK, block_size=" + std::to_string(l.block_size) +
                            ", inodes=" + std::to_string(inodes) + ", groups=" + std::to_string(groups) +
                            "\n[ext2] Volume: " + l.label + "\n[ext2] Initialized successfully\n");
    EXPECT_EQ(fs.read_sectors, &volume_read);
    EXPECT_EQ(fs.block_size, l.block_size);
    EXPECT_EQ(fs.group_count, groups);
    EXPECT_EQ(fs.inodes_per_group, debugfs_field(st, "Inodes per group:"));
    EXPECT_EQ(fs.inode_size, l.rev == 0 ? 128u : l.inode_size);
    EXPECT_EQ(0, memcmp(fs.sb, g_volume.data() + SB, EXT2_SUPERBLOCK_COPY));

    // The superblock from sectors 2-3, then the descriptor table from block 2
    // with 1 KiB blocks and from block 1 otherwise.
    ASSERT_GE(g_reads.size(), 2u);
    EXPECT_EQ(g_reads[0], (std::pair<uint32_t, uint32_t>{2, 2}));
    const uint32_t spb = l.block_size / 512;
    const uint32_t table_block = l.block_size == 1024 ? 2 : 1;
    EXPECT_EQ(g_reads[1], (std::pair<uint32_t, uint32_t>{table_block * spb, spb}));
}

TEST_P(ext2_layout, root_listing_matches_debugfs) {
    use(GetParam());
    mount_ok();
    int result = -1;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), debugfs_ls(image, "/"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readdir(ino_of("/docs"), &result), debugfs_ls(image, "/docs"));
    EXPECT_EQ(result, 0);
    // The 255-byte name is delivered whole.
    bool seen = false;
    for (const auto& e : readdir(EXT2_ROOT_INO)) seen |= e.name == LONG_NAME;
    EXPECT_TRUE(seen);
}

TEST_P(ext2_layout, every_file_reads_back_byte_for_byte) {
    use(GetParam());
    mount_ok();
    for (const auto& [path, bytes] : tree_files()) {
        const std::vector<uint8_t> got = read_path("/" + path);
        EXPECT_TRUE(got == bytes) << path << ": " << got.size() << " bytes read, " << bytes.size() << " expected";
    }
    // The link is a symbolic link whose target text lives in the inode itself.
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/link", &f), 0);
    EXPECT_EQ(f.size, 9u);
    EXPECT_EQ(f.ino, ino_of("/link"));
}

INSTANTIATE_TEST_SUITE_P(volumes, ext2_layout, ::testing::Values(L1K, L2K, L4K, L1K_REV0, L1K_I128),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ files

class ext2_files : public ext2_base {
protected:
    void SetUp() override {
        ext2_base::SetUp();
        use(L1K);
        mount_ok();
    }
};

TEST_F(ext2_files, the_big_file_really_uses_both_indirect_levels) {
    // The premise of the byte-for-byte comparison: 1 KiB blocks put logical block
    // 12 behind the single-indirect and 268 behind the double-indirect block.
    EXPECT_NE(meta_block("/big.bin", "IND"), 0u);
    EXPECT_NE(meta_block("/big.bin", "DIND"), 0u);
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    for (uint32_t n : {0u, 11u, 12u, 267u, 268u, 269u, 1000u}) {
        std::vector<uint8_t> got(1024);
        ASSERT_EQ(read_inode_data(&fs, f.inode, n * 1024, 1024, got.data()), 1024);
        EXPECT_EQ(0, memcmp(got.data(), &g_volume[static_cast<uint64_t>(bmap("/big.bin", n)) * 1024], 1024))
            << "logical block " << n;
    }
}

TEST_F(ext2_files, holes_read_as_zeros_at_every_level) {
    // Holes in the direct range, a missing single-indirect block and holes in the
    // double-indirect range.
    EXPECT_EQ(bmap("/sparse.bin", 1), 0u);
    EXPECT_EQ(bmap("/sparse.bin", 100), 0u);
    EXPECT_EQ(bmap("/sparse.bin", 1000), 0u);
    EXPECT_TRUE(read_path("/sparse.bin") == tree_files().at("sparse.bin"));
}

TEST_F(ext2_files, reads_stop_at_the_end_of_the_file) {
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/hello.txt", &f), 0);
    EXPECT_EQ(serial(), "[ext2] Opened inode " + std::to_string(ino_of("/hello.txt")) + ", size=30 bytes\n");
    char buf[128];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 30, 100, buf), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 31, 100, buf), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 20, 100, buf), 10);
    EXPECT_EQ(std::string(buf, 10), std::string("Hello from the Tarvelin disk!\n").substr(20, 10));
    EXPECT_EQ(buf[10], '#');  // nothing beyond the end is written
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, 0, buf), 0);
}

TEST_F(ext2_files, sequential_reads_advance_and_close_ends_them) {
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    const auto& want = tree_files().at("f15");
    ASSERT_EQ(f.size, want.size());
    std::vector<uint8_t> got;
    uint8_t buf[1000];
    int n;
    while ((n = ext2_read(&f, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(got == want);
    EXPECT_EQ(f.pos, f.size);

    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    EXPECT_EQ(ext2_read(&f, buf, 10), 10);
    ext2_close(&f);
    EXPECT_EQ(ext2_read(&f, buf, 10), 0);
}

// ------------------------------------------------------------ paths

TEST_F(ext2_files, root_spellings_open_inode_2) {
    for (const char* path : {"/", "", "//", "///"}) {
        ext2_file f;
        ASSERT_EQ(ext2_open(&fs, path, &f), 0) << path;
        EXPECT_EQ(f.ino, 2u);
        EXPECT_EQ(f.volume, &fs);
        EXPECT_EQ(serial(), "[ext2] Opened inode 2, size=" + std::to_string(f.size) + " bytes\n");
    }
}

TEST_F(ext2_files, repeated_and_trailing_slashes_resolve_alike) {
    const uint32_t want = ino_of("/docs/deep/inner.txt");
    for (const char* path : {"/docs/deep/inner.txt", "docs/deep/inner.txt", "//docs//deep///inner.txt",
                             "/docs/deep/inner.txt/", "/docs/deep/inner.txt//"}) {
        ext2_file f;
        ASSERT_EQ(ext2_open(&fs, path, &f), 0) << path;
        EXPECT_EQ(f.ino, want) << path;
    }
    serial();
    ext2_file d;
    ASSERT_EQ(ext2_open(&fs, "/docs/", &d), 0);
    EXPECT_EQ(d.ino, ino_of("/docs"));
}

TEST_F(ext2_files, missing_names_and_paths_below_files) {
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/nothere", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: nothere\n");
    EXPECT_EQ(ext2_open(&fs, "/docs/missing/deeper", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: missing\n");
    EXPECT_EQ(ext2_open(&fs, "/hello.tx", &f), -1);  // a prefix of a name is not the name
    EXPECT_EQ(serial(), "[ext2] Not found: hello.tx\n");
    EXPECT_EQ(ext2_open(&fs, "/hello.txtx", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: hello.txtx\n");
    const std::string too_long(300, 'n');
    EXPECT_EQ(ext2_open(&fs, ("/" + too_long).c_str(), &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: " + too_long + "\n");
    // Below a regular file: no message.
    EXPECT_EQ(ext2_open(&fs, "/hello.txt/x", &f), -1);
    EXPECT_EQ(ext2_open(&fs, "/link/x", &f), -1);
    EXPECT_EQ(serial(), "");
    // The 255-byte name resolves.
    EXPECT_EQ(ext2_open(&fs, ("/" + LONG_NAME).c_str(), &f), 0);
}

TEST_F(ext2_files, inode_numbers_outside_the_volume) {
    uint8_t buf[128];
    EXPECT_EQ(ext2_read_inode(&fs, 0, buf), -1);
    EXPECT_EQ(ext2_read_inode(&fs, fs.group_count * fs.inodes_per_group + 1, buf), -1);
    EXPECT_EQ(ext2_read_inode(&fs, 0xFFFFFFFF, buf), -1);
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(ext2_read_inode(&fs, fs.group_count * fs.inodes_per_group, buf), 0);  // the very last
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

TEST_F(ext2_files, inodes_of_later_groups_are_found) {
    // This volume keeps only a few inodes per group, so the tree spans groups.
    ASSERT_LT(fs.inodes_per_group, 20u);
    uint32_t highest = 0;
    for (const auto& e : readdir(EXT2_ROOT_INO)) highest = std::max(highest, e.ino);
    EXPECT_GT((highest - 1) / fs.inodes_per_group, 1u);
}

// ------------------------------------------------------------ malformed directories

class ext2_damaged : public ext2_files {
protected:
    // Byte offsets of the root directory's entries in its first block.
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

TEST_F(ext2_damaged, rec_len_zero_ends_the_walk) {
    const auto entries = root_entries();
    ASSERT_GT(entries.size(), 4u);
    put16(entries[2] + 4, 0);
    int result = 0;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(2));  // . and .. were delivered
    EXPECT_EQ(result, -1);
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/hello.txt", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: hello.txt\n");
}

TEST_F(ext2_damaged, rec_len_shorter_than_its_name_is_malformed) {
    const auto entries = root_entries();
    const uint8_t name_len = g_volume[entries[2] + 6];
    ASSERT_GT(name_len, 0);
    put16(entries[2] + 4, static_cast<uint16_t>(8 + name_len - 1));
    int result = 0;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(2));
    EXPECT_EQ(result, -1);
    put16(entries[2] + 4, 4);  // shorter than the header itself
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(2));
    EXPECT_EQ(result, -1);
}

TEST_F(ext2_damaged, rec_len_past_the_directory_is_malformed) {
    const auto entries = root_entries();
    const uint64_t last = entries.back();
    const auto all = debugfs_ls(image, "/");
    ext2_file root;
    ASSERT_EQ(ext2_open(&fs, "/", &root), 0);
    ASSERT_EQ(root.size, block_size);  // one block: the last record ends the directory
    put16(last + 4, static_cast<uint16_t>(get16(last + 4) + 4));
    int result = 0;
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), first(all.size() - 1));
    EXPECT_EQ(result, -1);
    const std::string last_name(reinterpret_cast<const char*>(&g_volume[last + 8]), g_volume[last + 6]);
    serial();
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, ("/" + last_name).c_str(), &f), -1);
    EXPECT_EQ(serial(), "[ext2] Not found: " + last_name + "\n");
}

TEST_F(ext2_damaged, a_directory_claiming_gigabytes_is_refused_before_the_walk) {
    // The root directory patched to claim almost 4 GiB, every block pointer
    // (direct and indirect) naming one block whose words all name that block
    // again. Read as entries, the block is a run of records with a non-zero
    // inode and no name that passes every record check, so a walk would go on
    // through millions of them.
    const uint32_t b = bmap("/f15", 0);
    ASSERT_GE(b, 8u);
    ASSERT_LT(b, 0x10000u);  // rec_len = b, name_len = 0
    for (uint32_t i = 0; i < block_size; i += 4) put32(static_cast<uint64_t>(b) * block_size + i, b);
    const uint64_t root = inode_location(EXT2_ROOT_INO);
    const uint32_t real_size = get32(root + 4);
    const std::vector<uint8_t> real_pointers(&g_volume[root + 40], &g_volume[root + 40 + 15 * 4]);
    put32(root + 4, 0xFFFFFFF0);
    for (int i = 0; i < 15; ++i) put32(root + 40 + 4 * i, b);
    serial();

    g_reads.clear();
    int result = 0;
    EXPECT_TRUE(readdir(EXT2_ROOT_INO, &result).empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(serial(), "[ext2] Directory inode 2 is too large to walk (4294967280 bytes)\n");
    EXPECT_LE(g_reads.size(), 1u);  // the inode, and not one entry
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/hello.txt", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Directory inode 2 is too large to walk (4294967280 bytes)\n");
    // The directory itself still opens: nothing has to be walked for it.
    EXPECT_EQ(ext2_open(&fs, "/", &f), 0);
    serial();

    // 64 KiB is still walked: the real block's entries, then the hole after it
    // ends the walk as any malformed record does.
    memcpy(&g_volume[root + 40], real_pointers.data(), real_pointers.size());
    put32(root + 4, 64 * 1024);
    const auto all = debugfs_ls(image, "/");
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), all);
    EXPECT_EQ(result, -1);
    put32(root + 4, 64 * 1024 + 1);
    EXPECT_TRUE(readdir(EXT2_ROOT_INO, &result).empty());
    EXPECT_EQ(result, -1);
    put32(root + 4, real_size);
    EXPECT_EQ(readdir(EXT2_ROOT_INO, &result), all);
    EXPECT_EQ(result, 0);
    serial();
}

// ------------------------------------------------------------ read failures

TEST_F(ext2_damaged, failed_indirect_reads_fail_the_read) {
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    std::vector<uint8_t> buf(1024);
    auto read_block_n = [&](uint32_t n) {
        // Plausible block numbers in the block buffer first: a reader that went on
        // with it after a failed read would find real blocks and succeed.
        EXPECT_TRUE(read_path("/pointers.bin") == tree_files().at("pointers.bin"));
        return read_inode_data(&fs, f.inode, n * 1024, 1024, buf.data());
    };
    ASSERT_EQ(read_block_n(12), 1024);
    fail_block(meta_block("/big.bin", "IND"));
    EXPECT_EQ(read_block_n(12), -1);
    EXPECT_EQ(read_block_n(11), 1024);  // the direct blocks are unaffected
    g_bad_sectors.clear();

    fail_block(meta_block("/big.bin", "DIND"));
    EXPECT_EQ(read_block_n(268), -1);
    g_bad_sectors.clear();

    // The second-level block under the double-indirect one, after a good read
    // through it left its pointers in the second buffer.
    ASSERT_EQ(read_block_n(268), 1024);
    const uint32_t dind = meta_block("/big.bin", "DIND");
    fail_block(get32(static_cast<uint64_t>(dind) * 1024));
    EXPECT_EQ(read_block_n(268), -1);
    EXPECT_EQ(read_block_n(267), 1024);
    g_bad_sectors.clear();

    fail_block(bmap("/big.bin", 5));
    EXPECT_EQ(read_block_n(5), -1);
    serial();
}

TEST_F(ext2_damaged, inode_table_read_failure_is_reported) {
    const uint64_t at = inode_location(EXT2_ROOT_INO);
    const uint32_t table_block = static_cast<uint32_t>(at / block_size);
    fail_block(table_block);
    ext2_file f;
    EXPECT_EQ(ext2_open(&fs, "/", &f), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read inode table block " + std::to_string(table_block) +
                            "\n[ext2] Failed to read root inode\n");
}

TEST_F(ext2_damaged, block_numbers_past_the_volume_fail) {
    const uint32_t blocks = get32(SB + 4);  // s_blocks_count
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    serial();
    const uint64_t inode_at = inode_location(f.ino);
    put32(inode_at + 40, blocks);  // i_block[0]
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    serial();
    uint8_t buf[16];
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, sizeof buf, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Block " + std::to_string(blocks) + " is beyond the volume's " +
                            std::to_string(blocks) + " blocks\n");
    put32(inode_at + 40, blocks - 1);  // the last block is a block of the volume
    ASSERT_EQ(ext2_open(&fs, "/f15", &f), 0);
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, sizeof buf, buf), static_cast<int>(sizeof buf));

    // The same for an indirect pointer.
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    put32(inode_location(f.ino) + 88, 0xFFFFFFF0);
    ASSERT_EQ(ext2_open(&fs, "/big.bin", &f), 0);
    serial();
    EXPECT_EQ(read_inode_data(&fs, f.inode, 12 * 1024, sizeof buf, buf), -1);
    EXPECT_NE(serial().find("is beyond the volume's"), std::string::npos);
}

TEST_F(ext2_damaged, inode_table_offsets_do_not_wrap) {
    use(L1K_I128);
    // Group 0's inode table moved to the last 32-bit block number: the inode
    // three table blocks further on would, in 32 bits, be read from block 2.
    put32(2 * 1024 + 8, 0xFFFFFFFF);
    mount_ok();
    const uint32_t ino = 1 + 3 * (block_size / fs.inode_size);
    ASSERT_LE(ino, fs.inodes_per_group);
    uint8_t buf[128];
    g_reads.clear();
    EXPECT_EQ(ext2_read_inode(&fs, ino, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read inode table block 4294967298\n");
    EXPECT_TRUE(g_reads.empty());
}

// ------------------------------------------------------------ superblocks

class ext2_superblock_checks : public ext2_files {
protected:
    std::string refused() {
        g_reads.clear();
        EXPECT_EQ(mount(), -1);
        // Refused before the descriptor table is touched.
        EXPECT_EQ(g_reads.size(), 1u);
        return serial();
    }
};

TEST_F(ext2_superblock_checks, magic_and_read_failures) {
    put16(SB + 56, 0x1234);
    EXPECT_EQ(refused(), "[ext2] Bad magic: 0x1234 (expected 0xEF53)\n");
    put16(SB + 56, 0xEF53);

    g_bad_sectors = {3};
    EXPECT_EQ(mount(), -1);
    EXPECT_EQ(serial(), "[ext2] Failed to read superblock\n");
    g_bad_sectors = {4};  // the descriptor table, block 2
    EXPECT_EQ(mount(), -1);
    EXPECT_EQ(serial(), "[ext2] Magic OK, block_size=1024, inodes=" + std::to_string(get32(SB)) + ", groups=" +
                            std::to_string(fs.group_count) +
                            "\n[ext2] Volume: tarvelin\n[ext2] Failed to read BGDT block 2\n");
}

TEST_F(ext2_superblock_checks, descriptor_table_of_a_2k_volume_from_block_1) {
    use(L2K);
    g_bad_sectors = {4};
    EXPECT_EQ(mount(), -1);
    EXPECT_NE(serial().find("[ext2] Failed to read BGDT block 1\n"), std::string::npos);
}

TEST_F(ext2_superblock_checks, zero_per_group_counts) {
    const uint32_t inodes_per_group = get32(SB + 40), blocks_per_group = get32(SB + 32);
    put32(SB + 32, 0);
    EXPECT_EQ(refused(), "[ext2] Bad superblock: 0 blocks and " + std::to_string(inodes_per_group) +
                             " inodes per group\n");
    put32(SB + 32, blocks_per_group);
    put32(SB + 40, 0);
    EXPECT_EQ(refused(), "[ext2] Bad superblock: " + std::to_string(blocks_per_group) +
                             " blocks and 0 inodes per group\n");
}

TEST_F(ext2_superblock_checks, inode_sizes) {
    for (uint16_t bad : {0, 64, 100, 129, 192, 2048, 65535}) {
        put16(SB + 88, bad);
        EXPECT_EQ(refused(), "[ext2] Bad inode size " + std::to_string(bad) + "\n");
    }
    for (uint16_t good : {128, 512, 1024}) {  // up to the block size
        put16(SB + 88, good);
        EXPECT_EQ(mount(), 0) << good;
        EXPECT_EQ(fs.inode_size, good);
    }
    // Revision 0 has 128-byte inodes whatever the field holds.
    put32(SB + 76, 0);
    put16(SB + 88, 100);
    EXPECT_EQ(mount(), 0);
    EXPECT_EQ(fs.inode_size, 128u);
    serial();
}

TEST_F(ext2_superblock_checks, block_sizes_beyond_the_buffers) {
    for (uint32_t log : {3u, 4u, 32u, 0xFFFFFFFFu}) {
        put32(SB + 24, log);
        EXPECT_EQ(refused(), "[ext2] Unsupported block size (s_log_block_size=" + std::to_string(log) +
                                 ", at most 4096 bytes)\n");
    }
}

TEST_F(ext2_superblock_checks, group_counts) {
    put32(SB + 4, 0);
    EXPECT_EQ(refused(), "[ext2] Volume has no block groups\n");

    // 16384 blocks in groups of 8: 2048 groups, more than the table buffer holds.
    put32(SB + 4, 16384);
    put32(SB + 32, 8);
    EXPECT_EQ(refused(), "[ext2] Too many block groups: 2048 (at most 128)\n");
    put32(SB + 32, 127);  // ceil(16384 / 127) = 130
    EXPECT_EQ(refused(), "[ext2] Too many block groups: 130 (at most 128)\n");

    // Exactly 128 groups: four 1 KiB descriptor blocks, all read.
    put32(SB + 32, 128);
    g_reads.clear();
    ASSERT_EQ(mount(), 0) << serial();
    EXPECT_EQ(fs.group_count, 128u);
    const std::vector<std::pair<uint32_t, uint32_t>> want = {{2, 2}, {4, 2}, {6, 2}, {8, 2}, {10, 2}};
    EXPECT_EQ(g_reads, want);
    EXPECT_EQ(0, memcmp(fs.bgdt, &g_volume[2048], 4096));
    serial();
}

TEST_F(ext2_superblock_checks, sector_addresses_beyond_32_bits_fail) {
    use(L4K);
    // A volume that claims 2^32 - 1 blocks of 4 KiB in 128 groups: block 2^29
    // would be sector 2^32, which in 32 bits is sector 0.
    put32(SB + 4, 0xFFFFFFFF);
    put32(SB + 32, 0x02000000);
    mount_ok();
    ext2_file f;
    ASSERT_EQ(ext2_open(&fs, "/hello.txt", &f), 0);
    put32(inode_location(f.ino) + 40, 0x20000000);
    ASSERT_EQ(ext2_open(&fs, "/hello.txt", &f), 0);
    serial();
    g_reads.clear();
    uint8_t buf[16];
    EXPECT_EQ(read_inode_data(&fs, f.inode, 0, sizeof buf, buf), -1);
    EXPECT_EQ(serial(), "[ext2] Block 536870912 lies beyond the 32-bit sector range\n");
    EXPECT_TRUE(g_reads.empty());
}

// ------------------------------------------------------------ the volume name

class ext2_name : public ext2_base {};

TEST_F(ext2_name, volume_name_of_exactly_16_characters) {
    use(L_NAME16);
    g_volume[SB + 136] = 'X';  // the byte after the name field is not a terminator
    ASSERT_EQ(mount(), 0);
    const std::string out = serial();
    EXPECT_NE(out.find("[ext2] Volume: ABCDEFGHIJKLMNOP\n"), std::string::npos) << out;
    EXPECT_EQ(0, memcmp(fs.sb + EXT2_VOLUME_NAME_OFFSET, "ABCDEFGHIJKLMNOP", EXT2_VOLUME_NAME_LEN));
}

// ------------------------------------------------------------ through the ATA driver

class ext2_on_ata : public ext2_base {
protected:
    void TearDown() override { EXPECT_TRUE(disk.violations().empty()); }
    ata_model disk;
};

TEST_F(ext2_on_ata, mount_without_a_drive) {
    ata_model none(ata_model::kind::none_floating);
    none.attach();
    ata_init();
    serial();
    fs.block_size = 12345;
    EXPECT_EQ(ext2_mount(&fs, 2048), -1);
    EXPECT_EQ(serial(), "[ext2] No ATA drive available\n");
    EXPECT_EQ(fs.block_size, 12345u);  // untouched
    fake_bus::reset();
}

TEST_F(ext2_on_ata, mounts_the_partition_of_a_made_disk_image) {
    // The image as the build makes it: an MBR and a volume at LBA 2048.
    const std::string img = scratch_env::dir() + "/disk.img";
    const std::string cmd = SBIN_PATH + "python3 " + shell_quote(std::string(TARVELIN_SOURCE_DIR) +
                                                                 "/scripts/make-disk-image") +
                            " " + shell_quote(img) + " " + shell_quote(source_tree()) + " --size-mib 16";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(disk.load(img));
    disk.attach();
    ata_init();
    ASSERT_EQ(ata_is_present(), 1);
    serial();

    const std::string volume = img + "?offset=1048576";
    const std::string st = debugfs(volume, "stats");
    const uint64_t blocks = debugfs_field(st, "Block count:");
    const uint64_t per_group = debugfs_field(st, "Blocks per group:");
    ASSERT_EQ(ext2_mount(&fs, 2048), 0);
    EXPECT_EQ(serial(), "[ext2] Mounting ext2 from ATA (partition LBA 2048)...\n"
                        "[ext2] Magic OK, block_size=1024, inodes=" +
                            std::to_string(debugfs_field(st, "Inode count:")) +
                            ", groups=" + std::to_string((blocks + per_group - 1) / per_group) +
                            "\n[ext2] Volume: tarvelin\n[ext2] Initialized successfully\n");
    EXPECT_EQ(fs.read_sectors, &part_read);
    dir_listing l;
    EXPECT_EQ(ext2_readdir(&fs, EXT2_ROOT_INO, collect, &l), 0);
    EXPECT_EQ(l.entries, debugfs_ls(volume, "/"));
    image = volume;
    EXPECT_TRUE(read_path("/docs/deep/inner.txt") == tree_files().at("docs/deep/inner.txt"));
    // Every sector came from the partition.
    for (const auto& c : disk.commands()) {
        if (c.command == ata_model::CMD_READ) {
            EXPECT_GE(c.lba, 2048u);
        }
    }
    uint8_t sector[512];
    ASSERT_EQ(part_read(2, 1, sector), 0);
    EXPECT_EQ(0, memcmp(sector, disk.image.data() + (2048 + 2) * 512, 512));

    // A partition offset that would carry the address past 32 bits fails
    // instead of wrapping to the start of the disk.
    serial();
    const size_t commands_before = disk.commands().size();
    EXPECT_EQ(ext2_mount(&fs, 0xFFFFFFFF), -1);
    EXPECT_EQ(serial(), "[ext2] Mounting ext2 from ATA (partition LBA 4294967295)...\n"
                        "[ext2] Failed to read superblock\n");
    EXPECT_EQ(disk.commands().size(), commands_before);
    fake_bus::reset();
}

}  // namespace
