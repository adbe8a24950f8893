#!/usr/bin/env python3
"""`invokemodule --test` end to end: scripts in child processes of the real executable against
the real test extensions, expected files, diffs, --update, {{*}}, callbacks from threads,
the JUnit report, the time limit, a crash and Ctrl-C (the usage errors are transcript cases).
With --runner (Wine) the Windows build runs them, but for those that signal the process or
need POSIX processes and FIFOs."""
import os
import re
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

from harness import RUNNER, SANITIZED, check, main, read, write

HEADER = 'execVM "a.sqf";\nScript #1 started\n\n'
SCRIPT_A = '"testext_full" invokeModule "callback 1";\n"testext_full" invokeModule "threads 1 2";\n'
# Callbacks on the calling thread stay before the result; those of the extension's own threads
# come after the call's output, before the next command's echo.
EXPECTED_A = HEADER + """"testext_full" invokeModule "callback 1";
Callback registered: <address>
InvokeModule loaded: testext_full ({library}) [testext 1.0]
Execution time: <time> ms


>> ExtensionCallback: ["testext", "callback", "0"]
"returned 99"
Execution time: <time> ms

"testext_full" invokeModule "threads 1 2";
"2"
Execution time: <time> ms


>> ExtensionCallback: ["testext", "thread", "0:0"]

>> ExtensionCallback: ["testext", "thread", "0:1"]
Script #1 finished

"""


def platform(ctx):
    """The build's platform tag (as in a.<tag>.expected) and its test library's file name."""
    if not ctx.args.runner:
        return "linux", "testext_full_x64.so"
    if os.path.exists(os.path.join(ctx.work, "testext_full_x64.dll")):
        return "win64", "testext_full_x64.dll"
    return "win32", "testext_full.dll"


def expected_a(ctx):
    return EXPECTED_A.replace("{library}", platform(ctx)[1])


def posix_only(ctx):
    """Whether a test that signals the process or needs POSIX processes is left out here."""
    return bool(ctx.args.runner)


def testing(ctx, *args):
    """Runs `invokemodule --test args...`; returns (status, stdout, stderr)."""
    runner = [ctx.args.runner] if ctx.args.runner else []
    proc = subprocess.run([*runner, ctx.exe, "--test", *args], cwd=ctx.work, capture_output=True,
                          timeout=300)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode()


def expect(result, status, lines):
    """The status, and each expected line (a regular expression) on a line of its own, in order."""
    code, out, err = result
    check(code == status, f"status {code}, not {status}:\n{out}{err}")
    at = 0
    for line in lines:
        found = re.compile("^" + line + "$", re.M).search(out, at)
        check(found is not None, f"missing {line!r} after offset {at} in:\n{out}")
        at = found.end()


def test_record_pass_change_and_wildcards(ctx):
    write(ctx, "t/a.sqf", SCRIPT_A)
    write(ctx, "t/b.sqf", '"testext_full" invokeModule "id-42";\n"testext_full" invokeModule "b";\n')
    write(ctx, "t/notes.txt", "not a script")
    expect(testing(ctx, "t"), 1, [
        r"FAIL t/a\.sqf", r"no expected file t/a\.expected: run with --update to record it",
        r"--- t/a\.expected", r"\+\+\+ t/a\.sqf", r"@@ -0,0 \+1,23 @@", r'\+execVM "a\.sqf";',
        r"FAIL t/b\.sqf", r"0 passed, 2 failed"])
    expect(testing(ctx, "--update", "t"), 0, [
        r"UPDATED t/a\.expected", r"UPDATED t/b\.expected", r"2 passed, 0 failed"])
    check(read(ctx, "t/a.expected") == expected_a(ctx), "recorded:\n" + read(ctx, "t/a.expected"))
    expect(testing(ctx, "t/"), 0, [r"PASS t/a\.sqf \(\d+ ms\)", r"PASS t/b\.sqf \(\d+ ms\)",
                                     r"2 passed, 0 failed"])

    # One changed result: a diff and status 1; a {{*}} line matches any text in its line.
    b = read(ctx, "t/b.expected")
    write(ctx, "t/b.expected", b.replace('\n"id-42"\n', '\n"id-{{*}}"\n').replace('\n"b"\n', '\n"c"\n'))
    expect(testing(ctx, "t"), 1, [
        r"PASS t/a\.sqf \(\d+ ms\)", r"FAIL t/b\.sqf\n--- t/b\.expected", r"\+\+\+ t/b\.sqf", r"@@ -10,7 \+10,7 @@", r' "testext_full" invokeModule "b";',
        r'-"c"', r'\+"b"', r" Execution time: <time> ms", r"1 passed, 1 failed"])
    # --update rewrites the changed line and keeps the {{*}} line that still matches.
    expect(testing(ctx, "--update", "t/b.sqf"), 0, [r"UPDATED t/b\.expected", r"1 passed, 0 failed"])
    check(read(ctx, "t/b.expected") == b.replace('\n"id-42"\n', '\n"id-{{*}}"\n'), read(ctx, "t/b.expected"))
    expect(testing(ctx, "t/b.sqf", "t/a.sqf"), 0, [r"PASS t/b\.sqf.*", r"PASS t/a\.sqf.*"])

    # The platform's own expected file comes first; CRLF line ends read as LF.
    write(ctx, f"t/a.{platform(ctx)[0]}.expected", expected_a(ctx).replace("\n", "\r\n"))
    write(ctx, "t/a.expected", "stale\n")
    expect(testing(ctx, "t/a.sqf"), 0, [r"PASS t/a\.sqf.*"])


