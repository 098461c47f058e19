"""Benchmark: a 200 MB ZIP package installed end to end by the update worker
under Wine, beside its floor and curl + 7za.exe, interleaved in one run.

Three rounds (TREVANTO_BENCH_ROUNDS), in a rotated order, each in freshly
made program folders (the old mesalto.exe and 7za.exe), of:
  worker   harness.exe update <url>, copied in as trevanto.exe: the update
           worker as the alerts window starts it (stops the program, fetches
           the package into memory with progress, saves it, 7za.exe x, looks
           for a server component and a registration script, sets the old
           executable aside, moves it to the backups, copies the data files,
           zips the backup folder, moves the new executable in, cleans up,
           journals every step, reports to the service, relaunches the program).
           Timed inside the process from the worker's start to its finished
           message.
  floor    floor_fetch.exe: the agent's WinINet fetch into one block, one
           WriteFile of it, 7za.exe x run hidden with the agent's command
           line, and two renames (the old executable aside, the new one in).
           Timed inside the process from start to end.
  curl+7za curl natively into a file, then wine 7za.exe x, then a rename by
           Python: for reference (includes a Wine start-up for 7za).
Each run starts after the disk has been flushed and TREVANTO_BENCH_SETTLE
seconds (2) of quiet. Prints per-round and median seconds, the ratio
worker/floor (target <= 1.15x), the steps of each, and peak working sets.
Then, where strace is installed (TREVANTO_BENCH_TRACE=0 skips it), one more
worker run, untimed, under strace: when each program the worker starts
(taskkill, 7za.exe, PowerShell and what it starts, the relaunched program)
began and ended. Asserts only that each installed the same executable.
"""

import io
import os
import re
import shutil
import signal
import subprocess
import time
import zipfile
from pathlib import Path

from figures import (FLOOR, MIB, ROUNDS, SIZE_MB, bench, last_json, median, memory_target, rotated, settle, table,
                     timed)

URL_PATH = "/paquetes/mesalto_grande.zip"
URL = f"https://{bench.DOWNLOAD_HOST}{URL_PATH}"
NEW_EXE = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()


def package_bytes() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("bin/mesalto.exe", NEW_EXE)
        archive.writestr("datos/grande.bin", os.urandom(SIZE_MB * MIB))
    return buffer.getvalue()


def end_relaunched():
    """The worker relaunches the program; it must not outlive the round."""
    subprocess.run(["wine", "taskkill", "/F", "/IM", "mesalto.exe"], capture_output=True)


def fresh_folder(work: Path, name: str) -> Path:
    shutil.rmtree(work / name, ignore_errors=True)
    return bench.make_program_folder(work, name=name)


def run_worker(work: Path) -> dict:
    folder = fresh_folder(work, "agente")
    shutil.copy(bench.HARNESS, folder / "trevanto.exe")
    try:
        wall, rss, out = timed(["wine", folder / "trevanto.exe", "update", URL], cwd=folder)
    finally:
        end_relaunched()
    result = last_json(out)
    assert result["messages"] == 1 and result["progress"] == 100, result
    assert (folder / "mesalto.exe").read_bytes() == NEW_EXE
    marks = result["progress_ms"]
    finished = result["finished_ms"]
    steps = {
        "start to 1%: stop program, connect, 1/70 of package": marks["first_bytes"],
        "rest of the fetch (to 70%)": marks["fetched"] - marks["first_bytes"],
        "close, hash check (none here), save": marks["saved"] - marks["fetched"],
        "7za x": marks["extracted"] - marks["saved"],
        "set aside, backup + its zip, move in, clean up": marks["installed"] - marks["extracted"],
        "report + relaunch": finished - marks["installed"],
    }
    return {"s": finished / 1000, "peak": result["peak_working_set"], "wall": wall, "rss": rss * 1024,
            "steps": steps}


def run_floor(work: Path, size: int) -> dict:
    folder = fresh_folder(work, "suelo")
    w = lambda path: bench.winpath(folder / path)
    archive = w("mesalto_grande.zip")
    wall, rss, out = timed(["wine", FLOOR, URL, "--save", archive,
                            "--extract", w("7za.exe"), archive, w("mesalto_grande"),
                            "--move", w("mesalto.exe"), w("mesalto_anterior.exe"),
                            "--move", w("mesalto_grande/bin/mesalto.exe"), w("mesalto.exe")], cwd=folder)
    result = last_json(out)
    assert result["ok"] and result["size"] == size, result
    assert (folder / "mesalto.exe").read_bytes() == NEW_EXE
    steps = {"fetch": result["fetch_ms"], "save": result["save_ms"], "7za x": result["extract_ms"],
             "moves": result["move_ms"]}
    return {"s": result["ms"] / 1000, "peak": result["peak_working_set"], "wall": wall, "rss": rss * 1024,
            "steps": steps}


