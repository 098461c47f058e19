"""The update worker end to end under Wine, started as the alerts window
starts it (a window handle and a copy of the address), with the real 7za.exe
and the PowerShell double."""

import datetime
import hashlib
import re
import shutil
import subprocess
import zipfile

import pytest

import bench
from bench import DOWNLOAD_HOST, journal, run_to_file, started, wait_until, winpath, zip_bytes
from fault_server import Answer

OLD = (bench.DOUBLES / "sibling_5_2_1_0.exe").read_bytes()
NEW = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()
NEWER = (bench.DOUBLES / "sibling_1_65535_0_2.exe").read_bytes()
REPORT_PATH = "/apis/trevanto/v1/update-report"
CHECKIN_PATH = "/apis/trevanto/v1/checkin"
STAMP = r"\d{6}_\d{6}"
NET_START_EXIT = 1  # Wine's "net start" for a service that does not exist
EXPAND_ARCHIVE_EXIT = 1  # the PowerShell double's Expand-Archive on a damaged archive


@pytest.fixture
def program(tmp_path, procs):
    """An installed Mesalto in a folder with a blank in its name, data files,
    7za.exe and the harness as trevanto.exe; running programs are ended after."""
    folder = bench.make_program_folder(tmp_path, name="Marvek Mesalto")
    (folder / "DATOS.MDB").write_bytes(b"base de datos")
    (folder / "pedidos.bdmarv").write_bytes(b"pedidos")
    shutil.copy(bench.HARNESS, folder / "trevanto.exe")
    yield folder
    for name in ("mesalto.exe", "marvekserver.exe", "bloqueador.exe"):
        subprocess.run(["wine", "taskkill", "/F", "/IM", name], capture_output=True)


def update(procs, folder, url, timeout_ms=240000, env=None, sha256=None, signature=None, statement=None):
    """The worker's finished messages and final progress values; `sha256`,
    `signature` and `statement` stand for the offer's "sha256", "firma" and
    "declaracion"/"declaracion_firma" values (None: no such key)."""
    extra = [] if sha256 is None else [sha256]
    if signature is not None or statement is not None:
        extra = [sha256 or "-", signature or "-"]
    if statement is not None:
        extra += [statement["declaracion"], statement["declaracion_firma"]]
    result = run_to_file(procs, ["wine", folder / "trevanto.exe", "update", url, str(timeout_ms), *extra], folder,
                         folder.parent / "salida_update.json", env=env)
    return {key: result[key] for key in ("messages", "progress", "step")}


def codes(lines):
    return [line.split(";")[0] for line in lines]


def w(path) -> str:
    return winpath(path)


def run_program(procs, folder):
    """Starts the installed Mesalto as a user does. Like a running program's
    image, its executable can then be read but not moved or replaced."""
    exe = folder / "mesalto.exe"
    proc = procs.start(["wine", exe], cwd=folder, env={"TREVANTO_LOCK_FILE": w(exe), "TREVANTO_LOCK_READABLE": "1"})
    assert wait_until(lambda: len(started(folder)) == 1, 20)
    return proc


def assert_name_refused(program, server, url):
    """The journal and the report of a package name refused before anything
    is fetched (NOMBRE_PAQUETE_INVALIDO), the program relaunched."""
    lines = journal(program)
    assert lines[:2] == ["TASKKILL_APP;mesalto.exe;estado=OK;ec=128", f"NOMBRE_PAQUETE_INVALIDO;{url}"]
    assert lines[2].startswith(f"RELANZAR_APP;{w(program / 'mesalto.exe')};hinst=") and len(lines) == 3
    [report] = report_bodies(server)
    assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"]) == \
        ("DESCARGA_FALLIDA", 123, "nombre de paquete no valido", "DESCARGA")


def report_bodies(server):
    import json
    return [json.loads(r.body) for r in server.requests_to(REPORT_PATH)]


