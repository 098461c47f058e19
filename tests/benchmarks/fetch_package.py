"""Benchmark: a 200 MB update package fetched into memory by the agent's
DownloadUrlBytes_URL under Wine, beside its floor and curl on the same file
in the same run, and the time the package SHA-256 adds, taken as the bytes arrive
(as the update worker takes it when the offer names one) and on the whole buffer.

Three rounds (TREVANTO_BENCH_ROUNDS), interleaved and in a rotated order, of:
  agent  harness.exe fetch-url: DownloadUrlBytes_URL, timed around the call
  hashed harness.exe fetch-url ... sha256: the same fetch hashing each chunk as it
         arrives (FetchPackageHashed), timed around the call with the digest
  signed harness.exe fetch-url ... sha256 <firma>: the same, and the vendor's
         signature verified over that digest (BCrypt ECDSA P-256), as the
         update worker verifies a signed offer
  floor  floor_fetch.exe: the same WinINet calls and flags, the same 64 KiB per
         InternetReadFile, straight into one block sized from the
         Content-Length; no progress, no retries (timed around the fetch)
  curl   curl natively (its time_total)
and, for comparison only (not the floor), two variants of floor_fetch.exe:
  --scratch         reads through a 64 KiB buffer copied into the block, as
                    the agent's reader does
  --no-cache-write  adds INTERNET_FLAG_NO_CACHE_WRITE: with the agent's flags
                    WinINet also writes the whole body into the user's URL
                    cache (INetCache), which this variant leaves out
(TREVANTO_BENCH_VARIANTS=0 leaves them out.) Each run starts after the disk
has been flushed and TREVANTO_BENCH_SETTLE seconds (2) of quiet.
Prints per-round and median seconds, MB/s, peak working set, the ratios
agent/floor (target <= 1.10x) and agent/curl, and the agent's peak working
set against 1.1 x package + 20 MiB. Asserts nothing about speed or memory.
Run it with scripts/benchmark.sh fetch (inside the sandbox, with the vendor
service); TREVANTO_BENCH_MB sets the package size in MiB.
"""

import hashlib
import os
import subprocess
from pathlib import Path

from figures import (FLOOR, MIB, ROUNDS, SIZE_MB, bench, last_json, mb_s, median, memory_target, rotated, settle,
                     table, timed)

VARIANTS = os.environ.get("TREVANTO_BENCH_VARIANTS", "1") != "0"

URL_PATH = "/paquetes/benchmark.zip"
URL = f"https://{bench.DOWNLOAD_HOST}{URL_PATH}"


def run_agent(work: Path, digest: str, size: int, hashed: bool = False, signature: str = "") -> dict:
    out = work / "cuerpo.bin"
    wall, rss, stdout = timed(["wine", bench.HARNESS, "fetch-url", URL, bench.winpath(out),
                               *(["sha256"] if hashed else []), *([signature] if signature else [])])
    result = last_json(stdout)
    assert result["ok"] and result["size"] == size, result
    assert hashlib.sha256(out.read_bytes()).hexdigest() == digest
    assert result["sha256"] == (digest if hashed else ""), result
    assert result["key_slot"] == (1 if signature else 0), result
    out.unlink()
    return {"s": result["ms"] / 1000, "peak": result["peak_working_set"], "wall": wall, "rss": rss * 1024,
            "tail": (result["ms"] - result["last_byte_ms"]) / 1000}


def run_floor(size: int, *variant: str) -> dict:
    wall, rss, stdout = timed(["wine", FLOOR, URL, *variant])
    result = last_json(stdout)
    assert result["ok"] and result["size"] == size, result
    return {"s": result["fetch_ms"] / 1000, "peak": result["peak_working_set"], "wall": wall, "rss": rss * 1024}


