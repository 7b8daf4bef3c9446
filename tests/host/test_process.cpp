// What a program from the disk starts with and the memory it may ask for: the shell line's
// words, the Linux process start laid out above the first RSP, the break, and mmap's pages in
// tables of their own, all given back at the end of the run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exec.h"
#include "host.h"
#include "paging.h"
#include "pmm.h"
#include "syscall.h"
#include "vm.h"

namespace {
uint64_t word(uint64_t addr) {
    uint64_t v;
    std::memcpy(&v, host::phys(addr), sizeof v);
    return v;
}

// 512 MiB of memory, the boot tables, and the image and stack pages opened as a launch does.
void machine() {
    const uint64_t info[] = {56, 6 | 40ull << 32, 24, 0x100000, 511ull << 20, 1, 8ull << 32};
    std::memcpy(host::phys(0x9000), info, sizeof info);
    pmm_init(0x9000);
    host::build_boot_tables();
    for (uint64_t page : {USER_IMAGE_BASE, USER_STACK_BASE}) pt_open_large_page(page);
}
}  // namespace

TEST(exec, the_stack_holds_argc_argv_envp_and_the_auxiliary_vector) {
    constexpr uint64_t TOP = 0x10010000, LIMIT = TOP + 0x1000;
    exec_args a;
    ASSERT_EQ(exec_split("/bin/prog one 'two words'", &a), EXEC_SPLIT_OK);
    const elf64_load_result image{0x401000, 0x400000, 0x4A0000, 1, 0x400040, 10, 56};
    std::memset(host::phys(TOP), 0xEE, 0x1000);
    ASSERT_TRUE(exec_build_stack(TOP, LIMIT, a, image));
    ASSERT_EQ(word(TOP), 3u);
    for (uint64_t i = 0; i < 3; ++i) {
        const uint64_t s = word(TOP + 8 + i * 8);
        ASSERT_TRUE(s > TOP && s < LIMIT);
        EXPECT_STREQ(reinterpret_cast<char*>(host::phys(s)), a.argv[i]);
    }
    EXPECT_EQ(word(TOP + 32), 0u);  // argv's end
    EXPECT_EQ(word(TOP + 40), 0u);  // no environment
    std::vector<std::pair<uint64_t, uint64_t>> aux;
    for (uint64_t at = TOP + 48; aux.empty() || aux.back().first != 0; at += 16) aux.push_back({word(at), word(at + 8)});
    const uint64_t random = aux[10].second;
    EXPECT_EQ(aux, (std::vector<std::pair<uint64_t, uint64_t>>{{3, 0x400040}, {4, 56}, {5, 10}, {6, 4096}, {9, 0x401000},
        {11, 0}, {12, 0}, {13, 0}, {14, 0}, {23, 0}, {25, random}, {31, word(TOP + 8)}, {0, 0}}));
    EXPECT_TRUE(random > TOP && random + 16 <= word(TOP + 8));
    EXPECT_NE(word(random) | word(random + 8), 0u);
    EXPECT_FALSE(exec_build_stack(TOP, TOP + 295, a, image));  // one byte short: refused
}

TEST(vm, break_and_mmap_stay_in_their_areas_and_everything_goes_back) {
    machine();
    const uint64_t free = pmm_get_free_pages();
    vm_begin_run(0x4A0123);
    const struct {
        uint64_t ask;
        int64_t got;
    } breaks[] = {{0, 0x4A1000}, {0x10000000, 0x4A1000}, {0x4A0000, 0x4A1000}, {0x650000, 0x650000},
                  {0x800001, 0x650000}, {0x4B0000, 0x4B0000}, {0x800000, 0x800000}};
    std::memset(host::phys(0x4B0000), 0xAA, 0x10);
    for (const auto& b : breaks) EXPECT_EQ(sys_brk(b.ask, 0, 0, 0, 0), b.got) << std::hex << b.ask;
    EXPECT_EQ(word(0x4B0000), 0u);                              // regrown memory reads zero
    EXPECT_TRUE(paging_user_range_ok(0x7FFFF0, 0x10, true));    // the second image page opened
    EXPECT_FALSE(paging_user_range_ok(0x7FFFF0, 0x11, false));  // and not a byte past it

    constexpr uint64_t ANON = 0x22, MIB = 1 << 20;
    const int64_t big = sys_mmap(0, 64 * MIB, 3, ANON, ~0ull);
    ASSERT_GE(big, static_cast<int64_t>(USER_MMAP_BASE));
    const int64_t small = sys_mmap(0, 5000, 3, ANON, ~0ull);
    EXPECT_EQ(small, big + static_cast<int64_t>(64 * MIB));
    char text[9000], back[9000];
    for (size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(copy_to_user(big + 4000, text, sizeof text));  // across frames that need not be adjacent
    ASSERT_TRUE(copy_from_user(back, big + 4000, sizeof back));
    EXPECT_EQ(std::memcmp(text, back, sizeof text), 0);
    EXPECT_FALSE(copy_to_user(small + 0x1FF0, text, 0x20));  // runs off its two pages

    EXPECT_EQ(sys_mmap(big, 4096, 3, ANON | 0x10, ~0ull), big);  // MAP_FIXED over its own: zeroed
    EXPECT_EQ(word(big + 4000), 0u);
    for (auto [addr, length, flags, got] : {std::tuple{0ull, 0ull, ANON, -22ll}, {0, 4096, 0x02ull, -19},
             {0, 4096, 0x20ull, -22}, {0, 600 * MIB, ANON, -12}, {USER_MMAP_END, 4096, ANON | 0x10, -12}})
        EXPECT_EQ(sys_mmap(addr, length, 3, flags, ~0ull), got) << std::hex << addr << " " << length;
    EXPECT_EQ(sys_munmap(big + 1, 4096, 0, 0, 0), -22);
    EXPECT_EQ(sys_munmap(big, 32 * MIB, 0, 0, 0), 0);
    EXPECT_FALSE(paging_user_range_ok(big, 1, false));
    EXPECT_EQ(sys_mprotect(big + 32 * MIB, 4096, 1, 0, 0), 0);
    EXPECT_EQ(sys_mprotect(big, 4096, 1, 0, 0), -12);
    EXPECT_EQ(sys_mmap(0, 4096, 3, ANON, ~0ull), big);  // a hole is filled first
    vm_end_run();
    EXPECT_EQ(pmm_get_free_pages(), free);
    EXPECT_FALSE(paging_user_range_ok(small, 1, false));
}
