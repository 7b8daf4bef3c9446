// The formatter behind kprintf and vga_printf, and the one digit routine every
// console's numbers go through.
#include "format.h"

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";
constexpr int MAX_DIGITS = 20;  // UINT64_MAX in decimal
constexpr uint64_t NO_PRECISION = ~0ull;

// Sends at most `limit` bytes of s. A null string prints "(null)" whole,
// whatever the precision: a shortened "(nu" would only mislead.
void put_string(void (*put)(char), const char* s, uint64_t limit = NO_PRECISION) {
    if (s == nullptr) {
        s = "(null)";
        limit = NO_PRECISION;
    }
    for (uint64_t i = 0; i < limit && s[i] != '\0'; ++i) put(s[i]);
}

const char* as_string(uint64_t value) { return reinterpret_cast<const char*>(value); }

// Reads the precision after the '.' of "%.Ns" or "%.*s" (a star sets `star` and
// leaves the value to the caller); returns the 's', or nullptr when what follows
// the '.' is no string precision. An overlong number clamps to "no limit".
const char* parse_precision(const char* q, bool& star, uint64_t& precision) {
    star = false;
    precision = 0;
    if (*q == '*') {
        star = true;
        ++q;
    } else if (*q >= '0' && *q <= '9') {
        for (; *q >= '0' && *q <= '9'; ++q) {
            const uint64_t digit = static_cast<uint64_t>(*q - '0');
            precision = precision > (NO_PRECISION - digit) / 10 ? NO_PRECISION : precision * 10 + digit;
        }
    } else {
        return nullptr;
    }
    return *q == 's' ? q : nullptr;
}

}  // namespace

void format_number(void (*put)(char), uint64_t value, unsigned base, int width) {
    char digits[MAX_DIGITS];
    int n = 0;
    do {
        digits[n++] = DIGITS[value % base];
        value /= base;
    } while ((value != 0 || n < width) && n < MAX_DIGITS);
    while (n > 0) put(digits[--n]);
}

void format_args(const format_sink& sink, const char* fmt, const uint64_t* args, size_t count) {
    size_t used = 0;
    auto next_arg = [&]() -> uint64_t { return used < count ? args[used++] : 0; };
    const auto put = sink.put;

    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            put(*p);
            continue;
        }
        const char conv = p[1];
        if (conv == '\0') {
            put('%');
            return;
        }
        ++p;  // p now at the conversion byte
        switch (conv) {
        case 'd': format_number(put, next_arg(), 10); break;
        case 'x':
            put_string(put, sink.hex_prefix);
            format_number(put, next_arg(), 16, sink.hex_width);
            break;
        case 's': put_string(put, as_string(next_arg())); break;
        case 'c': put(static_cast<char>(next_arg() & 0xFF)); break;
        case '%': put('%'); break;
        default: {
            // No flags, widths or length modifiers: "%l" of "%ld" prints as it
            // stands, and so does a "%." that starts no string precision; the
            // walk goes on at the byte after them.
            bool star;
            uint64_t precision;
            const char* s = conv == '.' && sink.string_precision ? parse_precision(p + 1, star, precision)
                                                                 : nullptr;
            if (s != nullptr) {
                if (star) precision = next_arg();
                put_string(put, as_string(next_arg()), precision);
                p = s;
            } else {
                put('%');
                put(conv);
            }
            break;
        }
        }
    }
}
