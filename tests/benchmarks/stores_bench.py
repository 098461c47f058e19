"""The vendor service on SQLite and on PostgreSQL, side by side in one run.

Check-ins of 20,000 known installations (each has checked in once before),
each decided against a rollout that offers the release, at 1, 16 and 64
connections: one instance straight (TLS in the service), one and two
instances behind nginx (TLS in nginx), with the CPU each kind of process
spent per check-in. Each setup runs alone (with the database server) while
it is measured, and the setups take turns from round to round. Then every
console page (lists at their first and a far page, filtered, a CSV export)
over 100,000 installations and 1,000,000 stored update reports beside the
300 ms the console aims at, with the time each statement of the summary and
rollout pages takes in the store.

PostgreSQL runs as a vendor's server does (fsync on, synchronous commits);
SQLite as the service sets it up (WAL, synchronous=NORMAL: a commit is not
synced until the checkpoint). Figures only: nothing here passes or fails."""

import contextlib
import http.client
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "vendor-service" / "system"))
sys.path.insert(0, str(HERE.parent / "vendor-service" / "console"))
sys.path.insert(0, str(HERE))
import servicio  # noqa: E402
from balancer import start_front  # noqa: E402
from servicio import CHECKIN, PROGRAM, ROOT, Servicio, query  # noqa: E402
import service_bench  # noqa: E402
from service_bench import checkin_script, cpu_seconds, median, offer_to_everyone, table, wrk  # noqa: E402

ROUNDS = int(os.environ.get("TREVANTO_BENCH_ROUNDS", "3"))
CONNECTIONS = (1, 16, 64)
INSTALLATIONS = int(os.environ.get("TREVANTO_BENCH_INSTALLATIONS", "100000"))
REPORTS = int(os.environ.get("TREVANTO_BENCH_REPORTS", "1000000"))
OFFERED = INSTALLATIONS // 5  # rollout rows: the rollout page's funnel and list
PAGE_FETCHES = 7
WHAT = sys.argv[1] if len(sys.argv) > 1 else "all"  # or "checkins", or "console"
OPERATOR, PASSWORD = "medidor", "clave-del-medidor-2026"
SERVE_OPTIONS = ("--rate", "0", "--store-max-mb", "65536")
PICTURES = Path(os.environ.get("TREVANTO_BUILD", HERE.parents[1] / "build")) / "console" / "banco"
PAGE_TARGET_MS = 300  # the median the console aims at for every page over this fleet
# Every page of the console, as an operator reaches them.
PAGES = ("/panel/resumen", "/panel/despliegues", "/panel/despliegues/1", "/panel/despliegues/1?ventana=30d",
         "/panel/despliegues/1?instalaciones_pagina=300", "/panel/despliegues/nuevo?desde=1", "/panel/versiones",
         "/panel/versiones/1", "/panel/fallos", "/panel/fallos/instalaciones?despliegue=1&paso=COPIAR_EJECUTABLE&codigo=5",
         "/panel/instalaciones", "/panel/instalaciones?pagina=1500", "/panel/instalaciones?buscar=pc-4242",
         "/panel/instalaciones?producto=MarvekOlvo&windows=10.0.22631&orden=checkins", "/panel/instalaciones/inst-5",
         "/panel/registro", "/panel/avisos", "/panel/accesos", "/panel/api/instalaciones?por_pagina=500",
         "/panel/fallos?formato=csv")


# ---- the stores ------------------------------------------------------------------

def start_postgres(folder: Path) -> str:
    """A server in `folder`, syncing as a vendor's does; its connection string."""
    env = dict(os.environ, POSTGRES_OPTIONS="-c fsync=on -c full_page_writes=on -c shared_buffers=256MB")
    return subprocess.run(["bash", str(ROOT / "scripts" / "postgres.sh"), "start", str(folder)], env=env,
                          check=True, capture_output=True, text=True).stdout.strip()


def postgres_pids(folder: Path) -> List[str]:
    """The postmaster and every process it runs (the service's backends among them)."""
    master = (folder / "data" / "postmaster.pid").read_text().split()[0]
    return [master] + subprocess.run(["pgrep", "-P", master], capture_output=True, text=True).stdout.split()


def new_store(kind: str, data: Path):
    """A fresh store: a SQLite file in the data folder or a database of its own."""
    return servicio.new_database() if kind == "PostgreSQL" else data / "servicio.db"


