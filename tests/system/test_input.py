"""Nothing typed is lost: terminal escape sequences and extended keys type nothing, and input
sent on COM1 while a program runs is taken once it returns."""

from machine import MachineTest, main, read
from test_boot import boot



class Input(MachineTest):
    def test_escape_sequences_extended_keys_and_input_during_a_program(self):
        m = self.machine()
        boot(m)
        m.session("editing.txt")
        m.send(b"execute primes\r")
        m.until(b"  Entering userspace")
        m.send(b"ticks\r")  # taken into the ring while the program runs, read once it returns
        m.until(b"  Returned to kernel shell.\ntarvelin> ")
        m.session(["ticks{0D}", "  Timer ticks:   {n}", "  Uptime (sec):  {n}"])


if __name__ == "__main__":
    main()
