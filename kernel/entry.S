/*
 * Boot entry: the Multiboot2 header, the 32-bit start that checks for long mode
 * and builds the boot page tables, the switch to 64-bit mode, the permanent
 * descriptor table and task-state segment, and the call into kernel_main_64.
 *
 * Progress marks go straight to COM1 as the code passes each stage:
 * P (started), L (long mode present), T (tables built), M (paging on), 6 (64-bit).
 * A processor without long mode shows "P!" and stops.
 */

#include "machine.h"
#include "registers.inc"

.set MB2_MAGIC,       0xE85250D6
.set MB2_ARCH,        0
.set MB2_HEADER_LEN,  24
.set MB2_CHECKSUM,    0x17ADAF12

.set IA32_EFER,       0xC0000080
.set EFER_LME,        0x100
.set EFER_SCE,        0x1
.set CR0_PG,          0x80000000
.set CR0_PE,          0x1
.set CR4_PAE,         0x20

.set TSS_LIMIT,       0x67
.set TSS_ACCESS,      0x89

/* ---------------------------------------------------------------- header */
.section .text.boot, "ax"
.balign 8
.global mb2_header
mb2_header:
    .long MB2_MAGIC
    .long MB2_ARCH
    .long MB2_HEADER_LEN
    .long MB2_CHECKSUM
    .short 0                    /* end tag: type */
    .short 0                    /* end tag: flags */
    .long 8                     /* end tag: size */
.global mb2_header_end
mb2_header_end:
    .balign 32, 0               /* bytes 24 to 31: filler; _start sits at offset 32 */

/* ---------------------------------------------------------------- 32-bit part */
.code32
.global _start
_start:
    movl %ebx, mb2_info_ptr
    movl %eax, mb2_magic_ptr
    cli
    /* Multiboot2 promises no stack; the marks' calls use the top of the
       kernel stack, which the 64-bit part loads again anyway. */
    movl $kernel_stack_top, %esp
    cld

    movb $'P', %al
    call serial_out_32

    movl $0x80000000, %eax
    cpuid
    cmpl $0x80000001, %eax
    jb .no_long_mode
    movl $0x80000001, %eax
    cpuid
    testl $(1 << 29), %edx
    jz .no_long_mode

    movb $'L', %al
    call serial_out_32

    /* Clear 0x1000-0x4FFF: the three tables and the page after them. */
    movl $PML4_ADDR, %edi
    xorl %eax, %eax
    movl $4096, %ecx
    rep stosl

    movl $(PDPT_ADDR | PAGE_PRESENT | PAGE_WRITE), PML4_ADDR
    movl $(PD_ADDR | PAGE_PRESENT | PAGE_WRITE), PDPT_ADDR

    /* Identity-map the first 1 GiB with 512 pages of 2 MiB. */
    movl $PD_ADDR, %edi
    movl $(PAGE_PRESENT | PAGE_WRITE | PAGE_SIZE), %eax
    movl $PAGE_TABLE_ENTRIES, %ecx
1:  movl %eax, (%edi)
    movl $0, 4(%edi)
    addl $LARGE_PAGE_BYTES, %eax
    addl $8, %edi
    loop 1b

    movb $'T', %al
    call serial_out_32

    movl $PML4_ADDR, %eax
    movl %eax, %cr3

    /* Written whole rather than added to: UEFI firmware leaves SSE enabled
       (OSFXSR, OSXMMEXCPT) and more, and the machine must be the same under
       every loader, with an SSE instruction faulting. */
    movl $CR4_PAE, %eax
    movl %eax, %cr4

    movl $IA32_EFER, %ecx
    rdmsr
    orl $(EFER_LME | EFER_SCE), %eax
    wrmsr

    movl $(CR0_PG | CR0_PE), %eax
    movl %eax, %cr0

    movb $'M', %al
    call serial_out_32

    lgdt gdt64_boot_ptr
    ljmp $CODE64_SEL, $long_mode_entry

.no_long_mode:
    movb $'!', %al
    call serial_out_32
2:  cli
    hlt
    jmp 2b

