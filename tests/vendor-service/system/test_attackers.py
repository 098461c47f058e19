"""Strangers who hold the agents' key (it is in every agent) against a
vendor's rollout, store and console, at a scale that runs in a minute or
two: made-up installations that try to halt a rollout, fake successes that
try to advance it, a flood that tries to push the real reports out of the
store, and guesses that try to get into the console or lock its operator
out. Loopback stands for the internet: every 127.a.b.c address is local, so
a stranger speaks from many addresses, and each 127.a.b.0/24 is a network.

The vendor's fleet checks in before each rollout starts, as a real fleet
does; the service's default rules decide the rest."""

import base64
import http.client
import json
import os
import re
import subprocess
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from typing import List, Optional, Tuple

from servicio import API_KEY, CHECKIN, PROGRAM, UPDATE_REPORT, Servicio, free_port, query, tls_context, wait_for, write

PRODUCT, OLD, NEW = "MarvekMesalto", "5.2.1.0", "6.0.3.17"
PACKAGE = "paquetes/mesalto_6.0.3.17.zip"
PATH = "C:\\Marvek\\Marvek Mesalto\\mesalto.exe"
OPERATOR, PASSWORD = "vendedor", "una-clave-de-verdad-2026"
ACCEPTANCE = "/apis/trevanto/v1/rtf-acceptance"


# ---- speaking from an address ---------------------------------------------------------

def request(port: int, method: str, target: str, source: str, body: Optional[bytes] = None,
            headers: Optional[dict] = None) -> Tuple[int, bytes, dict]:
    """One request on a connection of its own from `source`: (status, body, headers)."""
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=60, context=tls_context(), source_address=(source, 0))
    try:
        sent = dict(headers or {})
        if body is not None and target.startswith("/apis/"):
            sent.update({"X-Api-Key": API_KEY, "Content-Type": "application/json"})
        conn.request(method, target, body=body, headers=sent)
        answer = conn.getresponse()
        return answer.status, answer.read(), dict(answer.getheaders())
    finally:
        conn.close()


def check_in(service: Servicio, host: str, source: str, version: str = OLD, path: str = PATH,
             padding: int = 0) -> Optional[str]:
    """A check-in from `source`; the offered package's address, or None."""
    body = {"actualizador_version": "1.26.0803", "Programa": PRODUCT, "Version": version, "hostname": host,
            "windows_version": "10.0.19045", "installed_path": path}
    if padding:  # what no store compresses away
        body["relleno"] = base64.b64encode(os.urandom(padding))[:padding].decode()
    status, answer, _ = request(service.port, "POST", CHECKIN, source, json.dumps(body).encode())
    assert status == 200, answer
    for item in json.loads(answer).get("alertas", []):
        if item.get("tipo") == "url_actualizar":
            return item["contenido"][0]["enlace"]
    return None


def report(service: Servicio, url: str, source: str, ok: bool, step: str = "MOVER_EXE_NUEVO",
           report_id: Optional[str] = None) -> int:
    body = {"Programa": PRODUCT, "version_anterior": OLD, "version_nueva": NEW if ok else "", "url_parche": url,
            "resultado": "OK" if ok else "INSTALACION_FALLIDA", "codigo_error": 0 if ok else 5,
            "mensaje_error": "" if ok else "MoveFileWithRetry fallo", "paso_fallido": "" if ok else step,
            "duracion_segundos": 9, "report_id": report_id or str(uuid.uuid4())}
    return request(service.port, "POST", UPDATE_REPORT, source, json.dumps(body).encode())[0]


def command(*args: str, stdin: str = "") -> subprocess.CompletedProcess:
    return subprocess.run([str(PROGRAM), *args], input=stdin, capture_output=True, text=True, timeout=60)


def store_options(service: Servicio) -> List[str]:
    return ["--data", str(service.data), "--db", str(service.db)]


def publish(service: Servicio) -> int:
    """The package, its release and the console's operator: the release's id."""
    (service.data / "archivos" / PACKAGE).write_bytes(b"PK" + bytes(range(256)) * 64)
    added = command("release", "add", *store_options(service), "--product", PRODUCT, "--version", NEW,
                    "--file", PACKAGE)
    assert added.returncode == 0, added.stderr
    assert command("operator", "add", *store_options(service), "--name", OPERATOR,
                   stdin=PASSWORD + "\n").returncode == 0
    return int(added.stdout.split()[1])


def start_rollout(service: Servicio, release: int, *options: str) -> int:
    started = command("rollout", "start", *store_options(service), "--release", str(release), "--replaces", OLD,
                      *options)
    assert started.returncode == 0, started.stderr
    return int(started.stdout.split()[1])


