#!/usr/bin/env python3
"""Crash reports against the real executable and the crash test extension as authors ship it:
with its debug information, with it split into a separate file beside a stripped library,
with a symbol table only, with no symbols at all. The innermost frame of every kind of crash
names the function and the line addr2line gives for the same offset, and a caller's frame the
line of its call; 1,000 crashes in a row keep memory and open files flat."""
import os
import re
import shutil
import subprocess

from harness import check, main, open_files, resident_kib

FRAME = re.compile(r"^  at (\S+)\+0x([0-9a-f]+)(.*)$", re.M)
# The crash kinds and whether their innermost extension frame is the faulting instruction.
KINDS = ["segv", "nullwrite", "divzero", "illegal", "hidden", "inlined", "recurse", "throwdeep", "throwat", "abort"]


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise AssertionError(f"{name} is not installed")
    return path


def variant(ctx, name, *steps):
    """crashy built as `name`_x64.so from the built library by the binutils `steps`."""
    source = os.path.join(ctx.work, "crashy_x64.so")
    target = os.path.join(ctx.work, name + "_x64.so")
    shutil.copy(source, target)
    for step in steps:
        subprocess.run([tool(step[0]), *step[1:], target], check=True, cwd=ctx.work)
    return target


def reports(ctx, name, kinds):
    """The report of each crash kind, called on extension `name`."""
    lines = []
    for kind in kinds:
        lines += [f'"{name}" invokeModule "{kind}"', f'freeExtension "{name}"']
    proc = subprocess.run([ctx.exe], input="\n".join(lines) + "\n", capture_output=True, text=True,
                          cwd=ctx.work, timeout=120)
    found = re.findall(r"^ERROR: Extension crashed: [^\n]*\n((?:  [^\n]*\n)*)", proc.stdout, re.M)
    check(len(found) == len(kinds), f"a report per crash: {proc.stdout[-2000:]}")
    return dict(zip(kinds, found))


def addr2line(library, offset):
    """addr2line's places for `offset`, innermost first: (function, file name, line)."""
    out = subprocess.run([tool("addr2line"), "-i", "-f", "-C", "-e", library, hex(offset)],
                         capture_output=True, text=True, check=True).stdout.split("\n")
    places = []
    for function, place in zip(out[0::2], out[1::2]):
        file, _, line = place.rpartition(":")
        places.append((function, os.path.basename(file), re.sub(r" .*", "", line)))
    return places


def frame_groups(report, library):
    """Each frame's offset and the lines shown at it (one per inlined call), innermost first."""
    groups = []
    for m in FRAME.finditer(report):
        if m.group(1) != library:
            continue
        offset = int(m.group(2), 16)
        if groups and groups[-1][0] == offset:
            groups[-1][1].append(m.group(3))
        else:
            groups.append((offset, [m.group(3)]))
    check(groups, f"frames of {library}: {report}")
    return groups


def test_every_crash_names_the_function_and_line_addr2line_gives(ctx):
    original = os.path.join(ctx.work, "crashy_x64.so")
    # As built; and the debug information in a file of its own beside the stripped library,
    # found by its debug link.
    subprocess.run([tool("objcopy"), "--only-keep-debug", original, "crashy_split_x64.so.debug"],
                   check=True, cwd=ctx.work)
    variant(ctx, "crashy_split", ["strip", "--strip-debug", "--strip-unneeded"],
            ["objcopy", "--add-gnu-debuglink=crashy_split_x64.so.debug"])
    for name in ["crashy", "crashy_split"]:
        library = name + "_x64.so"
        for kind, report in reports(ctx, name, KINDS).items():
            # Every frame as addr2line resolves the offset shown: the innermost at the faulting
            # instruction, the callers one byte before their return address (that the byte is
            # the call's, the next test tells).
            for offset, shown in frame_groups(report, library):
                expected = addr2line(original, offset)
                check(len(shown) == len(expected), f"{name} {kind}: a line per inlined call: {shown} {expected}")
                for index, (line, (function, file, number)) in enumerate(zip(shown, expected)):
                    named = f" in {function}" in line or f"::{function}(" in line
                    if index == 0 and len(expected) > 1:
                        # binutils may name an inlined call's innermost place after the function
                        # holding it: the report names another one there.
                        holder = shown[1].split(" in ")[1].rsplit(" ", 1)[0]
                        named = named or (" in " in line and holder not in line)
                    check(named, f"{name} {kind}: {function} named in {line!r}")
                    check(line.split(" (inlined)")[0].endswith(f"{file}:{number}"),
                          f"{name} {kind}: {file}:{number} in {line!r}")
                if len(expected) > 1:
                    check(shown[0].endswith(" (inlined)") and not shown[-1].endswith(" (inlined)"),
                          f"{name} {kind}: the inlined call marked: {shown}")


