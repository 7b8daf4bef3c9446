// A running program's files. Descriptors name open files; an open file is the
// console or an inode of the mounted volume with a position, shared by the
// descriptors dup made from it, as Linux shares an open file description.
// Everything is read-only: a call that would write gets -EROFS.
//
// Invariant: a descriptor is either closed or names an open file whose count
// includes it; every path and buffer comes from the program through the paging
// module's bounded copies; every lookup and listing runs on a fresh budget of
// directory blocks, so no volume can hold the kernel for long; and nothing here
// prints, so a program's output stays its own.
#include "files.h"

#include "errno.h"
#include "main.h"
#include "paging.h"
#include "syscall.h"

namespace {

constexpr uint64_t FD_STDERR = 2;
constexpr int64_t AT_FDCWD = -100;
constexpr uint64_t AT_SYMLINK_NOFOLLOW = 0x100;
constexpr uint64_t AT_EMPTY_PATH = 0x1000;
constexpr uint64_t O_ACCMODE = 03;
constexpr uint64_t O_CREAT = 0100;
constexpr uint64_t O_TRUNC = 01000;
constexpr uint64_t O_DIRECTORY = 0200000;
constexpr uint64_t O_NOFOLLOW = 0400000;
constexpr uint64_t O_CLOEXEC = 02000000;
constexpr uint64_t O_TMPFILE = 020000000;
constexpr uint8_t FD_CLOEXEC = 1;
constexpr uint64_t F_DUPFD = 0, F_GETFD = 1, F_SETFD = 2, F_GETFL = 3, F_SETFL = 4, F_DUPFD_CLOEXEC = 1030;
constexpr uint64_t SEEK_SET = 0, SEEK_CUR = 1, SEEK_END = 2;
constexpr uint64_t W_OK = 2, X_OK = 1, ACCESS_MODES = 7;
constexpr uint16_t ANY_EXECUTE = 0111;

constexpr uint64_t PATH_BYTES = 4096;  // a path and its terminator, as Linux bounds it
constexpr uint32_t NAME_MAX = 255;
constexpr int MAX_LINKS = 40;           // links one lookup follows, as Linux
constexpr int MAX_DEPTH = 256;          // directories getcwd climbs
constexpr uint64_t IOV_MAX = 1024;
constexpr uint64_t MAX_RW_COUNT = 0x7FFFF000;  // Linux's cap on one transfer
constexpr uint64_t CHUNK = 4096;
constexpr char SELF_EXE[] = "/proc/self/exe";

// How fstat shows things: the console a character device (the first serial
// port), the volume's files on the primary master's first partition.
constexpr uint32_t S_IFCHR = 0020000;
constexpr uint32_t CONSOLE_MODE = S_IFCHR | 0620;
constexpr uint64_t CONSOLE_RDEV = (4 << 8) | 64;  // ttyS0
constexpr int64_t CONSOLE_BLKSIZE = 1024;
constexpr uint64_t VOLUME_DEV = (3 << 8) | 1;     // hda1

struct linux_stat {
    uint64_t st_dev, st_ino, st_nlink;
    uint32_t st_mode, st_uid, st_gid, pad0;
    uint64_t st_rdev;
    int64_t st_size, st_blksize, st_blocks;
    uint64_t st_atime, st_atime_nsec, st_mtime, st_mtime_nsec, st_ctime, st_ctime_nsec;
    int64_t unused[3];
};
static_assert(sizeof(linux_stat) == 144);
static_assert(offsetof(linux_stat, st_mode) == 24);
static_assert(offsetof(linux_stat, st_rdev) == 40);
static_assert(offsetof(linux_stat, st_blksize) == 56);
static_assert(offsetof(linux_stat, st_mtime) == 88);

struct iovec {
    uint64_t base, length;
};
static_assert(sizeof(iovec) == 16);

// getdents64's record: the name follows the fixed part, padded to 8 bytes.
struct linux_dirent64_head {
    uint64_t d_ino;
    int64_t d_off;
    uint16_t d_reclen;
    uint8_t d_type;
} __attribute__((packed));
static_assert(sizeof(linux_dirent64_head) == 19);

enum class kind : uint8_t { unused, console, regular, directory, other };

struct node {
    uint32_t ino;
    uint8_t inode[EXT2_INODE_COPY];
};

struct open_file {
    kind what;
    uint32_t refs;
    uint32_t status;  // the flags it was opened with, for F_GETFL
    uint64_t pos;
    node at;
};

struct descriptor {
    int16_t file;  // index into files, -1 when closed
    uint8_t flags;
};

constexpr int16_t CLOSED = -1;
constexpr int16_t CONSOLE = 0;  // files[0]: every run's 0, 1 and 2
constexpr int MAX_OPEN_FILES = FILES_MAX_DESCRIPTORS + 1;

open_file files[MAX_OPEN_FILES];
descriptor table[FILES_MAX_DESCRIPTORS];
ext2_fs* volume = nullptr;
node cwd;
alignas(8) uint8_t bounce[CHUNK];  // one transfer's chunk on its way
char path_buffer[PATH_BYTES];      // the call's path argument
char work[PATH_BYTES];             // a lookup's path, links spliced in
char scratch[PATH_BYTES];

int64_t result(uint64_t value) { return static_cast<int64_t>(value); }

// Descriptors are C ints to Linux: a program passes them in the low half of a
// register (glibc's AT_FDCWD arrives as 0x00000000FFFFFF9C), and the upper half
// means nothing.
uint64_t as_fd(uint64_t fd) { return static_cast<uint32_t>(fd); }
int64_t as_dirfd(uint64_t dirfd) { return static_cast<int32_t>(dirfd); }
constexpr uint64_t AT_FDCWD_ARG = static_cast<uint32_t>(AT_FDCWD);
uint64_t min(uint64_t a, uint64_t b) { return a < b ? a : b; }

// A path argument, read with a bound: its length, or Linux's error.
int64_t read_path(uint64_t addr) {
    const int64_t n = copy_string_from_user(path_buffer, addr, PATH_BYTES);
    if (n == USER_STRING_FAULT) return -KEFAULT;
    if (n == USER_STRING_TOO_LONG) return -KENAMETOOLONG;
    return n;
}

kind kind_of(const uint8_t* inode) {
    switch (ext2_stat_of(inode).mode & EXT2_TYPE_MASK) {
    case EXT2_TYPE_REGULAR: return kind::regular;
    case EXT2_TYPE_DIR: return kind::directory;
    default: return kind::other;
    }
}

bool is_link(const node& n) { return (ext2_stat_of(n.inode).mode & EXT2_TYPE_MASK) == EXT2_TYPE_LINK; }

int64_t load(uint32_t ino, node* out) {
    out->ino = ino;
    return ext2_read_inode(volume, ino, out->inode) == 0 ? 0 : -KEIO;
}

open_file* file_of(uint64_t fd) {
    if (fd >= FILES_MAX_DESCRIPTORS || table[fd].file == CLOSED) return nullptr;
    return &files[table[fd].file];
}

void release(int16_t file) {
    if (file != CONSOLE && --files[file].refs == 0) files[file].what = kind::unused;
}

// The lowest closed descriptor from `lowest` up, given `file`.
int64_t install(int16_t file, uint64_t lowest, uint8_t flags) {
    for (uint64_t fd = lowest; fd < FILES_MAX_DESCRIPTORS; ++fd) {
        if (table[fd].file != CLOSED) continue;
        table[fd] = {file, flags};
        ++files[file].refs;
        return result(fd);
    }
    return -KEMFILE;
}

// Where a lookup of a relative path starts: the working directory, or the
// directory dirfd names.
int64_t start_of(int64_t dirfd, node* out) {
    if (dirfd == AT_FDCWD) {
        *out = cwd;
        return 0;
    }
    const open_file* f = file_of(static_cast<uint64_t>(dirfd));
    if (f == nullptr) return -KEBADF;
    if (f->what != kind::directory) return -KENOTDIR;
    *out = f->at;
    return 0;
}

// Splices a link's target in front of what is left of the lookup's path.
int64_t splice_link(const node& link, const char* rest) {
    const int n = ext2_link_target(volume, link.inode, scratch, PATH_BYTES - 1);
    if (n < 0) return -KEIO;
    if (n == 0) return -KENOENT;
    const uint64_t rest_len = kstrlen(rest);
    if (n + rest_len >= PATH_BYTES) return -KENAMETOOLONG;
    kmemcpy(scratch + n, rest, rest_len + 1);
    kmemcpy(work, scratch, n + rest_len + 1);
    return 0;
}

// Looks `path` up as Linux does: from the root or from dirfd's directory, one
// component at a time, following links on the way and, with follow_last, the
// last one too, at most MAX_LINKS in all. *missing_last says whether it failed
// for want of the last component only (what O_CREAT would have created).
int64_t resolve(int64_t dirfd, const char* path, bool follow_last, node* out, bool* missing_last = nullptr) {
    if (missing_last != nullptr) *missing_last = false;
    if (volume == nullptr || *path == '\0') return -KENOENT;
    node at;
    const int64_t start = path[0] == '/' ? load(EXT2_ROOT_INO, &at) : start_of(dirfd, &at);
    if (start != 0) return start;
    kmemcpy(work, path, kstrlen(path) + 1);
    ext2_budget_begin();
    const char* p = work;
    bool wants_directory = false;  // the last component was followed by '/'
    for (int links = 0;;) {
        while (*p == '/') ++p;
        if (*p == '\0') {
            if (wants_directory && kind_of(at.inode) != kind::directory) return -KENOTDIR;
            *out = at;
            return 0;
        }
        uint32_t len = 0;
        while (p[len] != '\0' && p[len] != '/') ++len;
        if (len > NAME_MAX) return -KENAMETOOLONG;
        if (kind_of(at.inode) != kind::directory) return -KENOTDIR;
        const char* rest = p + len;
        const char* after = rest;
        while (*after == '/') ++after;
        const bool last = *after == '\0';
        wants_directory = *rest == '/';
        const int64_t ino = ext2_lookup(volume, at.inode, p, len);
        if (ino < 0) return -KEIO;
        if (ino == 0) {
            if (missing_last != nullptr) *missing_last = last;
            return -KENOENT;
        }
        node next;
        if (load(static_cast<uint32_t>(ino), &next) != 0) return -KEIO;
        if (is_link(next) && (!last || follow_last || wants_directory)) {
            if (++links > MAX_LINKS) return -KELOOP;
            const int64_t spliced = splice_link(next, rest);
            if (spliced != 0) return spliced;
            p = work;
            if (work[0] == '/' && load(EXT2_ROOT_INO, &at) != 0) return -KEIO;
            continue;  // a relative target goes on from the link's directory
        }
        at = next;
        p = rest;
    }
}

// Reads a path argument and looks it up.
int64_t lookup(int64_t dirfd, uint64_t path, bool follow, node* out, bool* missing_last = nullptr) {
    const int64_t n = read_path(path);
    return n < 0 ? n : resolve(dirfd, path_buffer, follow, out, missing_last);
}

int64_t console_stat(uint64_t buf) {
    linux_stat st = {};
    st.st_mode = CONSOLE_MODE;
    st.st_nlink = 1;
    st.st_rdev = CONSOLE_RDEV;
    st.st_blksize = CONSOLE_BLKSIZE;
    return copy_out(buf, &st, sizeof st);
}

int64_t node_stat(const node& n, uint64_t buf) {
    const ext2_stat s = ext2_stat_of(n.inode);
    linux_stat st = {};
    st.st_dev = VOLUME_DEV;
    st.st_ino = n.ino;
    st.st_nlink = s.links;
    st.st_mode = s.mode;
    st.st_uid = s.uid;
    st.st_gid = s.gid;
    st.st_size = s.size;
    st.st_blksize = volume->block_size;
    st.st_blocks = s.blocks;
    st.st_atime = s.atime;
    st.st_mtime = s.mtime;
    st.st_ctime = s.ctime;
    return copy_out(buf, &st, sizeof st);
}

int64_t file_stat(const open_file& f, uint64_t buf) {
    return f.what == kind::console ? console_stat(buf) : node_stat(f.at, buf);
}

// Copies up to `count` bytes of a regular file from `offset` to the program.
int64_t read_node(const node& n, uint64_t buf, uint64_t count, uint64_t offset) {
    const uint64_t size = ext2_stat_of(n.inode).size;
    if (offset >= size) return 0;
    count = min(min(count, size - offset), MAX_RW_COUNT);
    if (!paging_user_range_ok(buf, count, true)) return -KEFAULT;
    for (uint64_t done = 0; done < count;) {
        const uint64_t want = min(count - done, CHUNK);
        const int got = read_inode_data(volume, n.inode, static_cast<uint32_t>(offset + done),
                                        static_cast<uint32_t>(want), bounce);
        if (got <= 0) return done > 0 ? result(done) : -KEIO;
        copy_to_user(buf + done, bounce, static_cast<uint64_t>(got));
        done += static_cast<uint64_t>(got);
    }
    return result(count);
}

// Sends [buf, buf + count) of the program's memory to the console; the caller
// has checked the range.
void emit(uint64_t buf, uint64_t count) {
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = min(count - done, CHUNK);
        copy_from_user(bounce, buf + done, n);
        for (uint64_t i = 0; i < n; ++i) serial_putc(static_cast<char>(bounce[i]));
        done += n;
    }
}

