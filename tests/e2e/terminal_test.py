#!/usr/bin/env python3
"""Drives the real invokemodule executable under a pseudo-terminal: colours, cursor moves,
window title, pause progress, line editing and interrupts, as a person at a terminal sees them."""
import os
import re
import select
import shutil
import stat
import subprocess
import tempfile
import time

from harness import BANNER_LINES, COMMAND_LIST, check, main, write

ESC = "\x1b"
BANNER = (
    ESC + "]0;Varnholt's invokeModule v2.0\x07"
    + ESC + "[92m" + BANNER_LINES[0]
    + ESC + "[96m" + BANNER_LINES[1]
    + ESC + "[0m\n"
    + ESC + "[90m" + COMMAND_LIST + ESC + "[0m"
)


class Terminal:
    """The program on the slave side of a pseudo-terminal; we read and type on the master."""

    def __init__(self, exe, args=(), env=None, cwd=None, stdin=None):
        self.master, slave = os.openpty()
        environment = dict(os.environ, TERM="xterm")
        environment.pop("NO_COLOR", None)
        environment.pop("FORCE_COLOR", None)
        # The typed history goes to the test's own folder, never into the developer's.
        environment["XDG_STATE_HOME"] = os.path.join(cwd or tempfile.mkdtemp(prefix="im-state-"), "state")
        environment.update(env or {})
        self.proc = subprocess.Popen([exe, *args], stdin=slave if stdin is None else stdin,
                                     stdout=slave, stderr=slave,
                                     cwd=cwd, env=environment, start_new_session=True,
                                     preexec_fn=lambda: __import__("fcntl").ioctl(
                                         1, __import__("termios").TIOCSCTTY, 0))
        os.close(slave)
        self.output = ""

    def read_until(self, pattern, timeout=10.0):
        """Reads until `pattern` (a regex) matches the output so far; returns the match."""
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        while True:
            m = regex.search(self.output)
            if m:
                return m
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"timed out waiting for {pattern!r}; output so far:\n"
                                     f"{self.output!r}")
            ready, _, _ = select.select([self.master], [], [], remaining)
            if ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
                if not data:
                    m = regex.search(self.output)
                    if m:
                        return m
                    raise AssertionError(f"program ended before {pattern!r}; output:\n"
                                         f"{self.output!r}")
                self.output += data.decode("utf-8", "replace").replace("\r\n", "\n")

    def settle(self):
        """Waits until the program is reading: input typed while the banner prints, before
        the program's first read, is discarded by design."""
        time.sleep(1.0)

    @classmethod
    def at_prompt(cls, ctx, **options):
        """Starts the program in the test's folder and waits for its first read."""
        t = cls(ctx.exe, cwd=ctx.work, **options)
        t.read_until(re.escape(BANNER))
        t.settle()
        return t

    def exit(self):
        self.type("exit\r")
        check(self.wait() == 0, "exit code 0")

    def type(self, text):
        os.write(self.master, text.encode("utf-8"))

    def wait(self, timeout=10.0):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("the program did not end; output:\n" + repr(self.output))
        try:
            while True:
                ready, _, _ = select.select([self.master], [], [], 0.2)
                if not ready:
                    break
                data = os.read(self.master, 65536)
                if not data:
                    break
                self.output += data.decode("utf-8", "replace").replace("\r\n", "\n")
        except OSError:
            pass
        os.close(self.master)
        return code


def test_banner_and_colours(ctx):
    t = Terminal.at_prompt(ctx)
    check(t.output.startswith(BANNER), "banner, title and command list in their colours:\n"
          + repr(t.output[:400]))
    t.type("hello\n")
    t.read_until(re.escape("hello\n" + ESC + "[33mUnknown command\n\n" + ESC + "[0m"))
    # An empty line's echo is taken back: the cursor moves up over it.
    t.type("   \n")
    t.read_until(re.escape(ESC + "[A" + ESC + "[33mUnknown command\n\n" + ESC + "[0m"))
    t.exit()


def test_ctrl_c_abandons_a_hung_call(ctx):
    t = Terminal.at_prompt(ctx)
    t.type('"crashy" invokeModule "loop"\n')
    t.read_until(re.escape('Call has been running for 1000 ms (press Ctrl-C to abandon it)\ncrashy: RVExtension("loop")\n\n'))
    t.type("\x03")
    m = t.read_until(r"ERROR: Call abandoned: RVExtension\(\"loop\"\) was still running after "
                     r"(\d+) ms\n((?:  at crashy_x64\.so\+0x[0-9a-f]+[^\n]*\n)+)\n")
    check(int(m.group(1)) >= 1000, "time since the call began: " + m.group(1))
    check(" in RVExtension " in m.group(2), "the frames reach the entry point: " + m.group(2))
    t.type('"crashy" invokeModule "again"\n')
    t.read_until(re.escape("Extension crashed; freeExtension it to load it again"))
    t.exit()


