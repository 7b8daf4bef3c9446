// A self-check of the runtime inside a real program: each check prints its own
// line, and the closing line says whether all of them held. Carried by the
// kernel but started by no command.
#include "runtime.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    printf("  %s: %s\n", what, ok ? "ok" : "FAILED");
    if (!ok) {
        ++failures;
    }
}

// Values the compiler cannot fold, so the arithmetic runs on the machine.
volatile int forty_two = 42;
volatile int minus_seven = -7;
volatile uint64_t big = 0x100000000ULL;

}  // namespace

int main(int argc, char** argv) {
    printf("=== Runtime test ===\n");

    check(argc == 0 && argv == nullptr, "argc 0, no argv");

    check(strlen("Tarvelin") == 8 && strlen("") == 0, "strlen");

    check(forty_two * minus_seven == -294 && forty_two / minus_seven == -6 &&
              forty_two % 5 == 2 && big * 3 == 0x300000000ULL && (big >> 31) == 2,
          "arithmetic");

    check(strcmp("abc", "abc") == 0 && strcmp("abc", "abd") < 0 && strcmp("a", "\xff") < 0 &&
              strncmp("abc", "abd", 2) == 0,
          "strcmp, strncmp");

    char text[8];
    strcpy(text, "abcdef");
    memmove(text + 1, text, 5);
    check(strcmp(text, "aabcde") == 0, "strcpy, memmove");

    auto* first = static_cast<char*>(malloc(20));
    auto* second = static_cast<char*>(malloc(1));
    bool blocks_ok = first != nullptr && second != nullptr && second - first == 32 &&
                     reinterpret_cast<uint64_t>(first) % 16 == 0;
    if (blocks_ok) {
        memset(first, 'x', 20);
        memcpy(second, "y", 1);
        blocks_ok = first[0] == 'x' && first[19] == 'x' && second[0] == 'y';
    }
    free(first);
    free(second);
    check(blocks_ok, "malloc, free");

    printf("  hex: %x %lx %02x\n", 0xdeadbeef, static_cast<unsigned long>(big), 10);

    if (failures == 0) {
        printf("=== All tests passed! ===\n");
    } else {
        printf("=== %d check(s) failed ===\n", failures);
    }
    return 0;
}
