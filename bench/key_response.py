#!/usr/bin/env python3
"""How fast the full screen answers a key while the disk is slow: P during the load and P during
the save (backup copy and writing), with every read and write of 64 KB or more slowed by 100 ms
(tests/console/slow_disk.c, built here with cc and put in front with LD_PRELOAD). Each figure is
the time from the key sent to the first sign of its answer in what the terminal is sent. A
benchmark, not a test.

Usage: bench/key_response.py <TarvosD> <tarvos-sample-hive> [tries]"""
import os
import pty
import random
import select
import subprocess
import sys
import tempfile
import time
import fcntl
import struct
import termios


class Run:
    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(argv[0], argv, env)
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
        self.seen = b""

    def wait_for(self, text, seconds=60):
        """Seconds until text is in the output from now on, or None."""
        start = time.monotonic()
        self.seen = b""
        while time.monotonic() - start < seconds:
            ready, _, _ = select.select([self.fd], [], [], 0.005)
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    return None
                if not chunk:
                    return None
                self.seen = (self.seen + chunk)[-8192:]
                if text in self.seen:
                    return time.monotonic() - start
        return None

    def drain(self, seconds):
        self.wait_for(b"\x00never\x00", seconds)

    def send(self, keys):
        os.write(self.fd, keys)

    def end(self):
        try:
            os.kill(self.pid, 9)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)


def main():
    prog, make_hive = sys.argv[1], sys.argv[2]
    tries = int(sys.argv[3]) if len(sys.argv) > 3 else 11
    here = os.path.dirname(os.path.abspath(__file__))
    work = tempfile.mkdtemp()
    shim = os.path.join(work, "slow.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, os.path.join(here, "..", "tests", "console", "slow_disk.c"), "-ldl"], check=True)
    clean, damaged = os.path.join(work, "clean"), os.path.join(work, "damaged")
    subprocess.run([make_hive, clean, "30000"], check=True)
    subprocess.run([make_hive, "--several", damaged, "30000"], check=True)
    # A mapped hive is not read at all, so the slowed load is that of a hive read into memory.
    env = dict(os.environ, LD_PRELOAD=shim, TERM="xterm-256color", TARVOS_READ_HIVES="1")
    load, save = [], []
    for _ in range(tries):
        run = Run([prog, clean], env)
        run.wait_for(b"checking")
        run.drain(random.uniform(0.2, 1.5))
        run.send(b"p")
        load.append(run.wait_for(b"esume", 10))
        run.end()

        target = os.path.join(work, "hive")
        with open(damaged, "rb") as f, open(target, "wb") as g:
            g.write(f.read())
        run = Run([prog, target], env)
        run.wait_for(b"offset", 120)
        for _ in range(10):  # Fix All for each kind of fault, up to the save question
            run.send(b"a")
            if run.wait_for(b"Save", 5) is not None:
                break
        run.send(b"o")
        run.drain(random.uniform(0.05, 1.2))  # the backup copy, then the writing
        run.send(b"p")
        save.append(run.wait_for(b"esume", 10))
        run.end()
        for name in os.listdir(work):
            if name.startswith("hive"):
                os.remove(os.path.join(work, name))

    def figures(label, times):
        got = sorted(t for t in times if t is not None)
        missed = len(times) - len(got)
        if not got:
            print(f"{label}: never answered ({missed} tries)")
            return
        print(f"{label}: min {got[0] * 1000:.0f} ms, median {got[len(got) // 2] * 1000:.0f} ms, "
              f"max {got[-1] * 1000:.0f} ms over {len(got)} tries" + (f", {missed} never answered" if missed else ""))

    figures("P during the load", load)
    figures("P during the save", save)


if __name__ == "__main__":
    main()