def rollout_state(service: Servicio, rollout: int) -> Tuple[str, int, str]:
    return query(service.db, "SELECT status, current_stage, halt_reason FROM rollouts WHERE id = ?", rollout)[0]


def stage_counts(service: Servicio, rollout: int, stage: int) -> dict:
    names = ("outcomes", "failures", "networks", "failed_networks", "uncounted_outcomes", "uncounted_failures")
    rows = query(service.db, f"SELECT {', '.join(names)} FROM rollout_stage_counts WHERE rollout_id = ? AND stage = ?",
                 rollout, stage)
    return dict(zip(names, rows[0])) if rows else dict.fromkeys(names, 0)


def in_parallel(calls, workers: int = 16) -> list:
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda call: call(), calls))


def real_address(i: int) -> str:
    """The vendor's fleet: ten networks, 127.10.0.0/24 to 127.10.9.0/24."""
    return f"127.10.{i % 10}.{1 + i // 10}"


def real_host(i: int) -> str:
    return f"OFICINA-{i:02d}"


# ---- the tests ---------------------------------------------------------------------------

def test_strangers_neither_halt_nor_advance_a_rollout_and_a_failing_fleet_still_halts_it(servicio):
    service = servicio()
    release = publish(service)
    # Before the rollout: the vendor's fleet (40 installations in ten networks),
    # and 50 installations a patient stranger made in two networks of his own.
    service.start()
    for i in range(40):
        assert check_in(service, real_host(i), real_address(i)) is None
    for i in range(50):
        assert check_in(service, f"PREPARADA-{i}", f"127.20.{i % 2}.{1 + i // 2}") is None
    service.stop()
    rollout = start_rollout(service, release, "--stages", "50,100", "--min-outcomes", "10", "--soak-seconds", "1")
    service.start()

    # Installations made up on demand: 300 host names from 63 addresses of
    # one network and three more networks; each offered one reports, half a
    # failure and half a success, with the token of its offer.
    made_up = [(f"INVENTADA-{i}", f"127.30.{i % 4}.{1 + i % 63}") for i in range(300)]
    offers = in_parallel([lambda h=h, a=a: (a, check_in(service, h, a)) for h, a in made_up])
    offered = [(address, url) for address, url in offers if url]
    assert len(offered) > 100
    answers = in_parallel([lambda k=k, a=a, u=u: report(service, u, a, ok=k % 2 == 0) for k, (a, u) in enumerate(offered)])
    assert answers == [200] * len(offered)
    # The prepared ones: all of one network fail, all of the other succeed.
    prepared = [(f"127.20.{i % 2}.{1 + i // 2}", check_in(service, f"PREPARADA-{i}", f"127.20.{i % 2}.{1 + i // 2}"))
                for i in range(50)]
    prepared = [(address, url) for address, url in prepared if url]
    assert {address.split(".")[2] for address, _ in prepared} == {"0", "1"}
    for address, url in prepared:
        assert report(service, url, address, ok=address.startswith("127.20.1.")) == 200

    # Past the soak time and the service's checks: neither halted nor advanced.
    started = time.monotonic()
    assert wait_for(lambda: time.monotonic() - started > 3, timeout=10)
    assert rollout_state(service, rollout) == ("EN_CURSO", 0, "")
    counts = stage_counts(service, rollout, 0)
    assert (counts["uncounted_outcomes"], counts["uncounted_failures"]) == \
        (len(offered), sum(1 for k in range(len(offered)) if k % 2))
    assert (counts["outcomes"], counts["networks"], counts["failed_networks"]) == (len(prepared), 2, 1)
    # Nothing of the strangers' is lost: stored, and shown apart.
    assert query(service.db, "SELECT COUNT(*) FROM update_reports WHERE rollout_id = ?", rollout)[0][0] == \
        len(offered) + len(prepared)

    # The vendor's own fleet fails for a third: the rollout halts in its first stage.
    first_stage = [(i, url) for i in range(40) if (url := check_in(service, real_host(i), real_address(i)))]
    assert len(first_stage) >= 10
    for i, url in first_stage:
        assert report(service, url, real_address(i), ok=i % 3 != 0) == 200
    status, stage, reason = rollout_state(service, rollout)
    assert (status, stage) == ("DETENIDO", 0), reason
    assert re.fullmatch(r"fallaron \d+ de \d+ instalaciones en la etapa 50 % \(\d+\.\d %, en \d+ redes; límite: "
                        r"10\.0 %\)", reason), reason

    # A pilot is an installation the service knew, not a host name: a
    # stranger who claims the pilot's name from other paths gets nothing.
    pilot_rollout = start_rollout(service, release, "--stages", "100", "--pilot", real_host(3))
    assert wait_for(lambda: check_in(service, real_host(3), real_address(3)) is not None, timeout=10, interval=0.5)
    claims = in_parallel([lambda k=k: check_in(service, real_host(3).lower(), f"127.31.0.{1 + k}",
                                               path=f"C:\\Programa {k}\\mesalto.exe") for k in range(45)])
    assert claims == [None] * 45
    # In its last stage, 20 installations made up after it started fail: it goes on.
    assert command("rollout", "advance", *store_options(service), "--id", str(pilot_rollout)).returncode == 0
    assert wait_for(lambda: check_in(service, "INVENTADA-ULTIMA-0", "127.32.0.1") is not None, timeout=10,
                    interval=0.5)
    late = [(f"127.32.{k % 3}.{1 + k}", check_in(service, f"INVENTADA-ULTIMA-{k}", f"127.32.{k % 3}.{1 + k}"))
            for k in range(20)]
    assert [report(service, url, address, ok=False) for address, url in late] == [200] * 20
    assert rollout_state(service, pilot_rollout) == ("EN_CURSO", 1, "")
    assert stage_counts(service, pilot_rollout, 1)["uncounted_failures"] == 20


