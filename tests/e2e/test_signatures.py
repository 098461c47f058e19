"""The vendor's bare signatures ("firma", from before release statements)
under Wine: update packages through `harness update` and new agents through
`harness self-update`, with this build's two test keys (vendedor1,
vendedor2) and a key it does not know (ajena). The harness that lets
unstated offers through stands in for a build in transition
(TREVANTO_REQUIRE_SIGNATURES=OFF), which verifies a "firma"; its twin that
requires statements, for a build with keys as it ships."""

import hashlib
import shutil

import pytest

import bench
from bench import API_HOST, DOWNLOAD_HOST, finish, journal, make_program_folder, press, signature_of, started, \
    wait_until, wait_window, winpath
from fault_server import Answer
from test_update import NEW, OLD, program, report_bodies, update, w  # noqa: F401 (fixture)

PACKAGE_PATH = "/paquetes/mesalto.exe"
URL = f"https://{DOWNLOAD_HOST}{PACKAGE_PATH}"
INVALID, MISSING = 0x80096010, 0x800B0100  # TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE

# Each refused offer: whether the served bytes are one bit away from what
# was signed, the key that signed ("cortada": a signature cut short; None:
# no "firma"), and the harness (the second one requires signatures).
REFUSED = {
    "one-bit-changed": (True, "vendedor1", bench.HARNESS),
    "other-key": (False, "ajena", bench.HARNESS),
    "malformed": (False, "cortada", bench.HARNESS),
    "unsigned-required": (False, None, bench.HARNESS_SIGNED_ONLY),
}


def refused_offer(case, signed: bytes):
    """(served bytes, "firma" or None, harness) of a refused case for what the vendor signed."""
    tampered, key, harness = REFUSED[case]
    served = signed[:5000] + bytes([signed[5000] ^ 0x01]) + signed[5001:] if tampered else signed
    if key is None:
        return served, None, harness
    if key == "cortada":
        return served, signature_of(signed)[:-4], harness
    return served, signature_of(signed, key), harness


def as_int32(code: int) -> int:
    return code - (1 << 32) if code >= 1 << 31 else code


class TestSignedPackage:
    @pytest.mark.parametrize("key,slot", [("vendedor1", 1), ("vendedor2", 2)])
    def test_signed_by_either_slot_installs(self, program, server, procs, key, slot):
        # A build in transition takes a package with a bare signature by either key.
        shutil.copy(bench.HARNESS, program / "trevanto.exe")
        server.answer(PACKAGE_PATH, Answer(body=NEW))

        result = update(procs, program, URL, sha256=hashlib.sha256(NEW).hexdigest(), signature=signature_of(NEW, key))

        assert result == {"messages": 1, "progress": 100, "step": 3}
        lines = journal(program)
        assert lines[2:4] == [f"FIRMA_VALIDA;{URL};clave={slot}", f"DESCARGA;{URL};{w(program / 'mesalto.exe')}"]
        assert (program / "mesalto.exe").read_bytes() == NEW
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["paso_fallido"]) == ("OK", 0, "")

    @pytest.mark.parametrize("case", list(REFUSED))
    def test_refused_offers_leave_the_program_untouched_and_started(self, program, server, procs, case):
        served, signature, harness = refused_offer(case, NEW)
        shutil.copy(harness, program / "trevanto.exe")
        server.answer(PACKAGE_PATH, Answer(body=served))

        # The offer's hash is the served bytes' own, as a service in other
        # hands would make it: only the signature can tell.
        result = update(procs, program, URL, sha256=hashlib.sha256(served).hexdigest(), signature=signature)

        assert result["messages"] == 1
        exe = w(program / "mesalto.exe")
        lines = journal(program)
        if signature is None:
            # A build that requires statements takes no bare offer: refused
            # before the program is stopped, nothing fetched.
            assert lines == [f"DECLARACION_AUSENTE;{URL}"]
            assert server.requests_to(PACKAGE_PATH) == []
            [report] = report_bodies(server)
            assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"]) == \
                ("DESCARGA_FALLIDA", as_int32(MISSING), "paquete sin declaracion", "DECLARACION_AUSENTE")
            assert (program / "mesalto.exe").read_bytes() == OLD
            return
        assert lines[0] == "TASKKILL_APP;mesalto.exe;estado=OK;ec=128"
        assert lines[-1].startswith(f"RELANZAR_APP;{exe};hinst=")
        assert lines[1:-1] == [f"RENOMBRADO_A_2;{exe};{w(program / 'mesalto2.exe')}", f"FIRMA_NO_VALIDA;{URL}",
                               f"RESTAURADO_EXE_ANTERIOR;{w(program / 'mesalto2.exe')};->;{exe}"]
        assert (program / "mesalto.exe").read_bytes() == OLD
        assert sorted(p.name for p in program.iterdir() if p.name.startswith("mesalto")) == \
            ["mesalto.exe", "mesalto.exe.arranques.txt"]
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"]) == \
            ("DESCARGA_FALLIDA", as_int32(INVALID), "firma del paquete no valida", "VERIFICAR_FIRMA")
        assert wait_until(lambda: len(started(program)) == 1, 20)


