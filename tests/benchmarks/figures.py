"""Shared pieces of the fetch and ZIP benchmarks: timing a command, the
floor program, medians and the printed table. Figures only: nothing here
passes or fails on speed."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import bench  # noqa: E402

# The floor: the agent's WinINet calls into one block (tests/benchmarks/floor_fetch.cpp).
FLOOR = bench.WIN / "tests" / "floor_fetch.exe"
SIZE_MB = int(os.environ.get("TREVANTO_BENCH_MB", "200"))
ROUNDS = int(os.environ.get("TREVANTO_BENCH_ROUNDS", "3"))
# Seconds of quiet before each timed run, after the files of the one before
# are flushed: a run should not pay for the previous run's 200 MB of writes
# and deletions.
SETTLE = float(os.environ.get("TREVANTO_BENCH_SETTLE", "2"))
MIB = 2**20


def timed(command, cwd=None, timeout=900):
    """Runs a command under /usr/bin/time -v; returns (wall seconds, max RSS
    in KiB, stdout). Output goes through files: a program the command starts
    may outlive it and would hold a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-v", *map(str, command)], stdout=out, stderr=err, cwd=cwd,
                              stdin=subprocess.DEVNULL, timeout=timeout)
        elapsed = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    if proc.returncode != 0:
        raise SystemExit(f"{command[0]} {command[1] if len(command) > 1 else ''} failed: {stdout[-400:]} "
                         f"{stderr[-800:]}")
    rss = next(int(line.split(":")[1]) for line in stderr.splitlines() if "Maximum resident" in line)
    return elapsed, rss, stdout


def settle():
    os.sync()
    time.sleep(SETTLE)


def last_json(stdout: str) -> dict:
    return json.loads(stdout.strip().splitlines()[-1])


def rotated(items, round_index):
    """The same contenders in a different order each round, so that none is
    always the first (cold) or the last."""
    k = round_index % len(items)
    return items[k:] + items[:k]


def median(values):
    return statistics.median(values)


def table(header, rows):
    """Rows of strings as an aligned text table."""
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths]), *map(line, rows)])


def mb_s(size, seconds):
    return size / seconds / 1e6


def memory_target(size):
    """The peak working set the agent should stay under: 1.1 x package + 20 MB."""
    return 1.1 * size + 20 * MIB
