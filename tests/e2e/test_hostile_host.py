"""What a hostile vendor host answers, end to end under Wine: package names
that would take the place of the customer's or the agent's own files, a
program that cannot be set aside, links that are not web addresses, an
archiver the build does not pin, and pictures that would exhaust memory."""

import functools
import hashlib
import io
import json
import os
import re
import shutil
import struct
import subprocess
import zlib

import pytest

import bench
from bench import DOWNLOAD_HOST, IMAGE_HOST, journal, started, wait_until, winpath as w
from fault_server import Answer
from test_alerts import H, WHITE, click, near, png, screen_when, web_link_opener
from test_update import NEW, OLD, assert_name_refused, codes, program, report_bodies, serve_zip, update  # noqa: F401

NOT_TRUSTED = 0x80096010  # TRUST_E_BAD_DIGEST


def as_int32(code: int) -> int:
    return code - (1 << 32) if code >= 1 << 31 else code


def short_name(procs, path) -> str:
    return bytes.fromhex(bench.harness(procs, "short-name", w(path))["short_name"]).decode("latin-1")


def listing(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def assert_refused_untouched(program, server, url, before):
    """NOMBRE_PAQUETE_INVALIDO: nothing fetched, nothing in the folder changed
    but the journal and the relaunched program's record."""
    assert_name_refused(program, server, url)
    assert server.requests_to(url.split(DOWNLOAD_HOST, 1)[1]) == []
    after = [p for p in listing(program) if not p.startswith("actualizador_registros")
             and p != "mesalto.exe.arranques.txt"]
    assert after == before


class TestFoldersAndFilesThatAreNotThePackages:
    def test_zip_named_after_a_folder_of_the_customer_leaves_it_whole(self, program, server, procs):
        (program / "Datos").mkdir()
        (program / "Datos" / "CLIENTES.MDB").write_bytes(b"clientes")
        # Unpacked into the customer's folder, the package's own CLIENTES.MDB would replace theirs.
        url = serve_zip(server, {"mesalto.exe": NEW, "CLIENTES.MDB": b"del paquete"}, name="Datos.zip")

        assert update(procs, program, url)["step"] == 3

        own = program / "Datos_2"
        lines = journal(program)
        assert f"CARPETA_EXTRACCION_OCUPADA;{w(program / 'Datos')};->;{w(own)}" in lines
        assert journal(program, "extracciones.csv") == [f"UNZIP_7ZA;{w(program / 'Datos.zip')};->;{w(own)};OK;ec=0"]
        assert (own / "CLIENTES.MDB").read_bytes() == b"del paquete"
        assert listing(program / "Datos") == ["CLIENTES.MDB"]
        assert (program / "Datos" / "CLIENTES.MDB").read_bytes() == b"clientes"
        assert (program / "mesalto.exe").read_bytes() == NEW
        assert report_bodies(server)[0]["resultado"] == "OK"

    @pytest.mark.parametrize("target,extension", [("actualizaciones", ".zip"), ("actualizar_agente.bat", "")])
    def test_short_name_of_an_agent_folder_or_file_is_refused(self, program, server, procs, target, extension):
        # The backups (a package unpacked there would once have emptied them),
        # or the hand-over's batch file (a package stored there would replace it).
        (program / "actualizaciones" / "260101_000000").mkdir(parents=True)
        (program / "actualizaciones" / "260101_000000" / "mesalto.exe").write_bytes(OLD)
        (program / "actualizaciones" / "260101_000000.zip").write_bytes(b"copia")
        (program / "actualizar_agente.bat").write_bytes(b"@echo off\r\n")
        alias = short_name(procs, program / target)
        assert alias.lower() != target and "~" in alias
        name = alias + extension
        server.answer(f"/paquetes/{name}", Answer(body=bench.zip_bytes({"mesalto.exe": NEW})))
        url = f"https://{DOWNLOAD_HOST}/paquetes/{name}"
        before = listing(program)

        assert update(procs, program, url) == {"messages": 1, "progress": 0, "step": 0}
        assert_refused_untouched(program, server, url, before)
        assert (program / "actualizar_agente.bat").read_bytes() == b"@echo off\r\n"
        assert (program / "actualizaciones" / "260101_000000.zip").read_bytes() == b"copia"

    # By name alone: none of these stands in the folder (the archiver is
    # taken away for "7za.exe"), so only the rule on names can refuse them.
    @pytest.mark.parametrize("name", ["TREVANTO.EXE", "7za.exe", "TREVANTO_NEW.EXE", "actualizar_agente.bat",
                                      "mesalto2.exe", "versiones", "Trevanto2.exe"])
    def test_names_of_the_agents_own_files_are_refused(self, program, server, procs, name):
        (program / "7za.exe").unlink()
        server.answer(f"/paquetes/{name}", Answer(body=NEW))
        url = f"https://{DOWNLOAD_HOST}/paquetes/{name}"
        before = listing(program)
        agent = (program / "trevanto.exe").read_bytes()

        assert update(procs, program, url) == {"messages": 1, "progress": 0, "step": 0}
        assert_refused_untouched(program, server, url, before)
        assert (program / "trevanto.exe").read_bytes() == agent

    def test_data_file_offered_as_a_package_is_kept_in_a_backup_first(self, program, server, procs):
        server.answer("/paquetes/DATOS.MDB", Answer(body=NEW))
        url = f"https://{DOWNLOAD_HOST}/paquetes/DATOS.MDB"

        assert update(procs, program, url) == {"messages": 1, "progress": 100, "step": 3}

        [backup] = [p for p in (program / "actualizaciones").iterdir()]
        assert re.fullmatch(r"\d{6}_\d{6}", backup.name)
        data = w(program / "DATOS.MDB")
        lines = journal(program)
        assert lines[1:3] == [f"COPIA_PREVIA_PAQUETE;{data};->;{w(backup / 'DATOS.MDB')}", f"DESCARGA;{url};{data}"]
        assert codes(lines) == ["TASKKILL_APP", "COPIA_PREVIA_PAQUETE", "DESCARGA", "RELANZAR_APP"]
        assert (backup / "DATOS.MDB").read_bytes() == b"base de datos"
        assert listing(backup) == ["DATOS.MDB"]
        assert (program / "DATOS.MDB").read_bytes() == NEW
        assert (program / "mesalto.exe").read_bytes() == OLD


class TestProgramThatCannotBeSetAside:
    def test_zip_update_fails_and_leaves_the_program(self, program, server, procs, registry):
        # Held open without read sharing by another program (as antivirus
        # holds it), the program can be neither copied aside nor replaced.
        settings = r"HKCU\SOFTWARE\VB and VBA Program Settings"
        registry.delete_key(settings)
        holder = program.parent / "bloqueador.exe"
        shutil.copy(bench.DOUBLES / "sibling_5_2_1_0.exe", holder)
        procs.start(["wine", holder], cwd=program.parent, env={"TREVANTO_LOCK_FILE": w(program / "mesalto.exe")})
        assert wait_until(lambda: len(started(program.parent, "bloqueador.exe")) == 1, 20)
        url = serve_zip(server, {"mesalto.exe": NEW})

        assert update(procs, program, url) == {"messages": 1, "progress": 90, "step": 2}

        lines = journal(program)
        exe = w(program / "mesalto.exe")
        assert f"ERROR_RENOMBRAR_A_2_ZIP;{exe};err=32" in lines
        assert "ZIP_EXE_SIN_MATCH_EN_RAIZ" not in codes(lines) and "EXE_NUEVO_EN_RAIZ_OK" not in codes(lines)
        assert lines[-1].startswith(f"RELANZAR_APP;{exe};hinst=")
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"], report["mensaje_error"], report["paso_fallido"],
                report["version_nueva"]) == ("INSTALACION_FALLIDA", 32, "exe anterior no copiable",
                                             "COPIAR_EXE_ANTERIOR", "")
        subprocess.run(["wine", "taskkill", "/F", "/IM", "bloqueador.exe"], capture_output=True)
        assert wait_until(lambda: (program / "mesalto.exe").read_bytes() == OLD, 20)
        assert not (program / "mesalto2.exe").exists() and not (program / "actualizaciones").exists()
        assert registry.query(settings + r"\Marvek Mesalto\Opciones", "TrevantoLastUpdate") is None


