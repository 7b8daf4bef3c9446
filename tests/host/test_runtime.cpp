// The user runtime, compiled for the host with its system calls recorded:
// printf's conversions and its one-write-per-character output, puts and
// putchar, the string and memory routines, the bump allocator and the entry.
#include <climits>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "user_runtime_host.h"

using user_runtime::calls;
using user_runtime::output;
using user_runtime::writes;

namespace {

// What rt_main sees and returns, for the entry test.
int main_result = 0;
int main_argc = -1;
char** main_argv = reinterpret_cast<char**>(1);

constexpr uint64_t IMAGE_END = 0x404321;  // first heap address: 0x404330
constexpr uint64_t HEAP_LIMIT = 0x10000000;

uint64_t addr(void* p) { return reinterpret_cast<uint64_t>(p); }

// The status the program exits with through call 60.
uint64_t exit_status(const std::function<void()>& run) {
    try {
        run();
        ADD_FAILURE() << "returned instead of exiting";
    } catch (const user_runtime::program_exit& e) {
        return e.status;
    }
    return 0;
}

class runtime : public ::testing::Test {
protected:
    void SetUp() override { user_runtime::reset(IMAGE_END); }
};

}  // namespace

int rt_main(int argc, char** argv) {
    main_argc = argc;
    main_argv = argv;
    return main_result;
}

// ---------------------------------------------------------------- printf

// Formats the compiler would rightly flag in a program: exactly what is tested.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-overflow"
TEST_F(runtime, printf_conversions_and_odd_cases) {
    struct case_ {
        std::function<int()> call;
        std::string out;
    };
    const case_ cases[] = {
        {[] { return rt_printf("%3d  %02x   %c     ", 65, 65, 65); }, " 65  41   A     "},  // ascii's table cell
        // Widths pad with spaces or zeros, never truncate; the sign goes before the zeros.
        {[] { return rt_printf("%4d|%2d|%2d|%02x|%02x|%2d", 90, 5, 12345, 0, 0xabc, -5); }, "  90| 5|12345|00|abc|-5"},
        {[] { return rt_printf("%4d|%5u|%3x|%05d", -42, 7u, 0xfu, -42); }, " -42|    7|  f|-0042"},
        {[] { return rt_printf("%d|%d|%d|%d", 0, -42, INT_MIN, INT_MAX); }, "0|-42|-2147483648|2147483647"},
        {[] { return rt_printf("%ld|%ld|%ld", 4181L, LONG_MIN, LONG_MAX); },
         "4181|-9223372036854775808|9223372036854775807"},
        {[] { return rt_printf("%u|%lu", UINT_MAX, ULONG_MAX); }, "4294967295|18446744073709551615"},
        {[] { return rt_printf("%u|%x", -1, -1); }, "4294967295|ffffffff"},  // without l: 32 bits
        {[] { return rt_printf("%x|%x|%lx|%lx", 0u, 0xdeadbeefu, 1UL << 32, ~0UL); },
         "0|deadbeef|100000000|ffffffffffffffff"},
        {[] { return rt_printf("[%s][%s][%s]", "abc", static_cast<const char*>(nullptr), ""); }, "[abc][(null)][]"},
        {[] { return rt_printf("%c%c%c", 'x', 0x141, 0); }, std::string("xA\0", 3)},
        {[] { return rt_printf("100%%|50%"); }, "100%|50%"},
        {[] { return rt_printf("%"); }, "%"},
        {[] { return rt_printf("%q %d", 7); }, "%q 7"},  // an unknown conversion takes no argument
        {[] { return rt_printf("%5q|%l|%05", 1); }, "%5q|%l|%05"},  // flag, width and l alone stand as written
        {[] { return rt_printf(""); }, ""},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.out);
        calls.clear();
        EXPECT_EQ(c.call(), static_cast<int>(c.out.size()));
        EXPECT_EQ(output(), c.out);
    }
    EXPECT_TRUE(calls.empty());  // the empty format wrote nothing
}
#pragma GCC diagnostic pop