def run_manual(work: Path) -> dict:
    folder = fresh_folder(work, "manual")
    start = time.monotonic()
    curl_s, curl_rss, _ = timed(["curl", "-sS", "-o", folder / "p.zip", URL])
    unzip_s, unzip_rss, _ = timed(["wine", folder / "7za.exe", "x", bench.winpath(folder / "p.zip"),
                                   "-o" + bench.winpath(folder / "p"), "-y"])
    move_start = time.monotonic()
    os.replace(folder / "p" / "bin" / "mesalto.exe", folder / "mesalto.exe")
    seconds = time.monotonic() - start
    assert (folder / "mesalto.exe").read_bytes() == NEW_EXE
    steps = {"curl": curl_s * 1000, "wine 7za.exe x": unzip_s * 1000, "move": (time.monotonic() - move_start) * 1000}
    return {"s": seconds, "peak": curl_rss * 1024, "wall": seconds, "rss": unzip_rss * 1024, "steps": steps}


EXECVE = re.compile(r'^(\d+)\s+(\d+):(\d+):([\d.]+) execve\("[^"]*", \["[^"]*", "((?:[^"\\]|\\.)*)"(?:, "((?:[^"\\]|\\.)*)")?')
EXITED = re.compile(r"^(\d+)\s+(\d+):(\d+):([\d.]+) \+\+\+ exited with (\d+)")


def seconds_of(h, m, s) -> float:
    return int(h) * 3600 + int(m) * 60 + float(s)


def child_spans(trace_text: str):
    """(start, end, exit code, program, first argument) of each Wine process
    in an strace -f log, start and end in seconds after the first one began."""
    started, ended = {}, {}
    for line in trace_text.splitlines():
        match = EXECVE.match(line)
        # The loader's own steps (wine64-preloader re-running wine64) and failed tries are not programs.
        if match and match.group(1) not in started and " = -1 " not in line and \
                not match.group(5).startswith("/usr/lib/wine/"):
            pid, h, m, sec, program, first = match.groups()
            name = program.replace("\\\\", "\\").replace("/", "\\").split("\\")[-1]
            started[pid] = (seconds_of(h, m, sec), name, (first or "").replace("\\\\", "\\")[:40])
            continue
        match = EXITED.match(line)
        if match:
            pid, h, m, sec, code = match.groups()
            ended[pid] = (seconds_of(h, m, sec), int(code))
    if not started:
        return []
    origin = min(start for start, _, _ in started.values())
    spans = []
    for pid, (start, name, first) in started.items():
        end, code = ended.get(pid, (None, None))
        spans.append((start - origin, None if end is None else end - origin, code, name, first))
    return sorted(spans)


def traced_worker_run(work: Path):
    """The worker once more, under strace (execve and exits only): the
    programs it starts and how long each took. strace is ended once the
    harness has printed its line (the relaunched program would keep it)."""
    folder = fresh_folder(work, "agente")
    shutil.copy(bench.HARNESS, folder / "trevanto.exe")
    log, out = work / "strace.txt", work / "salida_traza.txt"
    with open(out, "wb") as sink:
        tracer = subprocess.Popen(["strace", "-I", "1", "-f", "-tt", "-s", "160", "--seccomp-bpf", "-e", "trace=execve",
                                   "-o", log, "wine", folder / "trevanto.exe", "update", URL],
                                  cwd=folder, stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.DEVNULL)
    try:
        bench.wait_until(lambda: b"progress_ms" in out.read_bytes(), timeout=600, interval=0.2)
        time.sleep(0.5)
    finally:
        tracer.send_signal(signal.SIGTERM)  # strace (-I 1) detaches; the traced programs go on
        try:
            tracer.wait(timeout=30)
        except subprocess.TimeoutExpired:
            tracer.kill()
            tracer.wait(timeout=30)
        end_relaunched()
    result = last_json(out.read_text(errors="replace"))
    return result, child_spans(log.read_text(errors="replace"))