// The descriptor's file if it can take output: the console only, since
// nothing on the volume is open for writing.
bool writable(uint64_t fd) {
    const open_file* f = file_of(fd);
    return f != nullptr && f->what == kind::console;
}

uint8_t dirent_type(uint8_t ext2_file_type) {
    constexpr uint8_t TYPES[] = {0, 8, 4, 2, 6, 1, 12, 10};  // ext2's order, as d_type
    return ext2_file_type < sizeof TYPES ? TYPES[ext2_file_type] : 0;
}

int64_t open_node(const node& n, uint64_t flags) {
    const int16_t slot = [] {
        for (int16_t i = 1; i < MAX_OPEN_FILES; ++i)
            if (files[i].what == kind::unused) return i;
        return CLOSED;
    }();
    if (slot == CLOSED) return -KEMFILE;
    files[slot] = {kind_of(n.inode), 0, static_cast<uint32_t>(flags & ~O_CLOEXEC), 0, n};
    const int64_t fd = install(slot, 0, (flags & O_CLOEXEC) != 0 ? FD_CLOEXEC : 0);
    if (fd < 0) files[slot].what = kind::unused;
    return fd;
}

int64_t duplicate_to(uint64_t fd, uint64_t to, uint8_t flags) {
    if (file_of(fd) == nullptr || to >= FILES_MAX_DESCRIPTORS) return -KEBADF;
    if (fd == to) return result(to);
    const int16_t file = table[fd].file;
    if (table[to].file != CLOSED) release(table[to].file);
    table[to] = {file, flags};
    if (file != CONSOLE) ++files[file].refs;
    return result(to);
}

