#!/usr/bin/env python3
"""How long the full search (/s:C) takes as its hits grow: a drive of N small hive files (4096
bytes beginning with "regf", a hundred to a folder), searched in a terminal of 80 x 25 from the
start of the run to the moment the selection window is on the screen (Esc then ends the run).
A benchmark, not a test.

Usage: bench/search_run.py <TarvosD> <hits>[,<hits>...] [runs] [tree folder]"""
import os
import statistics
import sys

from interactive_run import timed_pty


def make_tree(top, hits):
    mark = os.path.join(top, ".made")
    if os.path.exists(mark) and open(mark).read() == str(hits):
        return
    block = b"regf" + bytes(4092)
    for i in range(hits):
        folder = os.path.join(top, "d%04d" % (i // 100))
        if i % 100 == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "h%06d" % i), "wb") as f:
            f.write(block)
    with open(mark, "w") as f:
        f.write(str(hits))


def search(prog, top):
    env = dict(os.environ, TARVOS_DRIVES="C=%s,fixed,1000000" % top, TERM="xterm-256color")
    done, _ = timed_pty([prog, "/s:C"], b"Select file or folder", b"\x1b", env, 600)
    return done


def main():
    prog = sys.argv[1]
    counts = [int(n) for n in sys.argv[2].split(",")]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    base = sys.argv[4] if len(sys.argv) > 4 else "/tmp/tarvos-search-tree"
    for hits in counts:
        top = "%s-%d" % (base, hits)
        make_tree(top, hits)
        times = [search(prog, top) for _ in range(runs)]
        if any(t is None for t in times):
            print("%7d hits: the selection window never showed" % hits)
            continue
        print("%7d hits: min %.2f s, median %.2f s  (%s)" % (hits, min(times), statistics.median(times),
                                                        " ".join("%.2f" % t for t in times)))


if __name__ == "__main__":
    main()
