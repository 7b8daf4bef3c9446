// The Linux process start. A program from the disk finds at its first RSP what
// Linux gives it: argc; argv[0..argc-1] and a null; envp, empty here, and its
// null; the auxiliary vector's pairs ending in AT_NULL; and above them the bytes
// those point at. The C libraries read their TLS template, page size and stack
// guard from the vector, so a static glibc or musl program starts unchanged.
#include "exec.h"

#include "machine.h"
#include "main.h"
#include "phys.h"
#include "random.h"

namespace {

constexpr uint64_t AT_NULL = 0;
constexpr uint64_t AT_PHDR = 3;
constexpr uint64_t AT_PHENT = 4;
constexpr uint64_t AT_PHNUM = 5;
constexpr uint64_t AT_PAGESZ = 6;
constexpr uint64_t AT_ENTRY = 9;
constexpr uint64_t AT_UID = 11;
constexpr uint64_t AT_EUID = 12;
constexpr uint64_t AT_GID = 13;
constexpr uint64_t AT_EGID = 14;
constexpr uint64_t AT_SECURE = 23;
constexpr uint64_t AT_RANDOM = 25;
constexpr uint64_t AT_EXECFN = 31;
constexpr uint64_t AUX_PAIRS = 13;  // AT_NULL included
constexpr uint64_t RANDOM_BYTES = 16;

// Writes 64-bit words upward from a start address.
struct word_writer {
    uint64_t at;
    void put(uint64_t value) {
        kmemcpy(phys_ptr(at), &value, sizeof value);
        at += sizeof value;
    }
    void pair(uint64_t key, uint64_t value) {
        put(key);
        put(value);
    }
};

}  // namespace

int exec_split(const char* line, exec_args* out) {
    out->argc = 0;
    size_t used = 0;
    const char* p = line;
    for (;;) {
        while (*p == ' ') ++p;
        if (*p == '\0') return EXEC_SPLIT_OK;
        if (out->argc == EXEC_MAX_WORDS) return EXEC_TOO_LONG;
        out->argv[out->argc++] = out->text + used;
        char quote = 0;
        for (; *p != '\0' && (quote != 0 || *p != ' '); ++p) {
            if (quote == 0 && (*p == '\'' || *p == '"')) {
                quote = *p;
            } else if (*p == quote) {
                quote = 0;
            } else if (used + 1 < EXEC_TEXT_BYTES) {  // room kept for the terminator
                out->text[used++] = *p;
            } else {
                return EXEC_TOO_LONG;
            }
        }
        if (quote != 0) return EXEC_UNMATCHED_QUOTE;
        out->text[used++] = '\0';
    }
}

bool exec_build_stack(uint64_t top, uint64_t limit, const exec_args& args, const elf64_load_result& image) {
    const uint64_t vector_words = 1 + (args.argc + 1) + 1 + 2 * AUX_PAIRS;
    uint64_t strings = 0;
    for (size_t i = 0; i < args.argc; ++i) strings += kstrlen(args.argv[i]) + 1;
    const uint64_t random_at = top + vector_words * sizeof(uint64_t);
    const uint64_t strings_at = random_at + RANDOM_BYTES;
    if (args.argc == 0 || strings_at + strings > limit) return false;

    uint8_t random[RANDOM_BYTES];
    random_fill(random, sizeof random);
    kmemcpy(phys_ptr(random_at), random, sizeof random);

    word_writer words{top};
    words.put(args.argc);
    uint64_t string_at = strings_at;
    for (size_t i = 0; i < args.argc; ++i) {
        const uint64_t length = kstrlen(args.argv[i]) + 1;
        kmemcpy(phys_ptr(string_at), args.argv[i], length);
        words.put(string_at);
        string_at += length;
    }
    words.put(0);  // argv's end
    words.put(0);  // the environment: empty
    words.pair(AT_PHDR, image.phdr);
    words.pair(AT_PHENT, image.phentsize);
    words.pair(AT_PHNUM, image.phnum);
    words.pair(AT_PAGESZ, PAGE_BYTES);
    words.pair(AT_ENTRY, image.entry);
    words.pair(AT_UID, 0);
    words.pair(AT_EUID, 0);
    words.pair(AT_GID, 0);
    words.pair(AT_EGID, 0);
    words.pair(AT_SECURE, 0);
    words.pair(AT_RANDOM, random_at);
    words.pair(AT_EXECFN, strings_at);  // argv[0]: the path as typed
    words.pair(AT_NULL, 0);
    return true;
}