// The name `child` has in directory `parent`, appended to `name`; false when
// it has none there.
bool name_in(const node& parent, uint32_t child, char* name, uint64_t* length) {
    uint64_t pos = 0;
    for (ext2_dirent e;;) {
        uint64_t next;
        if (ext2_dir_next(volume, parent.inode, pos, &e, &next) != 1) return false;
        pos = next;
        if (e.ino != child || (e.name_len <= 2 && e.name[0] == '.' && (e.name_len == 1 || e.name[1] == '.')))
            continue;
        kmemcpy(name, e.name, e.name_len);
        *length = e.name_len;
        return true;
    }
}

// The working directory's path, found by climbing "..": the path it has now,
// whatever links led there, as Linux's getcwd gives it. Built from the end of
// `scratch` backwards; returns where it starts, or null.
const char* working_path() {
    char* start = scratch + PATH_BYTES - 1;
    *start = '\0';
    node at = cwd;
    ext2_budget_begin();
    for (int depth = 0; at.ino != EXT2_ROOT_INO; ++depth) {
        node parent;
        const int64_t up = ext2_lookup(volume, at.inode, "..", 2);
        if (depth == MAX_DEPTH || up <= 0 || load(static_cast<uint32_t>(up), &parent) != 0) return nullptr;
        char name[NAME_MAX + 1];
        uint64_t length;
        if (!name_in(parent, at.ino, name, &length) || length + 1 > static_cast<uint64_t>(start - scratch))
            return nullptr;
        start -= length;
        kmemcpy(start, name, length);
        *--start = '/';
        at = parent;
    }
    if (*start == '\0') *--start = '/';
    return start;
}

}  // namespace

