"""The vendor console's browser tests: the service's own helpers (system/servicio.py)
on the path, and one headless Chromium driven by Selenium for the module."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))

from servicio import PROGRAM  # noqa: E402

from chromium import CHROMEDRIVER, CHROMIUM, headless_chromium  # noqa: E402


def pytest_sessionstart(session):
    for needed in (PROGRAM, CHROMIUM, CHROMEDRIVER):
        if not needed.exists():
            pytest.exit(f"missing {needed}: run scripts/setup.sh and build first", returncode=2)


@pytest.fixture(scope="module")
def browser():
    """One headless Chromium for the module (chromium.py)."""
    with headless_chromium() as driver:
        yield driver
