"""Every carried program, run from the shell in ring 3, byte for byte."""

import expected_programs
from harness import PROMPT, MachineTest, main
from launch import split_run

NAMES = ["fibonacci", "primes", "ascii", "matrix", "guess", "sort", "raw", "stack", "hello2"]
AVAILABLE = "  Available: " + ", ".join(NAMES) + "\n"


class Programs(MachineTest):
    def setUp(self):
        self.m = self.machine()
        self.m.boot()

    def run_program(self, line, name):
        reply = self.m.command(line, timeout=120)
        echo = (line + "\r\n").encode()
        self.assertTrue(reply.startswith(echo))
        output = split_run(self.m, name, reply[len(echo):])
        problem = expected_programs.check(name, output)
        if problem:
            self.m.fail(problem)

    def test_apps_lists_the_registry(self):
        got = self.m.command("apps").decode()
        self.assertTranscript(self.m, got, "apps\r\n  Available applications:\n" +
                              "".join("    %s\n" % n for n in NAMES) + "\n  Usage: execute <name>\n")

    def test_every_program_twice(self):
        for name in NAMES:
            for _ in range(2):
                self.run_program("execute " + name, name)
        self.run_program("run", "hello")
        self.run_program("run", "hello")

    def test_not_found_replies(self):
        for typed in ["hello", "", " primes", "Fibonacci", "fibonacci "]:
            got = self.m.command("execute " + typed).decode()
            self.assertTranscript(self.m, got, "execute %s\r\n  '%s': application not found.\n%s"
                                  % (typed, typed, AVAILABLE))

    def test_thirty_launches_in_a_row(self):
        for i in range(30):
            name = ["raw", "stack", "hello2"][i % 3]
            self.run_program("execute " + name, name)
        # The machine still answers its core commands exactly.
        got = self.m.command("ticks").decode()
        self.assertRegex(got, r"^ticks\r\n  Timer ticks:   \d+\n  Uptime \(sec\):  \d+\n$")

    def test_keys_pressed_while_programs_run(self):
        # Only the keyboard line is open during a run: keys are taken in ring 3,
        # wait in the ring, and make up the next line.
        for name in ["fibonacci", "ascii", "guess"]:
            self.m.send(("execute %s\r" % name).encode())
            # The line is longer than the UART's receive FIFO: a key pressed
            # before its end is echoed would land inside it.
            self.m.wait_for("execute %s\r\n" % name)
            self.m.send_keys(["a", "b", "c"])
            got = self.m.wait_for(PROMPT, timeout=120)
            self.assertIn(b"  Returned to kernel shell.\n", got)
            self.m.send_keys(["ret"])
            got = self.m.wait_for(PROMPT).decode()
            self.assertTranscript(self.m, got, "abc\r\n  Unknown: 'abc'. Type 'apps' for applications.\ntarvelin> ")


if __name__ == "__main__":
    main()
