# The kernel's modules for the host (<prefix>_kernel) and the stand-ins with the carried user
# images (<prefix>_support), for the unit tests and replays (g++) and for `make fuzz` (clang),
# whose coverage feedback comes from the kernel alone (KERNEL_OPTIONS).
set(TARVELIN_FUZZ_TARGETS fuzz_boot_info fuzz_elf fuzz_ext2 fuzz_shell)

function(tarvelin_host_libraries prefix)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "ROOT;IMAGES" "OPTIONS;KERNEL_OPTIONS")
  file(GLOB kernel_sources CONFIGURE_DEPENDS ${ARG_ROOT}/kernel/*.cpp)
  add_library(${prefix}_kernel STATIC ${kernel_sources})
  target_compile_definitions(${prefix}_kernel PUBLIC TARVELIN_HOST)
  target_compile_options(${prefix}_kernel PRIVATE ${ARG_KERNEL_OPTIONS}
    PUBLIC -iquote ${ARG_ROOT}/kernel $<$<COMPILE_LANGUAGE:CXX>:-std=c++20 -Wall -Wextra ${ARG_OPTIONS}>)
  target_link_options(${prefix}_kernel PUBLIC ${ARG_OPTIONS})
  set(images ${ARG_ROOT}/kernel/user_images.S)
  set_source_files_properties(${images} PROPERTIES COMPILE_OPTIONS -Wa,-I${ARG_IMAGES})
  add_library(${prefix}_support STATIC ${ARG_ROOT}/tests/host/support/host.cpp ${images})
  target_include_directories(${prefix}_support PUBLIC ${ARG_ROOT}/tests/host/support ${ARG_ROOT}/tests/fuzz)
  target_link_libraries(${prefix}_support PUBLIC ${prefix}_kernel)
  target_link_libraries(${prefix}_kernel INTERFACE ${prefix}_support)
endfunction()
