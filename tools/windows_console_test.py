#!/usr/bin/env python3
"""Drives a Windows build of invokemodule through a real console: Wine's console host attached
to a pseudo-terminal. Covers what redirected transcripts cannot reach: lines read with
ReadConsoleW (UTF-16, any length) and output through the console (colour attributes as the
console shows them, UTF-8 text, the cursor moved back up after an empty line).

Wine renders the console as VT sequences, so colours are checked by the sequences its console
host writes for the attributes: 92 bright green (10), 96 bright cyan (11), 90 dark grey (8),
33 dark yellow (6), 36 dark cyan (3), 97 white (15)."""
import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import PLAIN_BANNER as BANNER, run_tests  # noqa: E402

LONG_TEXT = "x" * 300  # far beyond one 255-unit console read
WIDE_TEXT = "h\u00e9\U0001F600"  # two bytes and four bytes in UTF-8; a surrogate pair in UTF-16


class ConsoleProgram:
    """The program under Wine with a pseudo-terminal as its console. With `pipe_output` its
    standard output is a pipe instead, so the transcript is exact bytes while typed lines
    still arrive through the console. With `controlling` the pseudo-terminal is the session's
    controlling terminal, as the terminal a user starts Wine from: a typed Ctrl-C becomes
    SIGINT for Wine's processes there, which Wine raises as the console's Ctrl-C event (with no
    controlling terminal the terminal's line discipline drops it)."""

    def __init__(self, ctx, pipe_output, controlling=False):
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 60, 160, 0, 0))
        env = dict(os.environ, TERM="xterm")
        env.pop("NO_COLOR", None)
        env.pop("FORCE_COLOR", None)
        self.proc = subprocess.Popen([ctx.args.runner, ctx.exe], stdin=slave,
                                     stdout=subprocess.PIPE if pipe_output else slave,
                                     stderr=slave, cwd=ctx.work, env=env, start_new_session=True,
                                     preexec_fn=take_as_controlling_terminal if controlling else None)
        os.close(slave)
        self.screen = b""  # what the console host wrote to the terminal

    def pump(self, seconds):
        deadline = time.monotonic() + seconds
        while (remaining := deadline - time.monotonic()) > 0:
            ready, _, _ = select.select([self.master], [], [], remaining)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.screen += data

    def screen_until(self, pattern, timeout=20.0):
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        while not regex.search(plain(self.screen)):
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {pattern!r}; screen:\n"
                                     f"{plain(self.screen)!r}")
            self.pump(0.1)

    def type(self, text):
        os.write(self.master, text.encode("utf-8"))
        self.pump(0.5)

    def finish(self, timeout=20.0):
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
            raise AssertionError("the program did not end")
        self.pump(0.2)
        os.close(self.master)
        return out, self.proc.returncode


def take_as_controlling_terminal():
    """In the child, a session leader already: its standard input becomes its terminal."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def plain(screen):
    """The terminal text without the cursor hide/show pairs that frame every console write."""
    text = screen.decode("utf-8", "replace")
    return text.replace("\x1b[?25l", "").replace("\x1b[?25h", "").replace("\r", "")


def settle():
    """Input typed before the program's first read is discarded by design: give the program
    time to reach that read."""
    time.sleep(6.0)  # generous: a loaded machine starts Wine slowly


def typed_lines_arrive_whole_as_utf8(ctx):
    program = ConsoleProgram(ctx, pipe_output=True)
    settle()
    program.type(f'"testext_full" invokeModule ["args", ["{WIDE_TEXT}"]]\r')
    program.type(f'"testext_full" invokeModule ["args", ["{LONG_TEXT}", "end"]]\r')
    program.type("\r")
    program.type("   \t  \r")
    program.type("exit\r")
    out, code = program.finish()
    assert code == 0, f"exit code {code}"
    time_line = r"Execution time: \d+\.\d{6} ms\n\n"
    expected = (re.escape(BANNER)
                + r"Callback registered: [0-9A-F]{8,16}\n"
                + r"InvokeModule loaded: testext_full \(testext_full(_x64)?\.dll\) \[testext 1\.0\]\n"
                + time_line
                + re.escape(f'["1|""{WIDE_TEXT}""",1,0]\n') + time_line
                + re.escape(f'["2|""{LONG_TEXT}""|""end""",2,0]\n') + time_line
                + re.escape("Unknown command\n\nUnknown command\n\n"))
    text = out.decode("utf-8", "backslashreplace")
    assert re.fullmatch(expected, text), f"transcript differs:\n{text}"
    assert WIDE_TEXT.encode("utf-8") in out  # four bytes for the character beyond the BMP