class TestExecutablePackage:
    def test_replaces_program_with_backups_report_and_relaunch(self, program, vendor, procs, registry):
        registry.delete_key(r"HKCU\SOFTWARE\VB and VBA Program Settings")
        vendor.put_file("/paquetes/mesalto.exe", NEW)
        vendor.start()
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"
        running = run_program(procs, program)

        assert update(procs, program, url) == {"messages": 1, "progress": 100, "step": 3}

        # Ended before its executable was set aside (which its lock forbids).
        assert wait_until(lambda: running.poll() is not None, 20)
        lines = journal(program)
        assert codes(lines) == ["TASKKILL_APP", "RENOMBRADO_A_2", "DESCARGA", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES",
                                "COPIA_OK", "COPIA_OK", "COPIA_PATRONES_RESUMEN", "ZIP_CARPETA", "RELANZAR_APP"]
        [backup] = [p for p in (program / "actualizaciones").iterdir() if p.is_dir()]
        assert re.fullmatch(STAMP, backup.name)
        exe, setaside = w(program / "mesalto.exe"), w(program / "mesalto2.exe")
        assert lines[0] == "TASKKILL_APP;mesalto.exe;estado=OK;ec=0"
        assert lines[1] == f"RENOMBRADO_A_2;{exe};{setaside}"
        assert lines[2] == f"DESCARGA;{url};{exe}"
        assert lines[3] == f"ARCHIVO_ANTERIOR_A_ACTUALIZACIONES;{setaside};->;{w(backup / 'mesalto.exe')}"
        assert lines[4] == f"COPIA_OK;{w(program / 'DATOS.MDB')};->;{w(backup / 'DATOS.MDB')}"
        assert lines[5] == f"COPIA_OK;{w(program / 'pedidos.bdmarv')};->;{w(backup / 'pedidos.bdmarv')}"
        assert lines[6] == f"COPIA_PATRONES_RESUMEN;dest={w(backup)};MDB=1;BDMARV=1"
        assert lines[7] == f"ZIP_CARPETA;{w(backup)};->;{w(backup)}.zip;estado=OK;ec=0"
        assert re.fullmatch(re.escape(f"RELANZAR_APP;{exe};hinst=") + r"\d+", lines[8])
        assert int(lines[8].rsplit("=", 1)[1]) > 32

        assert (program / "mesalto.exe").read_bytes() == NEW
        assert not (program / "mesalto2.exe").exists()
        assert (backup / "mesalto.exe").read_bytes() == OLD
        assert (backup / "DATOS.MDB").read_bytes() == b"base de datos"
        with zipfile.ZipFile(f"{backup}.zip") as archive:
            assert sorted(archive.namelist()) == ["DATOS.MDB", "mesalto.exe", "pedidos.bdmarv"]
        assert wait_until(lambda: started(program) == [f"{exe}|{w(program)}"] * 2, 20)

        [row] = vendor.rows("update_reports")
        assert (row["resultado"], row["version_anterior"], row["version_nueva"], row["url_parche"]) == \
            ("OK", "5.2.1.0", "6.0.3.17", url)
        stamp = registry.query(r"HKCU\SOFTWARE\VB and VBA Program Settings\Marvek Mesalto\Opciones",
                               "TrevantoLastUpdate")
        assert stamp is not None and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", stamp[1])
        registry.delete_key(r"HKCU\SOFTWARE\VB and VBA Program Settings")

    def test_updates_within_one_second_share_the_backup_folder(self, program, server, procs):
        server.answer("/paquetes/mesalto.exe", Answer(body=NEW))
        now = datetime.datetime.now()
        backups = program / "actualizaciones"
        for offset in range(0, 30):
            moment = now + datetime.timedelta(seconds=offset)
            folder = backups / moment.strftime("%y%m%d_%H%M%S")
            folder.mkdir(parents=True)
            (folder / "anterior.txt").write_bytes(b"de otra actualizacion")

        update(procs, program, f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe")

        [used] = [p for p in backups.iterdir() if (p / "mesalto.exe").exists()]
        assert (used / "anterior.txt").read_bytes() == b"de otra actualizacion"
        with zipfile.ZipFile(f"{used}.zip") as archive:
            assert "anterior.txt" in archive.namelist()

    def test_executable_under_another_name_is_only_stored_beside(self, program, server, procs):
        server.answer("/paquetes/mesalto_v5.exe", Answer(body=NEW))
        result = update(procs, program, f"https://{DOWNLOAD_HOST}/paquetes/mesalto_v5.exe")
        assert result == {"messages": 1, "progress": 100, "step": 3}
        assert codes(journal(program)) == ["TASKKILL_APP", "DESCARGA", "RELANZAR_APP"]
        assert (program / "mesalto_v5.exe").read_bytes() == NEW
        assert (program / "mesalto.exe").read_bytes() == OLD
        assert not (program / "actualizaciones").exists()
        assert report_bodies(server)[0]["resultado"] == "OK"

    def test_folder_without_a_program_neither_stops_nor_relaunches(self, tmp_path, server, procs):
        folder = bench.make_program_folder(tmp_path, siblings=())
        shutil.copy(bench.HARNESS, folder / "trevanto.exe")
        assert update(procs, folder, "")["messages"] == 1
        assert journal(folder) == ["URL_VACIA"]
        # Without a product key the report is not sent either.
        assert server.requests == []

    def test_other_file_names_are_only_stored(self, program, server, procs):
        server.answer("/paquetes/notas.pdf", Answer(body=b"%PDF-1.4"))
        result = update(procs, program, f"https://{DOWNLOAD_HOST}/paquetes/notas.pdf?v=3#arriba")
        assert result == {"messages": 1, "progress": 100, "step": 3}
        assert (program / "notas.pdf").read_bytes() == b"%PDF-1.4"
        assert codes(journal(program)) == ["TASKKILL_APP", "DESCARGA", "RELANZAR_APP"]
        assert report_bodies(server)[0]["resultado"] == "OK"


class TestFetchAndSaveFailures:
    @pytest.mark.parametrize("answer,code,message", [
        (Answer(status=404, body=b"<html>no existe</html>"), 404, "DownloadUrlBytes_URL fallo"),
        (Answer(body=b""), 0, "DownloadUrlBytes_URL fallo"),
        (Answer(body=NEW, drop_after=100_000), None, "DownloadUrlBytes_URL fallo"),
        (Answer(body=b"<html>mantenimiento</html>"), 193, "paquete no es un ejecutable"),
    ], ids=["404", "empty-body", "dropped", "html-page"])
    def test_failed_fetch_restores_the_program(self, program, server, procs, answer, code, message):
        server.answer("/paquetes/mesalto.exe", answer)
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe"

        result = update(procs, program, url)
        # Failures leave the gauge where it was: a cut transfer had moved it,
        # a complete one had taken it to 70.
        assert (result["messages"], result["step"]) == (1, 0)
        if code is None:
            assert 0 < result["progress"] < 70
        else:
            assert result["progress"] == (70 if code == 193 else 0)

        exe, setaside = w(program / "mesalto.exe"), w(program / "mesalto2.exe")
        lines = journal(program)
        if code is None:  # cut transfers are asked for again; each 200 starts over and is cut again
            resumed = [line for line in lines if line.startswith("REANUDAR_DESCARGA;")]
            assert resumed == [f"REANUDAR_DESCARGA;{url};desde=100000;intento={k}" for k in (1, 2, 3)]
            lines = [line for line in lines if line not in resumed]
        assert lines[:3] == ["TASKKILL_APP;mesalto.exe;estado=OK;ec=128", f"RENOMBRADO_A_2;{exe};{setaside}",
                             "ERROR_DESCARGA"]
        assert lines[3] == f"RESTAURADO_EXE_ANTERIOR;{setaside};->;{exe}"
        assert lines[4].startswith(f"RELANZAR_APP;{exe};hinst=")
        assert (program / "mesalto.exe").read_bytes() == OLD
        assert not (program / "mesalto2.exe").exists()
        assert not (program / "mesalto.exe.parcial").exists()
        [report] = report_bodies(server)
        assert (report["resultado"], report["mensaje_error"], report["paso_fallido"], report["version_nueva"]) == \
            ("DESCARGA_FALLIDA", message, "DESCARGA", "")
        if code is not None:
            assert report["codigo_error"] == code
        else:
            assert report["codigo_error"] != 0
        assert wait_until(lambda: len(started(program)) == 1, 20)

    @pytest.mark.parametrize("name", ["...zip", "mesalto.exe.", "Actualizador_Registros.ZIP"])
    def test_names_windows_would_alter_are_refused(self, program, server, procs, name):
        # Unpacked, "...zip" would go into the folder above; stored,
        # "mesalto.exe." would overwrite mesalto.exe without a backup;
        # unpacked, "Actualizador_Registros.ZIP" would go over the journals.
        server.answer(f"/paquetes/{name}", Answer(body=zip_bytes({"mesalto.exe": NEW})))
        url = f"https://{DOWNLOAD_HOST}/paquetes/{name}"
        before = sorted(p.name for p in program.parent.iterdir()), sorted(p.name for p in program.iterdir())

        assert update(procs, program, url) == {"messages": 1, "progress": 0, "step": 0}

        assert_name_refused(program, server, url)
        assert [r.target for r in server.requests] == [REPORT_PATH]
        assert (program / "mesalto.exe").read_bytes() == OLD
        assert wait_until(lambda: len(started(program)) == 1, 20)
        after = sorted(p.name for p in program.parent.iterdir()), sorted(p.name for p in program.iterdir())
        assert after == (sorted(before[0] + ["salida_update.json"]),
                         sorted(before[1] + ["actualizador_registros", "mesalto.exe.arranques.txt"]))

    def test_program_left_set_aside_is_put_back_at_start(self, tmp_path, server, procs):
        # Updates cut short: mesalto.exe's name stands empty (as an older
        # agent left it, which moved the program aside before the download);
        # olvo.exe is in place (a ZIP update ended after the new program came
        # in), so its set-aside, the only copy of the program it replaced,
        # goes to a backup, which the start-up archiving then packs.
        folder = bench.make_program_folder(tmp_path, siblings=("mesalto2.exe", "olvo.exe"))
        shutil.copy(bench.DOUBLES / "sibling_noversion.exe", folder / "olvo2.exe")

        assert bench.run_agent(procs, folder) == 0

        exe, setaside = w(folder / "mesalto.exe"), w(folder / "mesalto2.exe")
        lines = journal(folder)
        assert lines[0] == f"RESTAURADO_EXE_ANTERIOR;{setaside};->;{exe}"
        [backup] = list((folder / "actualizaciones").glob("*.zip"))
        assert re.fullmatch(STAMP + r"\.zip", backup.name)
        assert lines[1:] == [f"ARCHIVO_ANTERIOR_A_ACTUALIZACIONES;{w(folder / 'olvo2.exe')};->;"
                             f"{w(backup.with_suffix('') / 'olvo.exe')}"]
        with zipfile.ZipFile(backup) as archive:
            assert archive.namelist() == ["olvo.exe"]
            assert archive.read("olvo.exe") == (bench.DOUBLES / "sibling_noversion.exe").read_bytes()
        assert (folder / "mesalto.exe").read_bytes() == OLD
        assert (folder / "olvo.exe").read_bytes() == OLD
        assert not (folder / "mesalto2.exe").exists() and not (folder / "olvo2.exe").exists()
        # Agent mode: the check-in was attempted (an installer makes no request).
        assert server.requests_to(CHECKIN_PATH) != []

    def test_program_that_cannot_be_set_aside_fails_before_the_fetch(self, program, server, procs, registry):
        # A folder in the set-aside's place makes the copy aside fail: without
        # it the old program could not be kept, so nothing is fetched.
        settings = r"HKCU\SOFTWARE\VB and VBA Program Settings"
        registry.delete_key(settings)
        (program / "mesalto2.exe").mkdir()
        server.answer("/paquetes/mesalto.exe", Answer(body=NEW))

        result = update(procs, program, f"https://{DOWNLOAD_HOST}/paquetes/mesalto.exe")

        assert result == {"messages": 1, "progress": 0, "step": 0}
        lines = journal(program)
        assert codes(lines) == ["TASKKILL_APP", "ERROR_RENOMBRAR_A_2", "RELANZAR_APP"]
        code = int(lines[1].rsplit("=", 1)[1])
        assert lines[1] == f"ERROR_RENOMBRAR_A_2;{w(program / 'mesalto.exe')};err={code}" and code != 0
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"]) == \
            ("INSTALACION_FALLIDA", code, "exe anterior no copiable", "COPIAR_EXE_ANTERIOR")
        assert server.requests_to("/paquetes/mesalto.exe") == []
        assert (program / "mesalto.exe").read_bytes() == OLD
        assert not (program / "actualizaciones").exists()
        assert registry.query(settings + r"\Marvek Mesalto\Opciones", "TrevantoLastUpdate") is None
        assert wait_until(lambda: len(started(program)) == 1, 20)

    def test_empty_address(self, program, server, procs):
        assert update(procs, program, "") == {"messages": 1, "progress": 0, "step": 0}
        lines = journal(program)
        assert codes(lines) == ["TASKKILL_APP", "URL_VACIA", "RELANZAR_APP"]
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"],
                report["url_parche"]) == ("URL_VACIA", 0, "URL vacia", "URL_VACIA", "")
        assert [r.target for r in server.requests] == [REPORT_PATH]

    def test_target_that_cannot_be_written_fails_the_save(self, program, server, procs):
        # (Wine running as root ignores the read-only attribute; a folder in
        # the package's place makes the creation fail the same way.)
        server.answer("/paquetes/paquete.zip", Answer(body=zip_bytes({"a.txt": b"a"})))
        target = program / "paquete.zip"
        target.mkdir()
        (target / "dentro.txt").write_bytes(b"anterior")

        result = update(procs, program, f"https://{DOWNLOAD_HOST}/paquetes/paquete.zip")
        assert (result["progress"], result["step"]) == (70, 0)

        assert codes(journal(program)) == ["TASKKILL_APP", "ERROR_GUARDAR", "RELANZAR_APP"]
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["paso_fallido"]) == \
            ("DESCARGA_FALLIDA", 5, "GUARDAR_DISCO")
        assert (target / "dentro.txt").read_bytes() == b"anterior"
        assert (program / "mesalto.exe").read_bytes() == OLD


