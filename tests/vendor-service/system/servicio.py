"""The real vendor service as a process, for the system tests and the
service benchmark: a data folder of its own, TLS with the test CA on a free
loopback port, and clients that speak to it as agents and strangers do."""

import contextlib
import http.client
import itertools
import json
import os
import sqlite3
import signal
import socket
import ssl
import subprocess
import tempfile
import time
from pathlib import Path
from typing import List, Optional

ROOT = Path(__file__).resolve().parents[3]
BUILD = Path(os.environ.get("TREVANTO_BUILD", ROOT / "build"))
PROGRAM = BUILD / "service" / "vendor-service" / "trevanto-servicio"
PKI = Path(os.environ.get("TREVANTO_CACHE", "/var/cache/trevanto")) / "pki"
API_KEY = "qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-"
CHECKIN = "/apis/trevanto/v1/checkin"
UPDATE_REPORT = "/apis/trevanto/v1/update-report"
DOCUMENT = b'{"titulo":"Novedades","alertas":[]}'
# A PostgreSQL server ("host=... port=... user=..."): each service then
# keeps its rows in a database of its own there instead of a SQLite file.
POSTGRES = os.environ.get("TREVANTO_TEST_POSTGRES", "")
_databases = itertools.count(1)


def is_postgres(store) -> bool:
    return isinstance(store, str) and ("host=" in store or "dbname=" in store)


def query(store, sql: str, *args) -> list:
    """Rows of one statement (with ? for its arguments) on a store: a SQLite file or a connection string."""
    if is_postgres(store):
        import psycopg2  # only the PostgreSQL runs need it
        with contextlib.closing(psycopg2.connect(store)) as connection:
            connection.autocommit = True
            with connection.cursor() as cursor:
                cursor.execute(sql.replace("?", "%s"), args)
                return [tuple(row) for row in cursor.fetchall()] if cursor.description else []
    with contextlib.closing(sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=30)) as connection:
        return connection.execute(sql, args).fetchall()


def write(store, sql: str, *args) -> None:
    """One statement that changes a store (a test preparing what a vendor's store would hold)."""
    if is_postgres(store):
        query(store, sql, *args)
        return
    with contextlib.closing(sqlite3.connect(str(store), timeout=30, isolation_level=None)) as connection:
        connection.execute(sql, args)


def new_database() -> str:
    """A fresh database on the PostgreSQL server, for one test's services."""
    name = f"sistema_{os.getpid()}_{next(_databases)}"
    admin(f"CREATE DATABASE {name}")
    return f"{POSTGRES} dbname={name}"


