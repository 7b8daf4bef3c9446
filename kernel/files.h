// A running program's files: its descriptor table (the console and what it
// opened on the mounted volume, read-only), its working directory, path lookup
// with symbolic links, and the system calls over them.
#pragma once
#include <cstdint>

#include "ext2.h"

constexpr int FILES_MAX_DESCRIPTORS = 64;

// Before each launch: the volume a program sees (null when none is mounted),
// the working directory at its root, descriptors 0-2 the console and nothing
// else open.
void files_begin_run(ext2_fs* volume);
// After the run: every descriptor closed.
void files_end_run();
int files_open_count();  // descriptors open now

int64_t sys_read(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t);
int64_t sys_write(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t);
int64_t sys_writev(uint64_t fd, uint64_t iov, uint64_t count, uint64_t, uint64_t);
int64_t sys_pread64(uint64_t fd, uint64_t buf, uint64_t count, uint64_t offset, uint64_t);
int64_t sys_lseek(uint64_t fd, uint64_t offset, uint64_t whence, uint64_t, uint64_t);
int64_t sys_open(uint64_t path, uint64_t flags, uint64_t, uint64_t, uint64_t);
int64_t sys_openat(uint64_t dirfd, uint64_t path, uint64_t flags, uint64_t, uint64_t);
int64_t sys_close(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_stat(uint64_t path, uint64_t buf, uint64_t, uint64_t, uint64_t);
int64_t sys_lstat(uint64_t path, uint64_t buf, uint64_t, uint64_t, uint64_t);
int64_t sys_fstat(uint64_t fd, uint64_t buf, uint64_t, uint64_t, uint64_t);
int64_t sys_newfstatat(uint64_t dirfd, uint64_t path, uint64_t buf, uint64_t flags, uint64_t);
int64_t sys_getdents64(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t);
int64_t sys_readlink(uint64_t path, uint64_t buf, uint64_t size, uint64_t, uint64_t);
int64_t sys_readlinkat(uint64_t dirfd, uint64_t path, uint64_t buf, uint64_t size, uint64_t);
int64_t sys_access(uint64_t path, uint64_t mode, uint64_t, uint64_t, uint64_t);
int64_t sys_faccessat(uint64_t dirfd, uint64_t path, uint64_t mode, uint64_t, uint64_t);
int64_t sys_faccessat2(uint64_t dirfd, uint64_t path, uint64_t mode, uint64_t flags, uint64_t);
int64_t sys_poll(uint64_t fds, uint64_t count, uint64_t, uint64_t, uint64_t);
int64_t sys_getcwd(uint64_t buf, uint64_t size, uint64_t, uint64_t, uint64_t);
int64_t sys_chdir(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_fchdir(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_sendfile(uint64_t out_fd, uint64_t in_fd, uint64_t offset, uint64_t count, uint64_t);
int64_t sys_fcntl(uint64_t fd, uint64_t command, uint64_t arg, uint64_t, uint64_t);
int64_t sys_dup(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_dup2(uint64_t fd, uint64_t to, uint64_t, uint64_t, uint64_t);
int64_t sys_dup3(uint64_t fd, uint64_t to, uint64_t flags, uint64_t, uint64_t);
int64_t sys_ioctl(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
// The calls that would change the volume: -EROFS once their path is found
// (or -EEXIST, or the lookup's own error).
int64_t sys_mkdir(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_mkdirat(uint64_t dirfd, uint64_t path, uint64_t, uint64_t, uint64_t);
int64_t sys_change_path(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t);
int64_t sys_change_path_at(uint64_t dirfd, uint64_t path, uint64_t, uint64_t, uint64_t);
int64_t sys_utimensat(uint64_t dirfd, uint64_t path, uint64_t, uint64_t flags, uint64_t);
int64_t sys_change_fd(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t);
