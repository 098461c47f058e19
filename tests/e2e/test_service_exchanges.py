"""Installation descriptor, identity, check-in and outcome reports under Wine."""

import datetime
import re
import shutil

import pytest

import bench
from bench import API_HOST, harness, make_program_folder, run_agent, winpath
from fault_server import Answer

CURRENT_VERSION = r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion"
COMPUTER_NAME = r"HKLM\System\CurrentControlSet\Control\ComputerName\ActiveComputerName"
SETTINGS = r"HKCU\SOFTWARE\VB and VBA Program Settings"
MESALTO_KEY = r"SOFTWARE\VB and VBA Program Settings\Marvek Mesalto\Opciones"
CHECKIN = "/apis/trevanto/v1/checkin"
STAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z")


@pytest.fixture
def machine(registry):
    """A known Windows 10 version and computer name; no last-update stamps."""
    registry.set(CURRENT_VERSION, "CurrentMajorVersionNumber", "REG_DWORD", "10")
    registry.set(CURRENT_VERSION, "CurrentMinorVersionNumber", "REG_DWORD", "0")
    registry.set(CURRENT_VERSION, "CurrentBuild", "REG_SZ", "19045")
    registry.set(CURRENT_VERSION, "UBR", "REG_DWORD", "3803")
    registry.set(COMPUTER_NAME, "ComputerName", "REG_SZ", "OFICINA-1")
    registry.delete_key(SETTINGS)
    yield registry
    registry.delete_key(SETTINGS)


def beside(procs, folder, *args, env=None):
    """Runs a harness command from a copy of the harness inside the program folder."""
    copy = folder / "trevanto.exe"
    shutil.copy(bench.HARNESS, copy)
    proc = procs.start(["wine", copy, *args], cwd=folder, env=env)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    import json
    return json.loads(out.decode().strip().splitlines()[-1])


def unhex(value: str) -> bytes:
    return bytes.fromhex(value)


def descriptor(procs, folder, row=0):
    result = beside(procs, folder, "descriptor", winpath(folder), str(row))
    text = unhex(result["text_hex"])
    assert text.startswith(b"prefijo;")
    return result["ok"], text[len(b"prefijo;"):]


def json_path(path) -> bytes:
    return winpath(path).encode("utf-8").replace(b"\\", b"\\\\")


def expected_descriptor(key, version, folder, exe, extra=b"", host=b"OFICINA-1", windows=b"10.0.19045.3803"):
    text = (b'{\n  "actualizador_version": "1.26.0803",\n  "Programa": "' + key + b'",\n  "Version": "' + version + b'"')
    if host:
        text += b',\n  "hostname": "' + host + b'"'
    if windows:
        text += b',\n  "windows_version": "' + windows + b'"'
    text += b',\n  "installed_path": "' + json_path(folder / exe) + b'"'
    return text + extra + b"\n}"


