#!/usr/bin/env python3
"""Times Tarvelin's boot and a few commands in QEMU, against a reference kernel.

    bench.py [--build DIR] [--runs N] [--repeat N] [--linux-runs N]

The reference (bench/reference.S) is the least a Multiboot2 kernel can be: the
header and a few instructions that send one byte on COM1 and leave QEMU. Both
ISOs boot through the same GRUB configuration and the same QEMU command line,
alternately, so the ratio of their boot times is what Tarvelin itself adds.
Printed: medians of the wall time from QEMU's start to the reference's byte (also
for a copy padded to the size of Tarvelin's kernel file) and to Tarvelin's first
prompt, their ratio, the paired differences, Tarvelin's own start-up (from its first
boot mark "P" to the prompt, as the host receives them) and the round trip of a
few commands (the line sent -> the next prompt received), and `mount` of a volume
whose root holds 1,000 long names (over 200 KiB of directory), and the start of a
static glibc program built here: `execute /bin/hello-glibc` sent -> the first byte
after the launch path's separator.

Then Debian's own kernel (the package linux-image-amd64 depends on) and its
static busybox (busybox-static), fetched with `apt-get download` into
build/bench-linux/ once and unpacked there, nothing installed: Linux boots on the
same QEMU command line with -kernel, -initrd and COM1 as its console, into an
initramfs whose /init (busybox sh) reads one command a line from COM1 and prompts
again when it is done. Tarvelin runs the same busybox from its disk with `execute`.
For both: QEMU start -> the first byte on COM1 and -> ready for a command, and the
round trip (line sent -> next prompt) of busybox's sha256sum of a 4 MiB file, sort
of 20,000 lines, which prints them all, and true. A command whose output differs
from what busybox prints on Linux gets no figure. Nothing passes or fails.
"""

import argparse
import glob
import gzip
import hashlib
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROMPT = b"tarvelin> "
FIRST_MARK = b"P"
COMMANDS = ["help", "meminfo", "execute fibonacci", "execute primes", "run", "mount"]
TIMEOUT = 120.0
BIG_DIRECTORY_ENTRIES = 1000
VOLUME_OFFSET = 2048 * 512  # the kernel mounts the volume at LBA 2048
SEPARATOR = b"  " + b"-" * 40 + b"\n"
HELLO = b'#include <stdio.h>\nint main(void) { puts("hello, world"); return 0; }\n'
RUN_TAIL = b"\n" + SEPARATOR + b"  Returned to kernel shell.\n" + PROMPT
HELLO_RUN = b"hello, world\n" + RUN_TAIL

LINUX_METAPACKAGE = "linux-image-amd64"
BUSYBOX_PACKAGE = "busybox-static"
# panic=-1 with QEMU's -no-reboot: an /init that dies ends QEMU at once.
LINUX_COMMAND_LINE = "console=ttyS0 quiet panic=-1"
LINUX_PROMPT = b"linux> "
# Mounts nothing: the workloads need no /proc, /sys or /dev beyond the console.
# No echo and no CR before each LF, so that a program's bytes reach the host as
# they are, as on Tarvelin's COM1, and the host times each line it sends up to
# the next prompt, as it does with Tarvelin's shell.
LINUX_INIT = b"""#!/bin/busybox sh
echo init
/bin/busybox stty -echo -onlcr
while printf 'linux> ' && read -r line; do
  $line
done
"""
FILE_4M_SIZE = 4 * 1024 * 1024
SORT_LINES = 20000
# (name, busybox's arguments, row label): the same line on both kernels.
WORKLOADS = [("sha256sum", "sha256sum /data/file4m", "busybox sha256sum, 4 MiB file"),
             ("sort", "sort /data/lines", "busybox sort, 20,000 lines"),
             ("true", "true", "busybox true (the launch alone)")]


