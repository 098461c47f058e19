"""Whole agent runs under adverse conditions: the real trevanto.exe copied
into a Mesalto folder and started there under Wine, as a user starts it,
with the service, a host or a package misbehaving, a folder that cannot
take the records, an accented path, or two agents at once. Each run is
checked for its exit code, its journals, the requests that arrived, the
reports, the windows and the folder's files byte for byte."""

import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import time
import zipfile

import pytest

import bench
from bench import API_HOST, DOWNLOAD_HOST, IMAGE_HOST, finish, journal, started, wait_until, zip_bytes
from fault_server import Answer
from test_alerts import FOOTER, H, NEWER, click, near, png, screen_when
from test_update import CHECKIN_PATH, NEW, OLD, REPORT_PATH, report_bodies, w

VERSION_PATH = "/apis/trevanto/v1/agente-version"
BANNER_PATH = "/uploads/foto_actualizador.png"
NOBODY = "127.0.0.2"  # a loopback address nothing listens on
EARLIER = b"2025-01-02 03:04:05;RELANZAR_APP;C:\\antes\\mesalto.exe;hinst=42\r\n"
LINE = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d;[A-Z][A-Z0-9_]*(:[A-Z0-9_]+)?(;[^\r\n]*)?")


@pytest.fixture(autouse=True)
def no_program_left(procs):
    """Programs the agent relaunched are ended with the test."""
    yield
    subprocess.run(["wine", "taskkill", "/F", "/IM", "mesalto.exe"], capture_output=True)


def install(base, name="Marvek Mesalto"):
    """Mesalto as installed and used: 7za.exe, data files, an earlier journal."""
    folder = bench.make_program_folder(base, name=name)
    (folder / "DATOS.MDB").write_bytes(b"base de datos")
    (folder / "pedidos.bdmarv").write_bytes(b"pedidos")
    (folder / "actualizador_registros").mkdir()
    (folder / "actualizador_registros" / "descargas.csv").write_bytes(EARLIER)
    return folder


