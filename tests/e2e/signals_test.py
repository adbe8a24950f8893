#!/usr/bin/env python3
"""Signals, Ctrl-C and hostile names against the real executable: termination signals sent at
random moments of calls, and while the host waits in a library's start-up or clean-up code,
end the session with 128 + n and every line whole; Ctrl-C abandons what hangs, also start-up
code and after a fault in the host's callback; names no file can have reach no loader."""
import os
import random
import re
import signal
import subprocess
import sys
import time

from harness import PLAIN_BANNER, RUNNER, SANITIZED, check, main, start, write
from terminal_test import Terminal

SPIN = '"sigext" invokeModule "spin {}"'
LOADED = (r"Callback registered: [0-9A-F]+\nInvokeModule loaded: sigext \(sigext_x64\.(?:so|dll)\) "
          r"\[sigext 1\.0\]\nExecution time: [\d.]+ ms\n\n")
RESULT = r'"spun"\nExecution time: [\d.]+ ms\n\n'


def ended(proc, what, timeout=5.0):
    """The exit code and the output, once the process ended by itself."""
    if proc.stdin is not None:
        proc.stdin.close()
        proc.stdin = None  # communicate() would flush it
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise AssertionError(f"{what}: the host did not end")
    check(err == b"", f"{what}: nothing on standard error: {err[-300:]!r}")
    return proc.returncode, out.decode("utf-8", "replace")


def test_sigterm_at_random_moments_of_short_calls_ends_the_session_whole(ctx):
    # A script of short calls of different lengths; each run sends SIGTERM (once, or a few
    # times in a row) at a random moment. Every run ends with 143 before the script is done,
    # and every call whose line was echoed printed its result: nothing is cut. Under Wine the
    # signal is SIGINT, which Wine raises as the console's Ctrl-C: the host ends with 130.
    sent, status, runs = (signal.SIGINT, 130, 8) if ctx.args.runner else (signal.SIGTERM, 143, 30)
    spins = [1, 2, 3, 5, 8, 13, 21, 34]
    lines = [SPIN.format(spins[i % len(spins)]) for i in range(80)]
    write(ctx, "calls.sqf", "\n".join(lines) + "\n")
    call = "|".join(re.escape(line) for line in set(lines))
    whole = re.compile(re.escape(PLAIN_BANNER + 'execVM "calls.sqf";\nScript #1 started\n\n')
                       + rf"(?:(?:{call});\n(?:{LOADED})?{RESULT})*")
    rng = random.Random(1234)
    for run in range(runs):
        proc = subprocess.Popen([*([ctx.args.runner] if ctx.args.runner else []), ctx.exe, "calls.sqf"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=ctx.work)
        # The random moment is one of the script's, not of the start-up (slow in a sanitizer
        # build on a busy machine): the first line comes once the host's handlers are in place.
        first = b""
        while b"\n" not in first:  # read past Python's buffer, which communicate() would skip
            chunk = os.read(proc.stdout.fileno(), 65536)
            check(chunk, f"run {run}: the host ended before its first line")
            first += chunk
        first = first.decode("utf-8", "replace")
        time.sleep(rng.uniform(0.05, 0.5))  # the script takes about 0.9 s
        for _ in range(rng.choice([1, 1, 2, 3])):
            proc.send_signal(sent)
            time.sleep(rng.uniform(0.0, 0.003))
        code, out = ended(proc, f"run {run}")
        out = first + out
        check(code == status, f"run {run}: exit code {code}: {out[-300:]!r}")
        end = whole.match(out).end()
        check(end == len(out), f"run {run}: every echoed call has its result: {out[end - 200:end + 200]!r}")
        check(out.count('"spun"') < len(lines), f"run {run}: the script went on to its end")


# (what the main thread waits in, the lines that put it there, a line that must be out first)
LIBRARY_CODE_CASES = [
    ("start-up code", '"sigext" invokeModule "first"\n"sigext_starthang" invokeModule "x"\n', '"first"'),
    ("clean-up code (freeExtension)", '"sigext_endhang" invokeModule "first"\nfreeExtension "sigext_endhang"\n',
     '"first"'),
    ("clean-up code (exit)", '"sigext_endhang" invokeModule "first"\nexit\n', '"first"'),
    ("clean-up code (end of input)", '"sigext_endhang" invokeModule "first"\n', '"first"'),
]


def test_termination_signals_end_a_session_waiting_in_library_code(ctx):
    for number in (signal.SIGTERM, signal.SIGHUP):
        for where, lines, first in LIBRARY_CODE_CASES:
            proc = start(ctx)
            proc.stdin.write(lines.encode())
            proc.stdin.flush()
            if where.endswith("(end of input)"):
                proc.stdin.close()
            time.sleep(0.5)
            check(proc.poll() is None, f"{where}: the host waits")
            proc.send_signal(number)
            if not proc.stdin.closed:
                proc.stdin.close()
            code, out = ended(proc, f"{number!r} in {where}")
            check(code == 128 + number, f"{number!r} in {where}: exit code {code}")
            check(first in out and out.endswith("\n\n"), f"{where}: the output is written whole: {out[-300:]!r}")


def test_a_fifo_named_like_a_library_is_refused_at_once(ctx):
    os.mkfifo(os.path.join(ctx.work, "pipe_x64.so"))
    proc = start(ctx)
    proc.stdin.write(b'"pipe" invokeModule "x"\n"sigext" invokeModule "after"\n')
    proc.stdin.close()
    code, out = ended(proc, "a FIFO named like a library")
    check(code == 0, f"exit code {code}")
    check("Call extension 'pipe' could not be loaded [ERR:8]\n./pipe_x64.so: a named pipe (FIFO), not a library file\n"
          in out and '"after"' in out, f"the FIFO is named and the session goes on: {out[-600:]!r}")


def test_a_name_of_megabytes_is_refused_before_the_loader(ctx):
    # With a stack of 1 MiB, a name of 4 MiB overflowed it inside the system's loader.
    name = "n" * (4 << 20)

    def small_stack():
        import resource
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, 1 << 20))

    proc = start(ctx, preexec_fn=small_stack)
    proc.stdin.write(f'"{name}" invokeModule "x"\n"sigext" invokeModule "after"\n'.encode())
    proc.stdin.close()
    code, out = ended(proc, "a name of 4 MiB", timeout=60)
    check(code == 0, f"exit code {code}: {out[-300:]!r}")
    lines = out[len(PLAIN_BANNER):].split("\n")
    check(lines[0] == f"Call extension '{name}' could not be loaded [ERR:36]"
          and lines[1] == f"{name}_x64.so: cannot open shared object file: File name too long",
          "refused as too long: " + repr([line[-80:] for line in lines[:3]]))
    check('"after"' in out, "the session goes on")


