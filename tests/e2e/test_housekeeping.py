"""Backup housekeeping under Wine with the PowerShell double."""

import re
import shutil
import zipfile

import bench
from bench import make_program_folder, run_agent, run_to_file, winpath


def beside(procs, folder, verb, env=None):
    shutil.copy(bench.HARNESS, folder / "trevanto.exe")
    return run_to_file(procs, ["wine", folder / "trevanto.exe", verb], folder, folder.parent / "salida.json",
                       env=env)


def ps_env(folder, exit_code=None):
    env = {"TREVANTO_PS_LOG": winpath(folder.parent / "powershell.log")}
    if exit_code is not None:
        env["TREVANTO_PS_EXIT"] = str(exit_code)
    return env


def ps_log(folder):
    log = folder.parent / "powershell.log"
    return log.read_bytes().decode("utf-8").split("\r\n")[:-1] if log.exists() else []


def ps_literal(text: str) -> str:
    """A path as the agent hands it to PowerShell: single-quoted, quotes doubled."""
    return "'" + text.replace("'", "''") + "'"


def ps_wildcard_escaped(text: str) -> str:
    return "".join("`" + c if c in "[]*?`" else c for c in text)


# Blanks, a wildcard set, a variable and a quote: all plain characters of the path.
AWKWARD_NAME = "Mesalto [2] $x O'Neil"


def backups(folder):
    root = folder / "actualizaciones"
    (root / "A" / "sub").mkdir(parents=True)
    (root / "A" / "mesalto.exe").write_bytes(b"MZ viejo")
    (root / "A" / "sub" / "solo_lectura.MDB").write_bytes(b"datos")
    (root / "A" / "sub" / "solo_lectura.MDB").chmod(0o444)
    (root / "B").mkdir()
    (root / "B" / "DATOS.MDB").write_bytes(b"b")
    (root / "C.zip").write_bytes(b"zip anterior")
    return root


class TestStartupArchiving:
    def test_subfolders_are_packed_and_removed(self, tmp_path, procs):
        folder = make_program_folder(tmp_path, name=AWKWARD_NAME)
        root = backups(folder)
        subprocess_attrib_read_only(root / "A" / "sub" / "solo_lectura.MDB")

        assert beside(procs, folder, "startup-archiving", ps_env(folder)) == {"done": True}

        assert sorted(p.name for p in root.iterdir()) == ["A.zip", "B.zip", "C.zip"]
        with zipfile.ZipFile(root / "A.zip") as archive:
            assert sorted(n for n in archive.namelist() if not n.endswith("/")) == \
                ["mesalto.exe", "sub/solo_lectura.MDB"]
        with zipfile.ZipFile(root / "B.zip") as archive:
            assert archive.read("DATOS.MDB") == b"b"
        assert (root / "C.zip").read_bytes() == b"zip anterior"
        commands = ps_log(folder)
        assert len(commands) == 2
        a = winpath(root / "A")
        assert f'powershell.exe -NoProfile -ExecutionPolicy Bypass -Command "Compress-Archive -Path ' \
               f'{ps_literal(ps_wildcard_escaped(a) + chr(92) + "*")} -DestinationPath {ps_literal(a + ".zip")} -Force"' \
               in commands

    def test_failing_powershell_leaves_everything(self, tmp_path, procs):
        folder = make_program_folder(tmp_path)
        root = backups(folder)

        beside(procs, folder, "startup-archiving", ps_env(folder, exit_code=1))

        assert sorted(p.name for p in root.iterdir()) == ["A", "B", "C.zip"]
        assert (root / "A" / "mesalto.exe").read_bytes() == b"MZ viejo"
        assert len(ps_log(folder)) == 2

    def test_runs_at_agent_start_and_ignores_a_file_named_actualizaciones(self, tmp_path, procs, server):
        folder = make_program_folder(tmp_path)
        root = backups(folder)
        assert run_agent(procs, folder, env=ps_env(folder)) == 0
        assert sorted(p.name for p in root.iterdir()) == ["A.zip", "B.zip", "C.zip"]

        runs_before = len(ps_log(folder))
        assert runs_before == 2
        other = make_program_folder(tmp_path, name="otro")
        (other / "actualizaciones").write_bytes(b"no es carpeta")
        assert run_agent(procs, other, env=ps_env(other)) == 0
        assert (other / "actualizaciones").read_bytes() == b"no es carpeta"
        assert len(ps_log(other)) == runs_before  # the same log file: no further PowerShell run


def subprocess_attrib_read_only(path):
    import subprocess
    subprocess.run(["wine", "cmd", "/c", "attrib", "+r", winpath(path)], capture_output=True)


STAMPED_ZIP = re.compile(r"\d{6}_\d{6}_trevanto\.zip")


class TestCloseArchiving:
    def test_set_aside_agent_ends_up_only_as_zip(self, tmp_path, procs):
        folder = make_program_folder(tmp_path, name=AWKWARD_NAME)
        (folder / "trevanto2.exe").write_bytes(b"MZ agente anterior")

        beside(procs, folder, "close-archiving", ps_env(folder))

        [archive] = list((folder / "versiones").iterdir())
        assert STAMPED_ZIP.fullmatch(archive.name)
        with zipfile.ZipFile(archive) as z:
            assert z.namelist() == [archive.name.replace(".zip", ".exe")]
            assert z.read(z.namelist()[0]) == b"MZ agente anterior"
        assert not (folder / "trevanto2.exe").exists()
        journal = (folder / "actualizador_registros" / "descargas.csv").read_bytes().decode("latin-1")
        assert journal[20:] == f"CIERRE_ARCHIVAR_ZIP;{winpath(folder / 'trevanto2.exe')};{winpath(archive)}\r\n"
        exe = winpath(folder / "versiones" / archive.name.replace(".zip", ".exe"))
        assert ps_log(folder)[0].endswith(f'-NoProfile -NonInteractive -Command "Compress-Archive -LiteralPath '
                                          f'{ps_literal(exe)} -DestinationPath {ps_literal(winpath(archive))} -Force"')

    def test_failing_powershell_puts_the_file_back(self, tmp_path, procs):
        folder = make_program_folder(tmp_path)
        (folder / "trevanto2.exe").write_bytes(b"MZ agente anterior")

        beside(procs, folder, "close-archiving", ps_env(folder, exit_code=1))

        assert (folder / "trevanto2.exe").read_bytes() == b"MZ agente anterior"
        assert list((folder / "versiones").iterdir()) == []
        journal = (folder / "actualizador_registros" / "descargas.csv").read_bytes().decode("latin-1")
        assert journal[20:] == f"CIERRE_ARCHIVAR_ZIP;{winpath(folder / 'trevanto2.exe')};ERROR\r\n"

    def test_no_set_aside_agent(self, tmp_path, procs):
        folder = make_program_folder(tmp_path)
        beside(procs, folder, "close-archiving", ps_env(folder))
        journal = (folder / "actualizador_registros" / "descargas.csv").read_bytes().decode("latin-1")
        assert journal[20:] == f"CIERRE_ARCHIVAR_ZIP;{winpath(folder / 'trevanto2.exe')};NO_EXISTE\r\n"
        assert ps_log(folder) == []
        assert not (folder / "versiones").exists()
