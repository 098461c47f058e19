"""Headless Chromium driven by Selenium, for the console's browser tests and
the journey's picture of the fleet view."""

import contextlib
import shutil
import tempfile
from pathlib import Path

CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")
PAGE_LOAD_SECONDS = 30


@contextlib.contextmanager
def headless_chromium(width: int = 1280, height: int = 900):
    """A fresh profile that trusts the service's test certificate, reaches
    nothing but what it is sent to, and leaves every alert or confirm open
    until the caller looks at it."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="trevanto_chromium_")
    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--ignore-certificate-errors", f"--window-size={width},{height}",
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


def log_in(driver, base: str, name: str, password: str) -> None:
    """Logs in through the console's form and waits for the summary."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(f"{base}/panel/entrar")
    driver.find_element(By.NAME, "usuario").send_keys(name)
    driver.find_element(By.NAME, "clave").send_keys(password)
    driver.find_element(By.CSS_SELECTOR, "form button[type=submit]").click()
    WebDriverWait(driver, PAGE_LOAD_SECONDS).until(lambda d: d.current_url.endswith("/panel/resumen"))


def full_page_png(driver, path: Path) -> None:
    """The whole page, however long, as a PNG."""
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(1280, max(900, min(int(height) + 40, 4000)))
    path.parent.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(path))