def test_empty_piped_lines_leave_the_cursor_where_it_is(ctx):
    t = Terminal(ctx.exe, cwd=ctx.work, stdin=subprocess.PIPE)
    t.proc.stdin.write(b"\n  \nexit\n")
    t.proc.stdin.close()
    check(t.wait() == 0, "exit code 0")
    check(t.output.count("Unknown command") == 2 and ESC + "[A" not in t.output,
          "no cursor move for piped input, which echoes nothing: " + repr(t.output[-200:]))


def test_output_arriving_while_typing_goes_above_the_line(ctx):
    t = Terminal.at_prompt(ctx)
    t.type('"testext_full" invokeModule "later 600 300"\r')
    t.read_until('"started"')
    t.type('"testext_full" invok')
    # Every line arrives without another command, and the typed text is drawn again below
    # the last of them.
    t.read_until(re.escape('"0:299"]\n' + ESC + "[0m") + '.*"testext_full" invok')
    check(t.output.count('>> ExtensionCallback: ["testext", "later", "0:') == 300,
          "every callback line shown once")
    t.type('eModule "hi"\r')
    t.read_until(RESULT_HI)
    t.exit()


def test_no_color_keeps_terminal_controls(ctx):
    t = Terminal(ctx.exe, env={"NO_COLOR": "1"}, cwd=ctx.work)
    t.read_until("Available commands:.*=\n\n")
    check(ESC + "[9" not in t.output and ESC + "[0m" not in t.output,
          "no colour escapes with NO_COLOR: " + repr(t.output[:300]))
    check(t.output.startswith(ESC + "]0;Varnholt's invokeModule v2.0\x07"), "title still set")
    t.settle()
    t.type("\n")
    t.read_until(re.escape(ESC + "[AUnknown command\n\n"))
    t.exit()


def test_pause_progress_sequence(ctx):
    write(ctx, "pause.sqf", "// short pause\nsleep 0.2\n")
    t = Terminal(ctx.exe, args=["pause.sqf"], cwd=ctx.work)
    m = t.read_until(
        re.escape(ESC + "[35mScript #1 started\n\n" + ESC + "[0m")
        + re.escape(ESC + "[32m// short pause\n" + ESC + "[0m")
        + re.escape(ESC + "[0msleep 0.2;\n" + ESC + "[0m" + ESC + "[90m")
        + r"((?:\r\d+%)*)\r100%\n"
        + re.escape(ESC + "[36m") + r"Execution time: (\d+\.\d{6}) ms\n\n"
        + re.escape(ESC + "[0m") + "\n"
        + re.escape(ESC + "[35mScript #1 finished\n\n" + ESC + "[0m"))
    figures = [int(x) for x in re.findall(r"\r(\d+)%", m.group(1))]
    check(len(figures) >= 50, f"one figure per partial pause: {figures}")
    check(figures[0] in (0, 1), f"the first figure trails by one pass: {figures[:3]}")
    check(figures == sorted(figures) and figures[-1] <= 100, f"figures rise: {figures}")
    elapsed = float(m.group(2))
    check(195.0 <= elapsed <= 400.0, f"a 0.2 s pause took {elapsed} ms")
    t.settle()
    t.exit()


RESULT_HI = re.escape(ESC + '[96m"hi"\n' + ESC + "[0m")


def test_typed_non_ascii_text_reaches_the_extension(ctx):
    t = Terminal.at_prompt(ctx)
    # Backspace takes off a whole character; a byte that begins no character becomes U+FFFD.
    t.type('"testext_full" invokeModule "größe €5 привет 😀ü\x7f"\r')
    t.read_until('"größe €5 привет 😀"\n.*Execution time')
    os.write(t.master, b'"testext_full" invokeModule "a\xffb"\r')
    t.read_until('"a\ufffdb"\n.*Execution time')
    t.exit()