def store_bytes(store) -> int:
    if servicio.is_postgres(store):
        return query(store, "SELECT pg_database_size(current_database())")[0][0]
    return sum(f.stat().st_size for f in Path(store).parent.glob(Path(store).name + "*"))


def run(*args: str, stdin: str = "") -> str:
    return subprocess.run([str(PROGRAM), *args], input=stdin, check=True, capture_output=True, text=True).stdout


# ---- check-ins ------------------------------------------------------------------

class Setup:
    """One way of serving check-ins: its store, its instances and, when there is one, nginx."""

    def __init__(self, work: Path, kind: str, instances: int, behind_nginx: bool, pg_folder: Path,
                 synchronous: bool = True) -> None:
        self.kind, self.count, self.behind_nginx, self.pg_folder = kind, instances, behind_nginx, pg_folder
        self.name = f"{kind} x{instances} {'nginx' if behind_nginx else 'straight'}" + \
            ("" if synchronous else " async")
        data = work / re.sub(r"\W+", "-", self.name)
        data.mkdir()
        self.first = Servicio(data=data, db=new_store(kind, data), log=work / f"{data.name}.log")
        if not synchronous:  # commits not waiting for their sync, as SQLite's do in WAL with synchronous=NORMAL
            database = str(self.first.db).rsplit("dbname=", 1)[1]
            servicio.admin(f"ALTER DATABASE {database} SET synchronous_commit = off")
        offer_to_everyone(data, "--db", str(self.first.db))
        self.nginx_folder = work / f"{data.name}-nginx"
        self.front = None
        self.instances: List[Servicio] = []
        self.port = 0

    def start(self) -> None:
        """Its processes, alone on the machine (but for the database server) while it is measured."""
        os.sync()  # what the earlier setups wrote goes out now, not under this one's writes
        if self.behind_nginx:
            self.front = start_front(Servicio, self.first, self.nginx_folder, *SERVE_OPTIONS, count=self.count)
            self.instances, self.port = self.front.instances, self.front.port
        else:
            self.instances, self.port = [self.first.start(*SERVE_OPTIONS)], self.first.port

    def groups(self) -> Dict[str, List[str]]:
        """Process ids by kind, for the CPU each spends."""
        pids = {"service": [str(s.proc.pid) for s in self.instances]}
        if self.kind == "PostgreSQL":
            pids["postgres"] = postgres_pids(self.pg_folder)
        if self.front:
            master = (self.front.work / "nginx.pid").read_text().strip()
            pids["nginx"] = [master] + subprocess.run(["pgrep", "-P", master], capture_output=True,
                                                      text=True).stdout.split()
        return pids

    def stored(self) -> int:
        return query(self.first.db, "SELECT COUNT(*) FROM checkins")[0][0]

    def stop(self) -> None:
        if self.front:
            self.front.stop()
        for instance in self.instances:
            instance.stop()


def live_cpu(pids: List[str]) -> float:
    return cpu_seconds([p for p in pids if Path(f"/proc/{p}").exists()])


def measure(setup: Setup, connections: int, script: Path) -> dict:
    groups = setup.groups()
    stored_before = setup.stored()
    before = {name: live_cpu(pids) for name, pids in groups.items()}
    figures = wrk(f"https://127.0.0.1:{setup.port}{CHECKIN}", connections, script)
    figures["cpu"] = {name: live_cpu(pids) - before[name] for name, pids in groups.items()}
    # The store's writer commits in batches: wait for the last ones before counting.
    deadline = time.monotonic() + 30
    while setup.stored() - stored_before < figures["requests"] * 0.99 and time.monotonic() < deadline:
        time.sleep(0.2)
    figures["stored"] = setup.stored() - stored_before
    return figures