def test_ctrl_c_abandons_a_hung_call_after_a_fault_in_the_callback(ctx):
    if ctx.args.sanitized:
        return  # the sanitizer owns the fault signals
    t = Terminal.at_prompt(ctx)
    t.type('"sigext" invokeModule "badcallback"\n')
    t.read_until(r"ERROR: Extension crashed: [^\n]* in RVExtension\(\"badcallback\"\)")
    t.type('freeExtension "sigext"\n')
    t.read_until("Extension unloaded")
    t.type('"sigext" invokeModule "loop"\n')
    t.read_until(re.escape("Call has been running for 1000 ms (press Ctrl-C to abandon it)"))
    t.type("\x03")
    t.read_until(r"ERROR: Call abandoned: RVExtension\(\"loop\"\) was still running after \d+ ms\n")
    t.exit()


def test_ctrl_c_abandons_a_hung_fault_handler_of_the_extension_and_the_mask_is_the_hosts(ctx):
    # The extension's handler, run with every signal blocked, never returns; the abandon and
    # the handler that ends in abort() leave the host's signal mask, whatever the handler blocked.
    if ctx.args.sanitized:
        return  # the sanitizer owns the fault signals
    t = Terminal.at_prompt(ctx)
    t.type('"crashy" invokeModule "handlerhangs"\n')
    t.read_until(re.escape("Call has been running for 1000 ms (press Ctrl-C to abandon it)"))
    t.type("\x03")
    t.read_until(r"ERROR: Call abandoned: RVExtension\(\"handlerhangs\"\) was still running after \d+ ms\n")
    for line in ('freeExtension "crashy"', '"crashy" invokeModule "blocked"', '"crashy" invokeModule "handleraborts"',
                 'freeExtension "crashy"', '"crashy" invokeModule "blocked"'):
        t.type(line + "\n")
        if "blocked" in line:
            m = t.read_until(r'"blocked: ([^"]*)"')
            check(m.group(1) == "none", f"{line}: every signal deliverable: {m.group(0)}")
    t.exit()


