"""Helpers for driving the real trevanto.exe and its doubles under Wine."""

import contextlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Callable, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TREVANTO_BUILD", ROOT / "build"))
# The shipped 32-bit executable, checked as a file.
PRODUCT = BUILD / "win" / "trevanto.exe"
# The tree whose programs run under this machine's Wine: the 32-bit one, or a
# 64-bit build of the same sources where the kernel runs no 32-bit programs.
WIN = Path(os.environ.get("TREVANTO_WINE_TREE", BUILD / "win"))
AGENT = WIN / "trevanto.exe"
WINE_KIND = os.environ.get("TREVANTO_WINE_KIND", "win32")
HARNESS = WIN / "tests" / "harness.exe"
# The same harness built to refuse unsigned offers and new agents.
HARNESS_SIGNED_ONLY = WIN / "tests" / "harness_signatures_required.exe"
DOUBLES = WIN / "tests" / "doubles"
WINTOOL = DOUBLES / "wintool.exe"
CACHE = Path(os.environ.get("TREVANTO_CACHE", "/var/cache/trevanto"))
PKI = CACHE / "pki"
SEVEN_ZIP = Path(os.environ.get("TREVANTO_7ZA", CACHE / "7za.exe"))

API_HOST = "api.marvek.example"
DOWNLOAD_HOST = "descargas.marvek.example"
IMAGE_HOST = "imagenes.marvek.example"


def winpath(path: Path) -> str:
    """The Windows name Wine gives a Linux path (drive Z: is the root)."""
    return "Z:" + str(path).replace("/", "\\")


