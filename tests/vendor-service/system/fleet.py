"""A fleet of simulated installations against the real vendor service, no
Wine: each installation checks in, and when its answer offers the release it
fetches the package through the offer's address, fails at a step or not (a
rate per step, decided once per installation, so the same machine fails the
same way every time), reports the outcome, and after an OK checks in again
on the new version. The fleet is spread over networks (each installation
speaks from 127.1.N.7, its network's /24: loopback stands for the
internet), and checks in once before the rollout starts, as a vendor's
fleet does: outcomes count only from installations the service knew
before. A handful of threads drive the fleet in rounds (every installation
checks in once per round, in the same order, over its network's keep-alive
connection) until the rollout has stopped offering.

The service's secret is written into the data folder before it starts, so
every installation id, and so every place in the rollout, is known ahead:
the tests compute who belongs to which stage from the same rules.

As a program it runs a healthy release, one failing to install and one whose
program does not start, at a larger scale
and prints the figures (TREVANTO_FLEET_SIZE, default 10,000)."""

import calendar
import hashlib
import hmac
import http.client
import json
import os
import random
import re
import shutil
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
from servicio import API_KEY, CHECKIN, PROGRAM, UPDATE_REPORT, Servicio, query, tls_context  # noqa: E402

PRODUCT = "MarvekMesalto"
OLD_VERSION = "5.2.1.0"
NEW_VERSION = "6.0.3.17"
PACKAGE = "paquetes/mesalto_6.0.3.17.zip"
PACKAGE_BYTES = 16 * 1024
STAGES = (1, 10, 50, 100)
# secreto.key: the service signs installation ids and offer tokens with it.
SECRET = "flota-simulada-trevanto-3f9c2a7d41be86050d7e"
OPERATOR = "simulador"
OPERATOR_PASSWORD = "clave-del-simulador-2026"
API_HOST = "api.marvek.example"
DOWNLOAD_HOST = "descargas.marvek.example"
WINDOWS_VERSIONS = ("10.0.19045", "10.0.22631", "6.1.7601")
AGENT_VERSION = "1.26.0803"
NETWORKS = 256  # installation i speaks from 127.1.(i % NETWORKS).7
# An agent that put a program back checks in again only at its next start,
# after it watched the previous program for 30 s. Scaled down here, yet still
# well above the second in which every instance of the service reloads its
# rollouts from the store (a report taken by one instance is known to the
# others within it).
AFTER_PUT_BACK_S = 2.5

# Rollout states, as the service stores them.
RUNNING, HALTED, FINISHED = "EN_CURSO", "DETENIDO", "TERMINADO"


@dataclass(frozen=True)
class Step:
    """A step of the agent's update run, and what it reports when the step fails."""
    name: str  # "paso_fallido"
    result: str  # "resultado"
    code: int  # "codigo_error"
    message: str  # "mensaje_error"


# The update worker's steps for a ZIP package, in the order it runs them.
STEPS = (
    Step("DESCARGA", "DESCARGA_FALLIDA", 12002, "DownloadUrlBytes_URL fallo"),  # the transfer is cut
    Step("VERIFICAR_HASH", "DESCARGA_FALLIDA", 13, "hash del paquete no coincide"),
    Step("GUARDAR_DISCO", "DESCARGA_FALLIDA", 112, "SaveBytesToFile fallo"),
    Step("UNZIP_7ZA", "DESCOMPRESION_FALLIDA", 2, "7za unzip fallo"),
    Step("MOVER_EXE_NUEVO", "INSTALACION_FALLIDA", 5, "MoveFileWithRetry fallo"),
    # Installed and reported OK, but the new program ends at once (an access
    # violation): the agent puts the previous one back and reports again.
    Step("ARRANQUE", "ARRANQUE_FALLIDO", -1073741819, "el programa nuevo no arranca"),
)
STEP_BY_NAME = {step.name: step for step in STEPS}


# ---- the service's rules, computed here from the same definitions -----------

def installation_id(product: str, hostname: str, installed_path: str, secret: str = SECRET) -> str:
    """HMAC-SHA256 of the product key, host name and path (both lower case), 32 hex digits."""
    text = "instalacion\n" + product + "\n" + hostname.lower() + "\n" + installed_path.lower()
    return hmac.new(secret.encode(), text.encode(), hashlib.sha256).hexdigest()[:32]


