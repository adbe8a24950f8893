#!/usr/bin/env python3
"""Output that is never lost or misplaced, against the real executable with its output in a
file or a pipe: callback lines reach the file while the host waits, termination signals end
the session with everything written, failed writes are reported, and closed standard
descriptors are not handed to an extension's files."""
import os
import signal
import subprocess
import time

from harness import check, main, read, start, write

EXT = '"testext_full" invokeModule '
CALLBACK = b'>> ExtensionCallback: ["testext", "later", "0:'


def file_text(ctx, name="out.txt"):
    return read(ctx, name, "rb")


def wait_for(ctx, predicate, what, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate(file_text(ctx)):
        check(time.monotonic() < deadline, f"{what}; the file holds:\n{file_text(ctx)[-600:]!r}")
        time.sleep(0.01)


# (signal, what the main thread is doing when it arrives, the line that puts it there)
SIGNAL_CASES = [
    (signal.SIGTERM, "waiting for input", ""),
    (signal.SIGHUP, "waiting for input", ""),
    (signal.SIGINT, "waiting for input", ""),
    (signal.SIGTERM, "in a pause", 'execVM "pause.sqf"\n'),
    (signal.SIGHUP, "inside an extension call", EXT + '"sleep 60000"\n'),
]


def test_signals_end_the_session_with_every_line_written(ctx):
    write(ctx, "pause.sqf", "sleep 60\n")
    for number, where, line in SIGNAL_CASES:
        with open(os.path.join(ctx.work, "out.txt"), "wb") as out:
            proc = start(ctx, stdout=out)
        proc.stdin.write((EXT + '"later 500 15"\n' + line).encode())
        proc.stdin.flush()
        # Lines printed from another thread (half a second later, once the host waits) reach the
        # file at once.
        wait_for(ctx, lambda text: text.count(CALLBACK) == 15,
                 f"{where}: 15 callback lines written while the host waits")
        time.sleep(0.2)
        proc.send_signal(number)
        try:
            code = proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise AssertionError(f"{number!r} {where}: the host did not end")
        check(code == 128 + number, f"{number!r} {where}: exit code {code}")
        check(proc.stderr.read() == b"", f"{where}: nothing on standard error")
        check(file_text(ctx).count(b"Execution time") == 2 and file_text(ctx).endswith(b"\n"),
              f"{where}: the result written, the host's text whole: {file_text(ctx)[-200:]!r}")


# (how standard output fails, SIGPIPE ignored, expected exit code, expected error text)
WRITE_FAILURES = [
    ("full disk", False, 1, b"No space left on device"),
    ("closed pipe", True, 1, b"Broken pipe"),
    ("closed pipe", False, -signal.SIGPIPE, None),
]


def test_failed_writes_end_the_session_once(ctx):
    for kind, ignore_pipe, expected_code, text in WRITE_FAILURES:
        options = {}
        if ignore_pipe:  # as an extension would set it; the host inherits it here
            options["preexec_fn"] = lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        if kind == "full disk":
            with open("/dev/full", "wb") as out:
                proc = start(ctx, stdout=out, **options)
        else:
            proc = start(ctx, **options)
            proc.stdout.read(1)
            proc.stdout.close()
        lines = (EXT + '"one"\n') * 200 + "exit\n"
        try:
            proc.stdin.write(lines.encode())
            proc.stdin.close()
        except BrokenPipeError:
            pass
        code = proc.wait(10)
        error = proc.stderr.read()
        check(code == expected_code, f"{kind}: exit code {code}, expected {expected_code}")
        if text is not None:
            check(error == b"invokemodule: cannot write output: " + text + b"\n",
                  f"{kind}: said once on standard error: {error!r}")


def test_closed_standard_output_is_not_reused(ctx):
    write(ctx, "s.sqf", EXT + '"open data.txt"\n' + EXT + '"hi"\n')
    proc = subprocess.Popen([ctx.exe, "s.sqf"], stdin=subprocess.DEVNULL, cwd=ctx.work,
                            preexec_fn=lambda: os.close(1))
    check(proc.wait(10) == 0, "exit code 0")
    check(file_text(ctx, "data.txt") == b"",
          "the extension's file got none of the console text: "
          + repr(file_text(ctx, "data.txt")[:200]))


if __name__ == "__main__":
    main(globals(), __doc__)
