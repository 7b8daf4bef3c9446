// Fuzz target: a format string and its arguments through the three formatters
// of the system: kprintf (kprintf_args) to the serial line, vga_printf
// (vga_printf_args) to the screen, and the user runtime's printf (compiled for
// the host under the rt_ names) to descriptor 1.
//
// Input: the format up to the first zero byte; then one byte, the number of
// values handed to the kernel's formatters (a format may ask for more: they
// read 0); then up to 16 little-endian 64-bit values, one per argument
// position; then zero-separated strings, taken in turn by the string
// conversions. A string argument whose value's low byte is 0xFF is a null
// pointer.
//
// Every string argument is valid: each formatter's conversions are followed
// by a small model of the formatter that decides, conversion by conversion,
// which argument is a number and which a string. A string is an exact-size
// heap copy; where a precision allows fewer bytes than the string has, only
// that many bytes are allocated, without a terminator, so a read beyond the
// precision is an AddressSanitizer report. The screen's page is the only
// accessible page of fake physical memory around it, and the bytes of that
// page past the 2000 cells hold a sentinel.
//
// Properties checked: kprintf's and printf's output equal the models'; the
// screen holds what the model's text gives on an 80x25 screen that wraps,
// tabs, backspaces and scrolls; every hardware cursor position is a cell.
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

// The input, split.
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

// Hands out the arguments as a formatter takes them and keeps the strings
// alive until the call is over.
class arguments {
public:
    arguments(const input& in, size_t given) : in_(in), given_(given) {}

    bool overflow() const { return values_.size() > MAX_ARGS; }
    const uint64_t* data() const { return values_.data(); }

    uint64_t number() {
        const size_t i = values_.size();
        const uint64_t v = i < given_ && i < MAX_ARGS ? in_.values[i] : 0;
        values_.push_back(v);
        return v;
    }

    // Room for every value the formatter is told it has.
    void pad(size_t count) {
        while (values_.size() < count) values_.push_back(0);
    }
    size_t size() const { return values_.size(); }

    // The next argument as a string of which at most `limit` bytes may be read:
    // null, or an exact-size copy; *text is what the formatter must print of it.
    const char* string(uint64_t limit, std::string* text) {
        const size_t i = values_.size();
        if (i >= given_ || i >= MAX_ARGS || (in_.values[i] & 0xFF) == 0xFF) {
            values_.push_back(0);
            return nullptr;
        }
        const std::string s = in_.strings.empty() ? std::string() : in_.strings[next_++ % in_.strings.size()];
        *text = s.substr(0, std::min<uint64_t>(limit, s.size()));
        // Only the bytes the formatter may read exist: the whole string and its
        // terminator, or, under a shorter precision, that many bytes alone.
        const size_t bytes = limit < s.size() + 1 ? limit : s.size() + 1;
        const char* p;
        if (bytes == 0) {
            // Nothing may be read: the address of a freed block, so that any
            // read of it is a report.
            auto gone = std::make_unique<char[]>(1);
            p = gone.get();
        } else {
            auto buf = std::make_unique<char[]>(bytes);
            std::memcpy(buf.get(), s.data(), std::min(bytes, s.size()));
            if (bytes > s.size()) buf[s.size()] = '\0';
            p = buf.get();
            keep_.push_back(std::move(buf));
        }
        values_.push_back(reinterpret_cast<uint64_t>(p));
        return p;
    }

private:
    const input& in_;
    size_t given_;
    size_t next_ = 0;
    std::vector<uint64_t> values_;
    std::vector<std::unique_ptr<char[]>> keep_;
};

std::string dec(uint64_t v) { return std::to_string(v); }

std::string hex(uint64_t v, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return s;
}

// ------------------------------------------------------------ kprintf

