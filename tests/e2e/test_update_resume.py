"""The update worker's package fetch resumed after a cut transfer, and the
package checked against the SHA-256 an update offer names, end to end under
Wine through `harness update`."""

import hashlib
import os
import re

import pytest

from bench import DOWNLOAD_HOST, journal, started, wait_until
from fault_server import Answer
from test_update import NEW, OLD, program, report_bodies, update, w  # noqa: F401 (fixture)

PACKAGE_PATH = "/paquetes/mesalto.exe"
URL = f"https://{DOWNLOAD_HOST}{PACKAGE_PATH}"
BIG = b"MZ" + os.urandom(30 * 1024 * 1024 - 2)
THIRD = len(BIG) // 3
INSTALLED = ["TASKKILL_APP", "RENOMBRADO_A_2", "DESCARGA", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES", "COPIA_OK",
             "COPIA_OK", "COPIA_PATRONES_RESUMEN", "ZIP_CARPETA", "RELANZAR_APP"]
RESTORED = ["TASKKILL_APP", "RENOMBRADO_A_2", "RESTAURADO_EXE_ANTERIOR", "RELANZAR_APP"]


def codes_without(lines, *dropped):
    return [line.split(";")[0] for line in lines if not line.startswith(dropped)]


def resumptions(lines):
    return [line for line in lines if line.startswith("REANUDAR_DESCARGA;")]


def assert_installed(program, server, package):
    lines = journal(program)
    assert codes_without(lines, "REANUDAR_DESCARGA;") == INSTALLED
    assert lines[2] == f"REANUDAR_DESCARGA;{URL};desde={THIRD};intento=1"
    assert (program / "mesalto.exe").read_bytes() == package
    assert not (program / "mesalto2.exe").exists()
    [report] = report_bodies(server)
    assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"],
            report["url_parche"]) == ("OK", 0, "", "", URL)


def assert_restored(program, server, code, message, step):
    exe, setaside = w(program / "mesalto.exe"), w(program / "mesalto2.exe")
    lines = journal(program)
    assert lines[-2] == f"RESTAURADO_EXE_ANTERIOR;{setaside};->;{exe}"
    assert lines[-1].startswith(f"RELANZAR_APP;{exe};hinst=")
    assert (program / "mesalto.exe").read_bytes() == OLD
    assert not (program / "mesalto2.exe").exists()
    [report] = report_bodies(server)
    assert (report["resultado"], report["mensaje_error"], report["paso_fallido"], report["version_nueva"]) == \
        ("DESCARGA_FALLIDA", message, step, "")
    if code is None:
        assert report["codigo_error"] != 0
    else:
        assert report["codigo_error"] == code
    assert wait_until(lambda: len(started(program)) == 1, 20)
    return lines


def if_ranges(server):
    return [r.header("If-Range") for r in server.requests_to(PACKAGE_PATH)]


