"""A small HTTPS server whose answers each test sets, for fault injection.

Every request is recorded (method, host, target, headers, body). An answer
can carry any status and body, a missing or lying Content-Length, a delay
before the answer, or a connection dropped (or reset) after N bytes of the body. Paths
without an answer get 404. A path can also have a sequence of answers, one per
request (the last one repeats), and an answer can honour a "Range: bytes=N-"
request with a 206 for the rest of its body (unless an If-Range names
another version of it).

Used in-process by the end-to-end tests, and from the command line by the
demo:  python3 fault_server.py --cert C --key K --file /parches/7za.exe=PATH
"""

import argparse
import dataclasses
import socket
import ssl
import struct
import threading
import time
from typing import Dict, List, Optional, Tuple, Union


@dataclasses.dataclass
class Answer:
    status: int = 200
    body: bytes = b""
    reason: str = ""
    headers: Dict[str, str] = dataclasses.field(default_factory=dict)
    # "auto": the body's length; None: no Content-Length header; an int: that value.
    content_length: Union[str, int, None] = "auto"
    delay: float = 0.0
    # Close the connection after this many body bytes (headers are always sent).
    drop_after: Optional[int] = None
    # With drop_after: end with a TCP reset instead of an orderly close.
    reset: bool = False
    # Close at once without answering anything.
    close_without_answer: bool = False
    # Send the body in pieces: (byte count, pause in seconds after it).
    segments: Optional[List[Tuple[int, float]]] = None
    # With segments: piece i is sent only once gates[i] is set, so that a
    # test can look at what each piece did before the next one goes.
    gates: Optional[List[threading.Event]] = None
    # A request with "Range: bytes=N-" gets 206, Content-Range and body[N:]
    # (drop_after then counts from N); without one, or with an If-Range that
    # is neither the answer's ETag nor its Last-Modified header (the file has
    # changed), the whole answer as set.
    honour_range: bool = False


@dataclasses.dataclass
class Request:
    method: str
    target: str
    host: str
    headers: Dict[str, str]
    raw_headers: bytes
    body: bytes
    # time.monotonic() when the request had been read, and the wall clock then.
    arrived: float = 0.0
    arrived_at: float = 0.0

    @property
    def path(self) -> str:
        return self.target.split("?", 1)[0]

    def header(self, name: str) -> Optional[str]:
        for key, value in self.headers.items():
            if key.lower() == name.lower():
                return value
        return None

    @property
    def range(self) -> Optional[str]:
        return self.header("Range")


REASONS = {200: "OK", 206: "Partial Content", 201: "Created", 204: "No Content", 301: "Moved Permanently", 400: "Bad Request",
           401: "Unauthorized", 404: "Not Found", 500: "Internal Server Error", 503: "Service Unavailable"}


