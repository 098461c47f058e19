"""A webhook receiver for the tests: a plain HTTP server on a port chosen
beforehand (so that the service may be told of it while it is still down),
keeping every POST it takes and answering 204."""

import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import List, Optional, Tuple

from servicio import free_port


class Receiver:
    def __init__(self) -> None:
        self.port = free_port()
        self.posts: List[Tuple[dict, bytes]] = []  # (headers, body) of each POST, in order
        self._server: Optional[ThreadingHTTPServer] = None
        self._lock = threading.Lock()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/avisos?fuente=trevanto"

    def received(self) -> List[Tuple[dict, bytes]]:
        with self._lock:
            return list(self.posts)

    def start(self) -> None:
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                with receiver._lock:
                    receiver.posts.append(({k.lower(): v for k, v in self.headers.items()} | {"path": self.path},
                                           body))
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args) -> None:
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
