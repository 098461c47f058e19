"""The vendor service beside nginx serving the same files over TLS with
keep-alive, in one run: check-ins per second and their latency, a 1 KB
static file, a 200 MiB package, check-ins while crowds of idle, slow and
downloading clients hold on, memory under the header and body attacks, and
the time a SIGTERM takes. Figures only: nothing here passes or fails.

With TREVANTO_BENCH_BEFORE naming another build of the service (the one
before a change, built from its own checkout), its check-ins are measured
in the same rounds, alternated with the others, for the cost of the change
side by side. "checkins" as the first argument measures the requests only;
"instructions" counts the instructions one check-in costs the service
(under valgrind's callgrind, the same on a busy machine as on an idle one:
the difference between 300 and 900 check-ins of a known fleet, over one
keep-alive connection), for each build."""

import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "vendor-service" / "system"))
from servicio import (API_KEY, CHECKIN, PKI, PROGRAM, ROOT, Servicio, checkin_body, free_port,  # noqa: E402
                      percentile, raw_connection, tls_context, tls_socket)

MIB = 2**20
PACKAGE_MB = int(os.environ.get("TREVANTO_BENCH_MB", "200"))
ROUNDS = int(os.environ.get("TREVANTO_BENCH_ROUNDS", "3"))
SECONDS = int(os.environ.get("TREVANTO_BENCH_SECONDS", "8"))
CONNECTIONS = (1, 16, 64)
BEFORE = os.environ.get("TREVANTO_BENCH_BEFORE", "")
ONLY_REQUESTS = sys.argv[1:2] == ["checkins"]

NGINX_CONF = """
worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {work}/tmp; proxy_temp_path {work}/tmp; fastcgi_temp_path {work}/tmp;
    uwsgi_temp_path {work}/tmp; scgi_temp_path {work}/tmp;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {pki}/server.crt;
        ssl_certificate_key {pki}/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root {root};
    }}
}}
"""


def wrk(url: str, connections: int, script: Path = None) -> dict:
    threads = 1 if connections == 1 else 2
    args = ["wrk", f"-t{threads}", f"-c{connections}", f"-d{SECONDS}s", "--latency", url]
    if script:
        args[1:1] = ["-s", str(script)]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    figures = {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
               "requests": int(re.search(r"(\d+) requests in", out).group(1))}
    for name, label in (("p50", "50%"), ("p99", "99%")):
        value, unit = re.search(r"\s" + label + r"\s+([\d.]+)(us|ms|s)\b", out).groups()
        figures[name] = float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    figures["errors"] = int(errors.group(1)) if errors else 0
    return figures


def curl_speed(url: str, parallel: int = 1) -> float:
    """MiB/s of the whole package, summed over `parallel` downloads."""
    args = ["curl", "-s", "-o", "/dev/null", "--cacert", str(PKI / "ca.crt"), "-w", "%{speed_download}\n", url]
    procs = [subprocess.Popen(args, stdout=subprocess.PIPE, text=True) for _ in range(parallel)]
    return sum(float(p.communicate()[0]) for p in procs) / MIB


def cpu_seconds(pids) -> float:
    """User and system CPU time the processes have used so far."""
    total = 0
    for pid in pids:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def nginx_pids(work: Path) -> list:
    master = (work / "nginx.pid").read_text().strip()
    children = subprocess.run(["pgrep", "-P", master], capture_output=True, text=True).stdout.split()
    return [master] + children


