// Fuzz target: a format and its arguments through kprintf (serial line), vga_printf (screen)
// and the user runtime's printf (host build, rt_ names). Input: the format up to a zero byte;
// one byte, the count of values the kernel's formatters get (more asked read 0); up to 16
// little-endian 64-bit values; zero-separated strings taken in turn by string conversions (a
// value whose low byte is 0xFF is a null pointer). Out of bounds: a model of each formatter
// tells which argument is a string, passed as an exact-size heap copy cut to its precision;
// the screen's page is the only accessible one around it, with a sentinel after the cells.
// Checked: serial and user output equal the models'; the screen equals the model's text on
// an 80x25 screen that wraps, tabs, backspaces and scrolls; every cursor position is a cell.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_bus.h"
#include "fake_phys.h"
#include "fuzz_support.h"
#include "main.h"
#include "user_runtime_host.h"
#include "vga.h"

namespace {

constexpr size_t MAX_ARGS = 16;
constexpr uint64_t MAX_WIDTH = 4096;  // wider fields only cost time
constexpr uint64_t PAGE = 4096;
constexpr uint64_t CELL_BYTES = 2 * VGA_COLUMNS * VGA_ROWS;
constexpr uint8_t SENTINEL = 0xA5;

struct input {
    std::string format;
    size_t given = 0;
    uint64_t values[MAX_ARGS] = {};
    std::vector<std::string> strings;
};

input split(const uint8_t* data, size_t size) {
    input in;
    const auto* end = data + size;
    const auto* nul = std::find(data, end, 0);
    in.format.assign(data, nul);
    const uint8_t* p = nul == end ? end : nul + 1;
    if (p < end) in.given = *p++ % (MAX_ARGS + 1);
    for (size_t i = 0; i < MAX_ARGS && end - p >= 8; ++i, p += 8) std::memcpy(&in.values[i], p, 8);
    while (p < end) {
        const auto* z = std::find(p, end, 0);
        in.strings.emplace_back(p, z);
        p = z == end ? end : z + 1;
    }
    return in;
}

// Hands out the arguments in the order a formatter takes them; keeps the strings alive.
struct arguments {
    const input& in;
    size_t given;
    size_t next = 0;
    std::vector<uint64_t> values{};
    std::vector<std::unique_ptr<char[]>> keep{};

    // The values, with room for every one the formatter is told it has.
    const uint64_t* padded() {
        values.resize(std::max(values.size(), given));
        return values.data();
    }

    uint64_t number() {
        const size_t i = values.size();
        return values.emplace_back(i < given && i < MAX_ARGS ? in.values[i] : 0);
    }

    // The next argument as a string of which at most `limit` bytes may be read (none: a
    // freed block); appends what the formatter must print of it.
    void string(uint64_t limit, std::string* out) {
        const size_t i = values.size();
        if (i >= given || i >= MAX_ARGS || (in.values[i] & 0xFF) == 0xFF) {
            values.push_back(0);
            *out += "(null)";
            return;
        }
        const std::string s = in.strings.empty() ? std::string() : in.strings[next++ % in.strings.size()];
        *out += s.substr(0, std::min<uint64_t>(limit, s.size()));
        const size_t bytes = std::min<uint64_t>(limit, s.size() + 1);
        auto buf = std::make_unique<char[]>(std::max<size_t>(bytes, 1));
        std::memcpy(buf.get(), s.c_str(), bytes);
        values.push_back(reinterpret_cast<uint64_t>(buf.get()));
        if (bytes > 0) keep.push_back(std::move(buf));
    }
};

std::string hex(uint64_t v, bool upper) {
    std::string s;
    do s.insert(s.begin(), (upper ? "0123456789ABCDEF" : "0123456789abcdef")[v & 0xF]);
    while (v >>= 4);
    return s;
}

// kprintf and vga_printf: %d %x %s %c %%, anything else as it stands. kprintf also takes
// %.Ns and %.*s; vga_printf writes %x as 0x and 16 digits.
std::string model_kernel(const std::string& f, arguments& args, bool vga) {
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 == f.size()) {
            out += f[i];
            continue;
        }
        const char conv = f[++i];
        if (conv == '.' && !vga) {
            size_t q = i + 1;
            const bool star = q < f.size() && f[q] == '*';
            uint64_t precision = 0;
            if (star) ++q;
            for (; !star && q < f.size() && f[q] >= '0' && f[q] <= '9'; ++q) {
                const auto d = static_cast<uint64_t>(f[q] - '0');
                precision = precision > (~0ull - d) / 10 ? ~0ull : precision * 10 + d;
            }
            if (q > i + 1 && q < f.size() && f[q] == 's') {
                args.string(star ? args.number() : precision, &out);
                i = q;
            } else {
                out += "%.";
            }
            continue;
        }
        switch (conv) {
        case 'd': out += std::to_string(args.number()); break;
        case 'x': {
            const std::string h = hex(args.number(), true);
            out += vga ? "0x" + std::string(16 - h.size(), '0') + h : h;
            break;
        }
        case 's': args.string(~0ull, &out); break;
        case 'c': out += static_cast<char>(args.number() & 0xFF); break;
        case '%': out += '%'; break;
        default: out += std::string("%") + conv; break;
        }
    }
    return out;
}