def wrap_iso(elf, iso, out):
    """An ISO booting `elf` through Tarvelin's own grub.cfg."""
    iso_dir = os.path.join(out, "isodir")
    shutil.rmtree(iso_dir, ignore_errors=True)
    os.makedirs(os.path.join(iso_dir, "boot", "grub"))
    shutil.copy(elf, os.path.join(iso_dir, "boot", "kernel.elf"))
    shutil.copy(os.path.join(ROOT, "iso", "grub.cfg"), os.path.join(iso_dir, "boot", "grub", "grub.cfg"))
    with open(os.path.join(out, "mkrescue.log"), "wb") as log:
        subprocess.run(["grub-mkrescue", "-o", iso, iso_dir], check=True, stdout=log, stderr=log)
    return iso


def build_reference(build, pad_to):
    """Assembles bench/reference.S into build/bench/reference.elf, and a copy padded
    with a section of zeros to `pad_to` bytes (the size of Tarvelin's kernel file,
    all of which GRUB reads), each wrapped in an ISO."""
    out = os.path.join(build, "bench")
    os.makedirs(out, exist_ok=True)
    obj = os.path.join(out, "reference.o")
    elf = os.path.join(out, "reference.elf")
    padded = os.path.join(out, "reference-padded.elf")
    zeros = os.path.join(out, "padding.bin")
    subprocess.run(["gcc", "-m32", "-c", os.path.join(ROOT, "bench", "reference.S"), "-o", obj], check=True)
    # -n: no page alignment in the file, so the image is the header and the code.
    subprocess.run(["ld", "-m", "elf_i386", "-n", "-s", "-T", os.path.join(ROOT, "bench", "reference.ld"),
                    "-o", elf, obj], check=True)
    with open(zeros, "wb") as f:
        f.write(bytes(max(0, pad_to - os.path.getsize(elf) - 64)))
    subprocess.run(["objcopy", "--add-section", ".padding=" + zeros, elf, padded], check=True)
    return wrap_iso(elf, os.path.join(out, "reference.iso"), out), \
        wrap_iso(padded, os.path.join(out, "reference-padded.iso"), out)


def build_big_directory_disk(build):
    """A disk whose root directory holds BIG_DIRECTORY_ENTRIES names of about 200 bytes."""
    out = os.path.join(build, "bench", "bigdir.img")
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        os.mkdir(tree)
        for i in range(BIG_DIRECTORY_ENTRIES):
            open(os.path.join(tree, "%04d-" % i + "n" * 195), "w").close()
        volume = os.path.join(tmp, "volume")
        subprocess.run(["mkfs.ext2", "-q", "-F", "-b", "4096", "-N", "2048", "-d", tree, volume, "8M"],
                       check=True, stdout=subprocess.DEVNULL)
        with open(out, "wb") as disk, open(volume, "rb") as vol:
            disk.write(bytes(VOLUME_OFFSET) + vol.read())
    return out


def build_hello_disk(build):
    """A disk whose /bin/hello-glibc is a static glibc program, built from HELLO."""
    out = os.path.join(build, "bench")
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "bin"))
        subprocess.run(["gcc", "-static", "-O2", "-x", "c", "-", "-o", os.path.join(tmp, "bin", "hello-glibc")],
                       input=HELLO, check=True)
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-disk-image"),
                        os.path.join(out, "hello.img"), tmp], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "hello.img")


class FetchError(Exception):
    pass


def apt(args, log, cwd=None):
    return subprocess.run(args, stdout=log, stderr=subprocess.STDOUT, cwd=cwd).returncode == 0


def kernel_package(log):
    """The versioned kernel package that Debian's metapackage depends on now, or None
    when the package lists do not know the metapackage."""
    show = subprocess.run(["apt-cache", "show", "--no-all-versions", LINUX_METAPACKAGE],
                          stdout=subprocess.PIPE, stderr=log)
    for line in show.stdout.decode(errors="replace").splitlines():
        if line.startswith("Depends:"):
            found = re.search(r"linux-image-[0-9][^\s,(|]*", line)
            if found:
                return found.group(0)
    return None