def median(values):
    return sorted(values)[len(values) // 2]


def table(rows, header):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  " + "  ".join(str(v).rjust(w) for v, w in zip(row, widths)))


def checkin_script(path: Path, product: str) -> Path:
    """A wrk script posting check-ins of 20,000 installations of the product
    (each wrk thread goes round 10,000 of them)."""
    head, tail = checkin_body("EQUIPO").decode().replace("MarvekMesalto", product).split("EQUIPO")
    path.write_text(
        "n = 0\nmath.randomseed(os.time())\nprefix = math.random(2)\n"
        f'wrk.headers["Content-Type"] = "application/json"\nwrk.headers["X-Api-Key"] = "{API_KEY}"\n'
        "request = function()\n  n = (n + 1) % 10000\n"
        f'  return wrk.format("POST", nil, nil, [[{head}]] .. "pc-" .. prefix .. "-" .. n .. [[{tail}]])\n'
        "end\n")
    return path


def offer_to_everyone(data: Path, *store: str, program: Path = PROGRAM) -> None:
    """A release of MarvekMesalto and a rollout offering it to every installation on 5.2.1.0."""
    (data / "archivos" / "paquetes").mkdir(parents=True, exist_ok=True)
    (data / "archivos" / "paquetes" / "mesalto_6.0.3.17.zip").write_bytes(b"PK" + os.urandom(4096))
    for command in (["release", "add", "--product", "MarvekMesalto", "--version", "6.0.3.17",
                     "--file", "paquetes/mesalto_6.0.3.17.zip", *(["--new-product"] if program == PROGRAM else [])],
                    ["rollout", "start", "--release", "1", "--replaces", "5.2.1.0", "--stages", "100", "--manual"]):
        subprocess.run([str(program), *command, "--data", str(data), *store], check=True, capture_output=True)


def service_before(work: Path) -> Servicio:
    """The other build, on a data folder and store of its own set up alike."""
    data = work / "datos-antes"
    shutil.copytree(ROOT / "vendor-service" / "datos-ejemplo", data)
    offer_to_everyone(data, program=Path(BEFORE))
    service = Servicio(data=data, log=work / "servicio-antes.log")
    service.program = Path(BEFORE)
    return service.start("--rate", "0", panel=False)


def checkin_latencies(service: Servicio, seconds: float) -> list:
    latencies = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        status = service.post(CHECKIN, checkin_body(), timeout=30)[0]
        latencies.append((time.monotonic() - start) * 1000 if status == 200 else float("inf"))
        time.sleep(0.05)
    return latencies


def crowd(service: Servicio):
    """1,000 idle TCP connections and 100 that send one header byte a second,
    kept up (reopened when the service closes them) until stopped."""
    stop = threading.Event()

    def hold():
        idle = [raw_connection(service.port) for _ in range(1000)]
        slow = []
        while not stop.wait(1):
            while len(slow) < 100:
                sock = tls_socket(service.port)
                sock.sendall(b"POST /apis/trevanto/v1/checkin HTTP/1.1\r\n")
                slow.append(sock)
            for sock in list(slow):
                try:
                    sock.sendall(b"X")
                except OSError:
                    slow.remove(sock)
                    sock.close()
        for sock in idle + slow:
            sock.close()

    thread = threading.Thread(target=hold)
    thread.start()
    return stop, thread


def instructions_per_checkin(program: Path, product: str, work: Path) -> float:
    """Instructions the service spends on one check-in of a known installation (callgrind's count)."""
    totals = []
    for count in (300, 900):
        data = work / f"datos-{count}"
        shutil.rmtree(data, ignore_errors=True)
        shutil.copytree(ROOT / "vendor-service" / "datos-ejemplo", data)
        offer_to_everyone(data, program=program)
        port = free_port()
        out = work / "callgrind.out"
        args = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", str(program), "serve", "--data",
                str(data), "--address", "127.0.0.1", "--port", str(port), "--log", str(work / "cg.log"),
                "--hash-settle-ms", "0", "--rate", "0", "--threads", "1", "--cert", str(PKI / "server.crt"),
                "--key", str(PKI / "server.key")]
        if program == PROGRAM:  # one address's fleet, as in the rounds above
            args += ["--new-installations-per-network", "0"]
        (work / "cg.log").unlink(missing_ok=True)
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and "event=listening" not in (
                (work / "cg.log").read_text() if (work / "cg.log").exists() else ""):
            time.sleep(0.5)
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=120, context=tls_context())
        for i in range(200 + count):  # 200 installations known first, then each checks in again and again
            body = checkin_body(f"pc-{i % 200}").replace(b"MarvekMesalto", product.encode())
            conn.request("POST", CHECKIN, body=body, headers={"X-Api-Key": API_KEY, "Content-Type": "application/json"})
            answer = conn.getresponse()
            answer.read()
        conn.close()
        proc.send_signal(signal.SIGTERM)
        proc.wait()
        text = subprocess.run(["callgrind_annotate", str(out)], capture_output=True, text=True).stdout
        totals.append(int(re.search(r"([\d,]+) \(100.0%\)\s+PROGRAM TOTALS", text).group(1).replace(",", "")))
    return (totals[1] - totals[0]) / 600


