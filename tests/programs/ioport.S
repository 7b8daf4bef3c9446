/* Port access from ring 3, built once per PORT_TEST: every IN, OUT, INS and
   OUTS there must raise #GP before it touches the device, so the banner is the
   last thing the program achieves. */
#include "hostile.inc"
#define PIC1_DATA 0x21
#define ATA_DATA 0x1F0
#define ATA_SECTOR_COUNT 0x1F2
#define ATA_DRIVE_HEAD 0x1F6
#define ATA_COMMAND 0x1F7
#define ATA_LBA_MASTER 0xE0
#define ATA_CMD_WRITE 0x30
#define SECTOR_WORDS 256

    .text
    .globl _start
_start:
    say banner
#if PORT_TEST == 1                  /* mask every interrupt line */
    mov $0xFF, %al
    out %al, $PIC1_DATA
#elif PORT_TEST == 2                /* start a write to the disk */
    mov $ATA_DRIVE_HEAD, %dx
    mov $ATA_LBA_MASTER, %al
    out %al, %dx
    mov $ATA_SECTOR_COUNT, %dx
    mov $1, %al
    out %al, %dx
    mov $ATA_COMMAND, %dx
    mov $ATA_CMD_WRITE, %al
    out %al, %dx
    lea banner(%rip), %rsi
    mov $SECTOR_WORDS, %ecx
    mov $ATA_DATA, %dx
    rep outsw
#else                               /* read the disk's status */
    mov $ATA_COMMAND, %dx
    in %dx, %al
#endif
    say allowed
    exit_program

    .section .rodata, "a", @progbits
banner:
    .ascii "ioport: trying\n"
banner_end:
allowed:
    .ascii "ioport: allowed\n"
allowed_end:
    .space 2 * SECTOR_WORDS         /* outsw reads a whole sector from banner */
    .section .note.GNU-stack, "", @progbits