def files(folder):
    """Every file below the folder: relative path -> bytes."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def answer_checkin(server, document, **options):
    body = document if isinstance(document, bytes) else json.dumps(document).encode()
    server.answer(CHECKIN_PATH, Answer(body=body, **options), host=API_HOST)
    return body


def requests(server):
    return [(r.method, r.host, r.path) for r in server.requests]


STARTUP = [("GET", API_HOST, VERSION_PATH), ("POST", API_HOST, CHECKIN_PATH)]


def new_journal(folder, name="descargas.csv"):
    """The lines this run added to a journal (the earlier line stays first)."""
    lines = journal(folder, name)
    if name == "descargas.csv":
        assert lines[0] == EARLIER[20:-2].decode()
        return lines[1:]
    return lines


def run_program(procs, folder):
    """Mesalto running as the user left it; like a running image, its
    executable can be read but not moved or replaced while it runs."""
    exe = folder / "mesalto.exe"
    procs.start(["wine", exe], cwd=folder, env={"TREVANTO_LOCK_FILE": w(exe), "TREVANTO_LOCK_READABLE": "1"})
    assert wait_until(lambda: len(started(folder)) == 1, 20)


def settled_starts(folder):
    """The number of starts once no relaunch is still on its way."""
    count = -1
    while count != len(started(folder)):
        count = len(started(folder))
        time.sleep(1.0)
    return count


def assert_startable(procs, folder, expected):
    """mesalto.exe holds those bytes and starts: the double logs its start."""
    exe = folder / "mesalto.exe"
    assert exe.read_bytes() == expected
    subprocess.run(["wine", "taskkill", "/F", "/IM", "mesalto.exe"], capture_output=True)
    count = settled_starts(folder)
    procs.start(["wine", exe], cwd=folder)
    assert wait_until(lambda: len(started(folder)) == count + 1, 20)
    assert started(folder)[-1] == f"{w(exe)}|{w(folder)}"


def relaunches_as_numbers(lines):
    """The lines, each relaunch's instance number (above 32: started) cut
    off, so that they can be compared whole."""
    cut = []
    for line in lines:
        head, number = line.rsplit("hinst=", 1) if line.startswith("RELANZAR_APP;") else (line, None)
        assert number is None or int(number) > 32, line
        cut.append(head + "hinst=" if number is not None else line)
    return cut


def message(text):
    return {"tipo": "solo_mensaje", "contenido": [{"texto": text}]}


def offer(url, stated=None, name="mesalto.exe", version="6.0.3.17", **cell):
    """An update offer; with `stated` bytes, the vendor's statement of them
    under that name and version (what the agent, built with keys, requires)."""
    statement = bench.statement_of(stated, version=version, name=name) if stated is not None else {}
    return {"tipo": "url_actualizar", "contenido": [dict(enlace=url, **cell, **statement)]}


def stated_line(url, name="mesalto.exe", version="6.0.3.17"):
    return f"DECLARACION_VALIDA;{url};clave=1;version={version};archivo={name}"


# ---- start-up without a usable answer ------------------------------------

@pytest.mark.parametrize("service", ["unreachable", "html-page", "oversized"])
def test_start_without_a_usable_answer_keeps_the_folder_and_shows_nothing(tmp_path, server, procs, hosts, service):
    folder = install(tmp_path)
    backup = folder / "actualizaciones" / "250101_120000"
    backup.mkdir(parents=True)
    (backup / "mesalto.exe").write_bytes(OLD)
    if service == "unreachable":
        for host in (API_HOST, DOWNLOAD_HOST, IMAGE_HOST):
            hosts.map(host, NOBODY)
        stored = b'{"error":"HttpSendRequestA fallo (codigo=12029)"}'
    elif service == "html-page":
        answer_checkin(server, b"<html>\n<body>Mantenimiento</body>\n</html>\n")
        stored = b"<html>\r\n<body>Mantenimiento</body>\r\n</html>\r\n"
    else:
        # A valid document with a window, padded past the 16 MiB an answer
        # may have: the read fails (223, ERROR_FILE_TOO_LARGE) and nothing shows.
        answer_checkin(server, {"relleno": "x" * (16 << 20), "alertas": [message("Aviso")]})
        stored = b'{"error":"InternetReadFile fallo (codigo=223)"}'
    before = files(folder)

    # A window would wait for its footer click: the run ends by itself.
    assert bench.run_agent(procs, folder, timeout=60) == 0

    after = files(folder)
    # Start-up archiving still packs the earlier backup folder, whole.
    archive = folder / "actualizaciones" / "250101_120000.zip"
    with zipfile.ZipFile(io.BytesIO(after.pop("actualizaciones/250101_120000.zip"))) as packed:
        assert {name: packed.read(name) for name in packed.namelist()} == {"mesalto.exe": OLD}
    del before["actualizaciones/250101_120000/mesalto.exe"]
    assert not backup.exists() and archive.exists()
    assert after == dict(before, **{"trevanto.exe": bench.AGENT.read_bytes(),
                                    "actualizador_registros/recibido.txt": stored,
                                    "actualizador_registros/recibido.json": stored})
    assert requests(server) == ([] if service == "unreachable" else STARTUP)


# ---- a slow service -------------------------------------------------------

def test_answers_are_waited_for_up_to_the_time_outs(tmp_path, server, procs):
    # The API client gives an answer 30 s (src/net/net_constants.h); pictures
    # keep WinINet's own limits. The version check, unanswered for 40 s, is
    # given up after 30 s and the run goes on; the check-in, 3 s late, and
    # the picture, 2 s late, are waited for and shown.
    green = (0, 200, 0)
    server.answer(VERSION_PATH, Answer(body=b"{}", delay=40.0), host=API_HOST)
    server.answer("/uploads/foto.png", Answer(body=png(100, 100, green), delay=2.0), host=IMAGE_HOST)
    body = answer_checkin(server, {"alertas": [{"tipo": "boton_unico", "contenido": [
        {"texto": "Novedades", "imagen": f"https://{IMAGE_HOST}/uploads/foto.png"}]}]}, delay=3.0)
    folder = install(tmp_path)
    agent = bench.start_agent(procs, folder)

    screen_when(lambda s: near(s.getpixel((640, 450)), green) and near(s.getpixel((640, H - 20)), FOOTER), 90)
    click(640, H - 20)
    assert finish(agent, 30) == 0

    assert (folder / "actualizador_registros" / "recibido.json").read_bytes() == body
    assert new_journal(folder) == [f"CIERRE_ARCHIVAR_ZIP;{w(folder / 'trevanto2.exe')};NO_EXISTE"]
    # One request each, none asked again.
    assert requests(server) == STARTUP + [("GET", IMAGE_HOST, "/uploads/foto.png")]
    version, checkin, picture = server.requests
    # Given up at the 30 s time-out, before the answer 40 s late could come.
    assert 29.5 <= checkin.arrived - version.arrived < 39.0 and picture.arrived - checkin.arrived >= 3.0


# ---- the image host down --------------------------------------------------

def test_image_host_down_shows_the_windows_without_pictures(tmp_path, server, procs, hosts):
    hosts.map(IMAGE_HOST, NOBODY)
    page, yellow, cyan = (200, 200, 255), (255, 255, 0), (0, 255, 255)
    pictures = [f"https://{IMAGE_HOST}/uploads/celda{i}.png" for i in range(3)]
    answer_checkin(server, {"color_fondo": "#C8C8FF", "alertas": [
        {"tipo": "boton_multiple", "columnas": "2", "contenido": [
            {"texto": "Uno", "imagen": pictures[0], "color_fondo": "#FFFF00"},
            {"texto": "Dos", "imagen": pictures[1], "color_fondo": "#FFFF00"}]},
        {"tipo": "boton_unico", "contenido": [{"texto": "Solo", "imagen": pictures[2], "color_fondo": "#00FFFF"}]}]})
    folder = install(tmp_path)
    agent = bench.start_agent(procs, folder)
    closed = f"CIERRE_ARCHIVAR_ZIP;{w(folder / 'trevanto2.exe')};NO_EXISTE"

    # Grid of two 610 px cells: the text bands in the cells' colour, and the
    # page's colour where the pictures would be (from y 130).
    grid = screen_when(lambda s: near(s.getpixel((25, 115)), yellow) and near(s.getpixel((640, H - 20)), FOOTER))
    assert near(grid.getpixel((1250, 115)), yellow)
    for x, y in [(324, 300), (954, 300), (324, 700), (640, 115)]:
        assert near(grid.getpixel((x, y)), page), (x, y)
    click(640, H - 20)
    assert wait_until(lambda: new_journal(folder) == [closed], 20)

    # Single cell: its band across the window, the page's colour below.
    single = screen_when(lambda s: near(s.getpixel((640, 115)), cyan))
    assert near(single.getpixel((640, 450)), page) and near(single.getpixel((640, H - 20)), FOOTER)
    click(640, H - 20)
    assert finish(agent, 30) == 0
    assert new_journal(folder) == [closed, closed]
    assert requests(server) == STARTUP  # no picture request reached anyone


# ---- failed updates -------------------------------------------------------

def test_failed_updates_leave_the_program_as_it_was_and_startable(tmp_path, server, procs):
    """Five offers in one document, each failing its own way: a 404, an HTML
    page with status 200, a transfer cut on every attempt (resumed three
    times with Range), a ZIP 7za cannot extract, a hostile "sha256" (an
    array nested 150,000 deep, which must not overflow the agent's stack).
    Each journals, reports and restarts the previous program."""
    cut = b"MZ" + os.urandom(1_200_000 - 2)
    piece = len(cut) // 6
    damaged = zip_bytes({"mesalto.exe": NEW})[:200]
    paths = {"404": "/falta/mesalto.exe", "html": "/pagina/mesalto.exe", "cut": "/cortado/mesalto.exe",
             "zip": "/roto/mesalto_v6.zip", "hash": "/otro/mesalto.exe"}
    url = {kind: f"https://{DOWNLOAD_HOST}{path}" for kind, path in paths.items()}
    # The banner is missing too: each window asks for it once, not at every repaint.
    server.answer(BANNER_PATH, Answer(status=404, body=b"<html>no existe</html>"), host=IMAGE_HOST)
    server.answer(paths["404"], Answer(status=404, body=b"<html>no existe</html>"))
    server.answer(paths["html"], Answer(body=b"<html>mantenimiento</html>"))  # stated as such below
    server.answer(paths["cut"], Answer(body=cut, honour_range=True, drop_after=piece))
    server.answer(paths["zip"], Answer(body=damaged))
    server.answer(paths["hash"], Answer(body=NEW))
    # Each stated by the vendor as what it serves: the checks after the
    # statement's are what fails.
    page = b"<html>mantenimiento</html>"
    document = json.dumps({"alertas": [offer(url["404"], NEW), offer(url["html"], page), offer(url["cut"], cut),
                                       offer(url["zip"], damaged, "mesalto_v6.zip"),
                                       offer(url["hash"], NEW, sha256="HONDO")]})
    answer_checkin(server, document.replace('"HONDO"', "[" * 150_000 + "]" * 150_000).encode())
    folder = install(tmp_path)
    before = files(folder)
    run_program(procs, folder)

    assert bench.run_agent(procs, folder, timeout=240) == 0

    exe, aside, package = w(folder / "mesalto.exe"), w(folder / "mesalto2.exe"), w(folder / "mesalto_v6.zip")
    stopped, set_aside = "TASKKILL_APP;mesalto.exe;estado=OK;ec=0", f"RENOMBRADO_A_2;{exe};{aside}"
    restored, relaunched = f"RESTAURADO_EXE_ANTERIOR;{aside};->;{exe}", f"RELANZAR_APP;{exe};hinst="
    resumed = [f"REANUDAR_DESCARGA;{url['cut']};desde={piece * k};intento={k}" for k in (1, 2, 3)]
    mismatch = f"HASH_NO_COINCIDE;{url['hash']};esperado=NO_ES_TEXTO;obtenido={hashlib.sha256(NEW).hexdigest()}"
    extracted = w(folder / "mesalto_v6")
    expected = (
        [stated_line(url["404"]), stopped, set_aside, "ERROR_DESCARGA", restored, relaunched] +
        [stated_line(url["html"]), stopped, set_aside, "ERROR_DESCARGA", restored, relaunched] +
        [stated_line(url["cut"]), stopped, set_aside] + resumed + ["ERROR_DESCARGA", restored, relaunched] +
        [stated_line(url["zip"], "mesalto_v6.zip"), stopped, f"DESCARGA;{url['zip']};{package}",
         f"LIMPIEZA_OK;ZIP_ELIMINADO;{package}", f"LIMPIEZA_OK;CARPETA_EXTRACCION_ELIMINADA;{extracted}",
         relaunched] +
        [stated_line(url["hash"]), stopped, set_aside, mismatch, restored, relaunched])
    assert relaunches_as_numbers(new_journal(folder)) == expected
    assert journal(folder, "extracciones.csv") == \
        [f"UNZIP_7ZA;{package};->;{w(folder / 'mesalto_v6')};ERROR;ec=2"]

    reports = [(r["resultado"], r["codigo_error"], r["mensaje_error"], r["paso_fallido"], r["url_parche"],
                r["version_anterior"], r["version_nueva"]) for r in report_bodies(server)]
    failed = "DESCARGA_FALLIDA", "DownloadUrlBytes_URL fallo", "DESCARGA"
    assert reports[:2] == [
        (failed[0], 404, failed[1], failed[2], url["404"], "5.2.1.0", ""),
        (failed[0], 193, "paquete no es un ejecutable", "DESCARGA", url["html"], "5.2.1.0", "")]
    assert reports[2] == (failed[0], 12030, failed[1], failed[2], url["cut"], "5.2.1.0", "")  # connection aborted
    assert reports[3:] == [
        ("DESCOMPRESION_FALLIDA", 2, "7za unzip fallo", "UNZIP_7ZA", url["zip"], "5.2.1.0", ""),
        (failed[0], 13, "hash del paquete no coincide", "VERIFICAR_HASH", url["hash"], "5.2.1.0", "")]

    # The requests in order: per window the banner, a package (four for the
    # cut one), then its report.
    ranges = [r.range for r in server.requests_to(paths["cut"])]
    assert ranges == [None] + [f"bytes={piece * k}-" for k in (1, 2, 3)]
    report, banner = ("POST", API_HOST, REPORT_PATH), ("GET", IMAGE_HOST, BANNER_PATH)
    assert requests(server) == STARTUP + [
        request for path in paths.values() for request in
        ([banner] + [("GET", DOWNLOAD_HOST, path)] * (4 if path == paths["cut"] else 1) + [report])]

    # Each offer stopped the program and started it twice (worker, then window).
    assert wait_until(lambda: len(started(folder)) == 1 + 5 * 2, 30), started(folder)
    assert set(started(folder)) == {f"{exe}|{w(folder)}"}
    after = files(folder)
    # The package that could not be unpacked went, with what 7za had unpacked of it.
    assert "mesalto_v6.zip" not in after and not any(name.startswith("mesalto_v6/") for name in after)
    assert after.pop("trevanto.exe") == bench.AGENT.read_bytes()
    del after["mesalto.exe.arranques.txt"]
    records = ["descargas.csv", "extracciones.csv", "recibido.json", "recibido.txt"]
    for name in records:  # the journals and the answer, checked above
        after.pop(f"actualizador_registros/{name}")
    del before["actualizador_registros/descargas.csv"]
    assert after == before
    assert_startable(procs, folder, OLD)


# ---- a folder that cannot take the records --------------------------------

def read_only(folder):
    """The folder as a read-only bind mount (Wine as root would ignore the
    read-only attribute); the undo step ends it again."""
    subprocess.run(["mount", "--bind", folder, folder], check=True)
    subprocess.run(["mount", "-o", "remount,bind,ro", folder], check=True)

    def undo():
        if not wait_until(lambda: subprocess.run(["umount", folder], capture_output=True).returncode == 0, 20):
            subprocess.run(["umount", "-l", folder], check=True)
    return undo


@pytest.mark.parametrize("blocked", ["records-name-is-a-file", "read-only-folder"])
def test_folder_that_cannot_take_the_records(tmp_path, server, procs, blocked):
    """The check-in goes out, but its answer cannot be stored: no window is
    shown (nor what an earlier run stored), no update runs, no journal line
    can be written, and nothing in the folder changes."""
    url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"
    server.answer("/paquetes/mesalto.exe", Answer(body=NEW))
    answer_checkin(server, {"alertas": [message("Aviso"), offer(url)]})
    if blocked == "read-only-folder":
        folder = install(tmp_path)
        earlier = json.dumps({"alertas": [message("Aviso anterior"), offer(url)]}).encode()
        (folder / "actualizador_registros" / "recibido.json").write_bytes(earlier)
    else:
        folder = bench.make_program_folder(tmp_path, name="Marvek Mesalto")
        (folder / "DATOS.MDB").write_bytes(b"base de datos")
        (folder / "actualizador_registros").write_bytes(b"no es una carpeta")
    shutil.copy(bench.AGENT, folder / "trevanto.exe")
    before = files(folder)
    undo = read_only(folder) if blocked == "read-only-folder" else (lambda: None)
    try:
        # A window would wait for its footer click: the run ends by itself.
        assert finish(procs.start(["wine", folder / "trevanto.exe"], cwd=folder), 30) == 0
        after = files(folder)
    finally:
        undo()

    assert after == before
    assert requests(server) == STARTUP
    assert b'"Programa": "MarvekMesalto"' in server.requests_to(CHECKIN_PATH)[0].body
    assert started(folder) == []  # never stopped nor relaunched
    assert_startable(procs, folder, OLD)


# ---- accents and blanks in the path ---------------------------------------

def test_accented_path_with_blanks_is_updated(tmp_path, server, procs):
    """An executable package, then a ZIP package, installed in a folder whose
    path has blanks and letters outside ASCII."""
    server.answer(BANNER_PATH, Answer(body=png(400, 200, (255, 128, 0))), host=IMAGE_HOST)
    server.answer("/paquetes/mesalto.exe", Answer(body=NEW))
    server.answer("/paquetes/mesalto_v7.zip", Answer(body=zip_bytes({"mesalto.exe": NEWER})))
    url, zip_url = (f"https://{DOWNLOAD_HOST}/paquetes/{name}" for name in ("mesalto.exe", "mesalto_v7.zip"))
    answer_checkin(server, {"alertas": [offer(url, NEW, sha256=hashlib.sha256(NEW).hexdigest()),
                                        offer(zip_url, zip_bytes({"mesalto.exe": NEWER}), "mesalto_v7.zip", "7.0")]})
    folder = install(tmp_path / "Programas A\u00f1o", name="Marvek Mesalt\u00f3 \u00f1")
    run_program(procs, folder)

    assert bench.run_agent(procs, folder, timeout=120) == 0

    first, second = sorted(p for p in (folder / "actualizaciones").iterdir() if p.is_dir())
    exe, aside = w(folder / "mesalto.exe"), w(folder / "mesalto2.exe")
    package, extracted = w(folder / "mesalto_v7.zip"), folder / "mesalto_v7"

    def backed_up(backup, zip_step=""):
        return [f"ARCHIVO_ANTERIOR_A_ACTUALIZACIONES{zip_step};{aside};->;{w(backup / 'mesalto.exe')}",
                f"COPIA_OK;{w(folder / 'DATOS.MDB')};->;{w(backup / 'DATOS.MDB')}",
                f"COPIA_OK;{w(folder / 'pedidos.bdmarv')};->;{w(backup / 'pedidos.bdmarv')}",
                f"COPIA_PATRONES_RESUMEN{zip_step};dest={w(backup)};MDB=1;BDMARV=1",
                f"ZIP_CARPETA;{w(backup)};->;{w(backup)}.zip;estado=OK;ec=0"]
    stopped, relaunched = "TASKKILL_APP;mesalto.exe;estado=OK;ec=0", f"RELANZAR_APP;{exe};hinst="
    # Each update's start is watched, and the second update waits for the first one's.
    held = f"ARRANQUE_COMPROBADO;{exe};estado=EN_MARCHA"
    assert relaunches_as_numbers(new_journal(folder)) == (
        [stated_line(url), stopped, f"RENOMBRADO_A_2;{exe};{aside}", f"DESCARGA;{url};{exe}"] + backed_up(first) +
        [relaunched, held] +
        [stated_line(zip_url, "mesalto_v7.zip", "7.0"), stopped, f"DESCARGA;{zip_url};{package}",
         "MARVEKSERVER:NO_ENCONTRADO", "REGISTRO_BAT_NO_ENCONTRADO",
         f"RENOMBRADO_A_2_ZIP;{exe};->;{aside}", f"EXE_NUEVO_EN_RAIZ_OK;{w(extracted / 'mesalto.exe')};->;{exe}"] +
        backed_up(second, "_ZIP") + [f"LIMPIEZA_OK;ZIP_ELIMINADO;{package}",
         f"LIMPIEZA_OK;CARPETA_VACIA_ELIMINADA;{w(extracted)}", relaunched, held])
    assert journal(folder, "extracciones.csv") == [f"UNZIP_7ZA;{package};->;{w(extracted)};OK;ec=0"]
    # The journals hold each path character's low byte: Latin-1 here.
    assert b"Programas A\xf1o\\Marvek Mesalt\xf3 \xf1\\mesalto.exe" in \
        (folder / "actualizador_registros" / "descargas.csv").read_bytes()

    assert [(r["resultado"], r["version_anterior"], r["version_nueva"], r["url_parche"])
            for r in report_bodies(server)] == [("OK", "5.2.1.0", "6.0.3.17", url),
                                                ("OK", "6.0.3.17", "1.65535.0.2", zip_url)]
    checkin = server.requests_to(CHECKIN_PATH)[0].body
    assert b'"installed_path": "' + w(folder / "mesalto.exe").encode().replace(b"\\", b"\\\\") + b'"' in checkin
    data = {"DATOS.MDB": b"base de datos", "pedidos.bdmarv": b"pedidos"}
    for backup, program in ((first, OLD), (second, NEW)):
        with zipfile.ZipFile(f"{backup}.zip") as archive:
            assert {n: archive.read(n) for n in archive.namelist()} == dict(data, **{"mesalto.exe": program})
    assert not (folder / "mesalto2.exe").exists() and not extracted.exists()
    # Started by the user, then by each update's worker and window.
    assert wait_until(lambda: started(folder) == [f"{exe}|{w(folder)}"] * 5, 30), started(folder)
    assert_startable(procs, folder, NEWER)


# ---- two agents at once --------------------------------------------------

# Every code an update with an executable package can journal.
EXECUTABLE_UPDATE_CODES = {
    "DECLARACION_VALIDA", "DECLARACION_VERSION", "TASKKILL_APP", "RENOMBRADO_A_2", "ERROR_RENOMBRAR_A_2", "REANUDAR_DESCARGA", "DESCARGA", "ERROR_DESCARGA",
    "ERROR_GUARDAR", "RESTAURADO_EXE_ANTERIOR", "ERROR_RESTAURAR_EXE_ANTERIOR", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES",
    "ERROR_MOVER_A_ACTUALIZACIONES_CARPETA", "COPIA_OK", "COPIA_ERROR", "COPIA_PATRON_SIN_RESULTADOS",
    "COPIA_PATRONES_RESUMEN", "ZIP_CARPETA", "RELANZAR_APP", "RELANZAR_APP_NO_EXISTE",
    "ARRANQUE_COMPROBADO", "ARRANQUE_INTERRUMPIDO"}


def assert_whole_lines(folder):
    """Every line of every journal is one whole line: a stamp, a code, CR LF."""
    for path in (folder / "actualizador_registros").glob("*.csv"):
        data = path.read_bytes()
        assert data.endswith(b"\r\n"), path
        for line in data[:-2].split(b"\r\n"):
            assert LINE.fullmatch(line), (path.name, line)


def test_two_agents_at_once_in_one_folder(tmp_path, server, procs):
    """Two agents started together in one folder take the same update offer,
    an executable package arriving in four pieces over 2 s so that the two
    fetches overlap. Run after run under Wine the same happens: the first
    worker stops the program and copies it aside; the second, finding the
    program still in place, copies it aside again; both store the new
    program (twice DESCARGA), one backup folder holds the old one with the
    data files, two OK reports arrive, and the program is relaunched by both
    workers and both windows: 3 or 4 starts, as one window's taskkill may
    end the other's relaunch. On a busy machine the second worker may start
    only after the program was set aside, and then has no installation to
    report for. What must hold whatever the interleaving is checked here."""
    quarter = len(NEW) // 4 + 1
    server.answer(BANNER_PATH, Answer(body=png(400, 200, (255, 128, 0))), host=IMAGE_HOST)
    server.answer("/paquetes/mesalto.exe", Answer(body=NEW, segments=[(quarter, 0.5)] * 4))
    body = answer_checkin(server, {"alertas": [offer(f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe", NEW)]})
    folder = install(tmp_path)
    shutil.copy(bench.AGENT, folder / "trevanto.exe")
    agents = [procs.start(["wine", folder / "trevanto.exe"], cwd=folder) for _ in range(2)]

    assert [finish(agent, 120) for agent in agents] == [0, 0]

    assert_whole_lines(folder)
    codes = [line.split(";")[0] for line in new_journal(folder)]
    assert set(codes) <= EXECUTABLE_UPDATE_CODES, codes
    # A worker that starts once the other has set the program aside finds no
    # installation to report for (no product key): one report or two.
    reports = report_bodies(server)
    assert len(reports) in (1, 2) and {r["resultado"] for r in reports} <= {"OK", "DESCARGA_FALLIDA"}
    # No line lost: each worker stored its package or journalled why not,
    # each stored package reported OK has its line, each stop has its relaunch.
    # (A worker that checks the statement once the other has installed its
    # version refuses it as not newer, before it stops anything.)
    assert codes.count("DESCARGA") + codes.count("ERROR_DESCARGA") + codes.count("ERROR_GUARDAR") + \
        codes.count("DECLARACION_VERSION") == 2, codes
    assert codes.count("DESCARGA") >= sum(r["resultado"] == "OK" for r in reports)
    assert codes.count("TASKKILL_APP") == codes.count("RELANZAR_APP") + codes.count("RELANZAR_APP_NO_EXISTE")
    # Each installation's start is watched; one agent stopping the program
    # the other one watches is no failed start.
    assert codes.count("ARRANQUE_COMPROBADO") + codes.count("ARRANQUE_INTERRUMPIDO") == \
        sum(r["resultado"] == "OK" for r in reports), codes
    assert (folder / "actualizador_registros" / "recibido.json").read_bytes() == body

    # The program is in place, old or new, and the old one is not lost.
    program = (folder / "mesalto.exe").read_bytes()
    assert program in (OLD, NEW)
    kept = [p.read_bytes() for p in folder.glob("actualizaciones/*/mesalto.exe")]
    assert program == OLD or OLD in kept
    assert not (folder / "mesalto2.exe").exists() and not (folder / "mesalto.exe.parcial").exists()
    assert_startable(procs, folder, program)