std::string model_kprintf(const std::string& f, arguments& args) {
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        if (i + 1 == f.size()) {
            out += '%';
            break;
        }
        const char conv = f[++i];
        std::string text;
        switch (conv) {
        case 'd': out += dec(args.number()); break;
        case 'x': out += hex(args.number(), true); break;
        case 's': out += args.string(~0ull, &text) ? text : "(null)"; break;
        case 'c': out += static_cast<char>(args.number() & 0xFF); break;
        case '%': out += '%'; break;
        case '.': {
            size_t q = i + 1;
            bool star = false;
            bool digits = false;
            uint64_t precision = 0;
            if (q < f.size() && f[q] == '*') {
                star = true;
                ++q;
            } else {
                while (q < f.size() && f[q] >= '0' && f[q] <= '9') {
                    const uint64_t d = static_cast<uint64_t>(f[q] - '0');
                    precision = precision > (~0ull - d) / 10 ? ~0ull : precision * 10 + d;
                    digits = true;
                    ++q;
                }
            }
            if ((star || digits) && q < f.size() && f[q] == 's') {
                if (star) precision = args.number();
                out += args.string(precision, &text) ? text : "(null)";
                i = q;
            } else {
                out += "%.";
            }
            break;
        }
        default:
            out += '%';
            out += conv;
            break;
        }
    }
    return out;
}

// ------------------------------------------------------------ vga_printf

std::string model_vga_printf(const std::string& f, arguments& args) {
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        if (i + 1 == f.size()) {
            out += '%';
            break;
        }
        const char conv = f[++i];
        std::string text;
        switch (conv) {
        case 'd': out += dec(args.number()); break;
        case 'x': {
            const std::string h = hex(args.number(), true);
            out += "0x" + std::string(16 - h.size(), '0') + h;
            break;
        }
        case 's': out += args.string(~0ull, &text) ? text : "(null)"; break;
        case 'c': out += static_cast<char>(args.number() & 0xFF); break;
        case '%': out += '%'; break;
        default:
            out += '%';
            out += conv;
            break;
        }
    }
    return out;
}

// What an 80x25 screen, blank with the cursor at its top left, shows after
// `text`: characters (low byte of each cell) only.
std::vector<char> model_screen(const std::string& text) {
    std::vector<char> cells(VGA_COLUMNS * VGA_ROWS, ' ');
    int x = 0, y = 0;
    for (char c : text) {
        switch (c) {
        case '\n': x = 0; ++y; break;
        case '\r': x = 0; break;
        case '\t':
            x = (x + 8) / 8 * 8;
            if (x >= VGA_COLUMNS) { x = 0; ++y; }
            break;
        case '\b':
            if (x > 0) cells[y * VGA_COLUMNS + --x] = ' ';
            break;
        default:
            cells[y * VGA_COLUMNS + x] = c;
            if (++x == VGA_COLUMNS) { x = 0; ++y; }
            break;
        }
        if (y == VGA_ROWS) {
            std::copy(cells.begin() + VGA_COLUMNS, cells.end(), cells.begin());
            std::fill(cells.end() - VGA_COLUMNS, cells.end(), ' ');
            y = VGA_ROWS - 1;
        }
    }
    return cells;
}

// ------------------------------------------------------------ user printf