def extract(deb, member_pattern, dest):
    """Writes the first file of package `deb` whose path matches `member_pattern` to
    `dest` and returns that path; dpkg-deb's stream is read as it comes, so the
    kernel package's modules are never written out."""
    proc = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    try:
        with tarfile.open(fileobj=proc.stdout, mode="r|") as tar:
            for member in tar:
                if member.isfile() and re.fullmatch(member_pattern, member.name):
                    with tar.extractfile(member) as src, open(dest, "wb") as out:
                        shutil.copyfileobj(src, out)
                    os.chmod(dest, 0o755)
                    return member.name
    finally:
        proc.stdout.close()
        proc.kill()
        proc.wait()
    raise FetchError("%s holds no %s" % (os.path.basename(deb), member_pattern))


def fetch_debian(build):
    try:
        return fetch_debian_packages(build)
    except FileNotFoundError as e:
        raise FetchError("this machine lacks %s" % e.filename)


def fetch_debian_packages(build):
    """Debian's current kernel and static busybox, taken from their packages into
    build/bench-linux/ (nothing is installed) and kept there: a later run asks apt
    nothing. Returns (kernel, busybox, description, bytes downloaded or 0)."""
    out = os.path.join(build, "bench-linux")
    kernel, busybox, about = (os.path.join(out, name) for name in ("vmlinuz", "busybox", "versions"))
    if all(os.path.exists(path) for path in (kernel, busybox, about)):
        with open(about) as f:
            return kernel, busybox, f.read().strip(), 0
    download = os.path.join(out, "download")
    shutil.rmtree(download, ignore_errors=True)
    os.makedirs(download)
    log_path = os.path.join(out, "apt.log")
    with open(log_path, "wb") as log:
        # A fresh machine has no package lists: apt learns the names once updated.
        for attempt in range(2):
            image = kernel_package(log)
            if image and apt(["apt-get", "download", image, BUSYBOX_PACKAGE], log, cwd=download):
                break
            if attempt or os.geteuid() != 0:
                raise FetchError("apt-get could not download them; see %s" % log_path)
            apt(["apt-get", "update", "-q"], log)
    debs = glob.glob(os.path.join(download, "*.deb"))
    fetched = sum(os.path.getsize(deb) for deb in debs)
    names = []
    for deb in sorted(debs):
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version"], stdout=subprocess.PIPE,
                                check=True).stdout.decode()
        package = dict(line.split(": ", 1) for line in fields.splitlines())
        names.append("%s %s" % (package["Package"], package["Version"]))
        if package["Package"] == BUSYBOX_PACKAGE:
            extract(deb, r"\./bin/busybox", busybox)
        else:
            extract(deb, r"\./boot/vmlinuz-.*", kernel)
    # Written last: its presence says the two files beside it are whole.
    with open(about, "w") as f:
        f.write(", ".join(names) + "\n")
    shutil.rmtree(download)
    return kernel, busybox, ", ".join(names), fetched