def checkins(work: Path, pg_folder: Path) -> None:
    script = checkin_script(work / "checkin.lua", "MarvekMesalto")
    setups = [Setup(work, kind, count, nginx, pg_folder, synchronous)
              for kind, count, nginx, synchronous in (
                  ("SQLite", 1, False, True), ("SQLite", 1, True, True), ("PostgreSQL", 1, False, True),
                  ("PostgreSQL", 1, False, False), ("PostgreSQL", 1, True, True), ("PostgreSQL", 2, True, True))]
    try:
        results: Dict[Tuple[str, int], List[dict]] = {}
        for r in range(ROUNDS):
            turn = r % len(setups)
            for setup in setups[turn:] + setups[:turn]:
                setup.start()
                try:
                    if r == 0:
                        # Every installation checks in once before the rounds: they
                        # measure a fleet the service knows, as most check-ins are.
                        measure(setup, 16, script)
                    for c in CONNECTIONS:
                        results.setdefault((setup.name, c), []).append(measure(setup, c, script))
                finally:
                    setup.stop()
        print("\n== Check-ins, each one offered the release by a rollout (wrk, keep-alive TLS): "
              "req/s, p50 and p99 in ms, CPU ms per check-in")
        rows = []
        for c in CONNECTIONS:
            for setup in setups:
                runs = results[(setup.name, c)]
                per = {}
                for group in ("service", "postgres", "nginx"):
                    spent = [x["cpu"][group] * 1000 / max(x["requests"], 1) for x in runs if group in x["cpu"]]
                    per[group] = f"{median(spent):.3f}" if spent else "-"
                rows.append([setup.name, c, f"{median([x['rps'] for x in runs]):,.0f}",
                             f"{median([x['p50'] for x in runs]):.2f}", f"{median([x['p99'] for x in runs]):.2f}",
                             sum(x["errors"] for x in runs), per["service"], per["postgres"], per["nginx"],
                             f"{sum(x['stored'] for x in runs) / max(sum(x['requests'] for x in runs), 1):.3f}"])
        table(rows, ["setup", "connections", "req/s", "p50", "p99", "non-2xx", "cpu service", "cpu postgres",
                     "cpu nginx", "stored/answered"])
        print("  (2 cores in all: wrk itself takes its share; 'async' is PostgreSQL with synchronous_commit off, "
              "syncing as SQLite does here; 'stored/answered' is rows in checkins over the answers wrk counted)")
    finally:
        for setup in setups:
            setup.stop()
            if servicio.is_postgres(setup.first.db):
                servicio.drop_database(setup.first.db)


# ---- the console over a large fleet ----------------------------------------------------

def series(store, count: int) -> str:
    """A row source of i = 0 .. count - 1 in the store's dialect."""
    if servicio.is_postgres(store):
        return f"generate_series(0, {count - 1}) AS g(i)"
    return f"(WITH RECURSIVE g(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM g WHERE i < {count - 1}) SELECT i FROM g)"


