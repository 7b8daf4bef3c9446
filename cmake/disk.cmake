# The sample disk that `make run` and the system tests attach as the primary
# master: an MBR and an ext2 volume at LBA 2048, filled from disk/.
find_program(MKFS_EXT2 mkfs.ext2 PATHS /sbin /usr/sbin REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DISK_SOURCE_DIR ${CMAKE_SOURCE_DIR}/disk)
set(DISK_IMAGE ${CMAKE_BINARY_DIR}/disk.img)
file(GLOB_RECURSE DISK_SOURCE_FILES CONFIGURE_DEPENDS LIST_DIRECTORIES true ${DISK_SOURCE_DIR}/*)

add_custom_command(
  OUTPUT ${DISK_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E env MKFS_EXT2=${MKFS_EXT2}
          ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-disk-image ${DISK_IMAGE} ${DISK_SOURCE_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-disk-image ${DISK_SOURCE_FILES}
  COMMENT "Making disk.img from disk/"
  VERBATIM)
add_custom_target(disk_image ALL DEPENDS ${DISK_IMAGE})
