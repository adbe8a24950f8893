"""What the end-to-end test scripts share: the start-up text, a working directory holding the
test extensions, the loop that runs named test functions and prints the closing line, and the
small helpers for files, processes and their memory."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import traceback

COMMAND_LIST = (
    " Available commands:\n"
    "===============================================================\n"
    " \"<name>\" invokeModule \"<function>\"\n"
    " \"<name>\" invokeModule [\"<function>\", [<arg1>, <arg2>, ...]]\n"
    " freeExtension \"<name>\"\n"
    " execVM \"<script>\"\n"
    " exit\n"
    "===============================================================\n"
    "\n"
)
BANNER_LINES = (
    " More info @ https://github.com/invokemodule/invokemodule\n",
    " If you like this tool, please consider donating!\n",
)
# The banner and command list as a pipe receives them.
PLAIN_BANNER = "".join(BANNER_LINES) + "\n" + COMMAND_LIST


def copy_extensions(testext, work):
    """Copies the built test extensions into `work`, where the host looks first."""
    if testext and os.path.isdir(testext):
        for entry in os.listdir(testext):
            src = os.path.join(testext, entry)
            if os.path.isfile(src):
                shutil.copy(src, work)


class Context:
    """What a test function gets: the executable, a fresh working directory, the options."""


def run_tests(tests, description, add_arguments=None, prepare=None, finish=None):
    """Runs the test functions named on the command line (default: all) and returns the exit
    code. Each runs in a fresh working directory holding the test extensions."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--testext")
    if add_arguments:
        add_arguments(parser)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    passed = failed = 0
    shared = {}
    for test in tests:
        if args.names and test.__name__ not in args.names:
            continue
        ctx = Context()
        ctx.args = args
        ctx.shared = shared
        ctx.exe = os.path.abspath(args.exe)
        ctx.work = tempfile.mkdtemp(prefix="im-e2e-")
        copy_extensions(args.testext, ctx.work)
        if prepare:
            prepare(ctx)
        try:
            test(ctx)
            passed += 1
            print(f"ok   {test.__name__}", flush=True)
        except Exception:
            failed += 1
            print(f"FAIL {test.__name__}\n{traceback.format_exc()}", flush=True)
        finally:
            shutil.rmtree(ctx.work, ignore_errors=True)
    if finish:
        finish(shared)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def tests_of(namespace):
    """The test functions of a module's `namespace` (its globals()), by name."""
    return [obj for name, obj in sorted(namespace.items()) if name.startswith("test_")]


def main(tests, description, *options, **keywords):
    """Runs `tests` (a list, or a module's globals()) and exits with their status."""
    sys.exit(run_tests(tests_of(tests) if isinstance(tests, dict) else tests, description, *options, **keywords))


def option(*names, **settings):
    """An add_arguments function adding one option."""
    return lambda parser: parser.add_argument(*names, **settings)


SANITIZED = option("--sanitized", "--thread-sanitized", action="store_true")
RUNNER = option("--runner", default="")


def write(ctx, path, data):
    """Writes `data` (text or bytes) to `path` in the test's working directory."""
    full = os.path.join(ctx.work, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data.encode("utf-8", "surrogateescape") if isinstance(data, str) else data)


def read(ctx, path, mode="r"):
    with open(os.path.join(ctx.work, path), mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.read()


def start(ctx, args=(), stdout=subprocess.PIPE, **options):
    """The executable with `args` in the test's working directory, its input and error piped."""
    return subprocess.Popen([ctx.exe, *args], stdin=subprocess.PIPE, stdout=stdout,
                            stderr=subprocess.PIPE, cwd=ctx.work, **options)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def open_files(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))
