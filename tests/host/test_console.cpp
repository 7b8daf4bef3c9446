// COM1 set-up, the polled console and kprintf, checked by what reaches the UART.
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

TEST_F(console, hex_and_decimal_printers) {
    kprint_hex(0x1000);
    EXPECT_EQ(serial(), "0x0000000000001000");
    kprint_hex(~0ull);
    EXPECT_EQ(serial(), "0xFFFFFFFFFFFFFFFF");
    kprint_dec(0);
    EXPECT_EQ(serial(), "0");
    kprint_dec(18446744073709551615ull);
    EXPECT_EQ(serial(), "18446744073709551615");
    kprint_dec(1000);
    EXPECT_EQ(serial(), "1000");
}

TEST_F(console, kprintf_numbers) {
    kprintf("%d %x %x 0x%x", 0, 0, 255, 0xEF53);
    EXPECT_EQ(serial(), "0 0 FF 0xEF53");
    kprintf("%d", -1);  // no sign: the 64-bit pattern
    EXPECT_EQ(serial(), "18446744073709551615");
    kprintf("%d|%x", static_cast<int32_t>(-2), static_cast<uint32_t>(0xFFFFFFFF));
    EXPECT_EQ(serial(), "18446744073709551614|FFFFFFFF");
}

TEST_F(console, kprintf_strings_and_characters) {
    kprintf("[%s] [%s] %c%c", "abc", static_cast<const char*>(nullptr), 'x', 0x141);
    EXPECT_EQ(serial(), "[abc] [(null)] xA");
    kprintf("%s", "Tarvelin \xE2\x80\x94 ok");  // UTF-8 passes through
    EXPECT_EQ(serial(), "Tarvelin \xE2\x80\x94 ok");
}

TEST_F(console, kprintf_precision) {
    const char unterminated[20] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                   'a', 'b', 'c', 'd', 'e', 'f', 'X', 'Y', 'Z', 'W'};
    kprintf("<%.16s>", unterminated);
    EXPECT_EQ(serial(), "<0123456789abcdef>");
    kprintf("<%.16s>", "short");
    EXPECT_EQ(serial(), "<short>");
    kprintf("<%.*s>", 3, "abcdef");
    EXPECT_EQ(serial(), "<abc>");
    kprintf("<%.0s>", "abc");
    EXPECT_EQ(serial(), "<>");
    kprintf("<%.99999999999999999999999s>", "huge");  // saturates, no wrap
    EXPECT_EQ(serial(), "<huge>");
}

TEST_F(console, kprintf_precision_before_other_byte_prints_literally) {
    // "%." is sent, then the walk continues after the '.': "5d" as text.
    kprintf("%.5d|", 7);
    EXPECT_EQ(serial(), "%.5d|");
    // The star is not a conversion unless an 's' follows; no argument is taken.
    kprintf("%.*d %d", 9);
    EXPECT_EQ(serial(), "%.*d 9");
    kprintf("%.");
    EXPECT_EQ(serial(), "%.");
}

TEST_F(console, kprintf_odd_cases) {
    kprintf("100%");
    EXPECT_EQ(serial(), "100%");
    kprintf("50%% %d", 5);
    EXPECT_EQ(serial(), "50% 5");
    kprintf("%q%d", 7);  // unknown conversion consumes nothing
    EXPECT_EQ(serial(), "%q7");
    kprintf("%5d", 3);  // no widths: "%5" then "d"
    EXPECT_EQ(serial(), "%5d");
    kprintf("%d %d %s");  // missing arguments read as 0
    EXPECT_EQ(serial(), "0 0 (null)");
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
    EXPECT_EQ(kstrcmp("abd", "abc"), 1);
}

TEST(strings, bounded_compare) {
    EXPECT_EQ(kstrncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(kstrncmp("abc", "abd", 2), 0);
    EXPECT_LT(kstrncmp("abc", "abd", 3), 0);
    EXPECT_EQ(kstrncmp("ab", "ab", 10), 0);  // both end together
    EXPECT_EQ(kstrncmp("execute fib", "execute ", 8), 0);
    EXPECT_EQ(kstrncmp("execute", "execute ", 8), -' ');
    EXPECT_GT(kstrncmp("\xFF", "a", 1), 0);
}

TEST(strings, memset_and_memcpy) {
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(kmemset(buf + 1, 0x1AB, 3), buf + 1);
    const unsigned char after_set[8] = {1, 0xAB, 0xAB, 0xAB, 5, 6, 7, 8};
    EXPECT_EQ(0, memcmp(buf, after_set, 8));
    const unsigned char src[4] = {9, 8, 7, 6};
    EXPECT_EQ(kmemcpy(buf + 4, src, 4), buf + 4);
    const unsigned char after_copy[8] = {1, 0xAB, 0xAB, 0xAB, 9, 8, 7, 6};
    EXPECT_EQ(0, memcmp(buf, after_copy, 8));
    EXPECT_EQ(kmemcpy(buf, src, 0), buf);
}

}  // namespace
