// The command shell: the greeting, the line editor, the command table, every
// command, and the launch path that runs a program in ring 3, carried in the
// kernel image or read from the mounted volume.
//
// The shell is the only thread of control after start-up. It reads the COM1
// receive ring first and the PS/2 key ring second, halting until the next
// interrupt when neither has a byte; both rings are filled by interrupts.
// A line's state lives on the loop's stack and starts afresh at every prompt;
// only the mounted volume (`fs`) outlives one.
#include "shell.h"

#include "ata.h"
#include "cpu.h"
#include "elf.h"
#include "exec.h"
#include "files.h"
#include "ext2.h"
#include "heap.h"
#include "idt.h"
#include "io.h"
#include "kassert.h"
#include "keyboard.h"
#include "layout.h"
#include "main.h"
#include "paging.h"
#include "phys.h"
#include "pmm.h"
#include "syscall.h"
#include "timer.h"
#include "tss.h"
#include "user_images.h"
#include "vm.h"

namespace {

constexpr size_t LINE_CAPACITY = 256;  // 255 characters and the terminator
constexpr size_t LINE_MAX_CHARS = LINE_CAPACITY - 1;
constexpr char PROMPT[] = "tarvelin> ";
constexpr char EXECUTE_PREFIX[] = "execute ";
constexpr size_t EXECUTE_PREFIX_LEN = sizeof(EXECUTE_PREFIX) - 1;

constexpr char BACKSPACE = 0x08;
constexpr char DELETE = 0x7F;
constexpr uint16_t KBC_COMMAND = 0x64;
constexpr uint8_t KBC_PULSE_RESET = 0xFE;

constexpr uint32_t EXT2_PARTITION_LBA = 2048;
constexpr char SEPARATOR[] = "  ----------------------------------------\n";

ext2_fs fs;
bool fs_mounted = false;  // fs holds a volume that mounted whole

// ---------------------------------------------------------------- input

constexpr int ESC = 0x1B;
constexpr int FIRST_PRINTABLE = 0x20;
constexpr int LAST_PRINTABLE = 0x7E;
constexpr int SEQUENCE_PARAM_FIRST = 0x20;  // parameter and intermediate bytes
constexpr int SEQUENCE_PARAM_LAST = 0x3F;
constexpr int SEQUENCE_FINAL_FIRST = 0x40;
constexpr int SEQUENCE_FINAL_LAST = 0x7E;

// Serial bytes first, then keys; with neither, halt until the next interrupt.
// Both rings are looked at with interrupts off, so a byte arriving between the
// look and the halt still wakes it.
shell_input next_input() {
    for (;;) {
        cpu_disable_interrupts();
        int c = serial_getc();
        if (c >= 0) {
            cpu_enable_interrupts();
            return {c, true};
        }
        c = keyboard_getchar();
        if (c >= 0) {
            cpu_enable_interrupts();
            return {c & 0xFF, false};
        }
        cpu_enable_and_halt();
    }
}

// A terminal's cursor and editing keys arrive as escape sequences (ESC [ A,
// ESC [ 3 ~, ESC O H): each is swallowed whole instead of typing its tail.
// ESC before any other byte drops only the ESC; a control byte ends a partial
// sequence and is then handled as usual.
enum class escape_state { none, escape, sequence };

bool swallowed(escape_state& state, int c) {
    const escape_state was = state;
    state = escape_state::none;
    if (was == escape_state::escape && (c == '[' || c == 'O')) {
        state = escape_state::sequence;
        return true;
    }
    if (was == escape_state::sequence) {
        if (c >= SEQUENCE_PARAM_FIRST && c <= SEQUENCE_PARAM_LAST) {
            state = escape_state::sequence;
            return true;
        }
        if (c >= SEQUENCE_FINAL_FIRST && c <= SEQUENCE_FINAL_LAST) return true;
    }
    if (c == ESC) {
        state = escape_state::escape;
        return true;
    }
    return false;
}

// Collects one line into `line` (zero-terminated), echoing as it goes.
void read_line(char* line, shell_input (*next)()) {
    size_t len = 0;
    escape_state escape = escape_state::none;  // serial bytes only: keys send none
    for (;;) {
        const shell_input in = next();
        const int c = in.c;
        if (in.serial && swallowed(escape, c)) continue;
        if (c == '\n' || c == '\r') break;
        if (c == BACKSPACE || c == DELETE) {
            if (len > 0) {
                --len;
                serial_puts("\b \b");
            }
        } else if (c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE) {
            if (len < LINE_MAX_CHARS) {
                line[len++] = static_cast<char>(c);
                serial_putc(static_cast<char>(c));
            }
        }
        // Every other byte (controls, 0x80 and up) is ignored.
    }
    serial_puts("\r\n");
    line[len] = '\0';
}

// ---------------------------------------------------------------- core commands

void cmd_help(const char*) {
    kprintf("  Available commands:\n");
    kprintf("    help     - Show this help\n");
    kprintf("    run      - Run hello.elf in userspace (ring 3)\n");
    kprintf("    meminfo  - Memory information\n");
    kprintf("    ticks    - Timer tick count\n");
    kprintf("    ata      - ATA drive info\n");
    kprintf("    ata_test - Read sector 0 (MBR)\n");
    kprintf("    mount    - Mount ext2 filesystem\n");
    kprintf("    reboot   - Reboot the system\n");
    kprintf("    halt     - Halt the system\n");
}

uint64_t pages_to_mib(uint64_t pages) { return (pages * 4) >> 10; }

void cmd_meminfo(const char*) {
    const uint64_t total = pmm_get_total_pages();
    const uint64_t free = pmm_get_free_pages();
    const uint64_t used = total - free;
    kprintf("  Physical Memory:\n");
    kprintf("    Total pages: %d (%d MB)\n", total, pages_to_mib(total));
    kprintf("    Free pages:  %d (%d MB)\n", free, pages_to_mib(free));
    kprintf("    Used pages:  %d (%d MB)\n", used, pages_to_mib(used));
}

void cmd_ticks(const char*) {
    kprintf("  Timer ticks:   %d\n", timer_get_ticks());
    kprintf("  Uptime (sec):  %d\n", timer_get_seconds());
}

void cmd_reboot(const char*) {
    kprintf("  Rebooting...\n");
    // With an empty interrupt table the breakpoint cannot be delivered: the
    // fault escalates to a triple fault and the processor resets.
    const idt_pointer empty = {0, 0};
    idt_load(&empty);
    cpu_breakpoint();
    outb(KBC_COMMAND, KBC_PULSE_RESET);
    cpu_halt_forever();
}

void cmd_halt(const char*) {
    kprintf("  System halted.\n");
    cpu_halt_forever();
}

// ---------------------------------------------------------------- disk commands

void cmd_ata(const char*) {
    if (!ata_is_present()) {
        kprintf("  No ATA drive detected.\n");
        return;
    }
    const uint32_t sectors = ata_get_sector_count();
    kprintf("  ATA Drive Info:\n");
    kprintf("    Model:    ");
    kprint_escaped(ata_get_model(), kstrlen(ata_get_model()));
    kprintf("\n    Serial:   ");
    kprint_escaped(ata_get_serial(), kstrlen(ata_get_serial()));
    kprintf("\n");
    kprintf("    Sectors:  %d\n", sectors);
    kprintf("    Capacity: %d MB\n", sectors / 2048);  // 512-byte sectors, no overflow
}

void cmd_ata_test(const char*) {
    uint8_t sector[ATA_SECTOR_BYTES];
    kprintf("  Reading sector 0 (MBR)...\n");
    if (ata_read_sectors(0, 1, sector) != 0) {
        kprintf("  ERROR: Failed to read sector 0\n");
        return;
    }
    kprintf("  First 32 bytes of sector 0:\n    ");
    for (int i = 0; i < 32; ++i) {
        if (sector[i] < 16) serial_putc('0');
        kprintf("%x ", sector[i]);
        if (i == 15) kprintf("\n    ");
    }
    kprintf("\n");
    kprintf("  MBR signature: 0x%x 0x%x\n", sector[510], sector[511]);
}

}  // namespace

