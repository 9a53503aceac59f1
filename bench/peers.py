#!/usr/bin/env python3
"""Times the peers of the counting routine on the benchmark's text files.

  peers.py --files DIR --out JSON

Warm figures are medians over several runs of each peer on each file (one
run, of seconds, on the 1 GiB file), the file read once beforehand so it
sits in the page cache; the cold figure is one run of each peer on the 1 GiB
file right after dropping it from the page cache. Shell peers are timed as
whole commands, process start included; Python's bytes.count is timed inside
this process, interpreter start excluded.
"""
import argparse
import json
import os
import statistics
import subprocess
import time

FILES = [("1MiB", 1 << 20, 15), ("100MiB", 100 << 20, 3), ("1GiB", 1 << 30, 1)]
COLD_FILE = "1GiB"

TR_WC = "tr -cd ' ' < \"$1\" | wc -c"
CAT = "cat \"$1\" > /dev/null"


def run_shell(command, path):
    start = time.perf_counter()
    out = subprocess.run(["bash", "-c", command, "peer", path], check=True,
                         stdout=subprocess.PIPE).stdout
    return time.perf_counter() - start, out.strip()


def tr_wc(path):
    seconds, out = run_shell(TR_WC, path)
    return seconds, int(out)


def cat(path):
    seconds, _ = run_shell(CAT, path)
    return seconds, None


def python_count(path):
    start = time.perf_counter()
    n = 0
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            n += chunk.count(b" ")
    return time.perf_counter() - start, n


PEERS = [("tr_wc", tr_wc), ("python_count", python_count), ("cat", cat)]


def drop_from_page_cache(path):
    """Drops the file's pages; returns (how, share still resident or None)."""
    how = "posix_fadvise"
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        how = "drop_caches"
    except OSError:
        pass
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    return how, resident_share(path)


def resident_share(path):
    """The share of the file in the page cache, from fincore when present."""
    try:
        out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES,SIZE",
                              path], check=True, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.split()
        return int(out[0]) / max(int(out[1]), 1)
    except (OSError, subprocess.CalledProcessError, ValueError, IndexError):
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    results = {"warm": {}, "cold": {}, "counts": {}}
    for label, size, runs in FILES:
        path = os.path.join(args.files, "text-%s.txt" % label)
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass
        for name, peer in PEERS:
            times = []
            for _ in range(runs):
                seconds, n = peer(path)
                times.append(seconds)
                if n is not None:
                    results["counts"]["%s/%s" % (name, label)] = n
            results["warm"]["%s/%s" % (name, label)] = {
                "seconds": statistics.median(times), "bytes": size, "runs": runs}

    path = os.path.join(args.files, "text-%s.txt" % COLD_FILE)
    size = os.path.getsize(path)
    for name, peer in PEERS:
        how, resident = drop_from_page_cache(path)
        seconds, _ = peer(path)
        results["cold"]["%s/%s" % (name, COLD_FILE)] = {
            "seconds": seconds, "bytes": size, "dropped_by": how, "resident_after_drop": resident}

    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
