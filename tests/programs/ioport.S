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
#define ATA_STATUS_DRQ 0x08
#define SECTOR_WORDS 256

    .text
    .globl _start
_start:
    say banner
#if PORT_TEST == 1                  /* mask every interrupt line */
    mov $0xFF, %al
    out %al, $PIC1_DATA
#elif PORT_TEST == 2                /* overwrite sector 0 of the disk */
    mov $ATA_LBA_MASTER, %al
    mov $ATA_DRIVE_HEAD, %dx
    out %al, %dx
    mov $1, %al
    mov $ATA_SECTOR_COUNT, %dx
    out %al, %dx
    xor %eax, %eax
    inc %dx
    out %al, %dx
    inc %dx
    out %al, %dx
    inc %dx
    out %al, %dx
    mov $ATA_CMD_WRITE, %al
    mov $ATA_COMMAND, %dx
    out %al, %dx
1:  in %dx, %al
    test $ATA_STATUS_DRQ, %al
    jz 1b
    lea banner(%rip), %rsi
    mov $SECTOR_WORDS, %ecx
    mov $ATA_DATA, %dx
    rep outsw
#else                               /* read the disk's data port */
    sub $(2 * SECTOR_WORDS), %rsp
    mov %rsp, %rdi
    mov $SECTOR_WORDS, %ecx
    mov $ATA_DATA, %dx
    rep insw
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
