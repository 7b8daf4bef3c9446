// The VGA text console against fake screen memory at 0xB8000 and the port log:
// what lands in which cell, where the position goes, and the cursor updates.
#include "host_env.h"
#include "vga.h"

namespace {

constexpr uint16_t BLANK = 0x0720;

uint16_t cell(int row, int col) { return fake_phys::at<uint16_t>(VGA_TEXT_ADDR)[row * VGA_COLUMNS + col]; }
void set_cell(int row, int col, uint16_t v) { fake_phys::at<uint16_t>(VGA_TEXT_ADDR)[row * VGA_COLUMNS + col] = v; }

// The characters of one row, trailing blanks dropped.
std::string row_text(int row) {
    std::string s;
    for (int c = 0; c < VGA_COLUMNS; ++c) s += static_cast<char>(cell(row, c) & 0xFF);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

class vga : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        vga_init();
        vga_clear();
        fake_bus::clear_log();
    }
    // The cursor positions programmed since the last call. Each move must be
    // the four writes 0x0F, low byte, 0x0E, high byte, with nothing in between.
    std::vector<int> cursor_moves() {
        std::vector<int> moves;
        const auto& log = fake_bus::log();
        EXPECT_EQ(log.size() % 4, 0u);
        for (size_t i = 0; i + 3 < log.size(); i += 4) {
            const std::vector<port_access> want_shape = {{true, 8, 0x3D4, 0x0F},
                                                         {true, 8, 0x3D5, log[i + 1].value},
                                                         {true, 8, 0x3D4, 0x0E},
                                                         {true, 8, 0x3D5, log[i + 3].value}};
            EXPECT_EQ(std::vector<port_access>(log.begin() + i, log.begin() + i + 4), want_shape);
            moves.push_back(log[i + 1].value | (log[i + 3].value << 8));
        }
        fake_bus::clear_log();
        return moves;
    }
    int cursor() {
        const auto m = cursor_moves();
        return m.empty() ? -1 : m.back();
    }
    void put(const std::string& s) {
        for (char c : s) vga_putc(c);
    }
};

TEST_F(vga, init_and_clear) {
    set_cell(3, 3, 0x1E41);
    put("abc");
    fake_bus::clear_log();
    vga_init();  // position and cursor back to 0; the screen is left alone
    EXPECT_EQ(cursor_moves(), std::vector<int>{0});
    EXPECT_EQ(cell(3, 3), 0x1E41);
    EXPECT_EQ(row_text(0), "abc");
    vga_putc('X');
    EXPECT_EQ(row_text(0), "Xbc");

    put("\n\n\nmore");
    fake_bus::clear_log();
    vga_clear();
    EXPECT_EQ(cursor_moves(), std::vector<int>{0});
    for (int r = 0; r < VGA_ROWS; ++r)
        for (int c = 0; c < VGA_COLUMNS; ++c) ASSERT_EQ(cell(r, c), BLANK) << r << "," << c;
    vga_putc('Y');
    EXPECT_EQ(cell(0, 0), 0x0759);
}

TEST_F(vga, every_putc_moves_the_cursor) {
    vga_puts("Hi\n\r\t\b");
    // H -> 1, i -> 2, LF -> 80, CR -> 80, tab -> 88, backspace -> 87.
    EXPECT_EQ(cursor_moves(), (std::vector<int>{1, 2, 80, 80, 88, 87}));
    EXPECT_EQ(cell(0, 0), 0x0748);
    EXPECT_EQ(cell(0, 1), 0x0769);
    // Positions above 255 use the high byte.
    put(std::string(8, '\n'));
    EXPECT_EQ(cursor(), 9 * 80);  // 720 = 0x2D0
}

TEST_F(vga, bytes_other_than_the_four_controls_are_glyphs) {
    const std::string glyphs("\xB0\x80\xFF\x01\x1B\x7F", 6);
    put(glyphs);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(cell(0, i), 0x0700 | static_cast<uint8_t>(glyphs[i])) << i;
    EXPECT_EQ(cursor(), 6);
}

TEST_F(vga, tab_stops) {
    const struct {
        int from;
        int to;  // position after the tab
    } cases[] = {{0, 8}, {5, 8}, {8, 16}, {71, 72}, {72, 80}, {75, 80}, {79, 80}};
    for (const auto& t : cases) {
        vga_clear();
        put(std::string(t.from, '.'));
        fake_bus::clear_log();
        vga_putc('\t');
        EXPECT_EQ(cursor(), t.to) << "tab from column " << t.from;
    }
    // The cells passed over keep what they held.
    vga_clear();
    put("0123456789");
    put("\r\t");
    EXPECT_EQ(row_text(0), "0123456789");
    vga_putc('#');
    EXPECT_EQ(row_text(0), "01234567#9");
}

