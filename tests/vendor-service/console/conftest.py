"""The vendor console's browser tests: the service's own helpers (system/servicio.py)
on the path, and one headless Chromium driven by Selenium for the module."""

import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))

from servicio import PROGRAM  # noqa: E402

CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")
PAGE_LOAD_SECONDS = 30


def pytest_sessionstart(session):
    for needed in (PROGRAM, CHROMIUM, CHROMEDRIVER):
        if not needed.exists():
            pytest.exit(f"missing {needed}: run scripts/setup.sh and build first", returncode=2)


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium with a fresh profile. It trusts the service's test
    certificate, reaches nothing but loopback on its own, and leaves every
    alert or confirm open until the test looks at it."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="trevanto_chromium_")
    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--ignore-certificate-errors", "--window-size=1280,900",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("unhandledPromptBehavior", "ignore")
    driver = webdriver.Chrome(service=Service(str(CHROMEDRIVER)), options=options)
    driver.set_page_load_timeout(PAGE_LOAD_SECONDS)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
