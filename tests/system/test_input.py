"""Nothing typed or stored is lost: terminal escape sequences and extended keys type nothing,
input sent on COM1 while a program runs is taken once it returns, and a machine too small for
the heap keeps every frame."""

from machine import MachineTest, main, read
from test_boot import boot

HELP = read("shell.txt")[1:11]  # help's reply


class Input(MachineTest):
    def test_escape_sequences_extended_keys_and_input_during_a_program(self):
        m = self.machine()
        boot(m)
        m.session("editing.txt", help=HELP)
        m.send(b"execute primes\r")
        m.until(b"  Entering userspace")
        m.send(b"ticks\r")  # COM1's line is masked while the program runs, open again after it
        m.until(b"  Returned to kernel shell.\ntarvelin> ")
        m.session(["ticks{0D}", "  Timer ticks:   {n}", "  Uptime (sec):  {n}"])

    def test_a_short_heap_start_up_gives_its_frames_back(self):
        m = self.machine(extra_args=["-m", "8M"])
        lines = read("boot.txt")
        at = lines.index("  [OK] Heap: 8192 KB available")
        lines[at:at + 1] = ["  [WARN] Heap: failed to pre-allocate 8 MB", "  [OK] Heap: 0 KB available"]
        free = boot(m, lines=lines)[5]
        meminfo = m.session(["tarvelin> meminfo", "  Physical Memory:", "    Total pages: {n} ({n} MB)",
                             "    Free pages:  {n} ({n} MB)", "    Used pages:  {n} ({n} MB)"])
        self.assertEqual(meminfo[2], free)


if __name__ == "__main__":
    main()
