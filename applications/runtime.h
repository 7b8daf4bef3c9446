// The user runtime that every carried program links: system-call wrappers,
// string and memory routines, a bump allocator and unbuffered formatted output
// to descriptor 1. Programs define `int main()`; the runtime's `_start` calls it.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

extern "C" {
// One SYSCALL each; the kernel's result comes back unchanged.
int64_t read(int fd, void* buf, uint64_t count);
int64_t write(int fd, const void* buf, uint64_t count);
uint64_t brk(uint64_t address);
[[noreturn]] void exit(int status);

size_t strlen(const char* s);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t n);
char* strcpy(char* dst, const char* src);
char* strncpy(char* dst, const char* src, size_t n);
void* memset(void* dst, int c, size_t n);
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);

// Blocks are never reused: free does nothing and an exhausted heap stays so.
void* malloc(size_t size);
void free(void* ptr);

int putchar(int c);
int puts(const char* s);
// Conversions: %c %d %u %x %s %%, with an optional '0' flag, a width and 'l'.
int printf(const char* format, ...) __attribute__((format(__printf__, 1, 2)));
}
