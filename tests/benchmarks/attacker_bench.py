"""What a stranger holding the agents' key can do to a vendor's rollouts,
store and console, replayed against this build and, with
TREVANTO_BENCH_BEFORE naming another build (the one before a change), against
that one too, side by side; then what the rules of this build ask of an
attacker who prepares. Loopback stands for the internet: a stranger speaks
from many 127.a.b.c addresses, each 127.a.b.0/24 a network (as one IPv6 /64
gives anyone addresses, and a few networks cost little). Figures only."""

import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "vendor-service" / "system"))
from servicio import PROGRAM, Servicio, query, wait_for  # noqa: E402
from test_attackers import (OPERATOR, PASSWORD, check_in, command, in_parallel, log_in, publish,  # noqa: E402
                            report, start_rollout)

BEFORE = os.environ.get("TREVANTO_BENCH_BEFORE", "")


@dataclass
class Outcome:
    requests: int = 0
    addresses: int = 0
    networks: int = 0
    seconds: float = 0.0
    result: str = ""


class Attack:
    """Requests a stranger sends, counted with their addresses and networks."""

    def __init__(self) -> None:
        self.requests = 0
        self.sources = set()
        self.started = time.monotonic()

    def used(self, source: str, count: int = 1) -> None:
        self.requests += count
        self.sources.add(source)

    def outcome(self, result: str) -> Outcome:
        networks = {source.rsplit(".", 1)[0] for source in self.sources}
        return Outcome(self.requests, len(self.sources), len(networks), time.monotonic() - self.started, result)


def started(program: Path, rollout: List[str], *options: str) -> Servicio:
    """A service of the build with its release, and a rollout started before it serves (its id in
    `service.rollout`)."""
    service = Servicio()
    service.program = program
    publish_with(service, program)
    service.rollout = rollout_with(service, *rollout)
    service.start(*options, panel=program == PROGRAM)
    return service


def publish_with(service: Servicio, program: Path) -> None:
    """publish() with the build under test."""
    import test_attackers
    saved = test_attackers.PROGRAM
    test_attackers.PROGRAM = program
    try:
        service.release = publish(service)
    finally:
        test_attackers.PROGRAM = saved


def rollout_with(service: Servicio, *options: str) -> int:
    import test_attackers
    saved = test_attackers.PROGRAM
    test_attackers.PROGRAM = service.program
    try:
        return start_rollout(service, service.release, *options)
    finally:
        test_attackers.PROGRAM = saved


def status_of(service: Servicio, rollout: int) -> tuple:
    return query(service.db, "SELECT status, current_stage FROM rollouts WHERE id = ?", rollout)[0]


def fails(service: Servicio, attack: Attack, hosts: List[tuple], ok: bool = False) -> int:
    """Each made-up host checks in and reports on its offer: the offers."""
    def one(host: str, source: str) -> int:
        try:
            url = check_in(service, host, source)
        except (AssertionError, OSError):  # refused (429): counted, nothing more
            return 0
        if url is None:
            return 0
        report(service, url, source, ok=ok)
        return 1
    for host, source in hosts:
        attack.used(source)
    offers = sum(in_parallel([lambda h=h, s=s: one(h, s) for h, s in hosts]))
    for _ in range(offers):
        attack.requests += 1
    return offers


def halt_one_percent(program: Path) -> Outcome:
    service = started(program, [])
    try:
        rollout = service.rollout
        attack = Attack()
        # 63 addresses of one network, each within its burst of 30 and its 2 a second.
        hosts = [(f"INVENTADA-{k}", f"127.60.0.{1 + k % 63}") for k in range(63 * 60)]
        for start in range(0, len(hosts), 315):
            fails(service, attack, hosts[start:start + 315])
            if status_of(service, rollout)[0] == "DETENIDO":
                return attack.outcome("halted")
        return attack.outcome(f"not halted ({status_of(service, rollout)[0]})")
    finally:
        service.stop()


def halt_last_stage(program: Path) -> Outcome:
    service = started(program, ["--stages", "100"])
    try:
        rollout = service.rollout
        attack = Attack()
        fails(service, attack, [(f"INVENTADA-{k}", f"127.61.0.{1 + k}") for k in range(20)])
        return attack.outcome("halted" if status_of(service, rollout)[0] == "DETENIDO" else "not halted")
    finally:
        service.stop()


def halt_by_pilot_name(program: Path) -> Outcome:
    service = started(program, ["--pilot", "PC-PILOTO"])
    try:
        rollout = service.rollout
        attack = Attack()

        def claim(k: int) -> None:
            attack.used("127.62.0.1")
            url = check_in(service, "pc-piloto", "127.62.0.1", path=f"C:\\Copia {k}\\mesalto.exe")
            if url:
                attack.used("127.62.0.1")
                report(service, url, "127.62.0.1", ok=False)
        # One address, paced within its rate (2 a second after a burst of 30).
        for k in range(25):
            try:
                claim(k)
            except (AssertionError, OSError):
                pass
            time.sleep(0.5)
        return attack.outcome("halted" if status_of(service, rollout)[0] == "DETENIDO" else "not halted")
    finally:
        service.stop()


def advance_with_fake_oks(program: Path) -> Outcome:
    service = started(program, ["--stages", "50,100", "--soak-seconds", "1"])
    try:
        rollout = service.rollout
        attack = Attack()
        fails(service, attack, [(f"INVENTADA-{k}", f"127.63.0.{1 + k}") for k in range(80)], ok=True)
        begun = time.monotonic()
        wait_for(lambda: time.monotonic() - begun > 3, timeout=10)
        return attack.outcome("advanced" if status_of(service, rollout)[1] > 0 else "not advanced")
    finally:
        service.stop()