def console_shows_colours_text_and_cursor_moves(ctx):
    program = ConsoleProgram(ctx, pipe_output=False)
    program.screen_until(r"Available commands:.*={63}\n\n")
    settle()
    program.type('"testext_full" invokeModule "caf\u00e9"\r')
    program.screen_until(r'"caf\u00e9"\n.*Execution time')
    program.type("\r")
    program.screen_until(r"Unknown command\n\n")
    program.type("exit\r")
    _, code = program.finish()
    assert code == 0, f"exit code {code}"
    screen = plain(program.screen)
    checks = [
        ("banner line in bright green", r"\x1b\[92m More info @ "),
        ("second banner line in bright cyan", r"\x1b\[96m If you like this tool"),
        ("command list in dark grey", r"\x1b\[90m Available commands:"),
        ("load message in dark yellow", r"\x1b\[33mCallback registered: [0-9A-F]+\n"
                                        r"InvokeModule loaded: testext_full"),
        ("execution time in dark cyan", r"\x1b\[36mExecution time: \d+\.\d{6} ms"),
        ("UTF-8 result shown as text, in bright cyan", "\x1b\\[96m\"caf\u00e9\"\n"),
        # The empty line's echoed line feed is taken back: the cursor is set one row up
        # before the notice is written.
        ("cursor moved up before the notice", r"\n\x1b\[\d+;1H(\x1b\[\d+m)*Unknown command"),
    ]
    failures = [name for name, pattern in checks if not re.search(pattern, screen, re.S)]
    assert not failures, f"missing: {', '.join(failures)}; screen:\n{screen!r}"


def ctrl_c_abandons_a_hung_call_after_a_fault_in_the_callback(ctx):
    program = ConsoleProgram(ctx, pipe_output=False, controlling=True)
    program.screen_until(r"Available commands:.*={63}\n\n")
    settle()
    # What is typed, and what the screen shows next.
    steps = [
        ('"crashy" invokeModule "badcallback"\r', r'ERROR: Extension crashed: [^\n]* in RVExtension\("badcallback"\)'),
        ('freeExtension "crashy"\r', r"Extension unloaded"),
        ('"crashy" invokeModule "loop"\r', re.escape("Call has been running for 1000 ms (press Ctrl-C to abandon it)")),
        ("\x03", r'ERROR: Call abandoned: RVExtension\("loop"\) was still running after \d+ ms\n'),
        ('"crashy" invokeModule "after"\r', re.escape("Extension crashed; freeExtension it to load it again")),
    ]
    for typed, shown in steps:
        program.type(typed)
        program.screen_until(shown)
    program.type("exit\r")
    _, code = program.finish()
    assert code == 0, f"exit code {code}"


def notice_of_hung_start_up_code_offers_no_ctrl_c(ctx):
    # Windows runs a console's Ctrl-C on a new thread, which cannot start while the loader's
    # lock is held: the notice does not offer what cannot work. (The first call of the session:
    # the watchdog's own thread must be running before it.)
    program = ConsoleProgram(ctx, pipe_output=False, controlling=True)
    program.screen_until(r"Available commands:.*={63}\n\n")
    settle()
    program.type('"sigext_starthang" invokeModule "x"\r')
    program.screen_until(re.escape("Call has been running for 1000 ms (Ctrl-C cannot abandon start-up or "
                                   "clean-up code here: the system holds its loader's lock)"))
    program.proc.kill()
    program.proc.wait()
    os.close(program.master)


TESTS = [typed_lines_arrive_whole_as_utf8, console_shows_colours_text_and_cursor_moves,
         ctrl_c_abandons_a_hung_call_after_a_fault_in_the_callback, notice_of_hung_start_up_code_offers_no_ctrl_c]


def main():
    return run_tests(TESTS, __doc__, lambda parser: parser.add_argument("--runner", default="wine"))


if __name__ == "__main__":
    sys.exit(main())
