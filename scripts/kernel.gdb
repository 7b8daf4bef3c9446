# Loads the debug build's kernel symbols, attaches to QEMU's GDB stub (make debug)
# and stops at the kernel's 64-bit main. Run from the repository root:
# gdb -x scripts/kernel.gdb. A program's symbols: add-symbol-file
# build-debug/applications/fibonacci.elf, then hbreak main.
set confirm off
set architecture i386:x86-64
file build-debug/kernel.elf
target remote localhost:1234
hbreak kernel_main_64
continue
