"""The start after an update, watched, with the real trevanto.exe under Wine:
a new program that ends at once with an access violation is put back from
the update's backup and reported a second time; one that runs, or that its
user closes at once, is proven and reported once; a watch the hot key cut
short is finished at the next start."""

import json
import re

import pytest

import bench
from bench import DOWNLOAD_HOST, journal, started, statement_of, wait_until, winpath as w, zip_bytes
from fault_server import Answer
from test_alerts import H, key, near, screen_when
from test_reliability import answer_checkin, install, new_journal, no_program_left  # noqa: F401 (fixture)
from test_update import NEW, OLD, report_bodies

CRASHES = (bench.DOUBLES / "sibling_6_0_3_17_falla.exe").read_bytes()  # ends at once with 0xC0000005
CLOSES = (bench.DOUBLES / "sibling_6_0_3_17_cierra.exe").read_bytes()  # ends at once with 0
ACCESS_VIOLATION = 0xC0000005
SCRIPT = b'@echo off\r\necho registrado> "%~dp0registrado.txt"\r\n'


def offered(server, program: bytes, zip_package: bool):
    """An update offer of that program, as an executable package or in a ZIP
    with a registration script, stated by the vendor; its address."""
    name = "mesalto_v6.zip" if zip_package else "mesalto.exe"
    package = zip_bytes({"mesalto.exe": program, "registro.bat": SCRIPT}) if zip_package else program
    server.answer(f"/paquetes/{name}", Answer(body=package))
    url = f"https://{DOWNLOAD_HOST}/paquetes/{name}?o=prueba"
    return url, {"tipo": "url_actualizar", "contenido": [{"enlace": url, **statement_of(package, name=name)}]}


def tail_after_relaunch(lines):
    """The lines after the worker's relaunch: what the watch journalled."""
    last = max(i for i, line in enumerate(lines) if line.startswith("RELANZAR_APP;"))
    return lines[last + 1:]


def backup_of(folder):
    [backup] = [p for p in (folder / "actualizaciones").iterdir() if p.is_dir()]
    return backup / "mesalto.exe"


@pytest.mark.parametrize("zip_package", [False, True], ids=["executable", "zip"])
def test_program_that_does_not_start_is_put_back_and_reported_again(tmp_path, server, procs, zip_package):
    url, item = offered(server, CRASHES, zip_package)
    answer_checkin(server, {"alertas": [item]})
    folder = install(tmp_path)

    assert bench.run_agent(procs, folder, timeout=240) == 0

    exe = w(folder / "mesalto.exe")
    watch = tail_after_relaunch(new_journal(folder))
    assert watch[:2] == [f"ARRANQUE_FALLIDO;{exe};ec={ACCESS_VIOLATION}",
                         f"RESTAURADO_TRAS_ARRANQUE;{w(backup_of(folder))};->;{exe}"]
    assert watch[2:] == (["NO_SE_DESHACE;REGISTRO_BAT;MARVEKSERVER"] if zip_package else []) + \
        [f"ARRANQUE_COMPROBADO;{exe};estado=EN_MARCHA"]
    # The previous program is back and running: started by the worker (the
    # new one), by the window (the new one, which failed) and after the restore.
    assert (folder / "mesalto.exe").read_bytes() == OLD
    assert started(folder) == [f"{exe}|{w(folder)}"] * 3
    assert not (folder / "actualizador_registros" / "vigilancia_arranque.txt").exists()
    first, second = report_bodies(server)
    assert (first["resultado"], first["version_nueva"], first["url_parche"]) == ("OK", "6.0.3.17", url)
    assert {k: second[k] for k in ("Programa", "version_anterior", "version_nueva", "url_parche", "resultado",
                                   "codigo_error", "mensaje_error", "paso_fallido")} == {
        "Programa": "MarvekMesalto", "version_anterior": "5.2.1.0", "version_nueva": "6.0.3.17", "url_parche": url,
        "resultado": "ARRANQUE_FALLIDO", "codigo_error": ACCESS_VIOLATION - (1 << 32),
        "mensaje_error": "el programa nuevo no arranca", "paso_fallido": "ARRANQUE"}
    assert first["report_id"] != second["report_id"]


@pytest.mark.parametrize("program,state", [(NEW, "EN_MARCHA"), (CLOSES, "CERRADO_POR_EL_USUARIO")],
                         ids=["runs", "closed-at-once"])
def test_program_that_starts_is_proven_and_reported_once(tmp_path, server, procs, program, state):
    url, item = offered(server, program, False)
    answer_checkin(server, {"alertas": [item]})
    folder = install(tmp_path)

    assert bench.run_agent(procs, folder, timeout=240) == 0

    exe = w(folder / "mesalto.exe")
    assert tail_after_relaunch(new_journal(folder)) == [f"ARRANQUE_COMPROBADO;{exe};estado={state}"]
    assert (folder / "mesalto.exe").read_bytes() == program
    [report] = report_bodies(server)
    assert (report["resultado"], report["version_nueva"]) == ("OK", "6.0.3.17")
    assert not (folder / "actualizador_registros" / "vigilancia_arranque.txt").exists()


@pytest.mark.parametrize("then", ["still-runs", "fails-now"])
def test_watch_cut_by_the_hot_key_is_finished_at_the_next_start(tmp_path, server, procs, then):
    # The update is watched while the next alert shows; Ctrl+F10 ends the agent then.
    url, item = offered(server, NEW, False)
    answer_checkin(server, {"alertas": [item, {"tipo": "solo_mensaje",
                                               "contenido": [{"texto": "Aviso", "color_fondo": "#FFFF00"}]}]})
    folder = install(tmp_path)
    agent = bench.start_agent(procs, folder)
    screen_when(lambda s: near(s.getpixel((25, 105)), (255, 255, 0)), 180)
    record = folder / "actualizador_registros" / "vigilancia_arranque.txt"
    assert record.exists()
    key("ctrl+F10")
    assert bench.finish(agent, 30) == 1
    exe = w(folder / "mesalto.exe")
    assert record.read_text().startswith("programa=mesalto.exe\n")
    assert not any(line.startswith("ARRANQUE_") for line in new_journal(folder))
    # The machine is restarted: the program is not running at the next start.
    bench.end_leftover_programs()
    if then == "fails-now":
        (folder / "mesalto.exe").write_bytes(CRASHES)
    backup = backup_of(folder)  # packed by the next start's archiving, once the watch has ended
    answer_checkin(server, {"alertas": []})
    before = len(new_journal(folder))

    assert bench.run_agent(procs, folder, timeout=240) == 0

    finished = new_journal(folder)[before:]
    assert finished[0] == f"VIGILANCIA_PENDIENTE;{exe}"
    if then == "still-runs":
        assert finished[1:] == [f"ARRANQUE_COMPROBADO;{exe};estado=EN_MARCHA"]
        assert (folder / "mesalto.exe").read_bytes() == NEW
    else:
        assert finished[1:] == [f"ARRANQUE_FALLIDO;{exe};ec={ACCESS_VIOLATION}",
                                f"RESTAURADO_TRAS_ARRANQUE;{w(backup)};->;{exe}",
                                f"ARRANQUE_COMPROBADO;{exe};estado=EN_MARCHA"]
        assert (folder / "mesalto.exe").read_bytes() == OLD
        assert [r["resultado"] for r in report_bodies(server)] == ["OK", "ARRANQUE_FALLIDO"]
    assert not record.exists()