class FaultServer:
    def __init__(self, cert: str, key: str, address: str = "127.0.0.1", port: int = 443):
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(cert, key)
        self._address = (address, port)
        self._answers: Dict[Tuple[Optional[str], str], Union[Answer, List[Answer]]] = {}
        self._lock = threading.Lock()
        self.requests: List[Request] = []
        self._socket: Optional[socket.socket] = None
        self._thread: Optional[threading.Thread] = None
        self._stopping = threading.Event()

    # ---- configuration -------------------------------------------------
    def answer(self, target: str, answer: Answer, host: Optional[str] = None) -> None:
        """Sets the answer for a path (or path with query), optionally for one host only."""
        with self._lock:
            self._answers[(host, target)] = answer

    def answer_sequence(self, target: str, answers: List[Answer], host: Optional[str] = None) -> None:
        """One answer per request to the path, in turn; the last one repeats."""
        with self._lock:
            self._answers[(host, target)] = list(answers)

    def reset(self) -> None:
        with self._lock:
            self._answers.clear()
            self.requests.clear()

    def requests_to(self, path: str) -> List[Request]:
        with self._lock:
            return [r for r in self.requests if r.path == path]

    # ---- life cycle ----------------------------------------------------
    def start(self) -> "FaultServer":
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(self._address)
        sock.listen(64)
        sock.settimeout(0.2)
        self._socket = sock
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._thread:
            self._thread.join(timeout=5)
        if self._socket:
            self._socket.close()

    def _accept_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = self._socket.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    # ---- one connection ------------------------------------------------
    def _serve(self, raw: socket.socket) -> None:
        raw.settimeout(30)
        try:
            conn = self._context.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError):
            raw.close()
            return
        try:
            # One request per connection: every answer says "Connection: close".
            request = self._read_request(conn)
            if request is None:
                return
            with self._lock:
                self.requests.append(request)
                answer = self._find_answer(request)
            self._send(conn, answer)
        except (OSError, ssl.SSLError):
            return
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def _find_answer(self, request: Request) -> Answer:
        host = request.host.split(":")[0].lower()
        for key in ((host, request.target), (None, request.target), (host, request.path), (None, request.path)):
            if key in self._answers:
                found = self._answers[key]
                if isinstance(found, list):
                    found = found.pop(0) if len(found) > 1 else found[0]
                return self._ranged(found, request)
        return Answer(status=404, body=b"no configurado")

    @staticmethod
    def _ranged(answer: Answer, request: Request) -> Answer:
        """The answer as a 206 for the rest of its body when it honours the request's Range."""
        asked = request.range
        if not answer.honour_range or asked is None:
            return answer
        validator = request.header("If-Range")
        if validator is not None and validator not in (answer.headers.get("ETag"), answer.headers.get("Last-Modified")):
            return answer
        start = int(asked.removeprefix("bytes=").split("-", 1)[0])
        total = len(answer.body)
        headers = dict(answer.headers, **{"Content-Range": f"bytes {start}-{total - 1}/{total}"})
        return dataclasses.replace(answer, status=206, body=answer.body[start:], headers=headers)

    @staticmethod
    def _read_request(conn) -> Optional[Request]:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, rest = data.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        method, target, _ = lines[0].decode("latin-1").split(" ", 2)
        headers: Dict[str, str] = {}
        for line in lines[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip()] = value.strip()
        length = 0
        for name, value in headers.items():
            if name.lower() == "content-length":
                length = int(value)
        while len(rest) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
        host = next((v for k, v in headers.items() if k.lower() == "host"), "")
        return Request(method, target, host, headers, head, rest[:length], time.monotonic(), time.time())

    @staticmethod
    def _send(conn, answer: Answer) -> None:
        if answer.delay:
            time.sleep(answer.delay)
        if answer.close_without_answer:
            return
        reason = answer.reason or REASONS.get(answer.status, "Status")
        head = [f"HTTP/1.1 {answer.status} {reason}"]
        if answer.content_length == "auto":
            head.append(f"Content-Length: {len(answer.body)}")
        elif answer.content_length is not None:
            head.append(f"Content-Length: {answer.content_length}")
        head.extend(f"{k}: {v}" for k, v in answer.headers.items())
        head.append("Connection: close")
        conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
        body = answer.body if answer.drop_after is None else answer.body[:answer.drop_after]
        pieces = answer.segments or [(65536, 0.0)] * ((len(body) + 65535) // 65536)
        offset = 0
        for i, (size, pause) in enumerate(pieces):
            if answer.gates and i < len(answer.gates):
                answer.gates[i].wait(timeout=300)
            conn.sendall(body[offset:offset + size])
            offset += size
            if pause:
                time.sleep(pause)
        if offset < len(body):
            conn.sendall(body[offset:])
        if answer.drop_after is not None and answer.reset:
            # Linger 0: closing sends a reset, so the reader's next receive fails.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif answer.drop_after is not None:
            # An abrupt end: no TLS close_notify, the socket just goes away.
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--file", action="append", default=[], help="PATH=LOCALFILE served with status 200")
    args = parser.parse_args()
    server = FaultServer(args.cert, args.key, args.address, args.port)
    for mapping in args.file:
        path, _, local = mapping.partition("=")
        with open(local, "rb") as f:
            server.answer(path, Answer(body=f.read()))
    server.start()
    print(f"fault server on {args.address}:{args.port}", flush=True)
    try:
        seen = 0
        while True:
            time.sleep(0.2)
            while seen < len(server.requests):
                r = server.requests[seen]
                print(f"{r.method} https://{r.host}{r.target} ({len(r.body)} bytes)", flush=True)
                seen += 1
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()