def wait_until(condition: Callable[[], bool], timeout: float, interval: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


class Processes:
    """Every process a test starts; all are ended by id when the test ends."""

    def __init__(self) -> None:
        self._started: List[subprocess.Popen] = []

    def start(self, args, cwd: Optional[Path] = None, env: Optional[dict] = None,
              stdout=subprocess.PIPE) -> subprocess.Popen:
        full_env = dict(os.environ)
        full_env.update(env or {})
        proc = subprocess.Popen([str(a) for a in args], cwd=cwd, env=full_env,
                                stdout=stdout, stderr=subprocess.PIPE if stdout == subprocess.PIPE else stdout)
        self._started.append(proc)
        return proc

    def end_all(self) -> None:
        for proc in self._started:
            if proc.poll() is None:
                try:
                    os.kill(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait(timeout=10)


def in_this_prefix(pid: int) -> bool:
    """Whether the process runs in this run's Wine prefix (another run may
    go on beside this one, in a prefix of its own)."""
    try:
        environ = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
    except OSError:
        return False
    prefix = os.environ.get("WINEPREFIX", "").encode()
    return b"WINEPREFIX=" + prefix in environ


def leftover_windows_programs() -> List[int]:
    """Process ids of this prefix's Windows programs still running from a
    path outside C:\\windows (the agent, its doubles, what they started);
    Wine's own services are left alone."""
    listing = subprocess.run(["ps", "-eo", "pid=,stat=,args="], capture_output=True, text=True).stdout
    found = []
    for line in listing.splitlines():
        pid, stat, args = (line.split(None, 2) + ["", ""])[:3]
        if stat.startswith("Z"):
            continue
        if re.match(r"[A-Za-z]:\\", args) and not re.match(r"[Cc]:\\windows\\", args) and in_this_prefix(int(pid)):
            found.append(int(pid))
    return found


def end_leftover_programs() -> None:
    """Ends this prefix's Windows programs still running (see
    leftover_windows_programs) and waits until they are gone."""
    for pid in leftover_windows_programs():
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    wait_until(lambda: not leftover_windows_programs(), 20)


def first_line(proc: subprocess.Popen, timeout: float = 60) -> str:
    """The first line the process writes to its standard output, waited for
    at most that long: a program that waits for a click on a box nobody
    expected must fail the test, not hold it forever."""
    import select
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    assert ready, f"{proc.args} wrote nothing in {timeout} s; {windows_report()}"
    return proc.stdout.readline().decode()


def finish(proc: subprocess.Popen, timeout: float = 60) -> int:
    """Waits for a process to end by itself; ends it and fails when it does not."""
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(timeout=10)
        raise AssertionError(f"process {proc.args} did not end within {timeout} s")
    return proc.returncode


def make_program_folder(base: Path, name: str = "programa", siblings=("mesalto.exe",),
                        double: str = "sibling_5_2_1_0", with_archiver: bool = True) -> Path:
    """A program folder with sibling doubles under catalogue names and, unless told, 7za.exe."""
    folder = base / name
    folder.mkdir(parents=True, exist_ok=True)
    for exe in siblings:
        shutil.copy(DOUBLES / f"{double}.exe", folder / exe)
    if with_archiver:
        shutil.copy(SEVEN_ZIP, folder / "7za.exe")
    return folder


def start_agent(procs: Processes, folder: Path, exe_name: str = "trevanto.exe", env=None) -> subprocess.Popen:
    """Copies the agent into the folder and starts it there under Wine."""
    target = folder / exe_name
    shutil.copy(AGENT, target)
    return procs.start(["wine", target], cwd=folder, env=env)


def run_agent(procs: Processes, folder: Path, timeout: float = 60, **kwargs) -> int:
    return finish(start_agent(procs, folder, **kwargs), timeout)


def run_to_file(procs: Processes, args, cwd: Path, output: Path, timeout: float = 180, env=None) -> dict:
    """Runs a program whose children may outlive it (they would hold a pipe
    open): its output goes to a file, read once the program has ended."""
    with open(output, "wb") as out:
        proc = procs.start(args, cwd=cwd, stdout=out, env=env)
        assert finish(proc, timeout) == 0
    return json.loads(output.read_bytes().decode("utf-8", "replace").strip().splitlines()[-1])


def harness(procs: Processes, *args, timeout: float = 60) -> dict:
    """Runs one harness command and returns its JSON line."""
    proc = procs.start(["wine", HARNESS, *args])
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, f"harness {args} exited {proc.returncode}: {err.decode(errors='replace')}"
    return json.loads(out.decode("utf-8").strip().splitlines()[-1])


def wintool(*args, timeout: float = 120) -> Tuple[int, str]:
    """Runs wintool; (exit code, output). The output goes through a file: a
    Wine service started meanwhile would hold a pipe open. wintool says 1
    when a wait or a press found no window; a run that fails otherwise, or
    ends before its wait is up, failed on its own (Wine could not run it)
    and is repeated once, so that tests fail on windows, not on the tool."""
    args = [str(a) for a in args]
    waits = int(args[2]) / 1000 if args[0] in ("wait", "gone") else 0.0
    for attempt in (1, 2):
        started = time.monotonic()
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(["wine", WINTOOL, *args], stdout=out, stderr=subprocess.STDOUT,
                                  timeout=max(timeout, waits + 60)).returncode
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if code == 0 or (code == 1 and time.monotonic() - started >= waits):
            return code, text
        print(f"wintool {args} failed on its own (attempt {attempt}, exit code {code}): {text}", file=sys.stderr)
    return code, text


def wintool_wait(title: str, timeout_ms: int, window_class: str = "") -> Optional[dict]:
    """The visible top-level window with that title (and class) as JSON, or
    None when it did not come in time."""
    code, text = wintool("wait", title, timeout_ms, *([window_class] if window_class else []))
    assert code in (0, 1), f"wintool failed with exit code {code}: {text}"
    return json.loads([line for line in text.splitlines() if line.startswith("{")][-1]) if code == 0 else None


def windows_report() -> str:
    """What is on the screen and which Windows programs run, for a failure message."""
    windows = wintool("list")[1]
    listing = subprocess.run(["ps", "-eo", "pid=,stat=,args="], capture_output=True, text=True).stdout
    programs = [line.strip() for line in listing.splitlines() if ".exe" in line.lower()]
    return f"windows: {windows}\nprograms: {programs}"


def wait_window(title: str, timeout_ms: int = 30000) -> Optional[dict]:
    """The top-level window with that exact title as JSON (texts of its children), or None."""
    return wintool_wait(title, timeout_ms)


def press(title: str, command_id: int = 1) -> bool:
    """Clicks the button with that id (IDOK = 1) in the window with that title."""
    return wintool("press", title, command_id)[0] == 0


def screenshot():
    """The whole X screen of the bench as a PIL RGB image."""
    import io
    from PIL import Image
    shot = subprocess.run(["import", "-window", "root", "png:-"], capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(shot)).convert("RGB")


def journal(folder: Path, name: str = "descargas.csv") -> List[str]:
    """A journal's lines without their time stamps; each must be a whole line
    ending in CR LF. [] when the journal does not exist."""
    path = folder / "actualizador_registros" / name
    if not path.exists():
        return []
    lines = path.read_bytes().split(b"\r\n")
    assert lines[-1] == b"", f"{name} does not end with a line end"
    for line in lines[:-1]:
        assert re.fullmatch(rb"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2};.*", line, re.S), line
    return [line[20:].decode("latin-1") for line in lines[:-1]]


def started(folder: Path, exe: str = "mesalto.exe") -> List[str]:
    """"path|working folder" of every start of a sibling double so far."""
    record = folder / f"{exe}.arranques.txt"
    return record.read_bytes().decode("utf-8").splitlines() if record.exists() else []


def zip_bytes(entries: dict) -> bytes:
    """A ZIP archive (stored) of name -> bytes."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, content in entries.items():
            archive.writestr(name, content)
    return buffer.getvalue()


def tile_rects(w, h):
    """(left, top, right, bottom) of each tile for a client area of w x h."""
    th = 160 if h - 220 < 200 else min(260, max(160, (h - 244) // 2))
    e, f = (w - 128) // 3, (w - 104) // 2
    first = [(40 + i * (24 + e), 140, 40 + i * (24 + e) + e, 140 + th) for i in range(3)]
    second = [(40 + i * (24 + f), th + 164, 40 + i * (24 + f) + f, 2 * th + 164) for i in range(2)]
    return first + second


def button_rect(w, h):
    bottom_row = tile_rects(w, h)[4][3]
    top = h - 64 if h - 20 < bottom_row + 68 else bottom_row + 24
    return (w - 260) // 2, top, (w - 260) // 2 + 260, top + 44


class HostsFile:
    """Remaps vendor host names inside the sandbox for one test."""

    PATH = Path("/etc/hosts")

    def __init__(self) -> None:
        self._original = self.PATH.read_text()

    def map(self, host: str, address: str) -> None:
        lines = [line for line in self.PATH.read_text().splitlines()]
        lines = [" ".join(w for w in line.split() if w != host) for line in lines]
        lines = [line for line in lines if len(line.split()) > 1]
        lines.append(f"{address} {host}")
        self.PATH.write_text("\n".join(lines) + "\n")

    def restore(self) -> None:
        self.PATH.write_text(self._original)


SERVICE = BUILD / "service" / "vendor-service" / "trevanto-servicio"
# The test signing keys scripts/build.sh made: the agents of this build trust
# vendedor1 (first slot) and vendedor2 (second slot), and not ajena.
TEST_KEYS = BUILD / "claves-prueba"


def signature_of(content: bytes, key: str = "vendedor1") -> str:
    """The vendor's signature of these bytes ("firma"), made as the vendor
    makes it: the service's signing command on a file."""
    with tempfile.NamedTemporaryFile() as file:
        file.write(content)
        file.flush()
        return subprocess.run([SERVICE, "signing", "sign", "--key", TEST_KEYS / f"{key}.pem", "--file", file.name],
                              check=True, capture_output=True, text=True).stdout.strip()


def statement_of(content: bytes, kind: str = "programa", version: str = "6.0.3.17", name: str = "mesalto.exe",
                 product: Optional[str] = "MarvekMesalto", key: str = "vendedor1") -> dict:
    """The vendor's release statement of these bytes, as the members its
    signing command prints ({"declaracion": ..., "declaracion_firma": ...})."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "archivo"
        path.write_bytes(content)
        command = [SERVICE, "signing", "statement", "--key", TEST_KEYS / f"{key}.pem", "--kind", kind,
                   "--version", version, "--file", path, "--name", name]
        if kind == "programa" and product is not None:
            command += ["--product", product]
        line = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(line)


def agent_answer(url: str, content: bytes, version: str = "1.26.0900", statement: Optional[dict] = None) -> bytes:
    """The self-update answer offering the new agent at url, with the vendor's
    statement of its bytes (or the one given)."""
    stated = statement if statement is not None else statement_of(content, "agente", version, "trevanto.exe")
    return json.dumps({"version": version, "url": url, **stated}, separators=(",", ":")).encode()


def signature_verifies(path: Path, signature: str, key: str = "vendedor1") -> bool:
    """Whether the vendor's key's public half verifies that signature of the file."""
    public = (TEST_KEYS / f"{key}.pub").read_text().strip()
    return subprocess.run([SERVICE, "signing", "verify", "--public-key", public, "--file", path,
                           "--signature", signature], capture_output=True).returncode == 0

SERVICE_ADDRESS = "127.0.0.3"
API_KEY = "qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-"


class VendorService:
    """The real vendor service on its own loopback address, with a data folder per test."""

    def __init__(self, data: Path, procs: Processes, hosts: HostsFile) -> None:
        self.data = data
        self.db = data / "servicio.db"
        self._procs = procs
        self._hosts = hosts
        self._proc: Optional[subprocess.Popen] = None
        self._log = b""
        (data / "archivos" / "parches").mkdir(parents=True, exist_ok=True)
        (data / "notificaciones").mkdir(parents=True, exist_ok=True)

    def put_file(self, url_path: str, content: bytes) -> None:
        target = self.data / "archivos" / url_path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)

    def offer_agent(self, version: str, url: str, content: Optional[bytes] = None) -> None:
        """agente.json offering that version at url; with the new agent's
        bytes, the vendor's statement of them too."""
        stated = statement_of(content, "agente", version, "trevanto.exe") if content is not None else {}
        (self.data / "agente.json").write_text(json.dumps({"version": version, "url": url, **stated}))

    def start(self) -> "VendorService":
        self._proc = self._procs.start([SERVICE, "serve", "--data", self.data, "--cert", PKI / "server.crt",
                                        "--key", PKI / "server.key", "--address", SERVICE_ADDRESS, "--port", "443",
                                        # Tests write a package and check in at once, many times from one address.
                                        "--hash-settle-ms", "0", "--rate", "0", "--panel-with-agents"])
        line = self._proc.stdout.readline().decode()
        assert "listening" in line, f"the vendor service did not start: {line!r}"
        for host in (API_HOST, DOWNLOAD_HOST, IMAGE_HOST):
            self._hosts.map(host, SERVICE_ADDRESS)
        return self

    def log(self) -> List[str]:
        """Request lines logged so far, as "<time> <client> <method> <host><target> <status> <size>B"
        (the service writes key=value fields; its own event lines are left out)."""
        os.set_blocking(self._proc.stdout.fileno(), False)
        self._log += self._proc.stdout.read() or b""
        lines = []
        for line in self._log.decode(errors="replace").split("\n")[:-1]:
            fields = dict(field.split("=", 1) for field in line.split()[1:] if "=" in field)
            if "event" in fields or "status" not in fields:
                continue
            lines.append(f"{line.split()[0]} {fields['client']} {fields['method']} {fields['host']}{fields['target']} "
                         f"{fields['status']} {fields['in']}B")
        return lines

    def rows(self, table: str) -> List[dict]:
        import sqlite3
        with sqlite3.connect(self.db) as db:
            db.row_factory = sqlite3.Row
            return [dict(row) for row in db.execute(f"SELECT * FROM {table} ORDER BY rowid")]

    def command(self, *args: str, stdin: str = "") -> str:
        """An operator command on this service's data folder (release, rollout, operator)."""
        command = [SERVICE, args[0], args[1], "--data", self.data, *args[2:]]
        return subprocess.run(command, check=True, capture_output=True, text=True, input=stdin).stdout

    def reports_command(self, *args: str) -> str:
        return subprocess.run([SERVICE, "reports", "--db", self.db, *args], check=True, capture_output=True,
                              text=True).stdout


class Registry:
    """Edits the Wine prefix's registry for one test and puts every value back."""

    def __init__(self) -> None:
        self._undo: List[tuple] = []

    @staticmethod
    def _reg(*args: str) -> subprocess.CompletedProcess:
        return subprocess.run(["wine", "reg", *args], capture_output=True, text=True)

    def query(self, key: str, name: str) -> Optional[tuple]:
        """(type, data) of a value, or None when it is missing."""
        out = self._reg("query", key, "/v", name)
        if out.returncode != 0:
            return None
        for line in out.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] == name:
                return parts[1], parts[2] if len(parts) == 3 else ""
        return None

    def _remember(self, key: str, name: str) -> None:
        self._undo.append((key, name, self.query(key, name)))

    def set(self, key: str, name: str, kind: str, data: str) -> None:
        self._remember(key, name)
        assert self._reg("add", key, "/v", name, "/t", kind, "/d", data, "/f").returncode == 0

    def delete(self, key: str, name: str) -> None:
        self._remember(key, name)
        self._reg("delete", key, "/v", name, "/f")

    def set_default(self, key: str, data: str) -> None:
        """Sets a key's default value (the key is made when missing); put back afterwards."""
        original = None
        out = self._reg("query", key, "/ve")
        for line in out.stdout.splitlines() if out.returncode == 0 else []:
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] in ("(Default)", "<Default>", "(Predeterminado)"):
                original = (parts[1], parts[2] if len(parts) == 3 else "")
        self._undo.append((key, None, original))
        assert self._reg("add", key, "/ve", "/d", data, "/f").returncode == 0

    def delete_key(self, key: str) -> None:
        """Deletes a whole key; not undone (for keys the agent itself creates)."""
        self._reg("delete", key, "/f")

    def restore(self) -> None:
        for key, name, original in reversed(self._undo):
            value = ["/ve"] if name is None else ["/v", name]
            if original is None:
                self._reg("delete", key, *value, "/f")
            else:
                kind, data = original
                self._reg("add", key, *value, "/t", kind, "/d", data, "/f")
        self._undo.clear()


@contextlib.contextmanager
def scratch_service(prefix: str):
    """For scripts outside pytest: a scratch folder and a vendor service with
    its data folder in it, as (folder, processes, service). Afterwards every
    process started through those processes is ended, the hosts file is
    restored and the folder removed."""
    work = Path(tempfile.mkdtemp(prefix=prefix))
    procs, hosts = Processes(), HostsFile()
    try:
        yield work, procs, VendorService(work / "servicio", procs, hosts)
    finally:
        procs.end_all()
        hosts.restore()
        shutil.rmtree(work, ignore_errors=True)
