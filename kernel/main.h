// The kernel's main module: start-up, the COM1 console, kprintf and the string
// and memory helpers every other module uses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr uint16_t COM1 = 0x3F8;
constexpr uint32_t MB2_BOOTLOADER_MAGIC = 0x36D76289;

extern "C" {
[[noreturn]] void kernel_main_64(uint64_t info, uint64_t magic);

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
}

// The formatter behind kprintf. Every conversion takes the next 64-bit value
// from args; a format that asks for more values than were given reads 0.
void kprintf_args(const char* fmt, const uint64_t* args, size_t count);

namespace kprintf_detail {
template <typename T>
constexpr uint64_t as_u64(T value) {
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return reinterpret_cast<uint64_t>(value);
    } else {
        // Signed values are sign-extended: -1 prints as 18446744073709551615.
        return static_cast<uint64_t>(value);
    }
}
}  // namespace kprintf_detail

// Formatted print to COM1: %d %x %s %.Ns %.*s %c %%. Each argument is widened to
// one 64-bit value here, at the call, so no caller can hand over a 32-bit value
// whose upper half is garbage.
template <typename... Args>
inline void kprintf(const char* fmt, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        kprintf_args(fmt, nullptr, 0);
    } else {
        const uint64_t values[] = {kprintf_detail::as_u64(args)...};
        kprintf_args(fmt, values, sizeof...(Args));
    }
}
