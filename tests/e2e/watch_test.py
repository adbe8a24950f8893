#!/usr/bin/env python3
"""--watch against the real executable: a library file rebuilt while the host runs is picked
up by the next call, a broken build is reported once while the old one keeps answering, the
private folder goes at every end of the session, 1,000 reloads leave memory and open files
flat, a library the system keeps in memory is named when its changed file loads again, and a
copy whose GNU unique symbols bind to an earlier copy's objects says so.
With --runner (Wine) the Windows build runs, the library files are replaced from inside Wine,
where a loaded library is locked, and the tests that need Linux's /proc and signals are left out."""
import glob
import os
import signal
import subprocess
import sys
import threading
import time

from harness import RUNNER, SANITIZED, check, main, open_files, resident_kib

SUFFIX = "_x64.so" if sys.maxsize > 2**32 else ".so"
FAILED = "Call extension 'w' could not be loaded [ERR:"


def prepare(ctx):
    """The platform's library suffix and texts: a Windows build's test extensions are DLLs."""
    global SUFFIX
    if ctx.args.runner:
        SUFFIX = "_x64.dll" if os.path.exists(os.path.join(ctx.args.testext, "testext_full_x64.dll")) else ".dll"
    ctx.reloaded = f"Extension reloaded: w (w{SUFFIX} changed)\n"
    ctx.stays = f"w{SUFFIX} stays in memory; restart the host to load a new build\n"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    """The host with `args`, commands written to its input, its output in a file, and its
    temporary folder (where the private folder goes) inside the test's working directory."""

    def __init__(self, ctx, args=("--watch",), env=None):
        self.ctx = ctx
        self.tmp = os.path.join(ctx.work, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        self.out_path = os.path.join(ctx.work, "out.txt")
        with open(self.out_path, "wb") as out:
            runner = [ctx.args.runner] if ctx.args.runner else []
            # Wine keeps its server's socket under TMPDIR: Wine's copy command must reach the same.
            env = dict(os.environ, NO_COLOR="1", **({} if runner else {"TMPDIR": self.tmp}), **(env or {}))
            self.proc = subprocess.Popen([*runner, ctx.exe, *args], stdin=subprocess.PIPE, stdout=out,
                                         stderr=subprocess.STDOUT, cwd=ctx.work,
                                         env=env)

    def text(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def send(self, line, until=None, timeout=15.0):
        """Types `line`; waits until the output holds `until` one time more than before."""
        before = self.text().count(until) if until else 0
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        while until and self.text().count(until) <= before:
            check(time.monotonic() < deadline, f"no {until!r} after {line!r}; output:\n{self.text()[-1500:]}")
            time.sleep(0.002)

    def call(self, function):
        """Calls the extension "w"; answers the output the call added."""
        start = len(self.text())
        self.send(f'"w" invokeModule "{function}"', "Execution time")
        time.sleep(0.02)
        return self.text()[start:].replace("\r\n", "\n")

    def private_folders(self):
        if self.ctx.args.runner:  # Wine sets the temporary folder itself, inside its prefix
            prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
            return [os.path.basename(path) for path in glob.glob(prefix + "/drive_c/users/*/*emp/invokemodule-*")]
        return [name for name in os.listdir(self.tmp) if name.startswith("invokemodule-")]

    def end(self, how="exit"):
        if how == "exit":
            self.send("exit")
        elif how == "end of input":
            self.proc.stdin.close()
        else:
            self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(10)
        if how != "end of input" and not self.proc.stdin.closed:
            self.proc.stdin.close()
        return code


def install(ctx, variant, mtime=None):
    """Writes the built `variant` over the watched file in place, as a build or `cp` does;
    under Wine with Wine's copy command, to which a loaded library is locked. Answers whether
    the file was replaced."""
    if ctx.args.runner:
        source = os.path.join(ctx.args.testext, variant + SUFFIX)
        copy = subprocess.run([ctx.args.runner, "cmd", "/c", "copy", "/y", windows_path(source),
                               windows_path(os.path.join(ctx.work, "w" + SUFFIX))], capture_output=True)
        return copy.returncode == 0
    with open(os.path.join(ctx.args.testext, variant + SUFFIX), "rb") as f:
        data = f.read()
    write(ctx, data, mtime)
    return True


def write(ctx, data, mtime=None):
    path = os.path.join(ctx.work, "w" + SUFFIX)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, ns=(mtime, mtime))


def test_rebuilt_library_is_picked_up_and_broken_builds_reported_once(ctx):
    install(ctx, "testext_full")
    s = Session(ctx)
    check('"build 1"' in s.call("build"), "the first build answers")
    check('"2"' in s.call("calls"), "state kept between calls")
    check(install(ctx, "testext_build2"), "the file is replaced while its build is in use")
    out = s.call("build")
    check(out.startswith(ctx.reloaded + "Callback registered:") and '"build 2"' in out,
          "reload line, load lines and the new build's answer:\n" + out)
    for broken in (b"not a library\n", open(os.path.join(ctx.args.testext, "testext_full" + SUFFIX), "rb").read()[:4096]):
        write(ctx, broken)
        out = s.call("build") + s.call("build")
        check(out.count(FAILED) == 1 and ctx.reloaded not in out and out.count('"build 2"') == 2,
              "one failure report, the old build answers:\n" + out)
    os.remove(os.path.join(ctx.work, "w" + SUFFIX))
    out = s.call("build")
    check(out.startswith('"build 2"'), "a removed file leaves the loaded build in place:\n" + out)
    install(ctx, "testext_full")
    check(s.call("build").startswith(ctx.reloaded), "a good build after broken ones loads")
    check(s.end() == 0 and s.private_folders() == [], "the private folder is gone after exit")


def test_changed_file_reloads_a_crashed_extension(ctx):
    if ctx.args.sanitized:
        return  # the sanitizer owns the fault signals
    install(ctx, "crashy")
    s = Session(ctx)
    s.send('"w" invokeModule "segv"', "Extension crashed:")
    s.send('"w" invokeModule "echo"', "Extension crashed; freeExtension it")
    install(ctx, "testext_full")
    out = s.call("build")
    check(out.startswith(ctx.reloaded) and '"build 1"' in out, "reloaded and called:\n" + out)
    s.end()


def test_private_folder_gone_at_every_end_and_stale_ones_removed(ctx):
    install(ctx, "testext_full")
    tmp = os.path.join(ctx.work, "tmp")
    if not ctx.args.runner:  # a folder of a process that ended, and one of a running process
        dead = subprocess.Popen(["true"])
        dead.wait()
        for pid in (dead.pid, os.getpid()):
            os.makedirs(os.path.join(tmp, f"invokemodule-{pid}", "1"))
    left = [] if ctx.args.runner else [f"invokemodule-{os.getpid()}"]
    ends = ("exit", "end of input", "interrupt", "interrupt during a call", "crash report")
    for how in ends[:2] if ctx.args.runner else ends:
        s = Session(ctx)
        s.call("build")
        check(len(s.private_folders()) == len(left) + 1, f"{how}: stale folder removed, own folder made: {s.private_folders()}")
        if how == "crash report":  # a fault in a library's start-up code ends the host
            install(ctx, "crashy_startup")
            s.send('"w" invokeModule "build"', "(library start-up code)")
            code = s.proc.wait(10)
            s.proc.stdin.close()
        else:
            if how == "interrupt during a call":
                s.send('"w" invokeModule "sleep 60000"')
                time.sleep(0.3)
            code = s.end(how.split(" during")[0])
        install(ctx, "testext_full")
        check(s.private_folders() == left,
              f"{how} (status {code}): only the running process's folder is left: {s.private_folders()}")


def test_stale_folder_that_is_a_link_is_removed_without_following_it(ctx):
    install(ctx, "testext_full")
    target = os.path.join(ctx.work, "target")
    os.makedirs(os.path.join(target, "1"))
    for name in ("keep", "1/keep"):
        open(os.path.join(target, name), "w").close()
    if ctx.args.runner:
        # In Wine's temporary folder, which Wine takes for a reparse point: under a Windows
        # process number no process has (they are multiples of 4).
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        tmp = glob.glob(prefix + "/drive_c/users/*/*emp")[0]
        stale = [99996]
        if os.path.lexists(os.path.join(tmp, "invokemodule-99996")):  # an earlier run's
            os.unlink(os.path.join(tmp, "invokemodule-99996"))
        os.symlink(target, os.path.join(tmp, "invokemodule-99996"))
    else:
        tmp = os.path.join(ctx.work, "tmp")
        dead = subprocess.Popen(["true"])
        dead.wait()
        os.makedirs(tmp, exist_ok=True)
        os.symlink(target, os.path.join(tmp, f"invokemodule-{dead.pid}"))
        # A stale folder of its own, whose mirror link names the target: the link goes, not it.
        other = subprocess.Popen(["true"])
        other.wait()
        os.makedirs(os.path.join(tmp, f"invokemodule-{other.pid}", "1"))
        os.symlink(target, os.path.join(tmp, f"invokemodule-{other.pid}", "1", "linked"))
        stale = [dead.pid, other.pid]
    s = Session(ctx)
    s.call("build")
    s.end()
    check(sorted(os.listdir(target)) == ["1", "keep"] and os.listdir(os.path.join(target, "1")) == ["keep"],
          f"the link's target is left whole: {os.listdir(target)}")
    if ctx.args.runner:  # Wine cannot remove a Unix link it shows as a reparse point: left alone
        os.unlink(os.path.join(tmp, "invokemodule-99996"))
        return
    for pid in stale:
        check(not os.path.lexists(os.path.join(tmp, f"invokemodule-{pid}")), f"{pid} is gone")


def test_files_beside_the_library_are_found_beside_its_copy(ctx):
    """The copy's folder mirrors the original's: a data file and a folder beside the library are
    found through its own path (dladdr, GetModuleFileName), also after a reload; the clean-up
    removes the names, never what they name. Under Wine only the file is mirrored (a hard
    link): Wine makes no symbolic link to a folder."""
    install(ctx, "testext_full")
    os.makedirs(os.path.join(ctx.work, "data"), exist_ok=True)
    for name, text in (("config.txt", "config line\nsecond\n"), ("data/inner.txt", "inner line\n")):
        with open(os.path.join(ctx.work, name), "w") as f:
            f.write(text)
    wanted = [("config.txt", "config line")] + ([] if ctx.args.runner else [("data/inner.txt", "inner line")])
    s = Session(ctx)
    for reload in (False, True):
        if reload:
            install(ctx, "testext_build2")
        for name, line in wanted:
            out = s.call(f"beside {name}")
            check(f'"{line}"' in out, f"{name} is found beside the copy (reload {reload}):\n{out}")
    check('"no missing.txt beside ' in s.call("beside missing.txt"), "a missing file is not found")
    check(s.end() == 0 and s.private_folders() == [], "the private folder is gone")
    check(sorted(os.listdir(os.path.join(ctx.work, "data"))) == ["inner.txt"] and
          open(os.path.join(ctx.work, "config.txt")).read() == "config line\nsecond\n",
          "the original folder's entries are left whole")


def test_working_folder_changed_by_the_extension_keeps_the_loaded_file_watched(ctx):
    """The library is loaded by a relative path; after the extension changes the working
    folder (in a call, or in its start-up code before the load is done), a same-named file
    there is not the watched one, and a rebuild of the loaded file is still picked up."""
    elsewhere = os.path.join(ctx.work, "elsewhere")
    os.makedirs(elsewhere, exist_ok=True)
    with open(os.path.join(ctx.args.testext, "testext_build2" + SUFFIX), "rb") as f:
        data = f.read()
    with open(os.path.join(elsewhere, "w" + SUFFIX), "wb") as f:
        f.write(data)
    folder = windows_path(elsewhere) if ctx.args.runner else elsewhere
    for how in ("call", "start-up code"):
        install(ctx, "testext_full")
        s = Session(ctx, env={"TESTEXT_START_FOLDER": folder} if how == "start-up code" else None)
        check("build 1" in s.call("build"), s.text())
        if how == "call":
            check('"0"' in s.call(f"chdir {folder}"), s.text())
        out = s.call("build")
        check("build 1" in out and "reloaded" not in out, f"{how}: the other folder's file is not loaded: {out}")
        install(ctx, "testext_build2")
        out = s.call("build")
        check(out.startswith(ctx.reloaded) and "build 2" in out, f"{how}: the loaded file's rebuild is picked up: {out}")
        s.end()


def test_without_watch_the_loaded_file_is_locked_on_windows(ctx):
    install(ctx, "testext_full")
    s = Session(ctx, ())
    s.call("build")
    check(not install(ctx, "testext_build2"), "Wine refuses to replace a loaded library")
    check('"build 1"' in s.call("build"), "the old build answers")
    s.end()


def test_library_kept_in_memory_is_named_when_its_changed_file_loads(ctx):
    # (options, the commands before the file changes, the lines the next call starts with).
    # Freeing a library the system keeps says so under "Extension unloaded"; without --watch a
    # changed file then loads the old code, which is said once more; with --watch the new copy
    # is a library of its own (thread-local destructors keep only the old one), so nothing is,
    # and the unload says so.
    free = 'freeExtension "w"'
    kept = f"Extension unloaded\nw{SUFFIX} stays in memory (a thread still holds its thread-local objects): "
    next_load = {(): "the next load goes on with its state; restart the host\n\n",
                 ("--watch",): "the next load is a new copy with a state of its own\n\n"}
    cases = [
        ((), ["resident", free, "build", free], ctx.stays + "Callback registered:"),
        (("--watch",), ["resident"], ctx.reloaded + "Callback registered:"),
        (("--watch",), ["resident", free], "Callback registered:"),
    ]
    for args, before, expected in cases:
        install(ctx, "testext_full")
        s = Session(ctx, args)
        for command in before:
            if command == free:
                start = len(s.text())
                s.send(command, "Extension unloaded")
                time.sleep(0.05)
                out = s.text()[start:].replace("\r\n", "\n")
                check(out.endswith(kept + next_load[args]),
                      f"{args}: the unload names the library kept in memory:\n{out}")
            else:
                out = s.call(command)
                check("stays in memory" not in out, f"{args}: nothing said while the file is unchanged")
        os.remove(os.path.join(ctx.work, "w" + SUFFIX))  # a new file: the old one stays mapped
        install(ctx, "testext_build2")
        out = s.call("build")
        # Without --watch the old code answers; with it, a copy of the new file does.
        check(out.startswith(expected) and ('"build 2"' if args else '"build 1"') in out,
              f"{args}: expected {expected!r}:\n{out}")
        s.end()


def test_unique_symbols_of_a_library_kept_in_memory_bind_its_new_copies(ctx):
    """Under --watch glibc keeps the first copy of a library with GNU unique symbols, and every
    later copy (a reload of the changed file, a load after freeExtension, changed or not) is a
    library of its own but for those symbols, which bind to the first copy's objects. Each such
    load says exactly that, and none says that the old build answers: the new build answers,
    its unique counter goes on from the first copy's, its own call count starts again."""
    free = 'freeExtension "w"'
    shared = (f"w{SUFFIX}: the new copy is a library of its own but for its GNU unique symbols, which bind to "
              "the objects of an earlier copy still in memory and go on with their state; build it with "
              "-fno-gnu-unique, or restart the host\n")
    kept = (f"Extension unloaded\nw{SUFFIX} stays in memory (it defines GNU unique symbols): the next load is "
            "a new copy, but its GNU unique symbols bind to this one's objects and go on with their state; "
            "build it with -fno-gnu-unique, or restart the host\n\n")
    loaded = shared + "Callback registered:"
    # (freed first, the build then installed, the lines the unload ends with, the lines the
    # next call starts with, the build that answers it). Only the first copy stays when freed.
    steps = [
        (True, None, kept, loaded, 1),
        (False, "testext_unique2", None, ctx.reloaded + loaded, 2),
        (False, "testext_unique", None, ctx.reloaded + loaded, 1),
        (True, "testext_unique2", "Extension unloaded\n\n", loaded, 2),
        (True, None, "Extension unloaded\n\n", loaded, 2),
    ]
    install(ctx, "testext_unique")
    s = Session(ctx)
    check('"1"' in s.call("unique") and '"2"' in s.call("unique"), "the unique counter counts:\n" + s.text())
    count = 2
    for freed, variant, unloaded, expected, build in steps:
        step = f"freed {freed}, then {variant}"
        if freed:
            start = len(s.text())
            s.send(free, "Extension unloaded")
            time.sleep(0.05)
            out = s.text()[start:].replace("\r\n", "\n")
            check(out.endswith(unloaded), f"{step}: expected the unload to end {unloaded!r}:\n{out}")
        if variant:
            install(ctx, variant)
        out = s.call("build")
        check(out.startswith(expected) and f'"build {build}"' in out, f"{step}: expected {expected!r}:\n{out}")
        count += 1
        out = s.call("unique")
        check(f'"{count}"' in out, f"{step}: the unique counter goes on from the first copy's:\n{out}")
        out = s.call("calls")
        check('"3"' in out, f"{step}: the new copy counts its own calls:\n{out}")
    check("restart the host to load a new build" not in s.text(), "no load is said to run the old build")
    s.end()


def test_build_written_in_place_loads_only_once_complete(ctx):
    # A linker that sets the file's final size first and writes the content after it, in
    # pieces 100 ms apart, the headers last: the size holds long before the content is complete.
    install(ctx, "testext_full")
    s = Session(ctx)
    check('"build 1"' in s.call("build"), "the first build answers")
    with open(os.path.join(ctx.args.testext, "testext_build2" + SUFFIX), "rb") as f:
        content = f.read()
    target = os.path.join(ctx.work, "w" + SUFFIX)

    def write_in_place():
        with open(target, "r+b") as f:
            f.truncate(len(content))
            f.seek(0)
            f.write(b"\0" * len(content))
            f.flush()
            piece = len(content) // 8 + 1
            for at in reversed(range(0, len(content), piece)):  # the headers last
                time.sleep(0.1)
                f.seek(at)
                f.write(content[at:at + piece])
                f.flush()

    writer = threading.Thread(target=write_in_place)
    writer.start()
    time.sleep(0.05)
    out = s.call("build")
    writer.join()
    check(out.startswith(ctx.reloaded) and '"build 2"' in out, f"the complete new build answers:\n{out}")
    check(s.end() == 0, "the host ends well")


def test_thousand_reloads_leave_memory_and_files_flat(ctx):
    install(ctx, "testext_full")
    s = Session(ctx)
    s.call("build")
    base = time.time_ns() - 3600 * 10**9  # written long ago: no wait for the file to settle
    figures = {}
    for i in range(1, 1001):
        install(ctx, "testext_build2" if i % 2 else "testext_full", base + i * 10**6)
        out = s.call("build")
        check(out.startswith(ctx.reloaded), f"reload {i}:\n{out}")
        if i in (100, 1000):
            figures[i] = (resident_kib(s.proc.pid), open_files(s.proc.pid),
                          len(os.listdir(os.path.join(s.tmp, s.private_folders()[0]))))
    print(f"after 100 and 1000 reloads: VmRSS {figures[100][0]} and {figures[1000][0]} KiB, "
          f"open files {figures[100][1]} and {figures[1000][1]}, private copies "
          f"{figures[100][2]} and {figures[1000][2]}")
    # A sanitizer holds freed memory back for a while: there only the files are measured.
    check(ctx.args.sanitized or figures[1000][0] - figures[100][0] < 16 * 1024, "memory grows less than 16 MiB")
    check(figures[1000][1] == figures[100][1], "open files stay the same")
    check(figures[1000][2] == figures[100][2] == 1, "one private copy on disk")
    s.end()


if __name__ == "__main__":
    everywhere = [
        test_rebuilt_library_is_picked_up_and_broken_builds_reported_once,
        test_changed_file_reloads_a_crashed_extension,
        test_private_folder_gone_at_every_end_and_stale_ones_removed,
        test_working_folder_changed_by_the_extension_keeps_the_loaded_file_watched,
        test_files_beside_the_library_are_found_beside_its_copy,
        test_build_written_in_place_loads_only_once_complete,
        test_stale_folder_that_is_a_link_is_removed_without_following_it,
    ]
    linux = [
        test_library_kept_in_memory_is_named_when_its_changed_file_loads,
        test_unique_symbols_of_a_library_kept_in_memory_bind_its_new_copies,
        test_thousand_reloads_leave_memory_and_files_flat,
    ]
    wine = "--runner" in sys.argv and sys.argv[sys.argv.index("--runner") + 1] != ""
    main(everywhere + ([test_without_watch_the_loaded_file_is_locked_on_windows] if wine else linux), __doc__,
         lambda parser: (RUNNER(parser), SANITIZED(parser)), prepare)