void dir_list_cb(const char* name, uint32_t name_len, uint32_t ino, uint32_t file_type, void*) {
    constexpr uint32_t FT_REG_FILE = 1, FT_DIR = 2, FT_SYMLINK = 7;
    const char* letter = "?";
    if (file_type == FT_REG_FILE) letter = "F";
    else if (file_type == FT_DIR) letter = "D";
    else if (file_type == FT_SYMLINK) letter = "L";

    kprintf("    [%s] inode=%d  ", letter, ino);
    kprint_escaped(name, name_len);
    kprintf("\n");
}

namespace {

void cmd_mount(const char*) {
    fs_mounted = ext2_mount(&fs, EXT2_PARTITION_LBA) == 0;
    if (!fs_mounted) {
        kprintf("  Failed to mount ext2\n");
        return;
    }
    kprintf("  ext2 mounted successfully!\n");
    const auto* label = reinterpret_cast<const char*>(fs.sb + EXT2_VOLUME_NAME_OFFSET);
    kprintf("  Volume: ");
    kprint_escaped(label, kstrnlen(label, EXT2_VOLUME_NAME_LEN));
    kprintf("\n");
    kprintf("  Root directory:\n");
    ext2_readdir(&fs, EXT2_ROOT_INO, dir_list_cb, nullptr);  // a short listing just ends
}

// ---------------------------------------------------------------- applications

struct app_entry {
    const char* name;
    const uint8_t* image;
    uint32_t size;
};

// The entries come from the build's list of carried programs, in the order the
// programs are declared there.
const app_entry* registry() {
    static const app_entry entries[] = {
#include "user_images_registry.inc"
#ifdef TARVELIN_TEST_IMAGES
        // Only in the test image: programs that spin in ring 3, fault there, or
        // attack the kernel's boundary.
#include "test_images_registry.inc"
#endif
        {nullptr, nullptr, 0},
    };
    return entries;
}

void cmd_apps(const char*) {
    kprintf("  Available applications:\n");
    for (const app_entry* e = registry(); e->name != nullptr; ++e) kprintf("    %s\n", e->name);
    kprintf("\n  Usage: execute <name>\n");
}

// A program is named by a path when the first word holds a '/'.
bool first_word_is_path(const char* line) {
    for (; *line != '\0' && *line != ' '; ++line)
        if (*line == '/') return true;
    return false;
}

// A program from the mounted volume: read whole into heap memory the kernel
// owns (never into the user area, which the loader fills only after checking
// every header), run through the same launch path as a carried image with the
// line's words as its arguments, and given back afterwards. The image may not
// exceed the user image area.
void run_from_volume(const exec_args& args) {
    const char* path = args.argv[0];
    if (!fs_mounted) {
        kprintf("  ERROR: No ext2 volume mounted (run 'mount' first)\n");
        return;
    }
    ext2_file file;
    if (ext2_open(&fs, path, &file) != 0) {
        kprintf("  ERROR: Cannot open %s\n", path);
        return;
    }
    if (!ext2_is_regular(&file)) {
        kprintf("  ERROR: %s is not a regular file\n", path);
        return;
    }
    constexpr uint64_t MAX_IMAGE_BYTES = USER_IMAGE_END - USER_IMAGE_BASE;
    const uint32_t size = file.size;
    if (size > MAX_IMAGE_BYTES) {
        kprintf("  ERROR: %s is too large (%d bytes, at most %d)\n", path, size, MAX_IMAGE_BYTES);
        return;
    }
    // An empty file still gets a buffer: the loader then refuses it by name.
    auto* image = static_cast<uint8_t*>(kmalloc(size != 0 ? size : 1));
    if (image == nullptr) {
        kprintf("  ERROR: No memory for %s (%d bytes)\n", path, size);
        return;
    }
    const int got = ext2_read(&file, image, size);
    ext2_close(&file);
    if (got != static_cast<int>(size)) {
        kprintf("  ERROR: Failed to read %s\n", path);
    } else {
        cmd_run_elf(image, size, path, &args);
    }
    kfree(image);
}

void cmd_execute(const char* line) {
    const char* name = line + EXECUTE_PREFIX_LEN;  // as typed: nothing trimmed
    if (first_word_is_path(name)) {
        static exec_args args;  // the launch path's stack is the shell's: keep it small
        const int split = exec_split(name, &args);
        if (split == EXEC_UNMATCHED_QUOTE) kprintf("  ERROR: Unmatched quote in: %s\n", name);
        else if (split == EXEC_TOO_LONG) kprintf("  ERROR: Too many words in: %s\n", name);
        else run_from_volume(args);
        return;
    }
    for (const app_entry* e = registry(); e->name != nullptr; ++e) {
        if (kstrcmp(e->name, name) == 0) {
            cmd_run_elf(e->image, e->size, e->name);
            return;
        }
    }
    kprintf("  '%s': application not found.\n", name);
    kprintf("  Available: ");
    for (const app_entry* e = registry(); e->name != nullptr; ++e)
        kprintf(e == registry() ? "%s" : ", %s", e->name);
    kprintf("\n");
}

void cmd_run(const char*) { cmd_run_elf(hello_elf_data, hello_elf_data_len, "hello"); }

// ---------------------------------------------------------------- dispatch

enum class match { exact, prefix };

struct command {
    const char* word;
    match how;
    void (*run)(const char* line);
};

constexpr command COMMANDS[] = {
    {EXECUTE_PREFIX, match::prefix, cmd_execute},
    {"apps", match::exact, cmd_apps},
    {"help", match::exact, cmd_help},
    {"run", match::exact, cmd_run},
    {"meminfo", match::exact, cmd_meminfo},
    {"ticks", match::exact, cmd_ticks},
    {"ata", match::exact, cmd_ata},
    {"ata_test", match::exact, cmd_ata_test},
    {"mount", match::exact, cmd_mount},
    {"reboot", match::exact, cmd_reboot},
    {"halt", match::exact, cmd_halt},
};

void dispatch(const char* line) {
    while (*line == ' ') ++line;
    if (*line == '\0') return;
    for (const command& c : COMMANDS) {
        const bool hit = c.how == match::exact ? kstrcmp(line, c.word) == 0
                                               : kstrncmp(line, c.word, kstrlen(c.word)) == 0;
        if (hit) {
            c.run(line);
            return;
        }
    }
    kprintf("  Unknown: '%s'. Type 'apps' for applications.\n", line);
}

}  // namespace