class TestDescriptor:
    def test_all_seven_members(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path)
        assert beside(procs, folder, "write-stamp", MESALTO_KEY) == {"ok": True}
        stamp = machine.query("HKCU\\" + MESALTO_KEY, "TrevantoLastUpdate")
        assert stamp[0] == "REG_SZ" and STAMP.fullmatch(stamp[1])
        # An empty key would be HKEY_CURRENT_USER itself: nothing is written.
        machine.delete("HKCU", "TrevantoLastUpdate")
        assert beside(procs, folder, "write-stamp", "") == {"ok": False}
        assert machine.query("HKCU", "TrevantoLastUpdate") is None

        ok, text = descriptor(procs, folder)
        assert ok is True
        assert text == expected_descriptor(b"MarvekMesalto", b"5.2.1.0", folder, "mesalto.exe",
                                           b',\n  "last_update_at": "' + stamp[1].encode() + b'"')

    def test_five_members_without_host_and_stamp(self, tmp_path, procs, machine):
        machine.set(COMPUTER_NAME, "ComputerName", "REG_SZ", "")
        folder = make_program_folder(tmp_path)
        ok, text = descriptor(procs, folder)
        assert ok is True
        assert text == expected_descriptor(b"MarvekMesalto", b"5.2.1.0", folder, "mesalto.exe", host=b"")
        assert text.count(b'": "') == 5

    @pytest.mark.parametrize("double,version", [("sibling_noversion", b"No disponible"),
                                                ("sibling_1_65535_0_2", b"1.65535.0.2")])
    def test_product_version_forms(self, tmp_path, procs, machine, double, version):
        folder = make_program_folder(tmp_path, double=double)
        ok, text = descriptor(procs, folder)
        assert ok is True
        assert text == expected_descriptor(b"MarvekMesalto", version, folder, "mesalto.exe")

    def test_accented_folder_is_utf8_with_doubled_backslashes(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path, name="Marvek A\u00f1o")
        ok, text = descriptor(procs, folder)
        assert b"Marvek A\xc3\xb1o\\\\mesalto.exe" in text
        assert text == expected_descriptor(b"MarvekMesalto", b"5.2.1.0", folder, "mesalto.exe")

    def test_windows_7_style_registry_values(self, tmp_path, procs, machine):
        machine.delete(CURRENT_VERSION, "CurrentMajorVersionNumber")
        machine.delete(CURRENT_VERSION, "CurrentMinorVersionNumber")
        machine.delete(CURRENT_VERSION, "UBR")
        machine.set(CURRENT_VERSION, "CurrentBuild", "REG_SZ", "7601")
        folder = make_program_folder(tmp_path)
        _, text = descriptor(procs, folder)
        assert b'"windows_version": "0.0.7601.0"' in text

    def test_row_whose_executable_is_missing_writes_nothing(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path)
        assert descriptor(procs, folder, row=4) == (False, b"")


class TestIdentity:
    def test_directory_named_mesalto_gives_quindel(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path, siblings=("quindel.exe",), double="sibling_6_0_3_17")
        (folder / "mesalto.exe").mkdir()
        identity = {k: unhex(v).decode() for k, v in beside(procs, folder, "identity").items()}
        assert identity == {"product_key": "MarvekQuindel", "product_version": "6.0.3.17",
                            "exe_name": "quindel.exe",
                            "settings_key": r"SOFTWARE\VB and VBA Program Settings\Marvek Quindel\Opciones"}
        ok, text = descriptor(procs, folder, row=1)
        assert ok and b'"Programa": "MarvekQuindel"' in text

    def test_mesalto_wins_over_tijeral(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path, siblings=("mesalto.exe", "tijeral.exe"))
        identity = beside(procs, folder, "identity")
        assert unhex(identity["product_key"]) == b"MarvekMesalto"

    def test_no_program_gives_empty_identity(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path, siblings=())
        identity = beside(procs, folder, "identity")
        assert identity == {"product_key": "", "product_version": "", "exe_name": "", "settings_key": ""}

    def test_identity_without_version_resource_has_empty_version(self, tmp_path, procs, machine):
        folder = make_program_folder(tmp_path, double="sibling_noversion")
        assert beside(procs, folder, "identity")["product_version"] == ""


