// The system calls' checks on what a program hands the kernel: buffers must lie wholly in
// 2 MiB pages open to ring 3 at every level of the live tables.
#include <gtest/gtest.h>

#include <cstring>

#include "host.h"
#include "syscall.h"

struct write_case {
    const char* name;
    uint64_t fd, buf, count;
    int64_t result;
};

TEST(syscall, write_checks_descriptor_and_buffer) {
    constexpr uint64_t ANY = ~0ull;
    const write_case cases[] = {
        {"inside", 1, 0x400000, 5, 5},
        {"stderr", 2, 0x5FFFFB, 5, 5},
        {"stdin", 0, 0x400000, 5, -1},
        {"fd 3", 3, 0x400000, 5, -1},
        {"count 0", 1, 0, 0, 0},
        {"across open pages", 1, 0x5FFFF0, 0x20, 0x20},
        {"into a closed page", 1, 0x7FFFF0, 0x20, -1},
        {"from a closed page", 1, 0x3FFFFF, 2, -1},
        {"kernel", 1, 0x100000, 4, -1},
        {"not present", 1, 0x10000000, 4, -1},
        {"past the mapped GiB", 1, 0x40000000, 1, -1},
        {"wraps", 1, 0x400000, ANY - 0x3FFFFF + 0x10, -1},
        {"top of memory", 1, ANY - 0xF, 0x20, -1},
    };
    syscall_init();
    for (const auto& c : cases) {
        host::reset();
        host::build_boot_tables();
        auto* pd = reinterpret_cast<uint64_t*>(host::phys(0x3000));
        *reinterpret_cast<uint64_t*>(host::phys(0x1000)) |= 4;
        *reinterpret_cast<uint64_t*>(host::phys(0x2000)) |= 4;
        pd[2] |= 4, pd[3] |= 4, pd[128] &= ~1ull, pd[128] |= 4;  // the stack page: user but not present
        if (c.result > 0) std::memcpy(host::phys(c.buf), "hello", 5);
        EXPECT_EQ(syscall_dispatch(SYS_WRITE, c.fd, c.buf, c.count, 0, 0), c.result) << c.name;
        EXPECT_EQ(host::serial(), c.result > 0 ? std::string(reinterpret_cast<char*>(host::phys(c.buf)), c.count) : "")
            << c.name;
    }
}

TEST(syscall, brk_never_shrinks_and_unknown_numbers_are_refused) {
    syscall_init();
    for (auto [ask, got] : {std::pair{0ull, 0ll}, {0x500000, 0x500000}, {0x480000, 0x500000}, {0, 0x500000}})
        EXPECT_EQ(syscall_dispatch(SYS_BRK, ask, 0, 0, 0, 0), got) << ask;
    for (uint64_t n : {4ull, 59ull, 127ull, 128ull, ~0ull}) EXPECT_EQ(syscall_dispatch(n, 0, 0, 0, 0, 0), -38) << n;
}
