// The ext2 reader over an in-memory sector routine, on volumes made by mkfs.ext2 when the
// test runs (1, 2 and 4 KiB blocks, revisions 0 and 1, several groups) and on damaged copies.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "ext2.h"
#include "files.h"
#include "host.h"
#include "paging.h"

namespace {
// Direct, indirect and double-indirect blocks, and a hole.
const std::map<std::string, std::string> FILES = {
    {"hello.txt", "hello, ext2\n"},
    {"dir/big", [] { std::string s(300000, 0); for (size_t i = 0; i < s.size(); ++i) s[i] = char(i * 7 % 251); return s; }()},
    {"dir/sparse", std::string(200000, '\0') + "after the hole\n"},
};

const std::string FAST_LINK = "hello.txt", SLOW_LINK = std::string(70, 'x') + "/hello.txt";

std::vector<uint8_t> g_volume;

// A fresh folder under the system's temporary directory (TMPDIR honoured).
std::string temp_folder() {
    std::string name = (std::filesystem::temp_directory_path() / "tarvelin-ext2-XXXXXX").string();
    return mkdtemp(name.data());
}
int64_t g_failing_lba = -1;
int g_reads = 0;

void make_volume(int block, int rev) {
    const std::string root = temp_folder(), image = root + "/v.img";
    std::filesystem::create_directories(root + "/tree/dir");
    for (const auto& [path, data] : FILES) {
        std::ofstream out(root + "/tree/" + path, std::ios::binary);
        path == "dir/sparse" ? out.seekp(200000) << "after the hole\n" : out << data;
    }
    std::filesystem::create_symlink(FAST_LINK, root + "/tree/fast");  // target in the inode
    std::filesystem::create_symlink(SLOW_LINK, root + "/tree/slow");  // target in a block
    std::filesystem::resize_file((std::ofstream(image), image), 2 << 20);
    const std::string cmd = std::string(MKFS_EXT2) + " -q -F -N 64 -g 256 -m 0 -L tarvelin -b " + std::to_string(block) +
                            " -r " + std::to_string(rev) + (rev ? " -I 256 -d " : " -d ") + root + "/tree " + image;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    g_volume.assign(std::istreambuf_iterator<char>(std::ifstream(image, std::ios::binary).rdbuf()), {});
    std::filesystem::remove_all(root);
}

int read_volume(uint32_t lba, uint32_t count, void* dst) {
    ++g_reads;
    if (uint64_t{lba} + count > g_volume.size() / 512 || (g_failing_lba >= lba && g_failing_lba < lba + int64_t{count}))
        return -1;
    return std::memcpy(dst, g_volume.data() + uint64_t{lba} * 512, count * 512), 0;
}

std::string read_file(ext2_fs* fs, const std::string& path) {
    ext2_file f;
    std::string all = ext2_open(fs, path.c_str(), &f) == 0 ? "" : "(cannot open)";
    char piece[1000];
    for (int n; (n = ext2_read(&f, piece, sizeof piece)) > 0;) all.append(piece, n);
    return all;
}
}  // namespace

class ext2 : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ext2, lists_and_reads_every_file) {
    make_volume(GetParam().first, GetParam().second);
    if (GetParam().second == 0) g_volume[1024 + 88] = 0;  // revision 0's inodes are 128 bytes, whatever this says
    ext2_fs fs;
    ASSERT_EQ(ext2_init(&fs, read_volume), 0);
    EXPECT_EQ(fs.block_size, uint32_t(GetParam().first));
    EXPECT_STREQ(reinterpret_cast<char*>(fs.sb + EXT2_VOLUME_NAME_OFFSET), "tarvelin");
    std::set<std::string> names;
    EXPECT_EQ(ext2_readdir(&fs, EXT2_ROOT_INO, [](const char* n, uint32_t, uint32_t, uint32_t, void* u) {
        static_cast<std::set<std::string>*>(u)->insert(n); }, &names), 0);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "lost+found", "hello.txt", "dir", "fast", "slow"}));
    for (const auto& [path, data] : FILES) EXPECT_EQ(read_file(&fs, "/" + path), data) << path;
    EXPECT_EQ(read_file(&fs, "fast"), FAST_LINK);  // a link reads as its text, never as blocks
    EXPECT_EQ(read_file(&fs, "slow"), SLOW_LINK);
    EXPECT_EQ(read_file(&fs, "//dir///big/"), FILES.at("dir/big"));
    for (const char* path : {"nope", "dir/nope", "hello.txt/x"}) EXPECT_EQ(read_file(&fs, path), "(cannot open)");
}

