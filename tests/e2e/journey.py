"""The whole journey of a user, shared by the demo and the system test:
the agent started alone in an empty folder shows the installer, a click on
the MARVEK MESALTO tile installs it into the sample program folder
C:\\Marvek\\Marvek Mesalto, and the installed agent then runs there against
the vendor service: archiving, self-update check, check-in, one window per
alert item, the update offer installing a ZIP package, the report and the
relaunch.

The windows are watched with wintool and captured as PNG files. With
`auto`, they are also clicked through as a person would; without it a
person clicks on a real display and the journey only watches."""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import List, Optional

import bench

sys.path.insert(0, str(bench.ROOT / "tests" / "vendor-service" / "console"))
from chromium import full_page_png, headless_chromium, log_in  # noqa: E402

SAMPLE = bench.ROOT / "vendor-service" / "datos-ejemplo"
AGENT_ZIP_NAME = "1.25.1119_trevanto.zip"
PACKAGE_PATH = "/paquetes/mesalto_6.0.3.17.zip"
INSTALLER_TITLE, INSTALLER_CLASS = "Actualizador Marvek", "TrevantoInstaladorWnd"
ALERT_TITLE, ALERT_CLASS = "ACTUALIZANDO... ESPERE.", "AlertaWindowClass"
BOX_CLASS = "#32770"
MESALTO_TILE = 1
OLD_PROGRAM = bench.DOUBLES / "sibling_5_2_1_0.exe"
NEW_PROGRAM = bench.DOUBLES / "sibling_6_0_3_17.exe"
SERVER_PROGRAM = bench.DOUBLES / "sibling_noversion.exe"
REGISTRATION_SCRIPT = (b"@echo off\r\n"
                       b"echo Mesalto 6.0.3.17 registrado> \"%~dp0registrado.txt\"\r\n"
                       b"exit /b 0\r\n")
# A backup left by an earlier update, packed by the archiving at start.
EARLIER_BACKUP = "20250301_101500"
OPERATOR = ("demo", "clave-de-la-demo")  # the console's login in the demo and the tests
DATA_FILES = {"MESALTO.MDB": b"Mesalto: datos de empresa\r\n", "CLIENTES.MDB": b"Mesalto: clientes\r\n"}
KIND_NAMES = {"solo_mensaje": "mensaje", "boton_multiple": "cuadricula de imagenes",
              "boton_unico": "imagen unica", "documento_rtf": "terminos (RTF)",
              "url_actualizar": "oferta de actualizacion"}


# --- what is served and what is on the disk --------------------------------

def update_package() -> bytes:
    """The ZIP package of the sample update offer: the new program, its
    registration script and the server component."""
    server = bench.zip_bytes({"marvekserver.exe": SERVER_PROGRAM.read_bytes(),
                        "leeme.txt": b"Servidor Marvek 6.0\r\n"})
    return bench.zip_bytes({"mesalto.exe": NEW_PROGRAM.read_bytes(), "registro.bat": REGISTRATION_SCRIPT,
                      "marvekserver.zip": server, "novedades.txt": b"Mesalto 6.0.3.17\r\n"})


def prepare_service(vendor: bench.VendorService) -> None:
    """The vendor's sample data plus what the build makes: 7za.exe, the
    agent's archive with the vendor's statement of it, and the update
    package, published as a release of Mesalto stated (and signed) with the
    build's first test key, whose rollout offers it to every installation of
    5.2.1.0; and an operator for the console."""
    shutil.copytree(SAMPLE, vendor.data, dirs_exist_ok=True)
    vendor.put_file("/parches/7za.exe", bench.SEVEN_ZIP.read_bytes())
    archive = (bench.WIN / "agent-zip" / AGENT_ZIP_NAME).read_bytes()
    vendor.put_file(f"/parches/{AGENT_ZIP_NAME}", archive)
    # Beside the installer's archive, the line the vendor's command printed for it.
    vendor.put_file(f"/parches/{AGENT_ZIP_NAME}.declaracion", statement_line(
        bench.statement_of(archive, kind="instalador", version="1.25.1119", name=AGENT_ZIP_NAME)))
    package = update_package()
    vendor.put_file(PACKAGE_PATH, package)
    stated = bench.statement_of(package, name=PACKAGE_PATH.rsplit("/", 1)[1])
    vendor.command("release", "add", "--product", "MarvekMesalto", "--version", "6.0.3.17", "--file", PACKAGE_PATH,
                   "--signature", bench.signature_of(package), "--statement", statement_line(stated).decode().strip())
    vendor.command("rollout", "start", "--release", "1", "--replaces", "5.2.1.0", "--stages", "100", "--manual")
    vendor.command("operator", "add", "--name", OPERATOR[0], stdin=OPERATOR[1] + "\n")