# A package's registration script (<package folder>\registro.bat) that says
# the package is unpacked and waits until hold_once_unpacked's program holds
# the new executable. It names its files from its own place, so one package
# serves every program folder.
_BESIDE = b"%~dp0..\\..\\"  # the folder above the program folder
HOLD_SCRIPT = (b'@echo off\r\necho listo> "' + _BESIDE + b'desempaquetado.txt"\r\n:espera\r\nif exist "' + _BESIDE +
               b'bloqueador.exe.arranques.txt" goto fin\r\nping -n 2 127.0.0.1 >NUL\r\ngoto espera\r\n:fin\r\n')


def hold_once_unpacked(procs, program, new_exe, readable):
    """Starts a program (bloqueador.exe, beside the program folder) that takes
    hold of the package's new executable once HOLD_SCRIPT says the package is
    unpacked: readable, the executable cannot be moved into place; held
    without sharing (as antivirus holds it), it cannot even be read."""
    holder = program.parent / "bloqueador.exe"
    shutil.copy(bench.DOUBLES / "sibling_5_2_1_0.exe", holder)
    procs.start(["wine", holder], cwd=program.parent,
                env={"TREVANTO_LOCK_FILE": w(new_exe), "TREVANTO_LOCK_AFTER": w(program.parent / "desempaquetado.txt"),
                     **({"TREVANTO_LOCK_READABLE": "1"} if readable else {})})


