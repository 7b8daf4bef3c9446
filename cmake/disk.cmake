# The sample disk that `make run` and the system tests attach as the primary
# master: an MBR and an ext2 volume at LBA 2048, filled from disk/ and, in /bin,
# the programs declared with DISK, so that `execute /bin/<name>` runs them from
# the volume.
find_program(MKFS_EXT2 mkfs.ext2 PATHS /sbin /usr/sbin REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DISK_SOURCE_DIR ${CMAKE_SOURCE_DIR}/disk)
set(DISK_ROOT ${CMAKE_BINARY_DIR}/disk-root)
set(DISK_IMAGE ${CMAKE_BINARY_DIR}/disk.img)
file(GLOB_RECURSE DISK_SOURCE_FILES CONFIGURE_DEPENDS LIST_DIRECTORIES true ${DISK_SOURCE_DIR}/*)

get_property(DISK_PROGRAMS GLOBAL PROPERTY TARVELIN_DISK_PROGRAMS)
set(DISK_PROGRAM_FILES)
set(DISK_PROGRAM_COPIES)
foreach(entry ${DISK_PROGRAMS})
  string(REPLACE "|" ";" fields ${entry})
  list(GET fields 0 elf)
  list(GET fields 1 disk_name)
  list(APPEND DISK_PROGRAM_FILES ${elf})
  list(APPEND DISK_PROGRAM_COPIES COMMAND ${CMAKE_COMMAND} -E copy ${elf} ${DISK_ROOT}/bin/${disk_name})
endforeach()

add_custom_command(
  OUTPUT ${DISK_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${DISK_ROOT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DISK_ROOT}
  # cp -a keeps disk/'s symbolic link a link (CMake's copy follows it).
  COMMAND cp -a ${DISK_SOURCE_DIR}/. ${DISK_ROOT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DISK_ROOT}/bin
  ${DISK_PROGRAM_COPIES}
  COMMAND ${CMAKE_COMMAND} -E env MKFS_EXT2=${MKFS_EXT2}
          ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-disk-image ${DISK_IMAGE} ${DISK_ROOT}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-disk-image ${DISK_SOURCE_FILES} ${DISK_PROGRAM_FILES}
  COMMENT "Making disk.img from disk/ and the programs"
  VERBATIM)
add_custom_target(disk_image ALL DEPENDS ${DISK_IMAGE})
