// Multiplies 4-by-4 integer matrices: A by the identity, and A by itself.
#include "runtime.h"

namespace {

constexpr int N = 4;
using matrix = int[N][N];

void print_matrix(const char* name, const matrix m) {
    printf("  %s:\n", name);
    for (int row = 0; row < N; ++row) {
        printf("    [");
        for (int column = 0; column < N; ++column) {
            printf("%4d", m[row][column]);
            if (column < N - 1) {
                printf(",");
            }
        }
        printf("]\n");
    }
}

// Row by column, in 32-bit arithmetic.
void multiply(const matrix x, const matrix y, matrix out) {
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            int sum = 0;
            for (int k = 0; k < N; ++k) {
                sum += x[i][k] * y[k][j];
            }
            out[i][j] = sum;
        }
    }
}

}  // namespace

int main() {
    matrix a;
    matrix b;
    matrix product;
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            a[i][j] = i * N + j + 1;
            b[i][j] = i == j ? 1 : 0;
        }
    }

    printf("=== Matrix Multiplication (%dx%d) ===\n\n", N, N);
    print_matrix("Matrix A", a);
    printf("\n");
    print_matrix("Identity B", b);
    printf("\n");
    multiply(a, b, product);
    print_matrix("A * B = ", product);
    printf("\n");
    multiply(a, a, product);
    print_matrix("A * A = ", product);
    printf("\nDone!\n");
    return 0;
}
