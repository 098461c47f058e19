"""Benchmark: how long the agent stays after an update now that it watches
the program's start, beside the same run with no update to install.

Three rounds (TREVANTO_BENCH_ROUNDS), in a rotated order, each in a freshly
made program folder, of the real trevanto.exe against the vendor service,
whose notification document offers an executable package (stated by the
vendor) that:
  runs     keeps running: proven at the end of the 30 s watch
  closes   ends at once with exit code 0: proven at once (its user closed it)
  crashes  ends at once with 0xC0000005: put back, reported again, and the
           previous program watched for 30 s
and, as the floor, the same agent and document with the offer's package
missing (a 404: no program replaced, nothing watched). Prints the agent's
whole run and the time from the window's restart (the worker's relaunch
line in the journal, to the second) to the agent's end, per case, medians.
Figures only: nothing asserts on speed.
Run it with scripts/benchmark.sh startwatch (inside the sandbox).
"""

import calendar
import json
import statistics
import time

from figures import ROUNDS, bench, rotated

CASES = {"runs": "sibling_6_0_3_17.exe", "closes": "sibling_6_0_3_17_cierra.exe",
         "crashes": "sibling_6_0_3_17_falla.exe", "floor": None}


def stamp_of(line: bytes) -> float:
    return calendar.timegm(time.strptime(line[:19].decode(), "%Y-%m-%d %H:%M:%S"))


def run(work, procs, service, case: str, index: int) -> dict:
    folder = bench.make_program_folder(work / f"{case}_{index}", name="Marvek Mesalto")
    double = CASES[case]
    path = f"/paquetes/{case}_{index}/mesalto.exe"
    stated = {}
    if double is not None:
        program = (bench.DOUBLES / double).read_bytes()
        service.put_file(path, program)
        stated = bench.statement_of(program)
    else:
        stated = bench.statement_of((bench.DOUBLES / CASES["runs"]).read_bytes())
    offer = {"enlace": f"https://{bench.DOWNLOAD_HOST}{path}", **stated}
    (service.data / "notificaciones" / "MarvekMesalto.json").write_text(
        json.dumps({"alertas": [{"tipo": "url_actualizar", "contenido": [offer]}]}))
    started = time.time()
    assert bench.run_agent(procs, folder, timeout=300) == 0
    ended = time.time()
    lines = (folder / "actualizador_registros" / "descargas.csv").read_bytes().split(b"\r\n")
    [relaunch] = [line for line in lines if line[20:].startswith(b"RELANZAR_APP;")]
    bench.end_leftover_programs()
    return {"whole": ended - started, "after": ended - stamp_of(relaunch)}


def main() -> None:
    results = {case: [] for case in CASES}
    with bench.scratch_service("trevanto_bench_watch_") as (work, procs, service):
        (service.data / "notificaciones").mkdir(parents=True, exist_ok=True)
        service.start()
        for round_index in range(ROUNDS):
            for case in rotated(list(CASES), round_index):
                results[case].append(run(work, procs, service, case, round_index))
    print(f"the agent after an update, medians of {ROUNDS} rounds (s):")
    print(f"  {'case':10} {'whole run':>10} {'after the restart':>18}")
    for case, runs in results.items():
        whole = statistics.median(r["whole"] for r in runs)
        after = statistics.median(r["after"] for r in runs)
        print(f"  {case:10} {whole:10.1f} {after:18.1f}")
    print("  (after the restart: from the worker's relaunch line, to the second, to the agent's end;"
          " the floor installs nothing and watches nothing)")


if __name__ == "__main__":
    main()
