"""The alerts display of a real trevanto.exe run under Wine and Xvfb: the
windows one after another, what they show (screen pixels), what clicks, keys
and the accept button do, and update offers run from the window. Documents
and pictures come from the vendor service; the screen is 1280 x 800."""

import datetime
import hashlib
import io
import json
import re
import shutil
import subprocess
import threading
import time

from PIL import Image

import bench
from bench import finish, journal, wait_until, winpath
from fault_server import Answer

W, H = 1280, 800
TITLE = "ACTUALIZANDO... ESPERE."
FOOTER = (0, 120, 215)
WHITE = (255, 255, 255)
OLD = (bench.DOUBLES / "sibling_5_2_1_0.exe").read_bytes()
NEW = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()
NEWER = (bench.DOUBLES / "sibling_1_65535_0_2.exe").read_bytes()


def png(width, height, colour) -> bytes:
    buffer = io.BytesIO()
    Image.new("RGB", (width, height), colour).save(buffer, "PNG")
    return buffer.getvalue()


def screenshot() -> Image.Image:
    return bench.screenshot()


def screen_when(condition, timeout=60.0) -> Image.Image:
    """The first screenshot for which the condition holds."""
    deadline = time.monotonic() + timeout
    while True:
        shot = screenshot()
        if condition(shot):
            return shot
        assert time.monotonic() < deadline, "the expected window never appeared"
        time.sleep(0.2)


def near(pixel, colour, tolerance=8) -> bool:
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def click(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)


def key(combo):
    subprocess.run(["xdotool", "key", combo], check=True)


def closes(folder):
    return [line for line in journal(folder) if line.startswith(("CIERRE_ARCHIVAR_ZIP", "HOTKEY"))]


def starts(path):
    return bench.started(path.parent, path.name)


def alert_window(procs, children=0):
    """The alerts window once it has that many child windows."""
    deadline = time.monotonic() + 30
    while True:
        window = bench.wait_window(TITLE, 30000)
        assert window is not None, f"no alerts window; {bench.windows_report()}"
        if len(window["children"]) >= children or time.monotonic() > deadline:
            return window
        time.sleep(0.2)


def program(tmp_path, vendor, document):
    folder = bench.make_program_folder(tmp_path, name="Marvek Mesalto")
    vendor.data.joinpath("notificaciones", "MarvekMesalto.json").write_text(json.dumps(document))
    vendor.start()
    return folder


def identity_pixels(shot, colour):
    return sum(near(shot.getpixel((x, y)), colour, 40) for x in range(8, 308) for y in range(H - 45, H - 6))


def web_link_opener(tmp_path, registry):
    """A program (enlaces/abrir.exe, a sibling double) that this prefix's
    shell opens https addresses with: a start in its record is a link opened."""
    opener = tmp_path / "enlaces" / "abrir.exe"
    opener.parent.mkdir()
    shutil.copy(bench.DOUBLES / "sibling_noversion.exe", opener)
    registry.set_default(r"HKCR\https\shell\open\command", f'"{winpath(opener)}" "%1"')
    return opener


