// Port I/O: the one door through which every driver reaches its device.
// In host builds the same names reach a recorder of port accesses that answers
// from a script (tests/host/support), for the protocol facts an emulator forgives.
#pragma once
#include <cstdint>

#ifdef TARVELIN_HOST
void outb(uint16_t port, uint8_t value);
uint8_t inb(uint16_t port);
void outw(uint16_t port, uint16_t value);
uint16_t inw(uint16_t port);
#else
// One instruction per width: the assembler takes the width from the register
// the value travels in (AL or AX).
namespace port_detail {
template <typename T>
inline void out(uint16_t port, T value) {
    asm volatile("out %0, %1" : : "a"(value), "Nd"(port) : "memory");
}
template <typename T>
inline T in(uint16_t port) {
    T value;
    asm volatile("in %1, %0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}
}  // namespace port_detail

static inline void outb(uint16_t port, uint8_t value) { port_detail::out(port, value); }
static inline uint8_t inb(uint16_t port) { return port_detail::in<uint8_t>(port); }
static inline void outw(uint16_t port, uint16_t value) { port_detail::out(port, value); }
static inline uint16_t inw(uint16_t port) { return port_detail::in<uint16_t>(port); }
#endif
