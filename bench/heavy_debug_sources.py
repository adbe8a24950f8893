#!/usr/bin/env python3
"""Writes the sources of the heavy-debug benchmark extension: PARTS files of struct types with
many members, each used by a function, so that the library carries about 50 MB of debug
information (types, names, lines) for the crash report benchmark."""
import os
import sys

STRUCTS_PER_PART = 3000
MEMBERS = 75


def part(index):
    lines = []
    for i in range(STRUCTS_PER_PART):
        name = f"P{index}S{i}"
        members = " ".join(f"long member_{i}_{j}; double value_with_a_longer_name_{i}_{j};" for j in range(MEMBERS))
        lines.append(f"struct {name} {{ {members} }};")
        lines.append(f"__attribute__((noinline)) long read{name}({name}* s) {{ return s->member_{i}_1; }}")
    return "\n".join(lines) + "\n"


def main():
    folder, parts = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    for index in range(parts):
        with open(os.path.join(folder, f"heavy_debug_{index}.cc"), "w") as f:
            f.write(part(index))


if __name__ == "__main__":
    main()