class TestLinks:
    def test_only_web_links_are_opened_and_the_others_journalled_once(self, tmp_path, vendor, procs, registry):
        opener = web_link_opener(tmp_path, registry)
        colours = [(220, 0, 0), (0, 200, 0), (0, 0, 230), (200, 0, 200), (0, 200, 200)]
        for i, colour in enumerate(colours):
            vendor.put_file(f"/uploads/celda{i}.png", png(100, 100, colour))
        links = [w(opener), "file:///" + w(opener).replace("\\", "/"), "HTTPS://www.marvek.example/ofertas"]
        cells = [{"texto": f"Celda {i}", "imagen": f"https://{IMAGE_HOST}/uploads/celda{i}.png"} for i in range(5)]
        for cell, link in zip(cells, links):
            cell["enlace"] = link
        folder = bench.make_program_folder(tmp_path, name="Marvek Mesalto")
        vendor.data.joinpath("notificaciones", "MarvekMesalto.json").write_text(
            json.dumps({"alertas": [{"tipo": "boton_multiple", "columnas": "2", "contenido": cells}]}))
        vendor.start()
        agent = bench.start_agent(procs, folder)

        screen_when(lambda s: near(s.getpixel((324, 216)), colours[0]))
        for x, y in [(324, 216), (324, 216), (954, 216), (954, 216)]:
            click(x, y)
        ignored = [f"ENLACE_NO_WEB_IGNORADO;{link}" for link in links[:2]]
        assert wait_until(lambda: [line for line in journal(folder) if line.startswith("ENLACE_")] == ignored, 20)
        click(324, 439)
        assert wait_until(lambda: len(started(opener.parent, "abrir.exe")) == 1, 20)
        click(640, H - 20)
        assert bench.finish(agent, 30) == 0
        assert len(started(opener.parent, "abrir.exe")) == 1
        assert [line for line in journal(folder) if line.startswith("ENLACE_")] == ignored