class TestResume:
    def test_cut_at_a_third_is_resumed_with_a_range_and_installs(self, program, server, procs):
        # The rest is asked for only if the file is still the one whose head
        # is held: If-Range names the first answer's ETag.
        etag = {"ETag": '"paquete-v1"', "Last-Modified": "Tue, 01 Dec 2026 10:00:00 GMT"}
        server.answer_sequence(PACKAGE_PATH, [Answer(body=BIG, drop_after=THIRD, headers=etag),
                                              Answer(body=BIG, honour_range=True, headers=etag)])

        # The hash is taken as the bytes arrive: the held head, then the rest.
        assert update(procs, program, URL, sha256=hashlib.sha256(BIG).hexdigest()) == \
            {"messages": 1, "progress": 100, "step": 3}

        assert [r.range for r in server.requests_to(PACKAGE_PATH)] == [None, f"bytes={THIRD}-"]
        assert if_ranges(server) == [None, '"paquete-v1"']
        assert_installed(program, server, BIG)

    def test_package_replaced_between_cut_and_resume_is_taken_whole(self, program, server, procs):
        # Without an ETag, If-Range names the first answer's Last-Modified; the
        # file has changed since, so the server answers 200 with the whole new
        # one, which starts the fetch over instead of joining the two files.
        replaced = b"MZ" + os.urandom(len(BIG) - 2)
        server.answer_sequence(PACKAGE_PATH, [
            Answer(body=BIG, drop_after=THIRD, headers={"Last-Modified": "Tue, 01 Dec 2026 10:00:00 GMT"}),
            Answer(body=replaced, honour_range=True, headers={"Last-Modified": "Wed, 02 Dec 2026 08:30:00 GMT"})])

        # The hash starts over with the bytes.
        assert update(procs, program, URL, sha256=hashlib.sha256(replaced).hexdigest()) == \
            {"messages": 1, "progress": 100, "step": 3}

        assert (program / "mesalto.exe").read_bytes() == replaced
        assert [r.range for r in server.requests_to(PACKAGE_PATH)] == [None, f"bytes={THIRD}-"]
        assert if_ranges(server) == [None, "Tue, 01 Dec 2026 10:00:00 GMT"]
        assert_installed(program, server, replaced)

    def test_link_cut_on_every_attempt_fails_after_four_requests(self, program, server, procs):
        # Every answer is cut after another sixth: the held bytes grow from
        # attempt to attempt, and the package is never complete.
        piece = len(BIG) // 6
        server.answer(PACKAGE_PATH, Answer(body=BIG, honour_range=True, drop_after=piece))

        result = update(procs, program, URL)

        assert (result["messages"], result["step"]) == (1, 0)
        assert 0 < result["progress"] < 70
        requests = server.requests_to(PACKAGE_PATH)
        assert [r.range for r in requests] == [None] + [f"bytes={piece * k}-" for k in (1, 2, 3)]
        waits = [later.arrived - earlier.arrived for earlier, later in zip(requests, requests[1:])]
        assert [wait >= least for wait, least in zip(waits, (1.9, 3.9, 7.9))] == [True] * 3, waits
        lines = assert_restored(program, server, None, "DownloadUrlBytes_URL fallo", "DESCARGA")
        assert resumptions(lines) == [f"REANUDAR_DESCARGA;{URL};desde={piece * k};intento={k}" for k in (1, 2, 3)]
        assert codes_without(lines, "REANUDAR_DESCARGA;") == RESTORED[:2] + ["ERROR_DESCARGA"] + RESTORED[2:]

    def test_range_answer_starting_elsewhere_fails_without_further_attempts(self, program, server, procs):
        wrong = Answer(status=206, body=BIG[:10], headers={"Content-Range": f"bytes 0-9/{len(BIG)}"})
        server.answer_sequence(PACKAGE_PATH, [Answer(body=BIG, drop_after=THIRD), wrong])

        result = update(procs, program, URL)

        assert (result["messages"], result["step"]) == (1, 0)
        assert [r.range for r in server.requests_to(PACKAGE_PATH)] == [None, f"bytes={THIRD}-"]
        lines = assert_restored(program, server, 206, "DownloadUrlBytes_URL fallo", "DESCARGA")
        assert resumptions(lines) == [f"REANUDAR_DESCARGA;{URL};desde={THIRD};intento=1"]
        assert codes_without(lines, "REANUDAR_DESCARGA;") == RESTORED[:2] + ["ERROR_DESCARGA"] + RESTORED[2:]


    @pytest.mark.parametrize("length,code", [("auto", 206), (None, 223)], ids=["its-length", "no-length"])
    def test_resumed_answer_longer_than_the_rest_fails(self, program, server, procs, length, code):
        # A 206 for exactly the rest by its Content-Range, with 4 KiB more:
        # refused by its Content-Length, or, without one, as the surplus arrives.
        longer = Answer(status=206, body=BIG[THIRD:] + os.urandom(4096), content_length=length,
                        headers={"Content-Range": f"bytes {THIRD}-{len(BIG) - 1}/{len(BIG)}"})
        server.answer_sequence(PACKAGE_PATH, [Answer(body=BIG, drop_after=THIRD), longer])

        result = update(procs, program, URL)

        assert (result["messages"], result["step"]) == (1, 0)
        lines = assert_restored(program, server, code, "DownloadUrlBytes_URL fallo", "DESCARGA")
        assert resumptions(lines) == [f"REANUDAR_DESCARGA;{URL};desde={THIRD};intento=1"]
        assert codes_without(lines, "REANUDAR_DESCARGA;") == RESTORED[:2] + ["ERROR_DESCARGA"] + RESTORED[2:]

    def test_head_with_a_weak_etag_is_fetched_again_whole(self, program, server, procs):
        # A weak ETag may not stand in If-Range, nor a date in its place: the
        # held head is dropped and the file asked for from its first byte.
        # The file is replaced within the same second under the same weak
        # ETag and date: joined to the old head, it would be neither.
        weak = {"ETag": 'W/"paquete-v1"', "Last-Modified": "Tue, 01 Dec 2026 10:00:00 GMT"}
        replaced = b"MZ" + os.urandom(len(BIG) - 2)
        server.answer_sequence(PACKAGE_PATH, [Answer(body=BIG, drop_after=THIRD, headers=weak),
                                              Answer(body=replaced, honour_range=True, headers=weak)])

        assert update(procs, program, URL) == {"messages": 1, "progress": 100, "step": 3}

        assert [(r.range, r.header("If-Range")) for r in server.requests_to(PACKAGE_PATH)] == [(None, None)] * 2
        lines = journal(program)
        assert resumptions(lines) == [f"REANUDAR_DESCARGA;{URL};desde=0;intento=1"]
        assert codes_without(lines, "REANUDAR_DESCARGA;") == INSTALLED
        assert (program / "mesalto.exe").read_bytes() == replaced


class TestPackageHash:
    def test_matching_hash_in_upper_case_installs(self, program, server, procs):
        server.answer(PACKAGE_PATH, Answer(body=NEW))
        expected = hashlib.sha256(NEW).hexdigest().upper()

        assert update(procs, program, URL, sha256=expected) == {"messages": 1, "progress": 100, "step": 3}

        assert [line.split(";")[0] for line in journal(program)] == INSTALLED
        assert (program / "mesalto.exe").read_bytes() == NEW
        assert report_bodies(server)[0]["resultado"] == "OK"

    @pytest.mark.parametrize("expected", [
        hashlib.sha256(b"otro paquete").hexdigest().upper(),
        hashlib.sha256(NEW).hexdigest()[:63],
        hashlib.sha256(NEW).hexdigest()[:63] + "g",
    ], ids=["other-package", "63-digits", "not-hex"])
    def test_mismatch_or_malformed_hash_keeps_the_program(self, program, server, procs, expected):
        server.answer(PACKAGE_PATH, Answer(body=NEW))

        result = update(procs, program, URL, sha256=expected)

        assert (result["messages"], result["progress"], result["step"]) == (1, 70, 0)
        lines = assert_restored(program, server, 13, "hash del paquete no coincide", "VERIFICAR_HASH")
        actual = hashlib.sha256(NEW).hexdigest()
        assert lines[:3] == ["TASKKILL_APP;mesalto.exe;estado=OK;ec=128",
                             f"RENOMBRADO_A_2;{w(program / 'mesalto.exe')};{w(program / 'mesalto2.exe')}",
                             f"HASH_NO_COINCIDE;{URL};esperado={expected};obtenido={actual}"]
        assert len(lines) == 5
        assert not re.search(r"^DESCARGA;", "\n".join(lines), re.M)
