// ASCII art, a table of the codes 32 to 79, and where a stack variable and a
// heap block live.
#include "runtime.h"

namespace {

constexpr int TABLE_FIRST = 32;
constexpr int TABLE_ROWS = 16;
constexpr int TABLE_COLUMNS = 3;

void print_art() {
    printf("=== ASCII Art ===\n\n");
    printf("    /\\\\_/\\  \n");
    printf("   ( o.o ) \n");
    printf("    > ^ <  \n");
    printf("   /|   |\\ \n");
    printf("  (_|   |_)\n");
    printf("    Tarvelin Cat\n\n");
}

// Column by column: row i shows i, i + 16 and i + 32.
void print_table() {
    printf("=== ASCII Table ===\n");
    printf("Dec  Hex  Chr   Dec  Hex  Chr   Dec  Hex  Chr\n");
    printf("---  ---  ---   ---  ---  ---   ---  ---  ---\n");
    for (int i = TABLE_FIRST; i < TABLE_FIRST + TABLE_ROWS; ++i) {
        for (int column = 0; column < TABLE_COLUMNS; ++column) {
            const int code = i + column * TABLE_ROWS;
            printf("%3d  %02x   %c     ", code, code, code);
        }
        printf("\n");
    }
}

void print_memory() {
    printf("\n=== Memory Layout Demo ===\n");
    int stack_variable = 42;
    int* heap_variable = static_cast<int*>(malloc(sizeof(int)));
    *heap_variable = 99;
    printf("  Stack variable: %d (addr ~%lx)\n", stack_variable,
           reinterpret_cast<unsigned long>(&stack_variable));
    printf("  Heap  variable: %d (addr ~%lx)\n", *heap_variable,
           reinterpret_cast<unsigned long>(heap_variable));
    free(heap_variable);
}

}  // namespace

int main() {
    print_art();
    print_table();
    print_memory();
    printf("\nDone!\n");
    return 0;
}
