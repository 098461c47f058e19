"""The vendor's release statements under Wine, with this build's test keys:
update offers through the real worker (`harness update`, built to require
statements as trevanto.exe with keys is) and new agents through the real
self-update check. What a compromised service or download host may offer
is installed only as the vendor's offline key stated it."""

import base64
import hashlib
import json
import shutil

import pytest

import bench
from bench import API_HOST, DOWNLOAD_HOST, journal, make_program_folder, press, started, statement_of, wait_window, \
    winpath as w
from fault_server import Answer
from test_update import NEW, OLD, program, report_bodies, update  # noqa: F401 (fixture)

TRUST = {"AUSENTE": 0x800B0100, "FIRMA": 0x80096010, "TIPO": 0x800B0110, "PRODUCTO": 0x800B0004,
         "NOMBRE": 0x800B0003, "VERSION": 0x800B0101, "SHA256": 0x80096010, "TAMANO": 0x80096010}
MESSAGES = {"AUSENTE": "paquete sin declaracion", "FIRMA": "declaracion no firmada por el fabricante",
            "TIPO": "declaracion para otro uso", "PRODUCTO": "declaracion para otro programa",
            "NOMBRE": "nombre declarado no valido", "VERSION": "version declarada no es mas nueva",
            "SHA256": "sha256 distinto del declarado", "TAMANO": "tamano distinto del declarado"}


def as_int32(code: int) -> int:
    return code - (1 << 32) if code >= 1 << 31 else code


def listing(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*")
            if p.is_file() and "actualizador_registros" not in p.parts}


def one_byte_changed(statement: dict) -> dict:
    text = bytearray(base64.b64decode(statement["declaracion"]))
    text[text.index(b"6.0.3.17")] = ord("7")  # 7.0.3.17: a newer version the vendor never stated
    return dict(statement, declaracion=base64.b64encode(bytes(text)).decode())


def assert_report(server, check):
    [report] = report_bodies(server)
    assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"],
            report["version_nueva"]) == ("DESCARGA_FALLIDA", as_int32(TRUST[check]), MESSAGES[check],
                                         f"DECLARACION_{check}", "")


@pytest.fixture
def required(program):
    """The program folder with the harness that requires statements as its agent."""
    shutil.copy(bench.HARNESS_SIGNED_ONLY, program / "trevanto.exe")
    return program


class TestStatedPackage:
    def test_installs_under_the_stated_name_whatever_the_address(self, required, server, procs):
        # A Mesalto program offered as /paquetes/DATOS.MDB: stored as the
        # statement names it, mesalto.exe; the customer's database untouched.
        server.answer("/paquetes/DATOS.MDB", Answer(body=NEW))
        url = f"https://{DOWNLOAD_HOST}/paquetes/DATOS.MDB"

        result = update(procs, required, url, statement=statement_of(NEW))

        assert result == {"messages": 1, "progress": 100, "step": 3}
        lines = journal(required)
        exe = w(required / "mesalto.exe")
        assert lines[:4] == [f"DECLARACION_VALIDA;{url};clave=1;version=6.0.3.17;archivo=mesalto.exe",
                             "TASKKILL_APP;mesalto.exe;estado=OK;ec=128",
                             f"RENOMBRADO_A_2;{exe};{w(required / 'mesalto2.exe')}", f"DESCARGA;{url};{exe}"]
        assert (required / "mesalto.exe").read_bytes() == NEW
        assert (required / "DATOS.MDB").read_bytes() == b"base de datos"
        assert (required / "actualizador_registros" / "versiones_instaladas.txt").read_bytes() == \
            b"MarvekMesalto=6.0.3.17\n"
        [report] = report_bodies(server)
        assert (report["resultado"], report["version_nueva"]) == ("OK", "6.0.3.17")

    @pytest.mark.parametrize("case,check", [
        ("older", "VERSION"), ("same", "VERSION"), ("other-product", "PRODUCTO"), ("byte-changed", "FIRMA"),
        ("unknown-key", "FIRMA"), ("agent-statement", "TIPO"), ("agents-own-name", "NOMBRE"), ("none", "AUSENTE"),
    ])
    def test_refused_before_the_program_is_stopped(self, required, server, procs, case, check):
        statements = {
            "older": lambda: statement_of(NEW, version="5.2.0.9"),
            "same": lambda: statement_of(NEW, version="5.2.1.0"),
            "other-product": lambda: statement_of(NEW, product="MarvekOlvo", name="olvo.exe"),
            "byte-changed": lambda: one_byte_changed(statement_of(NEW)),
            "unknown-key": lambda: statement_of(NEW, key="ajena"),
            "agent-statement": lambda: statement_of(NEW, kind="agente", version="9.0", name="mesalto.exe"),
            "agents-own-name": lambda: statement_of(NEW, name="trevanto.exe"),
            "none": lambda: None,
        }
        server.answer("/paquetes/mesalto.exe", Answer(body=NEW))
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"
        before = listing(required)

        result = update(procs, required, url, statement=statements[case]())

        assert result == {"messages": 1, "progress": 0, "step": 0}
        detail = ";declarada=5.2.0.9;programa=5.2.1.0;instalada=" if case == "older" else \
            ";declarada=5.2.1.0;programa=5.2.1.0;instalada=" if case == "same" else ""
        assert journal(required) == [f"DECLARACION_{check};{url}{detail}"]
        assert_report(server, check)
        assert server.requests_to("/paquetes/mesalto.exe") == []
        assert listing(required) == before
        assert started(required) == []  # never stopped, so never started again

    @pytest.mark.parametrize("check", ["SHA256", "TAMANO"])
    def test_bytes_other_than_stated_are_refused_before_anything_is_written(self, required, server, procs, check):
        served = bytearray(NEW)
        served[5000] ^= 0x01
        if check == "TAMANO":
            served += b"\0" * 1000  # announced longer than stated: not a byte of it is taken
        server.answer("/paquetes/mesalto.exe", Answer(body=bytes(served)))
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"
        before = listing(required)

        result = update(procs, required, url, statement=statement_of(NEW))

        assert (result["messages"], result["step"]) == (1, 0)
        exe, aside = w(required / "mesalto.exe"), w(required / "mesalto2.exe")
        detail = f";declarado={len(NEW)};obtenido=mas" if check == "TAMANO" else \
            f";declarado={hashlib.sha256(NEW).hexdigest()};obtenido={hashlib.sha256(served).hexdigest()}"
        lines = journal(required)
        assert lines[1:] == ["TASKKILL_APP;mesalto.exe;estado=OK;ec=128", f"RENOMBRADO_A_2;{exe};{aside}",
                             f"DECLARACION_{check};{url}{detail}", f"RESTAURADO_EXE_ANTERIOR;{aside};->;{exe}",
                             lines[-1]]
        assert lines[-1].startswith(f"RELANZAR_APP;{exe};hinst=")
        assert_report(server, check)
        after = listing(required)
        after.pop("mesalto.exe.arranques.txt")
        assert after == before

    def test_installed_version_is_a_floor_for_a_program_without_a_version_resource(self, required, server, procs):
        server.answer("/paquetes/mesalto.exe", Answer(body=NEW))
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"
        assert update(procs, required, url, statement=statement_of(NEW))["step"] == 3
        # The program now has no version resource; only the record keeps the floor.
        shutil.copy(bench.DOUBLES / "sibling_noversion.exe", required / "mesalto.exe")
        server.reset()
        server.answer("/paquetes/mesalto.exe", Answer(body=OLD))
        before = listing(required)

        result = update(procs, required, url, statement=statement_of(OLD, version="6.0.0.0"))

        assert result == {"messages": 1, "progress": 0, "step": 0}
        assert journal(required)[-1] == f"DECLARACION_VERSION;{url};declarada=6.0.0.0;programa=;instalada=6.0.3.17"
        assert_report(server, "VERSION")
        assert listing(required) == before


