"""The installer window of a real trevanto.exe started without a sibling
program, under Wine and Xvfb: what it shows (screen pixels), hover, clicks on
tiles, and the installation into a program's default folder inside the Wine
prefix, against the vendor service with its sample data."""

import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest
from PIL import Image

import bench
from bench import DOWNLOAD_HOST, IMAGE_HOST, button_rect, finish, tile_rects, wait_until

TITLE = "Actualizador Marvek"
CLASS = "TrevantoInstaladorWnd"
BOX = "#32770"
FOLDER_BROWSER = "Browse for Folder"  # the shell's dialog, in Wine's English
ZIP_NAME = "1.25.1119_trevanto.zip"
AGENT_ZIP = bench.WIN / "agent-zip" / ZIP_NAME
ARCHIVER_PATH = "/parches/7za.exe"
ZIP_PATH = "/parches/" + ZIP_NAME
STATEMENT_PATH = ZIP_PATH + ".declaracion"
SAMPLE = bench.ROOT / "vendor-service" / "datos-ejemplo"
PICTURES = SAMPLE / "archivos" / "wp-content" / "uploads" / "2025" / "11"

# Tile order: picture name and accent strip colour.
TILES = [("forjano", (0xEB, 0x1E, 0x37)), ("mesalto", (0x00, 0xB9, 0xE6)), ("quindel", (0x7D, 0x41, 0xC8)),
         ("vendara", (0xFA, 0xC8, 0x00)), ("tijeral", (0xF0, 0x46, 0xA5))]
BODY = ((0xF4, 0xF7, 0xFC), (0xEA, 0xF0, 0xFA))
BODY_HOVER = ((0xFA, 0xFC, 0xFF), (0xE8, 0xF1, 0xFF))
BUTTON = ((0xEC, 0xF3, 0xFC), (0xE1, 0xEB, 0xF8))
BUTTON_HOVER = ((0xF5, 0xFC, 0xFF), (0xE0, 0xEC, 0xFC))


# --- driving the window --------------------------------------------------

def find(title, window_class, timeout_ms=60000):
    """The window of that title and class as JSON, or None when it did not come."""
    return bench.wintool_wait(title, timeout_ms, window_class)


def start_installer(procs, tmp_path):
    """The agent started alone in a folder; returns (process, window JSON, seconds until it showed)."""
    folder = tmp_path / "instalador"
    folder.mkdir(exist_ok=True)
    # The pointer off the window's place first: a window that appears under
    # it starts with a highlighted tile.
    mouse(0, 0)
    started = time.monotonic()
    proc = bench.start_agent(procs, folder)
    window = find(TITLE, CLASS)
    assert window is not None, (f"the installer window did not appear in {time.monotonic() - started:.1f} s "
                                f"(agent exit code {proc.poll()}); {bench.windows_report()}")
    seconds = time.monotonic() - started
    # The pointer onto the background left of the tiles, where nothing is highlighted.
    mouse(window["client"][0] + 20, window["client"][1] + 125)
    return proc, window, seconds


def box(title):
    found = find(title, BOX)
    assert found is not None, f"no message box {title!r}; windows: {bench.wintool('list')[1]}"
    # The icon is told from screen pixels: read it again once the box has surely been painted.
    time.sleep(0.5)
    return find(title, BOX)


def dismiss(title):
    assert bench.wintool("press", title, 1, BOX)[0] == 0
    assert bench.wintool("gone", title, 10000, BOX)[0] == 0


def mouse(x, y, click=False):
    subprocess.run(["xdotool", "mousemove", str(x), str(y)] + (["click", "1"] if click else []), check=True)


def screenshot() -> Image.Image:
    return bench.screenshot()


def screen_when(condition, timeout=30.0) -> Image.Image:
    deadline = time.monotonic() + timeout
    while True:
        shot = screenshot()
        if condition(shot) or time.monotonic() > deadline:
            return shot
        time.sleep(0.2)


# --- what the window should show ----------------------------------------

