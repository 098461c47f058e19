"""Packages uploaded through the console's API: streamed to a file as they
arrive (the service's memory does not grow with them), hashed on the way,
bounded by --upload-max-mb, and published under archivos/paquetes/ without
ever replacing a file already there; nothing is left behind by a refused
or broken upload."""

import hashlib
import json
import os
import subprocess

from servicio import PROGRAM, wait_for

OPERATOR, PASSWORD = "ana", "clave-de-subida-larga"


def log_in(service) -> dict:
    conn = service.console_connection()
    conn.request("POST", "/panel/api/entrar", body=json.dumps({"usuario": OPERATOR, "clave": PASSWORD}),
                 headers={"Content-Type": "application/json"})
    answer = conn.getresponse()
    body = json.loads(answer.read())
    assert answer.status == 200, body
    return {"Cookie": answer.getheader("Set-Cookie").split(";", 1)[0], "X-CSRF-Token": body["csrf"]}


def upload(service, name: str, body, headers: dict, length: int):
    """(status, JSON answer) of one upload; `body` may be an iterable of pieces."""
    conn = service.console_connection(timeout=120)
    try:
        conn.putrequest("POST", f"/panel/api/paquetes?nombre={name}")
        for key, value in dict(headers, **{"Content-Length": str(length)}).items():
            conn.putheader(key, value)
        conn.endheaders()
        try:
            for piece in body:
                conn.send(piece)
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused before the whole body was sent: the answer says why
        answer = conn.getresponse()
        return answer.status, json.loads(answer.read() or b"{}")
    finally:
        conn.close()


def pieces(data: bytes, size: int = 1 << 20):
    for at in range(0, len(data), size):
        yield data[at:at + size]


def test_a_package_is_streamed_to_disk_hashed_and_published_once(servicio):
    service = servicio()
    subprocess.run([str(PROGRAM), "operator", "add", "--data", str(service.data), "--db", str(service.db),
                    "--name", OPERATOR], input=PASSWORD + "\n", text=True, check=True, capture_output=True)
    service.start("--rate", "0", "--upload-max-mb", "48", panel="own")
    session = log_in(service)
    package = os.urandom(40 << 20)
    before = service.rss_kib()
    status, answer = upload(service, "mesalto_7.0.0.0.zip", pieces(package), session, len(package))
    assert status == 200, answer
    assert answer == {"ok": True, "archivo": "paquetes/mesalto_7.0.0.0.zip", "bytes": len(package),
                      "sha256": hashlib.sha256(package).hexdigest()}
    assert (service.data / "archivos" / "paquetes" / "mesalto_7.0.0.0.zip").read_bytes() == package
    # 40 MiB went through; the service's memory did not take them in.
    assert service.rss_kib() - before < 16 * 1024, (before, service.rss_kib())
    uploads = service.data / "archivos" / ".subiendo"
    assert list(uploads.iterdir()) == []

    # The same name again: refused, the published file untouched.
    status, answer = upload(service, "mesalto_7.0.0.0.zip", [b"otro"], session, 4)
    assert (status, answer["error"]) == (409, "ya hay un paquete con ese nombre")
    assert (service.data / "archivos" / "paquetes" / "mesalto_7.0.0.0.zip").read_bytes() == package
    # Over the bound (announced, or sent in chunks), without a session, or a name that is a path.
    big = 49 << 20
    assert upload(service, "grande.zip", [], session, big)[0] == 413
    status, _ = upload(service, "sin-sesion.zip", [b"x" * 10], {}, 10)
    assert status == 401
    status, answer = upload(service, "..%2Fservicio.db", [b"x" * 10], session, 10)
    assert status == 400 and "nombre" in answer["error"]
    # A body cut short: its file goes when the connection does.
    conn = service.console_connection()
    conn.putrequest("POST", "/panel/api/paquetes?nombre=cortado.zip")
    for key, value in dict(session, **{"Content-Length": str(1 << 20)}).items():
        conn.putheader(key, value)
    conn.endheaders()
    conn.send(b"y" * 1000)
    assert wait_for(lambda: len(list(uploads.iterdir())) == 1, timeout=10)
    conn.close()
    assert wait_for(lambda: list(uploads.iterdir()) == [], timeout=10)
    assert sorted(p.name for p in (service.data / "archivos" / "paquetes").iterdir()) == ["mesalto_7.0.0.0.zip"]
    # The upload is in the audit log, with who made it.
    log = json.loads(request_json(service, "/panel/api/registro", session))
    assert [(row["quien"], row["que"], row["sobre"]) for row in log["filas"]] == \
        [(OPERATOR, "paquete subido", "paquetes/mesalto_7.0.0.0.zip")]

    # The console beside the agents' routes takes no upload, even from a session: nothing reaches the disk.
    service.stop()
    service.start("--rate", "0", "--upload-max-mb", "48")
    status, answer = upload(service, "junto-a-los-agentes.zip", [b"z" * 10], session, 10)
    assert (status, answer["error"]) == \
        (403, "los paquetes se suben solo en la dirección propia del panel (--panel-port)")
    assert list(uploads.iterdir()) == []
    assert sorted(p.name for p in (service.data / "archivos" / "paquetes").iterdir()) == ["mesalto_7.0.0.0.zip"]


def request_json(service, path: str, headers: dict) -> bytes:
    conn = service.console_connection()
    try:
        conn.request("GET", path, headers=headers)
        answer = conn.getresponse()
        assert answer.status == 200
        return answer.read()
    finally:
        conn.close()
