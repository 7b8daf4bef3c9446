// The formatter shared by the consoles: it walks a format over 64-bit values and
// hands every byte to the console's own put-character function. The consoles
// differ only in %x and in whether a string takes a precision, and those
// differences travel with the output as data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

struct format_sink {
    void (*put)(char c);
    const char* hex_prefix;  // printed before every %x
    int hex_width;           // %x's least number of digits; leading zeros make up the rest
    // "%.Ns" and "%.*s" shorten a string; without, "%." prints as it stands.
    bool string_precision;
};

// %d (unsigned) %x %s %c %%, and the precisions where the sink takes them. Every
// conversion takes the next value from args; a format that asks for more values
// than were given reads 0.
void format_args(const format_sink& sink, const char* fmt, const uint64_t* args, size_t count);

// Sends value in base 10 or 16 (uppercase), in at least `width` digits (at most 20).
void format_number(void (*put)(char c), uint64_t value, unsigned base, int width = 1);

namespace format_detail {
template <typename T>
constexpr uint64_t as_u64(T value) {
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return reinterpret_cast<uint64_t>(value);
    } else {
        // Signed values are sign-extended: -1 prints as 18446744073709551615.
        return static_cast<uint64_t>(value);
    }
}
}  // namespace format_detail

// Widens each argument to one 64-bit value here, at the call, so no caller can
// hand a formatter a 32-bit value whose upper half is garbage.
template <typename... Args>
inline void format_values(void (*formatter)(const char*, const uint64_t*, size_t), const char* fmt,
                          Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        formatter(fmt, nullptr, 0);
    } else {
        const uint64_t values[] = {format_detail::as_u64(args)...};
        formatter(fmt, values, sizeof...(Args));
    }
}
