"""Debian's static busybox reads a volume on Tarvelin as on Linux: each applet below runs from the
disk and prints, stdout and stderr merged as they reach the serial line, byte for byte what the
same binary prints on this host when chrooted into a read-only bind mount of the tree the disk was
made from. Only what the file system decides is evened out: mkfs's lost+found, ls's block totals
and directory sizes, and the order of entries where a listing keeps the directory's order ('~'
cases, lines sorted). Exit statuses show only through sh's builtins (`echo $?`)."""

import glob
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import tempfile

from machine import BUILD, MachineTest, main, make_disk, read
from test_boot import boot

STAMP = 1000000000  # long past, so ls prints the year on both sides whatever their clocks say
TEXT = {"text/poem.txt": "Roses are red,\n\tviolets\tare blue;\nna\u00efve caf\u00e9 \u2014 \u00fcn\u00efc\u00f6d\u00e9 \u2713\n"
                         "the Needle is here\nno newline at the end",
        "text/numbers.txt": "10\n9\n100\n-3\n42\n7\n", "text/table.txt": "root:x:0:0\nbin:x:1:1\nnobody:x:65534:9\n",
        "text/a.txt": "one\ntwo\nthree\nfour\n", "text/b.txt": "one\n2\nthree\nfour\nfive\n", "empty": "",
        "deep/a/b/c/leaf.txt": "a needle deep down\n", "deep/a/b/other.txt": "other\n",
        "script.sh": "echo \"$0 $# $1 $2\"\nfor f in /empty /text /link-file /dangling /loop; do\n"
                     "  test -e $f && echo $f e; test -d $f && echo $f d; test -L $f && echo $f L\n"
                     "  test -s $f && echo $f s; test -x $f && echo $f x; test -w $f || echo $f w\ndone\n"
                     "while IFS=: read -r name pw uid rest; do printf '%s=%s\\n' \"$name\" \"$uid\"; done < /text/table.txt\n"
                     "exec 3< /text/a.txt\nread -r one <&3; read -r two <&3; echo \"$one $two\"\nexec 3<&-\n"
                     "read -r x <&3; echo \"closed: $?\"\ncd /link-dir/b && pwd && pwd -P && cd .. && pwd\n"
                     "[ /text/a.txt -ef /text/hard.txt ] && echo same\n. /nowhere\necho unreached\n"}
MODES = {"text/b.txt": 0o600, "text/table.txt": 0o444, "script.sh": 0o755, "deep/a": 0o750}
LINKS = {"link-file": "text/poem.txt", "link-dir": "/deep/a", "dangling": "/nowhere", "loop": "loop"}
# One case a line, as typed after `execute /bin/busybox `: '=' compared as it is, '~' with its lines sorted.
CASES = [(c[0], c[2:]) for c in """\
= cat /text/poem.txt /empty /link-file /link-dir/b/c/leaf.txt text/a.txt
= cat //text/./a.txt /../text/b.txt /link-dir/../../text/hard.txt
= cat /nowhere /text/a.txt /deep /text/b.txt /text/a.txt/x /loop /dangling
= head -n 3 /text/poem.txt /text/a.txt
= head -c 64 /data/blob.bin
= tail -n 2 /text/poem.txt
= tail -c 40 /data/blob.bin
= wc /text/poem.txt /text/numbers.txt /empty /data/blob.bin /link-file /nowhere
= grep -n -i needle /text/poem.txt /deep/a/b/c/leaf.txt /nowhere
~ grep -r -l e /text /deep /link-dir
= grep -c e /text/a.txt /text/b.txt /deep
= sort /text/numbers.txt /text/a.txt
= sort -n -r /text/numbers.txt
= sort -t: -k3n /text/table.txt
= cut -d: -f1,3 /text/table.txt
= cut -c 2-9 /text/poem.txt
= sha256sum /bin/busybox /data/blob.bin /empty /link-file
= md5sum /text/poem.txt /text/hard.txt /many/entry-with-a-rather-long-name-017
= cmp /text/a.txt /text/b.txt
= cmp -l /text/a.txt /text/b.txt
= cmp /nowhere /text/a.txt
= diff -u /text/a.txt /text/b.txt
= diff -rq /text /deep/a/b
= ls -l /
= ls -la /deep/a
= ls -lR /deep
= ls -l /link-dir /link-dir/ /dangling /loop /text
= ls -lL /link-file /nowhere
= ls /many /bin
~ find /
~ find / -type l
~ find /deep /text -type f -name '*.txt'
~ find -L /link-dir
~ find / -size +100k
~ find / -empty
= stat -c '%n|%s|%F|%a|%A|%h|%u|%g|%X|%Y|%y|%N' /text/a.txt /text/hard.txt /empty /link-file /loop /bin/busybox
= stat -L -c '%n|%F|%a|%h|%X|%y' /link-file /link-dir /deep /dangling
= readlink /link-dir
= readlink -v /text/a.txt
= readlink -f /link-dir/b/../../a/./b/c/leaf.txt
= hexdump -C /text/poem.txt
= hexdump -C -s 70000 -n 48 /data/blob.bin
= od -A x -t x1 -j 4090 -N 20 /data/blob.bin
= od -c /text/poem.txt
= seq -s , 1 3 20
= printf '%s|%5d|%x\\n' one 42 255
= sh -c 'echo a; x=1; echo $x; cd /deep/a; pwd; test -d /deep && echo yes; test -f /deep || echo no; cd b; read -r y < c/leaf.txt; echo $y'
= sh /script.sh one 'two words'
= sh -c 'cd /nowhere; echo $?; cd /text/a.txt; echo $?; read x < /nowhere; echo $?; read x < /deep; echo $?'
= sh -c 'echo x > /new; echo $?; echo y >> /text/a.txt; echo $?'
= touch /newfile /text/a.txt
""".splitlines()]


