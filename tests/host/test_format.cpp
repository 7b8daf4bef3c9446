// The three formatters, one conversion table each: kprintf to COM1, vga_printf to the
// screen's first row, and the user runtime's printf through its write calls.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "host.h"
#include "main.h"
#include "vga.h"

static uint64_t s(const char* text) { return reinterpret_cast<uint64_t>(text); }

struct format_case {
    const char* format;
    std::vector<uint64_t> args;
    std::string out;
};

TEST(format, kprintf) {
    const format_case cases[] = {
        {"%d|%d", {0, UINT64_MAX}, "0|18446744073709551615"},
        {"%x|%x|%x", {0, 0xEF53, UINT64_MAX}, "0|EF53|FFFFFFFFFFFFFFFF"},
        {"%s|%s|%c|%%|%q", {s("abc"), 0, 'A'}, "abc|(null)|A|%|%q"},
        {"%.2s|%.0s|%.*s|%.3s", {s("abc"), s("abc"), 1, s("xyz"), 0}, "ab||x|(null)"},
        {"%.x|%.s|%", {}, "%.x|%.s|%"},
        {"%d%s%x", {7}, "7(null)0"},
    };
    for (const auto& c : cases) {
        host::reset();
        kprintf_args(c.format, c.args.data(), c.args.size());
        EXPECT_EQ(host::serial(), c.out) << c.format;
    }
}

TEST(format, vga_printf) {
    const format_case cases[] = {
        {"%d %x", {42, 0xAB}, "42 0x00000000000000AB"},
        {"%s|%s|%c|%%", {s("abc"), 0, 'z'}, "abc|(null)|z|%"},
        {"%ld|%.16s|%", {}, "%ld|%.16s|%"},
    };
    for (const auto& c : cases) {
        vga_clear();
        vga_printf_args(c.format, c.args.data(), c.args.size());
        std::string row;
        for (int i = 0; i < 80; ++i) row += static_cast<char>(host::phys(VGA_TEXT_ADDR)[2 * i]);
        EXPECT_EQ(row.substr(0, row.find_last_not_of(' ') + 1), c.out) << c.format;
    }
}

// The runtime's side of the system calls: writes are collected, the rest answered as the kernel would.
static std::string g_written;
int rt_main(int, char**) { return 0; }
extern "C" {
uint64_t runtime_host_image_end = 0x404000;
int rt_printf(const char* format, ...);
int64_t runtime_host_syscall(uint64_t number, uint64_t, uint64_t a2, uint64_t a3) {
    if (number == 1) g_written.append(reinterpret_cast<const char*>(a2), a3);
    return number == 1 ? static_cast<int64_t>(a3) : 0;
}
}

TEST(format, user_printf) {
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[] { return rt_printf("%d|%d|%d", 0, -1, INT_MIN); }, "0|-1|-2147483648"},
        {[] { return rt_printf("%5d|%05d|%-3d|%02d", -7, -7, 123); }, "   -7|-0007|%-3d|123"},
        {[] { return rt_printf("%u|%x|%08x", 3000000000u, 255u, 0xBEEFu); }, "3000000000|ff|0000beef"},
        {[] { return rt_printf("%ld|%lx|%lu", LONG_MIN, 1ul << 40, ULONG_MAX); },
         "-9223372036854775808|10000000000|18446744073709551615"},
        {[] { return rt_printf("%s|%s|%c|%%", "abc", static_cast<char*>(nullptr), 'q'); }, "abc|(null)|q|%"},
        {[] { return rt_printf("%q|%5q|%l|%07"); }, "%q|%5q|%l|%07"},
    };
    for (const auto& [call, out] : cases) {
        g_written.clear();
        const int n = call();
        EXPECT_EQ(g_written, out);
        EXPECT_EQ(n, static_cast<int>(out.size())) << out;
    }
}