def test_ctrl_c_abandons_hung_start_up_code_and_says_so(ctx):
    t = Terminal.at_prompt(ctx)
    t.type('"sigext_starthang" invokeModule "x"\n')
    time.sleep(1.0)
    t.type("\x03")
    m = t.read_until(r"ERROR: (.*?) \(library start-up code\)(.*?)\n")
    check(m.group(1) == "Call abandoned:" and re.fullmatch(r" was still running after \d+ ms", m.group(2)),
          "the abandon is named: " + m.group(0))
    # The loader's lock stays with the abandoned code: the host ends.
    check(t.wait() == 130, "exit code 130")


def test_every_thread_fault_is_reported_and_parked(ctx):
    # Twelve threads faulting at the same moment (more than the host has slots for faults not
    # yet reported), a stack overflow on a thread of the extension, a thread whose stack the
    # walk of its frames faults on, and one parked holding the C runtime's stdout lock (the
    # host's next flush of that stream gives up after a moment): every one is reported, the
    # host lives on and answers.
    if ctx.args.sanitized:
        return  # the sanitizer owns the fault signals
    for command, reports in (("threads 12", 12), ("threadrecurse", 1), ("threadsmash", 1), ("printfault", 1)):
        proc = start(ctx)
        lines = f'"crashy" invokeModule "{command}"\nexecVM "pause.sqf"\n"sigext" invokeModule "after"\n'
        write(ctx, "pause.sqf", "sleep 1\n")
        proc.stdin.write(lines.encode())
        code, out = ended(proc, command, timeout=20)
        found = re.findall(r"^ERROR: Extension crashed: ([^\n]*) on thread \d+$", out, re.M)
        check(code == 0 and len(found) == reports and '"after"' in out,
              f"{command}: exit {code}, {len(found)} of {reports} reports: {out[-800:]!r}")
        if command == "threadrecurse":
            check(found == ["stack overflow"], f"named a stack overflow: {found}")


def test_a_fault_signal_sent_inside_the_callback_is_reported_after_it(ctx):
    # SIGSEGV sent to a thread while it prints a callback's line: the thread stops only once
    # the host's callback returns, so the report is not left waiting on the output lock.
    if ctx.args.sanitized:
        return  # the sanitizer owns the fault signals
    write(ctx, "pause.sqf", "sleep 1\n")
    cases = (("callbackkill", r"on thread \d+"), ("callbackkillcaller", r'in RVExtension\("callbackkillcaller"\)'))
    for command, where in cases:
        for attempt in range(3):
            proc = start(ctx)
            proc.stdin.write(f'"crashy" invokeModule "{command}"\nexecVM "pause.sqf"\n'
                             f'"sigext" invokeModule "after"\n'.encode())
            code, out = ended(proc, f"{command} #{attempt}", timeout=10)
            report = rf"^ERROR: Extension crashed: signal SIGSEGV sent by process \d+ \(this process\) {where}$"
            check(code == 0 and len(re.findall(report, out, re.M)) == 1 and '"after"' in out,
                  f"{command} #{attempt}: exit {code}: {out[-600:]!r}")


if __name__ == "__main__":
    # Under Wine (--runner) only the signals sent at random moments: the others need POSIX
    # signals, a terminal or a library's start-up code that Windows runs under its loader lock.
    wine = "--runner" in sys.argv and sys.argv[sys.argv.index("--runner") + 1] != ""
    main([test_sigterm_at_random_moments_of_short_calls_ends_the_session_whole] if wine else globals(), __doc__,
         lambda parser: (RUNNER(parser), SANITIZED(parser)))
