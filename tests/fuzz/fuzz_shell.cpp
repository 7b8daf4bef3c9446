// Fuzz target: bytes typed on COM1 into the shell, cut into lines after each CR or LF and fed
// to shell_run (the fake processor's halt stops it when the input is used up). The first
// byte's low bit attaches a fake ATA disk holding the sample disk. Out of bounds: in fake
// memory only the boot page tables, the bitmap and the user image and stack are accessible.
// Checked per line: prompt, echo of what the editor keeps ("\b \b" per erased character),
// CR LF, the unknown-command reply for an unknown word, something for a known one, nothing
// for an empty line, the next prompt; only halt and reboot stop; the drive's protocol kept.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ata.h"
#include "ata_model.h"
#include "fake_bus.h"
#include "fake_cpu.h"
#include "fake_phys.h"
#include "fake_ring3.h"
#include "fuzz_support.h"
#include "keyboard.h"
#include "layout.h"
#include "main.h"
#include "pmm.h"
#include "shell.h"
#include "timer.h"

namespace {

struct shell_stopped {};

// After a serial byte the shell keeps polling COM1 for up to two timer ticks;
// here time passes only when told, so every 64 idle polls stand for a tick.
class ticking_uart : public uart_model {
public:
    using uart_model::uart_model;
    uint8_t in8(uint16_t port) override {
        if (port == COM1 + 5 && pending_input() == 0 && ++idle_polls_ % 64 == 0) timer_isr(nullptr);
        return uart_model::in8(port);
    }

private:
    unsigned idle_polls_ = 0;
};

constexpr char PROMPT[] = "tarvelin> ";
constexpr size_t LINE_MAX_CHARS = 255;
constexpr int MAX_LINES = 64;
constexpr uint64_t PAGE = 4096;
constexpr uint64_t BOOT_INFO = 0x9000;
constexpr uint64_t PAGE_TABLES = 0x1000;
constexpr uint64_t PAGE_TABLES_END = 0x4000;
constexpr uint64_t BITMAP_PAGES_END = 0x112000;
constexpr uint32_t PATTERN_SECTORS = 8192;

// The disk's contents, lent to a fresh drive model (with a fresh command log) for each input.
std::vector<uint8_t> g_disk_image;

// Boot information with 512 MiB of memory from 1 MiB up: total size; a memory-map tag of two
// 24-byte entries (base, length, type); the end tag.
constexpr uint64_t BOOT_INFO_WORDS[] = {8 + 16 + 48 + 8, 6 | (16 + 48ull) << 32, 24, 0, 0x9F000, 1,
                                        0x100000, (512ull << 20) - 0x100000, 1, 8ull << 32};

// The boot page tables: the first GiB identity-mapped with 2 MiB pages.
void build_boot_page_tables() {
    auto* tables = fake_phys::at<uint64_t>(PAGE_TABLES);
    std::memset(tables, 0, 3 * PAGE);
    tables[0] = (PAGE_TABLES + PAGE) | 3;
    tables[512] = (PAGE_TABLES + 2 * PAGE) | 3;
    for (uint64_t i = 0; i < 512; ++i) tables[1024 + i] = i * LARGE_PAGE_BYTES | 0x83;
}

bool is_command(const std::string& s) {
    for (const char* w : {"apps", "help", "run", "meminfo", "ticks", "ata", "ata_test", "mount", "reboot", "halt"})
        if (s == w) return true;
    return s.compare(0, 8, "execute ") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake_bus::reset();
    fake_cpu::reset();
    fake_ring3::reset();
    fake_phys::ensure();
    keyboard_init();
    std::memcpy(fake_phys::at(BOOT_INFO), BOOT_INFO_WORDS, sizeof BOOT_INFO_WORDS);
    pmm_init(BOOT_INFO);
    build_boot_page_tables();

#ifdef TARVELIN_FUZZ_DISK_IMAGE
    ata_model loader;
    if (loader.load(TARVELIN_FUZZ_DISK_IMAGE)) g_disk_image.swap(loader.image);
#endif

    using namespace fuzz_support;
    phys_forbid(0, PAGE_TABLES);
    phys_forbid(PAGE_TABLES_END, kernel_end_addr() - PAGE_TABLES_END);
    phys_forbid(BITMAP_PAGES_END, USER_IMAGE_BASE - BITMAP_PAGES_END);
    phys_forbid(USER_IMAGE_END, USER_STACK_BASE - USER_IMAGE_END);
    phys_forbid(USER_STACK_TOP, fake_phys::SIZE - USER_STACK_TOP);
    fake_bus::reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fake_bus::reset();
    ticking_uart uart(COM1, 0);
    fake_bus::attach(&uart, COM1, 8);
    ata_model disk(ata_model::kind::disk);
    const bool with_disk = (data[0] & 1) != 0;
    if (with_disk) {
        disk.image.swap(g_disk_image);
        if (disk.image.empty()) disk.sectors = PATTERN_SECTORS;
        disk.attach();
    }
    ata_init();
    fake_cpu::on_halt([] { throw shell_stopped{}; });
    uart.take_output();

    const std::string stream(data + 1, data + size);
    size_t at = 0;
    for (int lines = 0; at < stream.size() && lines < MAX_LINES; ++lines) {
        size_t end = stream.find_first_of("\r\n", at);
        const bool complete = end != std::string::npos;
        end = complete ? end + 1 : stream.size();
        const std::string piece = stream.substr(at, end - at);
        at = end;

        // What the line editor keeps and echoes.
        std::string line, echo;
        for (size_t i = 0; i < piece.size() - complete; ++i) {
            const auto c = static_cast<unsigned char>(piece[i]);
            if ((c == 0x08 || c == 0x7F) && !line.empty()) {
                line.pop_back();
                echo += "\b \b";
            } else if (c >= 0x20 && c <= 0x7E && line.size() < LINE_MAX_CHARS) {
                line += static_cast<char>(c);
                echo += static_cast<char>(c);
            }
        }

        uart.feed(piece);
        bool halted = false;
        try {
            shell_run();
        } catch (const shell_stopped&) {
        } catch (const machine_halted&) {
            halted = true;
        }
        const std::string out = uart.take_output();
        const std::string head = std::string(PROMPT) + echo + (complete ? "\r\n" : "");
        FUZZ_CHECK(out.compare(0, head.size(), head) == 0);
        std::string reply = out.substr(head.size());
        if (!complete) {
            FUZZ_CHECK(!halted && reply.empty());
            break;
        }
        const std::string cmd = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (halted) {
            FUZZ_CHECK((cmd == "halt" && reply == "  System halted.\n") ||
                       (cmd == "reboot" && reply == "  Rebooting...\n"));
            break;
        }
        const size_t prompt_at = reply.size() - std::min(reply.size(), std::strlen(PROMPT));
        FUZZ_CHECK(reply.compare(prompt_at, std::string::npos, PROMPT) == 0);
        reply.resize(prompt_at);
        if (cmd.empty()) FUZZ_CHECK(reply.empty());
        else if (!is_command(cmd)) FUZZ_CHECK(reply == "  Unknown: '" + cmd + "'. Type 'apps' for applications.\n");
        else FUZZ_CHECK(!reply.empty());
        fake_bus::clear_log();
    }
    fake_cpu::on_halt(nullptr);
    fake_bus::reset();
    FUZZ_CHECK(disk.violations().empty());
    if (with_disk) disk.image.swap(g_disk_image);
    return 0;
}
