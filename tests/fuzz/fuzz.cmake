# The fuzz targets and what they are built from, for the libFuzzer build of `make fuzz`
# (tests/fuzz/CMakeLists.txt, clang) and for the main build's replay tests.
set(TARVELIN_FUZZ_TARGETS fuzz_boot_info fuzz_elf fuzz_ext2 fuzz_format fuzz_shell)

# <prefix>_kernel (the kernel's modules for the host) and <prefix>_support (the host fakes,
# the carried user images from IMAGES, the fuzz helpers), both compiled with OPTIONS; the
# kernel also with KERNEL_OPTIONS (the fuzzer's coverage feedback comes from it alone).
function(tarvelin_fuzz_libraries prefix)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "ROOT;IMAGES" "OPTIONS;KERNEL_OPTIONS")
  file(GLOB kernel_sources CONFIGURE_DEPENDS ${ARG_ROOT}/kernel/*.cpp)
  add_library(${prefix}_kernel STATIC ${kernel_sources})
  target_compile_definitions(${prefix}_kernel PUBLIC TARVELIN_HOST)
  target_compile_options(${prefix}_kernel PUBLIC -iquote ${ARG_ROOT}/kernel)
  target_compile_options(${prefix}_kernel PRIVATE -std=c++20 -Wall -Wextra ${ARG_OPTIONS} ${ARG_KERNEL_OPTIONS})

  set(support ${ARG_ROOT}/tests/host/support)
  add_library(${prefix}_support STATIC
    ${support}/fake_bus.cpp ${support}/fake_cpu.cpp ${support}/fake_phys.cpp
    ${support}/fake_ring3.cpp ${support}/fake_syscall_entry.cpp ${support}/fake_isr.cpp
    ${support}/ata_model.cpp
    ${ARG_ROOT}/kernel/user_images.S)
  target_include_directories(${prefix}_support PUBLIC ${support} ${ARG_ROOT}/tests/fuzz/support)
  target_link_libraries(${prefix}_support PUBLIC ${prefix}_kernel)
  target_compile_options(${prefix}_support PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-std=c++20 -Wall -Wextra ${ARG_OPTIONS}>
    $<$<COMPILE_LANGUAGE:ASM>:-Wa,-I${ARG_IMAGES}>)
endfunction()

# One target's executable, linked against the libraries of <prefix>.
function(tarvelin_fuzz_executable name prefix)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES;OPTIONS;LINK")
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -std=c++20 -Wall -Wextra ${ARG_OPTIONS})
  target_link_libraries(${name} PRIVATE
    -Wl,--start-group ${prefix}_kernel ${prefix}_support -Wl,--end-group)
  target_link_options(${name} PRIVATE ${ARG_LINK})
endfunction()
