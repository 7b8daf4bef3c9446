// The user runtime, compiled for the host with its system calls recorded:
// printf's conversions and its one-write-per-character output, puts and
// putchar, the string and memory routines, the bump allocator and the entry.
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "user_runtime_host.h"

using user_runtime::calls;
using user_runtime::output;
using user_runtime::writes;

namespace {

// What rt_main sees and returns, for the entry tests.
int main_result = 0;
int main_argc = -1;
char** main_argv = reinterpret_cast<char**>(1);

constexpr uint64_t IMAGE_END = 0x404321;  // first heap address: 0x404330
constexpr uint64_t HEAP_LIMIT = 0x10000000;

class runtime : public ::testing::Test {
protected:
    void SetUp() override { user_runtime::reset(IMAGE_END); }

    // printf's output and the writes it took, cleared for the next call.
    std::string printed() {
        std::string s = output();
        calls.clear();
        return s;
    }
};

}  // namespace

int rt_main(int argc, char** argv) {
    main_argc = argc;
    main_argv = argv;
    return main_result;
}

// ---------------------------------------------------------------- printf

TEST_F(runtime, printf_table_cell_is_sixteen_characters) {
    rt_printf("%3d  %02x   %c     ", 65, 65, 65);
    EXPECT_EQ(printed(), " 65  41   A     ");
    rt_printf("%3d  %02x   %c     ", 32, 32, 32);
    EXPECT_EQ(printed(), " 32  20         ");
}

TEST_F(runtime, printf_widths_pad_with_spaces_or_zeros_and_never_truncate) {
    rt_printf("%4d|%2d|%2d|%02x|%02x|%2d", 90, 5, 12345, 0, 0xabc, -5);
    EXPECT_EQ(printed(), "  90| 5|12345|00|abc|-5");
    rt_printf("%4d|%5u|%3x", -42, 7u, 0xfu);
    EXPECT_EQ(printed(), " -42|    7|  f");
    // The sign goes before the zeros.
    rt_printf("%05d", -42);
    EXPECT_EQ(printed(), "-0042");
}

TEST_F(runtime, printf_decimal_extremes) {
    rt_printf("%d|%d|%d|%d", 0, -42, INT_MIN, INT_MAX);
    EXPECT_EQ(printed(), "0|-42|-2147483648|2147483647");
    rt_printf("%ld|%ld|%ld", 4181L, LONG_MIN, LONG_MAX);
    EXPECT_EQ(printed(), "4181|-9223372036854775808|9223372036854775807");
    rt_printf("%u|%lu", UINT_MAX, ULONG_MAX);
    EXPECT_EQ(printed(), "4294967295|18446744073709551615");
}

TEST_F(runtime, printf_without_l_takes_32_bits) {
    // A 32-bit conversion must not see a sign-extended or garbage upper half.
    rt_printf("%u|%x", -1, -1);
    EXPECT_EQ(printed(), "4294967295|ffffffff");
}

TEST_F(runtime, printf_hex_is_lower_case_without_prefix) {
    rt_printf("%x|%x|%lx|%lx", 0u, 0xdeadbeefu, 1UL << 32, ~0UL);
    EXPECT_EQ(printed(), "0|deadbeef|100000000|ffffffffffffffff");
}

// Formats the compiler would rightly flag in a program: exactly what is tested.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-overflow"
TEST_F(runtime, printf_strings_and_characters) {
    rt_printf("[%s][%s][%s]", "abc", static_cast<const char*>(nullptr), "");
    EXPECT_EQ(printed(), "[abc][(null)][]");
    rt_printf("%c%c%c", 'x', 0x141, 0);
    EXPECT_EQ(printed(), std::string("xA\0", 3));
}

TEST_F(runtime, printf_percent_forms) {
    rt_printf("100%%");
    EXPECT_EQ(printed(), "100%");
    rt_printf("50%");
    EXPECT_EQ(printed(), "50%");
    rt_printf("%");
    EXPECT_EQ(printed(), "%");
    // An unknown conversion takes no argument: %d still gets the first one.
    rt_printf("%q %d", 7);
    EXPECT_EQ(printed(), "%q 7");
    // Flag, width and l that end in no conversion are written as they stand.
    rt_printf("%5q|%l|%05", 1);
    EXPECT_EQ(printed(), "%5q|%l|%05");
}
TEST_F(runtime, printf_empty_format_writes_nothing) {
    rt_printf("");
    EXPECT_TRUE(calls.empty());
}
#pragma GCC diagnostic pop

TEST_F(runtime, printf_writes_each_byte_alone_but_a_string_whole) {
    rt_printf("a%3d%sb%s", -7, "xyz", "");
    const std::vector<std::string> expected = {"a", " ", "-", "7", "xyz", "b", ""};
    EXPECT_EQ(writes(), expected);
    for (const auto& c : calls) {
        EXPECT_EQ(c.number, 1u);
        EXPECT_EQ(c.a1, 1u);  // descriptor 1
    }
}

