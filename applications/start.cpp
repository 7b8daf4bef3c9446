// The user runtime: the entry routine, the system-call wrappers, the string and
// memory routines, the bump allocator and printf. It owns the allocator's three
// words; the invariant is heap_start <= heap_current with heap_current a multiple
// of 16 above heap_start, and no block ever handed out twice or past heap_end.
// Output is unbuffered: what a program printed has reached the kernel by the
// time the call returns, so nothing is lost at exit.
#include "runtime.h"

#include "machine.h"  // the system-call numbers and the user stack's place

namespace {

constexpr int STDOUT_FD = 1;

// The heap may grow up to the user stack's bottom, never into it.
constexpr uint64_t USER_HEAP_END = USER_STACK_BASE;
constexpr uint64_t HEAP_ALIGN = 16;

// 2^64 - 1 has 20 decimal and 16 hexadecimal digits.
constexpr int MAX_DEC_DIGITS = 20;
constexpr int MAX_HEX_DIGITS = 16;

// Widths beyond this are clamped while parsing, so a long run of digits in a
// format cannot overflow the accumulator.
constexpr uint64_t MAX_FIELD_WIDTH = 0xFFFFFFFF;

}  // namespace

#ifdef TARVELIN_RUNTIME_HOST
// The unit tests compile this file into a host program: the kernel is a
// recording function there, and the test decides where the image ends.
extern "C" int64_t runtime_host_syscall(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3);
extern "C" uint64_t runtime_host_image_end;

static int64_t system_call(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3) {
    return runtime_host_syscall(number, a1, a2, a3);
}

static uint64_t image_end() { return runtime_host_image_end; }
#else
// Linux register convention: number in RAX, arguments in RDI, RSI, RDX; the
// instruction itself overwrites RCX (return address) and R11 (RFLAGS).
static inline int64_t system_call(uint64_t number, uint64_t a1, uint64_t a2, uint64_t a3) {
    int64_t result;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a1), "S"(a2), "d"(a3)
                 : "rcx", "r11", "memory");
    return result;
}

// Placed by the linker script after the last loaded segment (zero-initialised
// data included).
extern "C" char _end[];
static uint64_t image_end() { return reinterpret_cast<uint64_t>(_end); }
#endif

int main(int argc, char** argv);

// ---------------------------------------------------------------- entry

extern "C" {

// What _start runs once the stack is set: main with no arguments, then exit
// with its status. Kept apart from _start so that it is plain C++.
[[noreturn]] __attribute__((used)) void start_main() {
    exit(main(0, nullptr));
}

}  // extern "C"

#ifndef TARVELIN_RUNTIME_HOST
// The kernel enters here by SYSRETQ with RSP at the top of the user stack and
// nothing pushed, so no return address sits below the frame: the frame pointer
// is cleared and the stack aligned as a call expects. The symbol is weak so that
// a program can bring an entry routine of its own (hello_v2 does).
asm(R"(
    .pushsection .text.start, "ax", @progbits
    .weak _start
    .type _start, @function
_start:
    xor %ebp, %ebp
    and $-16, %rsp
    call start_main
    ud2
    .size _start, . - _start
    .popsection
)");
#endif

extern "C" {

// ---------------------------------------------------------------- system calls

int64_t read(int fd, void* buf, uint64_t count) {
    return system_call(SYS_READ, static_cast<uint64_t>(static_cast<int64_t>(fd)),
                       reinterpret_cast<uint64_t>(buf), count);
}

int64_t write(int fd, const void* buf, uint64_t count) {
    return system_call(SYS_WRITE, static_cast<uint64_t>(static_cast<int64_t>(fd)),
                       reinterpret_cast<uint64_t>(buf), count);
}

uint64_t brk(uint64_t address) {
    return static_cast<uint64_t>(system_call(SYS_BRK, address, 0, 0));
}

[[noreturn]] void exit(int status) {
    // The kernel does not come back from call 60; should it ever, asking again
    // is safer than running off the end of the program.
    for (;;) {
        system_call(SYS_EXIT, static_cast<uint64_t>(static_cast<int64_t>(status)), 0, 0);
    }
}

// ---------------------------------------------------------------- strings and memory

size_t strlen(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

int strcmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int strncmp(const char* a, const char* b, size_t n) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (; n != 0; --n, ++x, ++y) {
        if (*x != *y) {
            return static_cast<int>(*x) - static_cast<int>(*y);
        }
        if (*x == 0) {
            return 0;
        }
    }
    return 0;
}

char* strcpy(char* dst, const char* src) {
    char* d = dst;
    while ((*d++ = *src++) != '\0') {
    }
    return dst;
}

char* strncpy(char* dst, const char* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i] != '\0'; ++i) {
        dst[i] = src[i];
    }
    for (; i < n; ++i) {
        dst[i] = '\0';
    }
    return dst;
}

void* memset(void* dst, int c, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    for (size_t i = 0; i < n; ++i) {
        d[i] = static_cast<unsigned char>(c);
    }
    return dst;
}

void* memcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
    return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (size_t i = 0; i < n; ++i) {
            d[i] = s[i];
        }
    } else {
        // Destination at or above the source: the last byte goes first, so an
        // overlapping source is read before it is overwritten.
        for (size_t i = n; i != 0; --i) {
            d[i - 1] = s[i - 1];
        }
    }
    return dst;
}

}  // extern "C"

// ---------------------------------------------------------------- allocator

// Zero-initialised data, so every launch starts uninitialised (heap_start 0).
static uint64_t heap_start;
static uint64_t heap_current;
static uint64_t heap_end;