def store_used_bytes(service: Servicio) -> int:
    """SQLite's pages in use; 0 on PostgreSQL, whose size the service estimates itself."""
    if not str(service.db).endswith(".db"):
        return 0
    pages, free, size = (query(service.db, f"PRAGMA {name}")[0][0] for name in ("page_count", "freelist_count",
                                                                                 "page_size"))
    return (pages - free) * size


def test_a_flood_of_made_up_installations_leaves_every_real_report(servicio):
    service = servicio()
    release = publish(service)
    service.start("--store-max-mb", "1")
    for i in range(20):
        assert check_in(service, real_host(i), real_address(i)) is None
    service.stop()
    # The fleet as a store holds it after a few days: seen on days before today.
    write(service.db, "UPDATE installations SET days_seen = 3, first_seen_ms = first_seen_ms - 259200000")
    start_rollout(service, release, "--stages", "100", "--manual")
    service.start("--store-max-mb", "1")
    real_reports = []
    for i in range(14):
        url = check_in(service, real_host(i), real_address(i))
        real_reports.append(f"real-{i}")
        assert report(service, url, real_address(i), ok=True, report_id=real_reports[-1]) == 200

    # 420 check-ins of 3.8 KB with made-up names and versions, from 14
    # addresses of two networks, each within its burst; and 60 failure
    # reports with text of the stranger's own and no offer behind them.
    flood = [lambda k=k: check_in(service, f"BASURA-{k}", f"127.40.{k % 2}.{1 + k % 14}",
                                  version=f"{k}.{k}.{k}.{k}", padding=3800) for k in range(420)]
    in_parallel(flood)
    junk = [lambda k=k: report(service, "https://descargas.marvek.example/paquetes/x.zip", f"127.41.0.{1 + k % 20}",
                               ok=False, step=f"PASO-INVENTADO-{k}") for k in range(60)]
    assert in_parallel(junk) == [200] * 60
    # The store went over its size, and was brought back under it.
    assert wait_for(lambda: store_used_bytes(service) <= 1024 * 1024 and
                    query(service.db, "SELECT COUNT(*) FROM checkins WHERE without_history = 1")[0][0] < 420,
                    timeout=60)
    # A new real report is answered, and stays.
    url = check_in(service, real_host(15), real_address(15))
    assert report(service, url, real_address(15), ok=False, report_id="real-nuevo") == 200
    real_reports.append("real-nuevo")
    settled = time.monotonic()
    assert wait_for(lambda: time.monotonic() - settled > 4, timeout=10)
    kept = {row[0] for row in query(service.db, "SELECT report_id FROM update_reports")}
    assert set(real_reports) <= kept
    # The fleet's check-ins since it has history stay too (its first ones, when new, may go with the junk).
    assert query(service.db, "SELECT COUNT(*) FROM checkins WHERE without_history = 0")[0][0] == 15
    assert query(service.db, "SELECT COUNT(*) FROM installations WHERE days_seen >= 2")[0][0] == 20

    # The console's summary shows the fleet; the made-up installations only as a number.
    cookie = console_session(service.port)
    status, page, _ = request(service.port, "GET", "/panel/resumen", "127.0.0.1", headers={"Cookie": cookie})
    assert status == 200 and len(page) < 20000
    summary = json.loads(request(service.port, "GET", "/panel/api/resumen", "127.0.0.1",
                                 headers={"Cookie": cookie})[1])
    assert summary["instalaciones"] == 20
    assert [row["version"] for row in summary["por_producto_y_version"]] == [OLD]
    # Failures without an offer are shown apart, and bounded.
    failures = json.loads(request(service.port, "GET", "/panel/api/fallos?por_pagina=500", "127.0.0.1",
                                  headers={"Cookie": cookie})[1])["filas"]
    assert 1 <= len([f for f in failures if f["despliegue"] == 0]) <= 20


