"""The self-update check: the real agent and CheckSelfUpdate through the harness.

Wine's own tasklist prints nothing; the bench installs a tasklist double that
does answer /FI "PID eq <n>", so the batch file's wait loop runs for real.
"""

import shutil
import time

import pytest

import bench
from bench import API_HOST, DOWNLOAD_HOST, finish, make_program_folder, press, start_agent, wait_until, \
    wait_window, winpath
from fault_server import Answer

VERSION_PATH = "/apis/trevanto/v1/agente-version?version=1.26.0803"
NEW_PATH = "/agente/1.26.0900/trevanto.exe"
NEW_URL = f"https://{DOWNLOAD_HOST}{NEW_PATH}"
BOX_TITLE = "Trevanto - Error de auto-actualización"
CHECKIN_PATH = "/apis/trevanto/v1/checkin"

# The "new agent" is a sibling double: it records where and how it was started.
NEW_AGENT = (bench.DOUBLES / "sibling_6_0_3_17.exe").read_bytes()


def offer(server, body: bytes, new_status=200, new_body=NEW_AGENT):
    server.answer(VERSION_PATH, Answer(body=body), host=API_HOST)
    server.answer(NEW_PATH, Answer(status=new_status, body=new_body), host=DOWNLOAD_HOST)


def expected_batch(pid: int, new: bytes, cur: bytes) -> bytes:
    p = str(pid).encode()
    return (b"@echo off\r\n"
            b":: Esperar a que el proceso padre termine\r\n"
            b":wait\r\n"
            b'tasklist /FI "PID eq ' + p + b'" 2>NUL | find /I "' + p + b'" >NUL\r\n'
            b"if not errorlevel 1 (\r\n"
            b"    ping -n 2 127.0.0.1 >NUL\r\n"
            b"    goto wait\r\n"
            b")\r\n"
            b":: Reemplazar exe\r\n"
            b'copy /Y "' + new + b'" "' + cur + b'"\r\n'
            b'del /F /Q "' + new + b'"\r\n'
            b":: Relanzar actualizador\r\n"
            b'start "" "' + cur + b'"\r\n'
            b":: Autoeliminarse\r\n"
            b'(goto) 2>NUL & del "%~f0"\r\n')


def oem(path) -> bytes:
    """A Wine path in the console code page of the prefix (437), each % doubled for cmd.exe."""
    return winpath(path).encode("cp437").replace(b"%", b"%%")


def run_self_update_harness(procs, folder, linger_ms=0):
    """Runs CheckSelfUpdate from a copy of the harness inside the folder."""
    agent = folder / "agente_prueba.exe"
    shutil.copy(bench.HARNESS, agent)
    proc = procs.start(["wine", agent, "self-update", winpath(folder), str(linger_ms)], cwd=folder)
    first_line = bench.first_line(proc)
    return proc, agent, first_line


class TestOfferedUpdate:
    def test_agent_downloads_hands_over_and_is_replaced_and_restarted(self, tmp_path, server, procs):
        # The real agent takes a new one only as the vendor's statement names it.
        offer(server, bench.agent_answer(NEW_URL, NEW_AGENT))
        # An unescaped % would make cmd.exe take "% A\xa4o\\...\\100%" for a variable.
        folder = make_program_folder(tmp_path, name="Jos\u00e9 100% A\u00f1o")

        assert finish(start_agent(procs, folder)) == 0

        # No check-in after the hand-over.
        assert [(r.method, r.target) for r in server.requests] == [("GET", VERSION_PATH), ("GET", NEW_PATH)]
        # Once the agent has ended, the batch file copies the new executable
        # over it, deletes the download and starts it in the program folder.
        record = folder / "trevanto.exe.arranques.txt"
        assert wait_until(lambda: record.exists(), 30), "the new agent was not started"
        assert (folder / "trevanto.exe").read_bytes() == NEW_AGENT
        assert not (folder / "trevanto_new.exe").exists()
        exe = winpath(folder / "trevanto.exe")
        assert record.read_bytes().decode("utf-8") == f"{exe}|{winpath(folder)}\r\n"
        batch = (folder / "actualizar_agente.bat").read_bytes()
        pid = int(batch.split(b"PID eq ")[1].split(b'"')[0])
        assert batch == expected_batch(pid, oem(folder / "trevanto_new.exe"), oem(folder / "trevanto.exe"))
        assert b"Jos\x82 100%% A\xa4o" in batch

    def test_batch_waits_for_the_agent_to_end(self, tmp_path, server, procs):
        offer(server, b'{"url":"' + NEW_URL.encode() + b'"}')
        folder = make_program_folder(tmp_path)

        proc, agent, line = run_self_update_harness(procs, folder, linger_ms=4000)
        assert '"handed_over":true' in line
        pid = int(line.split('"pid":')[1].split("}")[0])
        batch = folder / "actualizar_agente.bat"
        assert batch.read_bytes() == expected_batch(pid, oem(folder / "trevanto_new.exe"), oem(agent))
        assert (folder / "trevanto_new.exe").read_bytes() == NEW_AGENT

        # While the old agent still runs, nothing is replaced.
        time.sleep(2.0)
        assert proc.poll() is None
        assert agent.read_bytes() != NEW_AGENT
        assert finish(proc) == 0
        assert wait_until(lambda: (folder / "agente_prueba.exe.arranques.txt").exists(), 30)
        assert agent.read_bytes() == NEW_AGENT


