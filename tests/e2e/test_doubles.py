"""The test doubles that later suites rely on behave as documented."""

import zipfile

import bench
from bench import finish, wait_until, winpath

POWERSHELL = r"C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe"


def run_powershell(procs, tmp_path, command, extra_env=None):
    log = tmp_path / "ps.log"
    env = {"TREVANTO_PS_LOG": winpath(log)}
    env.update(extra_env or {})
    proc = procs.start(["wine", POWERSHELL, "-NoProfile", "-NonInteractive", "-Command", *command], env=env)
    return finish(proc), log


class TestSibling:
    def test_records_each_start_and_runs_until_ended(self, tmp_path, procs):
        folder = bench.make_program_folder(tmp_path, siblings=("quindel.exe",), with_archiver=False)
        work = tmp_path / "trabajo"
        work.mkdir()
        record = folder / "quindel.exe.arranques.txt"

        first = procs.start(["wine", folder / "quindel.exe"], cwd=work)
        assert wait_until(lambda: record.exists() and record.read_bytes().count(b"\r\n") == 1, 20)
        assert first.poll() is None
        second = procs.start(["wine", folder / "quindel.exe"], cwd=folder)
        assert wait_until(lambda: record.read_bytes().count(b"\r\n") == 2, 20)

        lines = record.read_text(encoding="utf-8").splitlines()
        assert lines == [f"{winpath(folder / 'quindel.exe')}|{winpath(work)}",
                         f"{winpath(folder / 'quindel.exe')}|{winpath(folder)}"]
        assert second.poll() is None


class TestPowerShell:
    def test_compress_folder_contents_and_expand_again(self, tmp_path, procs):
        source = tmp_path / "copia"
        (source / "sub").mkdir(parents=True)
        (source / "DATOS.MDB").write_bytes(b"datos")
        (source / "sub" / "b.txt").write_bytes(b"b")
        archive = tmp_path / "copia.zip"
        archive.write_bytes(b"viejo")

        code, log = run_powershell(procs, tmp_path, [
            "Compress-Archive", "-Path", f'"{winpath(source)}\\*"', "-DestinationPath", f'"{winpath(archive)}"',
            "-Force"])
        assert code == 0
        with zipfile.ZipFile(archive) as z:
            assert sorted(n.replace("\\", "/") for n in z.namelist() if not n.endswith("/")) == \
                ["DATOS.MDB", "sub/b.txt"]
        assert "Compress-Archive" in log.read_text(encoding="utf-8")

        target = tmp_path / "fuera"
        code, _ = run_powershell(procs, tmp_path, [
            "Expand-Archive", "-LiteralPath", f'"{winpath(archive)}"', "-DestinationPath", f'"{winpath(target)}"',
            "-Force"])
        assert code == 0
        assert (target / "DATOS.MDB").read_bytes() == b"datos"
        assert (target / "sub" / "b.txt").read_bytes() == b"b"

    def test_without_force_an_existing_archive_fails(self, tmp_path, procs):
        source = tmp_path / "f.txt"
        source.write_bytes(b"x")
        archive = tmp_path / "f.zip"
        archive.write_bytes(b"viejo")
        code, _ = run_powershell(procs, tmp_path, [
            "Compress-Archive", "-LiteralPath", winpath(source), "-DestinationPath", winpath(archive)])
        assert code == 1
        assert archive.read_bytes() == b"viejo"

    def test_forced_exit_code_does_nothing(self, tmp_path, procs):
        source = tmp_path / "f.txt"
        source.write_bytes(b"x")
        archive = tmp_path / "f.zip"
        code, log = run_powershell(procs, tmp_path, [
            "Compress-Archive", "-LiteralPath", winpath(source), "-DestinationPath", winpath(archive), "-Force"],
            extra_env={"TREVANTO_PS_EXIT": "3"})
        assert code == 3
        assert not archive.exists()
        assert log.read_bytes().count(b"\r\n") == 1

    def test_missing_source_fails(self, tmp_path, procs):
        archive = tmp_path / "f.zip"
        code, _ = run_powershell(procs, tmp_path, [
            "Compress-Archive", "-Path", f'"{winpath(tmp_path / "no_existe")}\\*"', "-DestinationPath",
            winpath(archive), "-Force"])
        assert code == 1
        assert not archive.exists()

    def test_reads_quotes_variables_and_wildcards_as_powershell_does(self, tmp_path, procs):
        source = tmp_path / "M [2] $x" / "copia"
        source.mkdir(parents=True)
        (source / "a.txt").write_bytes(b"a")
        archive = tmp_path / "a.zip"
        folder = winpath(source)
        escaped = folder.replace("[", "`[").replace("]", "`]")
        # "$x" expands to nothing in double quotes; [2] is a set after -Path.
        for command in (f"Compress-Archive -Path \"{escaped}\\*\" -DestinationPath '{winpath(archive)}'",
                        f"Compress-Archive -Path '{folder}\\*' -DestinationPath '{winpath(archive)}'",
                        f"Compress-Archive -LiteralPath '{folder}\\*' -DestinationPath '{winpath(archive)}'"):
            assert run_powershell(procs, tmp_path, [command])[0] == 1, command
            assert not archive.exists()
        doubled = winpath(tmp_path / "it's.zip").replace("'", "''")
        code, _ = run_powershell(procs, tmp_path,
                                 [f"Compress-Archive -Path '{escaped}\\*' -DestinationPath '{doubled}'"])
        assert code == 0
        with zipfile.ZipFile(tmp_path / "it's.zip") as z:
            assert z.namelist() == ["a.txt"]
