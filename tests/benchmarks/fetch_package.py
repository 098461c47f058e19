"""Benchmark: a 200 MB update package fetched into memory by the agent's
DownloadUrlBytes_URL under Wine, beside curl on the same file in the same run,
and the time the package SHA-256 adds for the same size.

Prints throughput and peak memory; asserts nothing about them. Run it with
scripts/benchmark.sh (inside the sandbox, with the vendor service).
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import bench  # noqa: E402

SIZE_MB = int(os.environ.get("TREVANTO_BENCH_MB", "200"))
URL_PATH = "/paquetes/benchmark.zip"
URL = f"https://{bench.DOWNLOAD_HOST}{URL_PATH}"


def time_v(command):
    """Runs a command under /usr/bin/time -v; returns (seconds, max RSS in KiB, stdout)."""
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-v", *map(str, command)], capture_output=True, text=True)
    elapsed = time.monotonic() - start
    if proc.returncode != 0:
        raise SystemExit(f"{command[0]} failed: {proc.stderr[-500:]}")
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr).group(1))
    return elapsed, rss, proc.stdout


def main():
    work = Path(tempfile.mkdtemp(prefix="trevanto_bench_"))
    procs = bench.Processes()
    hosts = bench.HostsFile()
    try:
        service = bench.VendorService(work / "servicio", procs, hosts)
        package = os.urandom(SIZE_MB * 1024 * 1024)
        service.put_file(URL_PATH, package)
        digest = hashlib.sha256(package).hexdigest()
        del package
        service.start()
        size = SIZE_MB * 1024 * 1024

        out = work / "cuerpo.bin"
        seconds, rss_kib, stdout = time_v(["wine", bench.HARNESS, "fetch-url", URL, bench.winpath(out)])
        result = eval(stdout.strip().splitlines()[-1].replace("true", "True").replace("false", "False"))
        assert result["ok"] and result["size"] == size, result
        assert hashlib.sha256(out.read_bytes()).hexdigest() == digest
        out.unlink()
        agent_mb_s = size / (result["ms"] / 1000) / 1e6

        # The time an update offer's "sha256" adds: the same size hashed in memory.
        hash_out = subprocess.run(["wine", bench.HARNESS, "hash-bench", str(SIZE_MB)], capture_output=True,
                                  text=True, check=True).stdout
        hash_result = eval(hash_out.strip().splitlines()[-1].replace("true", "True").replace("false", "False"))

        curl_seconds, curl_rss, curl_out = time_v(["curl", "-sS", "-o", "/dev/null", "-w", "%{time_total}", URL])
        curl_mb_s = size / float(curl_out) / 1e6

        print(f"package: {SIZE_MB} MiB ({size} bytes), sha256 checked")
        print(f"agent DownloadUrlBytes_URL under Wine: {result['ms'] / 1000:.2f} s in the fetch "
              f"({agent_mb_s:.1f} MB/s); whole process {seconds:.2f} s")
        print(f"agent peak working set: {result['peak_working_set'] / 2**20:.1f} MiB "
              f"({result['peak_working_set'] / size:.2f} x package); wine process max RSS {rss_kib / 1024:.1f} MiB")
        print(f"package SHA-256 (BCrypt) under Wine: {hash_result['ms'] / 1000:.2f} s for {SIZE_MB} MiB "
              f"(ok={hash_result['ok']})")
        print(f"curl: {float(curl_out):.2f} s ({curl_mb_s:.1f} MB/s); max RSS {curl_rss / 1024:.1f} MiB")
    finally:
        procs.end_all()
        hosts.restore()
        subprocess.run(["rm", "-rf", str(work)])


if __name__ == "__main__":
    main()