def test_missing_library(ctx):
    write(ctx, "t/a.sqf", SCRIPT_A)
    write(ctx, "t/a.expected", expected_a(ctx))
    expect(testing(ctx, "t"), 0, [r"PASS t/a\.sqf.*"])
    os.remove(os.path.join(ctx.work, platform(ctx)[1]))
    expect(testing(ctx, "t"), 1, [
        r"FAIL t/a\.sqf", r"-Callback registered: <address>",
        r"\+Call extension 'testext_full' could not be loaded \[ERR:" + ("126" if ctx.args.runner else "2") + r"\]",
        r"0 passed, 1 failed"])


def test_thread_callbacks_in_a_script_with_sleeps_are_stable(ctx):
    write(ctx, "t/n.sqf", '"demo" invokeModule ["notify", ["x", "y"]];\nsleep 0.5\n'
                          '"demo" invokeModule ["notify", ["z"]];\nsleep 0.5\n')
    expect(testing(ctx, "--update", "t"), 0, [r"UPDATED t/n\.expected"])
    recorded = read(ctx, "t/n.expected")
    check(re.search(r'sleep 0\.5;\n100%\nExecution time: <time> ms\n\n\n\n>> ExtensionCallback: '
                    r'\["demo", "notify", "x"\]\n\n>> ExtensionCallback: \["demo", "notify", "y"\]\n'
                    r'"demo" invokeModule', recorded), recorded)
    expect(testing(ctx, *["t/n.sqf"] * 20), 0, [r"PASS t/n\.sqf.*"] * 20 + [r"20 passed, 0 failed"])


def test_junit_report_is_valid_xml_whatever_the_bytes(ctx):
    write(ctx, "t/a.sqf", SCRIPT_A)
    write(ctx, "t/a.expected", expected_a(ctx))
    write(ctx, "t/odd.sqf", b'"testext_full" invokeModule "\x01<&>\xff\xc3";\n')
    write(ctx, "t/odd.expected", b"")
    expect(testing(ctx, "--junit", "report.xml", "t"), 1, [r"PASS t/a\.sqf.*", r"FAIL t/odd\.sqf"])
    root = ElementTree.parse(os.path.join(ctx.work, "report.xml")).getroot()
    suite = root.find("testsuite")
    check((suite.get("tests"), suite.get("failures")) == ("2", "1"), ElementTree.tostring(root))
    cases = suite.findall("testcase")
    check([c.get("name") for c in cases] == ["t/a.sqf", "t/odd.sqf"], ElementTree.tostring(root))
    check(cases[0].find("failure") is None and float(cases[0].get("time")) > 0, "a.sqf passed")
    failure = cases[1].find("failure")
    check("t/odd.expected" in failure.get("message"), failure.get("message"))
    check('+"testext_full" invokeModule "\\x01<&>\ufffd\ufffd";' in failure.text, failure.text)

    # Unequal counts: three passed, one failed. A report that cannot be written fails the run
    # even when every script passed.
    for name in ("b", "c"):
        write(ctx, f"t/{name}.sqf", SCRIPT_A)
        write(ctx, f"t/{name}.expected", expected_a(ctx).replace('"a.sqf"', f'"{name}.sqf"'))
    expect(testing(ctx, "--junit", "report.xml", "t"), 1, [r"3 passed, 1 failed"])
    suite = ElementTree.parse(os.path.join(ctx.work, "report.xml")).getroot().find("testsuite")
    check((suite.get("tests"), suite.get("failures")) == ("4", "1"), ElementTree.tostring(suite))
    os.makedirs(os.path.join(ctx.work, "folder.xml"))
    expect(testing(ctx, "--junit", "folder.xml", "t/a.sqf"), 1, [
        r"PASS t/a\.sqf.*", r"Cannot write the JUnit report folder\.xml", r"1 passed, 0 failed"])
    code, out, err = testing(ctx, "--timeout", "0", "t/a.sqf")
    check(code == 2 and out == "" and "--timeout" in err, f"--timeout 0: status {code}, {out!r} {err!r}")