def busybox():
    """busybox-static's binary, unpacked (never installed: it would replace the host's busybox)."""
    cache = os.path.join(BUILD, "busybox")
    binary = os.path.join(cache, "bin", "busybox")
    if not os.path.exists(binary):
        os.makedirs(cache, exist_ok=True)
        fetch = ["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root", "busybox-static"]
        if subprocess.run(fetch, cwd=cache).returncode:  # no package lists yet
            subprocess.run(["apt-get", "update", "-q"], check=True)
            subprocess.run(fetch, cwd=cache, check=True)
        subprocess.run(["dpkg-deb", "-x", glob.glob(os.path.join(cache, "busybox-static_*.deb"))[0], cache], check=True)
    return binary


def settle(tree):
    """Every entry's times but the root's, which mkfs sets to its own."""
    for top, dirs, files in os.walk(tree, topdown=False):  # a directory after its listing moved its atime
        for name in dirs + files:
            os.utime(os.path.join(top, name), (STAMP, STAMP), follow_symlinks=False)


def make_tree(tree):
    for name, text in TEXT.items():
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        with open(os.path.join(tree, name), "w", encoding="utf-8") as f:
            f.write(text)
    for name in ["bin", "data", "many"]:
        os.mkdir(os.path.join(tree, name))
    shutil.copyfile(busybox(), os.path.join(tree, "bin", "busybox"))
    os.chmod(os.path.join(tree, "bin", "busybox"), 0o755)
    with open(os.path.join(tree, "data", "blob.bin"), "wb") as f:  # into the doubly indirect blocks
        f.write(hashlib.shake_256(b"tarvelin").digest(300000))
    for i in range(120):  # a directory of several blocks
        open(os.path.join(tree, "many", "entry-with-a-rather-long-name-%03d" % i), "w").close()
    for name, mode in MODES.items():
        os.chmod(os.path.join(tree, name), mode)
    for name, target in LINKS.items():
        os.symlink(target, os.path.join(tree, name))
    os.link(os.path.join(tree, "text", "a.txt"), os.path.join(tree, "text", "hard.txt"))


def host(tree, argv):
    """The merged output of busybox chrooted into the tree, read-only, with an empty environment."""
    script = ('PATH=$PATH:/usr/sbin:/sbin; mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && '
              'exec env -i "$(command -v chroot)" "$0" /bin/busybox "$@"')
    run = subprocess.run(["unshare", "--mount", "sh", "-c", script, tree] + argv, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, cwd="/", timeout=60)
    if run.returncode >= 32:  # busybox's own failures are 1 and 2: this is the chroot or the mount
        raise AssertionError("the host could not run %s:\n%s" % (argv, run.stdout.decode("latin-1")))
    return run.stdout


def normal(out, how):
    lines = [re.sub(rb"^total \d+$", b"total", re.sub(rb"^(d[-rwxsStT]{9} +\d+ +\S+ +\S+) +\d+", rb"\1 _", x))
             for x in out.split(b"\n") if b"lost+found" not in x]
    return b"\n".join(sorted(lines) if how == "~" else lines)


class Busybox(MachineTest):
    def test_applets_as_on_linux(self):
        if os.geteuid():
            self.skipTest("the host's side needs root, for chroot and a read-only bind mount")
        with tempfile.TemporaryDirectory() as tmp:
            tree, disk = os.path.join(tmp, "tree"), os.path.join(tmp, "disk.img")
            make_tree(tree)
            settle(tree)
            make_disk(disk, tree)
            settle(tree)  # mkfs read the files and moved their access times
            expected = [normal(host(tree, shlex.split(typed)), how) for how, typed in CASES]
            m = self.machine(disk=disk)
            boot(m, probe=read("probe.txt"), sectors=131072, mb=64)
            m.command("mount")
            memory = m.command("meminfo")
            for (how, typed), want in zip(CASES, expected):
                line = "execute /bin/busybox " + typed
                self.assertLessEqual(len(line), 255, "the shell takes no longer line")
                with self.subTest(typed):
                    lost = line  # until the prompt is back: if it never comes, the cases after it would only wait
                    got = normal(m.program(line), how)
                    lost = None
                    self.assert_printed(line, want, got)
                if lost:
                    break
            else:
                self.assertEqual(m.command("meminfo"), memory, "memory after the applets")


if __name__ == "__main__":
    main()