def statement_line(members: dict) -> bytes:
    """The members of a statement as the vendor's signing command prints them."""
    return json.dumps(members, separators=(",", ":")).encode() + b"\n"


def offered_url(folder: Path) -> str:
    """The package address of the update offer in the stored check-in answer."""
    document = json.loads((folder / "actualizador_registros" / "recibido.json").read_bytes())
    return next(item["contenido"][0]["enlace"] for item in document["alertas"] if item["tipo"] == "url_actualizar")


def rollout_picture(png: Path, rollout: int = 1) -> List[List[str]]:
    """The console's page of a rollout in headless Chromium, saved as a PNG;
    its funnel table, row by row (stage and counts)."""
    from selenium.webdriver.common.by import By
    with headless_chromium() as driver:
        base = f"https://{bench.API_HOST}"
        log_in(driver, base, *OPERATOR)
        driver.get(f"{base}/panel/despliegues/{rollout}")
        full_page_png(driver, png)
        funnel = driver.find_element(By.XPATH, "//h2[.='Embudo por etapa']/following::table[1]")
        return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                for row in funnel.find_elements(By.CSS_SELECTOR, "tbody tr")]


def drive_c() -> Path:
    return Path(os.environ["WINEPREFIX"]) / "drive_c"


def prepare_program_folder() -> Path:
    """C:\\Marvek\\Marvek Mesalto as an earlier update left it: the program,
    its data files and one unpacked backup; no agent, no 7za.exe."""
    marvek = drive_c() / "Marvek"
    shutil.rmtree(marvek, ignore_errors=True)
    folder = marvek / "Marvek Mesalto"
    backup = folder / "actualizaciones" / EARLIER_BACKUP
    backup.mkdir(parents=True)
    shutil.copy(OLD_PROGRAM, folder / "mesalto.exe")
    shutil.copy(OLD_PROGRAM, backup / "mesalto.exe")
    for name, content in DATA_FILES.items():
        (folder / name).write_bytes(content)
    return folder


def file_version(path: Path) -> str:
    """The file version of a program's version resource ("" when none)."""
    data = path.read_bytes() if path.exists() else b""
    at = data.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO signature
    if at < 0:
        return ""
    ms, ls = int.from_bytes(data[at + 8:at + 12], "little"), int.from_bytes(data[at + 12:at + 16], "little")
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def tree(folder: Path) -> List[str]:
    """Every file and folder under a folder, as sorted relative paths."""
    return sorted(str(p.relative_to(folder)) + ("/" if p.is_dir() else "") for p in folder.rglob("*"))


# --- watching and clicking windows ----------------------------------------

def wintool(*args) -> Optional[dict]:
    """The window wintool reports, or None."""
    code, text = bench.wintool(*args)
    lines = [line for line in text.splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if code == 0 and lines else None


def click(x: int, y: int) -> None:
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)


class Recorder:
    """Windows seen in the journey, each with its capture."""

    def __init__(self, captures: Path, auto: bool) -> None:
        self.captures, self.auto = captures, auto
        self.windows: List[dict] = []
        captures.mkdir(parents=True, exist_ok=True)

    def capture(self, what: str, action: str) -> dict:
        path = self.captures / f"ventana_{len(self.windows) + 1:02d}.png"
        bench.screenshot().save(path)
        record = {"what": what, "action": action, "capture": path}
        self.windows.append(record)
        print(f"  ventana {len(self.windows):02d}: {what} -> {action}", flush=True)
        return record


def alive(proc: subprocess.Popen) -> bool:
    return proc.poll() is None


