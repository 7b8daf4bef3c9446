# The freestanding policy, in one place: what the kernel and the user programs are
# compiled and linked with. No target repeats these flags.

set(TARVELIN_COMMON_FREESTANDING_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-pie -fno-pic -mgeneral-regs-only -mno-sse -mno-mmx
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -nostdlib -O2 -g -Wall -Wextra)

function(tarvelin_kernel_flags target)
  target_compile_options(${target} PRIVATE
    ${TARVELIN_COMMON_FREESTANDING_FLAGS} -mno-red-zone -mcmodel=small
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++20 -fno-use-cxa-atexit>)
  target_link_options(${target} PRIVATE
    -nostdlib -static -no-pie -Wl,--build-id=none -Wl,-z,max-page-size=0x1000
    -Wl,--no-warn-rwx-segments)
endfunction()

function(tarvelin_user_flags target)
  target_compile_options(${target} PRIVATE
    ${TARVELIN_COMMON_FREESTANDING_FLAGS}
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++20>)
  # The kernel carries these files whole, so their debugging sections would
  # double the image GRUB has to read at every boot; the symbol table stays.
  target_link_options(${target} PRIVATE
    -nostdlib -static -no-pie -Wl,--build-id=none -Wl,-z,max-page-size=0x1000
    -Wl,--no-warn-rwx-segments -Wl,--strip-debug)
endfunction()