class TestCheckIn:
    def test_body_is_stored_in_both_files_with_crlf(self, tmp_path, server, procs, machine):
        server.answer(CHECKIN, Answer(body=b'{"titulo":"Hola",\n"alertas":[]}\r\n'), host=API_HOST)
        folder = make_program_folder(tmp_path)

        assert run_agent(procs, folder) == 0

        [request] = server.requests_to(CHECKIN)
        assert request.method == "POST"
        assert request.body == expected_descriptor(b"MarvekMesalto", b"5.2.1.0", folder, "mesalto.exe")
        records = folder / "actualizador_registros"
        for name in ("recibido.txt", "recibido.json"):
            assert (records / name).read_bytes() == b'{"titulo":"Hola",\r\n"alertas":[]}\r\r\n'

    @pytest.mark.parametrize("status,body,stored", [
        (200, b"", b'{"error":"Respuesta vacia del servidor"}'),
        (404, b"<html>no existe</html>", b'{"error":"HTTP 404"}'),
        (500, b'{"error":"interno"}', b'{"error":"HTTP 500"}'),
    ])
    def test_empty_body_and_error_statuses(self, tmp_path, server, procs, machine, status, body, stored):
        server.answer(CHECKIN, Answer(status=status, body=body))
        folder = make_program_folder(tmp_path)
        assert run_agent(procs, folder) == 0
        for name in ("recibido.txt", "recibido.json"):
            assert (folder / "actualizador_registros" / name).read_bytes() == stored

    def test_unreachable_service_stores_the_send_error(self, tmp_path, server, procs, machine, hosts):
        hosts.map(API_HOST, "127.0.0.2")
        folder = make_program_folder(tmp_path)
        assert run_agent(procs, folder) == 0
        assert (folder / "actualizador_registros" / "recibido.json").read_bytes() == \
            b'{"error":"HttpSendRequestA fallo (codigo=12029)"}'

    def test_cut_document_stores_the_read_error(self, tmp_path, server, procs, machine):
        body = b'{"titulo":"Hola","alertas":[' + b'{"id":1},' * 2000 + b'{"id":2}]}'
        server.answer(CHECKIN, Answer(body=body, segments=[(4000, 1.0)], drop_after=4000, reset=True))
        folder = make_program_folder(tmp_path)
        assert run_agent(procs, folder) == 0
        for name in ("recibido.txt", "recibido.json"):
            assert (folder / "actualizador_registros" / name).read_bytes() == \
                b'{"error":"InternetReadFile fallo (codigo=12030)"}'

    def test_no_program_means_no_request_but_record_folder(self, tmp_path, server, procs, machine):
        folder = make_program_folder(tmp_path, siblings=())
        (folder / "mesalto.exe").mkdir()
        assert beside(procs, folder, "check-in") == {"done": True}
        assert (folder / "actualizador_registros").is_dir()
        assert list((folder / "actualizador_registros").iterdir()) == []
        assert server.requests == []

    def test_earlier_files_stay_when_nothing_is_sent(self, tmp_path, server, procs, machine):
        folder = make_program_folder(tmp_path, siblings=())
        records = folder / "actualizador_registros"
        records.mkdir()
        (records / "recibido.json").write_bytes(b"anterior")
        assert beside(procs, folder, "check-in") == {"done": True}
        assert (records / "recibido.json").read_bytes() == b"anterior"


UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