def print_trace(result, spans):
    print(f"traced worker run (strace slows it): finished {result['finished_ms'] / 1000:.2f} s after the worker's "
          f"start; progress marks (s): " +
          ", ".join(f"{name} {ms / 1000:.2f}" for name, ms in result["progress_ms"].items()))
    rows = []
    for start, end, code, name, first in spans:
        rows.append([name, first, f"{start:.2f}", "-" if end is None else f"{end:.2f}",
                     "running" if end is None else f"{end - start:.2f}", "" if code is None else str(code)])
    print("Wine processes of that run (s after the harness process began). taskkill: the program stopped; "
          "7za.exe x: the package unpacked;\npowershell.exe: Compress-Archive of the backup folder (on this bench the "
          "PowerShell double, which runs 7za.exe a); mesalto.exe: the relaunch;\nconhost.exe: the console host Wine "
          "starts for each hidden console child")
    print(table(["program", "first argument", "began", "ended", "took", "exit"], rows))


def step_rows(label, runs):
    names = list(runs[0]["steps"])
    return [[f"{label}: {name}", *(f"{run['steps'][name] / 1000:.2f}" for run in runs),
             f"{median(run['steps'][name] for run in runs) / 1000:.2f}"] for name in names]


def main():
    with bench.scratch_service("trevanto_bench_zip_") as (work, procs, service):
        package = package_bytes()
        service.put_file(URL_PATH, package)
        size = len(package)
        del package
        service.start()
        end_relaunched()

        contenders = {
            "worker": lambda: run_worker(work),
            "floor": lambda: run_floor(work, size),
            "manual": lambda: run_manual(work),
        }
        runs = {name: [] for name in contenders}
        for r in range(ROUNDS):
            for name in rotated(list(contenders), r):
                settle()
                runs[name].append(contenders[name]())

        print(f"package: {size / MIB:.1f} MiB ZIP (stored), one executable inside; Wine {bench.WINE_KIND}; "
              f"folders made afresh for every run")
        rounds = [f"round {r + 1} s" for r in range(ROUNDS)]
        rows = []
        labels = (("worker", "worker (harness update)"), ("floor", "floor (floor_fetch.exe)"),
                  ("manual", "curl + wine 7za.exe + move"))
        for name, label in labels:
            seconds = [run["s"] for run in runs[name]]
            rows.append([label, *(f"{s:.2f}" for s in seconds), f"{median(seconds):.2f}",
                         f"{median(run['wall'] for run in runs[name]):.2f}"])
        print(table(["", *rounds, "median s", "process s"], rows))
        worker_s = median(run["s"] for run in runs["worker"])
        floor_s = median(run["s"] for run in runs["floor"])
        manual_s = median(run["s"] for run in runs["manual"])
        print(f"worker/floor: {worker_s / floor_s:.2f}x (target <= 1.15x); worker/(curl + 7za): "
              f"{worker_s / manual_s:.2f}x")
        print("worker: from its start to its finished message (the harness's process also waits 1 s for a "
              "second message); floor: its whole run; both without Wine's start-up")
        print()
        print("where the time goes (s; the worker's steps from when its progress reached 1, 70, 75, 90, 100, "
              "sampled every 10 ms)")
        print(table(["step", *rounds, "median s"],
                    step_rows("worker", runs["worker"]) + step_rows("floor", runs["floor"]) +
                    step_rows("curl+7za", runs["manual"])))
        print()
        worker_peak = max(run["peak"] for run in runs["worker"])
        floor_peak = max(run["peak"] for run in runs["floor"])
        print(f"worker peak working set: {worker_peak / MIB:.1f} MiB = {worker_peak / size:.2f} x package "
              f"(1.1 x package + 20 MiB = {memory_target(size) / MIB:.1f} MiB); floor {floor_peak / MIB:.1f} MiB; "
              f"wine process max RSS: worker {max(run['rss'] for run in runs['worker']) / MIB:.1f} MiB, "
              f"floor {max(run['rss'] for run in runs['floor']) / MIB:.1f} MiB; "
              f"curl max RSS {max(run['peak'] for run in runs['manual']) / MIB:.1f} MiB, "
              f"7za max RSS {max(run['rss'] for run in runs['manual']) / MIB:.1f} MiB")
        if os.environ.get("TREVANTO_BENCH_TRACE", "1") != "0" and shutil.which("strace"):
            print()
            settle()
            print_trace(*traced_worker_run(work))


if __name__ == "__main__":
    main()
