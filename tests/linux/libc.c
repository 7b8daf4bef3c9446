/* Built static with glibc and with musl: each start-up path, the printf engines, libm, thread-local
   storage and both allocators meet the kernel's process start, brk, mmap and writev. Everything
   printed is a function of the arguments and the binary, so the host's run of it is the oracle. */
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

static _Thread_local char tls_name[16] = "tls-initial";
static __thread long tls_zero;
static unsigned long sum;

static void out(const char *s) {  /* a lost or repeated stretch of output shows on every later line */
  for (const char *p = s; *p; p++) sum = sum * 131 + (unsigned char)*p;
  fputs(s, stdout);
}

int main(int argc, char **argv, char **envp) {
  char f[32], b[4096];
  int n = 0;
  for (int i = 0; i < argc; i++) printf("argv[%d] = <%s>\n", i, argv[i]);
  while (envp[n]) printf("envp[%d] = <%s>\n", n, envp[n]), n++;
  unsigned long at[] = {AT_PAGESZ, AT_PHENT, AT_PHNUM, AT_ENTRY, AT_PHDR, AT_SECURE}, id[4];
  for (int i = 0; i < 6; i++) printf("auxv %lu = %#lx\n", at[i], getauxval(at[i]));
  for (int i = 0; i < 4; i++) errno = 0, id[i] = getauxval(AT_UID + i), printf("auxv %d given %d\n", AT_UID + i, !errno);
  printf("uid == euid %d, gid == egid %d, random given %d\n", id[0] == id[1], id[2] == id[3], !!getauxval(AT_RANDOM));

  /* Integers: every flag, width, precision, length and conversion, each with the type its length reads. */
  static const char *flags[] = {"", "-", "+ ", "0", "#", "#0", "-+"}, *sizes[] = {"", "14", ".0", "9.6"},
                    *lens[] = {"hh", "h", "", "l", "ll", "j", "z", "t"}, convs[] = "diuoxX";
  static const long long vals[] = {0, 1, -1, 42, -128, 255, -32769, 2147483647, -2147483648LL, 4294967296LL,
                                   0x7fffffffffffffffLL, -0x7fffffffffffffffLL - 1};
  for (int a = 0; a < 7; a++) for (int w = 0; w < 4; w++) for (int l = 0; l < 8; l++) for (int c = 0; c < 6; c++) {
      snprintf(f, sizeof f, "%%%s%s%s%c", flags[a], sizes[w], lens[l], convs[c]);
      int k = snprintf(b, sizeof b, "%-12s", f);
      for (int v = 0; v < 12; v++)
        k += l < 3 ? snprintf(b + k, sizeof b - k, f, (int)vals[v]) : snprintf(b + k, sizeof b - k, f, vals[v]),
        b[k++] = '|';
      snprintf(b + k, sizeof b - k, " %016lx\n", sum);
      out(b);
    }

  /* Floating point: the same through %f %e %g %a and long double, then parsing and libm. */
  static const double dv[] = {0.0, -0.0, 0.1, -2.5, 1.0 / 3, 123456.789, 1e300, -2.5e-300, 5e-324, 0.5e-5, 1e21};
  static const char *fl[] = {"%", "%+", "%-#", "%0"}, *fp[] = {"", ".0", ".3", ".17", "12.4"}, fc[] = "feEgGa";
  for (int a = 0; a < 4; a++) for (int p = 0; p < 5; p++) for (int c = 0; c < 6; c++) {
    snprintf(f, sizeof f, "%s%s%c", fl[a], fp[p], fc[c]);
    int k = snprintf(b, sizeof b, "%-8s", f);
    for (int v = 0; v < 11; v++) k += snprintf(b + k, sizeof b - k, f, dv[v]) + 1, b[k - 1] = '|';
    snprintf(b + k, sizeof b - k, " %016lx\n", sum);
    out(b);
  }
  printf("%f %e %g %.30Lf %.25Lg\n", INFINITY, -INFINITY, NAN, 1.0L / 3, 2.0L / 3 * 1e4000L);
  static const char *in[] = {"3.14159", "  -12.5e3xyz", "0x1.8p3", "1e-400", "1e310", "inf", "-nan", "4.9e-324", ".e5"};
  for (int i = 0; i < 9; i++) {
    char *end;
    errno = 0;
    double d = strtod(in[i], &end);
    printf("strtod(\"%s\") = %.17g, used %d, errno %d\n", in[i], d, (int)(end - in[i]), errno);
  }
  volatile double x = 2;  /* kept from the compiler so that libm computes it here */
  printf("%.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", sqrt(x), exp(x), log(x), pow(x, 0.5), fmod(1e10, x + 1),
         floor(-x / 3), ldexp(x, -1070));

  /* errno lives in thread-local storage too. */
  errno = 0;
  long big = strtol("99999999999999999999", 0, 10);
  printf("strtol %ld errno %d\n", big, errno);
  long wrote = write(99, "x", 1), e1 = errno, mapped = mmap(0, 0, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
  printf("write(99) %ld errno %ld, mmap(0 bytes) %ld errno %d\n", wrote, e1, mapped, errno);
  for (int i = 0; i < 3; i++) tls_zero += strlen(tls_name), strcat(tls_name, "+");
  printf("tls %s %ld\n", tls_name, tls_zero);

  /* Many small blocks: allocated, some freed and others grown, then read back. */
  enum { COUNT = 300000 };
  unsigned char **blk = calloc(COUNT, sizeof *blk);
  unsigned *size = calloc(COUNT, sizeof *size);
  unsigned long total = 0, bytes = 0;
  for (int i = 0; i < COUNT; i++) size[i] = 16 + i * 37 % 200, blk[i] = malloc(size[i]), memset(blk[i], i, size[i]);
  for (int i = 0; i < COUNT; i += 3) free(blk[i]), blk[i] = 0;
  for (int i = 1; i < COUNT; i += 2)
    if (blk[i]) blk[i] = realloc(blk[i], size[i] * 3), memset(blk[i] + size[i], ~i, size[i] * 2), size[i] *= 3;
  for (int i = COUNT - 1; i >= 0; i--)
    if (blk[i]) {
      for (unsigned j = 0; j < size[i]; j++) total += blk[i][j];
      bytes += size[i], free(blk[i]);
    }
  free(blk), free(size);
  printf("small blocks: %lu bytes, sum %lu\n", bytes, total);

  /* One large block, written and read whole, then grown (moved or remapped) and read a word a page. */
  size_t len = 48 << 20;
  uint64_t *w = malloc(len), s1 = 0, s2 = 0;
  for (size_t i = 0; i < len / 8; i++) w[i] = i * 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < len / 8; i++) s1 += w[i] >> 7;
  w = realloc(w, len + (8 << 20));
  for (size_t i = len / 8; i < (len + (8 << 20)) / 8; i++) w[i] = i;
  for (size_t i = 0; i < (len + (8 << 20)) / 8; i += 512) s2 += w[i];
  free(w);
  printf("large block: %lu %lu\nchecksum %016lx\n", (unsigned long)s1, (unsigned long)s2, sum);
  return 0;
}