class TestNoUpdate:
    def test_blank_after_colon_or_empty_url_or_error_status_means_no_update(self, tmp_path, server, procs):
        folder = make_program_folder(tmp_path)
        for body, status in ((b'{"url": "' + NEW_URL.encode() + b'"}', 200), (b'{"url":""}', 200),
                             (b'{"version":"1.26.0803"}', 200), (b'{"url":"' + NEW_URL.encode() + b'"}', 500)):
            server.reset()
            server.answer(VERSION_PATH, Answer(status=status, body=body))
            server.answer(NEW_PATH, Answer(body=NEW_AGENT))
            proc, agent, line = run_self_update_harness(procs, folder)
            assert '"handed_over":false' in line, body
            assert finish(proc) == 0
            assert server.requests_to(NEW_PATH) == []
            assert not (folder / "actualizar_agente.bat").exists()
            assert not (folder / "trevanto_new.exe").exists()

    def test_unreachable_service_means_no_update(self, tmp_path, server, procs, hosts):
        hosts.map(API_HOST, "127.0.0.2")
        folder = make_program_folder(tmp_path)
        proc, _, line = run_self_update_harness(procs, folder)
        assert '"handed_over":false' in line
        assert finish(proc) == 0
        assert server.requests == []


class TestFailedDownload:
    # A page that is no program (no "MZ"), even with status 200, must never
    # be handed over: a failed download with code 193 (ERROR_BAD_EXE_FORMAT).
    @pytest.mark.parametrize("status,code", [(404, 404), (200, 193)])
    def test_warning_box_then_run_goes_on_and_old_download_is_gone(self, tmp_path, server, procs, status, code):
        offer(server, bench.agent_answer(NEW_URL, NEW_AGENT), new_status=status, new_body=b"<html>portal</html>")
        folder = make_program_folder(tmp_path)
        (folder / "trevanto_new.exe").write_bytes(b"resto de otra vez")

        agent = start_agent(procs, folder)
        box = wait_window(BOX_TITLE)
        assert box is not None
        assert box["icon"] == "warning"
        assert f"No se pudo descargar la actualización del actualizador:\n{NEW_URL}\n\nError: {code}" in box["texts"]
        assert press(BOX_TITLE)
        assert finish(agent) == 0
        assert not (folder / "trevanto_new.exe").exists()
        assert not (folder / "actualizar_agente.bat").exists()
        assert (folder / "trevanto.exe").read_bytes() == bench.AGENT.read_bytes()
        assert [r.method for r in server.requests_to(CHECKIN_PATH)] == ["POST"]

    def test_escaped_slashes_are_handed_over_unchanged(self, tmp_path, server, procs):
        escaped = NEW_URL.replace("/", "\\/")
        server.answer(VERSION_PATH, Answer(body=bench.agent_answer(escaped, NEW_AGENT).replace(b"\\\\/", b"\\/")))
        folder = make_program_folder(tmp_path)

        agent = start_agent(procs, folder)
        box = wait_window(BOX_TITLE)
        assert box is not None
        [text] = [t for t in box["texts"] if t.startswith("No se pudo")]
        assert text.startswith(f"No se pudo descargar la actualización del actualizador:\n{escaped}\n\nError: ")
        assert press(BOX_TITLE)
        assert finish(agent) == 0
        assert server.requests_to(NEW_PATH) == []