TEST_F(runtime, printf_writes_each_byte_alone_but_a_string_whole_and_ignores_failures) {
    rt_printf("a%3d%sb%s", -7, "xyz", "");
    EXPECT_EQ(writes(), (std::vector<std::string>{"a", " ", "-", "7", "xyz", "b", ""}));
    for (const auto& c : calls) EXPECT_EQ(c.number, 1u);
    calls.clear();
    user_runtime::override_result = true;
    user_runtime::result_override = -1;
    rt_printf("ok%d", 1);
    EXPECT_EQ(output(), "ok1");
}

TEST_F(runtime, puts_adds_a_newline_and_putchar_writes_the_low_byte) {
    EXPECT_EQ(rt_puts(""), 1);
    EXPECT_EQ(rt_puts("ab"), 3);
    EXPECT_EQ(rt_putchar(0x141), 0x141);
    EXPECT_EQ(writes(), (std::vector<std::string>{"", "\n", "ab", "\n", "A"}));
}

// ---------------------------------------------------------------- strings and memory

TEST_F(runtime, string_comparisons_are_unsigned_and_bounded) {
    EXPECT_EQ(rt_strlen(""), 0u);
    EXPECT_EQ(rt_strlen("ab\0cd"), 2u);
    EXPECT_EQ(rt_strcmp("abc", "abc"), 0);
    EXPECT_EQ(rt_strcmp("abc", "abd"), 'c' - 'd');
    EXPECT_EQ(rt_strcmp("ab", "abc"), -'c');
    EXPECT_EQ(rt_strcmp("abc", "ab"), 'c');
    EXPECT_EQ(rt_strcmp("\xff", "a"), 0xff - 'a');
    EXPECT_EQ(rt_strncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(rt_strncmp("abc", "abd", 2), 0);
    EXPECT_EQ(rt_strncmp("abc", "abd", 3), 'c' - 'd');
    EXPECT_EQ(rt_strncmp("ab\0x", "ab\0y", 4), 0);  // both end before n
    EXPECT_EQ(rt_strncmp("ab", "abc", 5), -'c');
    EXPECT_LT(rt_strncmp("a", "\xff", 1), 0);
}

TEST_F(runtime, copies_touch_exactly_what_they_should) {
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(rt_strcpy(dst, "abc"), dst);
    EXPECT_EQ(std::string(dst, 8), std::string("abc\0ZZZZ", 8));
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(rt_strncpy(dst, "ab", 5), dst);  // pads with zeros
    EXPECT_EQ(std::string(dst, 8), std::string("ab\0\0\0ZZZ", 8));
    rt_strncpy(dst, "abcdef", 3);  // no terminator when full
    EXPECT_EQ(std::string(dst, 8), std::string("abc\0\0ZZZ", 8));
    rt_strncpy(dst, "xyz", 0);
    EXPECT_EQ(dst[0], 'a');

    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(rt_memset(dst + 1, 0x141, 5), dst + 1);
    EXPECT_EQ(std::string(dst, 8), "ZAAAAAZZ");
    EXPECT_EQ(rt_memcpy(dst + 2, "xyz", 3), dst + 2);
    rt_memcpy(dst, "q", 0);
    EXPECT_EQ(std::string(dst, 8), "ZAxyzAZZ");

    char up[] = "abcdefgh", down[] = "abcdefgh";
    EXPECT_EQ(rt_memmove(up + 2, up, 5), up + 2);  // destination above the source
    EXPECT_STREQ(up, "ababcdeh");
    EXPECT_EQ(rt_memmove(down, down + 2, 5), down);  // destination below the source
    EXPECT_STREQ(down, "cdefgfgh");
}

// ---------------------------------------------------------------- allocator

TEST_F(runtime, malloc_rounds_to_16_from_the_image_end_and_calls_brk_once) {
    EXPECT_EQ(user_runtime::count_calls(12), 0u);  // not before the first request
    EXPECT_EQ(addr(rt_malloc(4)), 0x404330u);
    EXPECT_EQ(addr(rt_malloc(1)), 0x404340u);
    EXPECT_EQ(addr(rt_malloc(0)), 0x404350u);
    EXPECT_EQ(addr(rt_malloc(0)), 0x404350u);  // did not move
    EXPECT_EQ(addr(rt_malloc(16)), 0x404350u);
    EXPECT_EQ(addr(rt_malloc(17)), 0x404360u);
    rt_free(rt_malloc(1));
    EXPECT_EQ(addr(rt_malloc(1)), 0x404390u);  // free gives nothing back
    ASSERT_EQ(user_runtime::count_calls(12), 1u);
    EXPECT_EQ(calls[0].number, 12u);
    EXPECT_EQ(calls[0].a1, HEAP_LIMIT);

    user_runtime::reset(0x405000);  // an aligned end is the start itself, whatever brk answers
    user_runtime::override_result = true;
    user_runtime::result_override = -1;
    EXPECT_EQ(addr(rt_malloc(8)), 0x405000u);
}

TEST_F(runtime, malloc_fills_to_the_limit_then_stays_exhausted) {
    user_runtime::reset(HEAP_LIMIT - 48);
    EXPECT_EQ(addr(rt_malloc(32)), HEAP_LIMIT - 48);
    EXPECT_EQ(addr(rt_malloc(16)), HEAP_LIMIT - 16);  // ends at the limit
    EXPECT_EQ(rt_malloc(1), nullptr);
    EXPECT_EQ(rt_malloc(0), nullptr);

    user_runtime::reset(IMAGE_END);
    EXPECT_NE(rt_malloc(4), nullptr);
    EXPECT_EQ(rt_malloc(HEAP_LIMIT), nullptr);  // one oversized request exhausts it
    EXPECT_EQ(rt_malloc(1), nullptr);

    // Sizes that wrap: rounding to 0, the end past 2^64, the end to exactly 0.
    for (uint64_t size : {uint64_t{SIZE_MAX}, uint64_t{SIZE_MAX - 15}, 0 - uint64_t{0x404330}}) {
        user_runtime::reset(IMAGE_END);
        EXPECT_EQ(rt_malloc(size), nullptr) << size;
        EXPECT_EQ(rt_malloc(16), nullptr) << size;
    }
}

// ---------------------------------------------------------------- entry and system calls

TEST_F(runtime, entry_calls_main_without_arguments_and_exits_with_its_status) {
    main_result = 3;
    EXPECT_EQ(exit_status(start_main), 3u);
    EXPECT_EQ(main_argc, 0);
    EXPECT_EQ(main_argv, nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].number, 60u);
    main_result = -1;
    EXPECT_EQ(exit_status(start_main), UINT64_MAX);  // widened with its sign
    EXPECT_EQ(exit_status([] { rt_exit(-2); }), static_cast<uint64_t>(-2));
}

TEST_F(runtime, wrappers_pass_arguments_and_results_unchanged) {
    char buf[4] = {'a', 'b', 'c', 'd'};
    user_runtime::override_result = true;
    user_runtime::result_override = -38;
    EXPECT_EQ(rt_read(-1, buf, 10), -38);
    EXPECT_EQ(rt_write(2, buf, 3), -38);
    user_runtime::result_override = 0x10001000;
    EXPECT_EQ(rt_brk(0x0F000000), 0x10001000u);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].number, 0u);
    EXPECT_EQ(calls[0].a1, UINT64_MAX);  // descriptor -1 widened with its sign
    EXPECT_EQ(calls[0].a2, addr(buf));
    EXPECT_EQ(calls[0].a3, 10u);
    EXPECT_EQ(calls[1].number, 1u);
    EXPECT_EQ(calls[1].a1, 2u);
    EXPECT_EQ(calls[1].data, "abc");
    EXPECT_EQ(calls[2].number, 12u);
    EXPECT_EQ(calls[2].a1, 0x0F000000u);
    EXPECT_EQ(std::string(buf, 4), "abcd");  // read left it alone
}