void files_begin_run(ext2_fs* mounted) {
    volume = mounted;
    for (open_file& f : files) f = {};
    files[CONSOLE] = {kind::console, 0, 02, 0, {}};  // O_RDWR, as a terminal is opened
    for (descriptor& d : table) d = {CLOSED, 0};
    for (uint64_t fd = 0; fd <= FD_STDERR; ++fd) table[fd] = {CONSOLE, 0};
    cwd = {};
    if (volume != nullptr && load(EXT2_ROOT_INO, &cwd) != 0) volume = nullptr;
}

void files_end_run() {
    for (uint64_t fd = 0; fd < FILES_MAX_DESCRIPTORS; ++fd) sys_close(fd, 0, 0, 0, 0);
}

int files_open_count() {
    int open = 0;
    for (const descriptor& d : table) open += d.file != CLOSED;
    return open;
}

// read: the console gives programs no input yet (always at its end); a file
// from its position; a directory is not read this way (-EISDIR).
int64_t sys_read(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t) {
    fd = as_fd(fd);
    open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    if (f->what == kind::console) return 0;
    if (f->what == kind::directory) return -KEISDIR;
    const int64_t got = read_node(f->at, buf, count, f->pos);
    if (got > 0) f->pos += static_cast<uint64_t>(got);
    return got;
}