# (crash kind, a caller in the crash's frames, the text of the call it makes): each caller's
# frame names the source line of that call. Its return address is the instruction after the
# call, which begins another line or, after a call that never returns, another function.
CALLERS = [
    ("throwdeep", "throwMiddle", "throwInnermost();"),
    ("throwdeep", "throwOutermost", "throwMiddle();"),
    ("segv", "run", "std::to_string(readNull())"),
    ("nullwrite", "run", "writeAt(0x10);"),
]
CRASHY_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "testext", "crashy.cc")


def call_line(caller, call):
    """The number of the first line holding `call` in the definition of `caller` in crashy.cc."""
    with open(CRASHY_SOURCE, encoding="utf-8") as f:
        lines = f.read().split("\n")
    start = next(i for i, line in enumerate(lines)
                 if line.startswith("__attribute__((noinline))") and re.search(rf"\b{caller}\(.*\{{$", line))
    return next(i + 1 for i in range(start, len(lines)) if call in lines[i])


def test_caller_frames_name_the_line_of_their_call(ctx):
    library = "crashy_x64.so"
    found = reports(ctx, "crashy", sorted({kind for kind, _, _ in CALLERS}))
    for kind, caller, call in CALLERS:
        line = call_line(caller, call)
        frames = [m for m in FRAME.finditer(found[kind]) if m.group(1) == library and f"::{caller}(" in m.group(3)]
        check(len(frames) == 1, f"{kind}: one frame of {caller}: {found[kind]}")
        check(frames[0].group(3).endswith(f"crashy.cc:{line}"),
              f"{kind}: the frame of {caller} names crashy.cc:{line}, the line of {call}: {found[kind]}")
        # The offset shown is one addr2line resolves to the same line.
        places = addr2line(os.path.join(ctx.work, library), int(frames[0].group(2), 16))
        check(places[-1][1:] == ("crashy.cc", str(line)), f"{kind}: addr2line names crashy.cc:{line}: {places}")


def test_without_line_information_the_symbol_table_or_the_offset_alone(ctx):
    variant(ctx, "crashy_symbols", ["strip", "--strip-debug"])
    variant(ctx, "crashy_bare", ["strip", "--strip-all"])
    found = reports(ctx, "crashy_symbols", ["segv"])["segv"]
    check(re.search(r"^  at crashy_symbols_x64\.so\+0x[0-9a-f]+ in \(anonymous namespace\)::readNull\(\)"
                    r"\+0x[0-9a-f]+$", found, re.M), f"the function from the symbol table: {found}")
    check(":" not in found.replace("::", ""), f"no source line: {found}")
    found = reports(ctx, "crashy_bare", ["segv"])["segv"]
    frames = FRAME.findall(found)
    check(frames[0][2] == "", f"a function nothing names shows its offset alone: {found}")
    check(frames[-1][2].startswith(" in RVExtension+0x"), f"the exported entry point named: {found}")


def test_a_thousand_crashes_keep_memory_and_open_files_flat(ctx):
    proc = subprocess.Popen([ctx.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, cwd=ctx.work)
    rounds = b'"crashy" invokeModule "segv"\nfreeExtension "crashy"\n'
    figures = []
    seen = 0
    for batch in [200, 800]:
        proc.stdin.write(rounds * batch + b'"testext_full" invokeModule "mark"\n')
        proc.stdin.flush()
        output = b""
        while output.count(b"readNull") < batch or b'"mark"' not in output:
            chunk = proc.stdout.read1(65536)
            check(chunk, "the host ended early")
            output += chunk
        seen += output.count(b"readNull")
        figures.append((resident_kib(proc.pid), open_files(proc.pid)))
    proc.stdin.close()
    check(proc.wait(timeout=30) == 0, f"exit code {proc.returncode}")
    check(seen == 1000, f"every crash reported: {seen}")
    (rss200, fds200), (rss1000, fds1000) = figures
    print(f"  1,000 crashes in a row: resident {rss200} KiB after 200, {rss1000} KiB after 1,000; "
          f"{fds200} then {fds1000} open files")
    check(fds1000 == fds200, f"open files after 200 and 1,000 crashes: {fds200}, {fds1000}")
    check(rss1000 - rss200 < 4096, f"resident KiB after 200 and 1,000 crashes: {rss200}, {rss1000}")


if __name__ == "__main__":
    main(globals(), __doc__)