def workload_files():
    """The workloads' input, the same bytes on every machine and every run."""
    big = b"".join(hashlib.sha256(b"%d" % i).digest() for i in range(FILE_4M_SIZE // 32))
    lines = []
    for i in range(SORT_LINES):
        digest = hashlib.sha256(b"line %d" % i).hexdigest()
        lines.append(digest[:8 + int(digest[-2:], 16) % 40].encode() + b"\n")
    return {"file4m": big, "lines": b"".join(lines)}


def expected_outputs(files):
    """What Debian's busybox prints on Linux for each workload (the Linux runs are
    held to it too): sort compares bytes, as busybox does without a locale."""
    return {"sha256sum": b"%s  /data/file4m\n" % hashlib.sha256(files["file4m"]).hexdigest().encode(),
            "sort": b"".join(sorted(files["lines"].splitlines(keepends=True))),
            "true": b""}


def newc(entries):
    """A cpio archive in the kernel's initramfs format ("newc") of (name, mode,
    data, device) entries; written here so that the device node needs no root
    and the host no cpio."""
    archive = bytearray()
    for ino, (name, mode, data, device) in enumerate(entries + [("TRAILER!!!", 0, b"", (0, 0))], 1):
        encoded = name.encode() + b"\0"
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, device[0], device[1], len(encoded), 0)
        archive += b"070701" + "".join("%08X" % v for v in fields).encode() + encoded
        archive += bytes(-len(archive) % 4)
        archive += data
        archive += bytes(-len(archive) % 4)
    return bytes(archive)


def build_initramfs(path, busybox, files):
    """busybox, LINUX_INIT as /init, /dev/console for its input and output, and
    `files` in /data."""
    with open(busybox, "rb") as f:
        entries = [("bin", 0o40755, b"", (0, 0)), ("dev", 0o40755, b"", (0, 0)),
                   ("dev/console", 0o20600, b"", (5, 1)), ("data", 0o40755, b"", (0, 0)),
                   ("bin/busybox", 0o100755, f.read(), (0, 0)), ("init", 0o100755, LINUX_INIT, (0, 0))]
    entries += [("data/" + name, 0o100644, data, (0, 0)) for name, data in sorted(files.items())]
    with open(path, "wb") as f:
        f.write(gzip.compress(newc(entries), compresslevel=6, mtime=0))
    return path


def build_busybox_disk(build, busybox, files):
    """A disk with Debian's busybox in /bin and `files` in /data."""
    out = os.path.join(build, "bench", "busybox.img")
    with tempfile.TemporaryDirectory() as tmp:
        for folder in ("bin", "data"):
            os.mkdir(os.path.join(tmp, folder))
        shutil.copy(busybox, os.path.join(tmp, "bin", "busybox"))
        for name, data in files.items():
            with open(os.path.join(tmp, "data", name), "wb") as f:
                f.write(data)
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-disk-image"), out, tmp],
                       check=True, stdout=subprocess.DEVNULL)
    return out


class Run:
    """One QEMU process with COM1 on a pipe; every chunk read is time-stamped.
    It boots the ISO `iso`, or with `linux` = (kernel, initramfs) that kernel
    directly, on the same machine otherwise."""

    def __init__(self, iso, disk, linux=None):
        if linux:
            boot = ["-kernel", linux[0], "-initrd", linux[1], "-append", LINUX_COMMAND_LINE]
        else:
            boot = ["-boot", "d", "-cdrom", iso]
        args = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "qemu64", "-m", "512M"] + boot + [
                "-display", "none", "-no-reboot",
                "-chardev", "stdio,id=com1,signal=off", "-serial", "chardev:com1", "-monitor", "none",
                "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"]
        if disk:
            args += ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk,snapshot=on" % disk]
        self.start = time.perf_counter()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.data = bytearray()

    def until(self, needle, after=0, timeout=TIMEOUT):
        """Reads until `needle` appears at or after offset `after` (b"": until a
        byte is there); returns the time it arrived (perf_counter) and the
        offset just past it."""
        fd = self.proc.stdout.fileno()
        deadline = time.perf_counter() + timeout
        while True:
            i = self.data.find(needle, after)
            if i >= 0 and (needle or i < len(self.data)):
                return self.stamp, i + len(needle)
            left = deadline - time.perf_counter()
            if left <= 0:
                raise RuntimeError("no %r within %d s; got %r" % (needle, timeout, bytes(self.data[-200:])))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                self.stamp = time.perf_counter()
                if not chunk:
                    raise RuntimeError("QEMU ended before %r; got %r" % (needle, bytes(self.data[-200:])))
                self.data += chunk

    def send(self, line):
        self.proc.stdin.write(line)
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            stream.close()


def boot_reference(iso, disk):
    run = Run(iso, disk)
    try:
        at, _ = run.until(b"R")
        return at - run.start
    finally:
        run.stop()


def boot_tarvelin(iso, disk, repeat, trips):
    run = Run(iso, disk)
    try:
        mark, after = run.until(FIRST_MARK)
        prompt, after = run.until(PROMPT, after)
        for _ in range(repeat):
            for line in COMMANDS:
                sent = time.perf_counter()
                run.send(line.encode() + b"\r")
                at, after = run.until(PROMPT, after)
                trips[line].append(at - sent)
        return mark - run.start, prompt - run.start, prompt - mark
    finally:
        run.stop()