TEST_F(vga, backspace) {
    put("abc\b");
    EXPECT_EQ(cursor_moves().back(), 2);
    EXPECT_EQ(row_text(0), "ab");
    EXPECT_EQ(cell(0, 2), BLANK);

    // At column 0 nothing moves and nothing is written, not even on the row above.
    put("\nxyz\r");
    fake_bus::clear_log();
    vga_putc('\b');
    EXPECT_EQ(cursor(), 80);
    EXPECT_EQ(row_text(0), "ab");
    EXPECT_EQ(row_text(1), "xyz");
}

TEST_F(vga, carriage_return_line_feed_and_wrap_at_column_80) {
    put("hello world\rHE");
    EXPECT_EQ(row_text(0), "HEllo world");
    put("\nnext");  // the line feed returns the carriage too
    EXPECT_EQ(row_text(1), "next");
    EXPECT_EQ(cursor_moves().back(), 84);
    put("\r" + std::string(79, 'a'));
    vga_putc('b');  // the 80th character
    EXPECT_EQ(cursor(), 160);
    EXPECT_EQ(cell(1, 79), 0x0762);
    vga_putc('c');
    EXPECT_EQ(cell(2, 0), 0x0763);
}

TEST_F(vga, scrolling) {
    for (int r = 0; r < VGA_ROWS; ++r) {
        vga_putc(static_cast<char>('A' + r));
        vga_putc(static_cast<char>('a' + r));
        if (r < VGA_ROWS - 1) vga_putc('\n');
    }
    EXPECT_EQ(cursor_moves().back(), 24 * 80 + 2);
    vga_putc('\n');  // on the last row: everything moves up
    EXPECT_EQ(cursor(), 24 * 80);
    EXPECT_EQ(row_text(0), "Bb");
    EXPECT_EQ(row_text(22), "Xx");
    EXPECT_EQ(row_text(23), "Yy");
    for (int c = 0; c < VGA_COLUMNS; ++c) ASSERT_EQ(cell(24, c), BLANK) << c;

    // The 80th character of the last row scrolls at once.
    put(std::string(79, 'z'));
    EXPECT_EQ(row_text(24), std::string(79, 'z'));
    vga_putc('!');
    EXPECT_EQ(cursor_moves().back(), 24 * 80);
    EXPECT_EQ(row_text(23), std::string(79, 'z') + "!");
    EXPECT_EQ(row_text(22), "Yy");
    EXPECT_EQ(row_text(0), "Cc");
    for (int c = 0; c < VGA_COLUMNS; ++c) ASSERT_EQ(cell(24, c), BLANK) << c;
    vga_putc('q');
    EXPECT_EQ(cell(24, 0), 0x0771);

    // A tab from the last columns of the last row wraps and scrolls as well.
    put(std::string(75, '-'));
    vga_putc('\t');
    EXPECT_EQ(cursor_moves().back(), 24 * 80);
    EXPECT_EQ(row_text(23), "q" + std::string(75, '-'));
}

TEST_F(vga, printf_conversions_without_modifiers) {
    vga_printf("%x|%x|%x", 0, 255, ~0ull);
    EXPECT_EQ(row_text(0), "0x0000000000000000|0x00000000000000FF|0xFFFFFFFFFFFFFFFF");
    vga_clear();
    vga_printf("%d %d %d %c%c %s [%s] 100%%", 0, 1234567890, -1, 'k', 0x141, "str",
               static_cast<const char*>(nullptr));
    EXPECT_EQ(row_text(0), "0 1234567890 18446744073709551615 kA str [(null)] 100%");
    vga_clear();
    // Unknown letters print with their percent sign and take no argument; no
    // length modifier, no precision, a percent sign at the very end stays.
    vga_printf("%q%d %ld %d <%.16s> 50%", 7, 5);
    EXPECT_EQ(row_text(0), "%q7 %ld 5 <%.16s> 50%");
    vga_clear();
    vga_printf("tab\there\n%s", "x");
    EXPECT_EQ(row_text(0), "tab     here");
    EXPECT_EQ(row_text(1), "x");
}

}  // namespace