def run_installer(procs: bench.Processes, work: Path, recorder: Recorder) -> int:
    """The agent alone in an empty folder: its installer window, a click on
    the MESALTO tile, the success box. Returns the installer's exit code."""
    empty = work / "descarga"
    empty.mkdir(parents=True, exist_ok=True)
    installer = bench.start_agent(procs, empty)
    window = wintool("wait", INSTALLER_TITLE, 120000, INSTALLER_CLASS)
    assert window is not None, "the installer window did not appear"
    time.sleep(1.0)  # the tile pictures are drawn once the window shows
    x, y, w, h = window["client"]
    left, _, right, bottom = bench.tile_rects(w, h)[MESALTO_TILE]
    if recorder.auto:
        subprocess.run(["xdotool", "mousemove", str(x + (left + right) // 2), str(y + bottom - 8)], check=True)
        time.sleep(0.5)
    recorder.capture("instalador (MARVEK MESALTO)", "clic en la ficha" if recorder.auto else "una persona elige")
    if recorder.auto:
        click(x + (left + right) // 2, y + bottom - 8)
    box = wintool("wait", INSTALLER_TITLE, 600000, BOX_CLASS)
    assert box is not None, "no box after the installation"
    time.sleep(0.5)
    text = next((t for t in box["texts"] if t.startswith(("Trevanto", "No se", "7za"))), "?")
    recorder.capture("aviso: " + text.replace("\n", " "), "Aceptar")
    if recorder.auto:
        wintool("press", INSTALLER_TITLE, 1, BOX_CLASS)
    return bench.finish(installer, 600)


def alert_kinds(folder: Path) -> List[str]:
    """The kinds of the stored document's items, in order ([] until stored or unreadable)."""
    try:
        stored = json.loads((folder / "actualizador_registros" / "recibido.json").read_bytes())
        return [item.get("tipo", "") for item in stored.get("alertas", [])]
    except (OSError, ValueError, AttributeError):
        return []


def handle_alert(recorder: Recorder, agent: subprocess.Popen, window: dict, kind: str) -> None:
    """Captures one alerts window and, when clicking, does what a person would."""
    x, y, w, h = window["client"]
    name = KIND_NAMES.get(kind, kind or "?")
    if kind == "url_actualizar":
        recorder.capture(name, "se cierra al terminar la actualizacion")
        return
    if kind == "documento_rtf":
        if recorder.auto:
            give_up = time.monotonic() + 60
            while alive(agent) and time.monotonic() < give_up:  # the button is enabled after a while
                current = wintool("wait", ALERT_TITLE, 500, ALERT_CLASS) or {}
                buttons = [c for c in current.get("children", []) if c["class"].lower() == "button"]
                if not buttons or buttons[0]["enabled"]:
                    break
                time.sleep(0.5)
        recorder.capture(name, "ACEPTAR" if recorder.auto else "una persona acepta o cierra")
        if recorder.auto:
            click(x + 60, y + h - 25)
        return
    recorder.capture(name, "CERRAR" if recorder.auto else "una persona cierra")
    if recorder.auto:
        click(x + w // 2 + 200, y + h - 10)


def watch_alerts(agent: subprocess.Popen, folder: Path, recorder: Recorder, timeout: float) -> None:
    """Every alerts window of the agent, one after another, until it ends
    (or the time is up: the caller then ends it and fails)."""
    seen = set()
    deadline = time.monotonic() + timeout
    while alive(agent) and time.monotonic() < deadline:
        window = wintool("wait", ALERT_TITLE, 500, ALERT_CLASS)
        if window is None or window["handle"] in seen:
            time.sleep(0.3)
            continue
        seen.add(window["handle"])
        kinds = alert_kinds(folder)
        kind = kinds[len(seen) - 1] if len(seen) <= len(kinds) else ""
        time.sleep(1.5)  # let it paint its pictures (and make its children)
        handle_alert(recorder, agent, wintool("wait", ALERT_TITLE, 500, ALERT_CLASS) or window, kind)


def start_program(procs: bench.Processes, folder: Path) -> None:
    """The program open on the user's desk, as it usually is when an update comes."""
    procs.start(["wine", "C:\\Marvek\\Marvek Mesalto\\mesalto.exe"], cwd=folder, stdout=subprocess.DEVNULL)
    assert bench.wait_until(lambda: len(bench.started(folder)) == 1, 30), "the program did not start"


def run_installed_agent(procs: bench.Processes, folder: Path, recorder: Recorder, timeout: float) -> int:
    """The installed agent started from its folder, as a shortcut would; returns its exit code."""
    agent = procs.start(["wine", "C:\\Marvek\\Marvek Mesalto\\trevanto.exe"], cwd=folder,
                        stdout=subprocess.DEVNULL)
    started = time.monotonic()
    watch_alerts(agent, folder, recorder, timeout)
    return bench.finish(agent, max(1.0, timeout - (time.monotonic() - started)))


def end_started_programs() -> None:
    """The relaunched program and the server component run on: end them."""
    for image in ("mesalto.exe", "marvekserver.exe"):
        subprocess.run(["wine", "taskkill", "/F", "/IM", image], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
