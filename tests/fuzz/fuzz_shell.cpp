// Fuzz target: bytes typed on the serial line, fed to the shell's editor and dispatcher one
// line at a time (no drive attached; programs return at once). Only the boot tables and
// information, the bitmap and the user image and stack are accessible. Checked per line:
// prompt, echo of what the editor keeps ("\b \b" per erased character), CR LF, the reply to
// an unknown word, something for a known one, nothing for an empty line; only halt and
// reboot stop.
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
const uint8_t *g_in, *g_end;
shell_input next_char() { return {g_in < g_end ? *g_in++ : throw end_of_input{}, true}; }

bool start_up() {
    // 512 MiB from 1 MiB: the head, one memory-map tag of two entries, the end tag.
    const uint64_t info[] = {80, 6 | 64ull << 32, 24, 0, 0x9F000, 1, 0x100000, (511ull << 20), 1, 8ull << 32};
    std::memcpy(host::phys(0x9000), info, sizeof info);
    pmm_init(0x9000);
    host::build_boot_tables();
    keyboard_init();
    for (auto [from, to] : {std::pair{0x0ul, 0x1000ul}, {0x4000, 0x9000}, {0xA000, 0x10A000}, {0x112000, USER_IMAGE_BASE},
                            {USER_IMAGE_END, USER_STACK_BASE}, {USER_STACK_TOP + PAGE_BYTES, host::PHYS_SIZE}})
        host::protect(from, to - from, PROT_NONE);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = start_up();
    for (g_in = data, g_end = ready ? data + size : data; g_in < g_end;) {
        std::string line, echo;
        int esc = 0;  // 1 after ESC, 2 inside ESC [ or ESC O: a terminal key's sequence types nothing
        for (const uint8_t* p = g_in; p < g_end && *p != '\r' && *p != '\n'; ++p) {
            if ((esc == 1 && (*p == '[' || *p == 'O')) || (esc == 2 && *p >= 0x20 && *p <= 0x3F)) {
                esc = 2;
                continue;
            }
            const int was = esc;
            esc = *p == 0x1B;
            if (esc || (was == 2 && *p >= 0x40 && *p <= 0x7E)) continue;
            if ((*p == 8 || *p == 0x7F) && !line.empty()) line.pop_back(), echo += "\b \b";
            else if (*p >= 0x20 && *p <= 0x7E && line.size() < 255) line += static_cast<char>(*p), echo += static_cast<char>(*p);
        }
        bool ended = false, halted = false;
        try {
            host::ports.clear(), shell_once(next_char);
        } catch (const end_of_input&) {
            ended = true;
        } catch (const host::halted&) {
            halted = true;
        }
        const std::string head = "tarvelin> " + echo + (ended ? "" : "\r\n"), all = host::serial(), out = all.substr(std::min(head.size(), all.size()));
        const std::string cmd = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        FUZZ_CHECK(all.starts_with(head));
        bool prefix, known = false;  // the shell's own command table says which words it knows
        for (uint32_t i = 0; const char* word = shell_command_word(i, &prefix); ++i) known |= prefix ? cmd.starts_with(word) : cmd == word;
        if (halted) FUZZ_CHECK((cmd == "halt" && out == "  System halted.\n") || (cmd == "reboot" && out == "  Rebooting...\n"));
        else if (ended || cmd.empty()) FUZZ_CHECK(out.empty());
        else if (!known) FUZZ_CHECK(out == "  Unknown: '" + cmd + "'. Type 'apps' for applications.\n");
        else FUZZ_CHECK(!out.empty());
        if (ended || halted) break;
    }
    return 0;
}
