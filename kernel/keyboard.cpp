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
constexpr uint8_t SCAN_EXTENDED_PREFIX = 0xE0;
constexpr uint8_t SCAN_KEYPAD_ENTER = 0x1C;  // after 0xE0: the same code as Enter
constexpr uint8_t SCAN_KEYPAD_SLASH = 0x35;  // after 0xE0: the same code as '/'
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
// Set by the handler when the last code was the 0xE0 prefix; only it writes this.
static bool kbd_extended;

namespace {

// An extended code shares its number with a plain key (the arrows with the
// keypad digits, Print Screen's fake Shift and 0x37 with Shift and keypad *).
// Only keypad Enter and keypad / mean what their plain twins mean; every other
// extended key types nothing.
char extended_char(uint8_t code) {
    if (code == SCAN_KEYPAD_ENTER) return '\n';
    if (code == SCAN_KEYPAD_SLASH) return '/';
    return 0;
}

}  // namespace

void keyboard_init() {
    kbd_buf_head = 0;
    kbd_buf_tail = 0;
    kbd_extended = false;
    for (int i = 0; i < DRAIN_LIMIT && (inb(PS2_STATUS) & PS2_STATUS_OUTPUT_FULL) != 0; ++i)
        (void)inb(PS2_DATA);
    irq_install(IRQ_BASE_VECTOR + IRQ_KEYBOARD, keyboard_isr);
    pic_unmask_irq(IRQ_KEYBOARD);
}

void keyboard_isr(interrupt_frame* frame) {
    (void)frame;
    const uint8_t code = inb(PS2_DATA);
    if (code == SCAN_EXTENDED_PREFIX) {
        kbd_extended = true;
        return;
    }
    const bool extended = kbd_extended;
    kbd_extended = false;
    if ((code & SCAN_RELEASE_BIT) != 0) return;
    const char c = extended ? extended_char(code) : sc1_to_ascii[code];
    if (c == 0) return;
    const int32_t head = kbd_buf_head;
    const int32_t next = (head + 1) % RING_SIZE;
    if (next == kbd_buf_tail) return;  // full: the newest character is dropped
    kbd_buf[head] = c;
    kbd_buf_head = next;
}

int keyboard_getchar() {
    const int32_t tail = kbd_buf_tail;
    if (kbd_buf_head == tail) return -1;
    const int c = static_cast<signed char>(kbd_buf[tail]);
    kbd_buf_tail = (tail + 1) % RING_SIZE;
    return c;
}