def test_four_kinds_one_after_another_with_clicks_keys_and_the_hot_key(tmp_path, vendor, procs, registry):
    opener = web_link_opener(tmp_path, registry)
    colours = [(220, 0, 0), (0, 200, 0), (0, 0, 230), (200, 0, 200), (0, 200, 200)]
    for i, colour in enumerate(colours):
        vendor.put_file(f"/uploads/celda{i}.png", png(100, 100, colour))
    vendor.put_file("/uploads/alta.png", png(100, 5000, (0, 0, 230)))
    # A picture past the 32 MiB a picture may have is not kept (nor shown).
    vendor.put_file("/uploads/enorme.png", png(100, 100, (220, 0, 0)) + bytes(32 << 20))
    cells = [{"texto": f"Celda {i}", "imagen": f"https://imagenes.marvek.example/uploads/celda{i}.png",
              "color_fondo": "#FFFF00"} for i in range(5)]
    cells[0]["enlace"] = "https://www.marvek.example/ofertas"
    folder = program(tmp_path, vendor, {
        "titulo": "Avisos", "color_fondo": "#123", "color_titulo_fondo": "#00ff00", "color_titulo_texto": "#0000FF",
        "alertas": [
            {"tipo": "boton_multiple", "columnas": "2", "contenido": cells},
            {"tipo": "boton_unico", "contenido": [
                {"texto": "Alto", "imagen": "https://imagenes.marvek.example/uploads/alta.png"}]},
            {"tipo": "solo_mensaje", "contenido": [
                {"texto": "Mensaje sin imagen", "color_fondo": "#FFFF00", "color_texto": "#000000",
                 "imagen": "https://imagenes.marvek.example/uploads/enorme.png"}]},
            {"tipo": "desconocido"},
        ]})
    agent = bench.start_agent(procs, folder)

    # Grid: 2 columns of 610 px, 3 rows of 203 px; 100 px pictures scaled to
    # 173 px, centred (x + 218), under a 30 px text band.
    grid = screen_when(lambda s: near(s.getpixel((324, 216)), colours[0]))
    assert near(grid.getpixel((5, 5)), (0, 255, 0))  # title band "#00ff00"
    assert near(grid.getpixel((954, 662)), WHITE)  # "#123" is no colour: white page
    for (x, y), colour in zip([(324, 216), (954, 216), (324, 439), (954, 439), (324, 662)], colours):
        assert near(grid.getpixel((x, y)), colour), (x, y)
    assert near(grid.getpixel((25, 105)), (255, 255, 0))  # text band of cell 0
    assert near(grid.getpixel((324, 313)), WHITE)  # gap between rows
    assert near(grid.getpixel((237, 216)), (255, 255, 255)) and near(grid.getpixel((408, 300)), colours[0])
    assert near(grid.getpixel((5, H - 5)), FOOTER) and near(grid.getpixel((450, H - 25)), FOOTER)
    assert identity_pixels(grid, WHITE) > 30

    click(640, 40)  # title band
    click(324, 115)  # text band of the linked cell
    click(412, 304)  # just outside the picture
    key("alt+F4")
    time.sleep(1.5)
    assert starts(opener) == [] and closes(folder) == []
    click(411, 303)  # bottom-right border pixel of the picture opens the link
    assert wait_until(lambda: len(starts(opener)) == 1, 20)
    subprocess.run(["wine", "taskkill", "/F", "/IM", "abrir.exe"], capture_output=True)
    click(640, H - 20)
    assert wait_until(lambda: len(closes(folder)) == 1, 20)
    set_aside = winpath(folder / "trevanto2.exe")
    assert closes(folder) == [f"CIERRE_ARCHIVAR_ZIP;{set_aside};NO_EXISTE"]

    # Single cell with a 100 x 5000 picture: the box narrows to about 13 px,
    # centred, and the picture fills the content height below the text.
    single = screen_when(lambda s: near(s.getpixel((640, 700)), (0, 0, 230)) and near(s.getpixel((954, 439)), WHITE))
    run = [x for x in range(W) if near(single.getpixel((x, 500)), (0, 0, 230))]
    assert 10 <= len(run) <= 16 and run == list(range(run[0], run[0] + len(run)))
    assert run[0] == (W - len(run)) // 2
    assert near(single.getpixel((640, H - 51)), (0, 0, 230)) and near(single.getpixel((640, H - 45)), FOOTER)
    shutil.copy(bench.DOUBLES / "sibling_noversion.exe", folder / "trevanto2.exe")
    click(900, H - 10)
    assert wait_until(lambda: len(closes(folder)) == 2, 30)
    archived = closes(folder)[1]
    assert re.fullmatch(re.escape(f"CIERRE_ARCHIVAR_ZIP;{set_aside};{winpath(folder)}\\versiones\\") +
                        r"\d{6}_\d{6}_trevanto\.zip", archived), archived
    assert not (folder / "trevanto2.exe").exists()

    # A message without a (usable) picture fills the content area with its colour.
    message = screen_when(lambda s: near(s.getpixel((25, 105)), (255, 255, 0)) and
                          near(s.getpixel((1254, H - 51)), (255, 255, 0)))
    assert near(message.getpixel((19, 400)), WHITE) and near(message.getpixel((1260, 400)), WHITE)
    assert sum(message.getpixel((x, 425)) == (0, 0, 0) for x in range(400, 880)) > 10  # its text
    click(20, H - 40)
    assert wait_until(lambda: len(closes(folder)) == 3, 20)

    # An unknown kind shows the frame only; Ctrl+F10 ends the process with 1.
    screen_when(lambda s: near(s.getpixel((25, 105)), WHITE) and near(s.getpixel((5, H - 5)), FOOTER))
    key("ctrl+F10")
    assert finish(agent, 30) == 1
    assert closes(folder)[3:] == ["HOTKEY_EMERGENCIA_CTRLF10"]