// pread64: a file read at an offset, its position untouched.
int64_t sys_pread64(uint64_t fd, uint64_t buf, uint64_t count, uint64_t offset, uint64_t) {
    fd = as_fd(fd);
    const open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    if (f->what == kind::console) return -KESPIPE;
    if (f->what == kind::directory) return -KEISDIR;
    if (static_cast<int64_t>(offset) < 0) return -KEINVAL;
    return read_node(f->at, buf, count, offset);
}

// write: the console's descriptors go to COM1, byte for byte; nothing else is
// open for writing (-EBADF).
int64_t sys_write(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t) {
    fd = as_fd(fd);
    if (!writable(fd)) return -KEBADF;
    count = min(count, MAX_RW_COUNT);
    if (count == 0) return 0;
    if (!paging_user_range_ok(buf, count, false)) return -KEFAULT;
    emit(buf, count);
    return result(count);
}

// writev: every vector is checked before the first byte goes out, so a bad one
// sends nothing (Linux may send the ones before it).
int64_t sys_writev(uint64_t fd, uint64_t iov, uint64_t count, uint64_t, uint64_t) {
    fd = as_fd(fd);
    if (!writable(fd)) return -KEBADF;
    if (count > IOV_MAX) return -KEINVAL;
    uint64_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint64_t i = 0; i < count; ++i) {
            iovec v;
            if (!copy_from_user(&v, iov + i * sizeof v, sizeof v)) return -KEFAULT;
            if (pass == 1) {
                emit(v.base, v.length);
                continue;
            }
            if (v.length > MAX_RW_COUNT - total) return -KEINVAL;
            total += v.length;
            if (v.length != 0 && !paging_user_range_ok(v.base, v.length, false)) return -KEFAULT;
        }
    }
    return result(total);
}

// lseek: files and directories (a directory's position is its stream's); the
// console cannot seek.
int64_t sys_lseek(uint64_t fd, uint64_t offset, uint64_t whence, uint64_t, uint64_t) {
    fd = as_fd(fd);
    open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    if (f->what == kind::console) return -KESPIPE;
    const int64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<int64_t>(f->pos)
                         : whence == SEEK_END ? static_cast<int64_t>(ext2_stat_of(f->at.inode).size)
                                              : -1;
    const auto delta = static_cast<int64_t>(offset);
    if (base < 0 || (delta > 0 && base > INT64_MAX - delta) || base + delta < 0) return -KEINVAL;
    f->pos = static_cast<uint64_t>(base + delta);
    return result(f->pos);
}

// openat: read-only. Any write access, O_CREAT or O_TRUNC gives -EROFS (a
// directory asked for writing, -EISDIR, as Linux checks that first); other
// flags that ask nothing of the volume are accepted and ignored.
int64_t sys_openat(uint64_t dirfd, uint64_t path, uint64_t flags, uint64_t, uint64_t) {
    const bool writes = (flags & O_ACCMODE) != 0 || (flags & (O_CREAT | O_TRUNC | O_TMPFILE)) != 0;
    node n;
    bool missing_last;
    const int64_t found = lookup(as_dirfd(dirfd), path, (flags & O_NOFOLLOW) == 0, &n, &missing_last);
    if (found == -KENOENT && missing_last && (flags & O_CREAT) != 0) return -KEROFS;
    if (found != 0) return found;
    if (is_link(n)) return -KELOOP;  // O_NOFOLLOW met a link
    const kind what = kind_of(n.inode);
    if (writes) return what == kind::directory && (flags & O_ACCMODE) != 0 ? -KEISDIR : -KEROFS;
    if ((flags & O_DIRECTORY) != 0 && what != kind::directory) return -KENOTDIR;
    return open_node(n, flags);
}

int64_t sys_open(uint64_t path, uint64_t flags, uint64_t, uint64_t, uint64_t) {
    return sys_openat(AT_FDCWD_ARG, path, flags, 0, 0);
}

int64_t sys_close(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    if (file_of(fd) == nullptr) return -KEBADF;
    release(table[fd].file);
    table[fd] = {CLOSED, 0};
    return 0;
}