def blend(colours, t):
    top, bottom = colours
    return tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))


def near(pixel, colour, tolerance=3) -> bool:
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


class Client:
    """Client-area coordinates of the installer window on the screen."""

    def __init__(self, window):
        self.x, self.y, self.w, self.h = window["client"]
        self.tiles = tile_rects(self.w, self.h)
        self.button = button_rect(self.w, self.h)

    def pixel(self, shot, x, y):
        return shot.getpixel((self.x + x, self.y + y))

    def screen(self, x, y):
        return self.x + x, self.y + y

    def strip(self, i):  # middle of the accent strip (x + 12, y + 10, w - 24, 6)
        left, top, right, _ = self.tiles[i]
        return (left + right) // 2, top + 13

    def picture_centre(self, i):  # middle of the picture area (x + 16, y + 26, w - 32, h - 86)
        left, top, right, bottom = self.tiles[i]
        return left + 16 + (right - left - 32) // 2, top + 26 + (bottom - top - 86) // 2

    def body_probe(self, i):  # left margin of the body, 20 pixels down: no text, picture or strip
        left, top, _, _ = self.tiles[i]
        return left + 6, top + 20

    def body_colour(self, i, y, colours):
        _, top, _, bottom = self.tiles[i]
        return blend(colours, (y - top + 0.5) / (bottom - top))

    def hovered(self, shot, i):
        """True or False when tile i shows its hovered or plain body; None when neither."""
        x, y = self.body_probe(i)
        pixel = self.pixel(shot, x, y)
        if near(pixel, self.body_colour(i, y, BODY_HOVER), 1):
            return True
        if near(pixel, self.body_colour(i, y, BODY), 1):
            return False
        return None


