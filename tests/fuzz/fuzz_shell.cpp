// Fuzz target: the bytes are typed on COM1 into the shell. The first byte
// chooses the machine: with its low bit set the primary master is a fake ATA
// disk holding the sample disk image (when the build has one; a patterned disk
// otherwise), else there is no drive. The rest is cut into lines after each
// carriage return or line feed; each line is fed to shell_run, which the fake
// processor stops (by throwing from its halt) once the input is used up.
// halt and reboot stop the machine and the run.
//
// Out-of-bounds detection: the line buffer and every buffer of the shell are
// on the stack or in instrumented globals; in fake physical memory only what
// the shell and the launch path may touch is accessible (the boot page tables,
// the allocator's bitmap, the user image area and the user stack).
//
// Properties checked for each line: the shell printed the prompt, echoed what
// the line editor keeps (printable characters up to 255, "\b \b" for each
// backspace or delete that removes one, nothing for the rest), ended the line
// with "\r\n", answered an unknown command with the unknown-command reply
// naming it, answered a known one with something, an empty line with nothing,
// and printed the next prompt; only halt and reboot stop the machine.
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

namespace {

struct shell_stopped {};

constexpr char PROMPT[] = "tarvelin> ";
constexpr size_t LINE_MAX_CHARS = 255;
constexpr int MAX_LINES = 64;
constexpr uint64_t PAGE = 4096;
constexpr uint64_t BOOT_INFO = 0x9000;
constexpr uint64_t PAGE_TABLES = 0x1000;
constexpr uint64_t PAGE_TABLES_END = 0x4000;
constexpr uint64_t BITMAP_PAGES_END = 0x112000;
constexpr uint32_t PATTERN_SECTORS = 8192;

// The fake disk's contents, lent to a fresh drive model for each input (the
// model keeps a log of every command it served).
std::vector<uint8_t> g_disk_image;

// 512 MiB of memory from 1 MiB up, as a boot loader would describe it.
void boot_with_memory() {
    auto* p = fake_phys::at<uint32_t>(BOOT_INFO);
    std::memset(p, 0, 128);
    p[0] = 8 + 16 + 2 * 24 + 8;
    p[2] = 6;
    p[3] = 16 + 2 * 24;
    p[4] = 24;
    auto* e = reinterpret_cast<uint64_t*>(p + 6);
    e[0] = 0; e[1] = 0x9F000; e[2] = 1;
    e[3] = 0x100000; e[4] = (512ull << 20) - 0x100000; e[5] = 1;
    pmm_init(BOOT_INFO);
}

void build_boot_page_tables() {
    auto* pml4 = fake_phys::at<uint64_t>(PAGE_TABLES);
    auto* pdpt = fake_phys::at<uint64_t>(PAGE_TABLES + PAGE);
    auto* pd = fake_phys::at<uint64_t>(PAGE_TABLES + 2 * PAGE);
    std::memset(pml4, 0, 3 * PAGE);
    pml4[0] = (PAGE_TABLES + PAGE) | 3;
    pdpt[0] = (PAGE_TABLES + 2 * PAGE) | 3;
    for (uint64_t i = 0; i < 512; ++i) pd[i] = i * LARGE_PAGE_BYTES | 0x83;
}

bool is_command(const std::string& s) {
    if (s.compare(0, 8, "execute ") == 0) return true;
    for (const char* w : {"apps", "help", "run", "meminfo", "ticks", "ata", "ata_test", "mount", "reboot", "halt"})
        if (s == w) return true;
    return false;
}

bool starts_with(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }
bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake_bus::reset();
    fake_cpu::reset();
    fake_ring3::reset();
    fake_phys::ensure();
    keyboard_init();
    boot_with_memory();
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
    uart_model uart(COM1, 0);
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
        for (size_t i = 0; i < piece.size() - (complete ? 1 : 0); ++i) {
            const auto c = static_cast<unsigned char>(piece[i]);
            if (c == 0x08 || c == 0x7F) {
                if (!line.empty()) {
                    line.pop_back();
                    echo += "\b \b";
                }
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
        FUZZ_CHECK(starts_with(out, head));
        std::string reply = out.substr(head.size());
        if (!complete) {
            FUZZ_CHECK(!halted && reply.empty());
            break;
        }
        const std::string cmd = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (halted) {
            FUZZ_CHECK(cmd == "halt" || cmd == "reboot");
            FUZZ_CHECK(reply == (cmd == "halt" ? "  System halted.\n" : "  Rebooting...\n"));
            break;
        }
        FUZZ_CHECK(ends_with(reply, PROMPT));
        reply.resize(reply.size() - std::strlen(PROMPT));
        if (cmd.empty()) {
            FUZZ_CHECK(reply.empty());
        } else if (!is_command(cmd)) {
            FUZZ_CHECK(reply == "  Unknown: '" + cmd + "'. Type 'apps' for applications.\n");
        } else {
            FUZZ_CHECK(!reply.empty());
        }
        fake_bus::clear_log();
    }
    fake_cpu::on_halt(nullptr);
    fake_bus::reset();
    // The driver kept to the protocol a real drive follows.
    FUZZ_CHECK(disk.violations().empty());
    if (with_disk) disk.image.swap(g_disk_image);
    return 0;
}
