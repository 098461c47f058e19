"""Benchmark: what the archiver check costs at start. The agent hashes
7za.exe (SHA-256 through BCrypt) and compares it with the digests the build
pins before anything runs it; printed beside its floor, a minimal Win32
program that only reads the same file into memory (floor_read.exe), and,
for scale, the wall time of that minimal program's whole run under Wine.
Figures only; asserts nothing about speed.
Run it with scripts/benchmark.sh archiver (inside the sandbox).
"""

import statistics
import time

from figures import bench, last_json

REPEATS = 50
ROUNDS = 5
FLOOR_READ = bench.WIN / "tests" / "floor_read.exe"


def run(command):
    import subprocess
    started = time.monotonic()
    out = subprocess.run(command, capture_output=True, check=True, text=True).stdout
    return time.monotonic() - started, last_json(out)


def main():
    archiver = bench.winpath(bench.SEVEN_ZIP)
    size = bench.SEVEN_ZIP.stat().st_size
    checks, firsts, reads, starts = [], [], [], []
    for _ in range(ROUNDS):
        _, check = run(["wine", bench.HARNESS, "archiver-bench", archiver, str(REPEATS)])
        assert check["trusted"], check
        firsts.append(check["first_ms"])
        checks.append(check["ms_per_check"])
        wall, floor = run(["wine", FLOOR_READ, archiver, str(REPEATS)])
        reads.append(floor["ms_per_read"])
        wall_once, _ = run(["wine", FLOOR_READ, archiver, "1"])
        starts.append(wall_once * 1000)
    print(f"archiver check of {bench.SEVEN_ZIP.name} ({size / 1024:.0f} KiB), medians of {ROUNDS} rounds:")
    print(f"  agent: first check {statistics.median(firsts):8.2f} ms, later checks {statistics.median(checks):8.2f} ms")
    print(f"  floor: reading the file {statistics.median(reads):8.2f} ms (floor_read.exe, no hash)")
    print(f"  for scale: a minimal Win32 program's whole run under Wine {statistics.median(starts):8.0f} ms")


if __name__ == "__main__":
    main()
