#!/usr/bin/env python3
"""Stress and size cases against the real invokemodule executable: huge lines, huge scripts,
deep nesting, load/free cycles, end of input inside a script, binary garbage. Each case checks
the exact output and the peak memory of the process."""
import collections
import os
import random
import re
import subprocess
import sys
import tempfile
import time

from harness import check, run_tests

EXT = "testext_full"


Run = collections.namedtuple("Run", "stdout code peak_kib seconds")


def run(ctx, stdin, args=()):
    """Runs the executable with `stdin` (bytes); returns its output, exit code, peak memory.

    The peak is measured by GNU time, a small process of its own: a child forked from this
    large Python process would count this process's memory as its own."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as inp, \
            tempfile.NamedTemporaryFile("r") as peak:
        inp.write(stdin)
        inp.seek(0)
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, ctx.exe, *args],
                              stdin=inp, stdout=out, stderr=subprocess.STDOUT, cwd=ctx.work)
        seconds = time.monotonic() - start
        out.seek(0)
        return Run(out.read(), proc.returncode, int(peak.read().split()[-1]), seconds)


def body(result):
    """The output after the banner and command list."""
    marker = b"=" * 63 + b"\n\n"
    at = result.stdout.find(marker)
    check(at >= 0, "no banner: " + repr(result.stdout[:200]))
    return result.stdout[at + len(marker):]


TIME = rb"Execution time: \d+\.\d{6} ms\n\n"
LOADED = (rb"Callback registered: [0-9A-F]{16}\nInvokeModule loaded: testext_full \(testext_full_x64\.so\) "
          rb"\[testext 1\.0\]\n" + TIME)
# The extension may take longer than a second with such a line on a busy machine.
SLOW = rb"(?:Call has been running for 1000 ms\n[^\n]*\n\n)?"
# ... and then earn the game's 301 line under its time.
TIME_301 = rb"Execution time: \d+\.\d{6} ms\n(?:The game would return error code 301 \(the call took 1000 ms or more\)\n)?"


def report(ctx, name, result, line_bytes=None):
    figure = f"{name}: peak {result.peak_kib / 1024:.1f} MiB, {result.seconds:.2f} s"
    if line_bytes:
        figure += f", {result.peak_kib * 1024 / line_bytes:.2f}x the line"
    ctx.figures.append(figure)


def test_sixteen_mebibyte_function_line(ctx):
    text = b"x" * (16 << 20)
    line = b'"' + EXT.encode() + b'" invokeModule "' + text + b'"\n'
    result = run(ctx, line)
    check(result.code == 0, f"exit code {result.code}")
    expected = LOADED + SLOW + b'"' + b"x" * 10239 + b'"\n' + TIME_301 + b"\n"
    check(re.fullmatch(expected, body(result)), "output: " + repr(body(result)[:300]))
    report(ctx, "16 MiB function-form line", result, len(line))


def test_sixteen_mebibyte_argument_line(ctx):
    items = []
    size = 0
    while size < 16 << 20:
        item = random.choice([b"1", b'"two ""q"""', b"true", b"[3,[4]]", b"-2.5e3"])
        items.append(item)
        size += len(item) + 1
    line = b'"' + EXT.encode() + b'" invokeModule ["args", [' + b",".join(items) + b"]];\n"
    result = run(ctx, line)
    check(result.code == 0, f"exit code {result.code}")
    # Millions of arguments: the game would flag the call (201), and maybe its length (301).
    flagged = TIME_301 + rb"The game would return error code 201 \(more than 2048 arguments\)\n\n"
    m = re.fullmatch(LOADED + SLOW + rb'\["(\d+)\|[^\n]*",(\d+),0\]\n' + flagged, body(result))
    check(m, "output: " + repr(body(result)[:300]))
    check(int(m.group(1)) == len(items) and int(m.group(2)) == len(items),
          f"argument count {m.group(1)}, expected {len(items)}")
    report(ctx, "16 MiB argument-form line", result, len(line))


def test_million_deep_literal(ctx):
    depth = 1_000_000
    closed = b"[" * depth + b"]" * depth
    unclosed = b"[" * depth
    lines = (b'"' + EXT.encode() + b'" invokeModule ["args", [' + closed + b"]]\n"
             + b'"' + EXT.encode() + b'" invokeModule ["args", [' + unclosed + b"]]\n")
    result = run(ctx, lines)
    check(result.code == 0, f"exit code {result.code}")
    # The closed literal is one argument, the nested array itself (cut to the buffer); the
    # unclosed one gives an empty argument list, and says so.
    unclosed_note = rb"the array was not closed and the extension was called with no arguments\n\n"
    m = re.fullmatch(LOADED + rb'\["1\|(\[+)",1,0\]\n' + TIME + rb'\["0",0,0\]\n'
                     + TIME[:-2] + unclosed_note, body(result))
    check(m, "output: " + repr(body(result)[:300]))
    check(len(m.group(1)) == 10239 - 2, f"the argument reached the extension whole ({len(m.group(1))})")
    report(ctx, "literal nested one million deep", result)