def run_curl(size: int) -> dict:
    wall, rss, stdout = timed(["curl", "-sS", "-o", "/dev/null", "-w", "%{time_total} %{size_download}", URL])
    seconds, downloaded = stdout.split()
    assert int(downloaded) == size
    return {"s": float(seconds), "peak": rss * 1024, "wall": wall, "rss": rss * 1024}


def main():
    with bench.scratch_service("trevanto_bench_") as (work, procs, service):
        package = os.urandom(SIZE_MB * MIB)
        service.put_file(URL_PATH, package)
        digest = hashlib.sha256(package).hexdigest()
        signature = bench.signature_of(package)
        native = native_verification(work, package)
        stated = bench.statement_of(package, name="paquete.bin")
        del package
        service.start()
        size = SIZE_MB * MIB

        contenders = {
            "agent": lambda: run_agent(work, digest, size),
            "hashed": lambda: run_agent(work, digest, size, hashed=True),
            "signed": lambda: run_agent(work, digest, size, hashed=True, signature=signature),
            "floor": lambda: run_floor(size),
            "curl": lambda: run_curl(size),
        }
        if VARIANTS:
            contenders["scratch"] = lambda: run_floor(size, "--scratch")
            contenders["nocache"] = lambda: run_floor(size, "--no-cache-write")
        runs = {name: [] for name in contenders}
        for r in range(ROUNDS):
            for name in rotated(list(contenders), r):
                settle()
                runs[name].append(contenders[name]())

        # The time an update offer's "sha256" adds: the same size hashed in memory.
        hash_out = subprocess.run(["wine", bench.HARNESS, "hash-bench", str(SIZE_MB)], capture_output=True,
                                  text=True, check=True).stdout
        hash_result = last_json(hash_out)
        verify_out = subprocess.run(["wine", bench.HARNESS, "verify-bench", digest, signature, "200"],
                                    capture_output=True, text=True, check=True).stdout
        verify_result = last_json(verify_out)
        assert verify_result["key_slot"] == 1, verify_result
        # What a release statement adds before the program is stopped: its check alone.
        statement_out = subprocess.run(["wine", bench.HARNESS, "statement-bench", stated["declaracion"],
                                        stated["declaracion_firma"], "200"], capture_output=True, text=True,
                                       check=True).stdout
        statement_result = last_json(statement_out)
        assert (statement_result["valid"], statement_result["key_slot"]) == (True, 1), statement_result

        print(f"package: {SIZE_MB} MiB ({size} bytes) from the vendor service over HTTPS on loopback; "
              f"agent's bytes sha256-checked every round; Wine {bench.WINE_KIND}")
        print("seconds: agent and floor timed inside the process around the fetch (no Wine start-up); "
              "curl its time_total. peak: GetProcessMemoryInfo PeakWorkingSetSize (agent, floor), "
              "max RSS (curl)")
        rows = []
        labels = [("agent", "agent DownloadUrlBytes_URL"), ("hashed", "agent + SHA-256 as bytes arrive"),
                  ("signed", "agent + SHA-256 + signature check"),
                  ("floor", "floor floor_fetch.exe"), ("curl", "curl (native)")]
        if VARIANTS:
            labels += [("scratch", "(floor --scratch: 64 KiB buffer + copy)"),
                       ("nocache", "(floor --no-cache-write: no INetCache copy)")]
        for name, label in labels:
            seconds = [run["s"] for run in runs[name]]
            peaks = [run["peak"] for run in runs[name]]
            rows.append([label, *(f"{s:.2f}" for s in seconds), f"{median(seconds):.2f}",
                         f"{mb_s(size, median(seconds)):.0f}", f"{median(peaks) / MIB:.1f}",
                         f"{median(run['wall'] for run in runs[name]):.2f}"])
        header = ["", *(f"round {r + 1} s" for r in range(ROUNDS)), "median s", "MB/s", "peak MiB", "process s"]
        print(table(header, rows))

        agent_s = median(run["s"] for run in runs["agent"])
        floor_s = median(run["s"] for run in runs["floor"])
        curl_s = median(run["s"] for run in runs["curl"])
        print(f"agent/floor: {agent_s / floor_s:.2f}x (target <= 1.10x); agent/curl: {agent_s / curl_s:.2f}x")
        if VARIANTS:
            print(f"not the floor: agent/(floor --scratch): "
                  f"{agent_s / median(run['s'] for run in runs['scratch']):.2f}x; "
                  f"agent/(floor --no-cache-write): {agent_s / median(run['s'] for run in runs['nocache']):.2f}x")
        agent_peak = max(run["peak"] for run in runs["agent"])
        floor_peak = max(run["peak"] for run in runs["floor"])
        target = memory_target(size)
        print(f"agent peak working set: {agent_peak / MIB:.1f} MiB = {agent_peak / size:.2f} x package "
              f"(target <= 1.1 x package + 20 MiB = {target / MIB:.1f} MiB; floor {floor_peak / MIB:.1f} MiB); "
              f"wine process max RSS {max(run['rss'] for run in runs['agent']) / MIB:.1f} MiB")
        hashed_s = median(run["s"] for run in runs["hashed"])
        tails = {name: median(run["tail"] for run in runs[name]) for name in ("agent", "hashed", "signed")}
        print(f"package SHA-256 (BCrypt) under Wine, taken on its own thread as the bytes arrive: the fetch and "
              f"its check take {hashed_s:.2f} s against {agent_s:.2f} s for the fetch alone "
              f"({hashed_s - agent_s:+.2f} s, medians); from the last byte to the end of the call "
              f"{tails['hashed']:.3f} s with the hash, {tails['agent']:.3f} s without; hashing the whole "
              f"{SIZE_MB} MiB after the fetch (as before) would add {hash_result['ms'] / 1000:.2f} s "
              f"(ok={hash_result['ok']})")
        signed_s = median(run["s"] for run in runs["signed"])
        print(f"vendor's signature (BCrypt ECDSA P-256 over that digest): the fetch, its hash and the check take "
              f"{signed_s:.2f} s against {hashed_s:.2f} s with the hash alone ({signed_s - hashed_s:+.2f} s, medians); "
              f"from the last byte to the end of the call {tails['signed']:.3f} s with the check, "
              f"{tails['hashed']:.3f} s with the hash alone; the check itself "
              f"{verify_result['us_per_check'] / 1000:.2f} ms (mean of 200, key imported each time)")
        print(f"vendor's release statement (decoded, verified under the build's keys, parsed) before the program "
              f"stops: {statement_result['us_per_check'] / 1000:.2f} ms (mean of 200), beside {agent_s:.2f} s of "
              f"fetch; its size and SHA-256 are those checked as the bytes arrive (above)")
        print(f"native beside it (openssl on this machine, the same {SIZE_MB} MiB file): SHA-256 alone "
              f"{native['hash']:.2f} s, SHA-256 and the signature check {native['verify']:.2f} s")


def native_verification(work: Path, package: bytes) -> dict:
    """openssl's SHA-256 of the file alone, and with the ECDSA check over it (best of three each)."""
    path, sig = work / "nativo.bin", work / "nativo.sig"
    path.write_bytes(package)
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", bench.TEST_KEYS / "vendedor1.pem", "-out", sig, path],
                   check=True)
    public = work / "nativo.pub"
    subprocess.run(["openssl", "pkey", "-in", bench.TEST_KEYS / "vendedor1.pem", "-pubout", "-out", public],
                   check=True)
    times = {"hash": [], "verify": []}
    for _ in range(3):
        times["hash"].append(timed(["openssl", "dgst", "-sha256", path])[0])
        wall, _, out = timed(["openssl", "dgst", "-sha256", "-verify", public, "-signature", sig, path])
        assert "Verified OK" in out, out
        times["verify"].append(wall)
    path.unlink()
    return {name: min(values) for name, values in times.items()}


if __name__ == "__main__":
    main()
