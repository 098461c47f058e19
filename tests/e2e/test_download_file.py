"""DownloadToFile against the fault server, through the harness."""

import pytest

from bench import DOWNLOAD_HOST, harness, winpath
from fault_server import Answer

URL = f"https://{DOWNLOAD_HOST}/parches/archivo.bin"
BODY = bytes(range(256)) * 1000  # 256,000 bytes, several transfer buffers


def download(procs, target, url=URL):
    return harness(procs, "download-file", url, winpath(target))


class TestSuccess:
    def test_body_is_stored_byte_for_byte(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=BODY))
        target = tmp_path / "archivo.bin"
        assert download(procs, target) == {"ok": True, "error": 0}
        assert target.read_bytes() == BODY

    def test_existing_target_is_replaced(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=b"nuevo"))
        target = tmp_path / "archivo.bin"
        target.write_bytes(b"antiguo y mas largo")
        assert download(procs, target)["ok"] is True
        assert target.read_bytes() == b"nuevo"

    def test_empty_body_gives_empty_file(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=b""))
        target = tmp_path / "archivo.bin"
        assert download(procs, target) == {"ok": True, "error": 0}
        assert target.read_bytes() == b""

    def test_body_without_content_length(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=BODY, content_length=None))
        target = tmp_path / "archivo.bin"
        assert download(procs, target)["ok"] is True
        assert target.read_bytes() == BODY

    @pytest.mark.parametrize("status", [201, 204])
    def test_other_success_statuses(self, tmp_path, server, procs, status):
        body = b"" if status == 204 else b"creado"
        server.answer("/parches/archivo.bin", Answer(status=status, body=body))
        target = tmp_path / "archivo.bin"
        assert download(procs, target) == {"ok": True, "error": 0}
        assert target.read_bytes() == body

    def test_null_error_pointer_is_accepted(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=b"x"))
        target = tmp_path / "archivo.bin"
        assert harness(procs, "download-file-nocode", URL, winpath(target)) == {"ok": True}
        server.answer("/parches/archivo.bin", Answer(status=500, body=b"x"))
        assert harness(procs, "download-file-nocode", URL, winpath(target)) == {"ok": False}


class TestFailure:
    @pytest.mark.parametrize("status", [301, 400, 404, 500, 503])
    def test_error_status_fails_with_status_and_deletes_target(self, tmp_path, server, procs, status):
        server.answer("/parches/archivo.bin", Answer(status=status, body=b"<html>error</html>"))
        target = tmp_path / "archivo.bin"
        target.write_bytes(b"resto de un intento anterior")
        assert download(procs, target) == {"ok": False, "error": status}
        assert not target.exists()

    def test_connection_dropped_mid_body_fails_and_deletes_target(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=BODY, drop_after=100_000))
        target = tmp_path / "archivo.bin"
        result = download(procs, target)
        assert result["ok"] is False
        assert result["error"] != 0
        assert not target.exists()

    def test_unreachable_host(self, tmp_path, server, procs, hosts):
        hosts.map(DOWNLOAD_HOST, "127.0.0.2")
        target = tmp_path / "archivo.bin"
        assert download(procs, target) == {"ok": False, "error": 12029}
        assert not target.exists()
        assert server.requests == []

    def test_missing_folder_fails_at_file_creation(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=b"x"))
        target = tmp_path / "no_existe" / "archivo.bin"
        assert download(procs, target) == {"ok": False, "error": 3}

    def test_server_closing_without_answer(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(close_without_answer=True))
        target = tmp_path / "archivo.bin"
        result = download(procs, target)
        assert result["ok"] is False
        assert not target.exists()


class TestAnnouncedLength:
    def test_body_shorter_than_announced_fails_and_deletes_target(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=BODY, content_length=len(BODY) + 5000))
        target = tmp_path / "archivo.bin"
        result = download(procs, target)
        assert result["ok"] is False
        assert result["error"] != 0
        assert not target.exists()

    def test_slow_answer_within_limits_succeeds(self, tmp_path, server, procs):
        server.answer("/parches/archivo.bin", Answer(body=b"lento", delay=2.0))
        target = tmp_path / "archivo.bin"
        assert download(procs, target) == {"ok": True, "error": 0}
        assert target.read_bytes() == b"lento"