def place_in_rollout(installation: str, release_id: int) -> float:
    """A stable number in [0, 100): the first 8 bytes of SHA-256(id:release), modulo 10^6, over 10^4."""
    digest = hashlib.sha256(f"{installation}:{release_id}".encode()).digest()
    return (int.from_bytes(digest[:8], "big") % 1000000) / 10000.0


def stage_of(place: float, stages=STAGES) -> int:
    """The first stage whose percentage is above the place."""
    for index, percent in enumerate(stages):
        if place < percent:
            return index
    return len(stages) - 1


def failing_step(seed: str, hostname: str, rates: Dict[str, float]) -> Optional[str]:
    """The step at which this installation fails (each step drawn once, in the worker's order), or None."""
    for step in STEPS:
        rate = rates.get(step.name, 0.0)
        digest = hashlib.sha256(f"{seed}\n{hostname}\n{step.name}".encode()).digest()
        if int.from_bytes(digest[:8], "big") / 2**64 < rate:
            return step.name
    return None


# ---- the fleet ----------------------------------------------------------------

@dataclass
class Installation:
    index: int
    hostname: str
    installed_path: str
    windows_version: str
    id: str
    place: float
    fails_at: Optional[str]
    version: str = OLD_VERSION
    attempts: int = 0

    @property
    def network(self) -> int:
        return self.index % NETWORKS

    @property
    def address(self) -> str:
        return network_address(self.network)


def network_address(network: int) -> str:
    """The address the fleet's installations in a network speak from: one /24 each."""
    return f"127.1.{network}.7"


def make_fleet(size: int, seed: str, rates: Dict[str, float], release_id: int = 1) -> List[Installation]:
    fleet = []
    for index in range(size):
        hostname = f"OFICINA-{index:05d}"
        path = f"C:\\Marvek\\Sucursal {index:05d}\\Marvek Mesalto\\mesalto.exe"
        ident = installation_id(PRODUCT, hostname, path)
        fleet.append(Installation(index, hostname, path, WINDOWS_VERSIONS[index % len(WINDOWS_VERSIONS)], ident,
                                  place_in_rollout(ident, release_id), failing_step(seed, hostname, rates)))
    return fleet


@dataclass
class Plan:
    """One simulated rollout: the fleet's failures and the rollout's settings (by default the tests'
    2,000 installations, whose first stage has 18)."""
    size: int = 2000
    seed: str = "flota"
    rates: Dict[str, float] = field(default_factory=dict)  # step name -> share of installations failing there
    threads: int = 4
    max_rounds: int = 20
    min_outcomes: int = 17
    max_failure_percent: int = 20
    soak_seconds: int = 1
    retry_hours: int = 0
    max_attempts: int = 3

    def rollout_options(self) -> List[str]:
        return ["--replaces", OLD_VERSION, "--stages", ",".join(str(s) for s in STAGES),
                "--min-outcomes", str(self.min_outcomes), "--max-failure-percent", str(self.max_failure_percent),
                "--soak-seconds", str(self.soak_seconds), "--retry-hours", str(self.retry_hours),
                "--max-attempts", str(self.max_attempts)]


# ---- the service, prepared ---------------------------------------------------------

def package_bytes(seed: str) -> bytes:
    return random.Random(seed).randbytes(PACKAGE_BYTES)


def command(*args: str, stdin: str = "") -> str:
    """An operator command's standard output; raises with its error on a non-zero exit."""
    done = subprocess.run([str(PROGRAM), *args], input=stdin, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args[:2])} ended with {done.returncode}: {done.stderr.strip()}")
    return done.stdout


def prepare(service: Servicio, plan: Plan) -> int:
    """Secret, package, release and an operator, before the service starts: the release's id."""
    (service.data / "secreto.key").write_text(SECRET + "\n")
    (service.data / "archivos" / PACKAGE).write_bytes(package_bytes(plan.seed))
    data = ["--data", str(service.data), "--db", str(service.db)]
    release = command("release", "add", *data, "--product", PRODUCT, "--version", NEW_VERSION, "--file", PACKAGE)
    command("operator", "add", *data, "--name", OPERATOR, stdin=OPERATOR_PASSWORD + "\n")
    return int(re.match(r"release (\d+) ", release).group(1))