# --- the new agent -------------------------------------------------------------

VERSION_PATH = "/apis/trevanto/v1/agente-version?version=1.26.0803"
NEW_PATH = "/agente/1.26.0900/trevanto.exe"
NEW_URL = f"https://{DOWNLOAD_HOST}{NEW_PATH}"
BOX_TITLE = "Trevanto - Error de auto-actualización"
NEW_AGENT = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()


def self_update(server, procs, folder, statement):
    """CheckSelfUpdate from the harness that requires statements, offered NEW_AGENT with that statement."""
    body = {"version": "1.26.0900", "url": NEW_URL, **(statement or {})}
    server.answer(VERSION_PATH, Answer(body=json.dumps(body, separators=(",", ":")).encode()), host=API_HOST)
    server.answer(NEW_PATH, Answer(body=NEW_AGENT), host=DOWNLOAD_HOST)
    agent = folder / "agente_prueba.exe"
    shutil.copy(bench.HARNESS_SIGNED_ONLY, agent)
    return procs.start(["wine", agent, "self-update", w(folder)], cwd=folder), agent


class TestStatedAgent:
    def test_stated_new_agent_is_handed_over(self, tmp_path, server, procs):
        folder = make_program_folder(tmp_path)
        proc, agent = self_update(server, procs, folder, statement_of(NEW_AGENT, "agente", "1.26.0900", "trevanto.exe"))
        assert '"handed_over":true' in bench.first_line(proc)
        assert journal(folder) == [f"DECLARACION_VALIDA;{NEW_URL};clave=1;version=1.26.0900"]
        assert bench.finish(proc) == 0
        assert bench.wait_until(lambda: agent.read_bytes() == NEW_AGENT, 30)

    @pytest.mark.parametrize("case,check,fetched", [
        ("program-statement", "TIPO", False), ("older", "VERSION", False), ("none", "AUSENTE", False),
        ("other-bytes", "SHA256", True),
    ])
    def test_refused_new_agent_gets_the_warning_box_and_no_hand_over(self, tmp_path, server, procs, case, check,
                                                                     fetched):
        statement = {
            "program-statement": lambda: statement_of(NEW_AGENT, version="1.26.0900", name="trevanto.exe"),
            "older": lambda: statement_of(NEW_AGENT, "agente", "1.26.0802", "trevanto.exe"),
            "none": lambda: None,
            "other-bytes": lambda: statement_of(NEW_AGENT[:5000] + bytes([NEW_AGENT[5000] ^ 1]) + NEW_AGENT[5001:],
                                                "agente", "1.26.0900", "trevanto.exe"),
        }[case]()
        folder = make_program_folder(tmp_path)
        proc, agent = self_update(server, procs, folder, statement)

        box = wait_window(BOX_TITLE)
        assert box is not None and box["icon"] == "warning", journal(folder)
        assert f"No se pudo descargar la actualización del actualizador:\n{NEW_URL}\n\nError: {TRUST[check]}" \
            in box["texts"]
        assert press(BOX_TITLE)
        assert '"handed_over":false' in bench.first_line(proc)
        assert bench.finish(proc) == 0
        assert journal(folder)[-1] == f"DECLARACION_{check};{NEW_URL}"
        assert len(server.requests_to(NEW_PATH)) == (1 if fetched else 0)
        assert not (folder / "trevanto_new.exe").exists() and not (folder / "actualizar_agente.bat").exists()
        assert agent.read_bytes() == bench.HARNESS_SIGNED_ONLY.read_bytes()
