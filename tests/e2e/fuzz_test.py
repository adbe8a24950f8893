#!/usr/bin/env python3
"""`invokemodule --fuzz` end to end: a bounded blind search with a fixed seed finds every
planted bug of the fuzzbugs test extension that a blind search can find, repeats itself, and
`--test` replays what it wrote; a search that finds nothing. With --runner (Wine) the Windows
build runs. (The usage errors are transcript cases.)"""
import os
import re
import subprocess

from harness import RUNNER, check, main, write

SEEDS = """// the author's calls
"fuzzbugs" invokeModule "hello"
"fuzzbugs" invokeModule ["pair", ["a", "b"]]
"fuzzbugs" invokeModule ["copy", ["short"]]
"fuzzbugs" invokeModule ["wait", [5]]
"fuzzbugs" invokeModule ["fill", ["x"]]
"fuzzbugs" invokeModule ["word", ["hello"]]
"fuzzbugs" invokeModule ["late", [1]]
"""

# What the finding of each planted bug calls, by the start of the file names it is written to.
PLANTED = [
    ("exit-", '"fuzzbugs" invokeModule ""'),
    ("crash-", '["pair", ['),
    ("crash-", '["copy", ["'),
    ("hang-", '["wait", [0]]'),
    ("overrun-", '["fill", ["'),
    ("cleanup-", '["late", ['),
]


def run(ctx, *args):
    runner = [ctx.args.runner] if ctx.args.runner else []
    proc = subprocess.run([*runner, ctx.exe, *args], cwd=ctx.work, capture_output=True, timeout=600,
                          env=dict(os.environ, NO_COLOR="1"))
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


def findings(ctx, folder):
    path = os.path.join(ctx.work, folder)
    scripts = {}
    for name in sorted(os.listdir(path)):
        if name.endswith(".sqf"):
            with open(os.path.join(path, name), encoding="utf-8") as f:
                scripts[name] = f.read()
    return scripts


def test_blind_search_finds_the_planted_bugs_and_test_replays_them(ctx):
    planted = PLANTED
    seeds = SEEDS
    if ctx.args.runner:
        # A DLL's static objects are destroyed by its detach code, under the loader's lock: a
        # fault there ends the search (see the test of it below). The 32-bit build's check of
        # the handler records an overrun leaves is not run here: its copy bug is left out.
        left_out = ['"late"']
        if not os.path.exists(os.path.join(ctx.work, "fuzzbugs_x64.dll")):
            left_out.append('"copy"')
        planted = [bug for bug in PLANTED if not any(word in bug[1] for word in left_out)]
        seeds = "".join(line + "\n" for line in SEEDS.splitlines() if not any(word in line for word in left_out))
    write(ctx, "seeds.sqf", seeds)
    status, out, err = run(ctx, "--fuzz", "--runs", "20000", "--seed", "1", "seeds.sqf")
    check(status == 1, f"status {status}\n{out}\n{err}")
    check("Replay them with: invokemodule --test fuzz-findings" in out, out)
    found = findings(ctx, "fuzz-findings")
    for stem, call in planted:
        check(any(name.startswith(stem) and call in text for name, text in found.items()),
              f"no {stem} finding calling {call}: {list(found)}\n{out}")
    check(not any('"FUZZ' in text for text in found.values()), "the blind search found the FUZZ prefix")
    # Shrunk: the second argument read when one is given, with one argument only.
    pair = [text for text in found.values() if '["pair", [' in text]
    check(all(text.splitlines()[-1].count(",") == 1 for text in pair), pair)
    # The fault armed for the clean-up code: the call that arms it, shrunk to two arguments,
    # then the unload that runs it.
    late = [text.splitlines()[-2:] for name, text in found.items() if name.startswith("cleanup-")]
    check(all(lines[1] == 'freeExtension "fuzzbugs"' and lines[0].count(",") == 2 for lines in late), late)

    status, again, _ = run(ctx, "--fuzz", "--runs", "20000", "--seed", "1", "--out", "again", "seeds.sqf")
    # Hangs and slow calls depend on the machine's load; everything else on the seed alone.
    def steady(scripts):
        return {"\n".join(text.splitlines()[2:]) for name, text in scripts.items()
                if not name.startswith(("hang-", "slow-"))}
    check(status == 1 and steady(findings(ctx, "again")) == steady(found),
          f"the same seed searched differently: {list(findings(ctx, 'again'))} against {list(found)}\n{again}")

    # Every replay ends by itself, the hang's too: its script abandons the call after the
    # search's time limit of 2 s, well before --timeout.
    status, out, _ = run(ctx, "--test", "--timeout", "5", "fuzz-findings")
    for name, text in found.items():
        # A crash without a frame in the extension jumped to an address laid out anew each run;
        # a call slow on a busy machine may be quick when replayed.
        if text.startswith("// crash,") or name.startswith("slow-"):
            continue
        check(f"PASS fuzz-findings/{name}" in out, f"{name} not PASS:\n{out}")
    check("stopped after the time limit" not in out, out)