def drop_database(store: str) -> None:
    name = store.rsplit("dbname=", 1)[1]
    admin(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")


def admin(statement: str) -> None:
    import psycopg2
    with contextlib.closing(psycopg2.connect(f"{POSTGRES} dbname=postgres")) as connection:
        connection.autocommit = True
        with connection.cursor() as cursor:
            cursor.execute(statement)


def wait_for(condition, timeout: float = 30, interval: float = 0.05) -> bool:
    """Waits for a state (what a run left behind), never for a number of samples."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def tls_context() -> ssl.SSLContext:
    context = ssl.create_default_context(cafile=str(PKI / "ca.crt"))
    context.check_hostname = False
    return context


def checkin_body(host: str = "pc-1", version: str = "5.2.1.0") -> bytes:
    return json.dumps({"actualizador_version": "1.26.0803", "Programa": "MarvekMesalto", "Version": version,
                       "hostname": host, "windows_version": "10.0.19045",
                       "installed_path": "C:\\Marvek\\Marvek Mesalto\\mesalto.exe"}).encode()


def update_body(report_id: str, result: str = "OK") -> bytes:
    return json.dumps({"Programa": "MarvekMesalto", "version_anterior": "5.2.1.0", "version_nueva": "6.0.3.17",
                       "url_parche": "https://descargas.marvek.example/paquetes/p.zip", "resultado": result,
                       "codigo_error": 0, "mensaje_error": "", "paso_fallido": "", "duracion_segundos": 12,
                       "report_id": report_id}).encode()


class Servicio:
    """One service process. Stopped (SIGKILL if it must) by stop()."""

    def __init__(self, data: Optional[Path] = None, db: Optional[Path] = None, log: Optional[Path] = None) -> None:
        self.data = data or Path(tempfile.mkdtemp(prefix="trevanto_sistema_"))
        (self.data / "notificaciones").mkdir(parents=True, exist_ok=True)
        (self.data / "archivos" / "paquetes").mkdir(parents=True, exist_ok=True)
        (self.data / "notificaciones" / "default.json").write_bytes(DOCUMENT)
        # The store: given, or a SQLite file in the data folder, or a database
        # of its own when the tests run against PostgreSQL.
        self.own_database = db is None and bool(POSTGRES)
        self.db = db or (new_database() if self.own_database else self.data / "servicio.db")
        self.log_path = log or self.data.parent / (self.data.name + ".log")
        self.program = PROGRAM  # another build of the service, for a benchmark's side-by-side figures
        self.port = 0
        self.console_port = 0  # the console's address of its own, when started with panel="own"
        self.proc: Optional[subprocess.Popen] = None

    def start(self, *options: str, tls: bool = True, panel=True) -> "Servicio":
        """Started with `options`; the console beside the agents' routes unless `panel` is False (the
        service's own default keeps it off the agents' address), "own" (a port of its own, `console_port`)
        or the options place it."""
        self.port = free_port()
        args = [str(self.program), "serve", "--data", str(self.data), "--db", str(self.db), "--address", "127.0.0.1",
                "--port", str(self.port), "--log", str(self.log_path), "--hash-settle-ms", "0"]
        args += ["--cert", str(PKI / "server.crt"), "--key", str(PKI / "server.key")] if tls else ["--plain"]
        self.console_port = 0
        if panel == "own":
            self.console_port = free_port()
            args += ["--panel-port", str(self.console_port)]
        elif panel and "--panel-port" not in options:
            args.append("--panel-with-agents")
        self.proc = subprocess.Popen(args + list(options), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        earlier = len(self.log())  # a service started again appends to the same log
        while "event=listening" not in self.log()[earlier:] and time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"the service did not start: {self.proc.stderr.read().decode()}")
            time.sleep(0.02)
        return self

    def log(self) -> str:
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def log_lines(self, **fields: str) -> List[str]:
        """Request lines whose key=value fields include all of `fields`."""
        lines = []
        for line in self.log().splitlines():
            parsed = dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
            if all(parsed.get(k) == v for k, v in fields.items()):
                lines.append(line)
        return lines

    def rss_kib(self) -> int:
        for line in Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def connection(self, timeout: float = 10) -> http.client.HTTPSConnection:
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=tls_context())

    def console_connection(self, timeout: float = 10) -> http.client.HTTPSConnection:
        """To the console: on its own port when it has one, else beside the agents."""
        return http.client.HTTPSConnection("127.0.0.1", self.console_port or self.port, timeout=timeout,
                                           context=tls_context())

    def post(self, path: str, body: bytes, key: str = API_KEY, timeout: float = 10,
             connection: Optional[http.client.HTTPSConnection] = None):
        """(status, body, headers) of one POST; on a connection given, kept open."""
        own = connection is None
        conn = connection or self.connection(timeout)
        try:
            conn.request("POST", path, body=body, headers={"X-Api-Key": key, "Content-Type": "application/json"})
            answer = conn.getresponse()
            return answer.status, answer.read(), dict(answer.getheaders())
        finally:
            if own:
                conn.close()

    def get(self, path: str, headers: Optional[dict] = None, timeout: float = 10):
        conn = self.connection(timeout)
        try:
            conn.request("GET", path, headers=headers or {})
            answer = conn.getresponse()
            return answer.status, answer.read(), dict(answer.getheaders())
        finally:
            conn.close()

    def terminate(self, timeout: float = 30) -> float:
        """Sends SIGTERM; the seconds until the process had ended."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout)
        return time.monotonic() - start

    def query(self, sql: str, *args) -> list:
        return query(self.db, sql, *args)

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def raw_connection(port: int, timeout: float = 10) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return sock


def tls_socket(port: int, timeout: float = 10) -> ssl.SSLSocket:
    return tls_context().wrap_socket(raw_connection(port, timeout))


def percentile(values: List[float], fraction: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]
