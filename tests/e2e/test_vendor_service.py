"""The agent against the real vendor service (the normal paths)."""

import bench
from bench import DOWNLOAD_HOST, finish, harness, make_program_folder, run_agent, start_agent, \
    wait_until, winpath

UPDATE_BODY = (b'{"Programa":"MarvekQuindel","version_anterior":"5.2.1.0","version_nueva":"6.0.3.17",'
               b'"url_parche":"https://descargas.marvek.example/paquetes/quindel.exe","resultado":"OK",'
               b'"codigo_error":-5,"mensaje_error":"","paso_fallido":"","duracion_segundos":61,'
               b'"report_id":"6f1c2a3b-4d5e-4f60-8a7b-9c0d1e2f3a4b"}')


def test_archiver_bootstrap_from_the_download_host(tmp_path, vendor, procs):
    vendor.put_file("/parches/7za.exe", bench.SEVEN_ZIP.read_bytes())
    vendor.start()
    folder = make_program_folder(tmp_path, with_archiver=False)

    assert run_agent(procs, folder) == 0
    assert (folder / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()


def test_no_newer_agent_means_no_update(tmp_path, vendor, procs):
    vendor.offer_agent("1.26.0803", f"https://{DOWNLOAD_HOST}/agente/trevanto.exe")
    vendor.start()
    folder = make_program_folder(tmp_path)

    assert run_agent(procs, folder) == 0
    assert not (folder / "actualizar_agente.bat").exists()
    assert (folder / "trevanto.exe").read_bytes() == bench.AGENT.read_bytes()


def test_newer_agent_replaces_and_restarts_the_agent(tmp_path, vendor, procs):
    new_agent = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()
    vendor.put_file("/agente/1.26.0900/trevanto.exe", new_agent)
    vendor.offer_agent("1.26.0900", f"https://{DOWNLOAD_HOST}/agente/1.26.0900/trevanto.exe", new_agent)
    vendor.start()
    folder = make_program_folder(tmp_path)

    assert finish(start_agent(procs, folder)) == 0
    assert wait_until(lambda: (folder / "trevanto.exe.arranques.txt").exists(), 30)
    assert (folder / "trevanto.exe").read_bytes() == new_agent
    assert not (folder / "trevanto_new.exe").exists()


def test_update_report_is_stored_and_listed(tmp_path, vendor, procs):
    vendor.start()
    body = tmp_path / "informe.json"
    body.write_bytes(UPDATE_BODY)

    result = harness(procs, "api-post", "/apis/trevanto/v1/update-report", winpath(body))

    assert result["ok"] is True
    assert bytes.fromhex(result["body_hex"]) == b'{"ok":true,"id":1}'
    [row] = vendor.rows("update_reports")
    assert row["raw_body"] == UPDATE_BODY
    assert (row["Programa"], row["resultado"], row["codigo_error"], row["duracion_segundos"]) == \
        ("MarvekQuindel", "OK", -5, 61)
    assert row["client_address"] == "127.0.0.1"
    listing = vendor.reports_command("--kind", "update", "--last", "5")
    assert listing.startswith("update #1 ")
    assert "resultado=OK codigo_error=-5" in listing


def test_check_in_path_answers_the_products_document(tmp_path, vendor, procs):
    (vendor.data / "notificaciones" / "MarvekMesalto.json").write_text('{"titulo":"Hola Mesalto"}')
    vendor.start()
    body = tmp_path / "descriptor.json"
    body.write_bytes(b'{\n  "actualizador_version": "1.26.0803",\n  "Programa": "MarvekMesalto",\n'
                     b'  "Version": "5.2.1.0"\n}')

    result = harness(procs, "api-post", "/apis/trevanto/v1/checkin", winpath(body))

    assert result["ok"] is True
    assert bytes.fromhex(result["body_hex"]) == b'{"titulo":"Hola Mesalto"}'
    [row] = vendor.rows("checkins")
    assert (row["Programa"], row["Version"], row["hostname"]) == ("MarvekMesalto", "5.2.1.0", None)