// Returns false when the format needs more arguments than are passed or a
// field wider than the harness allows.
bool model_printf(const std::string& f, arguments& args, std::string* out) {
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%') {
            *out += f[i];
            continue;
        }
        const size_t directive = i++;
        if (i == f.size()) {
            *out += '%';
            break;
        }
        bool zero = false;
        if (f[i] == '0') {
            zero = true;
            ++i;
        }
        uint64_t width = 0;
        while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
            width = std::min<uint64_t>(width * 10 + static_cast<uint64_t>(f[i] - '0'), 0xFFFFFFFF);
            ++i;
        }
        if (width > MAX_WIDTH) return false;
        bool is_long = false;
        if (i < f.size() && f[i] == 'l') {
            is_long = true;
            ++i;
        }
        if (i == f.size()) {
            *out += f.substr(directive);
            break;
        }
        auto number = [&](uint64_t magnitude, bool negative, bool is_hex) {
            const std::string digits = is_hex ? hex(magnitude, false) : dec(magnitude);
            const uint64_t length = digits.size() + (negative ? 1 : 0);
            const std::string pad(width > length ? width - length : 0, zero ? '0' : ' ');
            *out += zero ? (negative ? "-" : "") + pad : pad + (negative ? "-" : "");
            *out += digits;
        };
        std::string text;
        switch (f[i]) {
        case 'c': *out += static_cast<char>(args.number() & 0xFF); break;
        case 'd': {
            const uint64_t raw = args.number();
            const int64_t v = is_long ? static_cast<int64_t>(raw) : static_cast<int32_t>(static_cast<uint32_t>(raw));
            number(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0, false);
            break;
        }
        case 'u':
        case 'x': {
            const uint64_t raw = args.number();
            number(is_long ? raw : static_cast<uint32_t>(raw), false, f[i] == 'x');
            break;
        }
        case 's': *out += args.string(~0ull, &text) ? text : "(null)"; break;
        case '%': *out += '%'; break;
        default: *out += f.substr(directive, i + 1 - directive); break;
        }
    }
    return !args.overflow();
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
    // The formatters see the format as the C string it is.
    auto fmt = std::make_unique<char[]>(in.format.size() + 1);
    std::memcpy(fmt.get(), in.format.c_str(), in.format.size() + 1);

    fake_bus::reset();
    uart_model uart(COM1, 0);
    fake_bus::attach(&uart, COM1, 8);

    {
        arguments args(in, in.given);
        const std::string expect = model_kprintf(in.format, args);
        args.pad(in.given);
        kprintf_args(fmt.get(), args.data(), in.given);
        FUZZ_CHECK(uart.take_output() == expect);
    }

    {
        arguments args(in, in.given);
        const std::string text = model_vga_printf(in.format, args);
        std::memset(fake_phys::at(VGA_TEXT_ADDR + CELL_BYTES), SENTINEL, PAGE - CELL_BYTES);
        vga_init();
        vga_clear();
        fake_bus::clear_log();
        args.pad(in.given);
        vga_printf_args(fmt.get(), args.data(), in.given);

        const std::vector<char> expect = model_screen(text);
        const auto* cells = fake_phys::at<uint16_t>(VGA_TEXT_ADDR);
        for (size_t i = 0; i < expect.size(); ++i) {
            FUZZ_CHECK(static_cast<char>(cells[i] & 0xFF) == expect[i]);
            FUZZ_CHECK((cells[i] >> 8) == 0x07);
        }
        const uint8_t* slack = fake_phys::at(VGA_TEXT_ADDR + CELL_BYTES);
        for (uint64_t i = 0; i < PAGE - CELL_BYTES; ++i) FUZZ_CHECK(slack[i] == SENTINEL);

        // Cursor: index 0x0F then the low byte, index 0x0E then the high byte.
        uint8_t index = 0;
        uint16_t low = 0;
        for (const auto& a : fake_bus::log()) {
            if (!a.write) continue;
            if (a.port == 0x3D4) index = static_cast<uint8_t>(a.value);
            if (a.port == 0x3D5 && index == 0x0F) low = a.value;
            if (a.port == 0x3D5 && index == 0x0E)
                FUZZ_CHECK(static_cast<uint16_t>(a.value << 8 | low) < VGA_COLUMNS * VGA_ROWS);
        }
    }

    {
        arguments args(in, MAX_ARGS);
        std::string expect;
        if (model_printf(in.format, args, &expect)) {
            const uint64_t* v = args.data();
            uint64_t a[MAX_ARGS] = {};
            std::copy(v, v + args.size(), a);
            user_runtime::reset(0x404000);
            rt_printf(fmt.get(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12],
                      a[13], a[14], a[15]);
            FUZZ_CHECK(user_runtime::output() == expect);
        }
    }
    fake_bus::reset();
    return 0;
}