// An 80x25 screen, blank with the cursor at its top left, after `text`: characters only.
std::vector<char> model_screen(const std::string& text) {
    std::vector<char> cells(VGA_COLUMNS * VGA_ROWS, ' ');
    int x = 0, y = 0;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            x = 0;
            y += c == '\n';
        } else if (c == '\t') {
            x = (x + 8) / 8 * 8;
        } else if (c == '\b') {
            if (x > 0) cells[y * VGA_COLUMNS + --x] = ' ';
        } else {
            cells[y * VGA_COLUMNS + x++] = c;
        }
        if (x >= VGA_COLUMNS) x = 0, ++y;
        if (y == VGA_ROWS) {
            std::copy(cells.begin() + VGA_COLUMNS, cells.end(), cells.begin());
            std::fill(cells.end() - VGA_COLUMNS, cells.end(), ' ');
            y = VGA_ROWS - 1;
        }
    }
    return cells;
}

// The runtime's printf: %c %d %u %x %s %% with an optional 0 flag, width and l. False when
// the format needs more arguments than are passed or a field wider than the harness allows.
bool model_printf(const std::string& f, arguments& args, std::string* out) {
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 == f.size()) {
            *out += f[i];
            continue;
        }
        const size_t directive = i++;
        const bool zero = f[i] == '0';
        i += zero;
        uint64_t width = 0;
        for (; i < f.size() && f[i] >= '0' && f[i] <= '9'; ++i)
            width = std::min<uint64_t>(width * 10 + static_cast<uint64_t>(f[i] - '0'), 0xFFFFFFFF);
        if (width > MAX_WIDTH) return false;
        const bool is_long = i < f.size() && f[i] == 'l';
        i += is_long;
        if (i == f.size()) {
            *out += f.substr(directive);
            break;
        }
        auto number = [&](uint64_t magnitude, bool negative, bool is_hex) {
            const std::string digits = is_hex ? hex(magnitude, false) : std::to_string(magnitude);
            const std::string pad(std::max<uint64_t>(width, digits.size() + negative) - digits.size() - negative,
                                  zero ? '0' : ' ');
            *out += (zero ? (negative ? "-" : "") + pad : pad + (negative ? "-" : "")) + digits;
        };
        const char conv = f[i];
        if (conv == 'd') {
            const uint64_t raw = args.number();
            const int64_t v = is_long ? static_cast<int64_t>(raw) : static_cast<int32_t>(static_cast<uint32_t>(raw));
            number(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0, false);
        } else if (conv == 'u' || conv == 'x') {
            const uint64_t raw = args.number();
            number(is_long ? raw : static_cast<uint32_t>(raw), false, conv == 'x');
        } else if (conv == 'c') {
            *out += static_cast<char>(args.number() & 0xFF);
        } else if (conv == 's') {
            args.string(~0ull, out);
        } else {
            *out += conv == '%' ? "%" : f.substr(directive, i + 1 - directive);
        }
    }
    return args.values.size() <= MAX_ARGS;
}

}  // namespace

int rt_main(int, char**) { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake_phys::ensure();
    fuzz_support::phys_forbid(0, VGA_TEXT_ADDR);
    fuzz_support::phys_forbid(VGA_TEXT_ADDR + PAGE, fake_phys::SIZE - VGA_TEXT_ADDR - PAGE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const input in = split(data, size);
    auto fmt = std::make_unique<char[]>(in.format.size() + 1);  // the C string the formatters see
    std::memcpy(fmt.get(), in.format.c_str(), in.format.size() + 1);
    fake_bus::reset();
    uart_model uart(COM1, 0);
    fake_bus::attach(&uart, COM1, 8);
    {
        arguments args{in, in.given};
        const std::string expect = model_kernel(in.format, args, false);
        kprintf_args(fmt.get(), args.padded(), in.given);
        FUZZ_CHECK(uart.take_output() == expect);
    }
    {
        arguments args{in, in.given};
        const std::vector<char> expect = model_screen(model_kernel(in.format, args, true));
        std::memset(fake_phys::at(VGA_TEXT_ADDR + CELL_BYTES), SENTINEL, PAGE - CELL_BYTES);
        vga_init();
        vga_clear();
        fake_bus::clear_log();
        vga_printf_args(fmt.get(), args.padded(), in.given);
        const auto* cells = fake_phys::at<uint16_t>(VGA_TEXT_ADDR);
        for (size_t i = 0; i < expect.size(); ++i) FUZZ_CHECK(cells[i] == (0x0700 | static_cast<uint8_t>(expect[i])));
        const uint8_t* slack = fake_phys::at(VGA_TEXT_ADDR + CELL_BYTES);
        FUZZ_CHECK(std::all_of(slack, slack + PAGE - CELL_BYTES, [](uint8_t b) { return b == SENTINEL; }));
        // Cursor: index 0x0F then the low byte, index 0x0E then the high byte.
        uint8_t index = 0;
        uint16_t low = 0;
        for (const auto& a : fake_bus::log()) {
            if (!a.write) continue;
            if (a.port == 0x3D4) index = static_cast<uint8_t>(a.value);
            if (a.port == 0x3D5 && index == 0x0F) low = a.value;
            if (a.port == 0x3D5 && index == 0x0E) FUZZ_CHECK((a.value << 8 | low) < VGA_COLUMNS * VGA_ROWS);
        }
    }
    {
        arguments args{in, MAX_ARGS};
        std::string expect;
        if (model_printf(in.format, args, &expect)) {
            const uint64_t* a = args.padded();
            user_runtime::reset(0x404000);
            rt_printf(fmt.get(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12],
                      a[13], a[14], a[15]);
            FUZZ_CHECK(user_runtime::output() == expect);
        }
    }
    fake_bus::reset();
    return 0;
}