def head_only(port: int, target: str, source: str, length: int) -> int:
    """The status answered to a POST's head that announces `length` bytes of body, none of them sent."""
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=30, context=tls_context(), source_address=(source, 0))
    try:
        conn.putrequest("POST", target)
        conn.putheader("Content-Type", "application/json")
        conn.putheader("Content-Length", str(length))
        conn.endheaders()
        return conn.getresponse().status
    finally:
        conn.close()


def console_session(port: int, source: str = "127.0.0.1") -> str:
    status, body, headers = request(port, "POST", "/panel/api/entrar", source,
                                    json.dumps({"usuario": OPERATOR, "clave": PASSWORD}).encode(),
                                    {"Content-Type": "application/json"})
    assert status == 200, body
    return headers["Set-Cookie"].split(";", 1)[0]


def log_in(port: int, source: str, name: str, password: str) -> Tuple[int, int]:
    """(status, Retry-After) of one login through the console's API."""
    status, _, headers = request(port, "POST", "/panel/api/entrar", source,
                                 json.dumps({"usuario": name, "clave": password}).encode(),
                                 {"Content-Type": "application/json"})
    return status, int(headers.get("Retry-After", "0"))


def test_the_console_can_be_neither_guessed_into_nor_locked(servicio):
    service = servicio()
    weak = command("operator", "add", *store_options(service), "--name", OPERATOR, stdin="aaaaaaaaaa\n")
    assert weak.returncode == 2 and "the password" in weak.stderr
    blanks = command("operator", "add", *store_options(service), "--name", OPERATOR, stdin=" " * 10 + "\n")
    assert blanks.returncode == 2
    assert command("operator", "add", *store_options(service), "--name", OPERATOR,
                   stdin=PASSWORD + "\n").returncode == 0
    panel = free_port()
    service.start("--panel-port", str(panel))
    # Not on the agents' address: only on its own, on loopback.
    assert request(service.port, "GET", "/panel/entrar", "127.0.0.1")[0] == 404
    assert request(panel, "GET", "/panel/entrar", "127.0.0.1")[0] == 200

    # Sixty guesses sent at once from one address: five are checked, and
    # maybe one or two more if the sending outlasts the first waits (1 s, 2 s).
    guesses = in_parallel([lambda k=k: log_in(panel, "127.50.0.1", OPERATOR, f"adivinanza-{k}") for k in range(60)],
                          workers=60)
    statuses = [status for status, _ in guesses]
    assert statuses.count(401) <= 7 and statuses.count(429) >= 53 and set(statuses) <= {401, 429}

    # Twenty guesses at once for the operator's name from twenty addresses of
    # one network keep that network out, and the operator elsewhere waits
    # seconds at most.
    guesses = in_parallel([lambda k=k: log_in(panel, f"127.51.0.{1 + k}", OPERATOR, "mala") for k in range(20)],
                          workers=20)
    statuses = [status for status, _ in guesses]
    assert statuses.count(401) <= 7 and statuses.count(429) >= 13
    for _ in range(3):
        status, wait = log_in(panel, "127.52.0.1", OPERATOR, PASSWORD)
        if status != 429:
            break
        assert wait <= 4
        time.sleep(wait)
    assert status == 200

    # A stranger who waits out each wait of that network doubles it ...
    wait = 0
    while wait < 32:
        time.sleep(wait)
        status, wait = log_in(panel, "127.51.0.50", OPERATOR, "mala")
        assert status in (401, 429)
    # ... and 600 failed logins for made-up names from 30 addresses do not lift it.
    junk = [lambda k=k: log_in(panel, f"127.53.{k % 10}.{1 + k % 30}", f"falso{k}", "x") for k in range(600)]
    assert set(s for s, _ in in_parallel(junk, workers=32)) <= {401, 429}
    status, wait = log_in(panel, "127.51.0.98", OPERATOR, PASSWORD)
    assert status == 429 and wait > 0

    # Names of a megabyte cost nothing: refused unread past the console's
    # bound, answered as soon as their head is in.
    before = service.rss_kib()
    answers = in_parallel([lambda: head_only(panel, "/panel/api/entrar", "127.54.0.1", (1 << 20) + 30)
                           for _ in range(100)])
    assert answers == [413] * 100
    # And names of 64 KiB, read whole: refused without a key of that size.
    name = json.dumps({"usuario": "n" * 65000, "clave": "x"}).encode()
    assert in_parallel([lambda: request(panel, "POST", "/panel/api/entrar", "127.54.0.2", name,
                                        {"Content-Type": "application/json"})[0] for _ in range(100)]) == [401] * 100
    assert service.rss_kib() - before < 16 * 1024
