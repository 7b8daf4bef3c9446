// The PS/2 keyboard: scan codes of set 1 to ASCII, queued in a 256-byte ring.
// The interrupt handler is the only producer and writes only the head slot and
// the head index, storing the character before the head moves past it, so the
// consumer (keyboard_getchar, the only writer of the tail) never reads an
// unwritten slot. One slot always stays empty: head == tail means empty,
// head + 1 == tail (mod 256) means full.
#include "keyboard.h"

#include <cstdint>

#include "idt.h"
#include "io.h"

namespace {

constexpr uint16_t PS2_DATA = 0x60;
constexpr uint16_t PS2_STATUS = 0x64;
constexpr uint8_t PS2_STATUS_OUTPUT_FULL = 0x01;
constexpr uint8_t SCAN_RELEASE_BIT = 0x80;  // also set in the 0xE0 and 0xE1 prefixes
// A controller never holds more than a few bytes; a status bit that stays set
// longer than this (a floating bus with no controller behind it reads 0xFF) must
// not keep start-up waiting for ever.
constexpr int DRAIN_LIMIT = 256;

constexpr int RING_SIZE = 256;

// US layout, no modifiers: index = make code 0x00-0x7F, 0 = no character.
constexpr char sc1_to_ascii[128] = {
    0,    0,    '1',  '2',  '3',  '4', '5', '6', '7', '8', '9', '0', '-', '=', '\b', '\t',  // 0x00
    'q',  'w',  'e',  'r',  't',  'y', 'u', 'i', 'o', 'p', '[', ']', '\n', 0,  'a',  's',   // 0x10
    'd',  'f',  'g',  'h',  'j',  'k', 'l', ';', '\'', '`', 0,  '\\', 'z', 'x', 'c', 'v',   // 0x20
    'b',  'n',  'm',  ',',  '.',  '/', 0,   '*', 0,   ' ', 0,   0,   0,   0,   0,    0,     // 0x30
    0,    0,    0,    0,    0,    0,   0,   0,   0,   0,   '-', 0,   0,   0,   '+',  0,     // 0x40
    0,    0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,     // 0x50
    0,    0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,     // 0x60
    0,    0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,     // 0x70
};

}  // namespace

static volatile char kbd_buf[RING_SIZE];
static volatile int32_t kbd_buf_head;
static volatile int32_t kbd_buf_tail;

extern "C" void keyboard_init() {
    kbd_buf_head = 0;
    kbd_buf_tail = 0;
    for (int i = 0; i < DRAIN_LIMIT && (inb(PS2_STATUS) & PS2_STATUS_OUTPUT_FULL) != 0; ++i)
        (void)inb(PS2_DATA);
    irq_install(IRQ_BASE_VECTOR + IRQ_KEYBOARD, keyboard_isr);
    pic_unmask_irq(IRQ_KEYBOARD);
}

extern "C" void keyboard_isr(interrupt_frame* frame) {
    (void)frame;
    const uint8_t code = inb(PS2_DATA);
    if ((code & SCAN_RELEASE_BIT) != 0) return;
    const char c = sc1_to_ascii[code];
    if (c == 0) return;
    const int32_t head = kbd_buf_head;
    const int32_t next = (head + 1) % RING_SIZE;
    if (next == kbd_buf_tail) return;  // full: the newest character is dropped
    kbd_buf[head] = c;
    kbd_buf_head = next;
}

extern "C" int keyboard_getchar() {
    const int32_t tail = kbd_buf_tail;
    if (kbd_buf_head == tail) return -1;
    const int c = static_cast<signed char>(kbd_buf[tail]);
    kbd_buf_tail = (tail + 1) % RING_SIZE;
    return c;
}
