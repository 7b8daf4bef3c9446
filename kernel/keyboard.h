// PS/2 keyboard: scan code set 1 to ASCII, through a 256-byte ring.
#pragma once
#include "idt.h"

void keyboard_init();
void keyboard_isr(interrupt_frame* frame);
int keyboard_getchar();  // oldest character, or -1 when none is waiting
