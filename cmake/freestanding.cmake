# The freestanding policy, in one place: what the kernel and the user programs are
# compiled and linked with. No target repeats these flags.

# TARVELIN_DEBUG (make debug, in a build folder of its own): -Og, and the user
# programs keep their debugging information so that gdb can show their source.
option(TARVELIN_DEBUG "Build the kernel and programs for the debugger" OFF)
if(TARVELIN_DEBUG)
  set(TARVELIN_OPTIMISATION -Og)
  set(TARVELIN_USER_STRIP)
else()
  set(TARVELIN_OPTIMISATION -O2)
  set(TARVELIN_USER_STRIP -Wl,--strip-debug)
endif()

set(TARVELIN_COMMON_FREESTANDING_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-pie -fno-pic -mgeneral-regs-only -mno-sse -mno-mmx
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -nostdlib ${TARVELIN_OPTIMISATION} -g -Wall -Wextra -Werror)

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
    -Wl,--no-warn-rwx-segments ${TARVELIN_USER_STRIP})
endfunction()
