// The kernel's main module: start-up, the COM1 console, kprintf and the string
// and memory helpers every other module uses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format.h"
#include "machine.h"  // COM1

constexpr uint32_t MB2_BOOTLOADER_MAGIC = 0x36D76289;

extern "C" [[noreturn]] void kernel_main_64(uint64_t info, uint64_t magic);

void serial_init();
void serial_rx_init();  // input by interrupt from here on
void serial_putc(char c);
void serial_puts(const char* s);
int serial_poll();  // 1 when a received byte waits in the ring
int serial_getc();  // the oldest received byte (0-255), or -1

void kprint_hex(uint64_t value);
void kprint_dec(uint64_t value);
// Prints n bytes of outside text, control bytes and DEL as \xNN.
void kprint_escaped(const char* s, size_t n);

size_t kstrlen(const char* s);
size_t kstrnlen(const char* s, size_t max);  // kstrlen, but never past max bytes
int kstrcmp(const char* a, const char* b);
int kstrncmp(const char* a, const char* b, size_t n);
void* kmemset(void* dst, int value, size_t n);
void* kmemcpy(void* dst, const void* src, size_t n);

// The formatter behind kprintf. Every conversion takes the next 64-bit value
// from args; a format that asks for more values than were given reads 0.
void kprintf_args(const char* fmt, const uint64_t* args, size_t count);

// Formatted print to COM1: %d %x %s %.Ns %.*s %c %%, each argument widened to
// one 64-bit value at the call.
template <typename... Args>
inline void kprintf(const char* fmt, Args... args) {
    format_values(kprintf_args, fmt, args...);
}
