"""The update cut at every step. The update worker runs from the harness
(which ends its own process right after its k-th journal line when
TREVANTO_CORTE_TRAS_LINEA=k) in a fresh copy of one prepared folder per
cut, for every k of an uncut run; the agent's own update is cut at each
line of its batch file where cmd.exe can be ended. After each cut the
program must be in its folder under its own name, byte for byte the old or
the new one, and start; then the real trevanto.exe starts there with the
service answering nothing, and the folder it leaves must be consistent: no
<name>2.exe, the program the cut left (or the one set aside, put back), the
old one in a backup whenever the new one is in place, every journal line
whole.

The suite cuts after a fixed sample of lines; TREVANTO_CORTES=todos (as
scripts/cut_sweep.sh sets it) cuts after every one. Each case prints a
table: the cut, what it left, what the next start did."""

import os
import re
import shutil
import signal
import subprocess
import time
import zipfile

import pytest

import bench
from bench import API_HOST, DOWNLOAD_HOST, IMAGE_HOST, finish, journal, started, wait_until, zip_bytes
from fault_server import Answer
from test_reliability import NOBODY, assert_whole_lines, install, new_journal
from test_self_update import NEW_PATH, NEW_URL, VERSION_PATH
from test_update import HOLD_SCRIPT, NEW, OLD, hold_once_unpacked, w

CUT_EXIT = 77  # the harness's exit code when its journal writer ended it
EVERY_CUT = os.environ.get("TREVANTO_CORTES") == "todos"
UNREACHABLE = b'{"error":"HttpSendRequestA fallo (codigo=12029)"}'
SERVER_EXE = (bench.DOUBLES / "sibling_1_65535_0_2.exe").read_bytes()
# The agent's next version: the same program with bytes after its image,
# which Windows does not load, so that the two can be told apart.
NEW_AGENT = bench.AGENT.read_bytes() + b"\0Trevanto 1.26.0900\0"


@pytest.fixture(autouse=True)
def no_update_stamp_left(registry):
    yield
    registry.delete_key(r"HKCU\SOFTWARE\VB and VBA Program Settings")


def named(data, old=OLD, new=NEW):
    if data is None:
        return "missing"
    return "old" if data == old else "new" if data == new else f"other ({len(data)} bytes)"


def read(path):
    return path.read_bytes() if path.is_file() else None


def backed_up(folder, exe="mesalto.exe"):
    """The program executables kept under actualizaciones, in folders or ZIPs."""
    kept = [p.read_bytes() for p in folder.glob(f"actualizaciones/*/{exe}")]
    for archive in folder.glob("actualizaciones/*.zip"):
        with zipfile.ZipFile(archive) as packed:
            kept += [packed.read(name) for name in packed.namelist() if name.lower() == exe]
    return kept


def listing(folder):
    """Relative paths below the folder, backup stamps written as <stamp>."""
    return {re.sub(r"\d{6}_\d{6}", "<stamp>", p.relative_to(folder).as_posix())
            for p in folder.rglob("*") if "actualizador_registros" not in p.parts}


def starts(procs, folder, exe="mesalto.exe"):
    """Whether the program double starts: it records a start from a working
    folder of its own (the parent), not to be taken for a relaunch's."""
    bench.end_leftover_programs()
    procs.start(["wine", folder / exe], cwd=folder.parent)
    mine = f"{w(folder / exe)}|{w(folder.parent)}"
    return wait_until(lambda: mine in started(folder, exe), 30)


def journal_codes(folder):
    """The codes of the lines of this update, in the order they were written:
    the extraction journal's line follows the package's "DESCARGA"."""
    lines = [line.split(";")[0] for line in new_journal(folder)]
    extraction = [line.split(";")[0] for line in journal(folder, "extracciones.csv")]
    at = lines.index("DESCARGA") + 1 if "DESCARGA" in lines else len(lines)
    return lines[:at] + extraction + lines[at:]


def whole_lines_problem(folder):
    try:
        assert_whole_lines(folder)
    except AssertionError as error:
        return [f"journal line not whole: {error}"]
    return []


def print_table(title, rows, seconds):
    print(f"\n{title}: {len(rows)} cuts in {seconds:.0f} s ({seconds / max(len(rows), 1):.1f} s per cut)")
    print(f"{'cut':>3}  {'after the line':<40} {'what the cut left':<58} what the next start did")
    for row in rows:
        print(f"{row['cut']:>3}  {row['line']:<40} {row['left']:<58} {row['did']}")
        for problem in row["problems"]:
            print(f"{'':>5}!! {problem}")


