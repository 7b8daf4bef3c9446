// The system-call module: the MSRs it programs, the dispatcher and each handler,
// with sys_write's check of the user buffer against the boot page tables.
#include <cstring>
#include <string>
#include <vector>

#include "boot_tables.h"
#include "host_env.h"
#include "layout.h"
#include "syscall.h"

namespace {

constexpr uint32_t IA32_STAR = 0xC0000081, IA32_LSTAR = 0xC0000082, IA32_FMASK = 0xC0000084;
constexpr uint64_t GIB = 0x40000000;
using namespace boot_tables;

class syscall_test : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        current_brk = 0;  // a fresh kernel's break; the variable outlives each test
        syscall_init();
        serial();
        // The boot tables with the pages a program gets opened to ring 3.
        build();
        for (uint64_t* e : {&entry(PML4, 0), &entry(PDPT, 0), &entry(PD, 2), &entry(PD, 128)}) *e |= U;
    }
    // Places bytes in fake physical memory and returns their address.
    static uint64_t place(uint64_t addr, const std::string& bytes) {
        std::memcpy(fake_phys::at(addr), bytes.data(), bytes.size());
        return addr;
    }
    int64_t write(uint64_t fd, uint64_t buf, uint64_t count) { return syscall_dispatch(SYS_WRITE, fd, buf, count, 0, 0); }
};

TEST_F(syscall_test, init_programs_the_msrs_and_reports_them) {
    fake_cpu::reset();
    syscall_init();
    const uint64_t entry_addr = reinterpret_cast<uint64_t>(&syscall_entry);
    EXPECT_EQ(fake_cpu::msr(IA32_STAR), 0x0010000800000000u);
    EXPECT_EQ(fake_cpu::msr(IA32_LSTAR), entry_addr);
    EXPECT_EQ(fake_cpu::msr(IA32_FMASK), 0x47700u);
    EXPECT_FALSE(fake_cpu::msr_written(0xC0000083));  // no compatibility-mode entry

    char line[128];
    std::snprintf(line, sizeof line, "[syscall] Initialized SYSCALL interface\n"
                  "[syscall] STAR=0x10000800000000 LSTAR=0x%llX\n", static_cast<unsigned long long>(entry_addr));
    EXPECT_EQ(serial(), line);
}

std::vector<uint64_t> recorded;
int64_t recorder(uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5) {
    recorded = {a1, a2, a3, a4, a5};
    return -12345;
}

TEST_F(syscall_test, dispatcher_routes_by_number_and_refuses_the_rest) {
    for (uint64_t number : {39ull, 60ull, 127ull, 128ull, 1000ull, ~0ull}) {
        EXPECT_EQ(syscall_dispatch(number, 1, 2, 3, 4, 5), -38) << number;
        EXPECT_EQ(serial(), "[syscall] Unimplemented syscall " + std::to_string(number) + "\n");
    }

    // Any filled slot gets all five arguments and its result comes back as is.
    syscall_table[100] = recorder;
    EXPECT_EQ(syscall_dispatch(100, 11, ~0ull, 33, 44, 0x8000000000000000ull), -12345);
    EXPECT_EQ(recorded, (std::vector<uint64_t>{11, ~0ull, 33, 44, 0x8000000000000000ull}));
    EXPECT_EQ(serial(), "");

    // Initialisation empties every slot it does not fill.
    syscall_init();
    serial();
    EXPECT_EQ(syscall_dispatch(100, 0, 0, 0, 0, 0), -38);
    EXPECT_EQ(serial(), "[syscall] Unimplemented syscall 100\n");
}

TEST_F(syscall_test, read_open_and_close) {
    const uint64_t buf = place(0x400100, "untouched!");
    EXPECT_EQ(syscall_dispatch(SYS_READ, 0, buf, 10, 0, 0), 0);
    EXPECT_EQ(std::string(fake_phys::at<char>(buf), 10), "untouched!");
    EXPECT_EQ(syscall_dispatch(SYS_READ, 1, buf, 10, 0, 0), -1);
    EXPECT_EQ(syscall_dispatch(SYS_READ, 3, buf, 10, 0, 0), -1);
    EXPECT_EQ(std::string(fake_phys::at<char>(buf), 10), "untouched!");
    EXPECT_EQ(serial(), "");

    EXPECT_EQ(syscall_dispatch(SYS_OPEN, buf, 0, 0, 0, 0), -1);
    EXPECT_EQ(serial(), "[syscall] open: not yet implemented\n");

    for (uint64_t fd : {0ull, 1ull, 2ull}) EXPECT_EQ(syscall_dispatch(SYS_CLOSE, fd, 0, 0, 0, 0), 0) << fd;
    for (uint64_t fd : {3ull, ~0ull, 0x100000000ull}) EXPECT_EQ(syscall_dispatch(SYS_CLOSE, fd, 0, 0, 0, 0), -1) << fd;
    EXPECT_EQ(serial(), "");
}