// What a program sees: lookups with links, reads at positions, a directory listed in
// records that fit, and descriptors up to the table's end, all gone at the end of the run.
TEST_P(ext2, programs_see_the_volume_through_descriptors) {
    make_volume(GetParam().first, GetParam().second);
    ext2_fs fs;
    ASSERT_EQ(ext2_init(&fs, read_volume), 0);
    host::build_boot_tables(), pt_open_large_page(0x400000), files_begin_run(&fs);
    constexpr uint64_t PATH = 0x400000, BUF = 0x401000, O_WRONLY = 1, O_CREAT = 0100, O_DIRECTORY = 0200000;
    auto open = [](const char* path, uint64_t flags = 0) {
        std::strcpy(reinterpret_cast<char*>(host::phys(PATH)), path);
        return sys_open(PATH, flags, 0, 0, 0);
    };
    const auto text = [](int64_t n) { return std::string(reinterpret_cast<char*>(host::phys(BUF)), n > 0 ? n : 0); };
    EXPECT_EQ(open("/hello.txt"), 3);
    EXPECT_EQ(open("dir/../fast"), 4);  // through "..", then a link
    const std::string name_too_long(256, 'x');
    for (auto [path, flags, error] : {std::tuple{"slow", 0ull, -2ll}, {"fast", 0400000ull, -40}, {"hello.txt/", 0, -20},
             {"hello.txt", O_WRONLY, -30}, {"new", O_CREAT, -30}, {"nope/new", O_CREAT, -2}, {"hello.txt", O_DIRECTORY, -20},
             {"dir", O_WRONLY, -21}, {name_too_long.c_str(), 0, -36}})
        EXPECT_EQ(open(path, flags), error) << path;
    EXPECT_EQ(sys_pread64(4, BUF, 100, 7, 0), 5);
    EXPECT_EQ(text(5), "ext2\n");
    EXPECT_EQ(sys_dup2(4, 0, 0, 0, 0), 0);  // hexdump reads its file as standard input
    EXPECT_EQ(sys_read(0, BUF, 100, 0, 0), 12);
    EXPECT_EQ(text(12), "hello, ext2\n");
    EXPECT_EQ(sys_read(4, BUF, 100, 0, 0), 0);  // the position is shared with the duplicate
    EXPECT_EQ(sys_lseek(3, -5, 2, 0, 0), 7);
    EXPECT_EQ(sys_read(3, BUF, 100, 0, 0), 5);
    const int64_t dir = open("dir", O_DIRECTORY);
    EXPECT_EQ(sys_read(dir, BUF, 10, 0, 0), -21);
    EXPECT_EQ(sys_getdents64(dir, BUF, 10, 0, 0), -22);  // no room for one record
    std::map<std::string, int> listed;
    for (int64_t n; (n = sys_getdents64(dir, BUF, 40, 0, 0)) > 0;)  // one record a call
        listed[reinterpret_cast<char*>(host::phys(BUF + 19))] = *host::phys(BUF + 18);
    const int file = GetParam().second ? 8 : 0, folder = GetParam().second ? 4 : 0;  // revision 0 records no types
    EXPECT_EQ(listed, (std::map<std::string, int>{{".", folder}, {"..", folder}, {"big", file}, {"sparse", file}}));
    int opened = 0;
    while (open("/") >= 0) ++opened;
    EXPECT_EQ(opened + 6, FILES_MAX_DESCRIPTORS);
    EXPECT_EQ(open("/"), -24);
    files_end_run();
    EXPECT_EQ(files_open_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(, ext2, testing::Values(std::pair{1024, 0}, std::pair{1024, 1}, std::pair{2048, 0},
                                                 std::pair{2048, 1}, std::pair{4096, 0}, std::pair{4096, 1}),
                         [](const auto& p) { return std::to_string(p.param.first) + "_rev" + std::to_string(p.param.second); });

namespace {
template <typename T = uint32_t>
T& field(uint64_t at) { return *reinterpret_cast<T*>(g_volume.data() + at); }
// Where inode `ino` and the root directory's first block lie on the 1 KiB volume.
uint64_t inode_at(uint32_t ino) {
    const uint32_t per_group = field(1024 + 40), group = (ino - 1) / per_group;
    return uint64_t{field(2048 + group * 32 + 8)} * 1024 + (ino - 1) % per_group * field<uint16_t>(1024 + 88);
}
uint64_t root_block() { return uint64_t{field(inode_at(EXT2_ROOT_INO) + 40)} * 1024; }

// 1: refused at mount, 2: root not listed, 3: hello.txt not read, 0: all fine.
int probe() {
    ext2_fs fs;
    ext2_file f;
    char buf[64];
    if (ext2_init(&fs, read_volume) != 0) return 1;
    if (ext2_readdir(&fs, EXT2_ROOT_INO, [](const char*, uint32_t, uint32_t, uint32_t, void*) {}, nullptr) != 0) return 2;
    return ext2_open(&fs, "hello.txt", &f) != 0 || ext2_read(&f, buf, sizeof buf) < 0 ? 3 : 0;
}
}  // namespace

TEST(ext2_damaged, refused_where_the_damage_is) {
    make_volume(1024, 1);
    const auto healthy = g_volume;
    ext2_fs fs;
    ext2_file hello;
    ASSERT_EQ(ext2_init(&fs, read_volume) | ext2_open(&fs, "hello.txt", &hello) | probe(), 0);
    const uint32_t hello_sector = *reinterpret_cast<uint32_t*>(hello.inode + 40) * 2;
    const struct {
        const char* name;
        std::function<void()> damage;
        int result;
        const char* message;
        int reads = 1 << 30;  // sector reads the probe may make
    } cases[] = {
        {"block past the volume", [] { field(inode_at(2) + 40) = field(1024 + 4); }, 2, "Block 2048 is beyond the volume"},
        {"record shorter than its name", [] { field<uint8_t>(root_block() + 6) = 5; }, 2, ""},
        {"record past the directory", [] { field<uint16_t>(root_block() + 4) = 1028; }, 2, ""},
        // Its size alone does not make the walk go on: it stops at the blocks the inode owns.
        {"directory of gigabytes", [] { field(inode_at(2) + 4) = 0x7FFFFFFF; }, 0, ""},
        {"file data unreadable", [&] { g_failing_lba = hello_sector + 1; }, 3, ""},
        // Every block of a huge directory mapped to its first, through indirect blocks read once.
        {"one block everywhere", [] {
             const uint64_t root = inode_at(2), spare = 2000;
             field(root + 4) = 100 << 20, field(root + 28) = ~0u;
             for (int i = 0; i < 12; ++i) field(root + 40 + 4 * i) = field(root + 40);
             for (int i = 0; i < 256; ++i) field(spare * 1024 + 4 * i) = field(root + 40), field((spare + 1) * 1024 + 4 * i) = spare;
             field(root + 88) = spare, field(root + 92) = spare + 1;
         }, 2, "[ext2] Directory walk stopped after 1024 blocks", 40},
    };
    for (const auto& c : cases) {
        g_volume = healthy, g_failing_lba = -1, c.damage(), host::reset(), g_reads = 0;
        EXPECT_EQ(probe(), c.result) << c.name;
        EXPECT_LE(g_reads, c.reads) << c.name;
        EXPECT_NE(host::serial().find(c.message), std::string::npos) << c.name << ": " << host::serial();
    }
}

// 1,000 names of about 200 bytes: a root directory of some 300 blocks, reached through the
// double-indirect block, listed whole and in the order debugfs reads it from the disk.
TEST(ext2_big, a_directory_past_64_kib_lists_whole_and_in_order) {
    const std::string root = temp_folder(), image = root + "/v.img", sbin = std::filesystem::path(MKFS_EXT2).parent_path();
    std::filesystem::create_directories(root + "/tree");
    for (int i = 0; i < 1000; ++i) std::ofstream(root + "/tree/" + std::to_string(i) + std::string(196, 'n'));
    std::filesystem::resize_file((std::ofstream(image), image), 4 << 20);
    ASSERT_EQ(std::system((std::string(MKFS_EXT2) + " -q -F -b 1024 -N 1100 -d " + root + "/tree " + image).c_str()), 0);
    const std::string cmd = sbin + "/debugfs -R 'ls -p /' " + image + " 2>/dev/null";
    std::vector<std::pair<std::string, uint32_t>> want, got;
    FILE* ls = popen(cmd.c_str(), "r");
    for (char line[512]; std::fgets(line, sizeof line, ls) != nullptr;) {
        unsigned ino;  // lines read /ino/mode/uid/gid/name/size/
        char name[300];
        if (std::sscanf(line, "/%u/%*[^/]/%*[^/]/%*[^/]/%299[^/]/", &ino, name) == 2) want.emplace_back(name, ino);
    }
    pclose(ls);
    g_volume.assign(std::istreambuf_iterator<char>(std::ifstream(image, std::ios::binary).rdbuf()), {});
    std::filesystem::remove_all(root);
    ext2_fs fs;
    ASSERT_EQ(ext2_init(&fs, read_volume), 0);
    EXPECT_EQ(ext2_readdir(&fs, EXT2_ROOT_INO, [](const char* n, uint32_t, uint32_t ino, uint32_t, void* u) {
        static_cast<decltype(got)*>(u)->emplace_back(n, ino); }, &got), 0);
    EXPECT_EQ(want.size(), 1003u);  // the names, ".", ".." and lost+found
    EXPECT_EQ(got, want);
}
