"""Benchmark: a 200 MB ZIP package installed end to end by the update worker
under Wine (fetch, save, extract, replace), beside the same steps done by
curl and 7za.exe directly, in one run. Prints figures; asserts only that
both produced the same installed executable.
"""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import bench  # noqa: E402

SIZE_MB = int(os.environ.get("TREVANTO_BENCH_MB", "200"))
URL_PATH = "/paquetes/mesalto_grande.zip"
URL = f"https://{bench.DOWNLOAD_HOST}{URL_PATH}"


def package_bytes() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("bin/mesalto.exe", (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes())
        archive.writestr("datos/grande.bin", os.urandom(SIZE_MB * 1024 * 1024))
    return buffer.getvalue()


def timed(command, **kwargs):
    """Runs a command under /usr/bin/time -v. Output goes through files: a
    program the command starts may outlive it and would hold a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-v", *map(str, command)], stdout=out, stderr=err, **kwargs)
        elapsed = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    if proc.returncode != 0:
        raise SystemExit(f"{command[0]} failed: {stderr[-800:]}")
    rss = next(int(line.split(":")[1]) for line in stderr.splitlines() if "Maximum resident" in line)
    return elapsed, rss, stdout


def main():
    work = Path(tempfile.mkdtemp(prefix="trevanto_bench_zip_"))
    procs, hosts = bench.Processes(), bench.HostsFile()
    try:
        service = bench.VendorService(work / "servicio", procs, hosts)
        package = package_bytes()
        service.put_file(URL_PATH, package)
        size = len(package)
        del package
        service.start()

        agent_folder = bench.make_program_folder(work, name="agente")
        shutil.copy(bench.HARNESS, agent_folder / "trevanto.exe")
        # The relaunched program keeps running: end it once the worker is done.
        seconds, rss, out = timed(["wine", agent_folder / "trevanto.exe", "update", URL], cwd=agent_folder,
                                  stdin=subprocess.DEVNULL, timeout=900)
        result = eval(out.strip().splitlines()[-1])
        installed = (agent_folder / "mesalto.exe").read_bytes()

        manual = bench.make_program_folder(work, name="manual")
        start = time.monotonic()
        curl_s, curl_rss, _ = timed(["curl", "-sS", "-o", manual / "p.zip", URL])
        unzip_s, unzip_rss, _ = timed(["wine", manual / "7za.exe", "x", bench.winpath(manual / "p.zip"),
                                       "-o" + bench.winpath(manual / "p"), "-y"])
        os.replace(manual / "p" / "bin" / "mesalto.exe", manual / "mesalto.exe")
        manual_s = time.monotonic() - start
        assert installed == (manual / "mesalto.exe").read_bytes()
        subprocess.run(["wine", "taskkill", "/F", "/IM", "mesalto.exe"], capture_output=True)

        print(f"package: {size / 2**20:.1f} MiB ZIP (stored), one executable inside")
        print(f"agent worker under Wine: {result['ms'] / 1000:.2f} s from start to finished message "
              f"(process {seconds:.2f} s); peak working set {result['peak_working_set'] / 2**20:.1f} MiB "
              f"({result['peak_working_set'] / size:.2f} x package); wine process max RSS {rss / 1024:.1f} MiB")
        print(f"curl + 7za.exe under Wine + move: {manual_s:.2f} s (curl {curl_s:.2f} s, max RSS "
              f"{curl_rss / 1024:.1f} MiB; 7za {unzip_s:.2f} s, max RSS {unzip_rss / 1024:.1f} MiB)")
    finally:
        procs.end_all()
        hosts.restore()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
