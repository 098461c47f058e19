"""Mode selection and the archiver bootstrap, with the real trevanto.exe."""

import pytest

import bench
from bench import DOWNLOAD_HOST, make_program_folder, press, run_agent, start_agent, wait_window
from fault_server import Answer

BOX_TITLE = "Trevanto - Error descargando 7za.exe"
BOOTSTRAP_URL = f"https://{DOWNLOAD_HOST}/parches/7za.exe"
CHECKIN_PATH = "/apis/trevanto/v1/checkin"


def box_text(code: int) -> str:
    return f"No se pudo descargar 7za.exe desde:\n{BOOTSTRAP_URL}\n\nError: {code}"


def download_host_requests(server):
    return [r for r in server.requests if r.host == DOWNLOAD_HOST]


def serve_archiver(server):
    server.answer("/parches/7za.exe", Answer(body=bench.SEVEN_ZIP.read_bytes()), host=DOWNLOAD_HOST)


class TestModeSelection:
    # A 7za.exe that is there but is no program (a page an earlier run kept)
    # is fetched again like a missing one.
    @pytest.mark.parametrize("left", [None, b"<html>portal</html>"], ids=["missing", "not-a-program"])
    def test_sibling_program_selects_agent_mode_and_fetches_missing_archiver(self, tmp_path, server, procs, left):
        serve_archiver(server)
        folder = make_program_folder(tmp_path, siblings=("mesalto.exe",), with_archiver=False)
        if left is not None:
            (folder / "7za.exe").write_bytes(left)

        assert run_agent(procs, folder) == 0

        assert (folder / "7za.exe").read_bytes() == bench.SEVEN_ZIP.read_bytes()
        [request] = download_host_requests(server)
        assert (request.method, request.host, request.target) == ("GET", DOWNLOAD_HOST, "/parches/7za.exe")
        assert request.header("User-Agent") == "Trevanto-Downloader"

    @pytest.mark.parametrize("layout", ["empty", "directory-named-olvo"])
    def test_no_sibling_selects_installer_mode(self, tmp_path, server, procs, layout):
        serve_archiver(server)
        folder = make_program_folder(tmp_path, siblings=(), with_archiver=False)
        if layout == "directory-named-olvo":
            (folder / "olvo.exe").mkdir()

        agent = start_agent(procs, folder)

        # The installer window waits for the user; the agent-mode stages never
        # ran: no archiver download was attempted.
        window = wait_window("Actualizador Marvek")
        assert window is not None and window["class"] == "TrevantoInstaladorWnd"
        assert agent.poll() is None
        assert download_host_requests(server) == []
        assert not (folder / "7za.exe").exists()

    def test_any_catalogue_name_selects_agent_mode(self, tmp_path, server, procs):
        serve_archiver(server)
        folder = make_program_folder(tmp_path, siblings=("tijeral.exe",), with_archiver=False)
        (folder / "mesalto.exe").mkdir()

        assert run_agent(procs, folder) == 0
        assert len(server.requests_to("/parches/7za.exe")) == 1


class TestArchiverBootstrap:
    def test_present_archiver_means_no_request(self, tmp_path, server, procs):
        serve_archiver(server)
        folder = make_program_folder(tmp_path, with_archiver=True)

        assert run_agent(procs, folder) == 0
        assert download_host_requests(server) == []

    # A page that is no program (no "MZ"), even with status 200, is a failed
    # download with code 193 (ERROR_BAD_EXE_FORMAT).
    @pytest.mark.parametrize("status,code", [(404, 404), (200, 193)])
    def test_error_or_non_program_shows_box_and_run_goes_on(self, tmp_path, server, procs, status, code):
        server.answer("/parches/7za.exe", Answer(status=status, body=b"<html>no existe</html>"))
        folder = make_program_folder(tmp_path, with_archiver=False)

        agent = start_agent(procs, folder)
        box = wait_window(BOX_TITLE)
        assert box is not None, "the error box did not appear"
        assert box["class"] == "#32770"
        assert box_text(code) in box["texts"]
        assert box["icon"] == "error"
        assert agent.poll() is None, "the agent must wait for the box to be dismissed"

        assert press(BOX_TITLE)
        assert bench.finish(agent) == 0
        # The error page is not kept as 7za.exe, and the run went on to the check-in.
        assert not (folder / "7za.exe").exists()
        assert [r.method for r in server.requests_to(CHECKIN_PATH)] == ["POST"]

    def test_unreachable_host_shows_winine_code(self, tmp_path, server, procs, hosts):
        hosts.map(DOWNLOAD_HOST, "127.0.0.2")
        folder = make_program_folder(tmp_path, with_archiver=False)

        agent = start_agent(procs, folder)
        box = wait_window(BOX_TITLE)
        assert box is not None
        assert box_text(12029) in box["texts"]
        assert press(BOX_TITLE)
        assert bench.finish(agent) == 0
        assert download_host_requests(server) == []

    def test_directory_named_7za_counts_as_missing(self, tmp_path, server, procs):
        serve_archiver(server)
        folder = make_program_folder(tmp_path, with_archiver=False)
        (folder / "7za.exe").mkdir()

        agent = start_agent(procs, folder)
        box = wait_window(BOX_TITLE)
        assert box is not None
        # The file cannot be created over the directory: access denied (5).
        assert box_text(5) in box["texts"]
        assert press(BOX_TITLE)
        assert bench.finish(agent) == 0
        assert (folder / "7za.exe").is_dir()


class TestModulePath:
    def test_path_of_260_characters_or_more_ends_silently(self, tmp_path, server, procs):
        serve_archiver(server)
        base = tmp_path
        while len(bench.winpath(base / "trevanto.exe")) < 270:
            base = base / ("carpeta_larga_" + "x" * 20)
        folder = make_program_folder(base, name="p", with_archiver=False)
        assert len(bench.winpath(folder / "trevanto.exe")) >= 260

        assert run_agent(procs, folder) == 0
        assert server.requests == []
        assert not (folder / "7za.exe").exists()