def start_rollout(service: Servicio, plan: Plan, release_id: int) -> int:
    """The rollout of the release, started by the operator's command: its id."""
    data = ["--data", str(service.data), "--db", str(service.db)]
    rollout = command("rollout", "start", *data, "--release", str(release_id), *plan.rollout_options())
    return int(re.match(r"rollout (\d+) EN_CURSO ", rollout).group(1))


# ---- one simulated agent's connection ---------------------------------------------

class AgentConnection:
    """A keep-alive connection, opened again when the service has closed it."""

    def __init__(self, port: int, source_address: Optional[Tuple[str, int]] = None) -> None:
        self.port = port
        self.source_address = source_address  # the address to connect from, when not the kernel's choice
        self.conn: Optional[http.client.HTTPSConnection] = None
        self.context = tls_context()
        self.requests = 0  # answered

    def request(self, method: str, target: str, host: str, body: Optional[bytes] = None,
                headers: Optional[dict] = None) -> Tuple[int, bytes]:
        sent = {"Host": host, **(headers or {})}
        if body is not None:
            sent.update({"X-Api-Key": API_KEY, "Content-Type": "application/json"})
        for attempt in range(2):
            reused = self.conn is not None
            if self.conn is None:
                self.conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=60, context=self.context,
                                                        source_address=self.source_address)
            try:
                self.conn.request(method, target, body=body, headers=sent)
                answer = self.conn.getresponse()
                data = answer.read()
                if answer.will_close:
                    self.close()
                self.requests += 1
                return answer.status, data
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError, ssl.SSLEOFError):
                self.close()
                # A connection the service closed while it stood idle: the request never arrived.
                if not reused or attempt == 1:
                    raise
        raise AssertionError("unreachable")

    def close(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None


def checkin_body(installation: Installation) -> bytes:
    return json.dumps({"actualizador_version": AGENT_VERSION, "Programa": PRODUCT, "Version": installation.version,
                       "hostname": installation.hostname, "windows_version": installation.windows_version,
                       "installed_path": installation.installed_path}).encode()


def report_body(installation: Installation, url: str, step: Optional[Step], second: bool = False) -> bytes:
    """The report of an update run (`step` None: OK); `second`, the one after
    a failed start that follows its OK, with an id of its own."""
    report_id = hashlib.sha256(f"{installation.id}:{installation.attempts}:{second}".encode()).hexdigest()
    report_id = "-".join((report_id[:8], report_id[8:12], report_id[12:16], report_id[16:20], report_id[20:32]))
    return json.dumps({"Programa": PRODUCT, "version_anterior": OLD_VERSION,
                       "version_nueva": NEW_VERSION if step is None else "", "url_parche": url,
                       "resultado": "OK" if step is None else step.result,
                       "codigo_error": 0 if step is None else step.code,
                       "mensaje_error": "" if step is None else step.message,
                       "paso_fallido": "" if step is None else step.name, "duracion_segundos": 12,
                       "report_id": report_id}, separators=(",", ":")).encode()


def offer_in(document: dict) -> Optional[Tuple[str, str]]:
    """(address, sha256) of the update offer item of a check-in answer, or None."""
    for value in document.values():
        for item in value if isinstance(value, list) else ():
            if isinstance(item, dict) and item.get("tipo") == "url_actualizar":
                cell = item["contenido"][0]
                return cell["enlace"], cell.get("sha256", "")
    return None


# ---- a run --------------------------------------------------------------------------

@dataclass
class RoundFigures:
    number: int
    stage: int = 0  # the rollout's stage and status when the round had ended
    status: str = ""
    offers: int = 0
    downloads: int = 0  # whole packages fetched
    cut: int = 0  # transfers cut short (a failure at "DESCARGA")
    ok: int = 0
    failed: int = 0
    failed_starts: int = 0  # of the failed: installed (OK reported), then the program did not start
    confirmed: int = 0  # in the store when the round had ended, all rounds so far
    requests: int = 0
    seconds: float = 0.0


@dataclass
class Figures:
    plan: Plan
    rollout_id: int
    rounds: List[RoundFigures] = field(default_factory=list)
    status: str = ""
    stage: int = 0
    reason: str = ""
    events: List[Tuple[str, str, str]] = field(default_factory=list)  # (at, event, detail)
    funnel: List[dict] = field(default_factory=list)  # per stage, read from the store
    offer_times: List[float] = field(default_factory=list)  # Unix time of each offer's answer
    errors: List[str] = field(default_factory=list)  # what the simulated agents could not do

    def offers_after(self, unix_second: int) -> int:
        """Offers answered after the end of that second."""
        return sum(1 for at in self.offer_times if at >= unix_second + 1)


class Tally:
    def __init__(self, number: int) -> None:
        self.lock = threading.Lock()
        self.figures = RoundFigures(number)
        self.offer_times: List[float] = []
        self.errors: List[str] = []

    def add(self, name: str, at: Optional[float] = None) -> None:
        with self.lock:
            setattr(self.figures, name, getattr(self.figures, name) + 1)
            if at is not None:
                self.offer_times.append(at)

    def error(self, text: str) -> None:
        with self.lock:
            self.errors.append(text)


def visit(connection: AgentConnection, installation: Installation, package_sha256: str, tally: Tally) -> None:
    """One installation's turn in a round: check in, and take an offer to its end."""
    status, body = connection.request("POST", CHECKIN, API_HOST, checkin_body(installation))
    if status != 200:
        return tally.error(f"{installation.hostname}: check-in answered {status}")
    offer = offer_in(json.loads(body))
    if offer is None:
        return
    tally.add("offers", time.time())
    url, sha256 = offer
    installation.attempts += 1
    if sha256 != package_sha256:
        tally.error(f"{installation.hostname}: offered sha256 {sha256!r}")
    address = urllib.parse.urlsplit(url)
    if (address.scheme, address.netloc) != ("https", DOWNLOAD_HOST):
        return tally.error(f"{installation.hostname}: offered {url!r}")
    target = f"{address.path}?{address.query}"
    step = STEP_BY_NAME.get(installation.fails_at or "")
    if step is not None and step.name == "DESCARGA":
        # The transfer breaks off after its first half.
        status, data = connection.request("GET", target, DOWNLOAD_HOST,
                                          headers={"Range": f"bytes=0-{PACKAGE_BYTES // 2 - 1}"})
        if status != 206 or len(data) != PACKAGE_BYTES // 2:
            tally.error(f"{installation.hostname}: partial download answered {status} with {len(data)} bytes")
        tally.add("cut")
    else:
        status, data = connection.request("GET", target, DOWNLOAD_HOST)
        if status != 200 or hashlib.sha256(data).hexdigest() != sha256:
            tally.error(f"{installation.hostname}: download answered {status}, {len(data)} bytes not matching")
        tally.add("downloads")
    failed_start = step is not None and step.name == "ARRANQUE"
    status, answer = connection.request("POST", UPDATE_REPORT, API_HOST,
                                        report_body(installation, url, None if failed_start else step))
    if status != 200:
        return tally.error(f"{installation.hostname}: report answered {status} {answer[:100]!r}")
    if failed_start:
        status, answer = connection.request("POST", UPDATE_REPORT, API_HOST,
                                            report_body(installation, url, step, second=True))
        if status != 200:
            return tally.error(f"{installation.hostname}: second report answered {status} {answer[:100]!r}")
        # The previous program is back: the release is never offered to it again.
        time.sleep(AFTER_PUT_BACK_S)
        status, body = connection.request("POST", CHECKIN, API_HOST, checkin_body(installation))
        if status != 200 or offer_in(json.loads(body)) is not None:
            tally.error(f"{installation.hostname}: offered again after its failed start ({status})")
        tally.add("failed_starts")
        return tally.add("failed")
    if step is not None:
        return tally.add("failed")
    tally.add("ok")
    installation.version = NEW_VERSION
    status, body = connection.request("POST", CHECKIN, API_HOST, checkin_body(installation))
    if status != 200:
        tally.error(f"{installation.hostname}: check-in after the update answered {status}")
    elif offer_in(json.loads(body)) is not None:
        tally.error(f"{installation.hostname}: offered the release again on its version")


class Connections:
    """One keep-alive connection per network, each used by one thread at a time."""

    def __init__(self, port: int) -> None:
        self.pool = [AgentConnection(port, (network_address(n), 0)) for n in range(NETWORKS)]
        self.locks = [threading.Lock() for _ in range(NETWORKS)]

    def requests(self) -> int:
        return sum(c.requests for c in self.pool)

    def close(self) -> None:
        for connection in self.pool:
            connection.close()


def run_round(connections: Connections, fleet: List[Installation], package_sha256: str, number: int,
              threads: int, turn=visit) -> Tally:
    """Every installation's turn, in the fleet's order, over `threads` threads."""
    tally = Tally(number)
    cursor = iter(fleet)
    cursor_lock = threading.Lock()

    def work() -> None:
        while True:
            with cursor_lock:
                installation = next(cursor, None)
            if installation is None:
                return
            connection = connections.pool[installation.network]
            with connections.locks[installation.network]:
                try:
                    turn(connection, installation, package_sha256, tally)
                except Exception as problem:  # noqa: BLE001 - whatever it was, the fleet goes on and it is told
                    connection.close()
                    tally.error(f"{installation.hostname}: {type(problem).__name__}: {problem}")

    start = time.monotonic()
    answered = connections.requests()
    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    tally.figures.seconds = time.monotonic() - start
    tally.figures.requests = connections.requests() - answered
    return tally


def check_in_only(connection: AgentConnection, installation: Installation, package_sha256: str, tally: Tally) -> None:
    """The fleet as it was before the rollout: a check-in, answered with no offer."""
    status, body = connection.request("POST", CHECKIN, API_HOST, checkin_body(installation))
    if status != 200 or offer_in(json.loads(body)) is not None:
        tally.error(f"{installation.hostname}: check-in before the rollout answered {status}")


# ---- what the store says (read only) -------------------------------------------------

def read_store(db, sql: str, *args) -> list:
    return query(db, sql, *args)


def rollout_state(db: Path, rollout_id: int) -> Tuple[str, int, str]:
    return read_store(db, "SELECT status, current_stage, halt_reason FROM rollouts WHERE id = ?", rollout_id)[0]


def awaiting_confirmation(db: Path, rollout_id: int) -> int:
    """OK reports that no later check-in has confirmed or contradicted yet."""
    return read_store(db, "SELECT COUNT(*) FROM rollout_installations WHERE rollout_id = ? AND ok_ms > 0"
                          " AND confirmed_at IS NULL AND unconfirmed_at IS NULL", rollout_id)[0][0]


def rollout_rows(db: Path, rollout_id: int) -> Dict[str, dict]:
    """Each installation's way through the rollout, by installation id."""
    names = ("installation_id", "stage", "place", "offers", "outcomes", "failures", "last_result", "last_step",
             "last_code", "download_started_at", "download_completed_at", "ok_ms", "confirmed_at",
             "unconfirmed_at")
    rows = read_store(db, f"SELECT {', '.join(names)} FROM rollout_installations WHERE rollout_id = ?", rollout_id)
    return {row[0]: dict(zip(names, row)) for row in rows}


def store_funnel(db: Path, rollout_id: int, fleet: List[Installation]) -> List[dict]:
    """The funnel per stage, counted here from the store's rows (the console's words for each figure): each
    stage's row holds the installations it reaches by place (those below its percentage), so each row holds
    the ones above it; a row without a place counts where it was first offered."""
    rows = rollout_rows(db, rollout_id)
    versions = dict(read_store(db, "SELECT id, program_version FROM installations WHERE product = ?", PRODUCT))
    funnel = [{"etapa": f"{percent} %", "destinatarias": 0, "ofrecida": 0, "descarga_iniciada": 0,
               "descargada": 0, "con_resultado": 0, "ok": 0, "fallidas": 0, "fallos": [], "confirmadas": 0,
               "sin_confirmar": 0} for percent in STAGES]
    for installation in fleet:
        if installation.id in rows or versions.get(installation.id) == OLD_VERSION:
            for stage in funnel[stage_of(installation.place):]:
                stage["destinatarias"] += 1
    failures: Dict[Tuple[int, str, int], int] = {}
    for row in rows.values():
        band = row["stage"] if row["place"] < 0 else stage_of(row["place"])
        for index in range(band, len(funnel)):
            stage = funnel[index]
            stage["ofrecida"] += row["offers"] > 0
            stage["descarga_iniciada"] += row["download_started_at"] is not None
            stage["descargada"] += row["download_completed_at"] is not None
            stage["con_resultado"] += row["outcomes"] > 0
            stage["ok"] += row["ok_ms"] > 0
            stage["fallidas"] += row["failures"] > 0
            stage["confirmadas"] += row["confirmed_at"] is not None
            stage["sin_confirmar"] += row["unconfirmed_at"] is not None
            if row["failures"] > 0:
                key = (index, row["last_step"], row["last_code"])
                failures[key] = failures.get(key, 0) + 1
    for (stage, step, code), count in sorted(failures.items(), key=lambda item: (-item[1], item[0])):
        funnel[stage]["fallos"].append({"paso": step, "codigo": code, "instalaciones": count})
    return funnel


# ---- the console's view ------------------------------------------------------------------

def console_rollout(service: Servicio, rollout_id: int) -> dict:
    """The rollout as /panel/api/despliegues/ID shows it, after logging in as the simulation's operator."""
    conn = service.connection(timeout=30)
    try:
        conn.request("POST", "/panel/api/entrar",
                     body=json.dumps({"usuario": OPERATOR, "clave": OPERATOR_PASSWORD}),
                     headers={"Content-Type": "application/json"})
        answer = conn.getresponse()
        answer.read()
        if answer.status != 200:
            raise RuntimeError(f"login answered {answer.status}")
        cookie = answer.getheader("Set-Cookie").split(";", 1)[0]
        conn.request("GET", f"/panel/api/despliegues/{rollout_id}", headers={"Cookie": cookie})
        answer = conn.getresponse()
        body = answer.read()
        if answer.status != 200:
            raise RuntimeError(f"the rollout's page answered {answer.status}")
        return json.loads(body)
    finally:
        conn.close()


# ---- the whole simulation ------------------------------------------------------------------

def simulate(service: Servicio, plan: Plan, fleet: List[Installation], rollout_id: int) -> Figures:
    """Rounds until the rollout offers no more (halted or finished, a round without offers, every OK
    confirmed or contradicted by a check-in), or the round limit."""
    figures = Figures(plan, rollout_id)
    package_sha256 = hashlib.sha256(package_bytes(plan.seed)).hexdigest()
    connections = Connections(service.port)
    try:
        for number in range(1, plan.max_rounds + 1):
            tally = run_round(connections, fleet, package_sha256, number, plan.threads)
            round_figures = tally.figures
            round_figures.status, round_figures.stage, _ = rollout_state(service.db, rollout_id)
            round_figures.confirmed = read_store(service.db, "SELECT COUNT(confirmed_at) FROM rollout_installations"
                                                             " WHERE rollout_id = ?", rollout_id)[0][0]
            figures.rounds.append(round_figures)
            figures.offer_times += tally.offer_times
            figures.errors += tally.errors
            if (round_figures.status in (HALTED, FINISHED) and round_figures.offers == 0 and
                    awaiting_confirmation(service.db, rollout_id) == 0):
                break
    finally:
        connections.close()
    figures.status, figures.stage, figures.reason = rollout_state(service.db, rollout_id)
    figures.events = read_store(service.db, "SELECT at, event, detail FROM rollout_events WHERE rollout_id = ?"
                                            " ORDER BY id", rollout_id)
    figures.funnel = store_funnel(service.db, rollout_id, fleet)
    return figures


def known_fleet(service: Servicio, plan: Plan, fleet: List[Installation]) -> None:
    """Every installation checks in once before the rollout, the service alone on its store."""
    service.start("--rate", "0")
    connections = Connections(service.port)
    try:
        tally = run_round(connections, fleet, "", 0, plan.threads, check_in_only)
    finally:
        connections.close()
        service.stop()
    if tally.errors:
        raise RuntimeError(f"the fleet could not check in before the rollout: {tally.errors[:3]}")


def run_plan(plan: Plan, service: Optional[Servicio] = None, front=None) -> Tuple[Figures, List[Installation], Servicio]:
    """A service of its own (left running, for the caller to read and stop), the fleet, and the figures.
    The fleet checks in once, then the rollout starts. `front`, when given, starts the prepared service
    its own way (several instances behind a balancer) and returns what the fleet talks to."""
    service = service or Servicio()
    release_id = prepare(service, plan)
    fleet = make_fleet(plan.size, plan.seed, plan.rates, release_id)
    known_fleet(service, plan, fleet)
    rollout_id = start_rollout(service, plan, release_id)
    if front is None:
        service.start("--rate", "0")
    else:
        service = front(service)
    return simulate(service, plan, fleet, rollout_id), fleet, service


# ---- printing ----------------------------------------------------------------------------------

def table(header: List[str], rows: List[list]) -> str:
    cells = [[str(c) for c in header]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    lines = ["  ".join(c.rjust(w) for c, w in zip(row, widths)) for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def describe(title: str, figures: Figures, seconds: float) -> str:
    plan = figures.plan
    rates = ", ".join(f"{rate * 100:g} % at {step}" for step, rate in plan.rates.items()) or "none"
    out = [f"== {title}: {plan.size} installations, failures: {rates}",
           f"   rollout: stages {','.join(map(str, STAGES))} %, min outcomes {plan.min_outcomes}, halt above "
           f"{plan.max_failure_percent} %, soak {plan.soak_seconds} s, retry after {plan.retry_hours} h, "
           f"{plan.max_attempts} attempts; {plan.threads} threads with keep-alive", ""]
    out.append(table(["round", "stage", "status", "offers", "downloads", "cut", "OK", "failed", "confirmed", "s"],
                     [[r.number, f"{STAGES[r.stage]} %", r.status, r.offers, r.downloads, r.cut, r.ok, r.failed,
                       r.confirmed, f"{r.seconds:.1f}"] for r in figures.rounds]))
    out.append("")
    out.append(table(["stage", "targeted", "offered", "dl started", "downloaded", "OK", "failed", "confirmed",
                      "failures by step (code)"],
                     [[f["etapa"], f["destinatarias"], f["ofrecida"], f["descarga_iniciada"], f["descargada"],
                       f["ok"], f["fallidas"], f["confirmadas"],
                       ", ".join(f"{x['paso']} ({x['codigo']}): {x['instalaciones']}" for x in f["fallos"]) or "-"]
                      for f in figures.funnel]))
    out.append("")
    out.append(f"   status {figures.status} at stage {STAGES[figures.stage]} %"
               + (f"; reason: {figures.reason}" if figures.reason else ""))
    for at, event, detail in figures.events:
        out.append(f"   {at} {event} {detail}")
    halted = [at for at, event, _ in figures.events if event == "detenido"]
    if halted:
        second = calendar.timegm(time.strptime(halted[0], "%Y-%m-%dT%H:%M:%SZ"))
        out.append(f"   offers answered after the second of the halt: {figures.offers_after(second)}")
    requests = sum(r.requests for r in figures.rounds)
    busy = sum(r.seconds for r in figures.rounds)
    out.append(f"   {len(figures.rounds)} rounds, {requests} requests answered in {busy:.1f} s of rounds"
               f" ({requests / busy:.0f} per second), {seconds:.1f} s in all; simulation errors: {len(figures.errors)}")
    out += [f"   ! {error}" for error in figures.errors[:10]]
    return "\n".join(out)


def main() -> int:
    size = int(os.environ.get("TREVANTO_FLEET_SIZE", "10000"))
    threads = int(os.environ.get("TREVANTO_FLEET_THREADS", "4"))
    first_stage = sum(1 for i in make_fleet(size, "flota", {}) if stage_of(i.place) == 0)
    # Outcomes a stage needs before it may advance, or its rate count: 95 % of
    # the first stage (about 1 % of the fleet), as the tests have it.
    min_outcomes = max(1, first_stage * 19 // 20)
    plans = (("A healthy release", Plan(size=size, seed="flota-sana", rates={"DESCARGA": 0.005}, threads=threads,
                                        min_outcomes=min_outcomes, max_rounds=30)),
             ("A release failing for 30 %", Plan(size=size, seed="flota-mala", rates={"MOVER_EXE_NUEVO": 0.30},
                                                 threads=threads, min_outcomes=min_outcomes, max_rounds=30)),
             ("A release whose program does not start for 30 %",
              Plan(size=size, seed="flota-arranque", rates={"ARRANQUE": 0.30}, threads=threads,
                   min_outcomes=min_outcomes, max_rounds=30)))
    for title, plan in plans:
        start = time.monotonic()
        figures, _, service = run_plan(plan)
        try:
            print(describe(title, figures, time.monotonic() - start), flush=True)
            print(flush=True)
        finally:
            service.stop()
            shutil.rmtree(service.data, ignore_errors=True)
            service.log_path.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
