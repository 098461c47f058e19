"""The journey, shown: installer, installation into the sample program
folder, the installed agent's run with every kind of window, and a table of
what happened. Run by scripts/demo.sh inside the sandbox and the Wine bench;
TREVANTO_DEMO_MODE=screen leaves the clicks to a person."""

import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import bench  # noqa: E402
import journey  # noqa: E402


def section(title: str) -> None:
    print(f"\n== {title}", flush=True)


def table(rows, headers) -> None:
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
    for row in [headers, ["-" * w for w in widths]] + rows:
        print("  " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)))


def report_rows(vendor: bench.VendorService):
    rows = [["check-in", r["Programa"], r["Version"], r["installed_path"]] for r in vendor.rows("checkins")]
    rows += [["update", f"{r['resultado']} (codigo {r['codigo_error']})",
              f"{r['version_anterior']} -> {r['version_nueva']}", r["url_parche"]]
             for r in vendor.rows("update_reports")]
    rows += [["acceptance", r["Programa"], "", r["rtf_url"]] for r in vendor.rows("acceptance_reports")]
    return rows


def main() -> int:
    auto = os.environ.get("TREVANTO_DEMO_MODE", "auto") != "screen"
    out = bench.BUILD / "demo"
    shutil.rmtree(out, ignore_errors=True)
    procs, hosts = bench.Processes(), bench.HostsFile()
    try:
        vendor = bench.VendorService(out / "datos", procs, hosts)
        journey.prepare_service(vendor)
        vendor.start()
        folder = journey.prepare_program_folder()
        before = journey.file_version(folder / "mesalto.exe")
        recorder = journey.Recorder(out / "capturas", auto)
        print("Windows are " + ("clicked through automatically on the bench's own X display"
                                if auto else "yours to click on this display"), flush=True)

        section("1. The agent alone in an empty folder: the installer")
        installer_code = journey.run_installer(procs, out, recorder)
        print(f"  installer exit code {installer_code}; C:\\Marvek\\Marvek Mesalto now holds: "
              f"{', '.join(sorted(p.name for p in folder.iterdir()))}")

        section("2. The installed agent in C:\\Marvek\\Marvek Mesalto, with Mesalto open")
        journey.start_program(procs, folder)
        agent_code = journey.run_installed_agent(procs, folder, recorder, timeout=3600)
        journey.end_started_programs()

        section("Windows shown")
        table([[i + 1, w["what"], w["action"], w["capture"].relative_to(bench.ROOT)]
               for i, w in enumerate(recorder.windows)], ["#", "window", "action", "capture"])
        section("Journal lines written (actualizador_registros)")
        for name in ("descargas.csv", "extracciones.csv", "alertas_terminos_aceptados.csv"):
            path = folder / "actualizador_registros" / name
            lines = path.read_bytes().decode("latin-1").splitlines() if path.exists() else []
            print(f"  {name}: {len(lines)} lines")
            for line in lines:
                print(f"    {line}")
        section("Requests the vendor service received")
        for line in vendor.log():
            print(f"  {line}")
        section("Reports the vendor service stored")
        table(report_rows(vendor), ["kind", "result / product", "version", "address"])
        section("Program version")
        after = journey.file_version(folder / "mesalto.exe")
        print(f"  mesalto.exe before {before}, after {after}; agent exit code {agent_code}")
        registered = folder / "mesalto_6.0.3.17" / "registrado.txt"
        print(f"  registration script: {registered.read_text().strip() if registered.exists() else 'not run'}")
        print(f"  server component: {', '.join(sorted(p.name for p in (folder.parent / 'MarvekServer').glob('*')))}")
        section("Program folder afterwards")
        for entry in journey.tree(folder):
            print(f"  {entry}")
        section("The fleet view: the rollout's page in the vendor console (headless Chromium)")
        picture = out / "capturas" / "panel_despliegue.png"
        funnel = journey.rollout_picture(picture)
        table(funnel, ["stage", "targeted", "offered", "download started", "downloaded", "with outcome", "OK",
                       "failed", "failure rate", "failures by step and code", "confirmed", "unconfirmed"])
        print(f"  {picture.relative_to(bench.ROOT)} (log in at https://{bench.API_HOST}/panel/ as "
              f"{journey.OPERATOR[0]} / {journey.OPERATOR[1]})")
        return 0 if agent_code == 0 and installer_code == 0 else 1
    finally:
        procs.end_all()
        hosts.restore()


if __name__ == "__main__":
    sys.exit(main())