def time_big_mount(iso, disk, repeat, trips):
    run = Run(iso, disk)
    try:
        _, after = run.until(PROMPT)
        for _ in range(repeat):
            sent = time.perf_counter()
            run.send(b"mount\r")
            at, after = run.until(PROMPT, after)
            trips.append(at - sent)
    finally:
        run.stop()


def time_hello(iso, disk, repeat, trips):
    """Appends the start of each run of hello-glibc to `trips`; False once a run does not
    print what the program prints on Linux (the kernel lacks what it needs)."""
    run = Run(iso, disk)
    try:
        _, after = run.until(PROMPT)
        run.send(b"mount\r")
        _, after = run.until(PROMPT, after)
        for _ in range(repeat):
            sent = time.perf_counter()
            run.send(b"execute /bin/hello-glibc\r")
            _, start = run.until(SEPARATOR, after, timeout=20)
            at, _ = run.until(b"", start, timeout=20)
            _, after = run.until(PROMPT, start, timeout=20)
            if run.data[start:after] != HELLO_RUN:
                return False
            trips.append(at - sent)
        return True
    except RuntimeError:
        return False
    finally:
        run.stop()


def program_output(region):
    """What a program printed on Tarvelin, from the launch's separator to the prompt:
    None unless the shell closed it as usual. The kernel's own "[syscall]" notes
    are set aside: Linux prints none to compare them with."""
    if not region.endswith(RUN_TAIL):
        return None
    return b"".join(line for line in region[:-len(RUN_TAIL)].splitlines(keepends=True)
                    if not line.startswith(b"[syscall] "))


def time_workloads(run, repeat, times, expected, after, line, reply):
    """Sends each workload's `line(args)` `repeat` times and appends its round trip
    to `times`; `reply(after)` waits for the answer and gives (its time, what the
    program printed, where the next answer starts). A workload is removed from
    `expected` once it prints other than on Linux."""
    for _ in range(repeat):
        for name, args, _ in WORKLOADS:
            if name not in expected:
                continue
            sent = time.perf_counter()
            run.send(line(args))
            at, output, after = reply(after)
            if output != expected[name]:
                del expected[name]
                continue
            times[name].append(at - sent)


def time_busybox_tarvelin(iso, disk, repeat, times, expected):
    """Each workload's round trip on Tarvelin: `execute` sent -> prompt."""
    if not expected:
        return
    run = Run(iso, disk)

    def reply(after):
        _, start = run.until(SEPARATOR, after)
        at, after = run.until(PROMPT, start)
        return at, program_output(run.data[start:after]), after
    try:
        _, after = run.until(PROMPT)
        run.send(b"mount\r")
        _, after = run.until(PROMPT, after)
        time_workloads(run, repeat, times, expected, after,
                       lambda args: b"execute /bin/busybox " + args.encode() + b"\r", reply)
    except RuntimeError:
        expected.clear()
    finally:
        run.stop()


def boot_linux(linux):
    """QEMU start -> the first byte on COM1 and -> /init's first prompt, and that
    first byte's line."""
    run = Run(None, None, linux)
    try:
        first, _ = run.until(b"")
        ready, after = run.until(LINUX_PROMPT)
        return first - run.start, ready - run.start, bytes(run.data[:run.data.find(b"\n")])
    finally:
        run.stop()


def time_busybox_linux(linux, repeat, times, expected):
    """As time_busybox_tarvelin, with the line sent to Linux's /init."""
    if not expected:
        return
    run = Run(None, None, linux)

    def reply(after):
        at, end = run.until(LINUX_PROMPT, after)
        return at, bytes(run.data[after:end - len(LINUX_PROMPT)]), end
    try:
        _, after = run.until(LINUX_PROMPT)
        time_workloads(run, repeat, times, expected, after, lambda args: b"/bin/busybox " + args.encode() + b"\r",
                       reply)
    except RuntimeError:
        expected.clear()
    finally:
        run.stop()


def ms(seconds):
    return "%8.1f ms" % (seconds * 1000)