def fill(store, now: int) -> None:
    """100,000 installations of five products, seen over 35 days; 1,000,000
    update reports, a tenth failed, half of them linked to the rollout; a
    fifth of the fleet offered the rollout's release, in every funnel state."""
    day = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now - 86400))
    body = json.dumps({"Programa": "MarvekMesalto", "version_anterior": "5.2.1.0", "version_nueva": "6.0.3.17",
                       "url_parche": "https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip?o=x",
                       "resultado": "OK", "codigo_error": 0, "mensaje_error": "", "paso_fallido": "",
                       "duracion_segundos": 30, "report_id": "00000000-0000-4000-8000-000000000000"})
    blob = f"convert_to('{body}', 'UTF8')" if servicio.is_postgres(store) else f"CAST('{body}' AS BLOB)"
    statements = [
        "INSERT INTO installations (id, product, hostname, installed_path, client_address, program_version,"
        " agent_version, windows_version, first_seen, last_seen, last_seen_unix, checkins)"
        " SELECT 'inst-' || CAST(i AS TEXT),"
        " CASE i % 5 WHEN 0 THEN 'MarvekMesalto' WHEN 1 THEN 'MarvekQuindel' WHEN 2 THEN 'MarvekOlvo'"
        " WHEN 3 THEN 'MarvekForjano' ELSE 'MarvekTijeral' END,"
        " 'pc-' || CAST(i AS TEXT), 'C:\\Marvek\\programa.exe', '10.1.' || CAST(i % 250 AS TEXT) || '.7',"
        " CASE i % 3 WHEN 0 THEN '5.2.1.0' WHEN 1 THEN '5.1.0.0' ELSE '6.0.3.17' END,"
        " CASE i % 4 WHEN 0 THEN '1.26.0803' ELSE '1.25.1101' END,"
        " CASE i % 3 WHEN 0 THEN '10.0.19045' WHEN 1 THEN '10.0.22631' ELSE '6.1.7601' END,"
        f" '{day}', '{day}', {now} - (i * 31) % 3024000, 1 + i % 40 FROM {series(store, INSTALLATIONS)}",
        "INSERT INTO update_reports (received_at, client_address, raw_body, \"Programa\", version_anterior,"
        " version_nueva, url_parche, resultado, codigo_error, mensaje_error, paso_fallido, duracion_segundos,"
        " report_id, installation_id, rollout_id)"
        f" SELECT '{day}', '10.1.0.7', {blob}, 'MarvekMesalto', '5.2.1.0', '6.0.3.17',"
        " 'https://descargas.marvek.example/paquetes/mesalto_6.0.3.17.zip',"
        " CASE WHEN i % 10 = 0 THEN 'DESCARGA_FALLIDA' ELSE 'OK' END, CASE WHEN i % 10 = 0 THEN 12029 ELSE 0 END,"
        " '', CASE WHEN i % 10 = 0 THEN 'DESCARGAR' ELSE '' END, 30, 'r-' || CAST(i AS TEXT),"
        f" 'inst-' || CAST(i % {INSTALLATIONS} AS TEXT), CASE WHEN i % 2 = 0 THEN 1 ELSE NULL END"
        f" FROM {series(store, REPORTS)}",
        "INSERT INTO rollout_installations (rollout_id, installation_id, stage, place, first_offered_at,"
        " last_offered_at, offers, download_started_at, download_completed_at, outcomes, failures, last_result,"
        " last_step, last_code, last_outcome_at, last_outcome_unix, ok_at, ok_ms, confirmed_at)"
        f" SELECT 1, 'inst-' || CAST(i * 5 AS TEXT), 0, (i % 100) + 0.5, '{day}', '{day}', 1,"
        f" CASE WHEN i % 8 > 0 THEN '{day}' END, CASE WHEN i % 8 > 1 THEN '{day}' END,"
        " CASE WHEN i % 8 > 2 THEN 1 ELSE 0 END, CASE WHEN i % 8 = 3 THEN 1 ELSE 0 END,"
        " CASE WHEN i % 8 = 3 THEN 'INSTALACION_FALLIDA' WHEN i % 8 > 3 THEN 'OK' END,"
        " CASE WHEN i % 8 = 3 THEN 'COPIAR_EJECUTABLE' END, CASE WHEN i % 8 = 3 THEN 5 END,"
        f" CASE WHEN i % 8 > 2 THEN '{day}' END, CASE WHEN i % 8 > 2 THEN {now} - 86400 ELSE 0 END,"
        f" CASE WHEN i % 8 > 3 THEN '{day}' END, CASE WHEN i % 8 > 3 THEN 1000 ELSE 0 END,"
        f" CASE WHEN i % 8 > 4 THEN '{day}' END FROM {series(store, OFFERED)}",
        # What the writer counts as it stores each report: the rollout's outcomes per hour (rising over 30
        # days to twice the mean, a tenth failed but for a 60-hour spell of 40 %) and failures by step.
        "INSERT INTO rollout_hours (rollout_id, hour, outcomes, failures, oks)"
        f" SELECT 1, {now} / 3600 - i, o, f, o - f FROM (SELECT i, o, o * CASE WHEN i BETWEEN 200 AND 259 THEN 4"
        f" ELSE 1 END / 10 AS f FROM (SELECT i, {REPORTS // 1440} * (720 - i) / 360 AS o"
        f" FROM {series(store, 720)}) AS a) AS b",
        "INSERT INTO rollout_failure_groups (rollout_id, step, code, reports, first_at, last_at, message)"
        f" VALUES (1, 'DESCARGAR', 12029, {REPORTS // 20}, '{day}', '{day}', 'tiempo de espera agotado'),"
        f" (1, 'COPIAR_EJECUTABLE', 5, {OFFERED // 8}, '{day}', '{day}', 'acceso denegado')",
    ]
    if servicio.is_postgres(store):
        import psycopg2
        with contextlib.closing(psycopg2.connect(store)) as connection:
            with connection, connection.cursor() as cursor:
                for statement in statements:
                    cursor.execute(statement)  # no arguments: "%" is sent as it stands
            connection.autocommit = True
            connection.cursor().execute("VACUUM ANALYZE")
    else:
        with contextlib.closing(sqlite3.connect(store)) as connection:
            with connection:
                for statement in statements:
                    connection.execute(statement)
            connection.execute("ANALYZE")