extern "C" {

void* malloc(size_t size) {
    if (heap_start == 0) {
        heap_end = USER_HEAP_END;
        heap_start = (image_end() + (HEAP_ALIGN - 1)) & ~(HEAP_ALIGN - 1);
        heap_current = heap_start;
        brk(USER_HEAP_END);
    }
    // A size that would wrap while rounding, or whose end would wrap past 2^64,
    // cannot fit; it exhausts the heap like any other request that does not fit,
    // so that the rule "once exhausted, always exhausted" holds for it too.
    const uint64_t wrapped_end = ~(HEAP_ALIGN - 1);
    if (size > UINT64_MAX - (HEAP_ALIGN - 1)) {
        heap_current = wrapped_end;
        return nullptr;
    }
    const uint64_t rounded = (size + (HEAP_ALIGN - 1)) & ~(HEAP_ALIGN - 1);
    if (rounded > UINT64_MAX - heap_current) {
        heap_current = wrapped_end;
        return nullptr;
    }
    const uint64_t block = heap_current;
    const uint64_t new_end = block + rounded;
    heap_current = new_end;
    if (new_end <= heap_end) {
        return reinterpret_cast<void*>(block);
    }
    return nullptr;
}

void free(void*) {}

}  // extern "C"

// ---------------------------------------------------------------- output

namespace {

void put_byte(char c) { write(STDOUT_FD, &c, 1); }

uint64_t count_digits(uint64_t value, uint64_t base) {
    uint64_t n = 1;
    while (value >= base) {
        value /= base;
        ++n;
    }
    return n;
}

void print_hex(uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    char buf[MAX_HEX_DIGITS];
    int n = 0;
    do {
        buf[n++] = digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0) {
        put_byte(buf[--n]);
    }
}

}  // namespace

static void print_dec(uint64_t value) {
    char buf[MAX_DEC_DIGITS];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        put_byte(buf[--n]);
    }
}

namespace {

// Writes one number conversion with its padding; returns the bytes written.
// With the '0' flag the sign goes before the zeros ("-007"), as a reader
// expects; spaces go before the sign ("  -7").
uint64_t put_number(uint64_t magnitude, bool negative, bool hex, uint64_t width, bool zero_pad) {
    const uint64_t length = count_digits(magnitude, hex ? 16 : 10) + (negative ? 1 : 0);
    const uint64_t padding = width > length ? width - length : 0;
    if (negative && zero_pad) {
        put_byte('-');
    }
    for (uint64_t i = 0; i < padding; ++i) {
        put_byte(zero_pad ? '0' : ' ');
    }
    if (negative && !zero_pad) {
        put_byte('-');
    }
    if (hex) {
        print_hex(magnitude);
    } else {
        print_dec(magnitude);
    }
    return length + padding;
}

// Writes the text from `from` up to, not including, `to` a byte at a time.
uint64_t put_text(const char* from, const char* to) {
    uint64_t n = 0;
    for (; from != to; ++from, ++n) {
        put_byte(*from);
    }
    return n;
}

}  // namespace

extern "C" {

int putchar(int c) {
    put_byte(static_cast<char>(c));
    return c;
}

int puts(const char* s) {
    const size_t n = strlen(s);
    write(STDOUT_FD, s, n);
    put_byte('\n');
    return static_cast<int>(n + 1);
}

// Returns the number of bytes written. A directive that ends in a character that
// is no conversion (or in the end of the format) is written out as it stands,
// flag, width and 'l' included: "%q" prints "%q", "%5" at the end prints "%5".
// Width and flag are ignored for %c, %s and %%.
int printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    uint64_t written = 0;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            put_byte(*p++);
            ++written;
            continue;
        }
        const char* directive = p++;
        if (*p == '\0') {
            put_byte('%');
            ++written;
            break;
        }
        bool zero_pad = false;
        if (*p == '0') {
            zero_pad = true;
            ++p;
        }
        uint64_t width = 0;
        while (*p >= '0' && *p <= '9') {
            const uint64_t digit = static_cast<uint64_t>(*p - '0');
            width = width > (MAX_FIELD_WIDTH - digit) / 10 ? MAX_FIELD_WIDTH : width * 10 + digit;
            ++p;
        }
        bool is_long = false;
        if (*p == 'l') {
            is_long = true;
            ++p;
        }
        switch (*p) {
        case 'c':
            put_byte(static_cast<char>(va_arg(args, int)));
            ++written;
            break;
        case 'd': {
            const int64_t value = is_long ? va_arg(args, long) : va_arg(args, int);
            const bool negative = value < 0;
            // 0 - value in unsigned arithmetic: the most negative value too.
            const uint64_t magnitude =
                negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            written += put_number(magnitude, negative, false, width, zero_pad);
            break;
        }
        case 'u':
        case 'x': {
            const uint64_t value = is_long ? va_arg(args, unsigned long) : va_arg(args, unsigned);
            written += put_number(value, false, *p == 'x', width, zero_pad);
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (s == nullptr) {
                s = "(null)";
            }
            const size_t n = strlen(s);
            write(STDOUT_FD, s, n);
            written += n;
            break;
        }
        case '%':
            put_byte('%');
            ++written;
            break;
        case '\0':
            written += put_text(directive, p);
            va_end(args);
            return static_cast<int>(written);
        default:
            written += put_text(directive, p + 1);
            break;
        }
        ++p;
    }
    va_end(args);
    return static_cast<int>(written);
}

}  // extern "C"