def test_clean_up_fault_of_a_dll_ends_the_search_with_its_finding(ctx):
    # Windows: the fault in the static object's destructor comes in the DLL's detach code,
    # which the loader runs under its lock when the search unloads the library after the
    # second argument's crash. The search tells it with the calls before it and the unload,
    # then its summary, and ends instead of loading anything again; no thread can start while
    # the loader's lock is held, so the replay is recorded afterwards. (Linux finds it above.)
    if not ctx.args.runner:
        return
    write(ctx, "late.sqf", '"fuzzbugs" invokeModule ["late", [1, 2]]\n"fuzzbugs" invokeModule ["pair", ["a"]]\n')
    status, out, err = run(ctx, "--fuzz", "--runs", "100", "--seed", "1", "--out", "late", "late.sqf")
    check(status == 1 and "The search stopped: the system's loader faulted in clean-up code and stays locked" in out,
          f"status {status}\n{out}\n{err}")
    found = findings(ctx, "late")
    late = [text.splitlines()[2:] for name, text in found.items() if name.startswith("cleanup-")]
    check(late == [['"fuzzbugs" invokeModule ["late", [1,2]]', '"fuzzbugs" invokeModule ["pair", ["a"]]',
                    'freeExtension "fuzzbugs"']], f"{found}\n{out}")
    check("--test --update records it" in out, out)
    status, out, _ = run(ctx, "--test", "--update", "late")
    status, out, _ = run(ctx, "--test", "late")
    check(status == 0 and "PASS late/cleanup-" in out, out)


def test_coverage_guided_search_finds_the_prefix(ctx):
    # Where the host holds libFuzzer and clang built the instrumented copy of fuzzbugs.
    if not os.path.exists(os.path.join(ctx.work, "fuzzbugs_cov.so")):
        return
    write(ctx, "word.sqf", '"fuzzbugs_cov" invokeModule ["word", ["hello"]]\n')
    status, out, err = run(ctx, "--fuzz", "--runs", "200000", "--seed", "1", "word.sqf")
    check(status == 1 and "Searching coverage-guided (libFuzzer)" in out, f"status {status}\n{out}\n{err}")
    found = findings(ctx, "fuzz-findings")
    check(any('["word", ["FUZZ' in text for text in found.values()), f"no FUZZ finding: {found}\n{out}")
    check(os.listdir(os.path.join(ctx.work, "fuzz-findings", "corpus")), "an empty corpus")


def test_workers_share_the_search_and_tell_each_finding_once(ctx):
    # Two workers, each with a seed of its own and half the calls: every planted bug is told
    # once, under a number of its own, and the summary counts the calls of both.
    write(ctx, "seeds.sqf", SEEDS)
    if ctx.args.runner:
        status, out, err = run(ctx, "--fuzz", "--jobs", "2", "--runs", "50", "seeds.sqf")
        check("--jobs: the search runs in one worker on this system" in out, f"{out}\n{err}")
        return
    status, out, err = run(ctx, "--fuzz", "--jobs", "2", "--runs", "20000", "--seed", "1", "--out", "jobs",
                           "seeds.sqf")
    check(status == 1 and "(--seed 1), 2 workers" in out and "Search ended after 20000 calls" in out,
          f"status {status}\n{out}\n{err}")
    check(out.count("InvokeModule loaded: fuzzbugs") == 1, out)
    told = re.findall(r"^Finding (\d+): (.*)$", out, re.M)
    check(sorted(int(number) for number, _ in told) == list(range(1, len(told) + 1)), told)
    check(len({what for _, what in told}) == len(told), f"a finding told twice: {told}")
    found = findings(ctx, "jobs")
    for stem, call in PLANTED:
        check(any(name.startswith(stem) and call in text for name, text in found.items()),
              f"no {stem} finding calling {call}: {list(found)}\n{out}")


def test_nothing_found_ends_with_0(ctx):
    write(ctx, "calm.sqf", 'setContext ["1", "m", "s", 2]\n"fuzzbugs" invokeModule ["calm", ["x", 1]]\n')
    status, out, err = run(ctx, "--fuzz", "--runs", "3000", "--seed", "5", "calm.sqf")
    check(status == 0, f"status {status}\n{out}\n{err}")
    check("Search ended after 3000 calls" in out and ": 0 findings, corpus 1" in out, out)
    check(findings(ctx, "fuzz-findings") == {}, "findings written")


if __name__ == "__main__":
    main(globals(), __doc__, RUNNER)
