import resource
import shutil

import pytest

from servicio import PROGRAM, Servicio, drop_database


def pytest_sessionstart(session):
    if not PROGRAM.exists():
        pytest.exit(f"missing {PROGRAM}: build first", returncode=2)
    # A thousand idle connections need as many descriptors on this side too.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


@pytest.fixture
def servicio():
    """A factory of services, each stopped and its folder removed after the test."""
    started = []

    def make(*args, **kwargs) -> Servicio:
        service = Servicio(*args, **kwargs)
        started.append(service)
        return service

    yield make
    for service in started:
        service.stop()
        if service.own_database:
            drop_database(service.db)
        shutil.rmtree(service.data, ignore_errors=True)
        service.log_path.unlink(missing_ok=True)