def test_history_survives_a_restart(ctx):
    hi, calls = '"testext_full" invokeModule "hi"', '"testext_full" invokeModule "calls"'
    history = os.path.join(ctx.work, "state", "invokemodule", "history")
    t = Terminal.at_prompt(ctx)
    for line in (hi, hi, calls):
        t.type(line + "\r")
        time.sleep(0.3)
    t.type("\x1b[A")  # up arrow recalls the last line, which runs on the same load
    time.sleep(0.3)
    t.type("\r")
    t.read_until(re.escape(ESC + '[96m"4"'))
    t.exit()
    expected = f"{hi}\n{calls}\nexit\n"
    with open(history) as f:
        check(f.read() == expected, "each line once, appended in order")
    # Piped input neither reads nor writes the history.
    subprocess.run([ctx.exe], input=b"exit\n", cwd=ctx.work, capture_output=True,
                   env=dict(os.environ, XDG_STATE_HOME=os.path.join(ctx.work, "state")), check=True)
    with open(history) as f:
        check(f.read() == expected, "untouched by a piped session")
    t = Terminal.at_prompt(ctx)
    t.type("\x1b[A\x1b[A\x1b[A")  # exit, calls, then hi: the repeated line is there once
    time.sleep(0.3)
    t.type("\r")
    t.read_until(RESULT_HI + ".*Execution time")
    t.type("\x1b[A\x1b[A\x1b[A\r")  # hi, exit, calls
    t.read_until(re.escape(ESC + '[96m"2"'))  # the second call of this load
    t.exit()
    # A place that cannot be written: no history, and no word about it.
    t = Terminal.at_prompt(ctx, env={"XDG_STATE_HOME": history})
    t.type("exit\r")
    check(t.wait() == 0 and "history" not in t.output, "session as usual")
    # A file grown past the cap is cut to its last 1,000 lines at start.
    write(ctx, "state/invokemodule/history", "".join(f"line {i}\n" for i in range(1600)))
    t = Terminal.at_prompt(ctx)
    t.exit()
    with open(history) as f:
        lines = f.read().splitlines()
    check(lines[0] == "line 600" and lines[-2:] == ["line 1599", "exit"], f"cut to the cap: {lines[:2]}")


def test_history_that_is_no_regular_file_is_left_alone(ctx):
    """A FIFO (or a folder) where the history file goes turns history off, as an unwritable
    folder does: the prompt never waits on it and nothing is written there."""
    folder = os.path.join(ctx.work, "state", "invokemodule")
    history = os.path.join(folder, "history")
    for kind, make in (("fifo", os.mkfifo), ("folder", os.makedirs)):
        shutil.rmtree(os.path.join(ctx.work, "state"), ignore_errors=True)
        os.makedirs(folder)
        make(history)
        t = Terminal.at_prompt(ctx)
        t.type('"testext_full" invokeModule "hi"\r')
        t.read_until(RESULT_HI + ".*Execution time")
        t.exit()
        check(stat.S_ISFIFO(os.lstat(history).st_mode) if kind == "fifo" else os.listdir(history) == [],
              f"{kind}: left as it was")
        check(sorted(os.listdir(folder)) == ["history"], f"{kind}: nothing written beside it: {os.listdir(folder)}")


def test_tab_completes_command_words(ctx):
    t = Terminal.at_prompt(ctx)
    t.type('"testext_full" inv\t')
    t.read_until("invokeModule ")
    t.type('"hi"\r')
    t.read_until(RESULT_HI)
    t.type("ex\t")
    time.sleep(0.3)
    t.type("i\t\r")  # "ex" is ambiguous (execVM, exit); "exi" completes to "exit"
    check(t.wait() == 0, "exit completed and run: " + repr(t.output[-200:]))


def test_ctrl_c_at_prompt_discards_the_line(ctx):
    t = Terminal.at_prompt(ctx)
    t.type("garbage")
    time.sleep(0.3)
    t.type("\x03")
    time.sleep(0.3)
    t.type("exit\r")
    check(t.wait() == 0, "the host kept running after Ctrl-C and ended on exit")
    check("Unknown command" not in t.output, "the interrupted line was not run: " + repr(t.output))


def test_ctrl_c_during_a_pause_aborts_scripts_only(ctx):
    write(ctx, "outer.sqf", 'execVM "inner.sqf"\n// outer not reached\n')
    write(ctx, "inner.sqf", '"testext_full" invokeModule "hi"\nsleep 20\n// inner not reached\n')
    t = Terminal.at_prompt(ctx)
    t.type('execVM "outer.sqf"\r')
    t.read_until(r"sleep 20;\n" + re.escape(ESC + "[0m" + ESC + "[90m") + r"\r\d+%")
    t.type("\x03")
    t.read_until(re.escape(ESC + "[35mScript #2 aborted\n\n" + ESC + "[0m" + ESC
                           + "[35mScript #1 aborted\n\n" + ESC + "[0m"))
    check("not reached" not in t.output, "no line after the pause ran")
    t.settle()  # an abort discards typed-ahead input
    t.type('"testext_full" invokeModule "hi"\r')
    t.read_until("(" + RESULT_HI + ".*){2}Execution time")
    check(t.output.count("InvokeModule loaded") == 1, "the extension stayed loaded")
    t.exit()


def test_ctrl_d_on_an_empty_line_exits(ctx):
    t = Terminal.at_prompt(ctx)
    t.type("\x04")
    check(t.wait() == 0, "exit code 0 on Ctrl-D")


if __name__ == "__main__":
    main(globals(), __doc__)