def serve_zip(server, entries, name="mesalto_v6.zip"):
    server.answer(f"/paquetes/{name}", Answer(body=zip_bytes(entries)))
    return f"https://{DOWNLOAD_HOST}/paquetes/{name}"


class TestZipPackage:
    def test_full_package_with_script_and_server_component(self, program, vendor, procs):
        server_zip = zip_bytes({"marvekserver.exe": NEW, "leeme.txt": b"servidor 2"})
        script = b"@echo off\r\necho registrado> \"%~dp0registrado.txt\"\r\nexit /b 3\r\n"
        vendor.put_file("/paquetes/mesalto_v6.zip", zip_bytes({
            "bin/Mesalto.EXE": NEW, "Registro.BAT": script, "extra/marvekserver.zip": server_zip}))
        vendor.start()
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto_v6.zip"
        running = run_program(procs, program)

        assert update(procs, program, url) == {"messages": 1, "progress": 100, "step": 3}

        assert wait_until(lambda: running.poll() is not None, 20)
        package, extracted = program / "mesalto_v6.zip", program / "mesalto_v6"
        assert journal(program, "extracciones.csv") == [f"UNZIP_7ZA;{w(package)};->;{w(extracted)};OK;ec=0"]
        lines = journal(program)
        # Wine has no MarvekPedidos service: the first "net start" fails, so a
        # second one is made, and journalled with its exit code once it ran.
        server_lines = [line for line in lines if line.startswith("MARVEKSERVER:")]
        assert server_lines[:2] == ["MARVEKSERVER:MOVER_OK", "MARVEKSERVER:ADMIN_TASKKILL_OK;ec=128"]
        assert server_lines[2].startswith("MARVEKSERVER:ADMIN_NETSTOP_OK;ec=")
        assert server_lines[3:] == [
            "MARVEKSERVER:DESCOMPRIMIR_OK;ec=0", "MARVEKSERVER:ELIMINAR_ZIP_OK", "MARVEKSERVER:EJECUTAR_EXE_OK",
            f"MARVEKSERVER:ADMIN_NETSTART_FALLO_PRIMER_INTENTO;ec={NET_START_EXIT}",
            f"MARVEKSERVER:ADMIN_NETSTART_OK_SEGUNDO_INTENTO;ec={NET_START_EXIT}"]
        script_path = extracted / "Registro.BAT"
        new_exe = extracted / "bin" / "Mesalto.EXE"
        # Server component, registration script, executable matching, in that order.
        assert [c if not c.startswith("MARVEKSERVER:") else "MARVEKSERVER" for c in codes(lines)] == [
            "TASKKILL_APP", "DESCARGA"] + ["MARVEKSERVER"] * 8 + [
            "REGISTRO_BAT_LANZANDO_ADMIN", "REGISTRO_BAT_EJECUTADO_ADMIN",
            "RENOMBRADO_A_2_ZIP", "EXE_NUEVO_EN_RAIZ_OK", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES_ZIP", "COPIA_OK",
            "COPIA_OK", "COPIA_PATRONES_RESUMEN_ZIP", "ZIP_CARPETA", "LIMPIEZA_OK", "RELANZAR_APP"]
        assert lines[0] == "TASKKILL_APP;mesalto.exe;estado=OK;ec=0"
        assert f"REGISTRO_BAT_EJECUTADO_ADMIN;{w(script_path)};ec=3" in lines
        # The file system matched Mesalto.EXE to mesalto.exe without regard
        # to case; the new executable replaced the program, whose name stays.
        assert f"EXE_NUEVO_EN_RAIZ_OK;{w(new_exe)};->;{w(program / 'Mesalto.EXE')}" in lines
        assert f"LIMPIEZA_OK;ZIP_ELIMINADO;{w(package)}" in lines

        assert (program / "mesalto.exe").read_bytes() == NEW
        assert not (program / "Mesalto.EXE").exists()
        assert not package.exists()
        assert script_path.exists() and (extracted / "registrado.txt").exists()
        server_folder = program.parent / "MarvekServer"
        assert (server_folder / "marvekserver.exe").read_bytes() == NEW
        assert (server_folder / "leeme.txt").read_bytes() == b"servidor 2"
        assert not (server_folder / "marvekserver.zip").exists()
        assert started(server_folder, "marvekserver.exe") == \
            [f"{w(server_folder / 'marvekserver.exe')}|{w(server_folder)}"]
        assert vendor.rows("update_reports")[0]["resultado"] == "OK"

    @pytest.mark.parametrize("archiver", ["missing", "damaged-archive"])
    def test_failed_extraction(self, program, server, procs, archiver):
        body = zip_bytes({"mesalto.exe": NEW})
        if archiver == "missing":
            (program / "7za.exe").unlink()
        else:
            body = body[:200]  # 7-Zip runs and fails with its own "fatal error" exit code
        server.answer("/paquetes/mesalto_v6.zip", Answer(body=body))
        url = f"https://{DOWNLOAD_HOST}/paquetes/mesalto_v6.zip"
        assert update(procs, program, url) == {"messages": 1, "progress": 75, "step": 1}
        package, extracted = program / "mesalto_v6.zip", program / "mesalto_v6"
        assert journal(program, "extracciones.csv") == [f"UNZIP_7ZA;{w(package)};->;{w(extracted)};ERROR;ec=2"]
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"]) == \
            ("DESCOMPRESION_FALLIDA", 2, "7za unzip fallo", "UNZIP_7ZA")
        # The package and what was unpacked of it go: nothing piles up from
        # one failing offer to the next.
        assert codes(journal(program))[2:4] == ["LIMPIEZA_OK", "LIMPIEZA_OK"]
        assert journal(program)[2:4] == [f"LIMPIEZA_OK;ZIP_ELIMINADO;{w(package)}",
                                         f"LIMPIEZA_OK;CARPETA_EXTRACCION_ELIMINADA;{w(extracted)}"]
        assert not package.exists() and not extracted.exists()
        assert (program / "mesalto.exe").read_bytes() == OLD

    def test_archiver_warning_counts_as_success(self, program, server, procs):
        double = bench.DOUBLES / "sevenzip_warning.exe"
        shutil.copy(double, program / "7za.exe")
        url = serve_zip(server, {"mesalto.exe": NEW})
        # The double is pinned for this harness alone.
        pinned = {"TREVANTO_PRUEBA_7ZA_SHA256": hashlib.sha256(double.read_bytes()).hexdigest()}
        assert update(procs, program, url, env=pinned)["step"] == 3
        assert journal(program, "extracciones.csv")[0].endswith(";OK;ec=1")
        assert (program / "mesalto.exe").read_bytes() == NEW

    @pytest.mark.parametrize("entries,expected", [
        ({"mesalto.exe": b"esto no es un programa"}, ["ZIP_EXE_INVALIDO_NO_PE", "ZIP_EXE_SIN_MATCH_EN_RAIZ"]),
        ({"trevanto.exe": NEW}, ["ZIP_EXE_IGNORADO_TREVANTO", "ZIP_EXE_SIN_MATCH_EN_RAIZ"]),
        ({}, ["ZIP_SIN_EXE", "ZIP_EXE_SIN_MATCH_EN_RAIZ"]),
    ], ids=["text-as-exe", "only-trevanto", "empty"])
    def test_nothing_to_install(self, program, server, procs, entries, expected):
        url = serve_zip(server, entries)
        earlier = program / "mesalto_v6"
        leftovers = [earlier / "registro.bat", earlier / "viejo" / "REGISTRO.Bat"]
        # An earlier package's program, in a sub-folder listed before the new files.
        old_program = earlier / "Mesalto" / "mesalto.exe"
        if entries:
            # What an earlier package left is neither run, nor installed, nor removed.
            for script in leftovers:
                script.parent.mkdir(parents=True, exist_ok=True)
                script.write_bytes(b'echo ejecutado> "%~dp0ejecutado.txt"\r\n')
            old_program.parent.mkdir()
            old_program.write_bytes(NEWER)
        assert update(procs, program, url)["step"] == 3
        lines = journal(program)
        matching = [c for c in codes(lines) if c.startswith("ZIP_")]
        assert matching == expected
        assert (program / "mesalto.exe").read_bytes() == OLD
        extracted = program / ("mesalto_v6_2" if entries else "mesalto_v6")
        assert journal(program, "extracciones.csv") == \
            [f"UNZIP_7ZA;{w(program / 'mesalto_v6.zip')};->;{w(extracted)};OK;ec=0"]
        occupied = [f"CARPETA_EXTRACCION_OCUPADA;{w(earlier)};->;{w(extracted)}"] if entries else []
        assert lines[codes(lines).index("DESCARGA") + 1:codes(lines).index("MARVEKSERVER:NO_ENCONTRADO")] == occupied
        assert [line for line in lines if line.startswith("REGISTRO_BAT_")] == ["REGISTRO_BAT_NO_ENCONTRADO"]
        if entries:
            assert all(path.exists() for path in leftovers + [old_program])
            assert old_program.read_bytes() == NEWER
        assert not (earlier / "ejecutado.txt").exists() and not (earlier / "viejo" / "ejecutado.txt").exists()
        assert (program / "trevanto.exe").read_bytes() == bench.HARNESS.read_bytes()
        assert report_bodies(server)[0]["resultado"] == "OK"
        assert f"LIMPIEZA_OK;ZIP_ELIMINADO;{w(program / 'mesalto_v6.zip')}" in lines
        if not entries:
            assert f"LIMPIEZA_OK;CARPETA_VACIA_ELIMINADA;{w(extracted)}" in lines
            assert not extracted.exists()
        assert wait_until(lambda: len(started(program)) == 1, 20)

    def test_declined_elevation_and_damaged_server_archive(self, program, server, procs):
        # The user declines every consent prompt (the harness answers for
        # Wine, which never shows one), and the server archive cannot be unpacked.
        damaged = b"PK\x03\x04 esto no es un archivo zip"
        script = b'echo ejecutado> "%~dp0ejecutado.txt"\r\n'
        url = serve_zip(server, {"mesalto.exe": NEW, "registro.bat": script, "marvekserver.zip": damaged})

        result = update(procs, program, url, env={"TREVANTO_PRUEBA_ELEVACION": "rechazada"})
        assert result == {"messages": 1, "progress": 100, "step": 3}

        lines = journal(program)
        script_path = program / "mesalto_v6" / "registro.bat"
        assert [line for line in lines if line.startswith(("MARVEKSERVER:", "REGISTRO_BAT_"))] == [
            "MARVEKSERVER:MOVER_OK", "MARVEKSERVER:ADMIN_TASKKILL_ELEVACION_FALLIDA_O_CANCELADA",
            "MARVEKSERVER:ADMIN_NETSTOP_ELEVACION_FALLIDA_O_CANCELADA",
            f"MARVEKSERVER:DESCOMPRIMIR_ERROR;ec={EXPAND_ARCHIVE_EXIT}", "MARVEKSERVER:EXE_NO_ENCONTRADO",
            "MARVEKSERVER:ADMIN_NETSTART_FALLO_PRIMER_INTENTO;ec=4294967295",
            "MARVEKSERVER:ADMIN_NETSTART_ELEVACION_FALLIDA_O_CANCELADA_SEGUNDO",
            f"REGISTRO_BAT_LANZANDO_ADMIN;{w(script_path)}",
            "REGISTRO_BAT_LANZAMIENTO_ERROR;UAC_CANCELADO_O_FALLO;err=1223"]
        assert not (program / "mesalto_v6" / "ejecutado.txt").exists()
        # Both extractions failed: the archive is kept for a later attempt.
        assert (program.parent / "MarvekServer" / "marvekserver.zip").read_bytes() == damaged
        assert (program / "mesalto.exe").read_bytes() == NEW
        assert report_bodies(server)[0]["resultado"] == "OK"

    def test_locked_data_file_is_journalled_and_skipped(self, program, server, procs):
        shutil.copy(bench.DOUBLES / "sibling_5_2_1_0.exe", program / "bloqueador.exe")
        locker = procs.start(["wine", program / "bloqueador.exe"], cwd=program,
                             env={"TREVANTO_LOCK_FILE": w(program / "DATOS.MDB")})
        assert wait_until(lambda: len(started(program, "bloqueador.exe")) == 1, 20)
        url = serve_zip(server, {"mesalto.exe": NEW})

        assert update(procs, program, url)["step"] == 3

        lines = journal(program)
        [error] = [line for line in lines if line.startswith("COPIA_ERROR;")]
        assert error.startswith(f"COPIA_ERROR;{w(program / 'DATOS.MDB')};->;")
        assert re.search(r";err=\d+$", error)
        assert [line for line in lines if line.startswith("COPIA_PATRONES_RESUMEN_ZIP;")][0].endswith(
            ";MDB=0;BDMARV=1")
        assert (program / "mesalto.exe").read_bytes() == NEW
        locker.kill()

    def test_program_keeps_its_name_while_the_backup_is_made(self, program, server, procs):
        # The backup's compression (the PowerShell double) holds the worker
        # until the test has looked; the worker is then ended there, as the
        # hot key, a log-off or a power cut would end it.
        marker = program.parent / "comprimiendo.txt"
        url = serve_zip(server, {"mesalto.exe": NEW})
        worker = procs.start(["wine", program / "trevanto.exe", "update", url, "240000"], cwd=program,
                             env={"TREVANTO_PS_PAUSE": w(marker)})
        assert wait_until(marker.exists, 60), journal(program)

        assert (program / "mesalto.exe").read_bytes() == NEW
        assert codes(journal(program)) == [
            "TASKKILL_APP", "DESCARGA", "MARVEKSERVER:NO_ENCONTRADO", "REGISTRO_BAT_NO_ENCONTRADO",
            "RENOMBRADO_A_2_ZIP", "EXE_NUEVO_EN_RAIZ_OK", "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES_ZIP", "COPIA_OK",
            "COPIA_OK", "COPIA_PATRONES_RESUMEN_ZIP"]
        [backup] = [p for p in (program / "actualizaciones").iterdir() if p.is_dir()]
        assert (backup / "mesalto.exe").read_bytes() == OLD
        worker.kill()
        subprocess.run(["wine", "taskkill", "/F", "/IM", "powershell.exe"], capture_output=True)
        assert bench.finish(worker, 20) != 0
        # The program is in place under its own name and starts.
        procs.start(["wine", program / "mesalto.exe"], cwd=program)
        assert wait_until(lambda: started(program) == [f"{w(program / 'mesalto.exe')}|{w(program)}"], 20)

    @pytest.mark.parametrize("lock", ["readable", "exclusive"])
    def test_new_executable_held_open_leaves_the_old_one(self, program, server, procs, registry, lock):
        # Once the package is unpacked, its registration script has a program
        # take hold of the new executable and waits until it has: readable,
        # it cannot be moved into place; held without sharing (as antivirus
        # holds it), it cannot even be read. (The holder is the test's own:
        # one started from the script may end with the script's console.)
        new_exe = program / "mesalto_v6" / "mesalto.exe"
        hold_once_unpacked(procs, program, new_exe, readable=lock == "readable")
        url = serve_zip(server, {"mesalto.exe": NEW, "registro.bat": HOLD_SCRIPT})
        settings = r"HKCU\SOFTWARE\VB and VBA Program Settings"
        registry.delete_key(settings)

        assert update(procs, program, url) == {"messages": 1, "progress": 90, "step": 2}
        lines = journal(program)
        root, aside = program / "mesalto.exe", program / "mesalto2.exe"
        [report] = report_bodies(server)
        if lock == "readable":
            [failure] = [line for line in lines if line.startswith("ERROR_MOVER_EXE_NUEVO_A_RAIZ;")]
            assert failure.startswith(f"ERROR_MOVER_EXE_NUEVO_A_RAIZ;{w(new_exe)};->;{w(root)};err=")
            # The old program goes back from its set-aside copy; nothing was
            # replaced, so nothing is backed up.
            assert lines[lines.index(failure) + 1] == f"RESTAURADO_EXE_ANTERIOR;{w(aside)};->;{w(root)}"
            assert "ARCHIVO_ANTERIOR_A_ACTUALIZACIONES_ZIP" not in codes(lines)
            assert (report["mensaje_error"], report["paso_fallido"]) == ("MoveFileWithRetry fallo", "MOVER_EXE_NUEVO")
            assert report["codigo_error"] == int(failure.rsplit("=", 1)[1])
        else:
            # A candidate that cannot be read is no "not a program": the
            # installation failed, with the sharing violation's code, and the
            # program was not touched.
            assert codes(lines)[-4:] == ["REGISTRO_BAT_EJECUTADO_ADMIN", "ZIP_EXE_ILEGIBLE", "LIMPIEZA_OK",
                                         "RELANZAR_APP"]
            assert f"ZIP_EXE_ILEGIBLE;{w(new_exe)};err=32" in lines
            assert (report["mensaje_error"], report["paso_fallido"], report["codigo_error"]) == \
                ("exe nuevo no legible", "LEER_EXE_NUEVO", 32)
        assert (report["resultado"], report["version_nueva"]) == ("INSTALACION_FALLIDA", "")
        assert root.read_bytes() == OLD
        assert not aside.exists() and not (program / "actualizaciones").exists()
        assert registry.query(settings + r"\Marvek Mesalto\Opciones", "TrevantoLastUpdate") is None
        assert wait_until(lambda: len(started(program)) == 1, 20)