def against_linux(build, iso, runs, repeat):
    """Boots Debian's kernel with busybox in an initramfs and Tarvelin with the
    same busybox on its disk, alternately; returns what print_linux prints."""
    print("  Debian's kernel and busybox in %s" % os.path.join(build, "bench-linux"), file=sys.stderr)
    kernel, busybox, about, fetched = fetch_debian(build)
    if fetched:
        print("  fetched %s: %.1f MB" % (about, fetched / 1e6), file=sys.stderr)
    files = workload_files()
    out = os.path.join(build, "bench-linux")
    # Booted alone, /init's busybox is all there is to load; the workloads' files
    # go in a second initramfs, so that unpacking them weighs on no boot figure.
    bare = (kernel, build_initramfs(os.path.join(out, "initramfs-boot.gz"), busybox, {}))
    loaded = (kernel, build_initramfs(os.path.join(out, "initramfs-work.gz"), busybox, files))
    disk = build_busybox_disk(build, busybox, files)
    r = {"about": about, "first": [], "ready": [], "first_line": b"", "sort_bytes": len(files["lines"]),
         "busybox_bytes": os.path.getsize(busybox), "runs": runs, "repeat": repeat}
    for side in ("tarvelin", "linux"):
        r[side] = {name: [] for name, _, _ in WORKLOADS}
        r[side + "_ok"] = expected_outputs(files)
    for i in range(runs):
        first, ready, r["first_line"] = boot_linux(bare)
        r["first"].append(first)
        r["ready"].append(ready)
        time_busybox_linux(loaded, repeat, r["linux"], r["linux_ok"])
        time_busybox_tarvelin(iso, disk, repeat, r["tarvelin"], r["tarvelin_ok"])
        print("  Linux run %d/%d: ready %s" % (i + 1, runs, ms(ready)), file=sys.stderr)
    return r