def picture_colour(name):
    with Image.open(PICTURES / f"{name}.png") as picture:
        return picture.convert("RGB").getpixel((picture.width // 2, picture.height // 2))


# --- the service and the folders -----------------------------------------

def statement_line(archive: bytes) -> bytes:
    """What the vendor publishes beside the installer's archive: the line its
    signing command prints for that archive."""
    members = bench.statement_of(archive, kind="instalador", version="1.25.1119", name=ZIP_NAME)
    return json.dumps(members, separators=(",", ":")).encode() + b"\n"


@pytest.fixture
def service(vendor):
    """The vendor service's sample data (with the tile pictures), not yet started."""
    shutil.copytree(SAMPLE, vendor.data, dirs_exist_ok=True)
    # The installed agent checks in; no alert is to be shown then.
    (vendor.data / "notificaciones" / "MarvekMesalto.json").write_text('{"titulo":"x","alertas":[]}')
    return vendor


@pytest.fixture
def marvek():
    """C:\\Marvek inside the Wine prefix, empty at the start and removed afterwards."""
    base = Path(os.environ["WINEPREFIX"]) / "drive_c" / "Marvek"
    shutil.rmtree(base, ignore_errors=True)
    base.mkdir()
    yield base
    shutil.rmtree(base, ignore_errors=True)


def downloads(vendor, path):
    """Statuses of the download host's answers for that path, in order."""
    statuses = []
    for line in vendor.log():
        fields = line.split()
        if len(fields) >= 5 and fields[3] == DOWNLOAD_HOST + path:
            statuses.append(fields[4])
    return statuses


def files(folder):
    return sorted(p.name for p in folder.iterdir())


# --- the tests -------------------------------------------------------------

def test_window_shows_gradient_header_tiles_in_order_with_pictures_and_hover(tmp_path, service, procs):
    service.start()
    installer, window, _ = start_installer(procs, tmp_path)
    client = Client(window)

    # 980 x 640, centred on the 1280 x 800 screen (no task bar on Xvfb).
    assert window["window"] == [150, 80, 1130, 720]
    shot = screen_when(lambda s: near(client.pixel(s, *client.strip(4)), TILES[4][1]))
    assert near(client.pixel(shot, 10, 3), blend(((0x12, 0x23, 0x3A), (0x2A, 0x60, 0x96)), 3.5 / client.h))
    assert near(client.pixel(shot, 10, client.h - 3),
                blend(((0x12, 0x23, 0x3A), (0x2A, 0x60, 0x96)), (client.h - 2.5) / client.h))
    assert near(client.pixel(shot, 52, 60), (0x5A, 0x96, 0xE6))  # header panel, left of the text
    for i, (name, accent) in enumerate(TILES):
        assert near(client.pixel(shot, *client.strip(i)), accent), f"accent of tile {i} ({name})"
        assert near(client.pixel(shot, *client.picture_centre(i)), picture_colour(name)), f"picture of {name}"
        assert client.hovered(shot, i) is False
    # Each picture came from the image host once.
    log = service.log()
    for name, _ in TILES:
        assert sum(f"GET {IMAGE_HOST}/wp-content/uploads/2025/11/{name}.png 200" in line for line in log) == 1

    # Onto MESALTO: only that tile is highlighted.
    mouse(*client.screen(client.tiles[1][0] + 30, client.tiles[1][3] - 8))
    shot = screen_when(lambda s: client.hovered(s, 1))
    assert [client.hovered(shot, i) for i in range(5)] == [False, True, False, False, False]
    # To the background between the header and the tiles: nothing highlighted.
    mouse(*client.screen(20, 125))
    shot = screen_when(lambda s: client.hovered(s, 1) is False)
    assert [client.hovered(shot, i) for i in range(5)] == [False] * 5
    # Onto the button, then out of the window: the highlight goes with the mouse.
    bx, by = client.button[0] + 4, client.button[1] + 22
    mouse(*client.screen(bx, by))
    shot = screen_when(lambda s: near(client.pixel(s, bx, by), blend(BUTTON_HOVER, 22.5 / 44), 1))
    assert near(client.pixel(shot, bx, by), blend(BUTTON_HOVER, 22.5 / 44), 1)
    mouse(*client.screen(client.tiles[3][0] + 30, client.tiles[3][3] - 8))
    shot = screen_when(lambda s: client.hovered(s, 3))
    assert [client.hovered(shot, i) for i in range(5)] == [False, False, False, True, False]
    assert near(client.pixel(shot, bx, by), blend(BUTTON, 22.5 / 44), 1)
    mouse(5, 5)
    shot = screen_when(lambda s: client.hovered(s, 3) is False)
    assert [client.hovered(shot, i) for i in range(5)] == [False] * 5
    assert installer.poll() is None


def test_without_image_host_tiles_have_no_pictures_and_a_gap_click_does_nothing(tmp_path, service, procs, hosts,
                                                                                  marvek):
    service.start()
    hosts.map(IMAGE_HOST, "127.0.0.2")  # nothing listens there: refused at once
    (marvek / "Marvek Forjano").mkdir()
    installer, window, seconds = start_installer(procs, tmp_path)
    client = Client(window)

    assert seconds < 20, f"the window took {seconds:.1f} s"
    shot = screen_when(lambda s: near(client.pixel(s, *client.strip(4)), TILES[4][1]))
    for i, (name, accent) in enumerate(TILES):
        assert near(client.pixel(shot, *client.strip(i)), accent)
        x, y = client.picture_centre(i)
        assert near(client.pixel(shot, x, y), client.body_colour(i, y, BODY)), f"no picture on {name}"

    # Between FORJANO and MESALTO, and beside the button: no box, nothing fetched.
    mouse(*client.screen(client.tiles[0][2] + 12, 200), click=True)
    mouse(*client.screen(client.button[0] - 20, client.button[1] + 20), click=True)
    time.sleep(2)
    assert find(TITLE, BOX, 100) is None
    # The button opens the folder browser with its prompt; cancelled, nothing happens.
    mouse(*client.screen(client.button[0] + 130, client.button[1] + 22), click=True)
    browser = box(FOLDER_BROWSER)
    assert "Selecciona la carpeta donde instalar Trevanto" in browser["texts"]
    assert bench.wintool("press", FOLDER_BROWSER, 2, BOX)[0] == 0  # IDCANCEL
    assert bench.wintool("gone", FOLDER_BROWSER, 10000, BOX)[0] == 0
    time.sleep(1)
    assert find(TITLE, BOX, 100) is None
    assert [line for line in service.log() if DOWNLOAD_HOST in line] == []
    assert files(marvek / "Marvek Forjano") == []
    assert installer.poll() is None


def test_failures_are_told_in_boxes_and_the_window_stays_usable(tmp_path, service, procs, marvek):
    service.start()
    quindel = marvek / "Marvek Quindel"
    quindel.mkdir()
    (quindel / "trevanto.exe").write_bytes(b"agente anterior")
    installer, window, _ = start_installer(procs, tmp_path)
    client = Client(window)
    screen_when(lambda s: near(client.pixel(s, *client.strip(4)), TILES[4][1]))

    def click_tile(i):
        left, top, right, bottom = client.tiles[i]
        mouse(*client.screen((left + right) // 2, bottom - 8), click=True)

    def expect_box(title, text):
        found = box(title)
        assert found["texts"].count(text) == 1, found["texts"]
        assert found["icon"] == "error"
        dismiss(title)
        assert installer.poll() is None

    def download_box(path, hresult):
        expect_box("Actualizador Marvek - Error descarga",
                   f"No se pudo descargar el ZIP:\nhttps://{DOWNLOAD_HOST}{path}\n\nHRESULT: {hresult}")

    # The vendor has published no statement of its archive: nothing is
    # fetched but the statement, and the folder stays as it was.
    click_tile(2)
    download_box(STATEMENT_PATH, "0x800B0100")
    assert files(quindel) == ["trevanto.exe"]
    assert downloads(service, ZIP_PATH) == []

    # The statement is there, the archive not yet (404).
    service.put_file(STATEMENT_PATH, statement_line(AGENT_ZIP.read_bytes()))
    click_tile(2)
    download_box(ZIP_PATH, "0x00000000")
    assert files(quindel) == ["trevanto.exe"]

    # An archive other than the stated one (one byte changed): refused, the
    # folder as before, its old agent included.
    replaced = bytearray(AGENT_ZIP.read_bytes())
    replaced[len(replaced) // 2] ^= 0x01
    service.put_file(ZIP_PATH, bytes(replaced))
    click_tile(2)
    download_box(ZIP_PATH, "0x80096010")
    assert files(quindel) == ["trevanto.exe"] and (quindel / "trevanto.exe").read_bytes() == b"agente anterior"

    # The stated archive now. TIJERAL's folder does not exist: the old agent
    # cannot be deleted (path not found).
    service.put_file(ZIP_PATH, AGENT_ZIP.read_bytes())
    click_tile(4)
    expect_box("Actualizador Marvek - Error borrando trevanto.exe",
               "No se pudo eliminar:\nC:\\Marvek\\MarvekTijeral\\trevanto.exe\n\nError: 3")
    assert not (marvek / "MarvekTijeral").exists()

    # QUINDEL: the download host has no 7za.exe; its 404 page is not kept.
    click_tile(2)
    expect_box("Actualizador Marvek - Error 7zip",
               f"No se pudo descargar 7za.exe:\nhttps://{DOWNLOAD_HOST}/parches/7za.exe\n\nHRESULT: 0x00000000")
    assert files(quindel) == []
    assert downloads(service, ARCHIVER_PATH) == ["404"]

    # A captive portal's page answered with status 200, or a program that is
    # not the archiver the build pins, is never run: deleted, and told.
    for served in (b"<html>Portal cautivo: acepte las condiciones</html>",
                   (bench.DOUBLES / "sibling_noversion.exe").read_bytes()):
        service.put_file(ARCHIVER_PATH, served)
        click_tile(2)
        expect_box("Actualizador Marvek - Error 7zip",
                   f"No se pudo descargar 7za.exe:\nhttps://{DOWNLOAD_HOST}/parches/7za.exe\n\nHRESULT: 0x80096010")
        assert files(quindel) == []

    # A damaged archive, stated as it is: 7za.exe fails; 7za.exe is kept.
    service.put_file(ARCHIVER_PATH, bench.SEVEN_ZIP.read_bytes())
    damaged = b"PK\x03\x04" + b"\x00" * 200
    service.put_file(ZIP_PATH, damaged)
    service.put_file(STATEMENT_PATH, statement_line(damaged))
    click_tile(2)
    expect_box("Actualizador Marvek - Error descompresi\u00f3n",
               "7za.exe devolvi\u00f3 c\u00f3digo 2.\nEs posible que el ZIP no se haya descomprimido correctamente.")
    assert wait_until(lambda: files(quindel) == ["7za.exe"], 10), files(quindel)
    assert (quindel / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()

    # A 7za.exe left that is no program (an earlier installer's page) is fetched again.
    (quindel / "7za.exe").write_bytes(b"no es un programa")
    click_tile(2)
    expect_box("Actualizador Marvek - Error descompresi\u00f3n",
               "7za.exe devolvi\u00f3 c\u00f3digo 2.\nEs posible que el ZIP no se haya descomprimido correctamente.")
    assert wait_until(lambda: files(quindel) == ["7za.exe"], 10), files(quindel)
    assert (quindel / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()
    assert downloads(service, ARCHIVER_PATH) == ["404", "200", "200", "200", "200"]
    assert downloads(service, ZIP_PATH) == ["404"] + ["200"] * 7
    assert find(TITLE, CLASS, 1000) is not None


def test_installation_into_the_default_folder_then_the_agent_runs_there(tmp_path, service, procs, marvek):
    service.put_file(ARCHIVER_PATH, bench.SEVEN_ZIP.read_bytes())
    service.put_file(ZIP_PATH, AGENT_ZIP.read_bytes())
    service.put_file(STATEMENT_PATH, statement_line(AGENT_ZIP.read_bytes()))
    service.start()
    mesalto = marvek / "Marvek Mesalto"
    mesalto.mkdir()
    success = "Trevanto se ha instalado correctamente en:\nC:\\Marvek\\Marvek Mesalto"

    def install():
        installer, window, _ = start_installer(procs, tmp_path)
        client = Client(window)
        screen_when(lambda s: near(client.pixel(s, *client.strip(1)), TILES[1][1]))
        left, top, right, bottom = client.tiles[1]
        mouse(*client.screen((left + right) // 2, bottom - 8), click=True)
        found = box(TITLE)
        assert found["texts"].count(success) == 1, found["texts"]
        assert found["icon"] == "information"
        # Extracted before the box, and the archive deleted.
        assert (mesalto / "trevanto.exe").read_bytes() == bench.AGENT.read_bytes()
        assert not (mesalto / ZIP_NAME).exists()
        dismiss(TITLE)
        assert finish(installer) == 0

    install()
    assert files(mesalto) == ["7za.exe", "trevanto.exe"]
    assert (mesalto / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()
    assert downloads(service, ARCHIVER_PATH) == ["200"]
    assert downloads(service, ZIP_PATH) == ["200"]

    # The installed agent beside its program runs in agent mode and checks in.
    shutil.copy(bench.DOUBLES / "sibling_5_2_1_0.exe", mesalto / "mesalto.exe")
    agent = procs.start(["wine", "C:\\Marvek\\Marvek Mesalto\\trevanto.exe"], cwd=mesalto)
    assert finish(agent) == 0
    [row] = service.rows("checkins")
    assert (row["Programa"], row["Version"]) == ("MarvekMesalto", "5.2.1.0")

    # A second installation replaces trevanto.exe and finds 7za.exe present.
    (mesalto / "trevanto.exe").write_bytes(b"agente anterior")
    install()
    assert downloads(service, ARCHIVER_PATH) == ["200"]
    assert downloads(service, ZIP_PATH) == ["200", "200"]