def instructions(work: Path) -> None:
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (apt-get install valgrind): no instruction counts")
        return
    builds = [("this build", PROGRAM)] + ([("the build before", Path(BEFORE))] if BEFORE else [])
    print("== Instructions per check-in of a known installation (callgrind; one keep-alive connection)")
    counts = {}
    for product, what in (("MarvekOlvo", "the document alone"), ("MarvekMesalto", "each offered a release")):
        for name, program in builds:
            counts[(name, product)] = instructions_per_checkin(program, product, work)
            print(f"  {what}, {name}: {counts[(name, product)] / 1000:,.0f} thousand", flush=True)
        if BEFORE:
            print(f"  {what}: this build / the build before: "
                  f"{counts[('this build', product)] / counts[('the build before', product)]:.3f}")


def main():
    work = Path(tempfile.mkdtemp(prefix="trevanto_bench_servicio_"))
    if sys.argv[1:2] == ["instructions"]:
        try:
            instructions(work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return
    work.chmod(0o755)  # nginx's workers read the files as another user
    data = work / "datos"
    shutil.copytree(ROOT / "vendor-service" / "datos-ejemplo", data)
    files = data / "archivos"
    (files / "paquetes").mkdir(exist_ok=True)
    (files / "uploads" / "uno.bin").write_bytes(b"x" * 1024)
    with open(files / "paquetes" / "grande.zip", "wb") as out:
        block = os.urandom(MIB)
        for _ in range(PACKAGE_MB):
            out.write(block)
    (work / "tmp").mkdir()
    os.sync()  # the package's pages written out now, not under the first runs' writes
    nginx_port = free_port()
    (work / "nginx.conf").write_text(NGINX_CONF.format(work=work, port=nginx_port, pki=PKI, root=files))
    # Check-ins of a fleet of 20,000 installations (each wrk thread goes
    # round it), of a product with a rollout that offers every one of them a
    # release, and of one answered its document alone.
    scripts = {name: checkin_script(work / f"checkin_{name}.lua", product)
               for name, product in (("rollout", "MarvekMesalto"), ("static", "MarvekOlvo"))}
    post = scripts["static"]
    offer_to_everyone(data)
    subprocess.run(["nginx", "-c", str(work / "nginx.conf"), "-p", str(work)], check=True)
    # The fleet of the benchmark is one address's 20,000 installations: no
    # bound on a network's new installations a day, as a real fleet of that
    # size is spread over its customers' networks.
    service = Servicio(data=data, log=work / "servicio.log").start("--rate", "0", "--new-installations-per-network",
                                                                    "0", panel=False)
    before = service_before(work) if BEFORE else None
    nginx = f"https://127.0.0.1:{nginx_port}"
    ours = f"https://127.0.0.1:{service.port}"
    try:
        print(f"load average at start: {open('/proc/loadavg').read().split()[:3]}; {os.cpu_count()} cores; "
              f"{SECONDS} s per wrk run, median of {ROUNDS} rounds, contenders alternated")
        results = {}
        for r in range(ROUNDS):
            for c in CONNECTIONS:
                runs = [("nginx 1 KB", f"{nginx}/uploads/uno.bin", None),
                        ("servicio 1 KB", f"{ours}/uploads/uno.bin", None),
                        ("servicio check-in", f"{ours}{CHECKIN}", scripts["static"]),
                        ("servicio check-in + rollout", f"{ours}{CHECKIN}", scripts["rollout"])]
                if before:
                    theirs = f"https://127.0.0.1:{before.port}"
                    runs += [("before: check-in", f"{theirs}{CHECKIN}", scripts["static"]),
                             ("before: check-in + rollout", f"{theirs}{CHECKIN}", scripts["rollout"])]
                for name, url, script in runs[r % len(runs):] + runs[:r % len(runs)]:
                    # The serving process's CPU per request: what the machine's other load does not change.
                    pids = nginx_pids(work) if name.startswith("nginx") else \
                        [(before if name.startswith("before") else service).proc.pid]
                    spent = cpu_seconds(pids)
                    figures = wrk(url, c, script)
                    figures["cpu_us"] = (cpu_seconds(pids) - spent) * 1e6 / max(1, figures["requests"])
                    results.setdefault((name, c), []).append(figures)
        print("\n== Requests over keep-alive TLS (wrk): requests/s, p50 and p99 in ms")
        rows = []
        for (name, c), runs in sorted(results.items(), key=lambda item: (item[0][1], item[0][0])):
            rows.append([name, c, f"{median([x['rps'] for x in runs]):,.0f}", f"{median([x['p50'] for x in runs]):.2f}",
                         f"{median([x['p99'] for x in runs]):.2f}", f"{median([x['cpu_us'] for x in runs]):.0f}",
                         sum(x["errors"] for x in runs)])
        table(rows, ["what", "connections", "req/s", "p50", "p99", "server CPU us/req", "non-2xx"])
        nginx16 = median([x["rps"] for x in results[("nginx 1 KB", 16)]])
        checkins16 = median([x["rps"] for x in results[("servicio check-in", 16)]])
        print(f"  check-ins stored per second at 16 connections / nginx 1 KB: {checkins16 / nginx16:.2f} "
              f"(target at least 0.25)")
        for c in CONNECTIONS:
            plain = median([x["rps"] for x in results[("servicio check-in", c)]])
            decided = median([x["rps"] for x in results[("servicio check-in + rollout", c)]])
            print(f"  at {c} connections, check-ins with the rollout decision (each one offered the release) / "
                  f"the document alone: {decided / plain:.2f} (target at least 0.90)")
            if before:
                for kind in ("check-in", "check-in + rollout"):
                    now = median([x["rps"] for x in results[(f"servicio {kind}", c)]])
                    then = median([x["rps"] for x in results[(f"before: {kind}", c)]])
                    cpu_now = median([x["cpu_us"] for x in results[(f"servicio {kind}", c)]])
                    cpu_then = median([x["cpu_us"] for x in results[(f"before: {kind}", c)]])
                    print(f"  at {c} connections, {kind} of this build / the build before: {now / then:.2f} "
                          f"(target at least 0.90); server CPU per check-in {cpu_now:.0f} us against {cpu_then:.0f}")
        if ONLY_REQUESTS:
            return

        print(f"\n== A {PACKAGE_MB} MiB package (curl, MiB/s)")
        speeds, cpu = {}, {}
        pids = {"nginx": nginx_pids(work), "servicio": [service.proc.pid]}
        for r in range(ROUNDS):
            pair = [("nginx", nginx), ("servicio", ours)]
            for name, base in pair[r % 2:] + pair[:r % 2]:
                for parallel in (1, 4):
                    before = cpu_seconds(pids[name])
                    speeds.setdefault((name, parallel), []).append(curl_speed(f"{base}/paquetes/grande.zip", parallel))
                    cpu.setdefault((name, parallel), []).append(
                        (cpu_seconds(pids[name]) - before) * 1000 / (parallel * PACKAGE_MB / 1024))
        table([[name, n, f"{median(v):.0f}", f"{median(cpu[(name, n)]):.0f}"] for (name, n), v in sorted(speeds.items())],
              ["server", "downloads at once", "MiB/s in all", "server CPU ms per GiB"])
        print(f"  one download, servicio / nginx: {median(speeds[('servicio', 1)]) / median(speeds[('nginx', 1)]):.2f} "
              f"(target at least 0.9; curl on the same cores decrypts it, so the CPU column tells the servers apart)")

        print("\n== Check-ins while strangers hold on (a fresh TLS connection each, ms)")
        quiet = checkin_latencies(service, 5)
        stop, holder = crowd(service)
        time.sleep(2)
        held = checkin_latencies(service, 20)
        stop.set()
        holder.join()
        rate = "1M"
        downloads = [subprocess.Popen(["curl", "-s", "-o", "/dev/null", "--cacert", str(PKI / "ca.crt"),
                                       "--limit-rate", rate, f"{ours}/paquetes/grande.zip"]) for _ in range(64)]
        time.sleep(2)
        downloading = checkin_latencies(service, 15)
        keepalive = wrk(f"{ours}{CHECKIN}", 1, post)
        for proc in downloads:
            proc.kill()
            proc.wait()
        table([[what, len(v), f"{percentile(v, 0.5):.1f}", f"{percentile(v, 0.99):.1f}", f"{max(v):.1f}"]
               for what, v in (("quiet", quiet), ("1,000 idle + 100 slow-header connections held", held),
                               ("64 downloads at 1 MB/s each", downloading))],
              ["while", "check-ins", "p50", "p99", "max"])
        print(f"  targets: every check-in within 1,000 ms while the crowd holds on; p99 under 100 ms while 64 "
              f"download (keep-alive check-ins then: p50 {keepalive['p50']:.2f} ms, p99 {keepalive['p99']:.2f} ms)")

        print("\n== Memory (resident, MiB) under the header and body attacks")
        from test_strangers import attack  # noqa: E402
        idle = service.rss_kib()
        key = f"X-Api-Key: {API_KEY}\r\n".encode()
        chunk = b"10000\r\n" + b"a" * 0x10000 + b"\r\n"
        attacks = [(b"PUT /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", chunk, 1024 * MIB)] * 4 + \
                  [(b"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + key + b"\r\n", chunk, 1024 * MIB)] * 4 + \
                  [(b"GET / HTTP/1.1\r\nX: ", b"a" * 65536, 128 * MIB)] * 8 + \
                  [(b"GET / HTTP/1.1\r\n", b"X-C: 1\r\n" * 4096, 32 * MIB),
                   (b"POST " + CHECKIN.encode() + b" HTTP/1.1\r\nContent-Length: 2000000000\r\n" + key + b"\r\n",
                    b"{" * 65536, 1024 * MIB)]
        outcome, peak = {}, [idle]
        threads = [threading.Thread(target=attack, args=(service.port, h, f, t, outcome, i))
                   for i, (h, f, t) in enumerate(attacks)]
        for thread in threads:
            thread.start()
        while any(t.is_alive() for t in threads):
            peak.append(service.rss_kib())
            time.sleep(0.02)
        print(f"  idle {idle / 1024:.1f}, peak during {len(attacks)} attack connections {max(peak) / 1024:.1f} "
              f"(target: within 64 of idle); sent before the service closed: "
              f"{max(s for s, _ in outcome.values()) / MIB:.1f} MiB at most")

        print("\n== SIGTERM with 100 slow clients connected")
        slow = [tls_socket(service.port) for _ in range(100)]
        for sock in slow:
            sock.sendall(b"GET / HTTP/1.1\r\n")
        print(f"  ended in {service.terminate() * 1000:.0f} ms (target 2,000), exit code {service.proc.returncode}")
        for sock in slow:
            sock.close()
    finally:
        service.stop()
        if before:
            before.stop()
        subprocess.run(["nginx", "-c", str(work / "nginx.conf"), "-p", str(work), "-s", "stop"], check=False)
        time.sleep(0.5)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
