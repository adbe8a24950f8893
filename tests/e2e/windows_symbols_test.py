#!/usr/bin/env python3
"""The Windows builds' crash reports, under Wine, name the function and source line that
the library's own debug information gives for each frame's printed offset, as the README tells
an author to look it up: MinGW's addr2line at the image base plus the offset for a library with
DWARF, and LLVM's symbolizer (which reads the PDB beside the library) for one built as MSVC does.
Each frame line with a function and a line is compared; inlined frames in the order given."""
import os
import re
import subprocess

from harness import RUNNER, check, main

def word_size(ctx):
    """The build's names: the MinGW tools' prefix and the test libraries' file name suffix."""
    dump = subprocess.run(["objdump", "-f", ctx.exe], stdout=subprocess.PIPE).stdout.decode()
    return ("i686-w64-mingw32", "") if "pei-i386" in dump else ("x86_64-w64-mingw32", "_x64")


FRAME = re.compile(r"^  at (\S+)\+0x([0-9a-f]+) in (\S+) (.+):(\d+)( \(inlined\))?\r?$", re.M)


def crash_report(ctx, library, functions, free_each=True):
    """The frame lines (file, offset, function, source file, line) of the reports for `functions`,
    each called after a fresh load unless `free_each` is false."""
    free = f'freeExtension "{library}"\n'
    stdin = "".join(f'"{library}" invokeModule "{f}"\n' + (free if free_each else "") for f in functions)
    runner = [ctx.args.runner] if ctx.args.runner else []
    env = dict(os.environ, NO_COLOR="1")
    result = subprocess.run([*runner, ctx.exe], input=stdin.encode(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=ctx.work, env=env, timeout=120)
    frames = [(m.group(1), int(m.group(2), 16), m.group(3), m.group(4), int(m.group(5)))
              for m in FRAME.finditer(result.stdout.decode("utf-8", "replace"))]
    check(frames, "no frame named a function and line:\n" + result.stdout.decode("utf-8", "replace"))
    return frames


def image_base(dll, tools):
    dump = subprocess.run([f"{tools}-objdump", "-p", dll], stdout=subprocess.PIPE,
                          check=True).stdout.decode()
    return int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", dump, re.M).group(1), 16)


def lookups(tool, dll, offset, tools):
    """(function, file, line) from innermost to outermost for the offset, by the given tool."""
    address = f"0x{image_base(dll, tools) + offset:x}"
    if tool == "addr2line":
        command = [f"{tools}-addr2line", "-f", "-C", "-i", "-e", dll, address]
    else:
        command = ["llvm-symbolizer", f"--obj={dll}", "--inlining", "--no-demangle", address]
    lines = [line for line in subprocess.run(command, stdout=subprocess.PIPE, check=True)
             .stdout.decode().splitlines() if line]
    places = []
    for function, place in zip(lines[0::2], lines[1::2]):
        file, line = re.match(r"^(.*?):(\d+)", place).groups()
        places.append((function, file, int(line)))
    return places


def rows_at(dll, offset, tools):
    """The lines of the DWARF line table's rows that begin where the row holding the offset does:
    DbgHelp under Wine keeps only the first of them (a declaration's line, say), addr2line the
    last."""
    rows = []
    base = image_base(dll, tools)
    dump = subprocess.run([f"{tools}-objdump", "--dwarf=decodedline", dll],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    for m in re.finditer(r"^\S+\s+(\d+)\s+0x([0-9a-f]+)", dump, re.M):
        rows.append((int(m.group(2), 16) - base, int(m.group(1))))
    begin = max((address for address, _ in rows if address <= offset), default=None)
    return {line for address, line in rows if address == begin}


def short_name(function):
    """The function's own name: no namespace, class, parameters or 32-bit stdcall decoration
    (what DbgHelp shows)."""
    return re.sub(r"@\d+$", "", re.sub(r"\(.*$", "", function).split("::")[-1])


def compare(ctx, library, tool, functions, free_each=True):
    tools, suffix = word_size(ctx)
    dll = library + suffix + ".dll"
    frames = crash_report(ctx, library, functions, free_each)
    path = os.path.join(ctx.work, dll)
    # Frames of one offset: the inlined ones, then the function holding them.
    groups = {}
    for file, offset, function, source, line in frames:
        check(file == dll, f"frame of {file}, expected {dll}")
        groups.setdefault(offset, []).append((function, source, line))
    for offset, shown in groups.items():
        expected = lookups(tool, path, offset, tools)
        # A recursion shows the same offset once per round kept: each must be the same place.
        rounds = len(shown) // max(len(expected), 1)
        check(shown == shown[:len(expected)] * rounds,
              f"+0x{offset:x}: differing places {shown}")
        for (function, source, line), (want_function, want_file, want_line) in zip(shown, expected):
            check(function == short_name(want_function),
                  f"+0x{offset:x}: function {function}, {tool} says {want_function}")
            check(re.split(r"[\\/]", source)[-1] == os.path.basename(want_file),
                  f"+0x{offset:x}: file {source}, {tool} says {want_file}")
            same_address = rows_at(path, offset, tools) if tool == "addr2line" and line != want_line else set()
            check(line == want_line or {line, want_line} <= same_address,
                  f"+0x{offset:x}: line {line}, {tool} says {want_line}")


def test_dwarf_lines_agree_with_addr2line(ctx):
    compare(ctx, "crashy_dwarf", "addr2line", ["segv", "nullwrite", "divzero", "hidden", "throwdeep", "recurse"])


def test_no_frame_is_skipped(ctx):
    # Frames of functions built without a frame pointer, and a throw site three calls deep.
    for function, callers in [("hidden", ["writeAt", "run", "RVExtension"]),
                              ("throwdeep", ["throwInnermost", "throwMiddle", "throwOutermost"])]:
        shown = [frame[2] for frame in crash_report(ctx, "crashy_dwarf", [function])]
        check(all(name in shown for name in callers), f"{function}: frames {shown}, expected {callers}")


def test_thread_fault_frames_are_named_too(ctx):
    # The thread's report comes while the main thread spins: it is made on a host thread.
    compare(ctx, "crashy_dwarf", "addr2line", ["thread", "spin 500"], False)


def test_pdb_lines_agree_with_the_symbolizer(ctx):
    compare(ctx, "pdbcrash", "symbolizer", ["x"])


if __name__ == "__main__":
    main(globals(), __doc__, RUNNER)