def test_terms_are_accepted_only_after_five_seconds_and_loaded_once(tmp_path, vendor, server, procs):
    # The document comes from the fault server (localhost), which notes when
    # the window's first paint asked for it.
    rtf = b"{\\rtf1\\ansi Condiciones de uso del servicio.}"
    server.answer("/uploads/terminos.rtf", Answer(body=rtf))
    url = "https://localhost/uploads/terminos.rtf"
    folder = program(tmp_path, vendor, {"alertas": [
        {"tipo": "documento_rtf", "contenido": [{"enlace": url}]},
        {"tipo": "documento_rtf", "contenido": [{"enlace": url}]}]})
    agent = bench.start_agent(procs, folder)

    assert wait_until(lambda: alert_window(procs, 2)["children"][0]["text"] == "Condiciones de uso del servicio.", 20)
    [rich, button] = alert_window(procs, 2)["children"]
    assert rich["class"].upper() == "RICHEDIT50W"
    assert (button["class"].upper(), button["text"]) == ("BUTTON", "Acepto los terminos y condiciones")
    # The button is clicked again and again from now on. While it is
    # disabled the clicks reach the window, which stays open and accepts
    # nothing; the first click after it is enabled accepts. How soon that
    # comes after the first paint is read from what the run left behind.
    accepted = lambda: journal(folder, "alertas_terminos_aceptados.csv")
    deadline = time.monotonic() + 60
    while not accepted():
        assert time.monotonic() < deadline, "the accept button never took a click"
        click(60, H - 25)
        time.sleep(0.25)
    assert accepted() == [url]
    [line] = (folder / "actualizador_registros" / "alertas_terminos_aceptados.csv").read_bytes().splitlines()
    stamp = datetime.datetime.strptime(line[:19].decode(), "%Y-%m-%d %H:%M:%S").timestamp()
    [fetched] = server.requests_to("/uploads/terminos.rtf")
    # Enabled 5 s after the first paint, which is when the document was
    # asked for; the journal counts whole seconds.
    assert stamp >= int(fetched.arrived_at) + 4, (line, fetched.arrived_at)
    assert closes(folder) == []
    [row] = vendor.rows("acceptance_reports")
    assert (row["Programa"], row["rtf_url"]) == ("MarvekMesalto", url)

    # The second document of the run is not fetched again: an empty control.
    assert wait_until(lambda: alert_window(procs, 2)["children"][0]["text"] == "", 20)
    click(900, H - 20)
    assert finish(agent, 30) == 0
    assert closes(folder) == [f"CIERRE_ARCHIVAR_ZIP;{winpath(folder / 'trevanto2.exe')};NO_EXISTE"]
    assert len(vendor.rows("acceptance_reports")) == 1
    assert len(server.requests_to("/uploads/terminos.rtf")) == 1


def gauge_fill(shot):
    """Blue pixels of the gauge (704 px wide at x 288, y 670)."""
    return sum(near(shot.getpixel((x, 681)), FOOTER) for x in range(289, 992))


def blue_pixels(percent):
    """What gauge_fill counts at that percentage: the filled width, less the
    outline's left column."""
    return max(int(704 * percent / 100.0) - 1, 0)


