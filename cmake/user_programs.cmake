# How a carried user program is built: a static ELF64 executable linked by a
# linker script of its own, checked for floating-point and vector instructions
# as part of its link, and recorded in global lists from which the build
# generates the kernel's embedded images, their declarations and the registry,
# the sample disk's /bin and build/programs.json, the tests' list of programs.

set(TARVELIN_CHECK_NO_FPU ${CMAKE_SOURCE_DIR}/scripts/check-no-fpu)
set(TARVELIN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
# Programs, their linker scripts included, take the numbers they share with the
# kernel from kernel/machine.h; nothing else of the kernel's is theirs to use.
set(TARVELIN_MACHINE_HEADER_DIR ${CMAKE_SOURCE_DIR}/kernel)

# Sets <output> to the preprocessed copy of a user linker script and <target> to
# the target that makes it: one of each per script, however many programs use it.
function(tarvelin_user_linker_script script output target)
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${script})
  string(MAKE_C_IDENTIFIER "linker_script_${relative}" name)
  set(preprocessed ${TARVELIN_GENERATED_DIR}/${relative})
  if(NOT TARGET ${name})
    add_custom_command(
      OUTPUT ${preprocessed}
      COMMAND ${CMAKE_C_COMPILER} -E -P -x c -I ${TARVELIN_MACHINE_HEADER_DIR} ${script} -o ${preprocessed}
      DEPENDS ${script} ${TARVELIN_MACHINE_HEADER_DIR}/machine.h
      VERBATIM)
    add_custom_target(${name} DEPENDS ${preprocessed})
  endif()
  set(${output} ${preprocessed} PARENT_SCOPE)
  set(${target} ${name} PARENT_SCOPE)
endfunction()

# tarvelin_user_program(<name> SCRIPT <linker script> DIRECTORY <output dir>
#                       [TEST] [COMMAND <shell name>] [DISK <file name>]
#                       [LABEL <symbol>] [RUNTIME] SOURCES <files...>)
# makes the target <name>.elf, written to <output dir>/<name>.elf. RUNTIME links
# the user runtime. The kernel embeds the file under LABEL (by default its path
# in the build tree with every other character turned into _, for example
# build_applications_fibonacci_elf), the test kernel alone if TEST; COMMAND makes
# `execute <shell name>` run it, in the order the programs are declared; DISK
# puts it on the sample disk as /bin/<file name>.
function(tarvelin_user_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "RUNTIME;TEST" "SCRIPT;DIRECTORY;COMMAND;DISK;LABEL" "SOURCES")
  set(target ${name}.elf)
  add_executable(${target} ${ARG_SOURCES})
  tarvelin_user_flags(${target})
  tarvelin_user_linker_script(${ARG_SCRIPT} script script_target)
  target_link_options(${target} PRIVATE -T ${script})
  target_include_directories(${target} PRIVATE ${TARVELIN_MACHINE_HEADER_DIR})
  add_dependencies(${target} ${script_target})
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS ${script}
    RUNTIME_OUTPUT_DIRECTORY ${ARG_DIRECTORY})
  if(ARG_RUNTIME)
    target_link_libraries(${target} PRIVATE tarvelin_runtime)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TARVELIN_CHECK_NO_FPU} $<TARGET_FILE:${target}>
    VERBATIM)
  file(RELATIVE_PATH relative ${CMAKE_BINARY_DIR} ${ARG_DIRECTORY}/${target})
  if(NOT ARG_LABEL)
    string(MAKE_C_IDENTIFIER "build/${relative}" ARG_LABEL)
  endif()
  set(image_set TARVELIN_USER_IMAGES)
  set(test_only false)
  if(ARG_TEST)
    set(image_set TARVELIN_TEST_IMAGES)
    set(test_only true)
  endif()
  set_property(GLOBAL APPEND PROPERTY ${image_set} ${ARG_DIRECTORY}/${target})
  set_property(GLOBAL APPEND PROPERTY ${image_set}_TARGETS ${target})
  set_property(GLOBAL APPEND PROPERTY ${image_set}_ENTRIES "${ARG_LABEL}|${relative}|${ARG_COMMAND}")
  if(ARG_DISK)
    set_property(GLOBAL APPEND PROPERTY TARVELIN_DISK_PROGRAMS "${ARG_DIRECTORY}/${target}|${ARG_DISK}")
  endif()
  set_property(GLOBAL APPEND PROPERTY TARVELIN_PROGRAM_LIST
    "{\"name\": \"${name}\", \"command\": \"${ARG_COMMAND}\", \"elf\": \"${relative}\", \"disk\": \"${ARG_DISK}\", \"test_only\": ${test_only}}")
endfunction()

# build/programs.json, written once every program is declared: each program's
# name, shell command, ELF file (from the build folder), name on the sample disk
# ("" for none) and whether only the test kernel carries it.
function(tarvelin_write_program_list)
  get_property(entries GLOBAL PROPERTY TARVELIN_PROGRAM_LIST)
  string(JOIN ",\n  " body ${entries})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/programs.json CONTENT "[\n  ${body}\n]\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tarvelin_write_program_list)

# Writes, for the programs of IMAGE_SET, <generated>/<stem>.S (each image
# embedded by kernel/user_images.inc's macro) and <generated>/<stem>_registry.inc
# (the registry entries, in declaration order); adds their declarations to
# DECLARATIONS in the caller.
function(tarvelin_generate_images image_set stem declarations)
  get_property(entries GLOBAL PROPERTY ${image_set}_ENTRIES)
  set(asm "/* Generated from the build's list of carried programs. */\n#include \"user_images.inc\"\n")
  set(registry "// Generated from the build's list of carried programs.\n")
  set(decls "${${declarations}}")
  foreach(entry ${entries})
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 label)
    list(GET fields 1 file)
    list(LENGTH fields count)
    string(APPEND asm "    user_image ${label}, \"${file}\"\n")
    string(APPEND decls "extern const uint8_t ${label}[];\nextern const uint32_t ${label}_len;\n")
    if(count GREATER 2)
      list(GET fields 2 command)
      if(command)
        string(APPEND registry "{\"${command}\", ${label}, ${label}_len},\n")
      endif()
    endif()
  endforeach()
  string(APPEND asm "    .section .note.GNU-stack, \"\", @progbits\n")
  file(GENERATE OUTPUT ${TARVELIN_GENERATED_DIR}/${stem}.S CONTENT "${asm}")
  file(GENERATE OUTPUT ${TARVELIN_GENERATED_DIR}/${stem}_registry.inc CONTENT "${registry}")
  set(${declarations} "${decls}" PARENT_SCOPE)
endfunction()