int64_t sys_fstat(uint64_t fd, uint64_t buf, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    const open_file* f = file_of(fd);
    return f == nullptr ? -KEBADF : file_stat(*f, buf);
}

int64_t sys_stat(uint64_t path, uint64_t buf, uint64_t, uint64_t, uint64_t) {
    return sys_newfstatat(AT_FDCWD_ARG, path, buf, 0, 0);
}

int64_t sys_lstat(uint64_t path, uint64_t buf, uint64_t, uint64_t, uint64_t) {
    return sys_newfstatat(AT_FDCWD_ARG, path, buf, AT_SYMLINK_NOFOLLOW, 0);
}

// newfstatat: with AT_EMPTY_PATH and "", the descriptor itself (glibc's fstat).
int64_t sys_newfstatat(uint64_t dirfd, uint64_t path, uint64_t buf, uint64_t flags, uint64_t) {
    const int64_t n = read_path(path);
    if (n < 0) return n;
    if (n == 0 && (flags & AT_EMPTY_PATH) != 0) {
        if (as_dirfd(dirfd) == AT_FDCWD) return volume != nullptr ? node_stat(cwd, buf) : -KENOENT;
        return sys_fstat(dirfd, buf, 0, 0, 0);
    }
    node at;
    const int64_t found = resolve(as_dirfd(dirfd), path_buffer, (flags & AT_SYMLINK_NOFOLLOW) == 0, &at);
    return found != 0 ? found : node_stat(at, buf);
}

// getdents64: as many whole records as fit, each name with its type; 0 at the
// end. A buffer too small for the next record gets -EINVAL.
int64_t sys_getdents64(uint64_t fd, uint64_t buf, uint64_t count, uint64_t, uint64_t) {
    fd = as_fd(fd);
    open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    if (f->what != kind::directory) return -KENOTDIR;
    if (!paging_user_range_ok(buf, count, true)) return -KEFAULT;
    ext2_budget_begin();
    uint64_t written = 0;
    for (ext2_dirent e;;) {
        uint64_t next;
        const int found = ext2_dir_next(volume, f->at.inode, f->pos, &e, &next);
        if (found < 0) return written > 0 ? result(written) : -KEIO;
        if (found == 0) break;
        const uint64_t length = (sizeof(linux_dirent64_head) + e.name_len + 1 + 7) & ~7ull;
        if (length > count - written) {
            if (written == 0) return -KEINVAL;
            break;
        }
        uint8_t record[sizeof(linux_dirent64_head) + NAME_MAX + 1 + 7] = {};
        const linux_dirent64_head head = {e.ino, static_cast<int64_t>(next), static_cast<uint16_t>(length),
                                          dirent_type(e.file_type)};
        kmemcpy(record, &head, sizeof head);
        kmemcpy(record + sizeof head, e.name, e.name_len);
        copy_to_user(buf + written, record, length);
        written += length;
        f->pos = next;
    }
    return result(written);
}

// readlinkat: the link's text, not terminated, cut to the buffer. Besides the
// volume's links, /proc/self/exe names the running program.
int64_t sys_readlinkat(uint64_t dirfd, uint64_t path, uint64_t buf, uint64_t size, uint64_t) {
    const int64_t n = read_path(path);
    if (n < 0) return n;
    if (static_cast<int64_t>(size) <= 0) return -KEINVAL;
    uint64_t length;
    if (kstrcmp(path_buffer, SELF_EXE) == 0) {
        const char* self = syscall_program_path();
        if (self == nullptr) return -KENOENT;
        length = kstrlen(self);
        kmemcpy(scratch, self, length);
    } else {
        node at;
        const int64_t found = resolve(as_dirfd(dirfd), path_buffer, false, &at);
        if (found != 0) return found;
        if (!is_link(at)) return -KEINVAL;
        const int target = ext2_link_target(volume, at.inode, scratch, PATH_BYTES);
        if (target < 0) return -KEIO;
        length = static_cast<uint64_t>(target);
    }
    length = min(length, size);
    const int64_t copied = copy_out(buf, scratch, length);
    return copied != 0 ? copied : result(length);
}

int64_t sys_readlink(uint64_t path, uint64_t buf, uint64_t size, uint64_t, uint64_t) {
    return sys_readlinkat(AT_FDCWD_ARG, path, buf, size, 0);
}