TEST_F(runtime, printf_returns_the_bytes_written) {
    EXPECT_EQ(rt_printf("%3d-%s", 5, "ab"), 6);
}

TEST_F(runtime, printf_ignores_write_failures) {
    user_runtime::override_result = true;
    user_runtime::result_override = -1;
    rt_printf("ok%d", 1);
    EXPECT_EQ(output(), "ok1");
}

// ---------------------------------------------------------------- puts, putchar

TEST_F(runtime, puts_writes_the_string_then_a_newline) {
    EXPECT_EQ(rt_puts(""), 1);
    EXPECT_EQ(writes(), (std::vector<std::string>{"", "\n"}));
    calls.clear();
    EXPECT_EQ(rt_puts("ab"), 3);
    EXPECT_EQ(writes(), (std::vector<std::string>{"ab", "\n"}));
}

TEST_F(runtime, putchar_writes_the_low_byte_and_returns_its_argument) {
    EXPECT_EQ(rt_putchar(0x141), 0x141);
    EXPECT_EQ(writes(), std::vector<std::string>{"A"});
}

// ---------------------------------------------------------------- strings and memory

TEST_F(runtime, strlen_counts_to_the_first_zero) {
    EXPECT_EQ(rt_strlen(""), 0u);
    EXPECT_EQ(rt_strlen("Tarvelin"), 8u);
    EXPECT_EQ(rt_strlen("ab\0cd"), 2u);
}

TEST_F(runtime, strcmp_compares_bytes_unsigned) {
    EXPECT_EQ(rt_strcmp("abc", "abc"), 0);
    EXPECT_EQ(rt_strcmp("", ""), 0);
    EXPECT_EQ(rt_strcmp("abc", "abd"), 'c' - 'd');
    EXPECT_EQ(rt_strcmp("abd", "abc"), 1);
    EXPECT_EQ(rt_strcmp("ab", "abc"), -'c');
    EXPECT_EQ(rt_strcmp("abc", "ab"), 'c');
    EXPECT_LT(rt_strcmp("a", "\xff"), 0);
    EXPECT_EQ(rt_strcmp("\xff", "a"), 0xff - 'a');
}

TEST_F(runtime, strncmp_stops_after_n_or_at_the_end) {
    EXPECT_EQ(rt_strncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(rt_strncmp("abc", "abd", 2), 0);
    EXPECT_EQ(rt_strncmp("abc", "abd", 3), 'c' - 'd');
    EXPECT_EQ(rt_strncmp("ab\0x", "ab\0y", 4), 0);  // both end before n
    EXPECT_EQ(rt_strncmp("ab", "abc", 5), -'c');
    EXPECT_LT(rt_strncmp("a", "\xff", 1), 0);
}

TEST_F(runtime, strcpy_copies_the_terminator) {
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(rt_strcpy(dst, "abc"), dst);
    EXPECT_EQ(std::string(dst, 5), std::string("abc\0Z", 5));
}

TEST_F(runtime, strncpy_pads_with_zeros_and_adds_no_terminator_when_full) {
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(rt_strncpy(dst, "ab", 5), dst);
    EXPECT_EQ(std::string(dst, 8), std::string("ab\0\0\0ZZZ", 8));

    std::memset(dst, 'Z', sizeof dst);
    rt_strncpy(dst, "abcdef", 3);
    EXPECT_EQ(std::string(dst, 8), "abcZZZZZ");

    std::memset(dst, 'Z', sizeof dst);
    rt_strncpy(dst, "abc", 0);
    EXPECT_EQ(std::string(dst, 8), "ZZZZZZZZ");
}

TEST_F(runtime, memset_and_memcpy_touch_exactly_n_bytes) {
    unsigned char buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(rt_memset(buf + 1, 0x141, 5), buf + 1);
    const unsigned char set[8] = {0xEE, 0x41, 0x41, 0x41, 0x41, 0x41, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(buf, set, 8), 0);

    EXPECT_EQ(rt_memcpy(buf + 2, "xyz", 3), buf + 2);
    const unsigned char copied[8] = {0xEE, 0x41, 'x', 'y', 'z', 0x41, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(buf, copied, 8), 0);
    rt_memcpy(buf, "q", 0);
    EXPECT_EQ(buf[0], 0xEE);
}

TEST_F(runtime, memmove_handles_overlap_in_both_directions) {
    char up[] = "abcdefgh";
    EXPECT_EQ(rt_memmove(up + 2, up, 5), up + 2);  // destination above the source
    EXPECT_STREQ(up, "ababcdeh");

    char down[] = "abcdefgh";
    EXPECT_EQ(rt_memmove(down, down + 2, 5), down);  // destination below the source
    EXPECT_STREQ(down, "cdefgfgh");

    char same[] = "abcd";
    rt_memmove(same, same, 4);
    EXPECT_STREQ(same, "abcd");
}

// ---------------------------------------------------------------- allocator

TEST_F(runtime, malloc_rounds_to_16_from_the_image_end) {
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(4)), 0x404330u);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(1)), 0x404340u);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(0)), 0x404350u);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(0)), 0x404350u);  // did not move
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(16)), 0x404350u);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(17)), 0x404360u);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(1)), 0x404380u);
}

