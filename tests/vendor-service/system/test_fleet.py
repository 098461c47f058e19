"""Two thousand simulated installations against the real service (fleet.py):
a healthy release goes through its stages by itself to the whole fleet, and
a release that fails for 30 % of installations halts inside its first
stage, offered to nobody outside it. Who is in which stage, and who fails,
follows from the installation ids (the service's secret is the
simulation's), so the tests know it ahead; the order in which the threads'
reports arrive is not known, and the preconditions below show that no such
order changes the outcome."""

import re
from bisect import bisect_left
from typing import List

import pytest

import fleet
from balancer import BALANCER_ADDRESS, Front, start_front
from fleet import HALTED, FINISHED, NEW_VERSION, OLD_VERSION, STAGES, Installation, Plan
from servicio import CHECKIN, POSTGRES

SIZE = 2000
MIN_OUTCOMES = 17
MAX_FAILURE_PERCENT = 20
HEALTHY = Plan(size=SIZE, seed="sana", rates={"DESCARGA": 0.005}, min_outcomes=MIN_OUTCOMES,
               max_failure_percent=MAX_FAILURE_PERCENT)
FAILING = Plan(size=SIZE, seed="mala", rates={"MOVER_EXE_NUEVO": 0.30}, min_outcomes=MIN_OUTCOMES,
               max_failure_percent=MAX_FAILURE_PERCENT)
# Its program does not start on 30 %: each of those reports OK, then a failed start.
NOT_STARTING = Plan(size=SIZE, seed="mala", rates={"ARRANQUE": 0.30}, min_outcomes=MIN_OUTCOMES,
                    max_failure_percent=MAX_FAILURE_PERCENT)
FAILED_ROW = {"MOVER_EXE_NUEVO": ("INSTALACION_FALLIDA", "MOVER_EXE_NUEVO", 5),
              "ARRANQUE": ("ARRANQUE_FALLIDO", "ARRANQUE", -1073741819)}
REASON = re.compile(r"fallaron (\d+) de (\d+) instalaciones en la etapa 1 % \((\d+\.\d) %, en (\d+) redes; límite: 20\.0 %\)")


@pytest.fixture(params=["one-service", "two-behind-nginx"])
def front(request, servicio, tmp_path):
    """How the fleet reaches the service: one instance directly, or two
    instances on one PostgreSQL database behind nginx."""
    if request.param == "one-service":
        yield None
        return
    if not POSTGRES:
        pytest.skip("instances share a PostgreSQL database (TREVANTO_TEST_POSTGRES)")
    started = []

    def start(service) -> Front:
        started.append(start_front(servicio, service, tmp_path / "nginx", "--rate", "0"))
        return started[-1]

    yield start
    for balancer in started:
        balancer.stop()


def assert_both_instances_served(service) -> None:
    """Through the balancer, each instance took check-ins, and logged the clients' addresses, not nginx's."""
    if not isinstance(service, Front):
        return
    for instance in service.instances:
        lines = instance.log_lines(target=CHECKIN, via=BALANCER_ADDRESS)
        clients = {dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)["client"] for line in lines}
        assert len(clients) > 100 and all(c.startswith("127.1.") and c.endswith(".7") for c in clients)
        assert not instance.log_lines(target=CHECKIN, client=BALANCER_ADDRESS)


def assert_reports_stored_once(service, figures) -> None:
    """Every report answered 200 is in the store, once (a failed start's two)."""
    answered = sum(r.ok + r.failed + r.failed_starts for r in figures.rounds)
    assert fleet.read_store(service.db, "SELECT COUNT(*), COUNT(DISTINCT report_id) FROM update_reports")[0] == \
        (answered, answered)


def members(installations: List[Installation], stage: int) -> List[Installation]:
    return [i for i in installations if fleet.stage_of(i.place) == stage]