def test_script_of_a_hundred_thousand_lines(ctx):
    lines = []
    for i in range(100_000):
        lines.append(f'"{EXT}" invokeModule ["args", [{i}, "s{i}"]]' if i % 2 == 0
                     else f'"{EXT}" invokeModule "line {i}";')
    with open(os.path.join(ctx.work, "big.sqf"), "w") as f:
        f.write("\n".join(lines) + "\n")
    result = run(ctx, b'execVM "big.sqf"\nexit\n')
    check(result.code == 0, f"exit code {result.code}")
    out = body(result)
    check(out.startswith(b"Script #1 started\n\n"), repr(out[:100]))
    check(out.endswith(b"Script #1 finished\n\n"), repr(out[-100:]))
    check(out.count(b"Execution time") == 100_001, "one time line per call and the load")
    for i in (1, 2, 49_998, 99_999):
        if i % 2 == 0:
            expected = f'"{EXT}" invokeModule ["args", [{i}, "s{i}"]];\n["2|{i}|""s{i}""",2,0]\n'
        else:
            expected = f'"{EXT}" invokeModule "line {i}";\n"line {i}"\n'
        check(expected.encode() in out, f"line {i} and its result: {expected!r}")
    report(ctx, "script of 100,000 lines", result)


def test_ten_thousand_load_free_cycles(ctx):
    def cycles(n):
        with open(os.path.join(ctx.work, f"cycles{n}.sqf"), "w") as f:
            for _ in range(n):
                f.write(f'"{EXT}" invokeModule "calls"\nfreeExtension "{EXT}"\n')
        return run(ctx, f'execVM "cycles{n}.sqf"\nexit\n'.encode())

    few = cycles(100)
    many = cycles(10_000)
    for result, n in ((few, 100), (many, 10_000)):
        check(result.code == 0, f"exit code {result.code}")
        out = body(result)
        # Every load is a fresh load: the library counts its calls from one each time.
        check(out.count(b'"1"\n') == n and out.count(b"Extension unloaded") == n,
              f"{n} fresh loads and frees")
    growth = many.peak_kib - few.peak_kib
    # A sanitizer keeps freed memory in quarantine, so the bound holds for plain builds only.
    check(ctx.sanitized or growth < 4096, f"memory grew by {growth} KiB over 9,900 more cycles")
    report(ctx, f"10,000 load/free cycles (+{growth} KiB over 100 cycles)", many)


def test_thousand_crashes_in_a_row(ctx):
    """Crash, free, reload, a thousand times: resident memory and open descriptors stay flat."""
    if ctx.sanitized:
        return  # the sanitizers own the fault signals
    proc = subprocess.Popen([ctx.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, cwd=ctx.work)

    def cycles(n, mark):
        proc.stdin.write(b'"crashy" invokeModule "segv"\nfreeExtension "crashy"\n' * n +
                         f'"{EXT}" invokeModule "{mark}"\n'.encode())
        proc.stdin.flush()
        out = b""
        while f'"{mark}"\n'.encode() not in out:
            chunk = proc.stdout.read1(1 << 16)
            check(chunk, f"the host ended before {mark}")
            out += chunk
        check(out.count(b"ERROR: Extension crashed: ") == n, f"{n} crashes reported")
        with open(f"/proc/{proc.pid}/status") as f:
            rss = int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))
        return rss, len(os.listdir(f"/proc/{proc.pid}/fd"))

    try:
        rss100, fds100 = cycles(100, "after 100")
        rss1000, fds1000 = cycles(900, "after 1000")
    finally:
        proc.stdin.close()
        proc.wait(60)
    check(proc.returncode == 0, f"exit code {proc.returncode}")
    check(fds1000 == fds100, f"open descriptors {fds100} after 100 crashes, {fds1000} after 1,000")
    growth = rss1000 - rss100
    check(growth < 4096, f"resident memory grew by {growth} KiB over 900 more crashes")
    ctx.figures.append(f"1,000 crashes in a row: resident {rss100} KiB after 100, {rss1000} KiB "
                       f"after 1,000; {fds100} then {fds1000} open descriptors")


def garbage_lines(rng, n):
    """Lines of random bytes that cannot form a command: each starts with a byte >= 0x80."""
    lines = []
    for _ in range(n):
        rest = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 60)))
        rest = rest.replace(b"\n", b"").rstrip(b" \t\r\v\f")
        lines.append(bytes([rng.randrange(0x80, 0x100)]) + rest)
    return lines


def test_binary_garbage_on_input_and_in_scripts(ctx):
    rng = random.Random(8)
    lines = garbage_lines(rng, 500)
    with open(os.path.join(ctx.work, "garbage.sqf"), "wb") as f:
        f.write(b"\n".join(lines) + b"\n")
    stdin = b"\n".join(lines) + b'\nexecVM "garbage.sqf"\nexit\n'
    result = run(ctx, stdin)
    check(result.code == 0, f"exit code {result.code}")
    expected = b"Unknown command\n\n" * len(lines) + b"Script #1 started\n\n"
    for line in lines:
        expected += line + b"\nUnknown command\n\n"
    expected += b"Script #1 finished\n\n"
    check(body(result) == expected, "garbage lines each answered, echoed byte for byte")


TESTS = [obj for name, obj in sorted(globals().items()) if name.startswith("test_")]


def main():
    random.seed(16)

    def add_arguments(parser):
        parser.add_argument("--sanitized", action="store_true",
                            help="the executable carries a sanitizer: memory bounds are not checked")

    def prepare(ctx):
        ctx.sanitized = ctx.args.sanitized
        ctx.figures = ctx.shared.setdefault("figures", [])

    def finish(shared):
        for figure in shared.get("figures", []):
            print("  " + figure)

    return run_tests(TESTS, __doc__, add_arguments, prepare, finish)


if __name__ == "__main__":
    sys.exit(main())