// faccessat2: the program runs as root, so what exists may be read; nothing may
// be written (-EROFS); execution needs an execute bit somewhere.
int64_t sys_faccessat2(uint64_t dirfd, uint64_t path, uint64_t mode, uint64_t flags, uint64_t) {
    constexpr uint64_t AT_EACCESS = 0x200;  // the same ids either way: root's
    if ((mode & ~ACCESS_MODES) != 0 || (flags & ~(AT_EACCESS | AT_SYMLINK_NOFOLLOW)) != 0) return -KEINVAL;
    node at;
    const int64_t found = lookup(as_dirfd(dirfd), path, (flags & AT_SYMLINK_NOFOLLOW) == 0, &at);
    if (found != 0) return found;
    if ((mode & W_OK) != 0) return -KEROFS;
    if ((mode & X_OK) != 0 && (ext2_stat_of(at.inode).mode & ANY_EXECUTE) == 0) return -KEACCES;
    return 0;
}

// faccessat: faccessat2 without flags (the call has none).
int64_t sys_faccessat(uint64_t dirfd, uint64_t path, uint64_t mode, uint64_t, uint64_t) {
    return sys_faccessat2(dirfd, path, mode, 0, 0);
}

int64_t sys_access(uint64_t path, uint64_t mode, uint64_t, uint64_t, uint64_t) {
    return sys_faccessat(AT_FDCWD_ARG, path, mode, 0, 0);
}

// getcwd: the working directory's path and its terminator; their length.
int64_t sys_getcwd(uint64_t buf, uint64_t size, uint64_t, uint64_t, uint64_t) {
    const char* path = volume != nullptr ? working_path() : "/";
    if (path == nullptr) return -KENOENT;
    const uint64_t length = kstrlen(path) + 1;
    if (length > size) return -KERANGE;
    const int64_t copied = copy_out(buf, path, length);
    return copied != 0 ? copied : result(length);
}

int64_t sys_chdir(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t) {
    node at;
    const int64_t found = lookup(AT_FDCWD, path, true, &at);
    if (found != 0) return found;
    if (kind_of(at.inode) != kind::directory) return -KENOTDIR;
    cwd = at;
    return 0;
}

int64_t sys_fchdir(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    const open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    if (f->what != kind::directory) return -KENOTDIR;
    cwd = f->at;
    return 0;
}

// sendfile: a file's bytes to the console, from its position (moved on) or
// from *offset (updated, the position untouched). A directory or the console
// as the source gets -EINVAL, which cat reports as "Is a directory".
int64_t sys_sendfile(uint64_t out_fd, uint64_t in_fd, uint64_t offset, uint64_t count, uint64_t) {
    out_fd = as_fd(out_fd);
    in_fd = as_fd(in_fd);
    open_file* in = file_of(in_fd);
    if (in == nullptr || !writable(out_fd)) return -KEBADF;
    if (in->what != kind::regular) return -KEINVAL;
    uint64_t from = in->pos;
    if (offset != 0 && !copy_from_user(&from, offset, sizeof from)) return -KEFAULT;
    const uint64_t size = ext2_stat_of(in->at.inode).size;
    count = from < size ? min(min(count, size - from), MAX_RW_COUNT) : 0;
    for (uint64_t done = 0; done < count;) {
        const uint64_t want = min(count - done, CHUNK);
        const int got = read_inode_data(volume, in->at.inode, static_cast<uint32_t>(from + done),
                                        static_cast<uint32_t>(want), bounce);
        if (got <= 0) {
            count = done;
            break;
        }
        for (int i = 0; i < got; ++i) serial_putc(static_cast<char>(bounce[i]));
        done += static_cast<uint64_t>(got);
    }
    if (offset == 0) {
        in->pos = from + count;
    } else {
        const uint64_t after = from + count;
        if (!copy_to_user(offset, &after, sizeof after)) return -KEFAULT;
    }
    return result(count);
}

// fcntl: duplication, the close-on-exec flag and the status flags (set is
// accepted; there is nothing they could change here).
int64_t sys_fcntl(uint64_t fd, uint64_t command, uint64_t arg, uint64_t, uint64_t) {
    fd = as_fd(fd);
    const open_file* f = file_of(fd);
    if (f == nullptr) return -KEBADF;
    switch (command) {
    case F_DUPFD:
    case F_DUPFD_CLOEXEC:
        if (arg >= FILES_MAX_DESCRIPTORS) return -KEINVAL;
        return install(table[fd].file, arg, command == F_DUPFD_CLOEXEC ? FD_CLOEXEC : 0);
    case F_GETFD: return table[fd].flags;
    case F_SETFD: table[fd].flags = (arg & FD_CLOEXEC) != 0 ? FD_CLOEXEC : 0; return 0;
    case F_GETFL: return f->status;
    case F_SETFL: return 0;
    default: return -KEINVAL;
    }
}

