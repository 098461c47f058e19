"""The road of an update offer across every subsystem, in one journey: the
agent alone in an empty folder installs itself into the sample Mesalto
folder through its installer, then runs there with Mesalto open: archiver
check, start-up archiving, self-update check, check-in, one window per
alert item (message, grid, single picture, terms, update offer), the ZIP
update with its server component and registration script, the report and
the relaunch. A second run afterwards finds nothing to repair."""

import hashlib
import json
import re
import time
import zipfile

import bench
import journey
from journey import (AGENT_ZIP_NAME, DATA_FILES, EARLIER_BACKUP, NEW_PROGRAM, OLD_PROGRAM, PACKAGE_PATH,
                     REGISTRATION_SCRIPT, SERVER_PROGRAM)

API, DOWNLOADS, IMAGES = bench.API_HOST, bench.DOWNLOAD_HOST, bench.IMAGE_HOST
PACKAGE_URL = f"https://{DOWNLOADS}{PACKAGE_PATH}"
FOLDER = "C:\\Marvek\\Marvek Mesalto"
NET_EXIT = 1  # Wine's "net" for a service that does not exist

INSTALLER_REQUESTS = [("GET", f"{IMAGES}/wp-content/uploads/2025/11/{name}.png", "200")
                      for name in ("forjano", "mesalto", "quindel", "vendara", "tijeral")] + [
    ("GET", f"{DOWNLOADS}/parches/{AGENT_ZIP_NAME}.declaracion", "200"),
    ("GET", f"{DOWNLOADS}/parches/{AGENT_ZIP_NAME}", "200"), ("GET", f"{DOWNLOADS}/parches/7za.exe", "200")]
STARTUP_REQUESTS = [("GET", f"{API}/apis/trevanto/v1/agente-version?version=1.26.0803", "200"),
                    ("POST", f"{API}/apis/trevanto/v1/checkin", "200")]
# Each picture's address is fetched once, however many cells name it; the
# terms' address carries the acceptance token the service gave it (?a=).
RTF = ("GET", f"{IMAGES}/uploads/terminos.rtf", "200")
AGENT_REQUESTS = STARTUP_REQUESTS + [("GET", f"{IMAGES}/uploads/aviso{n}.png", "200") for n in (1, 2, 3, 4)] + [
    RTF, ("POST", f"{API}/apis/trevanto/v1/rtf-acceptance", "200"),
    ("GET", f"{IMAGES}/uploads/foto_actualizador.png", "200"), ("GET", f"{DOWNLOADS}{PACKAGE_PATH}", "200"),
    ("POST", f"{API}/apis/trevanto/v1/update-report", "200")]


def requests(vendor):
    """(method, host and path, status) of each request the service logged, in order."""
    return [tuple(line.split()[2:5]) for line in vendor.log()]


def expected_journal(stamp, url=PACKAGE_URL):
    backup = f"{FOLDER}\\actualizaciones\\{stamp}"
    extracted = f"{FOLDER}\\mesalto_6.0.3.17"
    return ["CIERRE_ARCHIVAR_ZIP;" + FOLDER + "\\trevanto2.exe;NO_EXISTE"] * 3 + [
        f"DECLARACION_VALIDA;{url};clave=1;version=6.0.3.17;archivo=mesalto_6.0.3.17.zip",
        "TASKKILL_APP;mesalto.exe;estado=OK;ec=0",
        f"DESCARGA;{url};{FOLDER}\\mesalto_6.0.3.17.zip",
        "MARVEKSERVER:MOVER_OK", "MARVEKSERVER:ADMIN_TASKKILL_OK;ec=128", f"MARVEKSERVER:ADMIN_NETSTOP_OK;ec={NET_EXIT}",
        "MARVEKSERVER:DESCOMPRIMIR_OK;ec=0", "MARVEKSERVER:ELIMINAR_ZIP_OK", "MARVEKSERVER:EJECUTAR_EXE_OK",
        f"MARVEKSERVER:ADMIN_NETSTART_FALLO_PRIMER_INTENTO;ec={NET_EXIT}",
        f"MARVEKSERVER:ADMIN_NETSTART_OK_SEGUNDO_INTENTO;ec={NET_EXIT}",
        f"REGISTRO_BAT_LANZANDO_ADMIN;{extracted}\\registro.bat",
        f"REGISTRO_BAT_EJECUTADO_ADMIN;{extracted}\\registro.bat;ec=0",
        f"RENOMBRADO_A_2_ZIP;{FOLDER}\\mesalto.exe;->;{FOLDER}\\mesalto2.exe",
        f"EXE_NUEVO_EN_RAIZ_OK;{extracted}\\mesalto.exe;->;{FOLDER}\\mesalto.exe",
        f"ARCHIVO_ANTERIOR_A_ACTUALIZACIONES_ZIP;{FOLDER}\\mesalto2.exe;->;{backup}\\mesalto.exe",
        f"COPIA_OK;{FOLDER}\\CLIENTES.MDB;->;{backup}\\CLIENTES.MDB",
        f"COPIA_OK;{FOLDER}\\MESALTO.MDB;->;{backup}\\MESALTO.MDB",
        f"COPIA_PATRON_SIN_RESULTADOS;*.BDMARV;src={FOLDER};dest={backup}",
        f"COPIA_PATRONES_RESUMEN_ZIP;dest={backup};MDB=2;BDMARV=0",
        f"ZIP_CARPETA;{backup};->;{backup}.zip;estado=OK;ec=0",
        f"LIMPIEZA_OK;ZIP_ELIMINADO;{FOLDER}\\mesalto_6.0.3.17.zip",
    ]