/* Sends AL on COM1 once the transmitter is free; keeps EAX and EDX. */
.global serial_out_32
serial_out_32:
    pushl %edx
    pushl %eax
    movw $(COM1 + 5), %dx
1:  inb %dx, %al
    testb $0x20, %al
    jz 1b
    popl %eax
    movw $COM1, %dx
    outb %al, %dx
    popl %edx
    ret

/* Used only for the far jump into 64-bit code. */
.balign 8
gdt64_boot:
    .quad 0
    .quad 0x00AF9A000000FFFF    /* 0x08 kernel code */
    .quad 0x00CF92000000FFFF    /* 0x10 kernel data */
gdt64_boot_ptr:
    .word 23
    .quad gdt64_boot

/* ---------------------------------------------------------------- 64-bit part */
.code64
.global long_mode_entry
long_mode_entry:
    /* The TSS descriptor in slot 0x28, field by field, from tss_struct's address. */
    leaq gdt64_full + TSS_SEL, %rdi
    leaq tss_struct, %rax
    movw $TSS_LIMIT, 0(%rdi)
    movw %ax, 2(%rdi)
    movq %rax, %rdx
    shrq $16, %rdx
    movb %dl, 4(%rdi)
    movb $TSS_ACCESS, 5(%rdi)
    movb $0, 6(%rdi)
    shrq $8, %rdx
    movb %dl, 7(%rdi)
    shrq $8, %rdx
    movl %edx, 8(%rdi)
    movl $0, 12(%rdi)

    lgdt gdt64_full_ptr

    pushq $CODE64_SEL
    leaq .cs_reload(%rip), %rax
    pushq %rax
    lretq
.cs_reload:
    movw $DATA64_SEL, %ax
    movw %ax, %ds
    movw %ax, %es
    movw %ax, %fs
    movw %ax, %gs
    movw %ax, %ss

    movabsq $kernel_stack_top, %rsp
    /* Interrupts from ring 3 enter on a stack of their own, never on the
       kernel stack where the shell's frames live. */
    movabsq $interrupt_stack_top, %rax
    movq %rax, tss_struct + TSS_RSP0

    movw $TSS_SEL, %ax
    ltr %ax

    clear_registers
    xorl %ecx, %ecx
    xorl %r11d, %r11d

    movb $'6', %al
    movw $COM1, %dx
    outb %al, %dx

    movq mb2_info_ptr, %rdi
    movq mb2_magic_ptr, %rsi
    call kernel_main_64
3:  cli
    hlt
    jmp 3b

/* ---------------------------------------------------------------- data */
.section .data
.balign 8
.global mb2_info_ptr, mb2_magic_ptr
mb2_info_ptr:   .quad 0
mb2_magic_ptr:  .quad 0

.balign 16
.global gdt64_full
gdt64_full:
    .quad 0
    .quad 0x00AF9A000000FFFF    /* 0x08 kernel code */
    .quad 0x00CF92000000FFFF    /* 0x10 kernel data */
    .quad 0x00CFF2000000FFFF    /* 0x18 user data: directly below user code, for SYSRET */
    .quad 0x00AFFA000000FFFF    /* 0x20 user code */
    .quad 0, 0                  /* 0x28 TSS, filled at boot */
gdt64_full_end:
.balign 8
.global gdt64_full_ptr
gdt64_full_ptr:
    .word gdt64_full_end - gdt64_full - 1
    .quad gdt64_full

.balign 16
.global tss_struct, tss_struct_end
tss_struct:
    .skip TSS_IOMAP_BASE
    /* The I/O map base points at the segment's limit: there is no permission
       bitmap, so every port access from ring 3 raises #GP. */
    .short TSS_SIZE
tss_struct_end:

/* ---------------------------------------------------------------- stacks */
.section .bss.stack, "aw", @nobits
.balign 16
.global kernel_stack_bottom, kernel_stack_top
kernel_stack_bottom:
    .skip 16384
kernel_stack_top:

/* Ring-0 stack for interrupts taken in ring 3 (the TSS's RSP0). */
.balign 16
.global interrupt_stack_top
    .skip 8192
interrupt_stack_top:
.section .note.GNU-stack,"",@progbits
