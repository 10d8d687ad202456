#!/usr/bin/env python3
"""Makes the fuzz targets' seed corpus (tests/fuzz/corpus/check and .../logs) from the real hives in
../shared/hives: each hive cut to the data its base block declares (or less, to fit the target's
largest input), each log cut after its last sector that holds anything. An input of the check
target is the hive's length (4 bytes, little-endian), the hive, then one log (or none); one of the
logs target is the hive's length, the first log's length, the hive and its two logs.

Usage: make_corpus.py [hives folder] [corpus folder]"""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HIVES = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "..", "shared", "hives")
OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "corpus")
CHECK_MAX, LOGS_MAX = 65536, 131072  # the -max_len each target runs with
# A seed's hive is at most this long, its logs as long again: an input costs about its hive's size
# (16 KB run some 5 times faster than 32 KB under the sanitizers), and the mutations grow it.
SEED_HIVE = 16384
PAGE, SECTOR = 4096, 512


def read(path):
    with open(path, "rb") as f:
        return f.read()


def cut_hive(data, room):
    """The base block and the frames it declares, at most room bytes, whole pages."""
    declared = struct.unpack_from("<I", data, 0x28)[0] if len(data) >= 0x2C else 0
    length = min(len(data), PAGE + declared, room - room % PAGE)
    return data[:max(length, 0)]


def cut_log(data, room):
    """Up to the last sector that is not all zeros, at most room bytes."""
    end = len(data)
    while end > 0 and not any(data[max(0, end - SECTOR):end]):
        end -= SECTOR
    return data[:max(0, min(end, room))]


def write(folder, data):
    # A seed is named by its contents, as the fuzzer names what it adds.
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def main():
    if not os.path.isdir(HIVES):
        sys.exit("no hives at " + HIVES)
    check, logs = os.path.join(OUT, "check"), os.path.join(OUT, "logs")
    for group in sorted(os.listdir(HIVES)):
        folder = os.path.join(HIVES, group)
        if not os.path.isdir(folder):
            continue
        for sub in sorted(os.listdir(folder)):
            place = os.path.join(folder, sub)
            if group != "logs":
                if os.path.isfile(place):
                    hive = cut_hive(read(place), SEED_HIVE)
                    write(check, struct.pack("<I", len(hive)) + hive)
                continue
            # logs/<name>/: a hive and its logs, NAME.LOG1 and NAME.LOG2 in either case.
            files = sorted(os.listdir(place))
            for name in files:
                if ".log" in name.lower():
                    continue
                found = [f for f in files if f.lower().startswith(name.lower() + ".log")]
                found = [cut_log(read(os.path.join(place, f)), LOGS_MAX) for f in found]
                data = read(os.path.join(place, name))
                for i, log in enumerate(found):
                    if not log:
                        continue
                    log = log[:SEED_HIVE]
                    hive = cut_hive(data, SEED_HIVE)
                    write(check, struct.pack("<I", len(hive)) + hive + log)
                first = found[0] if found else b""
                second = found[1] if len(found) > 1 else b""
                first, second = first[:SEED_HIVE], second[:SEED_HIVE]
                hive = cut_hive(data, SEED_HIVE)
                write(logs, struct.pack("<II", len(hive), len(first)) + hive + first + second)


main()