def order_could_halt(installations: List[Installation], stage: int, plan: Plan):
    """Whether some order of arrival could halt the stage: (start, outcomes, failures), or None.

    The fleet is visited in index order, round after round, and a stage
    begins wherever the visit stands when the service advances to it. Its
    rows are the installations placed below its percentage not offered
    before, in visiting order; with T threads, whenever O outcomes are in,
    they are among its first O + T rows. So they lie in the stretch of the
    fleet from the stage's start up to its (O + T + 1)-th own member, and
    its failures are at most the failing installations in that stretch
    (counting earlier stages' too). The stage cannot halt when that bound
    stays at or under the threshold for every O from the minimum on, from
    every start (the worst start lies just after one of its own members)."""
    size = len(installations)
    own = [i.index for i in members(installations, stage)]
    failing = [i.index for i in installations if i.place < STAGES[stage] and i.fails_at]
    unrolled = [f + k * size for k in range(3) for f in failing]
    rate = plan.max_failure_percent / 100
    for j in range(len(own)):
        start = own[j - 1] + 1 - (size if j == 0 else 0)
        outcomes = plan.min_outcomes
        while len(failing) > rate * outcomes:
            k = j + outcomes + plan.threads
            if outcomes + plan.threads >= len(own):
                bound = len(failing)
            else:
                end = own[k % len(own)] + size * (k // len(own))
                bound = bisect_left(unrolled, end + size) - bisect_left(unrolled, start + size)
            if bound > rate * outcomes:
                return start, outcomes, bound
            outcomes += 1
    return None


def assert_console_agrees(service, figures, installations):
    """The console's JSON for the rollout shows the store's rows, counted here."""
    shown = fleet.console_rollout(service, figures.rollout_id)
    assert (shown["estado"], shown["etapa_actual"], shown["motivo"]) == (figures.status, figures.stage, figures.reason)
    assert shown["etapas"] == [f"{p} %" for p in STAGES]
    assert [(e["que"], e["detalle"]) for e in reversed(shown["historia"])] == [(e, d) for _, e, d in figures.events]
    for stage in shown["embudo"]:
        stage["fallos"] = sorted(stage["fallos"], key=lambda f: (f["paso"], f["codigo"]))
    counted = fleet.store_funnel(service.db, figures.rollout_id, installations)
    for stage in counted:
        stage["fallos"] = sorted(stage["fallos"], key=lambda f: (f["paso"], f["codigo"]))
    assert shown["embudo"] == counted
    return counted


def test_a_healthy_release_reaches_the_whole_fleet_by_its_stages(servicio, front):
    installations = fleet.make_fleet(SIZE, HEALTHY.seed, HEALTHY.rates)
    failing = {i.id for i in installations if i.fails_at}
    # Preconditions of the fleet, not of the service: about 0.5 % fail, and
    # no order of arrival puts enough of them early in a stage to halt it.
    assert 5 <= len(failing) <= 15
    assert [order_could_halt(installations, stage, HEALTHY) for stage in range(len(STAGES))] == [None] * 4
    assert len(members(installations, 0)) >= MIN_OUTCOMES

    figures, installations, service = fleet.run_plan(HEALTHY, servicio(), front)
    assert figures.errors == []
    assert_both_instances_served(service)
    assert_reports_stored_once(service, figures)
    assert (figures.status, figures.stage, figures.reason) == (FINISHED, 3, "")
    assert [(event, detail) for _, event, detail in figures.events] == [
        ("iniciado", ""), ("avanzado", "a la etapa 10 % (por sí solo)"),
        ("avanzado", "a la etapa 50 % (por sí solo)"), ("avanzado", "a la etapa 100 % (por sí solo)"),
        ("terminado", "todas las etapas cumplidas (por sí solo)")]
    rounds = figures.rounds
    assert rounds[-1].offers == 0 and len(rounds) < HEALTHY.max_rounds

    # Every installation was offered the release, never before its stage;
    # it took it once when it succeeded, three times (the attempts allowed)
    # when it kept failing.
    rows = fleet.rollout_rows(service.db, figures.rollout_id)
    assert set(rows) == {i.id for i in installations}
    for installation in installations:
        row = rows[installation.id]
        assert row["place"] == installation.place
        assert fleet.stage_of(installation.place) <= row["stage"] <= 3 and row["offers"] > 0
        assert row["outcomes"] == installation.attempts
        if installation.id in failing:
            assert (row["outcomes"], row["failures"], row["last_result"], row["last_step"], row["last_code"],
                    row["ok_ms"], row["confirmed_at"]) == \
                (3, 3, "DESCARGA_FALLIDA", "DESCARGA", 12002, 0, None), installation.hostname
            assert row["download_started_at"] is not None and row["download_completed_at"] is None
        else:
            assert (row["outcomes"], row["failures"], row["last_result"], row["unconfirmed_at"]) == \
                (1, 0, "OK", None), installation.hostname
            assert row["ok_ms"] > 0 and row["confirmed_at"] is not None and row["download_completed_at"] is not None

    # The simulation's own count of what it did is the store's.
    ok = SIZE - len(failing)
    assert sum(r.offers for r in rounds) == sum(row["outcomes"] for row in rows.values()) == ok + 3 * len(failing)
    assert (sum(r.downloads for r in rounds), sum(r.cut for r in rounds)) == (ok, 3 * len(failing))
    assert (sum(r.ok for r in rounds), sum(r.failed for r in rounds), rounds[-1].confirmed) == \
        (ok, 3 * len(failing), ok)
    versions = dict(fleet.read_store(service.db, "SELECT id, program_version FROM installations"))
    assert versions == {i.id: OLD_VERSION if i.id in failing else NEW_VERSION for i in installations}
    # Each check-in stored: the one before the rollout, one a round, and one more after an update.
    checkins = dict(fleet.read_store(service.db, "SELECT id, checkins FROM installations"))
    assert checkins == {i.id: 1 + len(rounds) + (i.id not in failing) for i in installations}
    # Every outcome counted, each from its installation's network.
    counted = fleet.read_store(service.db, "SELECT COUNT(*), COUNT(DISTINCT network) FROM rollout_installations"
                                           " WHERE rollout_id = ? AND counted = 1", figures.rollout_id)
    assert counted == [(SIZE, fleet.NETWORKS)]
    linked = fleet.read_store(service.db, "SELECT installation_id, COUNT(*) FROM update_reports"
                                          " WHERE rollout_id = ? GROUP BY 1", figures.rollout_id)
    assert dict(linked) == {i.id: 3 if i.id in failing else 1 for i in installations}

    funnel = assert_console_agrees(service, figures, installations)
    # Each row holds the stages above it: the last one is the whole rollout.
    assert [s["destinatarias"] for s in funnel] == \
        [sum(len(members(installations, k)) for k in range(stage + 1)) for stage in range(4)]
    whole = funnel[-1]
    assert whole["ofrecida"] == whole["descarga_iniciada"] == whole["con_resultado"] == SIZE
    assert (whole["descargada"], whole["ok"], whole["confirmadas"], whole["fallidas"]) == (ok, ok, ok, len(failing))
    assert sum(f["instalaciones"] for f in whole["fallos"] if (f["paso"], f["codigo"]) ==
               ("DESCARGA", 12002)) == len(failing)


@pytest.mark.parametrize("failing", [FAILING, NOT_STARTING], ids=["install", "start"])
def test_a_release_failing_for_30_percent_halts_inside_its_first_stage(servicio, front, failing):
    [step] = failing.rates
    installations = fleet.make_fleet(SIZE, failing.seed, failing.rates)
    first = members(installations, 0)
    first_ids = {i.id for i in first}
    bad = [i for i in first if i.fails_at]
    rate = failing.max_failure_percent / 100
    # Preconditions of the fleet: the first stage is about 1 % of it; it
    # fails above the threshold; its successes alone can never make the
    # minimum with a rate under the threshold, so no order of arrival lets
    # it advance; and once all have reported, a retried failure finds the
    # stage over the threshold, so it halts whatever the order.
    assert 0.005 * SIZE <= len(first) <= 0.015 * SIZE and len(first) >= MIN_OUTCOMES
    assert len(bad) > rate * len(first)
    assert MIN_OUTCOMES > (len(first) - len(bad)) / (1 - rate)

    figures, installations, service = fleet.run_plan(failing, servicio(), front)
    assert figures.errors == []
    assert_both_instances_served(service)
    assert_reports_stored_once(service, figures)
    assert (figures.status, figures.stage) == (HALTED, 0)
    assert [(event, detail) for _, event, detail in figures.events] == [("iniciado", ""), ("detenido", figures.reason)]
    # The reason gives the stage's failures over its outcomes when it halted:
    # at least the minimum of outcomes, a rate above the threshold.
    failures, outcomes, percent, networks = REASON.fullmatch(figures.reason).groups()
    failures, outcomes = int(failures), int(outcomes)
    assert 3 <= int(networks) <= failures
    assert MIN_OUTCOMES <= outcomes <= len(first) and rate * outcomes < failures <= len(bad)
    assert percent == f"{100 * failures / outcomes:.1f}"
    rounds = figures.rounds
    assert [r.stage for r in rounds] == [0] * len(rounds)
    assert rounds[-1].offers == 0 and len(rounds) < failing.max_rounds

    # Offered to the first stage only: rows of stage 0, each one of the
    # installations placed under 1 %, as many as the halt had seen at least.
    rows = fleet.rollout_rows(service.db, figures.rollout_id)
    assert set(rows) <= first_ids and len(rows) >= outcomes
    # Nobody was offered it after the halt: besides the installations the
    # halt counted, only those the other threads had in hand then have rows.
    assert len(rows) <= outcomes + failing.threads - 1
    assert {row["stage"] for row in rows.values()} == {0}
    assert all(row["place"] < 1 for row in rows.values())
    assert {i.id for i in installations if i.attempts > 0} == set(rows)
    # A failed start follows its OK: two reports of one offer.
    starts_failed = sum(row["last_result"] == "ARRANQUE_FALLIDO" for row in rows.values())
    assert sum(r.offers for r in rounds) == sum(row["outcomes"] for row in rows.values()) - starts_failed
    for installation in installations:
        if installation.id in rows:
            row = rows[installation.id]
            expected = FAILED_ROW[step] if installation.fails_at else ("OK", "", 0)
            assert (row["last_result"], row["last_step"], row["last_code"]) == expected, installation.hostname
            assert (row["confirmed_at"] is not None) == (installation.fails_at is None)
            assert row["outcomes"] == installation.attempts * (2 if installation.fails_at == "ARRANQUE" else 1)
    versions = dict(fleet.read_store(service.db, "SELECT id, program_version FROM installations"))
    assert sorted(id for id, version in versions.items() if version == NEW_VERSION) == \
        sorted(id for id, row in rows.items() if row["ok_ms"] > 0 and row["last_result"] == "OK")

    funnel = assert_console_agrees(service, figures, installations)
    assert [s["destinatarias"] for s in funnel] == \
        [sum(len(members(installations, k)) for k in range(stage + 1)) for stage in range(4)]
    assert [s["ofrecida"] for s in funnel] == [len(rows)] * 4
    assert funnel[0]["fallos"] == [{"paso": step, "codigo": FAILED_ROW[step][2], "instalaciones": funnel[0]["fallidas"]}]
    assert funnel[0]["fallidas"] >= failures
