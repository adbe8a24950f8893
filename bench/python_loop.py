#!/usr/bin/env python3
"""What a user would write instead of the host: a ctypes loop that calls the extension.

Usage: python_loop.py LIBRARY COUNT
Loads LIBRARY, calls RVExtensionArgs COUNT times with "fn" and the argument texts of
[1, "two", true, [3]], and prints the result and the time of each call to standard output.
It parses no command line and checks nothing: the cheapest loop that shows the same figures.
"""
import ctypes
import sys
import time


def main() -> int:
    library = ctypes.CDLL(sys.argv[1])
    count = int(sys.argv[2])
    entry = library.RVExtensionArgs
    entry.restype = ctypes.c_int32
    entry.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_char_p,
                      ctypes.POINTER(ctypes.c_char_p), ctypes.c_int32]
    output = ctypes.create_string_buffer(10240)
    texts = [b"1", b'"two"', b"true", b"[3]"]
    arguments = (ctypes.c_char_p * len(texts))(*texts)
    clock = time.perf_counter_ns
    write = sys.stdout.write
    for _ in range(count):
        start = clock()
        code = entry(output, 10240, b"fn", arguments, 4)
        end = clock()
        result = output.value.decode("utf-8", "replace").replace('"', '""')
        write(f'["{result}",{code},0]\nExecution time: {(end - start) / 1e6:.6f} ms\n\n')
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