class TestReports:
    def test_ok_report_carries_both_versions_and_writes_the_stamp(self, tmp_path, vendor, procs, machine):
        vendor.start()
        folder = make_program_folder(tmp_path)
        url = "https://descargas.marvek.example/paquetes/mesalto.exe"
        assert beside(procs, folder, "report-update", "61999", "OK", "0", "", "", url) == {"done": True}

        [row] = vendor.rows("update_reports")
        assert (row["Programa"], row["version_anterior"], row["version_nueva"], row["url_parche"]) == \
            ("MarvekMesalto", "5.2.1.0", "5.2.1.0", url)
        assert (row["resultado"], row["codigo_error"], row["mensaje_error"], row["paso_fallido"]) == ("OK", 0, "", "")
        assert row["duracion_segundos"] == 61
        assert UUID.fullmatch(row["report_id"])
        assert row["raw_body"] == (
            b'{"Programa":"MarvekMesalto","version_anterior":"5.2.1.0","version_nueva":"5.2.1.0","url_parche":"'
            + url.encode() + b'","resultado":"OK","codigo_error":0,"mensaje_error":"","paso_fallido":"",'
            b'"duracion_segundos":61,"report_id":"' + row["report_id"].encode() + b'"}')

        stamp = machine.query("HKCU\\" + MESALTO_KEY, "TrevantoLastUpdate")
        assert stamp[0] == "REG_SZ" and STAMP.fullmatch(stamp[1])
        # The next check-in tells the service.
        assert run_agent(procs, folder) == 0
        [checkin] = vendor.rows("checkins")
        assert checkin["last_update_at"] == stamp[1]

    def test_ok_writes_a_utc_stamp_even_when_the_report_cannot_be_sent(self, tmp_path, server, procs, machine,
                                                                       hosts):
        hosts.map(API_HOST, "127.0.0.2")
        folder = make_program_folder(tmp_path)
        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0, tzinfo=None)
        # Nine hours ahead of UTC: a local-time stamp could not fall in the window.
        assert beside(procs, folder, "report-update", "0", "OK", "0", "", "", "https://x.example/p.exe",
                      env={"TZ": "Asia/Tokyo"}) == {"done": True}
        after = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        assert server.requests == []
        kind, stamp = machine.query("HKCU\\" + MESALTO_KEY, "TrevantoLastUpdate")
        assert kind == "REG_SZ" and STAMP.fullmatch(stamp)
        assert before <= datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ") <= after

    def test_lower_case_ok_is_not_ok(self, tmp_path, vendor, procs, machine):
        vendor.start()
        folder = make_program_folder(tmp_path)
        beside(procs, folder, "report-update", "500", "ok", "0", "", "", "https://x.example/p.exe")
        [row] = vendor.rows("update_reports")
        assert (row["resultado"], row["version_nueva"], row["duracion_segundos"]) == ("ok", "", 0)
        assert machine.query("HKCU\\" + MESALTO_KEY, "TrevantoLastUpdate") is None

    def test_failure_codes_keep_their_sign_and_empty_url_is_reported(self, tmp_path, vendor, procs, machine):
        vendor.start()
        folder = make_program_folder(tmp_path)
        beside(procs, folder, "report-update", "0", "DESCARGA_FALLIDA", "-2147024891",
               "DownloadUrlBytes_URL fallo", "DESCARGA", "https://x.example/a\"b")
        beside(procs, folder, "report-update", "0", "URL_VACIA", "0", "URL vacia", "URL_VACIA", "")
        first, second = vendor.rows("update_reports")
        assert (first["codigo_error"], first["paso_fallido"], first["url_parche"]) == \
            (-2147024891, "DESCARGA", 'https://x.example/a"b')
        assert b'"url_parche":"https://x.example/a\\"b"' in first["raw_body"]
        assert (second["resultado"], second["url_parche"], second["mensaje_error"]) == ("URL_VACIA", "", "URL vacia")

    def test_no_product_key_sends_nothing(self, tmp_path, vendor, procs, machine):
        vendor.start()
        folder = make_program_folder(tmp_path, siblings=())
        beside(procs, folder, "report-update", "0", "OK", "0", "", "", "https://x.example/p.exe")
        beside(procs, folder, "report-acceptance", "https://x.example/t.rtf")
        assert vendor.rows("update_reports") == []
        assert vendor.rows("acceptance_reports") == []

    def test_acceptance_report_and_empty_url(self, tmp_path, vendor, procs, machine):
        vendor.start()
        folder = make_program_folder(tmp_path, siblings=("tijeral.exe",))
        beside(procs, folder, "report-acceptance", "https://x.example/terminos.rtf")
        beside(procs, folder, "report-acceptance", "")
        [row] = vendor.rows("acceptance_reports")
        assert (row["Programa"], row["rtf_url"]) == ("MarvekTijerales", "https://x.example/terminos.rtf")
        assert UUID.fullmatch(row["acceptance_id"])

    def test_identifiers_differ_within_one_millisecond(self, procs):
        ids = harness(procs, "report-ids")["ids"]
        assert len(ids) == 2 and ids[0] != ids[1]
        assert all(UUID.fullmatch(i) for i in ids)
