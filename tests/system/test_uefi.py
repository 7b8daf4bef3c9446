"""The same ISO under UEFI firmware (OVMF): from the first boot mark on, start-up, a program,
and the disk commands read as under BIOS (memory figures aside), CR0 and CR4 included."""

import os
import shutil
import tempfile

from machine import BUILD, MachineTest, main, programs, read
from test_boot import boot
from test_disk import Volume

OVMF = "/usr/share/OVMF/"


class Uefi(MachineTest):
    def test_start_up_program_and_disk(self):
        with tempfile.TemporaryDirectory() as tmp:
            store = shutil.copy(OVMF + "OVMF_VARS_4M.fd", tmp)  # the firmware writes its variables
            disk = Volume(os.path.join(BUILD, "disk.img"))
            m = self.machine(disk=disk.path, extra_args=[
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF + "OVMF_CODE_4M.fd",
                "-drive", "if=pflash,format=raw,unit=1,file=" + store])
            m.until(b"PLTM6")  # the firmware and GRUB write to COM1 first
            boot(m, lines=[""] + read("boot.txt")[1:], probe=read("probe.txt"), sectors=131072, mb=64)
            runs = read("programs.txt")
            m.session(runs[:runs.index("tarvelin> execute primes")] + read("disk.txt"), **programs(), **disk.values())


if __name__ == "__main__":
    main()
