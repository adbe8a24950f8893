#!/usr/bin/env python3
"""The host's own cost, measured against baselines taken in the same run.

Runs the real invokemodule executable on generated scripts and lines, the floor program
(bench_floor: one call and nothing else, in C) and a Python ctypes loop, then the Google
Benchmark binaries, and prints one table: each figure beside its baseline, the ratio and the
goal. Every whole-process figure is the median of repeated runs; output goes to /dev/null and
to a file. Peak memory is measured by GNU time (/usr/bin/time -f %M), a small process of its
own, so the forking Python process is not counted.

Usage: run_benchmarks.py [--build DIR] [--repeat N] [--quick]
       run_benchmarks.py --win32 DIR   (the 32-bit Windows build's figures, under Wine)
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

COMMAND = b'"bench" invokeModule ["fn", [1, "two", true, [3]]]\n'
RESULT_LINE = b'["ok",0,0]\n'
TIME_RE = re.compile(rb"Execution time: (-?\d+\.\d{6}) ms\n")
BUSY_RE = re.compile(rb'\["(\d+\.\d+)",0,0\]\nExecution time: (\d+\.\d{6}) ms\n')
MIB = 1 << 20


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.win32 or args.build)
        self.exe = os.path.join(self.build, "invokemodule.exe" if args.win32 else "invokemodule")
        self.bench_dir = os.path.join(self.build, "bench")
        self.floor = os.path.join(self.bench_dir, "bench_floor")
        self.split_floor = os.path.join(self.bench_dir, "bench_split_floor")
        self.library = None if args.win32 else os.path.join(self.bench_dir, self.find_library())
        self.python_loop = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "python_loop.py")
        self.repeat = args.repeat
        self.quick = args.quick
        self.work = tempfile.mkdtemp(prefix="run-", dir=self.bench_dir)
        self.rows = []      # (section, figure, measured, baseline, ratio, goal, verdict)
        self.notes = []
        self.floor_cpu = None  # the floor's CPU time per call, buffered, to /dev/null
        self.typed_wall = None  # the host's wall time per typed command, to /dev/null

    def find_library(self):
        for name in ("bench_x64.so", "bench.so"):
            if os.path.exists(os.path.join(self.bench_dir, name)):
                return name
        sys.exit("bench extension not built in " + self.bench_dir)

    def path(self, name):
        return os.path.join(self.work, name)

    def row(self, section, figure, measured, baseline="", ratio="", goal="", met=None, note=""):
        verdict = "" if met is None else ("met" if met else "NOT MET")
        self.rows.append((section, figure, measured, baseline, ratio, goal, verdict, note))

    # --- running processes ------------------------------------------------------------

    def run(self, argv, stdin_path=None, sink=os.devnull):
        """Runs argv once with stdin from `stdin_path` and stdout to `sink` (/dev/null, or a
        file created afresh). Returns (wall seconds, cpu seconds); the CPU time (user + system)
        comes from wait4's rusage of the child, exact for CPU time."""
        if sink != os.devnull and os.path.exists(sink):
            os.unlink(sink)
        with open(stdin_path or os.devnull, "rb") as inp, open(sink, "wb") as out:
            start = time.perf_counter()
            proc = subprocess.Popen(argv, stdin=inp, stdout=out, stderr=subprocess.DEVNULL,
                                    cwd=self.bench_dir)
            _, status, rusage = os.wait4(proc.pid, 0)
            seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.exit(f"{' '.join(argv)} exited with {proc.returncode}")
        return seconds, rusage.ru_utime + rusage.ru_stime

    def median_runs(self, programs, runs=None):
        """Runs each (key, argv, stdin, sink) of `programs` in turn, round after round, so that
        a busy spell of the machine falls on all of them alike. Returns {key: (median wall,
        median cpu)}."""
        samples = {key: [] for key, *_ in programs}
        for _ in range(runs or self.repeat):
            for key, argv, stdin_path, sink in programs:
                samples[key].append(self.run(argv, stdin_path, sink))
        return {key: (statistics.median(w for w, _ in values),
                      statistics.median(c for _, c in values))
                for key, values in samples.items()}

    def peak_kib(self, argv, stdin_path=None):
        """Peak resident memory of argv in KiB, measured by GNU time."""
        peak = self.path("peak.txt")
        with open(stdin_path or os.devnull, "rb") as inp:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak, *argv], stdin=inp,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           cwd=self.bench_dir)
        with open(peak) as f:
            return int(f.read().split()[-1])

    # --- whole-process figures --------------------------------------------------------

    def throughput(self):
        count = 20000 if self.quick else 100000
        typed = self.path("commands.txt")
        with open(typed, "wb") as f:
            f.write(COMMAND * count)
        script = self.path("commands.sqf")
        shutil.copy(typed, script)

        section = f"Throughput ({count:,} argument-form calls; median of {self.repeat} runs)"
        for sink_name, sink in (("/dev/null", os.devnull), ("file", self.path("out.txt"))):
            floor = [self.floor, self.library]
            python = [sys.executable, self.python_loop, self.library]
            programs = [
                ("floor", floor + [str(count), "0"], None, sink),
                ("floor start", floor + ["1", "0"], None, sink),
                ("floor flush", floor + [str(count), "1"], None, sink),
                ("floor flush start", floor + ["1", "1"], None, sink),
                ("floor echo", floor + [str(count), "1", "1"], None, sink),
                ("floor echo start", floor + ["1", "1", "1"], None, sink),
                ("python", python + [str(count)], None, sink),
                ("python start", python + ["1"], None, sink),
                ("typed", [self.exe], typed, sink),
                ("script", [self.exe, script], None, sink),
            ]
            m = self.median_runs(programs)

            # Baselines: the cost of one more call, their start-up taken off (in their favour).
            def marginal(key, which):
                return (m[key][which] - m[key + " start"][which]) / (count - 1)

            baselines = {}
            for key, label in (("floor", "floor, buffered"),
                               ("floor flush", "floor, one flush per call"),
                               ("floor echo", "floor, echoed line and one flush per call"),
                               ("python", "python ctypes loop")):
                wall, cpu = marginal(key, 0), marginal(key, 1)
                baselines[key] = (wall, cpu)
                if key == "floor" and sink == os.devnull:
                    self.floor_cpu = cpu
                self.row(section, f"{label}, to {sink_name}",
                         f"{wall * 1e9:.0f} ns/call", f"{1 / wall:,.0f} calls/s", "", "",
                         None, f"cpu {cpu * 1e9:.0f} ns")

            # The host: whole runs, start-up and the extension's loading included (against it).
            # A script shows each line before it runs: its floor prints that line too.
            for key, feed, floor_key in (("typed", "typed (stdin)", "floor flush"),
                                         ("script", "script (execVM)", "floor echo")):
                wall, cpu = m[key][0] / count, m[key][1] / count
                if key == "typed" and sink == os.devnull:
                    self.typed_wall = wall
                py_wall, py_cpu = baselines["python"]
                fl_wall, fl_cpu = baselines[floor_key]
                self.row(section, f"host, {feed}, to {sink_name}", f"{1 / wall:,.0f} cmd/s",
                         "", "", ">= 1,000,000 cmd/s", 1 / wall >= 1e6,
                         f"cpu {cpu * 1e9:.0f} ns, {1 / cpu:,.0f} cmd/s")
                self.row(section, "  vs python loop", f"{wall * 1e9:.0f} ns/cmd",
                         f"{py_wall * 1e9:.0f} ns/call", f"{py_wall / wall:.2f}x faster",
                         ">= 2x faster", py_wall / wall >= 2, f"cpu {py_cpu / cpu:.2f}x")
                self.row(section, "  vs " + ("floor with flush" if key == "typed" else
                                             "floor with echo and flush"),
                         f"{wall * 1e9:.0f} ns/cmd", f"{fl_wall * 1e9:.0f} ns/call",
                         f"{wall / fl_wall:.2f}x floor", "<= 1.3x floor", wall / fl_wall <= 1.3,
                         f"cpu {cpu / fl_cpu:.2f}x")
            if sink != os.devnull:
                # The last runs' outputs: every call answered, and the printed times.
                self.run([self.exe], typed, sink)
                self.check_output(sink, count, "typed")
                self.nop_timing(sink)
                self.run([self.exe, script], None, sink)
                self.check_output(sink, count, "script")

    def check_output(self, path, count, figure):
        with open(path, "rb") as f:
            output = f.read()
        results = output.count(RESULT_LINE)
        if results != count:
            sys.exit(f"{figure}: {results} result lines instead of {count}")

    def nop_timing(self, path):
        with open(path, "rb") as f:
            times = [float(m.group(1)) for m in TIME_RE.finditer(f.read())]
        times = times[1:]  # the first is the version call of the load
        median = statistics.median(times)
        self.row("Honest timing", "printed time of a call that does nothing (median)",
                 f"{median:.6f} ms", "", "", "<= 0.000100 ms", median <= 0.0001)
        self.row("Honest timing", "  95th percentile",
                 f"{statistics.quantiles(times, n=20)[-1]:.6f} ms")

    def busy_timing(self):
        calls = 9
        commands = self.path("busy.txt")
        with open(commands, "wb") as f:
            f.write(b'"bench" invokeModule ["busy", [10]]\n' * calls)
        out = self.path("busy-out.txt")
        self.run([self.exe], commands, out)
        with open(out, "rb") as f:
            pairs = [(float(a), float(b)) for a, b in BUSY_RE.findall(f.read())]
        if len(pairs) != calls:
            sys.exit(f"busy: {len(pairs)} results instead of {calls}")
        differences = [abs(printed - own) for own, printed in pairs]
        median = statistics.median(differences)
        own = statistics.median(p[0] for p in pairs)
        printed = statistics.median(p[1] for p in pairs)
        self.row("Honest timing", f"busy 10 ms: printed vs extension's own clock (median of {calls})",
                 f"{printed:.6f} ms", f"{own:.6f} ms", f"|diff| {median:.6f} ms",
                 "|diff| <= 0.05 ms", median <= 0.05)

    def pauses(self):
        section = "Pauses (median of 5)"
        for seconds in ((0.5,) if self.quick else (0.5, 2)):
            script = self.path(f"sleep{seconds}.sqf")
            with open(script, "w") as f:
                f.write(f"sleep {seconds}\n")
            out = self.path("sleep-out.txt")
            printed, cpu_shares, walls = [], [], []
            for _ in range(5):
                wall, cpu = self.run([self.exe, script], None, out)
                with open(out, "rb") as f:
                    match = TIME_RE.search(f.read())
                printed.append(float(match.group(1)))
                cpu_shares.append(cpu / wall)
                walls.append(wall)
            requested = seconds * 1000
            ms = statistics.median(printed)
            late = ms - requested
            self.row(section, f"sleep {seconds}: printed length", f"{ms:.3f} ms",
                     f"{requested:.0f} ms", f"{late:+.3f} ms", "within 2 ms", abs(late) <= 2)
            whole = statistics.median(walls) * 1000
            self.row(section, f"sleep {seconds}: whole process, start-up included",
                     f"{whole:.3f} ms", f"{requested:.0f} ms", f"{whole - requested:+.3f} ms")
            share = statistics.median(cpu_shares)
            self.row(section, f"sleep {seconds}: host CPU while waiting",
                     f"{share * 100:.2f}% of a core", "", "", "< 2%", share < 0.02,
                     "whole process, start-up included")

    def big_lines(self):
        section = "Big lines (whole process, median of 5 runs)"
        figures = {}
        for size in (1 * MIB, 16 * MIB):
            line = big_argument_line(size)
            path = self.path(f"line{size}.txt")
            with open(path, "wb") as f:
                f.write(line)
            # The host and the split-and-call floor, side by side, round after round.
            m = self.median_runs([("host", [self.exe], path, os.devnull),
                                  ("floor", [self.split_floor, self.library], path, os.devnull)],
                                 runs=5)
            (seconds, cpu), (floor_seconds, floor_cpu) = m["host"], m["floor"]
            peak = max(self.peak_kib([self.exe], path) for _ in range(2)) * 1024
            floor_peak = self.peak_kib([self.split_floor, self.library], path) * 1024
            figures[size] = seconds
            big = size == 16 * MIB
            self.row(section, f"{size // MIB} MiB argument-form line: time",
                     f"{seconds * 1000:.1f} ms", f"split-and-call floor {floor_seconds * 1000:.1f} ms",
                     f"{seconds / floor_seconds:.2f}x floor", "<= 2x floor" if big else "",
                     seconds / floor_seconds <= 2 if big else None,
                     f"{len(line) / seconds / 1e6:.0f} MB/s; cpu {cpu / floor_cpu:.2f}x")
            self.row(section, f"{size // MIB} MiB argument-form line: peak memory",
                     f"{peak / MIB:.1f} MiB", f"line {len(line) / MIB:.1f} MiB",
                     f"{peak / len(line):.1f}x the line", "<= 3x the line" if big else "",
                     peak <= 3 * len(line) if big else None,
                     f"floor {floor_peak / MIB:.1f} MiB")
        self.row(section, "16 MiB vs 1 MiB time", f"{figures[16 * MIB] / figures[MIB]:.1f}x")
        # The densest literal: one-byte items, so the per-item cost (argument text, its place
        # and its pointer) weighs most against the line's bytes.
        dense = b'"bench" invokeModule ["fn", [' + b",".join([b"1"] * (8 * MIB)) + b"]]\n"
        path = self.path("dense-line.txt")
        with open(path, "wb") as f:
            f.write(dense)
        peak = self.peak_kib([self.exe], path) * 1024
        floor_peak = self.peak_kib([self.split_floor, self.library], path) * 1024
        # Its 8 Mi pointers alone take 4x the line; the floor needs them too.
        self.row(section, "16 MiB line of one-byte items (1,1,...): peak memory",
                 f"{peak / MIB:.1f} MiB", f"line {len(dense) / MIB:.1f} MiB",
                 f"{peak / len(dense):.1f}x the line", "< 8x the line", peak < 8 * len(dense),
                 f"floor {floor_peak / MIB:.1f} MiB, {floor_peak / len(dense):.1f}x")
        text = b"x" * (16 * MIB)
        path = self.path("function-line.txt")
        with open(path, "wb") as f:
            f.write(b'"bench" invokeModule "' + text + b'"\n')
        peak = self.peak_kib([self.exe], path) * 1024
        self.row(section, "16 MiB function-form line: peak memory", f"{peak / MIB:.1f} MiB",
                 f"line {len(text) / MIB:.1f} MiB", f"{peak / len(text):.1f}x the line")

    def start_up(self):
        section = "Start-up and memory"
        exit_only = self.path("exit.txt")
        with open(exit_only, "wb") as f:
            f.write(b"exit\n")
        runs = 21
        true = shutil.which("true") or "/bin/true"
        m = self.median_runs([("host", [self.exe], exit_only, os.devnull),
                              ("true", [true], exit_only, os.devnull)], runs=runs)
        host, spawn = m["host"][0], m["true"][0]
        self.row(section, f"printf 'exit\\n' | invokemodule (median of {runs})",
                 f"{host * 1000:.2f} ms", f"spawn of true {spawn * 1000:.2f} ms",
                 f"{host / spawn:.1f}x", "< 5 ms", host < 0.005)
        session = self.path("session.txt")
        with open(session, "wb") as f:
            f.write(ordinary_session(self.path("small.sqf")))
        peak = self.peak_kib([self.exe], session) * 1024
        baseline = self.peak_kib([true], exit_only) * 1024
        self.row(section, "peak memory, session of ordinary commands", f"{peak / MIB:.1f} MiB",
                 f"true: {baseline / MIB:.1f} MiB", "", "< 8 MiB", peak < 8 * MIB)

    def search(self):
        """The blind search of --fuzz on a function that does nothing, in both call forms: its
        calls per second, and its peak memory after ten times as many calls."""
        section = "Blind search (--fuzz)"
        seeds = self.path("seeds.sqf")
        with open(seeds, "wb") as f:
            f.write(b'"bench" invokeModule ["fn", [1, "a", true]]\n"bench" invokeModule "fn"\n')
        runs = 100000 if self.quick else 500000

        def searched(count):
            out = subprocess.run([self.exe, "--fuzz", "--runs", str(count), "--seed", "1", "--out",
                                  self.path("findings"), seeds], capture_output=True, cwd=self.bench_dir)
            found = re.search(rb"\(([0-9.]+) calls/s\): (\d+) findings", out.stdout)
            if out.returncode != 0 or not found:
                sys.exit(f"--fuzz on the bench extension: status {out.returncode}\n{out.stdout[-2000:]}")
            return float(found.group(1))

        rates = [searched(runs) for _ in range(3)]
        rate = statistics.median(rates)
        self.row(section, f"calls per second, function that does nothing (median of 3 x {runs:,})",
                 f"{rate:,.0f} calls/s", "", "", ">= 100,000/s", rate >= 100000)
        argv = [self.exe, "--fuzz", "--seed", "1", "--out", self.path("findings"), "--runs"]
        short = self.peak_kib([*argv, str(runs // 10), seeds])
        long = self.peak_kib([*argv, str(runs * 2), seeds])
        self.row(section, f"peak memory after {runs * 2:,} calls", f"{long / 1024:.1f} MiB",
                 f"after {runs // 10:,}: {short / 1024:.1f} MiB", f"{long / short:.2f}x", "flat (< 1.2x)",
                 long < short * 1.2)

    def guided_search(self):
        """The coverage-guided search of --fuzz on the instrumented "bench" extension's function
        that does nothing, against the floor: a libFuzzer target calling it directly."""
        library = os.path.join(self.bench_dir, "bench_cov_x64.so")
        floor = os.path.join(self.bench_dir, "bench_guided_floor")
        if not (os.path.exists(library) and os.path.exists(floor)):
            self.notes.append("bench_guided not built: no coverage-guided figures")
            return
        section = "Coverage-guided search (--fuzz with libFuzzer)"
        seeds = self.path("guided.sqf")
        with open(seeds, "wb") as f:
            f.write(b'"bench_cov" invokeModule ["fn", ["a"]]\n')
        runs = 200000 if self.quick else 1000000

        def host():
            shutil.rmtree(self.path("guided"), ignore_errors=True)
            out = subprocess.run([self.exe, "--fuzz", "--runs", str(runs), "--seed", "1", "--out",
                                  self.path("guided"), seeds], capture_output=True, cwd=self.bench_dir)
            found = re.search(rb"\(([0-9.]+) calls/s\)", out.stdout)
            if b"coverage-guided" not in out.stdout or not found:
                sys.exit(f"guided --fuzz on bench_cov: status {out.returncode}\n{out.stdout[-2000:]}")
            return float(found.group(1))

        def floor_rate():
            # Its wall time, less that of a run of one input (its start-up and corpus set-up).
            env = dict(os.environ, BENCH_LIBRARY=library)
            walls = []
            for count in (runs, 1):
                start = time.perf_counter()
                out = subprocess.run([floor, f"-runs={count}", "-seed=1"], capture_output=True,
                                     cwd=self.work, env=env)
                walls.append(time.perf_counter() - start)
                if out.returncode != 0:
                    sys.exit(f"guided floor: status {out.returncode}\n{out.stderr[-2000:]}")
            return (runs - 1) / (walls[0] - walls[1])

        rates, floors = [], []
        for _ in range(3):  # taking turns
            rates.append(host())
            floors.append(floor_rate())
        rate, floor_median = statistics.median(rates), statistics.median(floors)
        self.row(section, f"calls per second, function that does nothing (median of 3 x {runs:,})",
                 f"{rate:,.0f} calls/s", f"floor {floor_median:,.0f} calls/s", f"{rate / floor_median:.2f}x floor",
                 ">= 0.5x floor", rate >= 0.5 * floor_median)

    def report_latency(self, library, rounds):
        """Seconds from sending a crashing call to `library` (a name the host loads) to the end
        of its report, for each of `rounds` crashes in one session, each after freeing and
        loading the library again."""
        proc = subprocess.Popen([self.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=self.work)
        load = f'"{library}" invokeModule "ok"\n'.encode()
        crash = f'"{library}" invokeModule "segv"\nfreeExtension "{library}"\n'.encode()
        times = []
        buffered = b""

        def read_until(marker):
            nonlocal buffered
            while marker not in buffered:
                chunk = proc.stdout.read1(65536)
                if not chunk:
                    sys.exit(f"the host ended before {marker!r}")
                buffered += chunk
            buffered = buffered[buffered.index(marker) + len(marker):]

        for _ in range(rounds):
            proc.stdin.write(load)
            proc.stdin.flush()
            read_until(b'"ok"\nExecution time: ')
            start = time.perf_counter()
            proc.stdin.write(crash)
            proc.stdin.flush()
            read_until(b"Extension unloaded\n")
            times.append(time.perf_counter() - start)
        proc.stdin.close()
        proc.wait()
        return times

    def crash_reports(self):
        section = "Crash reports"
        heavy = os.path.join(self.bench_dir, "heavy_debug_x64.so")
        if not os.path.exists(heavy):
            self.notes.append("heavy_debug_x64.so not built: no crash report figures")
            return
        shutil.copy(heavy, self.work)
        stripped = os.path.join(self.work, "heavy_stripped_x64.so")
        subprocess.run(["strip", "--strip-all", "-o", stripped, heavy], check=True)
        debug = sum(int(line.split()[1]) for line in subprocess.run(
            ["size", "-A", heavy], capture_output=True, text=True, check=True).stdout.splitlines()
            if line.startswith(".debug"))
        rounds = 3 if self.quick else 5
        with_debug = self.report_latency("heavy_debug", rounds)
        without = self.report_latency("heavy_stripped", rounds)
        base = statistics.median(without)
        first = with_debug[0]
        repeated = statistics.median(with_debug[1:])
        label = f"{debug / MIB:.0f} MiB of debug information"
        self.row(section, f"crash report, {label}: first", f"{first * 1000:.1f} ms",
                 f"stripped library {base * 1000:.1f} ms", f"+{(first - base) * 1000:.1f} ms",
                 "< +1000 ms", first - base < 1.0)
        self.row(section, f"crash report, {label}: after free and reload (median of {rounds - 1})",
                 f"{repeated * 1000:.1f} ms", f"stripped library {base * 1000:.1f} ms",
                 f"+{(repeated - base) * 1000:.1f} ms", "< +1000 ms", repeated - base < 1.0)

    # --- Google Benchmark binaries -----------------------------------------------------

    def stack_check_win32(self):
        """The 32-bit Windows build under Wine: what measuring the stack around each call into
        an extension adds to it, against the host's wall time per typed command."""
        os.environ.setdefault("WINEPREFIX", os.path.join(self.build, "wineprefix"))
        os.environ.setdefault("WINEDEBUG", "-all")
        os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        wine = shutil.which("wine") or sys.exit("wine not found")
        out = subprocess.run([wine, os.path.join(self.bench_dir, "bench_stack_check.exe")],
                             capture_output=True, text=True, check=True).stdout
        direct, checked = map(float, re.search(r"direct (\S+) checked (\S+)", out).groups())
        count = 20000
        typed, once = self.path("commands.txt"), self.path("command.txt")
        with open(typed, "wb") as f:
            f.write(COMMAND * count)
        with open(once, "wb") as f:
            f.write(COMMAND)
        m = self.median_runs([("typed", [wine, self.exe], typed, os.devnull),
                              ("start", [wine, self.exe], once, os.devnull)])
        per_command = (m["typed"][0] - m["start"][0]) / (count - 1) * 1e9
        added = checked - direct
        section = "32-bit Windows under Wine (median of 9 x 2,000,000 calls; commands: 5 runs)"
        self.row(section, "stack check, per call into the extension", f"{added:.1f} ns",
                 f"{direct:.1f} ns the call alone")
        self.row(section, "  vs a typed command", f"{per_command:,.0f} ns/cmd", "",
                 f"{100 * added / per_command:.2f}%", "under 1%", added < 0.01 * per_command)

    def google_benchmarks(self):
        binaries = [("invokemodule_bench_host", self.bench_dir),
                    ("invokemodule_bench_values", self.bench_dir),
                    ("invokemodule_bench_extensions",
                     os.path.join(self.build, "src", "extensions"))]
        results = {}
        for name, directory in binaries:
            binary = os.path.join(directory, name)
            if not os.path.exists(binary):
                self.notes.append(f"{name} not built; skipped")
                continue
            reps = "3" if self.quick else "5"
            proc = subprocess.run(
                [binary, "--benchmark_format=json", f"--benchmark_repetitions={reps}",
                 "--benchmark_report_aggregates_only=true",
                 f"--benchmark_min_time={0.05 if self.quick else 0.2}"],
                capture_output=True, cwd=directory)
            if proc.returncode != 0:
                self.notes.append(f"{name} failed: {proc.stderr.decode()[-300:]}")
                continue
            for bench in json.loads(proc.stdout)["benchmarks"]:
                if bench.get("aggregate_name") == "median":
                    results[(name, bench["run_name"])] = bench
        return results

    def report_google(self, results):
        """In-process figures: CPU time, the median of the repetitions (Google Benchmark's rates
        are per CPU second too), so that other processes on the machine count less."""
        section = "Hot path pieces (Google Benchmark, CPU time, median of repetitions)"
        big_section = "Big lines, in process (Google Benchmark, CPU time)"
        host = "invokemodule_bench_host"

        def get(run):
            return results.get((host, run))

        def ns(bench):
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench["time_unit"]]
            return bench["cpu_time"] * scale

        clock, call = get("BM_ClockRead"), get("BM_CallThroughPointer")
        if clock and call:
            self.row(section, "baseline: one clock read", f"{ns(clock):.1f} ns")
            self.row(section, "baseline: one call through the library pointer",
                     f"{ns(call):.1f} ns")
        for run, label in (("BM_RecogniseArgumentCall", "recognise the command line"),
                           ("BM_PrintExecutionTime", "print one execution-time line"),
                           ("BM_CommandArguments", "argument texts of the array (values)")):
            bench = get(run)
            if bench:
                self.row(section, label, f"{ns(bench):.0f} ns")
        bench = results.get(("invokemodule_bench_extensions", "BM_GuardMarkerCheck"))
        if bench:
            self.row(section, "output buffer's guard check (flags, front markers), x2 per call",
                     f"{ns(bench):.1f} ns", "", "", "", None, bench.get("label", ""))
        bench = get("BM_DispatchArgumentCall")
        if bench and self.floor_cpu:
            self.row(section, "whole command, output to memory", f"{ns(bench):.0f} ns",
                     f"floor, buffered: cpu {self.floor_cpu * 1e9:.0f} ns",
                     f"{ns(bench) / (self.floor_cpu * 1e9):.2f}x floor")
        elif bench:
            self.row(section, "whole command, output to memory", f"{ns(bench):.0f} ns")

        for run, label in (("BM_BigArgumentLine", "recognise, parse, argument texts"),
                           ("BM_DispatchBigArgumentLine", "whole command in the dispatcher")):
            small, big = get(f"{run}/{1 << 20}"), get(f"{run}/{16 << 20}")
            if not (small and big):
                continue
            goals = run == "BM_BigArgumentLine"
            for bench, size in ((small, 1), (big, 16)):
                rate = bench["bytes_per_second"] / 1e6
                goal = ">= 200 MB/s" if goals and size == 16 else ""
                self.row(big_section, f"{label}: {size} MiB line", f"{ns(bench) / 1e6:.1f} ms",
                         "", f"{rate:.0f} MB/s", goal, rate >= 200 if goal else None)
            ratio = ns(big) / ns(small)
            self.row(big_section, f"{label}: 16 MiB vs 1 MiB", f"{ratio:.1f}x", "", "",
                     "<= 20x" if goals else "", (ratio <= 20) if goals else None)
        for size in (1, 16):
            bench = get(f"BM_RecogniseBigArgumentLine/{size << 20}")
            if bench:
                self.row(big_section, f"  of which recognising the {size} MiB line",
                         f"{ns(bench) / 1e6:.2f} ms", "",
                         f"{bench['bytes_per_second'] / 1e6:.0f} MB/s")

        # What each per-call feature costs a call: the call with it against the call without.
        extensions = "invokemodule_bench_extensions"
        features = "Per-call features (Google Benchmark, CPU time, median of repetitions)"
        guarded = results.get((extensions, "BM_CrashGuardedCall/1"))
        unguarded = results.get((extensions, "BM_CrashGuardedCall/0"))
        if guarded and unguarded:
            self.row(features, "crash guard, per call", f"{ns(guarded) - ns(unguarded):.1f} ns",
                     f"unguarded call {ns(unguarded):.1f} ns", f"{ns(guarded) / ns(unguarded):.2f}x")
        for (name, run), bench in sorted(results.items()):
            if name == extensions and run.startswith("BM_GuardedBufferRoundTrip/"):
                self.row(features, f"output buffer zeroed and its guard checked ({bench.get('label', run)})",
                         f"{ns(bench):.1f} ns")

        placed = results.get((extensions, "BM_ArgumentVectorPlaced"))
        if placed and self.typed_wall:
            share = ns(placed) / (self.typed_wall * 1e9)
            self.row(features, "argv ended by a null pointer and unreadable memory, per call (4 arguments)",
                     f"{ns(placed):.1f} ns", f"typed command {self.typed_wall * 1e9:.0f} ns",
                     f"{100 * share:.2f}%", "under 1%", share < 0.01)
        plain = results.get(("invokemodule_bench_extensions", "BM_CallWithContext/0"))
        context = results.get(("invokemodule_bench_extensions", "BM_CallWithContext/1"))
        if plain and context:
            self.row(section, "function-form call, extension with RVExtensionContext",
                     f"{ns(context):.0f} ns", f"without: {ns(plain):.0f} ns",
                     f"+{ns(context) - ns(plain):.0f} ns per call")
        self.report_crash_guard(results)
        others = [(name, run, bench) for (name, run), bench in sorted(results.items())
                  if name != host and not run.startswith(("BM_CrashGuardedCall/", "BM_ThrowCaught"))]
        for name, run, bench in others:
            extra = ""
            if "bytes_per_second" in bench:
                extra = f"{bench['bytes_per_second'] / 1e6:.0f} MB/s"
            elif "items_per_second" in bench:
                extra = f"{bench['items_per_second']:,.0f}/s"
            self.row(f"Other benchmarks ({name}, CPU time)", run,
                     f"{bench['cpu_time']:.3g} {bench['time_unit']}", "", extra)

    def report_crash_guard(self, results):
        """The crash guard around each call: the guarded call against the direct one, and the
        difference as a share of a typed command's time."""
        name = "invokemodule_bench_extensions"
        direct = results.get((name, "BM_CrashGuardedCall/0"))
        guarded = results.get((name, "BM_CrashGuardedCall/1"))
        if not (direct and guarded):
            self.notes.append("BM_CrashGuardedCall not run; no crash guard row")
            return
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
        direct_ns = direct["cpu_time"] * scale[direct["time_unit"]]
        guarded_ns = guarded["cpu_time"] * scale[guarded["time_unit"]]
        cost = guarded_ns - direct_ns
        section = "Crash guard (Google Benchmark, CPU time)"
        if self.typed_wall:
            share = cost / (self.typed_wall * 1e9) * 100
            self.row(section, "guarded call vs unguarded", f"{guarded_ns:.1f} ns",
                     f"{direct_ns:.1f} ns", f"+{cost:.1f} ns = {share:.2f} % of a typed command",
                     "< 3 %", share < 3, f"typed command {self.typed_wall * 1e9:.0f} ns")
        else:
            self.row(section, "guarded call vs unguarded", f"{guarded_ns:.1f} ns",
                     f"{direct_ns:.1f} ns", f"+{cost:.1f} ns")

        thrown = results.get((name, "BM_ThrowCaughtInsideExtension/0"))
        recorded = results.get((name, "BM_ThrowCaughtInsideExtension/1"))
        if thrown and recorded:
            thrown_ns = thrown["cpu_time"] * scale[thrown["time_unit"]]
            recorded_ns = recorded["cpu_time"] * scale[recorded["time_unit"]]
            self.row(section, "exception thrown and caught in the extension, guarded (throw site recorded)",
                     f"{recorded_ns / 1000:.2f} us", f"unguarded {thrown_ns / 1000:.2f} us",
                     f"+{(recorded_ns - thrown_ns) / 1000:.2f} us", "< +5 us", recorded_ns - thrown_ns < 5000)

    # --- the table ------------------------------------------------------------------

    def print_table(self):
        headers = ("figure", "measured", "baseline", "ratio", "goal", "", "")
        widths = [len(h) for h in headers]
        for row in self.rows:
            for i, cell in enumerate(row[1:]):
                widths[i] = max(widths[i], len(cell))
        sections = list(dict.fromkeys(row[0] for row in self.rows))  # in order of appearance
        for section in sections:
            print(f"\n{section}")
            print("  " + "  ".join(h.ljust(w) for h, w in zip(headers, widths)).rstrip())
            for row in self.rows:
                if row[0] == section:
                    print("  " + "  ".join(c.ljust(w) for c, w in zip(row[1:], widths)).rstrip())
        missed = [r for r in self.rows if r[6] == "NOT MET"]
        print(f"\n{sum(r[6] == 'met' for r in self.rows)} goals met, {len(missed)} not met")
        for row in missed:
            figure = row[1].strip()
            if figure.startswith("vs "):  # a ratio row: name the figure it belongs to
                owner = next(r for r in reversed(self.rows[:self.rows.index(row)])
                             if not r[1].startswith(" "))
                figure = owner[1] + ", " + figure
            print(f"  not met: {row[0]}: {figure}: {row[2]} (goal {row[5]})")
        for note in self.notes:
            print("note: " + note)


def big_argument_line(size):
    """An argument-form command whose array literal holds at least `size` bytes of mixed items
    (the same items as the in-process benchmark)."""
    items = [b"1", b'"two"', b"true", b"[3]", b"-2.5", b'"a ""quoted"" text, with ] inside"',
             b"FALSE", b'[[1,"x"],[]]', b"123456", b"1e-3"]
    parts = []
    length = 0
    i = 0
    head = b'"bench" invokeModule ["fn", ['
    while len(head) + length < size:
        item = items[i % len(items)]
        parts.append(item)
        length += len(item) + 2
        i += 1
    return head + b", ".join(parts) + b"]]\n"


def ordinary_session(small_script):
    """A session of everyday commands: calls of both forms, a freed and reloaded extension,
    a script with a comment and a short pause, unknown commands, and exit."""
    with open(small_script, "wb") as f:
        f.write(b"// a comment\nsleep 0.01\n" + COMMAND + b'"bench" invokeModule "fn"\n')
    lines = []
    for i in range(200):
        lines.append(COMMAND)
        lines.append(b'"bench" invokeModule "fn";\n')
        lines.append(b'"bench" invokeModule ["fn", ["a ""quoted"" text", -1.5, [false, []]]];\n')
        if i % 50 == 0:
            lines.append(b'freeExtension "bench"\n')
            lines.append(b'execVM "' + small_script.encode() + b'"\n')
            lines.append(b"no such command\n")
    lines.append(b"exit\n")
    return b"".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "build-bench"))
    parser.add_argument("--repeat", type=int, default=5, help="runs per whole-process figure")
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs")
    parser.add_argument("--win32", metavar="DIR", help="only the 32-bit Windows build in DIR")
    args = parser.parse_args()
    bench = Bench(args)
    started = time.monotonic()
    try:
        if args.win32:
            bench.stack_check_win32()
            bench.print_table()
            return 0
        load = os.getloadavg()
        print(f"invokemodule benchmarks: {os.cpu_count()} cores, load {load[0]:.2f} "
              f"{load[1]:.2f} {load[2]:.2f}; executable {bench.exe}", flush=True)
        bench.throughput()
        bench.busy_timing()
        bench.pauses()
        bench.big_lines()
        bench.start_up()
        bench.crash_reports()
        bench.search()
        bench.guided_search()
        bench.report_google(bench.google_benchmarks())
        bench.print_table()
        print(f"\n({time.monotonic() - started:.0f} s)")
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
