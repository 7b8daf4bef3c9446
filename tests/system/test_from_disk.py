"""Programs run from the mounted volume (`execute /path`): each demonstration program and hello
print what their carried twins print; every refusal has its line; twenty runs leave memory as
it was. The damaged ELF files are made here from a good one."""

import os
import re
import shutil
import struct
import tempfile

from machine import BUILD, PROGRAMS, MachineTest, main, make_disk, programs, read
from test_boot import boot
from test_disk import PART, Volume

ON_DISK = {p["command"] or p["name"]: p["disk"] for p in PROGRAMS if p["disk"]}  # by the name the launch path shows


def runs_from_disk(sizes):
    """programs.txt's sessions of the programs on the disk, each started as /bin/<its name there>."""
    values, out, keep = programs(), [], False
    for line in read("programs.txt"):
        start = re.fullmatch(r"tarvelin> (?:execute (\w+)|run)", line)
        if start:
            name = start.group(1) or "hello"
            keep, path = name in ON_DISK, "/bin/%s" % ON_DISK.get(name)
            line = ["tarvelin> execute " + path, "[ext2] Opened inode {n}, size=%d bytes" % sizes.get(path, 0)]
        elif line.startswith("{load_"):
            line = ["  Loading ELF64 binary: " + path] + values["load_" + name][1:]
        if keep:
            out += line if isinstance(line, list) else [line]
    return out


class FromDisk(MachineTest):
    def test_programs_and_refusals(self):
        with tempfile.TemporaryDirectory() as tmp:
            tree, disk = os.path.join(tmp, "tree"), os.path.join(tmp, "disk.img")
            shutil.copytree(os.path.join(BUILD, "disk-root"), tree, symlinks=True)
            os.mkdir(os.path.join(tree, "bad"))
            with open(os.path.join(tree, "bin", "fibonacci"), "rb") as f:
                good = bytearray(f.read())
            phoff = struct.unpack_from("<Q", good, 32)[0]
            outside = bytearray(good)
            struct.pack_into("<Q", outside, phoff + 16, 0x300000)  # the first segment's address
            for name, data in [("bad/truncated", good[:200]), ("bad/outside", outside), ("bad/failing", good),
                               ("big", bytes(4 * 1024 * 1024 + 1))]:
                with open(os.path.join(tree, name), "wb") as f:
                    f.write(data)
            make_disk(disk, tree)
            vol = Volume(disk)
            sector = (PART + int(vol.debugfs("blocks /bad/failing").split()[0]) * 1024) // 512
            config = os.path.join(tmp, "blkdebug.conf")
            with open(config, "w") as f:
                f.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\n' % sector)
            m = self.machine(extra_args=["-drive", "driver=raw,file.driver=blkdebug,file.config=%s,file.image.driver="
                                         "file,file.image.filename=%s,if=ide,index=0,media=disk" % (config, disk)])
            boot(m, probe=read("probe.txt"), sectors=131072, mb=64)
            before = m.session("from_disk.txt", **vol.values())[-6:]
            sizes = {"/bin/" + n: os.path.getsize(os.path.join(tree, "bin", n)) for n in ON_DISK.values()}
            runs = runs_from_disk(sizes)
            m.session(runs)
            for _ in range(20):
                m.session(runs[runs.index("tarvelin> execute /bin/primes"):runs.index("tarvelin> execute /bin/ascii")])
            self.assertEqual(m.session(read("from_disk.txt")[-5:]), before)


if __name__ == "__main__":
    main()
