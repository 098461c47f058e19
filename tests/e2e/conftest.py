import socket

import pytest

import bench
from fault_server import FaultServer


def pytest_sessionstart(session):
    # The suite only makes sense inside the sandbox: the vendor names must
    # resolve to this namespace's loopback and nothing may leave the machine.
    try:
        address = socket.gethostbyname(bench.API_HOST)
    except OSError:
        address = None
    if address != "127.0.0.1":
        pytest.exit("run the end-to-end tests through scripts/test.sh (sandbox with vendor hosts)", returncode=2)
    for needed in (bench.AGENT, bench.HARNESS, bench.WINTOOL, bench.SEVEN_ZIP):
        if not needed.exists():
            pytest.exit(f"missing {needed}: build first", returncode=2)


@pytest.fixture(autouse=True)
def no_program_outlives_its_test():
    """Programs started by the agent rather than by the test (a relaunched
    program, a server component) are ended with the test, so that none of
    them is still running in the next one."""
    yield
    bench.end_leftover_programs()


@pytest.fixture(scope="session")
def server_instance():
    server = FaultServer(str(bench.PKI / "server.crt"), str(bench.PKI / "server.key")).start()
    yield server
    server.stop()


@pytest.fixture
def server(server_instance):
    """The fault server on 127.0.0.1:443, with no answers set and no requests recorded."""
    server_instance.reset()
    yield server_instance
    server_instance.reset()


@pytest.fixture
def procs():
    processes = bench.Processes()
    yield processes
    processes.end_all()


@pytest.fixture
def hosts():
    hosts_file = bench.HostsFile()
    yield hosts_file
    hosts_file.restore()


@pytest.fixture
def vendor(tmp_path, procs, hosts):
    """The real vendor service, answering for the three vendor host names."""
    service = bench.VendorService(tmp_path / "servicio", procs, hosts)
    yield service


@pytest.fixture
def registry():
    editor = bench.Registry()
    yield editor
    editor.restore()