# --- the new agent -----------------------------------------------------------

VERSION_PATH = "/apis/trevanto/v1/agente-version?version=1.26.0803"
NEW_PATH = "/agente/1.26.0900/trevanto.exe"
NEW_URL = f"https://{DOWNLOAD_HOST}{NEW_PATH}"
BOX_TITLE = "Trevanto - Error de auto-actualización"
NEW_AGENT = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()


def self_update(server, procs, folder, harness, served, signature):
    """CheckSelfUpdate from a copy of `harness` in the folder, offered `served`
    with that "firma" (None: none); its first line and its process."""
    body = b'{"version":"1.26.0900","url":"' + NEW_URL.encode() + b'"'
    body += b"}" if signature is None else b',"firma":"' + signature.encode() + b'"}'
    server.answer(VERSION_PATH, Answer(body=body), host=API_HOST)
    server.answer(NEW_PATH, Answer(body=served), host=DOWNLOAD_HOST)
    agent = folder / "agente_prueba.exe"
    shutil.copy(harness, agent)
    proc = procs.start(["wine", agent, "self-update", winpath(folder)], cwd=folder)
    return proc, agent


class TestSignedAgent:
    @pytest.mark.parametrize("key", ["vendedor1", "vendedor2"])
    def test_signed_new_agent_is_handed_over(self, tmp_path, server, procs, key):
        folder = make_program_folder(tmp_path)
        proc, agent = self_update(server, procs, folder, bench.HARNESS, NEW_AGENT,
                                  signature_of(NEW_AGENT, key))

        assert '"handed_over":true' in bench.first_line(proc)
        assert finish(proc) == 0
        assert wait_until(lambda: (folder / "agente_prueba.exe.arranques.txt").exists(), 30)
        assert agent.read_bytes() == NEW_AGENT

    @pytest.mark.parametrize("case", list(REFUSED))
    def test_refused_new_agent_gets_the_warning_box_and_no_batch(self, tmp_path, server, procs, case):
        served, signature, harness = refused_offer(case, NEW_AGENT)
        folder = make_program_folder(tmp_path)
        proc, agent = self_update(server, procs, folder, harness, served, signature)

        box = wait_window(BOX_TITLE)
        assert box is not None and box["icon"] == "warning"
        code = MISSING if signature is None else INVALID
        assert f"No se pudo descargar la actualización del actualizador:\n{NEW_URL}\n\nError: {code}" in box["texts"]
        assert press(BOX_TITLE)
        assert '"handed_over":false' in bench.first_line(proc)
        assert finish(proc) == 0
        assert sorted(p.name for p in folder.iterdir() if p.suffix in (".exe", ".bat")) == \
            ["7za.exe", "agente_prueba.exe", "mesalto.exe"]
        assert agent.read_bytes() == harness.read_bytes()
        # An unsigned new agent is not even fetched when signatures are required.
        assert len(server.requests_to(NEW_PATH)) == (0 if signature is None else 1)
