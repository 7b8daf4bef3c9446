# How a carried user program is built: a static ELF64 executable linked by a
# linker script of its own, checked for floating-point and vector instructions
# as part of its link, and recorded in a global list from which the kernel
# embeds it.

set(TARVELIN_CHECK_NO_FPU ${CMAKE_SOURCE_DIR}/scripts/check-no-fpu)

# tarvelin_user_program(<name> SCRIPT <linker script> DIRECTORY <output dir>
#                       IMAGE_SET <global property> [RUNTIME] SOURCES <files...>)
# makes the target <name>.elf, written to <output dir>/<name>.elf. RUNTIME links
# the user runtime. The file's path is appended to the global property named by
# IMAGE_SET, and the target to <IMAGE_SET>_TARGETS.
function(tarvelin_user_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "RUNTIME" "SCRIPT;DIRECTORY;IMAGE_SET" "SOURCES")
  set(target ${name}.elf)
  add_executable(${target} ${ARG_SOURCES})
  tarvelin_user_flags(${target})
  target_link_options(${target} PRIVATE -T ${ARG_SCRIPT})
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS ${ARG_SCRIPT}
    RUNTIME_OUTPUT_DIRECTORY ${ARG_DIRECTORY})
  if(ARG_RUNTIME)
    target_link_libraries(${target} PRIVATE tarvelin_runtime)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TARVELIN_CHECK_NO_FPU} $<TARGET_FILE:${target}>
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY ${ARG_IMAGE_SET} ${ARG_DIRECTORY}/${target})
  set_property(GLOBAL APPEND PROPERTY ${ARG_IMAGE_SET}_TARGETS ${target})
endfunction()
