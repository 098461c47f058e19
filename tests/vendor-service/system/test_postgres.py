"""Several instances on one PostgreSQL database, and that database failing
under them; a vendor moving from its SQLite file. Instances behind nginx (the example configuration) give the
same offer for the same installation, take the client's address only from
the balancer, and hold a client's rate limit together; the database server
killed and started again under load: check-ins and reports get 503 while it
is gone, nothing answered 200 is lost, and the service recovers by itself."""

import http.client
import json
import subprocess
import tempfile
import threading
import time
import uuid
from pathlib import Path
from typing import List, Tuple

import pytest

import fleet
from balancer import BALANCER_ADDRESS, CLIENT_ADDRESS, start_front
from servicio import (API_KEY, CHECKIN, POSTGRES, PROGRAM, ROOT, UPDATE_REPORT, checkin_body, drop_database,
                      new_database, query, update_body, wait_for)

pytestmark = pytest.mark.skipif(not POSTGRES, reason="PostgreSQL's (TREVANTO_TEST_POSTGRES)")

POSTGRES_SCRIPT = ROOT / "scripts" / "postgres.sh"


def post_plain(port: int, body: bytes, source: str, headers: dict = None) -> Tuple[int, bytes]:
    """One check-in straight to an instance (plain HTTP), from a chosen loopback address."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=(source, 0))
    try:
        conn.request("POST", CHECKIN, body=body, headers={"Host": fleet.API_HOST, "X-Api-Key": API_KEY,
                                                          "Content-Type": "application/json", **(headers or {})})
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


def test_instances_behind_nginx_answer_alike_trust_only_it_and_share_rate_limits(servicio, tmp_path):
    first = servicio()
    plan = fleet.Plan(size=400, seed="iguales")
    release_id = fleet.prepare(first, plan)
    fleet.start_rollout(first, plan, release_id)
    front = start_front(servicio, first, tmp_path / "nginx", "--rate", "1", "--burst", "20")
    one, two = front.instances
    try:
        # The same installation, straight to each instance: the same answer,
        # to the byte, with the same offer and token.
        inside = next(i for i in fleet.make_fleet(plan.size, plan.seed, {}, release_id) if i.place < 1)
        body = fleet.checkin_body(inside)
        answers = [post_plain(instance.port, body, "127.0.0.5") for instance in (one, two)]
        assert answers[0][0] == 200 and answers[0] == answers[1]
        offer = fleet.offer_in(json.loads(answers[0][1]))
        assert offer is not None and f"?o={inside.id}-" in offer[0]

        # A stranger's own X-Forwarded-For counts for nothing, straight or
        # through nginx; the balancer's names the client.
        host = "pc-reenviado"
        assert post_plain(one.port, checkin_body(host), CLIENT_ADDRESS, {"X-Forwarded-For": "203.0.113.5"})[0] == 200
        conn = front.connection()
        conn.request("POST", CHECKIN, body=checkin_body(host), headers={
            "Host": fleet.API_HOST, "X-Api-Key": API_KEY, "X-Forwarded-For": "203.0.113.6"})
        assert conn.getresponse().status == 200
        conn.close()
        assert post_plain(two.port, checkin_body(host), BALANCER_ADDRESS, {"X-Forwarded-For": "203.0.113.7"})[0] == 200
        def seen() -> set:
            """(client, through a balancer) of each check-in logged."""
            return {(line.split(" client=")[1].split()[0], " via=127.0.0.1 " in line)
                    for line in front.log_lines(target=CHECKIN)}

        assert wait_for(lambda: {(CLIENT_ADDRESS, False), (CLIENT_ADDRESS, True), ("203.0.113.7", True)} <= seen())
        assert not {address for address, _ in seen()} & {"203.0.113.5", "203.0.113.6"}
        stored = {row[0] for row in query(front.db, "SELECT client_address FROM checkins WHERE hostname = ?", host)}
        assert stored == {CLIENT_ADDRESS, "203.0.113.7"}

        # One address's burst spent on the first instance is spent on the
        # second too, once they have exchanged what they let through (every
        # second): alone, the second would let 20 more through.
        flooder = "127.0.0.3"
        assert [post_plain(one.port, checkin_body("pc-rafaga"), flooder)[0] for _ in range(20)] == [200] * 20
        through: List[int] = []

        def refused_on_the_second() -> bool:
            through.append(post_plain(two.port, checkin_body("pc-rafaga"), flooder)[0])
            time.sleep(0.25)
            return through[-1] == 429

        assert wait_for(refused_on_the_second, timeout=60)
        assert through.count(200) < 10, (through, query(front.db, "SELECT * FROM rate_usage"))
        assert query(front.db, "SELECT SUM(admitted) FROM rate_usage WHERE address = ?", flooder)[0][0] >= 20
    finally:
        front.stop()


class Load:
    """Threads sending check-ins and update reports, each with a name of its
    own, noting every answer: (kind, name, status, sent, answered)."""

    def __init__(self, service, threads: int = 3) -> None:
        self.service = service
        self.answers: List[Tuple[str, str, int, float, float]] = []
        self.retry_after = set()  # what the 503 answers said
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.run, args=(n,)) for n in range(threads)]

    def __enter__(self) -> "Load":
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        for thread in self.threads:
            thread.join()

    def run(self, number: int) -> None:
        conn = None
        sent = 0
        while not self.stopping.is_set():
            sent += 1
            for kind, name in (("checkin", f"carga-{number}-{sent}"), ("report", str(uuid.uuid4()))):
                path, body = (CHECKIN, checkin_body(name)) if kind == "checkin" else (UPDATE_REPORT, update_body(name))
                started = time.time()
                try:
                    conn = conn or self.service.connection(timeout=30)
                    status, _, headers = self.service.post(path, body, connection=conn)
                except (OSError, http.client.HTTPException):
                    conn = None
                    continue
                with self.lock:
                    self.answers.append((kind, name, status, started, time.time()))
                    if status == 503:
                        self.retry_after.add(headers.get("Retry-After"))
            time.sleep(0.01)

    def answered(self, kind: str, status: int, after: float = 0, before: float = float("inf")) -> List[str]:
        with self.lock:
            return [name for k, name, s, sent, done in self.answers
                    if k == kind and s == status and sent >= after and done <= before]


def test_the_database_server_killed_and_started_again_under_load(servicio):
    folder = Path(f"/tmp/trevanto-pg-{uuid.uuid4().hex[:8]}")
    server = subprocess.run(["bash", str(POSTGRES_SCRIPT), "start", str(folder)], capture_output=True, text=True,
                            check=True).stdout.strip()
    try:
        subprocess.run(["psql", f"{server} dbname=postgres", "-qc", "CREATE DATABASE falla"], check=True)
        service = servicio(db=f"{server} dbname=falla").start("--rate", "0")
        with Load(service) as load:
            assert wait_for(lambda: len(load.answered("report", 200)) >= 20)
            subprocess.run(["bash", str(POSTGRES_SCRIPT), "down", str(folder)], check=True)
            down = time.time()
            assert wait_for(lambda: load.answered("checkin", 503, after=down) and load.answered("report", 503, after=down))
            time.sleep(2)
            subprocess.run(["bash", str(POSTGRES_SCRIPT), "up", str(folder)], check=True)
            up = time.time()
            assert wait_for(lambda: len(load.answered("checkin", 200, after=up)) >= 20 and
                            len(load.answered("report", 200, after=up)) >= 20, timeout=60)
        # While it was gone, nothing was answered 200.
        assert load.answered("checkin", 200, after=down, before=up) == []
        assert load.answered("report", 200, after=down, before=up) == []
        # Everything answered 200 is stored, each report once.
        target = service.db
        hosts = {row[0] for row in query(target, "SELECT hostname FROM checkins")}
        assert set(load.answered("checkin", 200)) <= hosts
        stored = [row[0] for row in query(target, "SELECT report_id FROM update_reports")]
        assert set(load.answered("report", 200)) <= set(stored) and len(stored) == len(set(stored))
        with load.lock:
            assert {status for _, _, status, _, _ in load.answers} <= {200, 503}
            assert load.retry_after == {"30"}
        log = service.log()
        assert log.index("event=store-failing") < log.index("event=store-available")
    finally:
        subprocess.run(["bash", str(POSTGRES_SCRIPT), "stop", str(folder)], check=False)


def test_a_vendor_moves_from_sqlite_and_its_fleet_does_not_notice(servicio):
    data = Path(tempfile.mkdtemp(prefix="trevanto_sistema_"))
    old = servicio(data=data, db=data / "servicio.db")  # the embedded store, whatever the suite runs on
    plan = fleet.Plan(size=300, seed="mudanza")
    release_id = fleet.prepare(old, plan)
    rollout_id = fleet.start_rollout(old, plan, release_id)
    installation = next(i for i in fleet.make_fleet(plan.size, plan.seed, {}, release_id) if i.place < 1)
    old.start("--rate", "0")
    before = old.post(CHECKIN, fleet.checkin_body(installation))
    old.stop()
    offer = fleet.offer_in(json.loads(before[1]))
    assert before[0] == 200 and offer is not None

    new_db, new = new_database(), None
    try:
        copy = [str(PROGRAM), "store", "copy", "--from", str(old.db), "--to", new_db]
        copied = subprocess.run(copy, capture_output=True, text=True)
        assert copied.returncode == 0, copied.stderr
        counts = dict(line.split() for line in copied.stdout.splitlines()[:-1])
        assert (counts["releases"], counts["rollouts"], counts["installations"], counts["checkins"],
                counts["rollout_installations"], counts["operators"]) == ("1", "1", "1", "1", "1", "1")
        again = subprocess.run(copy, capture_output=True, text=True)
        assert (again.returncode, again.stdout) == (2, "")
        assert "already holds rows (releases)" in again.stderr

        # The same data folder on the new store: the same id, the same offer
        # and token, and the report that token brings back is counted.
        new = servicio(data=old.data, db=new_db).start("--rate", "0")
        after = new.post(CHECKIN, fleet.checkin_body(installation))
        assert after[0] == 200 and fleet.offer_in(json.loads(after[1])) == offer
        report = fleet.report_body(installation, offer[0], None)
        assert new.post(UPDATE_REPORT, report)[0] == 200
        assert wait_for(lambda: query(new_db, "SELECT outcomes, failures FROM rollout_installations"
                                              " WHERE installation_id = ?", installation.id) == [(1, 0)])
        assert query(new_db, "SELECT COUNT(*) FROM checkins")[0][0] == 2
        assert query(new_db, "SELECT rollout_id FROM update_reports")[0][0] == rollout_id
        new.stop()

        # And back into a SQLite file, in a data folder without the secret:
        # the store's comes with the rows, so the offer is still the same.
        back = Path(tempfile.mkdtemp(prefix="trevanto_sistema_"))
        returned = servicio(data=back, db=back / "servicio.db")
        (back / "archivos" / fleet.PACKAGE).write_bytes((data / "archivos" / fleet.PACKAGE).read_bytes())
        copied = subprocess.run([str(PROGRAM), "store", "copy", "--from", new_db, "--to", str(returned.db)],
                                capture_output=True, text=True)
        assert copied.returncode == 0 and "service_secret 1\n" in copied.stdout, copied.stderr
        returned.start("--rate", "0")
        again = returned.post(CHECKIN, fleet.checkin_body(installation))
        assert again[0] == 200 and fleet.offer_in(json.loads(again[1])) == offer
        assert (back / "secreto.key").read_text().strip() == fleet.SECRET
    finally:
        if new:
            new.stop()
        drop_database(new_db)
