#!/usr/bin/env python3
"""Per-block cost of the programs that read 1 KiB per socket notification:
wineserver requests, Linux system calls of the program and microseconds of
wall time, each the difference between a 4 MiB and a 1 MiB transfer divided
by the 3072 blocks between them.

Run by `bench/run.sh --per-block [--extra LABEL=DIR] [--runs N]`. The times
come from untraced runs, pinned and alternating like bench.py's, medians per
size; the system calls from `strace -f -c` around the program; the requests
from the trace of a wineserver started with -d1 for the last phase.
"""

import argparse
import collections
import os
import re
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import BARE, HELD, MIB, UPDATER, Bench  # noqa: E402

SMALL, LARGE = 1 * MIB, 4 * MIB
BLOCKS = (LARGE - SMALL) // 1024
REQUEST = re.compile(r"^[0-9a-f]+: (\w+)\( ", re.M)


class PerBlock(Bench):
    wrap = []

    def command(self, program, size, token):
        cmd, out = super().command(program, size, token)
        return cmd[:len(self.pin)] + self.wrap + cmd[len(self.pin):], out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("--build", "--prefix", "--work"):
        parser.add_argument(name, required=True)
    parser.add_argument("--runs", type=int, default=5, help="timed runs per program and size")
    parser.add_argument("--extra", action="append", default=[], metavar="LABEL=DIR")
    parser.add_argument("--cpu", type=int, default=1)
    parser.add_argument("--aux-cpu", type=int, default=0)
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--wineserver", default="wineserver")
    parser.add_argument("--time", default="/usr/bin/time")
    args = parser.parse_args()
    # bench.py's modes and bounds that this driver does not take: plain
    # http, each run bounded as there.
    for name, value in (("resume", False), ("sign_in", False), ("server_sign_in", False), ("detection", False),
                        ("https", False), ("https_updater", False), ("run_timeout", 600.0)):
        setattr(args, name, value)

    os.sched_setaffinity(0, {args.aux_cpu})
    bench = PerBlock(args)
    programs = [UPDATER] + list(bench.extras) + [BARE, HELD]
    bench.start()
    token = 0
    walls, calls, requests, names = {}, {}, {}, {}

    def each_size(phase):
        """Every program at both sizes, each round in another order."""
        nonlocal token
        for size in (SMALL, LARGE):
            bench.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates", "Description",
                          f"http://127.0.0.1:{bench.port}/{size}")
            shift = token % len(programs)
            for program in programs[shift:] + programs[:shift]:
                token += 1
                phase(program, size)
        token += 1

    def plain(p, size):
        bench.run_once(p, size, token)

    try:
        each_size(plain)  # warm-up
        record = {}
        for _ in range(args.runs):
            each_size(lambda p, size: bench.run_once(p, size, token, record))
        for (size, p), figs in record.items():
            walls[p, size] = statistics.median(f["wall"] for f in figs)

        counts = os.path.join(bench.work, "strace.out")
        bench.wrap = ["strace", "-f", "-c", "-o", counts]

        def traced(p, size):
            bench.run_once(p, size, token)
            with open(counts) as f:
                calls[p, size] = int(f.read().split("\n")[-2].split()[3])
        each_size(traced)
        bench.wrap = []

        subprocess.run([args.wineserver, "-k"], env=bench.env, stderr=subprocess.DEVNULL)
        bench.wineserver.wait()
        trace = os.path.join(bench.work, "server.trace")
        with open(trace, "w") as log:
            bench.wineserver = subprocess.Popen(bench.pin + [args.wineserver, "-f", "-p", "-d1"], env=bench.env,
                                                stderr=log)
        each_size(plain)  # the prefix's own processes started again

        def counted(p, size):
            offset = os.path.getsize(trace)
            bench.run_once(p, size, token)
            with open(trace) as f:
                f.seek(offset)
                names[p, size] = collections.Counter(REQUEST.findall(f.read()))
            requests[p, size] = sum(names[p, size].values())
        each_size(counted)
    finally:
        bench.stop()

    print(f"Per 1 KiB block: ({LARGE // MIB} MiB - {SMALL // MIB} MiB) / {BLOCKS}; "
          f"microseconds from the medians of {args.runs} pinned, alternating runs per size.")
    print()
    print("| Program | Wineserver requests | System calls | Microseconds | Requests by name |")
    print("|---|---|---|---|---|")
    for p in programs:
        by_name = names[p, LARGE] - names[p, SMALL]
        top = ", ".join(f"{n} {c / BLOCKS:.2f}" for n, c in by_name.most_common() if c / BLOCKS >= 0.05)
        print(f"| {p} | {(requests[p, LARGE] - requests[p, SMALL]) / BLOCKS:.2f} "
              f"| {(calls[p, LARGE] - calls[p, SMALL]) / BLOCKS:.1f} "
              f"| {(walls[p, LARGE] - walls[p, SMALL]) / BLOCKS * 1e6:.0f} | {top} |")


if __name__ == "__main__":
    main()