class TestArchiverPin:
    def test_archiver_not_pinned_is_replaced_at_start_without_running(self, tmp_path, server, procs):
        server.answer("/parches/7za.exe", Answer(body=bench.SEVEN_ZIP.read_bytes()), host=DOWNLOAD_HOST)
        folder = bench.make_program_folder(tmp_path, with_archiver=False)
        other = (bench.DOUBLES / "sibling_noversion.exe").read_bytes()  # a program, but not 7-Zip
        (folder / "7za.exe").write_bytes(other)

        assert bench.run_agent(procs, folder) == 0

        assert (folder / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()
        assert journal(folder)[0] == \
            f"7ZA_NO_CONFIABLE_ELIMINADO;{w(folder / '7za.exe')};sha256={hashlib.sha256(other).hexdigest()}"
        assert started(folder, "7za.exe") == []

    def test_download_that_is_not_pinned_is_deleted_with_the_error_box(self, tmp_path, server, procs):
        other = (bench.DOUBLES / "sibling_noversion.exe").read_bytes()
        server.answer("/parches/7za.exe", Answer(body=other), host=DOWNLOAD_HOST)
        folder = bench.make_program_folder(tmp_path, with_archiver=False)
        agent = bench.start_agent(procs, folder)

        title = "Trevanto - Error descargando 7za.exe"
        box = bench.wait_window(title)
        assert box is not None and box["icon"] == "error"
        assert f"No se pudo descargar 7za.exe desde:\nhttps://{DOWNLOAD_HOST}/parches/7za.exe\n\nError: {NOT_TRUSTED}" \
            in box["texts"]
        assert not (folder / "7za.exe").exists()
        assert bench.press(title)
        assert bench.finish(agent, 60) == 0
        assert journal(folder)[0] == f"7ZA_DESCARGADO_NO_CONFIABLE;https://{DOWNLOAD_HOST}/parches/7za.exe;" \
                                     f"sha256={hashlib.sha256(other).hexdigest()}"

    def test_update_never_runs_an_archiver_that_is_not_pinned(self, program, server, procs):
        # A program that ends at once: run as 7za.exe, it would fail the
        # extraction with its own exit code.
        shutil.copy(bench.DOUBLES / "find.exe", program / "7za.exe")
        url = serve_zip(server, {"mesalto.exe": NEW})

        assert update(procs, program, url) == {"messages": 1, "progress": 75, "step": 1}

        digest = hashlib.sha256((program / "7za.exe").read_bytes()).hexdigest()
        assert f"7ZA_NO_CONFIABLE;{w(program / '7za.exe')};sha256={digest}" in journal(program)
        assert journal(program, "extracciones.csv") == \
            [f"UNZIP_7ZA;{w(program / 'mesalto_v6.zip')};->;{w(program / 'mesalto_v6')};ERROR;ec={NOT_TRUSTED}"]
        [report] = report_bodies(server)
        assert (report["resultado"], report["codigo_error"]) == ("DESCOMPRESION_FALLIDA", as_int32(NOT_TRUSTED))
        assert (program / "mesalto.exe").read_bytes() == OLD


@functools.lru_cache(maxsize=None)
def huge_png() -> bytes:
    """A valid PNG of 2.6 MB announcing 30,000 x 30,000 RGB pixels (rows of zeros)."""
    width = height = 30000
    row = b"\0" + bytes(width * 3)
    deflate = zlib.compressobj(9)
    data = b"".join(deflate.compress(row) for _ in range(height)) + deflate.flush()

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def noise_png(megabytes: int) -> bytes:
    """A PNG of random pixels of at least that size (it does not compress)."""
    from PIL import Image
    side = int((megabytes * 1024 * 1024 / 3) ** 0.5) + 1
    buffer = io.BytesIO()
    Image.frombytes("RGB", (side, side), os.urandom(side * side * 3)).save(buffer, "PNG", compress_level=0)
    return buffer.getvalue()


class TestPictures:
    def test_huge_and_repeated_pictures_neither_end_the_agent_nor_repeat_fetches(self, tmp_path, vendor, procs):
        vendor.put_file("/uploads/enorme.png", huge_png())
        shared = noise_png(2)
        assert len(shared) >= 2 << 20
        vendor.put_file("/uploads/compartida.png", shared)
        vendor.put_file("/uploads/verde.png", png(100, 100, (0, 200, 0)))
        shared_url = f"https://{IMAGE_HOST}/uploads/compartida.png"
        folder = bench.make_program_folder(tmp_path, name="Marvek Mesalto")
        vendor.data.joinpath("notificaciones", "MarvekMesalto.json").write_text(json.dumps({"alertas": [
            {"tipo": "boton_unico", "contenido": [{"texto": "Enorme", "imagen": f"https://{IMAGE_HOST}/uploads/enorme.png"}]},
            {"tipo": "boton_multiple", "columnas": "8",
             "contenido": [{"texto": f"{i}", "imagen": shared_url} for i in range(40)]},
            {"tipo": "boton_unico", "contenido": [{"texto": "Verde", "imagen": f"https://{IMAGE_HOST}/uploads/verde.png"}]},
            {"tipo": "solo_mensaje", "contenido": [{"texto": "Mensaje", "color_fondo": "#FFFF00"}]},
        ]}))
        vendor.start()
        agent = bench.start_agent(procs, folder)

        # The huge picture is left out: its window shows its frame and no picture.
        screen_when(lambda s: near(s.getpixel((25, 105)), WHITE) and near(s.getpixel((640, 500)), WHITE))
        assert agent.poll() is None
        click(640, H - 20)
        # The grid: forty cells sharing one picture (its noise is no single colour).
        screen_when(lambda s: len({s.getpixel((x, y)) for x in range(0, 1280, 7) for y in range(100, H - 60, 7)}) > 500)
        click(640, H - 20)
        screen_when(lambda s: near(s.getpixel((640, 500)), (0, 200, 0)))
        click(640, H - 20)
        screen_when(lambda s: near(s.getpixel((25, 105)), (255, 255, 0)))
        click(640, H - 20)
        assert bench.finish(agent, 60) == 0
        fetched = [line.split()[3] for line in vendor.log() if "/uploads/" in line]
        assert sorted(fetched) == [f"{IMAGE_HOST}/uploads/{name}.png" for name in ("compartida", "enorme", "verde")]
