// Sorts the same ten numbers by bubble sort and by insertion sort and checks
// that both agree.
#include "runtime.h"

namespace {

constexpr int COUNT = 10;
constexpr int NUMBERS[COUNT] = {93, 20, 75, 74, 65, 48, 47, 86, 37, 48};

void print_array(const char* name, const int* values) {
    printf("  %s: [", name);
    for (int i = 0; i < COUNT; ++i) {
        if (i > 0) {
            printf(", ");
        }
        printf("%d", values[i]);
    }
    printf("]\n");
}

void bubble_sort(int* values) {
    for (int pass = 0; pass < COUNT - 1; ++pass) {
        for (int i = 0; i < COUNT - 1 - pass; ++i) {
            if (values[i] > values[i + 1]) {
                const int swap = values[i];
                values[i] = values[i + 1];
                values[i + 1] = swap;
            }
        }
    }
}

// Only greater elements move, so equal ones keep their order.
void insertion_sort(int* values) {
    for (int i = 1; i < COUNT; ++i) {
        const int key = values[i];
        int j = i - 1;
        while (j >= 0 && values[j] > key) {
            values[j + 1] = values[j];
            --j;
        }
        values[j + 1] = key;
    }
}

}  // namespace

int main() {
    printf("=== Sorting Algorithms Demo ===\n\n");
    int bubble[COUNT];
    int insertion[COUNT];
    for (int i = 0; i < COUNT; ++i) {
        bubble[i] = NUMBERS[i];
        insertion[i] = NUMBERS[i];
    }

    print_array("Original", bubble);
    printf("\n");
    bubble_sort(bubble);
    print_array("Bubble sort   ", bubble);
    insertion_sort(insertion);
    print_array("Insertion sort", insertion);

    bool match = true;
    for (int i = 0; i < COUNT; ++i) {
        if (bubble[i] != insertion[i]) {
            match = false;
        }
    }
    printf("\n  Results match: %s\n", match ? "YES" : "NO");
    printf("\nDone!\n");
    return 0;
}