def logged_in(port: int) -> Tuple[http.client.HTTPSConnection, str]:
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=300, context=servicio.tls_context())
    conn.request("POST", "/panel/api/entrar", body=json.dumps({"usuario": OPERATOR, "clave": PASSWORD}),
                 headers={"Content-Type": "application/json"})
    answer = conn.getresponse()
    answer.read()
    assert answer.status == 200, answer.status
    return conn, answer.getheader("Set-Cookie").split(";", 1)[0]


def page_ms(conn: http.client.HTTPSConnection, cookie: str, path: str) -> Tuple[float, int]:
    start = time.monotonic()
    conn.request("GET", path, headers={"Cookie": cookie})
    answer = conn.getresponse()
    size = len(answer.read())
    assert answer.status == 200, (path, answer.status)
    return (time.monotonic() - start) * 1000, size


STATEMENT = re.compile(r"\[(\d+)\] LOG:  duration: ([\d.]+) ms  (?:parse|bind|execute) [^:]*: (.*)$")
PARAMETERS = re.compile(r"\[(\d+)\] DETAIL:  parameters: (.*)$")


def postgres_statements(log: str, background: set) -> List[Tuple[str, float, list]]:
    """(statement, ms in parse, bind and execute, parameters) of each statement the server logged,
    but for those of the background's connections (the writer's, the rate limits' exchange)."""
    found: Dict[str, list] = {}
    last = {}
    for line in log.splitlines():
        if (m := STATEMENT.search(line)) and m.group(1) not in background:
            last[m.group(1)] = found.setdefault(m.group(3), [m.group(3), 0.0, []])
            last[m.group(1)][1] += float(m.group(2))
        elif (m := PARAMETERS.search(line)) and m.group(1) in last:
            last[m.group(1)][2] = [v.strip("'") for v in re.findall(r"\$\d+ = ('(?:[^']|'')*'|NULL)", m.group(2))]
    return [tuple(x) for x in found.values()]


def sqlite_ms(path: Path, sql: str, parameters: list) -> float:
    """The statement as the page ran it on PostgreSQL, run on the SQLite file (Python's SQLite)."""
    if not sql.lstrip().upper().startswith("SELECT"):
        return float("nan")  # what the page writes (its session) is not replayed
    with contextlib.closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as connection:
        values = [int(v) if re.fullmatch(r"-?\d+", v) else v for v in parameters]
        start = time.monotonic()
        try:
            connection.execute(re.sub(r"\$(\d+)", r"?\1", sql), values).fetchall()
        except sqlite3.Error as error:
            print(f"  (not replayed on SQLite: {error}: {sql})")
            return float("nan")
        return (time.monotonic() - start) * 1000


def pictures(port: int) -> None:
    """The rollout's page (down to its list of installations) and its release's health over this store, as an
    operator sees them in a window 1,366 pixels wide."""
    from chromium import headless_chromium, log_in
    base = f"https://127.0.0.1:{port}"
    PICTURES.mkdir(parents=True, exist_ok=True)
    with headless_chromium() as driver:
        log_in(driver, base, OPERATOR, PASSWORD)
        for path, name, height in (("/panel/despliegues/1?ventana=30d", "consola_despliegue", 1800),
                                   ("/panel/versiones/1?ventana=30d", "consola_version", 1400)):
            driver.set_window_size(1366, height)
            driver.get(base + path)
            driver.save_screenshot(str(PICTURES / f"{name}.png"))
    print(f"pictures of the rollout's page and its release's health: {PICTURES}")


