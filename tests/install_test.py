#!/usr/bin/env python3
"""Installs a build into a temporary prefix and runs the installed program (--version, a short
start script), checks the man page and README beside it, then makes the .deb with cpack and
checks what it holds."""
import argparse
import os
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--build", required=True)
parser.add_argument("--version", required=True)
args = parser.parse_args()
problems = []


def expect(condition, message):
    if not condition:
        problems.append(message)


with tempfile.TemporaryDirectory(prefix="im-install-") as prefix:
    subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    exe = os.path.join(prefix, "bin", "invokemodule")
    version = subprocess.run([exe, "--version"], capture_output=True, text=True)
    expect(version.stdout == f"invokemodule {args.version}\n", f"--version: {version.stdout!r}")
    with open(os.path.join(prefix, "start.sqf"), "w") as f:
        f.write("exit\n")
    run = subprocess.run([exe, "start.sqf"], cwd=prefix, capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    expect(run.returncode == 0 and run.stdout.endswith(
        'execVM "start.sqf";\nScript #1 started\n\nexit;\nScript #1 aborted\n\n'),
        f"start script: status {run.returncode}, output ends {run.stdout[-80:]!r}")
    with open(os.path.join(prefix, "share", "man", "man1", "invokemodule.1")) as f:
        expect(f"invokemodule {args.version}" in f.readline(), "man page title line")
    expect(os.path.isfile(os.path.join(prefix, "share", "doc", "invokemodule", "README.md")),
           "README installed")

with tempfile.TemporaryDirectory(prefix="im-cpack-") as out:
    subprocess.run(["cpack", "--config", os.path.join(args.build, "CPackConfig.cmake"), "-B", out],
                   check=True, stdout=subprocess.DEVNULL)
    debs = [name for name in os.listdir(out) if name.endswith(".deb")]
    expect(len(debs) == 1, f"one .deb made: {os.listdir(out)}")
    if debs:
        deb = os.path.join(out, debs[0])
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
        for path in ("./usr/bin/invokemodule", "./usr/share/man/man1/invokemodule.1",
                     "./usr/share/doc/invokemodule/README.md"):
            expect(path in listing, f"{path} in {debs[0]}")
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Version", "Depends"],
                                capture_output=True, text=True).stdout
        expect(f"Version: {args.version}\n" in fields and "libc6" in fields, fields)

for problem in problems:
    print("FAIL", problem)
print("install and package:", "failed" if problems else "ok")
sys.exit(1 if problems else 0)