def wipe_reports(program: Path) -> Outcome:
    service = started(program, ["--stages", "100", "--manual"], "--store-max-mb", "1")
    try:
        for i in range(14):
            url = check_in(service, f"OFICINA-{i}", f"127.64.{i}.1")
            report(service, url, f"127.64.{i}.1", ok=True, report_id=f"real-{i}")
        attack = Attack()
        # The largest check-in each build takes, from one address then, as much as it takes, from 14.
        for size in (960_000, 3_800):
            for k in range(60 if size > 100_000 else 420):
                source = "127.65.0.1" if size > 100_000 else f"127.65.1.{1 + k % 14}"
                attack.used(source)
                try:
                    check_in(service, f"BASURA-{size}-{k}", source, padding=size)
                except (AssertionError, OSError):  # refused: too long (and cut), or over the rate
                    pass
        begun = time.monotonic()
        wait_for(lambda: time.monotonic() - begun > 5, timeout=10)
        left = query(service.db, "SELECT COUNT(*) FROM update_reports WHERE report_id LIKE 'real-%'")[0][0]
        return attack.outcome(f"{left} of 14 real reports left")
    finally:
        service.stop()


def console_guesses(program: Path) -> Outcome:
    service = started(program, [])
    try:
        attack = Attack()
        guesses = in_parallel([lambda k=k: log_in(service.port, "127.66.0.1", OPERATOR, f"adivina-{k}")
                               for k in range(60)], workers=60)
        attack.used("127.66.0.1", 60)
        return attack.outcome(f"{sum(1 for s, _ in guesses if s == 401)} of 60 parallel guesses checked")
    finally:
        service.stop()


def console_lockout(program: Path) -> Outcome:
    service = started(program, [])
    try:
        attack = Attack()
        in_parallel([lambda k=k: log_in(service.port, f"127.67.0.{1 + k}", OPERATOR, "mala") for k in range(20)],
                    workers=20)
        for k in range(20):
            attack.used(f"127.67.0.{1 + k}")
        status, wait = log_in(service.port, "127.68.0.1", OPERATOR, PASSWORD)
        return attack.outcome(f"the operator elsewhere: {status}" + (f", Retry-After {wait}" if wait else ""))
    finally:
        service.stop()


SCENARIOS = [
    ("halt a rollout's 1 % stage with made-up installations", halt_one_percent),
    ("halt a rollout in its last stage (100 %)", halt_last_stage),
    ("halt a rollout by a pilot's host name", halt_by_pilot_name),
    ("advance a stage with fake successes", advance_with_fake_oks),
    ("push 14 real reports out of a 1 MiB store", wipe_reports),
    ("guess an operator's password in parallel", console_guesses),
    ("lock the operator out (20 parallel wrong guesses)", console_lockout),
]


def row(name: str, build: str, outcome: Outcome) -> List[str]:
    return [name, build, str(outcome.requests), str(outcome.addresses), str(outcome.networks),
            f"{outcome.seconds:.1f}", outcome.result]


def table(rows: List[List[str]], header: List[str]) -> None:
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for line in [header] + rows:
        print("  " + "  ".join(v.ljust(w) for v, w in zip(line, widths)))


def needs() -> None:
    """What the default rules ask of an attacker who prepares, from the rules themselves."""
    per_day, networks, weight, outcomes, stage = 100, 3, 5, 20, 0.01
    counted = max(outcomes, networks)  # each at its network's weight at most
    spread = max(networks, -(-outcomes // weight))
    prepared = int(counted / stage)
    print("\n== What this build's defaults ask of an attacker (stages 1,10,50,100; 20 outcomes; 10 %)")
    print(f"  - Outcomes count only from installations first seen before the rollout started: made up on")
    print(f"    demand, none counts. An attacker prepares them ahead, at most {per_day} new installations per")
    print(f"    network (IPv4 /24, IPv6 /48) in 24 hours.")
    print(f"  - Halting or advancing a stage takes counted outcomes from {networks} networks at least, each")
    print(f"    weighing {weight} installations at most: {counted} counted failures (or successes) need {spread}")
    print(f"    networks with {weight} each in the stage.")
    print(f"  - In a 1 % stage, about one prepared installation in 100 falls in it (places are the service's")
    print(f"    secret): {prepared:,} prepared installations, {prepared // per_day} network-days of preparation")
    print(f"    (say {spread} networks for {-(-prepared // per_day // spread)} days), before the rollout starts;")
    print(f"    in the last stage, {counted} prepared installations in {spread} networks. The vendor's own outcomes")
    print(f"    in the stage count against theirs.")
    print(f"  - Console: 5 tries per address and 5 per name from one network before waits that double up to")
    print(f"    300 s; 10 per name from anywhere before waits of at most 4 s; passwords of 12 characters or more,")
    print(f"    not common ones.")


def main() -> None:
    builds = [("this", PROGRAM)] + ([("before", Path(BEFORE))] if BEFORE else [])
    rows = []
    for name, scenario in SCENARIOS:
        for build, program in builds:
            rows.append(row(name, build, scenario(program)))
            print(f"  ... {name}, {build}: {rows[-1][-1]}", flush=True)
    print("\n== Attacks replayed (requests sent, source addresses, their /24 networks, seconds, what came of it)")
    table(rows, ["attack", "build", "requests", "addresses", "networks", "s", "result"])
    needs()


if __name__ == "__main__":
    main()