int64_t sys_dup(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    return file_of(fd) == nullptr ? -KEBADF : install(table[fd].file, 0, 0);
}

int64_t sys_dup2(uint64_t fd, uint64_t to, uint64_t, uint64_t, uint64_t) {
    return duplicate_to(as_fd(fd), as_fd(to), 0);
}

int64_t sys_dup3(uint64_t fd, uint64_t to, uint64_t flags, uint64_t, uint64_t) {
    fd = as_fd(fd);
    to = as_fd(to);
    if ((flags & ~O_CLOEXEC) != 0 || fd == to) return -KEINVAL;
    return duplicate_to(fd, to, (flags & O_CLOEXEC) != 0 ? FD_CLOEXEC : 0);
}

// ioctl: no request is answered, by the console (the C libraries then treat it
// as a file and buffer accordingly) or by a file.
int64_t sys_ioctl(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    return file_of(fd) == nullptr ? -KEBADF : -KENOTTY;
}

// The calls that would change the volume. Each first looks its path up as
// Linux does, so a path that is wrong says so (-ENOENT, -ENOTDIR, ...); one
// that would create what already exists gets -EEXIST; the rest -EROFS.
int64_t refuse_change(uint64_t dirfd, uint64_t path, bool creates, bool follow) {
    node at;
    bool missing_last;
    const int64_t found = lookup(as_dirfd(dirfd), path, follow, &at, &missing_last);
    if (found == 0) return creates ? -KEEXIST : -KEROFS;
    return found == -KENOENT && missing_last && creates ? -KEROFS : found;
}

int64_t sys_mkdirat(uint64_t dirfd, uint64_t path, uint64_t, uint64_t, uint64_t) {
    return refuse_change(dirfd, path, true, false);
}

int64_t sys_mkdir(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t) {
    return refuse_change(AT_FDCWD_ARG, path, true, false);
}

// unlink, rmdir, rename (its source), chmod, chown, truncate: what they would
// change must exist.
int64_t sys_change_path(uint64_t path, uint64_t, uint64_t, uint64_t, uint64_t) {
    return refuse_change(AT_FDCWD_ARG, path, false, false);
}

int64_t sys_change_path_at(uint64_t dirfd, uint64_t path, uint64_t, uint64_t, uint64_t) {
    return refuse_change(dirfd, path, false, false);
}

// utimensat: with a path, as the others (touch of a missing file tries this
// first, then an open with O_CREAT); without one, the descriptor's file.
int64_t sys_utimensat(uint64_t dirfd, uint64_t path, uint64_t, uint64_t flags, uint64_t) {
    if (path == 0) return file_of(dirfd) != nullptr ? -KEROFS : -KEBADF;
    return refuse_change(dirfd, path, false, (flags & AT_SYMLINK_NOFOLLOW) == 0);
}

// fchmod, fchown, ftruncate: the descriptor's file cannot change.
int64_t sys_change_fd(uint64_t fd, uint64_t, uint64_t, uint64_t, uint64_t) {
    fd = as_fd(fd);
    return file_of(fd) != nullptr ? -KEROFS : -KEBADF;
}

// poll: every open descriptor is ready for what it can do at once (the console
// reads as at its end and takes output; a file never blocks), a closed one is
// POLLNVAL, and a negative one is skipped; so the timeout never matters.
int64_t sys_poll(uint64_t fds, uint64_t count, uint64_t, uint64_t, uint64_t) {
    struct pollfd {
        int32_t fd;
        int16_t events, revents;
    };
    constexpr int16_t POLLIN = 0x1, POLLOUT = 0x4, POLLNVAL = 0x20;
    if (count > FILES_MAX_DESCRIPTORS) return -KEINVAL;  // beyond RLIMIT_NOFILE, as Linux
    int64_t ready = 0;
    for (uint64_t i = 0; i < count; ++i) {
        pollfd p;
        if (!copy_from_user(&p, fds + i * sizeof p, sizeof p)) return -KEFAULT;
        p.revents = p.fd < 0 ? 0 : file_of(static_cast<uint64_t>(p.fd)) == nullptr ? POLLNVAL
                                                                                   : p.events & (POLLIN | POLLOUT);
        ready += p.revents != 0;
        if (!copy_to_user(fds + i * sizeof p, &p, sizeof p)) return -KEFAULT;
    }
    return ready;
}