def console(work: Path, pg_folder: Path) -> None:
    print(f"\n== The console over {INSTALLATIONS:,} installations and {REPORTS:,} update reports "
          f"({OFFERED:,} offered the rollout's release); median of {PAGE_FETCHES} fetches on one connection, ms")
    now = int(time.time())
    stores, rows, statements = {}, [], {}
    for kind in ("SQLite", "PostgreSQL"):
        data = work / f"consola-{kind}"
        data.mkdir()
        service = Servicio(data=data, db=new_store(kind, data), log=work / f"consola-{kind}.log")
        stores[kind] = service.db
        offer_to_everyone(data, "--db", str(service.db))
        run("operator", "add", "--data", str(data), "--db", str(service.db), "--name", OPERATOR, stdin=PASSWORD + "\n")
        start = time.monotonic()
        fill(service.db, now)
        filled = time.monotonic() - start
        service.start(*SERVE_OPTIONS)
        try:
            conn, cookie = logged_in(service.port)
            for path in PAGES:
                page_ms(conn, cookie, path)  # the first fetch warms the caches
                times = [page_ms(conn, cookie, path) for _ in range(PAGE_FETCHES)]
                middle = median([t for t, _ in times])
                rows.append([kind, path, f"{middle:.1f}", f"{min(t for t, _ in times):.1f}", str(PAGE_TARGET_MS),
                             "yes" if middle <= PAGE_TARGET_MS else "NO", f"{times[0][1]:,}",
                             f"{store_bytes(service.db) / 2**20:,.0f}", f"{filled:.0f}"])
            if kind == "SQLite":
                pictures(service.port)
            if kind == "PostgreSQL":
                statements = traced_statements(pg_folder, conn, cookie)
            conn.close()
        finally:
            service.stop()
    table(rows, ["store", "page", "median", "best", "target", "within", "bytes", "store MiB", "s to fill"])

    print("\n== Where a page's time goes: each statement it ran, in ms (PostgreSQL: the server's own "
          "log_min_duration_statement figures, parse + bind + execute; SQLite: the same statement with the same "
          "parameters on the SQLite file through Python's SQLite)")
    for path, traced in statements.items():
        spent = sum(ms for _, ms, _ in traced["statements"])
        print(f"  {path}: page {traced['page']:.1f} ms on PostgreSQL, {spent:.1f} ms of it in the statements below")
        lines = []
        for sql, ms, parameters in sorted(traced["statements"], key=lambda s: -s[1]):
            replayed = sqlite_ms(stores["SQLite"], sql, parameters)
            lines.append([f"{ms:.2f}", "-" if replayed != replayed else f"{replayed:.2f}",
                          (sql[:96] + "...") if len(sql) > 99 else sql])
        table(lines, ["postgres", "sqlite", "statement"])
    for kind in ("PostgreSQL",):
        servicio.drop_database(stores[kind])


def traced_statements(pg_folder: Path, conn, cookie: str) -> Dict[str, dict]:
    """Each page fetched once more with every statement's duration logged by the server. The
    connections that log statements while no page is asked for are the background's."""
    log = pg_folder / "server.log"
    servicio.admin("ALTER SYSTEM SET log_min_duration_statement = 0")
    servicio.admin("SELECT pg_reload_conf()")
    traced = {}

    def logged_during(action) -> str:
        offset = log.stat().st_size
        result = action()
        time.sleep(0.3)  # the server writes its log lines as it goes
        with open(log, errors="replace") as text:
            text.seek(offset)
            return result, text.read()

    try:
        _, quiet = logged_during(lambda: time.sleep(3))
        background = set(re.findall(r"\[(\d+)\] LOG:  duration", quiet))
        for path in ("/panel/resumen", "/panel/despliegues/1"):
            (page, _), lines = logged_during(lambda: page_ms(conn, cookie, path))
            traced[path] = {"page": page, "statements": postgres_statements(lines, background)}
    finally:
        servicio.admin("ALTER SYSTEM RESET log_min_duration_statement")
        servicio.admin("SELECT pg_reload_conf()")
    return traced


def main() -> None:
    work = Path(tempfile.mkdtemp(prefix="trevanto_bench_stores_"))
    work.chmod(0o755)
    pg_folder = work / "postgres"
    servicio.POSTGRES = start_postgres(pg_folder)
    try:
        version = query(f"{servicio.POSTGRES} dbname=postgres", "SHOW server_version")[0][0]
        print(f"load average at start: {open('/proc/loadavg').read().split()[:3]}; {os.cpu_count()} cores; "
              f"PostgreSQL {version}, SQLite {sqlite3.sqlite_version} (Python's, for the statement replay); "
              f"{service_bench.SECONDS} s per wrk run, median of {ROUNDS} rounds, "
              "setups alternated")
        if WHAT in ("all", "checkins"):
            checkins(work, pg_folder)
        if WHAT in ("all", "console"):
            console(work, pg_folder)
    finally:
        subprocess.run(["bash", str(ROOT / "scripts" / "postgres.sh"), "stop", str(pg_folder)], check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
