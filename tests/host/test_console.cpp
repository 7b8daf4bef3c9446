// COM1 set-up, the polled console and kprintf, checked by what reaches the UART.
#include <functional>

#include "host_env.h"
#include "main.h"

namespace {

class console : public host_test {};

TEST_F(console, init_programs_38400_8n1_in_order) {
    serial_init();
    const std::vector<port_access> expected = {
        {true, 8, 0x3F9, 0x00}, {true, 8, 0x3FB, 0x80}, {true, 8, 0x3F8, 0x03}, {true, 8, 0x3F9, 0x00},
        {true, 8, 0x3FB, 0x03}, {true, 8, 0x3FA, 0xC7}, {true, 8, 0x3FC, 0x0B}};
    EXPECT_EQ(fake_bus::log(), expected);
    EXPECT_EQ(uart.divisor(), 3);
}

TEST_F(console, every_byte_waits_for_the_transmitter) {
    serial_puts("line one\nline two\n");
    EXPECT_EQ(serial(), "line one\nline two\n");  // no CR added
    EXPECT_EQ(uart.overruns(), 0);
}

TEST_F(console, getc_is_non_blocking_and_returns_bytes_unsigned) {
    EXPECT_EQ(serial_poll(), 0);
    EXPECT_EQ(serial_getc(), -1);
    uart.feed(std::string("\xFF" "a", 2));
    EXPECT_EQ(serial_poll(), 1);
    EXPECT_EQ(uart.pending_input(), 2u);  // polling consumes nothing
    EXPECT_EQ(serial_getc(), 255);
    EXPECT_EQ(serial_getc(), 'a');
    EXPECT_EQ(serial_getc(), -1);
}

TEST_F(console, printers_and_every_kprintf_conversion) {
    const char unterminated[20] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                   'a', 'b', 'c', 'd', 'e', 'f', 'X', 'Y', 'Z', 'W'};
    struct case_ {
        std::function<void()> print;
        std::string out;
    };
    const case_ cases[] = {
        {[] { kprint_hex(0x1000); }, "0x0000000000001000"},
        {[] { kprint_hex(~0ull); }, "0xFFFFFFFFFFFFFFFF"},
        {[] { kprint_dec(0), kprint_dec(1000); }, "01000"},
        {[] { kprint_dec(18446744073709551615ull); }, "18446744073709551615"},
        {[] { kprintf("%d %x %x 0x%x", 0, 0, 255, 0xEF53); }, "0 0 FF 0xEF53"},
        {[] { kprintf("%d", -1); }, "18446744073709551615"},  // no sign: the 64-bit pattern
        {[] { kprintf("%d|%x", static_cast<int32_t>(-2), static_cast<uint32_t>(0xFFFFFFFF)); },
         "18446744073709551614|FFFFFFFF"},
        {[] { kprintf("[%s] [%s] %c%c", "abc", static_cast<const char*>(nullptr), 'x', 0x141); }, "[abc] [(null)] xA"},
        {[] { kprintf("%s", "Tarvelin \xE2\x80\x94 ok"); }, "Tarvelin \xE2\x80\x94 ok"},  // UTF-8 passes through
        {[&] { kprintf("<%.16s>", unterminated); }, "<0123456789abcdef>"},
        {[] { kprintf("<%.16s><%.*s><%.0s>", "short", 3, "abcdef", "abc"); }, "<short><abc><>"},
        {[] { kprintf("<%.99999999999999999999999s>", "huge"); }, "<huge>"},  // saturates, no wrap
        // "%." before another byte is sent as it stands, the rest as text; a star
        // takes an argument only for an 's'.
        {[] { kprintf("%.5d|", 7); }, "%.5d|"},
        {[] { kprintf("%.*d %d", 9); }, "%.*d 9"},
        {[] { kprintf("%."); }, "%."},
        {[] { kprintf("100%"); }, "100%"},
        {[] { kprintf("50%% %d", 5); }, "50% 5"},
        {[] { kprintf("%q%d", 7); }, "%q7"},          // unknown conversion consumes nothing
        {[] { kprintf("%5d", 3); }, "%5d"},           // no widths
        {[] { kprintf("%d %d %s"); }, "0 0 (null)"},  // missing arguments read as 0
    };
    for (const case_& c : cases) {
        c.print();
        EXPECT_EQ(serial(), c.out);
    }
    EXPECT_EQ(uart.overruns(), 0);
}

TEST(strings, compare_bytes_as_unsigned) {
    EXPECT_EQ(kstrlen(""), 0u);
    EXPECT_EQ(kstrlen("tarvelin"), 8u);
    EXPECT_EQ(kstrcmp("abc", "abc"), 0);
    EXPECT_LT(kstrcmp("a", "\xFF"), 0);
    EXPECT_GT(kstrcmp("\x80", "a"), 0);
    EXPECT_EQ(kstrcmp("", "b"), -'b');  // a ends first: 0 minus b's byte
    EXPECT_EQ(kstrcmp("b", ""), 'b');
    EXPECT_EQ(kstrncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(kstrncmp("abc", "abd", 2), 0);
    EXPECT_LT(kstrncmp("abc", "abd", 3), 0);
    EXPECT_EQ(kstrncmp("ab", "ab", 10), 0);  // both end together
    EXPECT_EQ(kstrncmp("execute", "execute ", 8), -' ');
    EXPECT_GT(kstrncmp("\xFF", "a", 1), 0);
}

TEST(strings, memset_and_memcpy) {
    char buf[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(kmemset(buf + 1, 0x141, 3), buf + 1);
    EXPECT_EQ(kmemcpy(buf + 4, "wxyz", 4), buf + 4);
    EXPECT_EQ(kmemcpy(buf, "q", 0), buf);
    EXPECT_EQ(std::string(buf, 8), "1AAAwxyz");
}

}  // namespace