# ---- the update worker ------------------------------------------------------

class Sweep:
    """One case of the update worker: the prepared folder, the package and
    the lines of an uncut run."""

    def __init__(self, base, procs, hosts, url, holder=False):
        self.base, self.procs, self.hosts, self.url, self.holder = base, procs, hosts, url, holder
        self.prepared = install(base / "preparada")
        shutil.copy(bench.HARNESS, self.prepared / "trevanto.exe")
        # Reports and the check-in find nobody; the package host is the fault server.
        for host in (API_HOST, IMAGE_HOST):
            hosts.map(host, NOBODY)

    def copy(self, name):
        root = self.base / name
        shutil.copytree(self.prepared.parent, root)
        return root / self.prepared.name

    def run(self, folder, cut):
        """The worker in that folder, ended after line `cut` (0: not ended); its exit code."""
        self.hosts.map(DOWNLOAD_HOST, "127.0.0.1")
        bench.end_leftover_programs()
        if self.holder:
            hold_once_unpacked(self.procs, folder, folder / "mesalto_v6" / "mesalto.exe", readable=True)
        env = {"TREVANTO_CORTE_TRAS_LINEA": str(cut)} if cut else {}
        with open(folder.parent / "salida_update.json", "wb") as out:
            worker = self.procs.start(["wine", folder / "trevanto.exe", "update", self.url, "240000"], cwd=folder,
                                      stdout=out, env=env)
            return finish(worker, 240)

    def reference(self):
        """The codes of an uncut run, in the order written."""
        folder = self.copy("sin_corte")
        assert self.run(folder, 0) == 0
        codes = journal_codes(folder)
        bench.end_leftover_programs()
        shutil.rmtree(folder.parent)
        return codes

    def cut(self, k, codes):
        folder = self.copy(f"corte_{k:02d}")
        problems = []
        code = self.run(folder, k)
        if code != CUT_EXIT:
            problems.append(f"the worker was not cut: exit code {code}")
        if journal_codes(folder) != codes[:k]:
            problems.append(f"journals after the cut: {journal_codes(folder)}")
        problems += whole_lines_problem(folder)
        program, aside = read(folder / "mesalto.exe"), read(folder / "mesalto2.exe")
        server = read(folder.parent / "MarvekServer" / "marvekserver.exe")
        left = [f"mesalto.exe={named(program)}"] + ([f"mesalto2.exe={named(aside)}"] if aside else [])
        left += [name for name in ("mesalto_v6.zip", "mesalto_v6", "mesalto.exe.parcial") if (folder / name).exists()]
        left += [f"backup={named(b)}" for b in backed_up(folder)] + (["MarvekServer"] if server else [])
        if program not in (OLD, NEW):
            problems.append(f"after the cut mesalto.exe is {named(program)}")
        elif not starts(self.procs, folder):
            problems.append("after the cut mesalto.exe does not start")
        if server not in (None, SERVER_EXE):
            problems.append("the server component is not whole")

        did = self.next_start(folder, program, aside, problems)
        if not problems:
            shutil.rmtree(folder.parent)
        return {"cut": k, "line": codes[k - 1], "left": " ".join(left), "did": did, "problems": problems}

    def next_start(self, folder, program, aside, problems):
        """The real agent started with the service answering nothing; what it did."""
        self.hosts.map(DOWNLOAD_HOST, NOBODY)
        bench.end_leftover_programs()
        before_lines, before_files = len(new_journal(folder)), listing(folder)
        code = bench.run_agent(self.procs, folder, timeout=120)
        bench.end_leftover_programs()
        if code != 0:
            problems.append(f"the next start ended with exit code {code}")
        problems += whole_lines_problem(folder)
        added = [line.split(";")[0] for line in new_journal(folder)[before_lines:]]
        after_files = listing(folder)
        now = read(folder / "mesalto.exe")
        if (folder / "mesalto2.exe").exists():
            problems.append("mesalto2.exe left after the next start")
        if now not in (OLD, NEW):
            problems.append(f"after the next start mesalto.exe is {named(now)}")
        elif now != (program if program is not None else aside):
            problems.append(f"the next start put {named(now)} in place of {named(program)}")
        elif now == NEW and OLD not in backed_up(folder):
            problems.append("the new program is in place and the old one in no backup")
        elif now != program and not starts(self.procs, folder):
            problems.append("after the next start mesalto.exe does not start")
        changes = sorted(f"+{p}" for p in after_files - before_files if "/" not in p or p.count("/") == 1) + \
            sorted(f"-{p}" for p in before_files - after_files if "/" not in p or p.count("/") == 1)
        return " ".join(added + changes) or "nothing"