def folder_after_update(stamp):
    return sorted([
        "7za.exe", "CLIENTES.MDB", "MESALTO.MDB", "actualizaciones/", f"actualizaciones/{EARLIER_BACKUP}.zip",
        f"actualizaciones/{stamp}.zip", f"actualizaciones/{stamp}/", f"actualizaciones/{stamp}/CLIENTES.MDB",
        f"actualizaciones/{stamp}/MESALTO.MDB", f"actualizaciones/{stamp}/mesalto.exe", "actualizador_registros/",
        "actualizador_registros/alertas_terminos_aceptados.csv", "actualizador_registros/descargas.csv",
        "actualizador_registros/extracciones.csv", "actualizador_registros/recibido.json",
        "actualizador_registros/recibido.txt", "actualizador_registros/versiones_instaladas.txt", "mesalto.exe", "mesalto.exe.arranques.txt", "mesalto_6.0.3.17/",
        "mesalto_6.0.3.17/novedades.txt", "mesalto_6.0.3.17/registrado.txt", "mesalto_6.0.3.17/registro.bat",
        "trevanto.exe"])


def check_installation(vendor, recorder, folder, installer_code):
    assert installer_code == 0
    assert [w["what"] for w in recorder.windows] == [
        "instalador (MARVEK MESALTO)", f"aviso: Trevanto se ha instalado correctamente en: {FOLDER}"]
    assert requests(vendor) == INSTALLER_REQUESTS
    assert (folder / "trevanto.exe").read_bytes() == bench.AGENT.read_bytes()
    assert (folder / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()
    assert not (folder / AGENT_ZIP_NAME).exists()


def check_offer(vendor, folder):
    """The offer came from the rollout, with a token naming this installation
    and the rollout; the download and the report brought it back."""
    url = journey.offered_url(folder)
    assert url.startswith(PACKAGE_URL + "?o=")
    installation, rollout, signature = url.split("?o=")[1].split("-")
    [known] = vendor.rows("installations")
    assert (installation, rollout, len(signature)) == (known["id"], "1", 24)
    assert (known["product"], known["program_version"], known["installed_path"]) == \
        ("MarvekMesalto", "5.2.1.0", f"{FOLDER}\\mesalto.exe")
    [step] = vendor.rows("rollout_installations")
    assert (step["rollout_id"], step["installation_id"], step["stage"], step["outcomes"], step["failures"],
            step["last_result"]) == (1, installation, 0, 1, 0, "OK")
    assert step["download_started_at"] and step["download_completed_at"] and step["ok_ms"] > 0
    assert step["confirmed_at"] is None  # until a later check-in shows 6.0.3.17
    [report] = vendor.rows("update_reports")
    assert (report["rollout_id"], report["installation_id"]) == (1, installation)
    return url


def check_update_run(vendor, recorder, folder, agent_code):
    assert agent_code == 0
    assert [(w["what"], w["action"]) for w in recorder.windows[2:]] == [
        ("mensaje", "CERRAR"), ("cuadricula de imagenes", "CERRAR"), ("imagen unica", "CERRAR"),
        ("terminos (RTF)", "ACEPTAR"), ("oferta de actualizacion", "se cierra al terminar la actualizacion")]
    url = check_offer(vendor, folder)
    # The installer's 7za.exe is used as it is: the agent never asks for another.
    package = ("GET", f"{DOWNLOADS}{PACKAGE_PATH}", "200")
    [terms] = [r for r in requests(vendor) if "terminos.rtf" in r[1]]
    assert re.fullmatch(re.escape(RTF[1]) + r"\?a=[0-9a-f-]+", terms[1]), terms
    assert requests(vendor) == INSTALLER_REQUESTS + [
        ("GET", DOWNLOADS + url.split(DOWNLOADS)[1], "200") if r == package else terms if r == RTF else r
        for r in AGENT_REQUESTS]

    records = folder / "actualizador_registros"
    stamps = [p.name for p in (folder / "actualizaciones").iterdir() if p.is_dir()]
    assert len(stamps) == 1 and re.fullmatch(r"\d{6}_\d{6}", stamps[0]), stamps
    stamp = stamps[0]
    # The worker's relaunch, then the window's start, watched: the program holds.
    assert bench.journal(folder) == expected_journal(stamp, url) + [
        f"RELANZAR_APP;{FOLDER}\\mesalto.exe;hinst=33", f"ARRANQUE_COMPROBADO;{FOLDER}\\mesalto.exe;estado=EN_MARCHA"]
    assert bench.journal(folder, "extracciones.csv") == [
        f"UNZIP_7ZA;{FOLDER}\\mesalto_6.0.3.17.zip;->;{FOLDER}\\mesalto_6.0.3.17;OK;ec=0"]
    assert bench.journal(folder, "alertas_terminos_aceptados.csv") == [f"https://{terms[1]}"]

    # The stored document is the service's answer, with the hash it vouches
    # for, the release's signature, which is the vendor's key's over the
    # package, and the vendor's statement the release keeps.
    stored = (records / "recibido.json").read_bytes()
    assert (records / "recibido.txt").read_bytes() == stored
    offer = json.loads(stored)["alertas"][4]["contenido"][0]
    package = vendor.data / "archivos" / PACKAGE_PATH[1:]
    [release] = vendor.rows("releases")
    assert offer == {"enlace": url, "sha256": hashlib.sha256(package.read_bytes()).hexdigest(),
                     "firma": release["signature"], "declaracion": release["statement"],
                     "declaracion_firma": release["statement_signature"]}
    assert bench.signature_verifies(package, offer["firma"])
    # (A signature is made anew each time; the statement's text is always the same.)
    assert offer["declaracion"] == bench.statement_of(package.read_bytes(), name="mesalto_6.0.3.17.zip")["declaracion"]
    [checkin] = vendor.rows("checkins")
    assert (checkin["Programa"], checkin["Version"], checkin["installed_path"], checkin["actualizador_version"]) == \
        ("MarvekMesalto", "5.2.1.0", f"{FOLDER}\\mesalto.exe", "1.26.0803")
    [report] = vendor.rows("update_reports")
    assert {k: report[k] for k in ("Programa", "version_anterior", "version_nueva", "url_parche", "resultado",
                                   "codigo_error", "mensaje_error", "paso_fallido")} == {
        "Programa": "MarvekMesalto", "version_anterior": "5.2.1.0", "version_nueva": "6.0.3.17",
        "url_parche": url, "resultado": "OK", "codigo_error": 0, "mensaje_error": "", "paso_fallido": ""}
    [acceptance] = vendor.rows("acceptance_reports")
    assert (acceptance["Programa"], acceptance["rtf_url"]) == ("MarvekMesalto", f"https://{terms[1]}")

    # The folder: new program, data kept, both backups packed, the package gone.
    assert journey.tree(folder) == folder_after_update(stamp)
    assert (folder / "mesalto.exe").read_bytes() == NEW_PROGRAM.read_bytes()
    assert journey.file_version(folder / "mesalto.exe") == "6.0.3.17"
    for name, content in DATA_FILES.items():
        assert (folder / name).read_bytes() == content
        assert (folder / "actualizaciones" / stamp / name).read_bytes() == content
    assert (folder / "actualizaciones" / stamp / "mesalto.exe").read_bytes() == OLD_PROGRAM.read_bytes()
    with zipfile.ZipFile(folder / "actualizaciones" / f"{stamp}.zip") as packed:
        assert packed.read("mesalto.exe") == OLD_PROGRAM.read_bytes()
    with zipfile.ZipFile(folder / "actualizaciones" / f"{EARLIER_BACKUP}.zip") as packed:
        assert packed.read("mesalto.exe") == OLD_PROGRAM.read_bytes()
    assert (folder / "mesalto_6.0.3.17" / "registro.bat").read_bytes() == REGISTRATION_SCRIPT
    assert (folder / "mesalto_6.0.3.17" / "registrado.txt").read_bytes() == b"Mesalto 6.0.3.17 registrado\r\n"
    server = folder.parent / "MarvekServer"
    assert (server / "marvekserver.exe").read_bytes() == SERVER_PROGRAM.read_bytes()
    assert journey.tree(server) == ["leeme.txt", "marvekserver.exe", "marvekserver.exe.arranques.txt"]
    # Open before, relaunched by the worker, and started again as its window
    # closed: that last start is made as the agent ends, so it may record
    # itself a moment after the agent has gone.
    start = f"{FOLDER}\\mesalto.exe|{FOLDER}"
    assert bench.wait_until(lambda: len(bench.started(folder)) >= 3, 30), bench.started(folder)
    time.sleep(1)
    assert bench.started(folder) == [start] * 3


def test_the_road_of_an_update_offer_and_a_second_run_with_nothing_to_repair(tmp_path, vendor, procs):
    journey.prepare_service(vendor)
    vendor.start()
    folder = journey.prepare_program_folder()
    recorder = journey.Recorder(tmp_path / "capturas", auto=True)
    try:
        check_installation(vendor, recorder, folder, journey.run_installer(procs, tmp_path, recorder))
        journey.start_program(procs, folder)
        check_update_run(vendor, recorder, folder, journey.run_installed_agent(procs, folder, recorder, 300))

        # Offer withdrawn: the second run checks in, shows nothing, and repairs
        # nothing. Only the start-up archiving packs the update's backup folder.
        (vendor.data / "notificaciones" / "MarvekMesalto.json").write_text('{"titulo":"Marvek","alertas":[]}')
        records = folder / "actualizador_registros"
        journals = {p.name: p.read_bytes() for p in records.glob("*.csv")}
        before = journey.tree(folder)
        shown = len(recorder.windows)
        requests_before = len(requests(vendor))
        assert journey.run_installed_agent(procs, folder, recorder, 120) == 0
        assert len(recorder.windows) == shown
        assert requests(vendor)[requests_before:] == STARTUP_REQUESTS
        assert {p.name: p.read_bytes() for p in records.glob("*.csv")} == journals
        packed = [p for p in before if not re.fullmatch(r"actualizaciones/\d{6}_\d{6}/.*", p)]
        assert journey.tree(folder) == packed
        [backup] = [p for p in packed if re.fullmatch(r"actualizaciones/\d{6}_\d{6}\.zip", p)]
        with zipfile.ZipFile(folder / backup) as archive:
            assert archive.read("mesalto.exe") == OLD_PROGRAM.read_bytes()
        assert (records / "recibido.json").read_bytes() == b'{"titulo":"Marvek","alertas":[]}'
        assert (folder / "mesalto.exe").read_bytes() == NEW_PROGRAM.read_bytes()
        # That check-in, with 6.0.3.17, confirmed the update; the console's
        # rollout page shows it all (a PNG of it beside the windows').
        assert bench.wait_until(lambda: vendor.rows("rollout_installations")[0]["confirmed_at"] is not None, 30)
        funnel = journey.rollout_picture(tmp_path / "capturas" / "panel_despliegue.png")
        # Targeted, offered, fetch started, fetched, with an outcome, OK, failed, rate, failures, confirmed, not yet.
        assert funnel == [["100 % (actual)", "1", "1", "1", "1", "1", "1", "0", "0,0 %", "", "1", "0"]]
        assert len(vendor.rows("update_reports")) == 1
    finally:
        journey.end_started_programs()
