// VGA 80x25 text console at 0xB8000 with a hardware cursor.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format.h"

constexpr uint64_t VGA_TEXT_ADDR = 0xB8000;
constexpr int VGA_COLUMNS = 80;
constexpr int VGA_ROWS = 25;

void vga_init();
void vga_clear();
void vga_putc(char c);
void vga_puts(const char* s);
// %d %x(0x + 16 digits) %s %c %%; one 64-bit value per conversion, as kprintf.
void vga_printf_args(const char* fmt, const uint64_t* args, size_t count);
template <typename... Args>
inline void vga_printf(const char* fmt, Args... args) {
    format_values(vga_printf_args, fmt, args...);
}