def print_linux(r, to_mark, boot):
    med = statistics.median
    print()
    print("  against Linux: Debian's %s" % r["about"])
    print("  %-34s %11s %11s %15s" % ("median", "Tarvelin", "Linux", "Tarvelin/Linux"))
    for label, tarvelin, linux in (("QEMU start -> first byte on COM1", to_mark, r["first"]),
                                   ("QEMU start -> ready for a command", boot, r["ready"])):
        print("  %-34s %s %s %15.3f" % (label, ms(med(tarvelin)), ms(med(linux)), med(tarvelin) / med(linux)))
    for name, _, label in WORKLOADS:
        figures = [med(r[side][name]) if name in r[side + "_ok"] and r[side][name] else None
                   for side in ("tarvelin", "linux")]
        cells = [ms(f) if f is not None else "%11s" % "no figure" for f in figures]
        ratio = "%15.3f" % (figures[0] / figures[1]) if None not in figures else ""
        print(("  %-34s %s %s %s" % (label, cells[0], cells[1], ratio)).rstrip())
    first = ("/init's (%r): with quiet the kernel prints nothing before it" % r["first_line"].strip().decode()
             if r["first_line"].startswith(b"init") else "the kernel's (%r)" % r["first_line"].decode())
    notes = [
        "boots: Tarvelin %d (as above), Linux %d; commands: %d each, the line sent -> the next prompt"
        % (len(boot), r["runs"], r["runs"] * r["repeat"]),
        "first byte: Tarvelin's boot mark P, its kernel's first output after GRUB (the",
        "  reference's byte above is what the firmware and GRUB take);",
        "  Linux is loaded by QEMU's -kernel (no GRUB), %s" % LINUX_COMMAND_LINE,
        "  and its first byte is %s" % first,
        "ready: Tarvelin's first prompt; Linux: the first prompt of /init (busybox sh)",
        "sort prints its {:,} lines ({:,} KiB) on COM1: both figures include the serial line"
        .format(SORT_LINES, r["sort_bytes"] // 1024),
        "Tarvelin reads busybox ({:,} KiB) and the files from its ext2 disk at each command;"
        .format(r["busybox_bytes"] // 1024),
        "  Linux has them in its initramfs, in memory",
    ]
    if any(name not in r[side + "_ok"] for name, _, _ in WORKLOADS for side in ("tarvelin", "linux")):
        notes.append("no figure: the command printed other than busybox on Linux does (or did not finish)")
    for note in notes:
        print("  " + note)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.environ.get("TARVELIN_BUILD", os.path.join(ROOT, "build")))
    p.add_argument("--iso", help="the Tarvelin ISO to time (default: BUILD/tarvelin.iso)")
    p.add_argument("--runs", type=int, default=15, help="boots of each kernel (default 15)")
    p.add_argument("--repeat", type=int, default=3, help="round trips of each command per boot (default 3)")
    p.add_argument("--linux-runs", type=int, default=3,
                   help="boots of Linux, and of each kernel for the busybox commands (default 3; 0: none)")
    a = p.parse_args(argv)
    iso = a.iso or os.path.join(a.build, "tarvelin.iso")
    disk = os.path.join(a.build, "disk.img")
    for path in (iso, disk):
        if not os.path.exists(path):
            sys.exit("bench: %s is missing (make build first)" % path)
    kernel_file = os.path.join(a.build, "isodir", "boot", "kernel.elf")
    reference, padded = build_reference(a.build, os.path.getsize(kernel_file))
    big_disk = build_big_directory_disk(a.build)
    hello_disk, hello_runs = build_hello_disk(a.build), True

    ref_boot, padded_boot, to_mark, boot, startup = [], [], [], [], []
    hello = "hello-glibc: sent -> first byte"
    trips = {line: [] for line in COMMANDS + ["mount (1,000 names)", hello]}
    for i in range(a.runs):
        # Alternating, so a slow moment of the host weighs on both alike.
        ref_boot.append(boot_reference(reference, disk))
        padded_boot.append(boot_reference(padded, disk))
        mark, total, own = boot_tarvelin(iso, disk, a.repeat, trips)
        to_mark.append(mark)
        boot.append(total)
        startup.append(own)
        time_big_mount(iso, big_disk, a.repeat, trips["mount (1,000 names)"])
        hello_runs = hello_runs and time_hello(iso, hello_disk, a.repeat, trips[hello])
        print("  run %2d/%d: reference %s, Tarvelin %s" % (i + 1, a.runs, ms(ref_boot[-1]), ms(total)),
              file=sys.stderr)

    linux, linux_missing = None, None
    if a.linux_runs:
        try:
            linux = against_linux(a.build, iso, a.linux_runs, a.repeat)
        except FetchError as e:
            linux_missing = str(e)

    med = statistics.median
    print()
    print("  %-34s %11s %11s %11s" % ("median of %d boots" % a.runs, "median", "min", "max"))
    rows = [("reference: QEMU start -> byte", ref_boot), ("padded reference: -> byte", padded_boot),
            ("Tarvelin: QEMU start -> P", to_mark),
            ("Tarvelin: QEMU start -> prompt", boot),
            ("Tarvelin start-up: P -> prompt", startup)]
    for label, values in rows:
        print("  %-34s %s %s %s" % (label, ms(med(values)), ms(min(values)), ms(max(values))))
    print("  %-34s %8.3f" % ("boot ratio Tarvelin / reference", med(boot) / med(ref_boot)))
    # Each pair of boots ran back to back: their difference is steadier than
    # either time when the host is busy.
    print("  %-34s %s" % ("median of paired differences", ms(med(t - r for t, r in zip(boot, ref_boot)))))
    # Against a reference of the same file size: what Tarvelin adds beyond its bytes.
    print("  %-34s %s" % ("... against the padded reference", ms(med(t - r for t, r in zip(boot, padded_boot)))))
    print()
    print("  %-34s %11s %11s %11s" % ("round trip (%d each)" % (a.runs * a.repeat), "median", "min", "max"))
    for line, values in trips.items():
        if line != hello or hello_runs:
            print("  %-34s %s %s %s" % (line, ms(med(values)), ms(min(values)), ms(max(values))))
    if not hello_runs:
        print("  %-34s did not print what it prints on Linux: no figure" % hello)
    if linux:
        print_linux(linux, to_mark, boot)
    elif a.linux_runs:
        print()
        print("  against Linux: no figures (%s)" % linux_missing)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
