"""The in-memory fetches against the fault server, through the harness."""

import pytest

import bench
from bench import DOWNLOAD_HOST, IMAGE_HOST, harness, winpath
from fault_server import Answer

PACKAGE = "/paquetes/mesalto.zip"
URL = f"https://{DOWNLOAD_HOST}{PACKAGE}"
BODY = bytes((i * 7) % 251 for i in range(300_000))


def fetch(procs, tmp_path, verb="fetch-url", url=URL):
    out = tmp_path / "cuerpo.bin"
    result = harness(procs, verb, url, winpath(out))
    return result, out.read_bytes()


class TestPackageFetch:
    def test_whole_body_with_user_agent_and_progress_to_70(self, tmp_path, server, procs):
        server.answer(PACKAGE, Answer(body=BODY))
        result, body = fetch(procs, tmp_path)
        assert (result["ok"], result["error"], result["size"]) == (True, 0, len(BODY))
        assert body == BODY
        assert result["progress"][-1] == 70
        assert result["progress"] == sorted(result["progress"])
        assert server.requests[0].header("User-Agent") == "UrlAct"

    def test_progress_follows_announced_length(self, tmp_path, server, procs):
        # WinINet fills the 65,536-byte read buffer before it returns, so the
        # chunks are 65,536 and 34,464 bytes of 100,000 announced.
        server.answer(PACKAGE, Answer(body=b"a" * 100_000, segments=[(65_536, 1.0), (34_464, 0.0)]))
        result, body = fetch(procs, tmp_path)
        assert result["ok"] is True and body == b"a" * 100_000
        assert result["progress"] == [45, 70]

    # The 32-bit build is large-address aware: about 2 GB can be reserved, not 3 or 4.
    @pytest.mark.skipif(bench.WINE_KIND == "win64", reason="a 64-bit build can reserve any length WinINet announces")
    @pytest.mark.parametrize("announced", [3_000_000_000, 4_000_000_000])
    def test_announced_length_beyond_address_space_is_out_of_memory(self, tmp_path, server, procs, announced):
        server.answer(PACKAGE, Answer(body=b"a" * 1000, content_length=announced))
        result, body = fetch(procs, tmp_path)
        assert (result["ok"], result["error"], result["size"]) == (False, 8, 0)
        assert body == b""

    def test_no_content_length_writes_no_progress(self, tmp_path, server, procs):
        server.answer(PACKAGE, Answer(body=BODY, content_length=None))
        result, body = fetch(procs, tmp_path)
        assert result["ok"] is True and body == BODY
        assert result["progress"] == []

    def test_bytes_beyond_announced_length_are_not_read(self, tmp_path, server, procs):
        # WinINet ends the body at its Content-Length, so the progress stops at
        # 70 (the reader's own arithmetic beyond 70 is unit-tested natively).
        server.answer(PACKAGE, Answer(body=b"b" * 1500, content_length=1000))
        result, body = fetch(procs, tmp_path)
        assert (result["ok"], result["size"]) == (True, 1000)
        assert body == b"b" * 1000
        assert result["progress"] == [70]

    @pytest.mark.parametrize("status", [404, 500])
    def test_error_status_is_a_failure_with_the_status(self, tmp_path, server, procs, status):
        server.answer(PACKAGE, Answer(status=status, body=b"<html>error</html>"))
        result, body = fetch(procs, tmp_path)
        assert (result["ok"], result["error"], result["size"]) == (False, status, 0)
        assert body == b""

    def test_connection_dropped_is_a_failure(self, tmp_path, server, procs):
        server.answer(PACKAGE, Answer(body=BODY, drop_after=100_000))
        result, body = fetch(procs, tmp_path)
        assert result["ok"] is False and result["size"] == 0
        assert result["error"] != 0
        assert body == b""

    def test_shorter_than_announced_is_a_failure(self, tmp_path, server, procs):
        server.answer(PACKAGE, Answer(body=BODY, content_length=len(BODY) + 10))
        result, _ = fetch(procs, tmp_path)
        assert result["ok"] is False and result["size"] == 0 and result["error"] != 0

    def test_empty_body_is_a_failure(self, tmp_path, server, procs):
        server.answer(PACKAGE, Answer(body=b""))
        result, _ = fetch(procs, tmp_path)
        assert (result["ok"], result["error"], result["size"]) == (False, 0, 0)

    def test_unreachable_host(self, tmp_path, server, procs, hosts):
        hosts.map(DOWNLOAD_HOST, "127.0.0.2")
        result, _ = fetch(procs, tmp_path)
        assert (result["ok"], result["error"], result["size"]) == (False, 12029, 0)


class TestPictureAndRtfFetch:
    @pytest.mark.parametrize("verb,agent", [("fetch-image", "MyApp"), ("fetch-rtf", "RTFMod")])
    def test_body_user_agent_and_no_progress(self, tmp_path, server, procs, verb, agent):
        server.answer("/uploads/foto.png", Answer(body=BODY[:10_000]))
        result, body = fetch(procs, tmp_path, verb, f"https://{IMAGE_HOST}/uploads/foto.png")
        assert result == {"ok": True, "size": 10_000, "progress": -7}
        assert body == BODY[:10_000]
        assert server.requests[0].header("User-Agent") == agent

    @pytest.mark.parametrize("verb", ["fetch-image", "fetch-rtf"])
    def test_error_page_comes_back_as_body(self, tmp_path, server, procs, verb):
        server.answer("/uploads/foto.png", Answer(status=404, body=b"no existe"))
        result, body = fetch(procs, tmp_path, verb, f"https://{IMAGE_HOST}/uploads/foto.png")
        assert result["ok"] is True and body == b"no existe"

    @pytest.mark.parametrize("verb", ["fetch-image", "fetch-rtf"])
    def test_empty_body_is_false(self, tmp_path, server, procs, verb):
        server.answer("/uploads/foto.png", Answer(body=b""))
        result, body = fetch(procs, tmp_path, verb, f"https://{IMAGE_HOST}/uploads/foto.png")
        assert result["ok"] is False and body == b""
