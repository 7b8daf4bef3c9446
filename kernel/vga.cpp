// VGA text console: owns the 80x25 cells at 0xB8000, the software position of the
// next character and the CRT controller's cursor. Invariant: between calls the
// position is always on the screen (column 0-79, row 0-24) and the hardware
// cursor shows it.
#include "vga.h"

#include "format.h"
#include "io.h"
#include "phys.h"

namespace {

constexpr uint16_t CRTC_INDEX = 0x3D4;
constexpr uint16_t CRTC_DATA = 0x3D5;
constexpr uint8_t CRTC_CURSOR_HIGH = 0x0E;
constexpr uint8_t CRTC_CURSOR_LOW = 0x0F;

constexpr uint8_t DEFAULT_ATTR = 0x07;  // light grey on black
constexpr int TAB_WIDTH = 8;
constexpr char BLANK = ' ';

uint8_t vga_attr = DEFAULT_ATTR;
int32_t vga_x = 0;
int32_t vga_y = 0;

volatile uint16_t* cells() { return static_cast<volatile uint16_t*>(phys_ptr(VGA_TEXT_ADDR)); }

uint16_t cell(char c) { return static_cast<uint16_t>(static_cast<uint8_t>(c) | (vga_attr << 8)); }

void put_cell(int row, int col, char c) { cells()[row * VGA_COLUMNS + col] = cell(c); }

void move_cursor() {
    const uint16_t pos = static_cast<uint16_t>(vga_y * VGA_COLUMNS + vga_x);
    outb(CRTC_INDEX, CRTC_CURSOR_LOW);
    outb(CRTC_DATA, static_cast<uint8_t>(pos & 0xFF));
    outb(CRTC_INDEX, CRTC_CURSOR_HIGH);
    outb(CRTC_DATA, static_cast<uint8_t>(pos >> 8));
}

void scroll() {
    volatile uint16_t* screen = cells();
    for (int i = 0; i < (VGA_ROWS - 1) * VGA_COLUMNS; ++i) screen[i] = screen[i + VGA_COLUMNS];
    for (int col = 0; col < VGA_COLUMNS; ++col) put_cell(VGA_ROWS - 1, col, BLANK);
}

}  // namespace

void vga_init() {
    vga_x = 0;
    vga_y = 0;
    vga_attr = DEFAULT_ATTR;
    move_cursor();
}

void vga_clear() {
    for (int row = 0; row < VGA_ROWS; ++row)
        for (int col = 0; col < VGA_COLUMNS; ++col) put_cell(row, col, BLANK);
    vga_x = 0;
    vga_y = 0;
    move_cursor();
}

void vga_putc(char c) {
    switch (c) {
    case '\n':
        vga_x = 0;
        ++vga_y;
        break;
    case '\r':
        vga_x = 0;
        break;
    case '\t':
        vga_x = (vga_x + TAB_WIDTH) / TAB_WIDTH * TAB_WIDTH;
        if (vga_x >= VGA_COLUMNS) {
            vga_x = 0;
            ++vga_y;
        }
        break;
    case '\b':
        // No return to the previous row: a line once left stays as it is.
        if (vga_x > 0) {
            --vga_x;
            put_cell(vga_y, vga_x, BLANK);
        }
        break;
    default:
        put_cell(vga_y, vga_x, c);
        if (++vga_x == VGA_COLUMNS) {
            vga_x = 0;
            ++vga_y;
        }
        break;
    }
    if (vga_y == VGA_ROWS) {
        scroll();
        vga_y = VGA_ROWS - 1;
    }
    move_cursor();
}

void vga_puts(const char* s) {
    while (*s != '\0') vga_putc(*s++);
}

// The screen's %x always shows all 16 digits, and it has no precisions: "%." of
// "%.16s" prints as it stands, as "%l" of "%ld" does.
void vga_printf_args(const char* fmt, const uint64_t* args, size_t count) {
    static constexpr format_sink SCREEN = {vga_putc, "0x", 16, false};
    format_args(SCREEN, fmt, args, count);
}
