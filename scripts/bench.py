#!/usr/bin/env python3
"""Times Tarvelin's boot and a few commands in QEMU, against a reference kernel.

    bench.py [--build DIR] [--runs N] [--repeat N]

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
after the launch path's separator. Nothing passes or fails.
"""

import argparse
import os
import select
import shutil
import statistics
import subprocess
import sys
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
HELLO_RUN = b"hello, world\n\n" + SEPARATOR + b"  Returned to kernel shell.\n" + PROMPT


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


class Run:
    """One QEMU process with COM1 on a pipe; every chunk read is time-stamped."""

    def __init__(self, iso, disk):
        args = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "qemu64", "-m", "512M", "-boot", "d",
                "-cdrom", iso, "-display", "none", "-no-reboot",
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


def ms(seconds):
    return "%8.1f ms" % (seconds * 1000)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.environ.get("TARVELIN_BUILD", os.path.join(ROOT, "build")))
    p.add_argument("--iso", help="the Tarvelin ISO to time (default: BUILD/tarvelin.iso)")
    p.add_argument("--runs", type=int, default=15, help="boots of each kernel (default 15)")
    p.add_argument("--repeat", type=int, default=3, help="round trips of each command per boot (default 3)")
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
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