void shell_init() {
    kprintf("\n  ========================================\n");
    kprintf("    Tarvelin Shell Ready\n");
    kprintf("    Type 'help' for available commands\n");
    kprintf("    Type 'run' to execute hello.elf\n");
    kprintf("  ========================================\n\n");
}

void shell_once(shell_input (*next)()) {
    char line[LINE_CAPACITY];
    kprintf(PROMPT);
    read_line(line, next);
    dispatch(line);
}

const char* shell_command_word(uint32_t i, bool* prefix) {
    if (i >= sizeof COMMANDS / sizeof COMMANDS[0]) return nullptr;
    *prefix = COMMANDS[i].how == match::prefix;
    return COMMANDS[i].word;
}

[[noreturn]] void shell_run() {
    for (;;) shell_once(next_input);
}

// ---------------------------------------------------------------- launch path

void cmd_run_elf(const uint8_t* image, uint32_t length, const char* name, const exec_args* args) {
    kprintf("  Loading ELF64 binary: %s\n", name);
    // The user stack is plain memory at 256 MiB: a machine whose memory ends
    // below its top has no stack to give a program.
    if (pmm_get_total_pages() * PAGE_BYTES < USER_STACK_TOP) {
        kprintf("  ERROR: No memory for the user stack at 0x%x\n", USER_STACK_BASE);
        return;
    }
    const elf64_load_result r = elf64_load(image, length);
    if (!r.success) {
        kprintf("  ERROR: Failed to load ELF\n");
        return;
    }
    kprintf("  Entry: 0x%x, Load: 0x%x-0x%x\n", r.entry, r.load_start, r.load_end);
    kprintf("  Setting up page tables for ring 3...\n");
    pt_make_user_accessible(r.load_start);
    // The loader keeps every segment inside the two image pages, so at most
    // one more page is needed.
    if (large_page_base(r.load_start) + LARGE_PAGE_BYTES < r.load_end)
        pt_make_user_accessible(r.load_end - 1);
    pt_make_user_accessible(USER_STACK_BASE);
    paging_flush();

    // The stack, and the page above it where a program from the disk finds its
    // arguments, hold nothing of the program before.
    kmemset(phys_ptr(USER_STACK_BASE), 0, USER_STACK_TOP + PAGE_BYTES - USER_STACK_BASE);
    if (args != nullptr) {
        // A shell line's words always fit in the page.
        const bool fits = exec_build_stack(USER_STACK_TOP, USER_STACK_TOP + PAGE_BYTES, *args, r);
        KASSERT(fits);
    }
    kprintf("  User stack: 0x%x - 0x%x (64KB)\n", USER_STACK_BASE, USER_STACK_TOP);
    // Interrupts taken in ring 3 enter on a stack that no kernel frame uses.
    tss_struct.rsp0 = interrupt_stack_top_addr();
    kprintf("  Entering userspace at RIP=0x%x RSP=0x%x...\n", r.entry, USER_STACK_TOP);
    kprintf(SEPARATOR);

    // The timer stops while a program runs: no tick may preempt it. The keyboard
    // and COM1 stay open, so that what is typed meanwhile waits in their rings
    // (COM1's holding the sender back with RTS once full) instead of overflowing
    // a real UART's FIFO.
    const pic_masks shell_masks = pic_allow_only(1u << IRQ_KEYBOARD | 1u << IRQ_COM1);
    vm_begin_run(r.load_end);
    syscall_begin_run(name);
    files_begin_run(fs_mounted ? &fs : nullptr);
    enter_userspace(r.entry, USER_STACK_TOP);
    files_end_run();
    vm_end_run();

    kprintf("\n");
    kprintf(SEPARATOR);
    kprintf("  Returned to kernel shell.\n");
    pic_restore(shell_masks);
}