def test_time_limit_and_crash(ctx):
    write(ctx, "t/slow.sqf", '"testext_full" invokeModule "hello";\n"testext_full" invokeModule "sleep 8000";\n')
    start = time.monotonic()
    expect(testing(ctx, "--timeout", "1", "t/slow.sqf"), 1, [
        r"FAIL t/slow\.sqf", r'\+"testext_full" invokeModule "sleep 8000";',
        r"\+Stopped after the time limit of 1 s", r"0 passed, 1 failed"])
    check(time.monotonic() - start < 6, "the time limit did not end the script")
    # A run cut short is never recorded, not even by --update.
    expect(testing(ctx, "--update", "--timeout", "1", "t/slow.sqf"), 1, [
        r"FAIL t/slow\.sqf", r"stopped after the time limit of 1 s"])
    check(not os.path.exists(os.path.join(ctx.work, "t/slow.expected")), "--update wrote a cut-short run")

    write(ctx, "t/crash.sqf", '"testext_full" invokeModule "poke 100000000";\n'
                              '"testext_full" invokeModule "hello";\n')
    expect(testing(ctx, "t/crash.sqf"), 1, [r"FAIL t/crash\.sqf"])
    expect(testing(ctx, "--update", "t/crash.sqf"), 0, [r"UPDATED t/crash\.expected: the run crashed"])


def test_crash_reports_keep_their_functions_not_their_lines(ctx):
    # Recorded with the library's debug information: the functions stay in the expected file,
    # offsets, source lines and a recursion's depth do not, so the suite passes after the
    # library is rebuilt with an edit elsewhere.
    if sys.platform != "linux" or ctx.args.sanitized or ctx.args.runner:
        return  # a sanitizer owns the fault signals; the Windows build names other frames
    write(ctx, "t/crash.sqf", '"crashy" invokeModule "segv";\nfreeExtension "crashy";\n'
                              '"crashy" invokeModule "recurse";\n')
    expect(testing(ctx, "--update", "t/crash.sqf"), 0, [r"UPDATED t/crash\.expected: the run crashed"])
    expected = read(ctx, "t/crash.expected")
    for line in [r"  at crashy_x64\.so\+<offset> in \(anonymous namespace\)::readNull\(\) crashy\.cc:<line>",
                 r"  \.\.\. the frame above repeats <count> more times", r"  called from crash\.sqf:3"]:
        check(re.search("^" + line + "$", expected, re.M), f"{line} in:\n{expected}")
    check(not re.search(r"^  at .*0x", expected, re.M), expected)
    expect(testing(ctx, "t/crash.sqf"), 0, [r"PASS t/crash\.sqf .*"])


def test_suite_path_spelling_does_not_matter(ctx):
    # Recorded through a relative path, the script passes through its absolute path too.
    write(ctx, "p/s.sqf", '"testext_full" invokeModule "hello";\n')
    expect(testing(ctx, "--update", "p/s.sqf"), 0, [r"UPDATED p/s\.expected"])
    check(read(ctx, "p/s.expected").startswith('execVM "s.sqf";\n'), read(ctx, "p/s.expected"))
    expect(testing(ctx, os.path.join(ctx.work, "p")), 0, [r"PASS .*p/s\.sqf \(\d+ ms\)"])


