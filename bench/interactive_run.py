#!/usr/bin/env python3
"""How much the full screen costs: the interactive run of a hive in a terminal of 80 x 25 against
the /t run of the same hive, and the bytes the terminal is sent. A benchmark, not a test.

Usage: bench/interactive_run.py <TarvosD> <hive> [runs]

The interactive run is timed from its start to the moment the completion box is on the screen
(the box then waits for Enter, which this script gives it)."""
import fcntl
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time


def timed_pty(argv, marker, answer, env=None, timeout=10):
    """Runs argv in a pty of 80 x 25: the seconds until marker is in its output (None if never),
    when answer is typed, and the bytes it wrote."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(argv[0], argv, env if env is not None else os.environ)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
    start = time.monotonic()
    sent = 0
    seen = b""
    done = None
    while True:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            break
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        sent += len(chunk)
        seen = (seen + chunk)[-4096:]
        if done is None and marker in seen:
            done = time.monotonic() - start
            os.write(fd, answer)
    os.waitpid(pid, 0)
    return done, sent


def interactive(prog, hive):
    return timed_pty([prog, hive], b"checking complete", b"\r")


def line_mode(prog, hive):
    start = time.monotonic()
    subprocess.run([prog, "/t", hive], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=False)
    return time.monotonic() - start


def main():
    prog, hive = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    tty = sorted(line_mode(prog, hive) for _ in range(runs))
    screen = sorted(interactive(prog, hive) for _ in range(runs))
    t = tty[len(tty) // 2]
    s, sent = screen[len(screen) // 2]
    print(f"/t run:          median {t * 1000:.0f} ms (min {tty[0] * 1000:.0f})")
    print(f"full-screen run: median {s * 1000:.0f} ms (min {screen[0][0] * 1000:.0f}), {sent} bytes to the terminal")
    print(f"ratio: {s / t:.2f}")


if __name__ == "__main__":
    main()