TEST_F(runtime, malloc_starts_on_an_aligned_image_end_itself) {
    user_runtime::reset(0x405000);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(8)), 0x405000u);
}

TEST_F(runtime, malloc_issues_brk_once_at_the_heap_limit) {
    EXPECT_EQ(user_runtime::count_calls(12), 0u);  // not before the first request
    rt_malloc(4);
    rt_malloc(4);
    rt_free(rt_malloc(100));
    ASSERT_EQ(user_runtime::count_calls(12), 1u);
    EXPECT_EQ(calls[0].number, 12u);
    EXPECT_EQ(calls[0].a1, HEAP_LIMIT);
}

TEST_F(runtime, malloc_ignores_what_brk_returns) {
    user_runtime::override_result = true;
    user_runtime::result_override = -1;
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(4)), 0x404330u);
}

TEST_F(runtime, malloc_fills_to_the_limit_then_stays_exhausted) {
    user_runtime::reset(HEAP_LIMIT - 48);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(32)), HEAP_LIMIT - 48);
    EXPECT_EQ(reinterpret_cast<uint64_t>(rt_malloc(16)), HEAP_LIMIT - 16);  // ends at the limit
    EXPECT_EQ(rt_malloc(1), nullptr);
    EXPECT_EQ(rt_malloc(0), nullptr);
    EXPECT_EQ(rt_malloc(16), nullptr);
}

TEST_F(runtime, malloc_one_oversized_request_exhausts_the_heap) {
    EXPECT_NE(rt_malloc(4), nullptr);
    EXPECT_EQ(rt_malloc(HEAP_LIMIT), nullptr);
    EXPECT_EQ(rt_malloc(1), nullptr);
}

TEST_F(runtime, malloc_sizes_that_wrap_fail_for_good) {
    // Rounding up wraps to 0: must not hand out the bump pointer.
    EXPECT_EQ(rt_malloc(SIZE_MAX), nullptr);
    EXPECT_EQ(rt_malloc(1), nullptr);

    // Rounding fits, the end wraps past 2^64.
    user_runtime::reset(IMAGE_END);
    EXPECT_EQ(rt_malloc(SIZE_MAX - 15), nullptr);
    EXPECT_EQ(rt_malloc(0), nullptr);

    // The end wraps to exactly 0, which is below the limit.
    user_runtime::reset(IMAGE_END);
    EXPECT_EQ(rt_malloc(0 - uint64_t{0x404330}), nullptr);
    EXPECT_EQ(rt_malloc(16), nullptr);
}

// ---------------------------------------------------------------- entry and system calls

TEST_F(runtime, entry_calls_main_with_no_arguments_and_exits_with_its_status) {
    main_result = 3;
    try {
        start_main();
        ADD_FAILURE() << "start_main returned";
    } catch (const user_runtime::program_exit& e) {
        EXPECT_EQ(e.status, 3u);
    }
    EXPECT_EQ(main_argc, 0);
    EXPECT_EQ(main_argv, nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].number, 60u);
}

TEST_F(runtime, entry_widens_a_negative_status_with_its_sign) {
    main_result = -1;
    try {
        start_main();
        ADD_FAILURE() << "start_main returned";
    } catch (const user_runtime::program_exit& e) {
        EXPECT_EQ(e.status, UINT64_MAX);
    }
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
    EXPECT_EQ(calls[0].a2, reinterpret_cast<uint64_t>(buf));
    EXPECT_EQ(calls[0].a3, 10u);
    EXPECT_EQ(calls[1].number, 1u);
    EXPECT_EQ(calls[1].a1, 2u);
    EXPECT_EQ(calls[1].data, "abc");
    EXPECT_EQ(calls[2].number, 12u);
    EXPECT_EQ(calls[2].a1, 0x0F000000u);
    EXPECT_EQ(std::string(buf, 4), "abcd");  // read left it alone
}

TEST_F(runtime, exit_issues_call_60_with_the_status) {
    try {
        rt_exit(-2);
    } catch (const user_runtime::program_exit& e) {
        EXPECT_EQ(e.status, static_cast<uint64_t>(-2));
    }
    EXPECT_EQ(user_runtime::count_calls(60), 1u);
}
