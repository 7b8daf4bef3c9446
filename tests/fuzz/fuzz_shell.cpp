// Fuzz target: bytes typed on the serial line, fed line by line to the shell's editor and
// dispatcher (no drive attached; programs "run" by returning at once). Only the boot
// tables, the bitmap, the boot information and the user image and stack are accessible.
// Checked per line: prompt, echo of what the editor keeps ("\b \b" per erased character),
// CR LF, the reply to an unknown word, something for a known one, nothing for an empty line;
// only halt and reboot stop.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "keyboard.h"
#include "layout.h"
#include "pmm.h"
#include "shell.h"

namespace {
struct end_of_input {};
const uint8_t* g_in;
size_t g_left;
int next_char() {
    if (g_left == 0) throw end_of_input{};
    return --g_left, *g_in++;
}

bool is_command(const std::string& s) {
    for (const char* w : {"apps", "help", "run", "meminfo", "ticks", "ata", "ata_test", "mount", "reboot", "halt"})
        if (s == w) return true;
    return s.compare(0, 8, "execute ") == 0;
}

bool start_up() {
    // 512 MiB from 1 MiB: the head, one memory-map tag of two entries, the end tag.
    const uint64_t info[] = {80, 6 | 64ull << 32, 24, 0, 0x9F000, 1, 0x100000, (511ull << 20), 1, 8ull << 32};
    std::memcpy(host::phys(0x9000), info, sizeof info);
    pmm_init(0x9000);
    host::build_boot_tables();
    keyboard_init();
    fuzz::protect(0, 0x1000, PROT_NONE);
    fuzz::protect(0x4000, 0x9000 - 0x4000, PROT_NONE);
    fuzz::protect(0xA000, 0x10A000 - 0xA000, PROT_NONE);
    fuzz::protect(0x112000, USER_IMAGE_BASE - 0x112000, PROT_NONE);
    fuzz::protect(USER_IMAGE_END, USER_STACK_BASE - USER_IMAGE_END, PROT_NONE);
    fuzz::protect(USER_STACK_TOP, host::PHYS_SIZE - USER_STACK_TOP, PROT_NONE);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = start_up();
    g_in = data;
    g_left = ready ? size : 0;
    while (g_left > 0) {
        const size_t cut = std::find_if(g_in, g_in + g_left, [](uint8_t c) { return c == '\r' || c == '\n'; }) - g_in;
        std::string line, echo;
        for (size_t i = 0; i < cut; ++i) {
            const uint8_t c = g_in[i];
            if ((c == 8 || c == 0x7F) && !line.empty()) line.pop_back(), echo += "\b \b";
            else if (c >= 0x20 && c <= 0x7E && line.size() < 255) line += static_cast<char>(c), echo += static_cast<char>(c);
        }
        host::ports.clear();
        bool stopped = false, halted = false;
        try {
            shell_once(next_char);
        } catch (const end_of_input&) {
            stopped = true;
        } catch (const host::halted&) {
            halted = true;
        }
        std::string out = host::serial();
        const std::string head = "tarvelin> " + echo + (stopped ? "" : "\r\n");
        FUZZ_CHECK(out.compare(0, head.size(), head) == 0);
        out.erase(0, head.size());
        const std::string cmd = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (stopped) FUZZ_CHECK(out.empty());
        else if (halted) FUZZ_CHECK((cmd == "halt" && out == "  System halted.\n") || (cmd == "reboot" && out == "  Rebooting...\n"));
        else if (cmd.empty()) FUZZ_CHECK(out.empty());
        else if (!is_command(cmd)) FUZZ_CHECK(out == "  Unknown: '" + cmd + "'. Type 'apps' for applications.\n");
        else FUZZ_CHECK(!out.empty());
        if (stopped || halted) break;
    }
    host::ports.clear();
    return 0;
}