TEST_F(syscall_test, write_sends_an_opened_buffer_unaltered) {
    const std::string bytes("Hi\n\r\0\xFF\x7F" "end", 10);
    const uint64_t buf = place(0x401234, bytes);
    EXPECT_EQ(write(1, buf, bytes.size()), 10);
    EXPECT_EQ(serial(), bytes);
    EXPECT_EQ(write(2, buf, 3), 3);
    EXPECT_EQ(serial(), "Hi\n");
    EXPECT_EQ(uart.overruns(), 0);

    // The user stack's page, up to its very last byte.
    const uint64_t top = place(USER_STACK_BASE + LARGE_PAGE_BYTES - 4, "tail");
    EXPECT_EQ(write(1, top, 4), 4);
    EXPECT_EQ(serial(), "tail");

    // A buffer over two adjacent opened pages.
    entry(PD, 3) |= U;
    const uint64_t across = place(0x5FFFFE, "span");
    EXPECT_EQ(write(1, across, 4), 4);
    EXPECT_EQ(serial(), "span");
}

TEST_F(syscall_test, write_refuses_bad_descriptors_and_buffers_not_open_to_ring_3) {
    place(0x5FFFF8, "straddle-into-supervisor");
    struct range {
        uint64_t fd, buf, count;
        int64_t result;
        const char* what;
    };
    const range cases[] = {
        {1, 0x400000, 0, 0, "nothing to send"},
        {1, 0xFFFFFFFFFFFFF000ull, 0, 0, "nothing to check when nothing is sent"},
        {3, 0x400000, 5, -1, "descriptor 3"},
        {0, 0x400000, 5, -1, "descriptor 0"},
        {~0ull, 0x400000, 5, -1, "descriptor -1"},
        {1, 0x100000, 6, -1, "kernel image page"},
        {1, 0x5FFFF8, 24, -1, "runs from an opened page into a supervisor one"},
        {1, 0x3FFFFF, 2, -1, "starts in the supervisor page below"},
        {1, 0x400000, 0x200001, -1, "one byte past the opened page"},
        {1, 0x400000, ~0ull, -1, "count that wraps the end"},
        {1, 0xFFFFFFFFFFFFFFF0ull, 0x20, -1, "buffer that wraps past zero"},
        {1, GIB, 1, -1, "first byte above 1 GiB"},
        {1, GIB - 8, 16, -1, "runs past 1 GiB"},
        {1, 0x8000000000ull + 0x400000, 4, -1, "alias through another PML4 slot"},
    };
    entry(PD, 511) |= U;  // so that only the 1 GiB limit stops the last cases
    for (const range& r : cases) {
        EXPECT_EQ(write(r.fd, r.buf, r.count), r.result) << r.what;
        EXPECT_EQ(serial(), "") << r.what;
    }
    EXPECT_EQ(write(1, GIB - 8, 8), 8);  // the last opened bytes below the limit
}

TEST_F(syscall_test, write_needs_present_and_user_at_every_level) {
    const uint64_t buf = place(0x400010, "ok");
    EXPECT_EQ(write(1, buf, 2), 2);
    EXPECT_EQ(serial(), "ok");

    // Each case flips bits of one entry; the others stay open.
    struct breakage {
        uint64_t table, index, flip;
        const char* what;
    };
    const breakage cases[] = {
        {PML4, 0, U, "PML4 entry supervisor"}, {PML4, 0, P, "PML4 entry absent"},
        {PDPT, 0, U, "PDPT entry supervisor"}, {PDPT, 0, P, "PDPT entry absent"},
        {PDPT, 0, PS, "PDPT entry mapping a 1 GiB page"},
        {PD, 2, U, "directory entry supervisor"}, {PD, 2, P, "directory entry absent"},
        {PD, 2, PS, "directory entry pointing at a page table"},
    };
    for (const breakage& c : cases) {
        const uint64_t saved = entry(c.table, c.index);
        entry(c.table, c.index) ^= c.flip;
        EXPECT_EQ(write(1, buf, 2), -1) << c.what;
        EXPECT_EQ(serial(), "") << c.what;
        entry(c.table, c.index) = saved;
    }

    // The walk starts at whatever CR3 names, ignoring its flag bits.
    fake_phys::clear(0x5000, 0x1000);
    entry(0x5000, 0) = PDPT | P | U;
    fake_cpu::set_cr(3, 0x5000 | 0x18);
    EXPECT_EQ(write(1, buf, 2), 2);
    EXPECT_EQ(serial(), "ok");
    entry(0x5000, 0) = PDPT | P;
    EXPECT_EQ(write(1, buf, 2), -1);
    EXPECT_EQ(serial(), "");
}

TEST_F(syscall_test, brk_records_a_break_that_never_shrinks) {
    struct step {
        uint64_t request;
        int64_t result;
    };
    const step steps[] = {
        {0, 0},                   // a query on a fresh kernel leaves the break unset
        {0x10000000, 0x10000000}, // the first real request is recorded
        {0, 0x10000000},          // 0 asks for it
        {0x0F000000, 0x10000000}, // never shrinks
        {0x10000000, 0x10000000},
        {0x10001000, 0x10001000}, // grows
    };
    for (const step& s : steps) {
        EXPECT_EQ(syscall_dispatch(SYS_BRK, s.request, 0, 0, 0, 0), s.result) << std::hex << s.request;
        EXPECT_EQ(current_brk, static_cast<uint64_t>(s.result));
    }
    // A new program starts from the break the last one left.
    syscall_init();
    EXPECT_EQ(syscall_dispatch(SYS_BRK, 0, 0, 0, 0, 0), 0x10001000);
    EXPECT_EQ(serial().find("Unimplemented"), std::string::npos);
}

}  // namespace
