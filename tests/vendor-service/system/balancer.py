"""Service instances on one store behind nginx, started from the example
configuration the service ships (vendor-service/examples/): nginx
terminates TLS and passes the client's address on; the instances listen in
plain HTTP on loopback and trust only nginx's X-Forwarded-For. Clients
connect from 127.0.0.2, so that the address the instances log is the
client's, not the balancer's."""

import http.client
import re
import subprocess
import time
from pathlib import Path
from typing import List, Optional

from servicio import PKI, ROOT, Servicio, free_port, tls_context, wait_for

EXAMPLE = ROOT / "vendor-service" / "examples" / "nginx-load-balancer.conf"
CLIENT_ADDRESS = "127.0.0.2"
BALANCER_ADDRESS = "127.0.0.1"

MAIN_CONF = """worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 4096; }}
http {{
    client_body_temp_path {work}/cuerpos;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    include {work}/balancer.conf;
}}
"""


def replace_once(text: str, pattern: str, replacement: str) -> str:
    """The example with one of its marked values changed; it must be there exactly once."""
    changed, count = re.subn(pattern, replacement, text, flags=re.M)
    assert count == 1, f"the example configuration has {count} places matching {pattern!r}"
    return changed


def balancer_conf(upstream_ports: List[int], port: int, work: Path) -> str:
    text = EXAMPLE.read_text()
    servers = "".join(f"    server 127.0.0.1:{p} max_fails=3 fail_timeout=10s;\n" for p in upstream_ports)
    text = replace_once(text, r"^    server 10\.0\.0\.11:8080 .*\n    server 10\.0\.0\.12:8080 .*\n", servers)
    text = replace_once(text, r"^    listen 443 ssl;", f"    listen 127.0.0.1:{port} ssl;")
    text = replace_once(text, r"/etc/trevanto/tls/servidor\.crt", str(PKI / "server.crt"))
    text = replace_once(text, r"/etc/trevanto/tls/servidor\.key", str(PKI / "server.key"))
    return replace_once(text, r"/var/log/nginx/trevanto\.log", str(work / "access.log"))


class Front:
    """The instances and nginx, seen by clients as one service (the few
    things fleet.py and the tests ask of a Servicio)."""

    def __init__(self, instances: List[Servicio], work: Path) -> None:
        self.instances = instances
        self.db = instances[0].db
        self.data = instances[0].data
        self.work = work
        self.port = 0
        self.source_address = (CLIENT_ADDRESS, 0)

    def start(self) -> "Front":
        self.work.mkdir(parents=True, exist_ok=True)
        self.work.chmod(0o777)  # nginx's workers write their temporary files as another user
        self.port = free_port()
        (self.work / "balancer.conf").write_text(balancer_conf([s.port for s in self.instances], self.port, self.work))
        (self.work / "nginx.conf").write_text(MAIN_CONF.format(work=self.work))
        subprocess.run(["nginx", "-p", str(self.work), "-c", str(self.work / "nginx.conf")], check=True)
        assert wait_for(lambda: self.answers(), timeout=30), (self.work / "error.log").read_text()
        return self

    def answers(self) -> bool:
        try:
            conn = self.connection(timeout=2)
            conn.request("GET", "/no-existe")
            conn.getresponse().read()
            conn.close()
            return True
        except OSError:
            return False

    def connection(self, timeout: float = 10) -> http.client.HTTPSConnection:
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=tls_context(),
                                           source_address=self.source_address)

    def log_lines(self, **fields: str) -> List[str]:
        return [line for instance in self.instances for line in instance.log_lines(**fields)]

    def query(self, sql: str, *args) -> list:
        return self.instances[0].query(sql, *args)

    def stop(self) -> None:
        pid_file = self.work / "nginx.pid"
        if pid_file.exists():
            subprocess.run(["nginx", "-p", str(self.work), "-c", str(self.work / "nginx.conf"), "-s", "stop"],
                           check=False)
            wait_for(lambda: not pid_file.exists(), timeout=10)


def start_front(servicio, first: Servicio, work: Path, *options: str, count: int = 2) -> Front:
    """`count` instances on `first`'s store and data folder (first among them), and nginx before them."""
    instances = [first] + [servicio(data=first.data, db=first.db,
                                    log=first.data.parent / f"{first.data.name}-{n}.log") for n in range(1, count)]
    for instance in instances:
        instance.start(*options, "--trusted-proxy", BALANCER_ADDRESS, tls=False)
    return Front(instances, work).start()