def test_update_offers_run_from_the_window_one_after_another(tmp_path, vendor, server, procs):
    import zipfile
    vendor.put_file("/uploads/foto_actualizador.png", png(400, 200, (255, 128, 0)))
    package = io.BytesIO()
    with zipfile.ZipFile(package, "w") as archive:
        archive.writestr("mesalto.exe", NEWER)
    vendor.put_file("/paquetes/paquete.zip", package.getvalue())
    # The executable comes from the fault server (localhost) in pieces of
    # 64 KiB (what WinINet hands over per read), each sent only when the
    # test has seen what the one before did to the gauge.
    pieces = [(65536, 0.0)] * (len(NEW) // 65536) + [(len(NEW) % 65536, 0.0)]
    gates = [threading.Event() for _ in pieces]
    server.answer("/paquetes/mesalto.exe", Answer(body=NEW, segments=pieces, gates=gates))
    # Each offer carries the vendor's statement of its package (the second's
    # is never fetched: the host has no such file).
    stated = [bench.statement_of(NEW), bench.statement_of(NEW, version="6.1"),
              bench.statement_of(package.getvalue(), version="7.0", name="paquete.zip")]
    folder = program(tmp_path, vendor, {"alertas": [
        {"tipo": "url_actualizar", "contenido": [{"enlace": "https://localhost/paquetes/mesalto.exe", **stated[0]}]},
        {"tipo": "url_actualizar",
         "contenido": [{"enlace": "https://descargas.marvek.example/paquetes/mesalto.exe", **stated[1]}]},
        {"tipo": "url_actualizar",
         "contenido": [{"enlace": "https://descargas.marvek.example/paquetes/paquete.zip", **stated[2]}]},
        # No package: no worker starts, so the gauge shows what the window set.
        {"tipo": "url_actualizar"},
    ]})
    exe = folder / "mesalto.exe"
    procs.start(["wine", exe], cwd=folder)
    assert wait_until(lambda: len(starts(exe)) == 1, 20)
    agent = bench.start_agent(procs, folder)

    # Banner 400 x 200 at (440, 315), gauge below it, no footer band.
    offer = screen_when(lambda s: near(s.getpixel((640, 415)), (255, 128, 0)))
    assert near(offer.getpixel((439, 415)), WHITE) and near(offer.getpixel((840, 415)), WHITE)
    assert near(offer.getpixel((640, H - 5)), WHITE) and near(offer.getpixel((5, H - 5)), WHITE)  # no footer band
    assert identity_pixels(offer, (0x50, 0x50, 0x50)) > 30 and identity_pixels(offer, WHITE) > 10000
    assert near(offer.getpixel((990, 681)), (0xD2, 0xD2, 0xD2))  # gauge background, right end
    # The gauge shows each piece's progress (received x 70 / length) in turn,
    # waited for piece by piece: however slow the machine, no step is missed.
    for k, gate in enumerate(gates):
        percent = min(k * 65536, len(NEW)) * 70 // len(NEW)
        screen_when(lambda s: gauge_fill(s) == blue_pixels(percent), 120)
        gate.set()

    # Each update stops and starts the program twice: worker, then window;
    # the window's start comes just before the next window is made.
    assert wait_until(lambda: len(starts(exe)) == 1 + 3 * 2, 180), starts(exe)
    # The last window starts no worker: its gauge is the one a new window
    # starts from, empty, not the previous update's "Listo 100%".
    last = screen_when(lambda s: near(s.getpixel((640, 415)), (255, 128, 0)))
    assert gauge_fill(last) == 0 and near(last.getpixel((290, 681)), (0xD2, 0xD2, 0xD2))
    key("ctrl+F10")
    assert finish(agent, 30) == 1
    assert len(starts(exe)) == 7

    # The service vouches for the package it serves itself, and only for that one.
    offers = json.loads((folder / "actualizador_registros" / "recibido.json").read_bytes())["alertas"]
    assert [cell.get("sha256") for offer in offers for cell in offer.get("contenido", [])] == \
        [None, None, hashlib.sha256(package.getvalue()).hexdigest()]
    lines = journal(folder)
    assert [line.split(";")[0] for line in lines if line.startswith(("DESCARGA;", "ERROR_DESCARGA", "HOTKEY"))] == \
        ["DESCARGA", "ERROR_DESCARGA", "DESCARGA", "HOTKEY_EMERGENCIA_CTRLF10"]
    assert any(line.startswith("RESTAURADO_EXE_ANTERIOR") for line in lines)  # the failed fetch put it back
    assert exe.read_bytes() == NEWER
    reports = [(r["resultado"], r["url_parche"]) for r in vendor.rows("update_reports")]
    assert reports == [("OK", "https://localhost/paquetes/mesalto.exe"),
                       ("DESCARGA_FALLIDA", "https://descargas.marvek.example/paquetes/mesalto.exe"),
                       ("OK", "https://descargas.marvek.example/paquetes/paquete.zip")]


def test_a_document_of_the_wrong_shape_shows_nothing_and_the_run_ends(tmp_path, vendor, procs):
    # "titulo" must be a string: the whole document is refused like bad JSON.
    folder = program(tmp_path, vendor, {"titulo": 5, "alertas": [{"tipo": "solo_mensaje"}]})
    agent = bench.start_agent(procs, folder)
    assert finish(agent, 60) == 0
    assert (folder / "actualizador_registros" / "recibido.json").read_bytes().startswith(b'{"titulo": 5')
    assert bench.wait_window(TITLE, 500) is None
    assert closes(folder) == []