def test_hostile_runs_end_and_are_judged(ctx):
    if posix_only(ctx):
        return
    # A process the extension starts, which holds the output open for 10 s, does not keep the
    # finished script running; a limit too long to compute a deadline for is as good as none;
    # an expected file that is a FIFO is refused at once, not read, not written.
    write(ctx, "h/linger.sqf", '"testext_full" invokeModule "linger 10000";\n')
    start = time.monotonic()
    expect(testing(ctx, "--update", "--timeout", "9223372036854775807", "h/linger.sqf"), 0,
           [r"UPDATED h/linger\.expected"])
    expect(testing(ctx, "--timeout", "9223372036854775807", "h/linger.sqf"), 0, [r"PASS h/linger\.sqf \(\d+ ms\)"])
    check(time.monotonic() - start < 8, "the lingering process kept the script running")
    write(ctx, "h/fifo.sqf", '"testext_full" invokeModule "hello";\n')
    os.mkfifo(os.path.join(ctx.work, "h/fifo.expected"))
    for args in (["h/fifo.sqf"], ["--update", "h/fifo.sqf"]):
        expect(testing(ctx, "--timeout", "20", *args), 1, [
            r"FAIL h/fifo\.sqf", r"h/fifo\.expected is not a regular file: an expected transcript must be one"])


def test_host_ended_by_a_signal_names_it(ctx):
    if posix_only(ctx):
        return
    write(ctx, "k/kill.sqf", '"testext_full" invokeModule "killself 9";\n')
    expect(testing(ctx, "k/kill.sqf"), 1, [r"FAIL k/kill\.sqf", r"\+The process ended by signal 9 \(SIGKILL\)"])


def test_flood_of_held_lines_is_bounded(ctx):
    # Four threads call back without end while the script pauses: what is held until the next
    # command boundary stops at 16 MiB, and the lines dropped are counted where they would be.
    # Each stretch between boundaries has its own 16 MiB (how much of it is used depends on
    # the machine's load); at exit one more MiB comes from the threads running clean-up code.
    write(ctx, "f/flood.sqf", '"testext_full" invokeModule "storm 4";\nsleep 3\n"testext_full" invokeModule "hi";\n')
    expect(testing(ctx, "--update", "f/flood.sqf"), 0, [r"UPDATED f/flood\.expected"])
    text = read(ctx, "f/flood.expected", "rb")
    dropped = re.search(rb"^\d+ lines from the extension's threads dropped: more than 16 MiB of them came "
                        rb"before this point\n\"testext_full\" invokeModule \"hi\";$", text, re.M)
    check(dropped is not None, "no count of the dropped lines before the next command")
    pause = text.find(b"\nsleep 3;\n")
    finished = text.find(b"\nScript #1 finished\n")
    check(0 < pause < dropped.start() < finished, "the pause and the end of the script are not in order")
    stretches = [("after the first command", text[:pause], 16 << 20),
                 ("during the pause", text[pause:dropped.start()], 16 << 20),
                 ("after the last command", text[dropped.end():finished], 16 << 20),
                 ("at exit", text[finished:], 17 << 20)]
    for name, stretch, limit in stretches:
        check(len(stretch) < limit + (64 << 10), f"the held lines {name} grew to {len(stretch)} bytes")


def test_interrupt_reports_what_is_done(ctx):
    if posix_only(ctx):
        return
    write(ctx, "t/1.sqf", '"testext_full" invokeModule "hello";\n')
    write(ctx, "t/1.expected", "")
    write(ctx, "t/2.sqf", "sleep 30\n")
    proc = subprocess.Popen([ctx.exe, "--test", "t"], cwd=ctx.work, stdout=subprocess.PIPE)
    first = proc.stdout.readline().decode()
    check(first.startswith("FAIL t/1.sqf"), first)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out = first + proc.communicate(timeout=10)[0].decode()
    check(proc.returncode == 130, f"status {proc.returncode}:\n{out}")
    check(out.endswith("Interrupted after 1 of 2 scripts\n0 passed, 1 failed\n"), out)


if __name__ == "__main__":
    main(globals(), __doc__, lambda parser: (SANITIZED(parser), RUNNER(parser)))
