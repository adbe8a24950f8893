#!/usr/bin/python3
"""Renders a real coloured invokemodule session to a PNG picture for the README.

Runs the built executable under a pseudo-terminal on the demo script, types a few commands,
interprets what the terminal receives (text, colour escapes, carriage returns, cursor-up)
and draws the resulting screen. Needs Debian's python3-pil and fonts-dejavu-core.

    /usr/bin/python3 tools/render-session.py build/invokemodule docs/session.png
"""
import os
import re
import select
import subprocess
import tempfile
import sys
import time

from PIL import Image, ImageDraw, ImageFont

# The console's palette for the colours the host uses, on its very dark grey background.
BACKGROUND = (0x19, 0x19, 0x19)
SGR_COLOURS = {
    0: (0xF2, 0xF2, 0xF2),   # White (the resting colour)
    32: (0x13, 0xA1, 0x0E),  # DarkGreen
    33: (0xC1, 0x9C, 0x00),  # DarkYellow
    35: (0x88, 0x17, 0x98),  # DarkMagenta
    36: (0x3A, 0x96, 0xDD),  # DarkCyan
    90: (0x76, 0x76, 0x76),  # DarkGray
    91: (0xE7, 0x48, 0x56),  # Red
    92: (0x16, 0xC6, 0x0C),  # Green
    96: (0x61, 0xD6, 0xD6),  # Cyan
}
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"


def run_session(exe, cwd):
    master, slave = os.openpty()
    proc = subprocess.Popen([exe, "examples/demo.sqf"], stdin=slave, stdout=slave, stderr=slave,
                            cwd=cwd, env=dict(os.environ, TERM="xterm", XDG_STATE_HOME=tempfile.mkdtemp()), start_new_session=True)
    os.close(slave)
    output = b""

    def pump(seconds):
        nonlocal output
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    return
                if not data:
                    return
                output += data

    pump(2.5)
    for line in ('"demo" invokeModule ["sum", [1, 2, 3.5]]', "exit"):
        os.write(master, line.encode() + b"\r")
        pump(0.8)
    proc.wait(5)
    os.close(master)
    return output.decode("utf-8", "replace")


def screen_of(text):
    """Interprets the terminal stream into rows of (character, colour) cells."""
    rows = [[]]
    row = col = 0
    colour = SGR_COLOURS[0]
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\x1b":
            m = re.match(r"\x1b\[(\d*)m", text[i:])
            if m:
                colour = SGR_COLOURS.get(int(m.group(1) or 0), colour)
                i += m.end()
                continue
            m = re.match(r"\x1b\[(\d*)A", text[i:])
            if m:
                row = max(0, row - int(m.group(1) or 1))
                i += m.end()
                continue
            m = re.match(r"\x1b\][^\x07]*\x07", text[i:])
            if m:
                i += m.end()
                continue
            m = re.match(r"\x1b\[[0-9;?]*[A-Za-z]", text[i:])
            i += m.end() if m else 1
            continue
        if c == "\r":
            col = 0
        elif c == "\n":
            row += 1
            col = 0
        elif c >= " ":
            while len(rows) <= row:
                rows.append([])
            line = rows[row]
            while len(line) < col:
                line.append((" ", colour))
            if col < len(line):
                line[col] = (c, colour)
            else:
                line.append((c, colour))
            col += 1
        while len(rows) <= row:
            rows.append([])
        i += 1
    while rows and not rows[-1]:
        rows.pop()
    return rows


def draw(rows, path):
    font = ImageFont.truetype(FONT, 15)
    cell_w = int(font.getlength("M"))
    cell_h = 19
    width = max(len(r) for r in rows) * cell_w + 32
    image = Image.new("RGB", (width, len(rows) * cell_h + 32), BACKGROUND)
    pen = ImageDraw.Draw(image)
    for y, row in enumerate(rows):
        for x, (char, colour) in enumerate(row):
            pen.text((16 + x * cell_w, 16 + y * cell_h), char, font=font, fill=colour)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    image.save(path, optimize=True)


def main():
    exe = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/invokemodule")
    out = sys.argv[2] if len(sys.argv) > 2 else "docs/session.png"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    text = run_session(exe, root)
    draw(screen_of(text), out)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