def sweep(sweep_case, sample, title):
    """Cuts after every line (TREVANTO_CORTES=todos) or after the first line
    with each sampled code; prints the table and fails on any problem."""
    started_at = time.monotonic()
    codes = sweep_case.reference()
    cuts = range(1, len(codes) + 1) if EVERY_CUT else [codes.index(code) + 1 for code in sample]
    rows = [sweep_case.cut(k, codes) for k in cuts]
    print_table(title, rows, time.monotonic() - started_at)
    failed = [f"cut {row['cut']} ({row['line']}): {row['problems']}" for row in rows if row["problems"]]
    assert not failed, "\n".join(failed)


def serve(server, name, body):
    server.answer(f"/paquetes/{name}", Answer(body=body), host=DOWNLOAD_HOST)
    return f"https://{DOWNLOAD_HOST}/paquetes/{name}"


def test_executable_package_cut_at_every_line(tmp_path, server, procs, hosts):
    url = serve(server, "mesalto.exe", NEW)
    sweep(Sweep(tmp_path, procs, hosts, url), ["RENOMBRADO_A_2", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES"],
          "executable package")


def test_zip_package_with_server_component_script_and_data_cut_at_every_line(tmp_path, server, procs, hosts):
    script = b'@echo off\r\necho registrado> "%~dp0registrado.txt"\r\n'
    package = zip_bytes({
        "mesalto.exe": NEW, "registro.bat": script, "datos/plantilla.txt": b"plantilla 6",
        "marvekserver.zip": zip_bytes({"marvekserver.exe": SERVER_EXE, "leeme.txt": b"servidor 2"})})
    url = serve(server, "mesalto_v6.zip", package)
    sweep(Sweep(tmp_path, procs, hosts, url),
          ["UNZIP_7ZA", "RENOMBRADO_A_2_ZIP", "EXE_NUEVO_EN_RAIZ_OK", "ZIP_CARPETA"], "ZIP package")


def test_zip_whose_program_cannot_be_moved_in_cut_at_every_line(tmp_path, server, procs, hosts):
    # Once unpacked, the new executable is held open (readable) by another
    # program: the move in fails, the old program goes back.
    url = serve(server, "mesalto_v6.zip", zip_bytes({"mesalto.exe": NEW, "registro.bat": HOLD_SCRIPT}))
    sweep(Sweep(tmp_path, procs, hosts, url, holder=True), ["ERROR_MOVER_EXE_NUEVO_A_RAIZ"],
          "ZIP whose program cannot be moved in")


# ---- the agent's own update -------------------------------------------------

def programs_with(text):
    """Process ids of this prefix's programs whose command line holds the text."""
    listing_ = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    return [int(line.split(None, 1)[0]) for line in listing_.splitlines()
            if text.lower() in line.lower() and bench.in_this_prefix(int(line.split(None, 1)[0]))]


def handed_over(base, server, procs):
    """A folder whose agent handed its update over to the batch file, and the
    batch file ended in its wait loop: the prepared folder of every cut."""
    server.answer(VERSION_PATH, Answer(body=bench.agent_answer(NEW_URL, NEW_AGENT)), host=API_HOST)
    server.answer(NEW_PATH, Answer(body=NEW_AGENT), host=DOWNLOAD_HOST)
    folder = bench.make_program_folder(base / "preparada", name="Marvek Mesalto")
    hold = base / "retener.txt"
    hold.write_bytes(b"")
    agent = bench.start_agent(procs, folder, env={"TREVANTO_TASKLIST_RETENER": w(hold)})
    assert finish(agent, 120) == 0
    assert wait_until(lambda: programs_with("cmd.exe"), 30), "the batch file did not start"
    time.sleep(3)  # some turns of its wait loop
    for pid in programs_with("cmd.exe"):
        os.kill(pid, signal.SIGKILL)
    hold.unlink()
    assert wait_until(lambda: not programs_with("cmd.exe") and not programs_with("ping.exe"), 30)
    assert read(folder / "trevanto_new.exe") == NEW_AGENT and read(folder / "trevanto.exe") == bench.AGENT.read_bytes()
    return folder


def test_agents_own_update_cut_at_every_line_of_its_batch_file(tmp_path, server, procs, hosts):
    started_at = time.monotonic()
    prepared = handed_over(tmp_path, server, procs)
    for host in (API_HOST, DOWNLOAD_HOST, IMAGE_HOST):
        hosts.map(host, NOBODY)
    text = (prepared / "actualizar_agente.bat").read_bytes()
    lines = text.split(b"\r\n")[:-1]
    assert f'copy /Y "{w(prepared)}\\trevanto_new.exe" "{w(prepared)}\\trevanto.exe"'.encode() in lines
    # Where cmd.exe can be ended with effect: in the wait loop (the prepared
    # folder as it is), and after each line that changes the folder.
    commands = {b"copy ": "copy", b"del /F": "del", b"start ": "start", b"(goto)": "self-delete"}
    cuts = [(0, "wait loop")] + [(n + 1, name) for n, line in enumerate(lines)
                                 for head, name in commands.items() if line.startswith(head)]
    if not EVERY_CUT:
        cuts = [cut for cut in cuts if cut[1] == "copy"]
    agent = bench.AGENT.read_bytes()
    rows = []
    for n, name in cuts:
        root = tmp_path / f"corte_{n:02d}"
        shutil.copytree(prepared.parent, root)
        folder = root / prepared.name
        batch = folder / "actualizar_agente.bat"
        # The batch file names the prepared folder's files; each copy's its own.
        own = [line.replace(w(prepared).encode(), w(folder).encode()) for line in lines]
        problems = []
        if n:
            # cmd.exe ended right after line n: it ran lines 1 to n, the file stays.
            batch.write_bytes(b"".join(line + b"\r\n" for line in own[:n]))
            output = root / "salida_cmd.txt"
            with open(output, "wb") as out:
                try:
                    finish(procs.start(["wine", "cmd.exe", "/C", w(batch)], cwd=folder, stdout=out), 120)
                except AssertionError:
                    problems.append("the batch file still waited: its agent's process id is taken")
            if not wait_until(lambda: not programs_with(w(folder)), 60):  # the restarted agent ends by itself
                problems.append("the agent the batch file started did not end")
            if batch.exists():
                batch.write_bytes(b"".join(line + b"\r\n" for line in own))
        current = read(folder / "trevanto.exe")
        left = [f"trevanto.exe={named(current, agent, NEW_AGENT)}"] + \
            [name for name in ("trevanto_new.exe", "actualizar_agente.bat") if (folder / name).exists()]
        # The replay itself: lines up to the copy leave the old agent, the copy the new one.
        if current in (agent, NEW_AGENT) and (current == NEW_AGENT) != (name != "wait loop"):
            problems.append(f"the batch file's lines left trevanto.exe {named(current, agent, NEW_AGENT)}: "
                            f"{(root / 'salida_cmd.txt').read_bytes()[-300:] if n else b''}")
        if current not in (agent, NEW_AGENT):
            problems.append(f"after the cut trevanto.exe is {named(current, agent, NEW_AGENT)}")
            did = "-"
        else:
            # The next start: the agent that is there, with nobody answering.
            before = listing(folder)
            if finish(procs.start(["wine", folder / "trevanto.exe"], cwd=folder), 120) != 0:
                problems.append("trevanto.exe did not end well")
            if read(folder / "actualizador_registros" / "recibido.json") != UNREACHABLE:
                problems.append("trevanto.exe did not run to its check-in")
            bench.end_leftover_programs()
            after = listing(folder)
            did = " ".join(sorted(f"+{p}" for p in after - before) + sorted(f"-{p}" for p in before - after))
            if read(folder / "trevanto.exe") != current:
                problems.append("the next start changed trevanto.exe")
        if read(folder / "mesalto.exe") != OLD or (folder / "mesalto2.exe").exists():
            problems.append("the program was touched")
        problems += whole_lines_problem(folder)
        rows.append({"cut": n, "line": name, "left": " ".join(left), "did": did or "nothing", "problems": problems})
        if not problems:
            shutil.rmtree(root)
    print_table("the agent's own update (batch file lines)", rows, time.monotonic() - started_at)
    failed = [f"cut {row['cut']} ({row['line']}): {row['problems']}" for row in rows if row["problems"]]
    assert not failed, "\n".join(failed)
