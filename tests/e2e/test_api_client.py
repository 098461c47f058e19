"""ApiPostJson and ApiGetJson against the fault server, through the harness."""

import pytest

from bench import API_HOST, harness, winpath
from fault_server import Answer

API_KEY = "qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-"
PATH = "/apis/trevanto/v1/update-report"
# What WinINet reports for a receive that fails on a reset connection.
READ_RESET_ERROR = "InternetReadFile fallo (codigo=12030)"


def post(procs, tmp_path, body: bytes, path=PATH):
    body_file = tmp_path / "cuerpo.json"
    body_file.write_bytes(body)
    return decode(harness(procs, "api-post", path, winpath(body_file)))


def get(procs, path):
    return decode(harness(procs, "api-get", path))


def decode(result):
    return {"ok": result["ok"], "body": bytes.fromhex(result["body_hex"]),
            "error": bytes.fromhex(result["error_hex"]).decode("latin-1")}


def header_lines(request):
    return request.raw_headers.decode("latin-1").split("\r\n")[1:]


class TestRequests:
    def test_post_carries_exact_headers_and_body(self, tmp_path, server, procs):
        server.answer(PATH, Answer(body=b'{"ok":true}'), host=API_HOST)
        body = b'{"Programa":"MarvekMesalto","url_parche":"C:\\\\x \xc3\xb1"}'

        assert post(procs, tmp_path, body) == {"ok": True, "body": b'{"ok":true}', "error": ""}

        [request] = server.requests
        assert (request.method, request.host, request.target) == ("POST", API_HOST, PATH)
        assert request.body == body
        assert request.header("Content-Type") == "application/json"
        assert request.header("Accept") == "application/json"
        assert request.header("X-Api-Key") == API_KEY
        assert request.header("User-Agent") == "Trevanto/1.26.0803"
        assert request.header("Content-Length") == str(len(body))
        # The agent's own headers come in the order it writes them.
        names = [line.split(":")[0] for line in header_lines(request)]
        assert names.index("Content-Type") < names.index("Accept") < names.index("X-Api-Key")

    def test_get_has_no_content_type_and_same_identity(self, tmp_path, server, procs):
        path = "/apis/trevanto/v1/agente-version?version=1.26.0803"
        server.answer(path, Answer(body=b'{"url":""}'))

        assert get(procs, path) == {"ok": True, "body": b'{"url":""}', "error": ""}

        [request] = server.requests
        assert (request.method, request.target) == ("GET", path)
        assert request.header("Content-Type") is None
        assert request.header("X-Api-Key") == API_KEY
        assert request.header("User-Agent") == "Trevanto/1.26.0803"
        assert request.body == b""

    def test_empty_post_body_is_sent_with_content_type(self, tmp_path, server, procs):
        server.answer(PATH, Answer(body=b""))
        assert post(procs, tmp_path, b"") == {"ok": True, "body": b"", "error": ""}
        [request] = server.requests
        assert request.header("Content-Type") == "application/json"
        assert request.header("Content-Length") == "0"


class TestStatuses:
    @pytest.mark.parametrize("status", [201, 204])
    def test_2xx_is_success(self, tmp_path, server, procs, status):
        body = b"" if status == 204 else b'{"creado":1}'
        server.answer(PATH, Answer(status=status, body=body))
        assert post(procs, tmp_path, b"{}") == {"ok": True, "body": body, "error": ""}

    @pytest.mark.parametrize("status", [301, 400, 404, 500])
    def test_other_statuses_fail_with_body_kept(self, tmp_path, server, procs, status):
        # (A 301 without Location: WinINet follows one that has it.)
        body = b'{"error":"algo"}'
        headers = {}
        server.answer(PATH, Answer(status=status, body=body, headers=headers))
        assert post(procs, tmp_path, b"{}") == {"ok": False, "body": body, "error": f"HTTP {status}"}
        path = "/apis/trevanto/v1/agente-version?version=1.26.0803"
        server.answer(path, Answer(status=status, body=body, headers=headers))
        assert get(procs, path) == {"ok": False, "body": body, "error": f"HTTP {status}"}

    def test_zero_bytes_inside_the_body_are_kept(self, tmp_path, server, procs):
        body = b'{"a":"x\x00y"}' + b"\x00" * 10 + b"fin" + bytes(range(256)) * 40
        server.answer(PATH, Answer(body=body))
        assert post(procs, tmp_path, b"{}")["body"] == body


class TestConnectionFailures:
    def test_unreachable_host_fails_at_sending(self, tmp_path, server, procs, hosts):
        hosts.map(API_HOST, "127.0.0.2")
        assert post(procs, tmp_path, b"{}") == {"ok": False, "body": b"",
                                                "error": "HttpSendRequestA fallo (codigo=12029)"}
        assert get(procs, "/x") == {"ok": False, "body": b"", "error": "HttpSendRequestA fallo (codigo=12029)"}
        assert server.requests == []

    def test_server_closing_without_answer(self, tmp_path, server, procs):
        server.answer(PATH, Answer(close_without_answer=True))
        result = post(procs, tmp_path, b"{}")
        assert result["ok"] is False
        assert result["error"] in ("HTTP 0",) or result["error"].startswith("HttpSendRequestA fallo (codigo=")

    def test_connection_reset_mid_body_fails_at_reading(self, tmp_path, server, procs):
        # Headers and part of the body arrive, then the connection is reset:
        # the cut document must not pass for the whole answer.
        body = b'{"alertas":[' + b'{"id":1},' * 2000 + b'{"id":2}]}'
        server.answer(PATH, Answer(body=body, segments=[(4000, 1.0)], drop_after=4000, reset=True))
        assert post(procs, tmp_path, b"{}") == {"ok": False, "body": b"", "error": READ_RESET_ERROR}
