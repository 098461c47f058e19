"""The vendor console end to end, in headless Chromium against the real
service over TLS: simulated agents post their check-ins, downloads and
update reports over HTTP, and an operator logs in, reads the fleet and the
funnels, pauses, resumes, advances and halts a rollout, sees another halt
itself on failures, and finds installations whose agents sent markup as
their host name. Every page visited is saved as a PNG under
build/console/capturas/ (replaced at each run)."""

import base64
import calendar
import hashlib
import hmac
import json
import shutil
import subprocess
import time
import re
import uuid
from urllib.parse import quote
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, List, Optional

import pytest
from selenium.common.exceptions import WebDriverException, NoAlertPresentException, NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

from receiver import Receiver
from servicio import BUILD, CHECKIN, PROGRAM, UPDATE_REPORT, Servicio, drop_database, update_body, wait_for, write

CAPTURES = BUILD / "console" / "capturas"
WAIT_SECONDS = 20
# A page being replaced while it is read: read the next one.
BETWEEN_PAGES = (NoSuchElementException, StaleElementReferenceException)

OPERATOR = "ana"
PASSWORD = "clave-de-prueba-larga"

MESALTO, MESALTO_OLD, MESALTO_NEW = "MarvekMesalto", "5.2.1.0", "6.0.3.17"
CONTABLE, CONTABLE_OLD, CONTABLE_NEW = "MarvekContable", "3.0.0.0", "3.1.0.0"
WINDOWS, AGENT, PATH = "10.0.19045", "1.26.0803", "C:\\Marvek\\Marvek Mesalto\\mesalto.exe"

HOSTILE_IMG = "<img src=x onerror=alert(1)>"
HOSTILE_SCRIPT = '"><script>alert(2)</script>'
HOSTILE_WINDOWS = "<img src=x onerror=alert(3)>"
HOSTILE_AGENT = '"><img src=x>'  # within the 23 bytes of a version
HOSTILE_PATH = "C:\\<script>alert(5)</script>\\mesalto.exe"

# Windows builds as the console names them.
WINDOWS_NAMES = {"10.0.19045": "Windows 10 22H2 (10.0.19045)", "10.0.22631": "Windows 11 23H2 (10.0.22631)"}

HALT_REASON = "2 instalaciones fallaron en la etapa 100 %, en 1 red (límite: 2)"


@dataclass
class Agent:
    """One simulated installation: what its check-in says."""
    host: str
    product: str = MESALTO
    version: str = MESALTO_OLD
    windows: str = WINDOWS
    agent: str = AGENT
    path: str = PATH


def fleet_agents() -> List[Agent]:
    agents = [Agent(f"pc-{n:02d}", windows="10.0.22631" if n % 4 == 0 else WINDOWS) for n in range(1, 21)]
    agents += [Agent(HOSTILE_IMG, windows=HOSTILE_WINDOWS),
               Agent(HOSTILE_SCRIPT, agent=HOSTILE_AGENT, path=HOSTILE_PATH)]
    agents += [Agent(f"nuevo-{n}", version=MESALTO_NEW) for n in range(1, 4)]
    agents += [Agent(f"viejo-{n}", version="4.9.0.0") for n in range(1, 3)]
    agents += [Agent(f"cont-{n}", product=CONTABLE, version=CONTABLE_OLD) for n in range(1, 5)]
    return agents


@dataclass
class Console:
    """The running service, its two rollouts and the fleet's first check-ins."""
    service: Servicio
    base: str
    steady: int   # MarvekMesalto: stages 50 % and 100 %, advanced by hand
    failing: int  # MarvekContable: one stage, halts at its second failed installation
    agents: Dict[str, Agent] = field(default_factory=dict)
    webhook_secret: str = ""  # shown once when the receiver was added
    offers: Dict[str, Optional[str]] = field(default_factory=dict)  # host -> address offered at its first check-in

    def offered(self, product: str) -> List[str]:
        return sorted(h for h, a in self.agents.items() if a.product == product and self.offers[h])

    def not_offered(self, product: str) -> List[str]:
        return sorted(h for h, a in self.agents.items()
                      if a.product == product and a.version == MESALTO_OLD and not self.offers[h])


# ---- the simulated agents ------------------------------------------------------

def find_offer(node) -> Optional[str]:
    """The tokened package address of the answer's update offer item, if any."""
    if isinstance(node, dict):
        if node.get("tipo") == "url_actualizar":
            for cell in node.get("contenido", []):
                if "?o=" in cell.get("enlace", ""):
                    return cell["enlace"]
        children = list(node.values())
    elif isinstance(node, list):
        children = node
    else:
        return None
    for child in children:
        found = find_offer(child)
        if found:
            return found
    return None


def check_in(service: Servicio, agent: Agent, version: Optional[str] = None) -> Optional[str]:
    body = json.dumps({"actualizador_version": agent.agent, "Programa": agent.product,
                       "Version": version or agent.version, "hostname": agent.host,
                       "windows_version": agent.windows, "installed_path": agent.path}).encode()
    status, answer, _ = service.post(CHECKIN, body)
    assert status == 200, answer
    return find_offer(json.loads(answer))


def report_update(service: Servicio, agent: Agent, address: str, result: str, step: str = "", code: int = 0) -> None:
    report = json.loads(update_body(uuid.uuid4().hex, result))
    report.update({"Programa": agent.product, "version_anterior": agent.version, "url_parche": address,
                   "paso_fallido": step, "codigo_error": code,
                   "version_nueva": MESALTO_NEW if agent.product == MESALTO else CONTABLE_NEW})
    status, answer, _ = service.post(UPDATE_REPORT, json.dumps(report).encode())
    assert status == 200 and json.loads(answer)["ok"] is True, answer


def download(service: Servicio, address: str) -> bytes:
    """The offered package, fetched as the agent does: its path with the offer's query."""
    host, target = address.split("/", 3)[2:]
    status, body, _ = service.get("/" + target, headers={"Host": host})
    assert status == 200, body[:200]
    return body


def run_command(*args: str, stdin: str = "") -> str:
    done = subprocess.run([str(PROGRAM), *args], input=stdin, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"{args}: {done.returncode} {done.stderr}"
    return done.stdout


def printed_id(output: str, word: str) -> int:
    """The id a command printed first: "release 1 ...", "rollout 2 ..."."""
    parts = output.split()
    assert parts[:1] == [word], output
    return int(parts[1])


def package_bytes(name: str) -> bytes:
    return b"PK\x03\x04" + name.encode() * 64


def known_for_days(service: Servicio) -> None:
    """The fleet as a vendor's store holds it: each installation checked in before the rollouts, and
    seen on days before today (so the summary counts it, and its outcomes count)."""
    service.start("--rate", "0")
    try:
        for agent in fleet_agents():
            assert check_in(service, agent) is None
    finally:
        service.stop()
    days = 3 * 86400
    write(service.db, f"UPDATE installations SET days_seen = 3, first_seen_ms = first_seen_ms - {days * 1000}")


@pytest.fixture(scope="module")
def console():
    service = Servicio()
    store = ["--data", str(service.data), "--db", str(service.db)]
    for name in ("mesalto_6.0.3.17.zip", "contable_3.1.0.0.zip"):
        (service.data / "archivos" / "paquetes" / name).write_bytes(package_bytes(name))
    run_command("operator", "add", *store, "--name", OPERATOR, stdin=PASSWORD + "\n")
    mesalto = printed_id(run_command("release", "add", *store, "--product", MESALTO, "--version", MESALTO_NEW,
                                     "--file", "paquetes/mesalto_6.0.3.17.zip", "--new-product"), "release")
    contable = printed_id(run_command("release", "add", *store, "--product", CONTABLE, "--version",
                                      CONTABLE_NEW, "--file", "paquetes/contable_3.1.0.0.zip", "--new-product"), "release")
    shutil.rmtree(CAPTURES, ignore_errors=True)
    CAPTURES.mkdir(parents=True)
    try:
        known_for_days(service)
        steady = printed_id(run_command("rollout", "start", *store, "--release", str(mesalto), "--replaces",
                                        MESALTO_OLD, "--stages", "50,100", "--manual"), "rollout")
        # The whole fleet posts from one address: one network decides this one.
        failing = printed_id(run_command("rollout", "start", *store, "--release", str(contable), "--replaces",
                                         CONTABLE_OLD, "--stages", "100", "--max-failures", "2", "--min-networks", "1",
                                         "--manual"), "rollout")
        service.start("--rate", "0", panel="own")
        yield Console(service, f"https://127.0.0.1:{service.console_port}", steady, failing)
    finally:
        service.stop()
        if service.own_database:
            drop_database(service.db)
        shutil.rmtree(service.data, ignore_errors=True)
        service.log_path.unlink(missing_ok=True)


@pytest.fixture(scope="module")
def receiver():
    """The vendor's webhook receiver: down until a test starts it."""
    receiver = Receiver()
    yield receiver
    receiver.stop()


@pytest.fixture(scope="module")
def fleet(console) -> Console:
    """Every simulated installation has checked in once; what each was offered."""
    for agent in fleet_agents():
        console.agents[agent.host] = agent
        console.offers[agent.host] = check_in(console.service, agent)
    # Stage 1 is 50 % of 22 targeted installations: both halves are there unless the dice are absurd.
    assert console.offered(MESALTO) and console.not_offered(MESALTO), console.offers
    assert console.offered(CONTABLE) == ["cont-1", "cont-2", "cont-3", "cont-4"]
    return console


# ---- what every page must be ---------------------------------------------------

def capture(driver, name: str) -> None:
    """A PNG of the whole page, beyond the window's height."""
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})
    (CAPTURES / f"{name}.png").write_bytes(base64.b64decode(shot["data"]))


def open_alert_text(driver) -> Optional[str]:
    try:
        return driver.switch_to.alert.text
    except NoAlertPresentException:
        return None


def assert_nothing_injected(driver) -> None:
    """No dialog is open, and the page holds no image, no script but the console's
    own file, and no element with an event handler attribute."""
    assert open_alert_text(driver) is None
    images = [e.get_attribute("outerHTML") for e in driver.find_elements(By.TAG_NAME, "img")]
    assert images == []
    scripts = [e.get_attribute("outerHTML") for e in driver.find_elements(By.TAG_NAME, "script")]
    assert scripts == ['<script src="/panel/panel.js" defer=""></script>'], scripts
    handlers = driver.execute_script(
        "return Array.from(document.querySelectorAll('*')).flatMap(e => Array.from(e.attributes)"
        ".filter(a => a.name.startsWith('on')).map(a => e.tagName + ' ' + a.name));")
    assert handlers == []


def settle(driver, name: str) -> None:
    """After a navigation: the page is loaded, captured and clean."""
    WebDriverWait(driver, WAIT_SECONDS).until(lambda d: d.execute_script("return document.readyState") == "complete")
    capture(driver, name)
    assert_nothing_injected(driver)


def visit(driver, console: Console, path: str, name: str) -> None:
    driver.get(console.base + path)
    settle(driver, name)


def reload_until(driver, name: str, condition) -> None:
    """Reloads until `condition(driver)` holds: the service commits what agents send in batches."""
    def holds(d):
        WebDriverWait(d, WAIT_SECONDS).until(lambda x: x.execute_script("return document.readyState") == "complete")
        if condition(d):
            return True
        d.refresh()
        return False
    WebDriverWait(driver, WAIT_SECONDS, poll_frequency=0.2, ignored_exceptions=BETWEEN_PAGES).until(holds)
    settle(driver, name)


def main_text(driver) -> str:
    """The page's main text; empty while a page is being replaced (the
    element found may belong to the page that is going away)."""
    try:
        return driver.find_element(By.TAG_NAME, "main").text
    except WebDriverException as error:
        if "does not belong to the document" in str(error):
            return ""
        raise


def wait_text(driver, text: str) -> None:
    WebDriverWait(driver, WAIT_SECONDS, ignored_exceptions=BETWEEN_PAGES).until(lambda d: text in main_text(d))


def table_after(driver, heading: Optional[str]) -> List[Dict[str, str]]:
    """The rows of the table after an h2 (or the page's first table), keyed by column heading (without the
    arrow of the sorted one)."""
    where = f"//h2[normalize-space()='{heading}']/following::table[1]" if heading else "(//main//table)[1]"
    table = driver.find_element(By.XPATH, where)
    return driver.execute_script(
        "const t = arguments[0];"
        "const heads = Array.from(t.tHead.rows[0].cells).map(c => c.textContent.replace(/ [▲▼]$/, ''));"
        "return Array.from(t.tBodies[0].rows).filter(r => r.cells.length === heads.length)"
        ".map(r => Object.fromEntries(Array.from(r.cells).map((c, i) => [heads[i], c.innerText])));", table)


def funnel(driver) -> Dict[str, Dict[str, str]]:
    return {row["Etapa"]: row for row in table_after(driver, "Embudo por etapa")}


def status_of(driver) -> str:
    return driver.find_element(By.CSS_SELECTOR, "main span.estado").text


def action_buttons(driver) -> List[str]:
    return [b.text for b in driver.find_elements(By.CSS_SELECTOR, "main form.accion button")]


def click_action(driver, label: str) -> None:
    driver.find_element(By.XPATH, f"//main//form[@class='accion']/button[normalize-space()='{label}']").click()


def answer_confirm(driver, accept: bool) -> str:
    WebDriverWait(driver, WAIT_SECONDS).until(expected_conditions.alert_is_present())
    dialog = driver.switch_to.alert
    text = dialog.text
    dialog.accept() if accept else dialog.dismiss()
    return text


def session_cookie(driver) -> str:
    return "panel_sesion=" + driver.get_cookie("panel_sesion")["value"]


def request(console: Console, method: str, path: str, body: str = "", headers: Optional[dict] = None):
    """(status, body, headers) of one request to the console from outside the browser."""
    conn = console.service.console_connection()
    try:
        sent = {"Content-Type": "application/x-www-form-urlencoded"}
        sent.update(headers or {})
        conn.request(method, path, body=body.encode() if method == "POST" else None, headers=sent)
        answer = conn.getresponse()
        return answer.status, answer.read().decode(errors="replace"), dict(answer.getheaders())
    finally:
        conn.close()


def pc_hosts(hosts: List[str]) -> List[str]:
    return [h for h in hosts if h.startswith("pc-")]


def rollout_path(rollout: int) -> str:
    return f"/panel/despliegues/{rollout}"


# ---- the tests -------------------------------------------------------------------

def test_without_a_session_every_page_leads_to_the_login(browser, console):
    # The summary leads to the bare login; any other page is asked for again after it.
    status, _, headers = request(console, "GET", "/panel/resumen")
    assert (status, headers.get("Location")) == (303, "/panel/entrar")
    for path in (rollout_path(console.steady), "/panel/instalaciones?buscar=pc"):
        status, _, headers = request(console, "GET", path)
        assert (status, headers.get("Location")) == (303, "/panel/entrar?volver=" + quote(path, safe="")), path
    status, body, _ = request(console, "GET", "/panel/api/resumen")
    assert status == 401 and "inicie sesión" in body

    visit(browser, console, "/panel/resumen", "01-sin-sesion")
    assert browser.current_url == console.base + "/panel/entrar"
    assert browser.find_elements(By.CSS_SELECTOR, "form[action='/panel/entrar'] input[name='clave']")
    assert browser.find_elements(By.TAG_NAME, "nav") == []  # no menu before the login


def log_in(driver, password: str, name: str = OPERATOR) -> None:
    driver.find_element(By.NAME, "usuario").send_keys(name)
    driver.find_element(By.NAME, "clave").send_keys(password)
    driver.find_element(By.CSS_SELECTOR, "form[action='/panel/entrar'] button[type='submit']").click()


def test_the_operator_logs_in_through_the_form_after_a_wrong_password(browser, console):
    visit(browser, console, "/panel/entrar", "02-entrar")
    log_in(browser, PASSWORD + "x")
    wait_text(browser, "Usuario o clave incorrectos.")
    settle(browser, "03-entrar-clave-incorrecta")
    assert browser.current_url == console.base + "/panel/entrar"
    assert browser.get_cookie("panel_sesion") is None

    log_in(browser, PASSWORD)
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.current_url == console.base + "/panel/resumen")
    settle(browser, "04-resumen-tras-entrar")
    assert browser.find_element(By.CSS_SELECTOR, "header form span").text == OPERATOR
    cookie = browser.get_cookie("panel_sesion")
    assert (cookie["httpOnly"], cookie["secure"], cookie["sameSite"], cookie["path"]) == (True, True, "Strict", "/panel/")
    assert "panel_sesion" not in browser.execute_script("return document.cookie")


def test_the_summary_shows_the_fleet_by_product_and_version(browser, fleet):
    agents = list(fleet.agents.values())
    by_version = Counter((a.product, a.version) for a in agents)
    visit(browser, fleet, "/panel/resumen", "05-resumen")
    reload_until(browser, "05-resumen", lambda d: f"últimos 30 días: {len(agents)}" in main_text(d))

    rows = table_after(browser, "Por producto y versión del programa")
    assert Counter({(r["Producto"], r["Versión"]): int(r["Instalaciones"]) for r in rows}) == by_version
    assert len(rows) == len(by_version)
    agents_shown = {r["Agente"]: int(r["Instalaciones"]) for r in table_after(browser, "Versiones del agente")}
    assert agents_shown == Counter(a.agent for a in agents)
    windows_shown = {r["Windows"]: int(r["Instalaciones"]) for r in table_after(browser, "Versiones de Windows")}
    assert windows_shown == Counter(WINDOWS_NAMES.get(a.windows, a.windows) for a in agents)
    assert HOSTILE_WINDOWS in windows_shown and HOSTILE_AGENT in agents_shown  # as text, nothing injected

    rollouts = {r["Despliegue"]: r for r in table_after(browser, "Despliegues")}
    assert rollouts[f"Despliegue {fleet.steady}"]["Estado"] == "En curso"
    assert rollouts[f"Despliegue {fleet.steady}"]["Etapa"] == "50 %"
    assert rollouts[f"Despliegue {fleet.failing}"]["Producto"] == CONTABLE


def test_a_list_pages_sorts_filters_and_exports_what_it_shows(browser, fleet):
    visit(browser, fleet, "/panel/instalaciones?buscar=pc-&por_pagina=10", "05a-instalaciones-paginadas")
    assert browser.find_element(By.CSS_SELECTOR, "main p.cuenta").text == \
        "20 instalaciones; se muestran de la 1 a la 10."
    browser.find_element(By.XPATH, "//main//th/a[normalize-space()='Equipo']").click()
    wait_text(browser, "Equipo ▲")
    settle(browser, "05b-instalaciones-por-equipo")
    assert [r["Equipo"] for r in table_after(browser, None)] == [f"pc-{n:02d}" for n in range(1, 11)]
    browser.find_element(By.CSS_SELECTOR, "main a[rel='next']").click()
    wait_text(browser, "Página 2 de 2")
    settle(browser, "05c-instalaciones-pagina-2")
    assert [r["Equipo"] for r in table_after(browser, None)] == [f"pc-{n:02d}" for n in range(11, 21)]
    assert browser.find_elements(By.CSS_SELECTOR, "main a[rel='next']") == []

    # A filter keeps the order chosen and starts again from the first page.
    browser.find_element(By.CSS_SELECTOR, "main form.filtros input[name='windows']").send_keys("10.0.22631")
    browser.find_element(By.CSS_SELECTOR, "main form.filtros button").click()
    wait_text(browser, "5 instalaciones.")
    settle(browser, "05d-instalaciones-filtradas")
    shown = [r["Equipo"] for r in table_after(browser, None)]
    assert shown == ["pc-04", "pc-08", "pc-12", "pc-16", "pc-20"]

    # The export holds the same rows, in the same order, with the page's headings and each row's identifier.
    export = browser.find_element(By.CSS_SELECTOR, "main a.csv").get_attribute("href")
    status, body, headers = request(fleet, "GET", export.removeprefix(fleet.base), headers={"Cookie": session_cookie(browser)})
    assert (status, headers["Content-Type"]) == (200, "text/csv; charset=utf-8")
    lines = body.split("\r\n")
    assert lines[0] == "\ufeffEquipo,Producto,Versión del programa,Agente,Windows,Último check-in," \
                       "Vista por primera vez,Días vista,Check-ins,Identificador"
    assert [line.split(",")[:5] for line in lines[1:-1]] == \
        [[host, MESALTO, MESALTO_OLD, AGENT, "10.0.22631"] for host in shown]
    assert lines[-1] == ""


def test_a_rollout_page_shows_its_funnel_as_the_agents_were_offered(browser, fleet):
    offered = fleet.offered(MESALTO)
    waiting = fleet.not_offered(MESALTO)
    visit(browser, fleet, rollout_path(fleet.steady), "06-despliegue-embudo")
    reload_until(browser, "06-despliegue-embudo",
                 lambda d: funnel(d)["50 % (actual)"]["Ofrecida"] == str(len(offered)))
    assert status_of(browser) == "En curso"
    assert "etapa 1 de 2" in main_text(browser)
    # Each stage's row holds the rows above it: the last one is the whole rollout.
    first, second = funnel(browser)["50 % (actual)"], funnel(browser)["100 %"]
    assert (first["Destinatarias"], first["Ofrecida"], first["Descarga iniciada"], first["OK"], first["Fallidas"]) == \
        (str(len(offered)), str(len(offered)), "0", "0", "0")
    assert (second["Destinatarias"], second["Ofrecida"]) == (str(len(offered) + len(waiting)), str(len(offered)))
    assert "La etapa 50 % avanza solo a mano" in browser.find_element(By.CSS_SELECTOR, "main p.espera").text
    listed = table_after(browser, "Instalaciones a las que se ofreció")
    assert sorted(r["Equipo"] for r in listed) == offered
    assert {r["Estado"] for r in listed} == {"ofrecida"}
    assert action_buttons(browser) == ["Pausar", "Avanzar a la siguiente etapa", "Detener"]


def test_a_download_an_ok_report_and_the_next_check_in_land_in_the_funnel(browser, fleet):
    host = pc_hosts(fleet.offered(MESALTO))[0]
    agent, address = fleet.agents[host], fleet.offers[host]
    assert download(fleet.service, address) == package_bytes("mesalto_6.0.3.17.zip")
    report_update(fleet.service, agent, address, "OK")
    reported_second = int(time.time())
    # The update is confirmed by a check-in after the report's second.
    assert wait_for(lambda: int(time.time()) > reported_second, timeout=5)
    assert check_in(fleet.service, agent, version=MESALTO_NEW) is None

    visit(browser, fleet, rollout_path(fleet.steady), "07-despliegue-actualizada")
    reload_until(browser, "07-despliegue-actualizada",
                 lambda d: funnel(d)["50 % (actual)"]["Confirmadas"] == "1" and
                 funnel(d)["50 % (actual)"]["Descargada"] == "1")
    first = funnel(browser)["50 % (actual)"]
    assert (first["Descarga iniciada"], first["Descargada"], first["OK"], first["Fallidas"], first["Confirmadas"],
            first["Sin confirmar"]) == ("1", "1", "1", "0", "1", "0")
    states = {r["Equipo"]: r["Estado"] for r in table_after(browser, "Instalaciones a las que se ofreció")}
    assert states == {h: "confirmada" if h == host else "ofrecida" for h in fleet.offered(MESALTO)}


def test_a_post_without_the_csrf_token_is_refused(browser, fleet):
    visit(browser, fleet, rollout_path(fleet.steady), "08-despliegue-antes-csrf")
    cookie = session_cookie(browser)
    pause = rollout_path(fleet.steady) + "/pausar"
    for body in ("", "csrf=", "csrf=" + "0" * 64):
        status, text, _ = request(fleet, "POST", pause, body, {"Cookie": cookie})
        assert status == 403 and "falta el testigo de la sesión (CSRF)" in text, body
    status, text, _ = request(fleet, "POST", "/panel/api/despliegues/%d/pausar" % fleet.steady, "",
                              {"Cookie": cookie, "Content-Type": "application/json"})
    assert status == 403 and "CSRF" in text
    # The login form carries its own token, tied to a cookie of the form's.
    status, text, _ = request(fleet, "POST", "/panel/entrar", f"usuario={OPERATOR}&clave={PASSWORD}&csrf=" + "1" * 64)
    assert status == 403 and "El formulario caducó" in text

    # The browser's own form, with its token taken out.
    browser.execute_script("document.querySelector(\"form[action$='/pausar'] input[name='csrf']\").remove();")
    click_action(browser, "Pausar")
    wait_text(browser, "falta el testigo de la sesión (CSRF)")
    settle(browser, "09-sin-testigo-csrf")
    assert browser.find_element(By.CSS_SELECTOR, "main p.error").get_attribute("role") == "alert"
    visit(browser, fleet, rollout_path(fleet.steady), "10-despliegue-sigue-en-curso")
    assert status_of(browser) == "En curso"
    assert [r["Qué"] for r in table_after(browser, "Historia")] == ["iniciado"]


def test_pause_stops_the_offers_and_resume_brings_them_back(browser, fleet):
    # Offered at each check-in while it has not reported (the first pc host has updated).
    agents = [fleet.agents[h] for h in fleet.offered(MESALTO) if h != pc_hosts(fleet.offered(MESALTO))[0]]
    assert all(check_in(fleet.service, agent) is not None for agent in agents)

    visit(browser, fleet, rollout_path(fleet.steady), "11-despliegue-en-curso")
    click_action(browser, "Pausar")
    wait_text(browser, "Despliegue pausado.")
    settle(browser, "12-despliegue-pausado")
    assert browser.current_url.endswith(rollout_path(fleet.steady) + "?aviso=pausar")
    assert status_of(browser) == "Pausado"
    assert action_buttons(browser) == ["Reanudar", "Avanzar a la siguiente etapa", "Detener"]
    # The operator has seen it paused: no agent is offered the release any more.
    assert [a.host for a in agents if check_in(fleet.service, a) is not None] == []

    click_action(browser, "Reanudar")
    wait_text(browser, "Despliegue reanudado.")
    settle(browser, "13-despliegue-reanudado")
    assert status_of(browser) == "En curso"
    assert action_buttons(browser) == ["Pausar", "Avanzar a la siguiente etapa", "Detener"]
    assert wait_for(lambda: check_in(fleet.service, agents[0]) is not None, timeout=10)
    assert all(check_in(fleet.service, agent) is not None for agent in agents)
    history = table_after(browser, "Historia")
    assert [(r["Qué"], r["Detalle"]) for r in history] == \
        [("reanudado", f"operador {OPERATOR}"), ("pausado", f"operador {OPERATOR}"), ("iniciado", "")]
    visit(browser, fleet, "/panel/despliegues", "14-despliegues")
    listed = {r["Despliegue"]: r["Estado"] for r in table_after(browser, None)}
    assert listed == {f"Despliegue {fleet.steady}": "En curso", f"Despliegue {fleet.failing}": "En curso"}


def test_an_administrator_adds_a_webhook_receiver_and_sees_its_secret_once(browser, fleet, receiver):
    visit(browser, fleet, "/panel/avisos", "14a-avisos")
    browser.find_element(By.NAME, "url").send_keys(receiver.url)
    browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/avisos'] button").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.find_elements(By.CSS_SELECTOR, "main code.secreto"))
    settle(browser, "14b-aviso-anadido")
    fleet.webhook_secret = browser.find_element(By.CSS_SELECTOR, "main code.secreto").text
    assert re.fullmatch("[0-9a-f]{64}", fleet.webhook_secret)
    [row] = table_after(browser, None)
    assert (row["Aviso"], row["Receptor"], row["Eventos"], row["Estado"], row["Alta por"]) == \
        ("1", receiver.url, "despliegue.detenido", "activo", OPERATOR)
    visit(browser, fleet, "/panel/avisos", "14c-avisos-sin-secreto")
    assert browser.find_elements(By.CSS_SELECTOR, "main code.secreto") == []


def assert_signed_event(post, secret: str, expected: dict) -> None:
    """One POST of an event: its headers, its signature, and its body byte for byte (the time it names read
    back from it and checked to be recent)."""
    headers, body = post
    assert headers["path"] == "/avisos?fuente=trevanto"
    assert (headers["content-type"], headers["x-trevanto-evento"]) == ("application/json", expected["evento"])
    assert headers["x-trevanto-firma"] == "sha256=" + hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()
    when = json.loads(body)["cuando"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", when)
    assert abs(calendar.timegm(time.strptime(when, "%Y-%m-%dT%H:%M:%SZ")) - time.time()) < 120
    assert body == json.dumps(dict(expected, cuando=when), ensure_ascii=False, separators=(",", ":")).encode()


def halt_event(rollout: int, product: str, version: str, reason: str, who: str) -> dict:
    return {"evento": "despliegue.detenido", "despliegue": rollout, "producto": product, "version": version,
            "estado": "DETENIDO", "etapa": "100 %", "detalle": reason, "quien": who, "cuando": "",
            "enlace": f"/panel/despliegues/{rollout}"}


def test_advance_and_halt_ask_first_and_then_act(browser, fleet, receiver):
    latecomer = fleet.agents[fleet.not_offered(MESALTO)[0]]
    assert check_in(fleet.service, latecomer) is None  # outside the 50 % stage

    visit(browser, fleet, rollout_path(fleet.steady), "15-despliegue-antes-de-avanzar")
    click_action(browser, "Avanzar a la siguiente etapa")
    assert answer_confirm(browser, accept=False) == "La siguiente etapa recibirá la versión. ¿Continuar?"
    settle(browser, "16-avanzar-cancelado")
    assert "etapa 1 de 2" in main_text(browser) and "aviso=" not in browser.current_url

    click_action(browser, "Avanzar a la siguiente etapa")
    answer_confirm(browser, accept=True)
    wait_text(browser, "El despliegue pasó a la siguiente etapa.")
    settle(browser, "17-despliegue-avanzado")
    assert "etapa 2 de 2" in main_text(browser) and status_of(browser) == "En curso"
    assert "100 % (actual)" in funnel(browser)
    assert wait_for(lambda: check_in(fleet.service, latecomer) is not None, timeout=10)

    click_action(browser, "Detener")
    assert answer_confirm(browser, accept=False) == "Nadie más recibirá esta versión. ¿Detener?"
    assert status_of(browser) == "En curso"
    click_action(browser, "Detener")
    answer_confirm(browser, accept=True)
    wait_text(browser, "Despliegue detenido.")
    settle(browser, "18-despliegue-detenido-a-mano")
    assert status_of(browser) == "Detenido"
    assert browser.find_element(By.CSS_SELECTOR, "p.motivo").text == f"Motivo: detenido por el operador {OPERATOR}"
    assert action_buttons(browser) == []
    assert check_in(fleet.service, latecomer) is None
    # The receiver is down: the halt waits in the store, tried again, and is posted once it is back.
    assert wait_for(lambda: fleet.service.query(
        "SELECT attempts > 0, last_status, state FROM webhook_deliveries WHERE rollout_id = ?", fleet.steady) ==
        [(1, 0, "PENDIENTE")], timeout=WAIT_SECONDS)
    receiver.start()
    assert wait_for(lambda: len(receiver.received()) == 1, timeout=30)
    assert_signed_event(receiver.received()[0], fleet.webhook_secret,
                        halt_event(fleet.steady, MESALTO, MESALTO_NEW, f"detenido por el operador {OPERATOR}", OPERATOR))
    # Each action went through once: the dismissed dialogs sent nothing.
    assert [r["Qué"] for r in table_after(browser, "Historia")] == \
        ["detenido", "avanzado", "reanudado", "pausado", "iniciado"]


def test_a_rollout_halts_itself_at_its_second_failure_and_offers_no_more(browser, fleet, receiver):
    visit(browser, fleet, "/panel/resumen", "18a-resumen-antes-de-la-detencion")
    browser.execute_script("window.sinRecargar = true;")
    banner = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#alertas .alerta")]
    cont = fleet.agents
    report_update(fleet.service, cont["cont-1"], fleet.offers["cont-1"], "ERROR", "descomprimir", 5)
    assert check_in(fleet.service, cont["cont-4"]) is not None  # one failure: still offering
    report_update(fleet.service, cont["cont-2"], fleet.offers["cont-2"], "ERROR", "verificar", 87)
    # Told to the live receiver within 2 s of the report that halted it.
    assert wait_for(lambda: len(receiver.received()) == 2, timeout=2)
    assert_signed_event(receiver.received()[1], fleet.webhook_secret,
                        halt_event(fleet.failing, CONTABLE, CONTABLE_NEW, HALT_REASON, "el servicio"))
    # Halted at once: an installation of the same stage that checks in right after gets no offer.
    assert check_in(fleet.service, cont["cont-3"]) is None
    # Each event was delivered once.
    assert wait_for(lambda: fleet.service.query("SELECT rollout_id, state FROM webhook_deliveries ORDER BY id") ==
                    [(fleet.steady, "ENTREGADO"), (fleet.failing, "ENTREGADO")], timeout=WAIT_SECONDS)
    assert len({headers["x-trevanto-entrega"] for headers, _ in receiver.received()}) == 2
    # The page left open learns of the halt by itself, without a reload.
    WebDriverWait(browser, 40, poll_frequency=0.5).until(
        lambda d: len(d.find_elements(By.CSS_SELECTOR, "#alertas .alerta")) == len(banner) + 1)
    capture(browser, "18b-resumen-con-la-detencion")
    assert browser.execute_script("return window.sinRecargar === true")
    assert f"Despliegue {fleet.failing} ({CONTABLE} {CONTABLE_NEW}) detenido: {HALT_REASON}" in \
        [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#alertas .alerta")]


def test_a_halted_rollout_shows_why(browser, fleet):
    visit(browser, fleet, rollout_path(fleet.failing), "19-despliegue-detenido-por-fallos")
    assert status_of(browser) == "Detenido"
    assert browser.find_element(By.CSS_SELECTOR, "p.motivo").text == "Motivo: " + HALT_REASON
    # The ways on from a halt: retry the failed, resume once the reason is read, or start anew.
    assert action_buttons(browser) == ["Reintentar las 2 instalaciones fallidas"]
    assert browser.find_elements(By.CSS_SELECTOR, "main form.reconocer input[name='leido'][required]")
    assert browser.find_element(By.PARTIAL_LINK_TEXT, "mismos ajustes").get_attribute("href") == \
        fleet.base + f"/panel/despliegues/nuevo?desde={fleet.failing}"
    stage = funnel(browser)["100 % (actual)"]
    assert (stage["Destinatarias"], stage["Ofrecida"], stage["OK"], stage["Fallidas"]) == ("4", "4", "0", "2")
    assert sorted(line for line in stage["Fallos por paso y código"].split("\n") if line) == \
        ["descomprimir 5: 1", "verificar 87: 1"]
    assert ("detenido", HALT_REASON) in [(r["Qué"], r["Detalle"]) for r in table_after(browser, "Historia")]
    decided = {r["Etapa"]: r for r in table_after(browser, "Lo que decide cada etapa")}["100 %"]
    assert (decided["Resultados que cuentan"], decided["Fallidas que cuentan"], decided["Redes con fallos"],
            decided["Sin historial: resultados"]) == ("2", "2", "1", "0")
    states = {r["Equipo"]: r["Estado"] for r in table_after(browser, "Instalaciones a las que se ofreció")}
    assert states == {"cont-1": "fallida: descomprimir 5", "cont-2": "fallida: verificar 87",
                      "cont-3": "ofrecida", "cont-4": "ofrecida"}

    browser.find_element(By.LINK_TEXT, "descomprimir 5: 1").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: "/panel/fallos/instalaciones?" in d.current_url)
    settle(browser, "20-instalaciones-con-el-fallo")
    assert [r["Equipo"] for r in table_after(browser, None)] == ["cont-1"]

    # The console shows the events told: the one that waited for its receiver took more than one attempt.
    visit(browser, fleet, "/panel/avisos", "21a-avisos-eventos")
    events = table_after(browser, "Últimos eventos")
    assert [(r["Evento"], r["Despliegue"], r["Estado"], r["Última respuesta"]) for r in events] == \
        [("despliegue.detenido", str(fleet.failing), "entregada", "204"),
         ("despliegue.detenido", str(fleet.steady), "entregada", "204")]
    assert (events[0]["Intentos"], int(events[1]["Intentos"]) > 1) == ("1", True)

    visit(browser, fleet, "/panel/fallos", "21-fallos")
    failures = {(r["Despliegue"], r["Paso"], r["Código"]): r["Afectadas"] for r in table_after(browser, None)}
    assert failures == {(str(fleet.failing), "descomprimir", "5"): "1 instalación",
                        (str(fleet.failing), "verificar", "87"): "1 instalación"}


def test_a_releases_health_shows_its_rate_charts_and_failures_over_the_window_chosen(browser, fleet):
    visit(browser, fleet, "/panel/versiones/2", "21a1-salud-de-la-version")
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, "main .cifra")] == \
        ["Tasa de fallos\n100,0 %\n2 fallidas de 2 instalaciones con resultado",
         "Versión anterior\n—\nno hay otra versión anterior de este programa"]
    browser.find_element(By.LINK_TEXT, "24 horas").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.current_url.endswith("/panel/versiones/2?ventana=24h"))
    settle(browser, "21a2-salud-en-24-horas")
    assert browser.find_element(By.CSS_SELECTOR, "main .ventanas [aria-current='true']").text == "24 horas"
    charts = browser.find_elements(By.CSS_SELECTOR, "main figure svg[role='img']")
    assert [c.get_attribute("aria-label") for c in charts] == \
        ["Instalaciones actualizadas (informes OK acumulados)", "Informes fallidos por intervalo"]
    # One bar per hour; the two failures fell in the last hour (or the one before, when the hour turned).
    bars = [t.get_attribute("textContent") for t in charts[1].find_elements(By.CSS_SELECTOR, "rect title")]
    failed = [int(b.rsplit(": ", 1)[1]) for b in bars]
    assert (len(failed), sum(failed[:-2]), sum(failed[-2:])) == (24, 0, 2), bars
    groups = [(r["Paso"], r["Código"], r["Informes"], r["Instalaciones"], r["Tasa"])
              for r in table_after(browser, "Fallos por paso y código")]
    assert sorted(groups) == [("descomprimir", "5", "1", "1", "50,0 %"), ("verificar", "87", "1", "1", "50,0 %")]


def test_a_halted_rollout_is_retried_and_resumed_once_its_reason_is_read_or_started_anew(browser, fleet):
    # A new rollout from the halted one: its form holds the same settings.
    visit(browser, fleet, f"/panel/despliegues/nuevo?desde={fleet.failing}", "21b-despliegue-nuevo-con-sus-ajustes")
    names = ("release", "replaces", "stages", "max-failures", "min-networks", "min-outcomes")
    assert {name: browser.find_element(By.NAME, name).get_attribute("value") for name in names} == \
        {"release": "2", "replaces": "3.0.0.0", "stages": "100", "max-failures": "2", "min-networks": "1",
         "min-outcomes": "20"}
    assert browser.find_element(By.NAME, "manual").is_selected()

    visit(browser, fleet, rollout_path(fleet.failing), "21c-despliegue-detenido-antes-de-reintentar")
    click_action(browser, "Reintentar las 2 instalaciones fallidas")
    assert answer_confirm(browser, accept=True) == \
        "Se ofrecerá de nuevo la versión a 2 instalaciones fallidas en cuanto ofrezca. ¿Continuar?"
    wait_text(browser, "Las instalaciones fallidas volverán a recibir la versión.")
    settle(browser, "21d-reintento-pedido")
    assert status_of(browser) == "Detenido" and action_buttons(browser) == []
    assert check_in(fleet.service, fleet.agents["cont-1"]) is None  # still halted

    # Resuming asks that the reason be read first.
    csrf = browser.find_element(By.CSS_SELECTOR, "main form.reconocer input[name='csrf']").get_attribute("value")
    status, _, headers = request(fleet, "POST", rollout_path(fleet.failing) + "/reconocer", f"csrf={csrf}",
                                 {"Cookie": session_cookie(browser)})
    assert (status, headers.get("Location")) == (303, rollout_path(fleet.failing) + "?aviso=sin_leer")
    browser.find_element(By.CSS_SELECTOR, "main form.reconocer input[name='leido']").click()
    browser.find_element(By.CSS_SELECTOR, "main form.reconocer button").click()
    wait_text(browser, "Despliegue reanudado tras la detención; los fallos contados quedan reconocidos.")
    settle(browser, "21e-reanudado-tras-la-detencion")
    assert status_of(browser) == "En curso"
    # The retried installations are offered it again at once, beside the two that never reported.
    assert [h for h in ("cont-1", "cont-2", "cont-3", "cont-4") if check_in(fleet.service, fleet.agents[h])] == \
        ["cont-1", "cont-2", "cont-3", "cont-4"]
    assert [r["Qué"] for r in table_after(browser, "Historia")][:3] == ["reconocido", "reintento", "detenido"]


def test_a_receiver_of_advances_gets_a_test_event_and_the_end_of_a_rollout(browser, fleet, receiver):
    visit(browser, fleet, "/panel/avisos", "21h-avisos-antes-del-segundo")
    browser.find_element(By.NAME, "url").send_keys(receiver.url)
    browser.find_element(By.NAME, "avanzado").click()
    browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/avisos'] button").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.find_elements(By.CSS_SELECTOR, "main code.secreto"))
    secret = browser.find_element(By.CSS_SELECTOR, "main code.secreto").text
    assert [(r["Aviso"], r["Eventos"]) for r in table_after(browser, None)] == \
        [("1", "despliegue.detenido"), ("2", "despliegue.detenido,despliegue.avanzado")]

    before = len(receiver.received())
    browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/avisos/2/probar'] button").click()
    wait_text(browser, "Aviso: prueba enviada.")
    settle(browser, "21i-prueba-enviada")
    assert wait_for(lambda: len(receiver.received()) == before + 1, timeout=WAIT_SECONDS)
    headers, body = receiver.received()[before]
    assert headers["x-trevanto-evento"] == "prueba"
    assert headers["x-trevanto-firma"] == "sha256=" + hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()
    assert {k: v for k, v in json.loads(body).items() if k != "cuando"} == {"evento": "prueba", "quien": OPERATOR}

    # Its last stage advanced, the rollout ends: told to the receiver that asked for advances, and to it alone.
    visit(browser, fleet, rollout_path(fleet.failing), "21j-despliegue-antes-de-terminar")
    click_action(browser, "Avanzar a la siguiente etapa")
    answer_confirm(browser, accept=True)
    wait_text(browser, "Despliegue terminado: se cumplió su última etapa.")
    settle(browser, "21k-despliegue-terminado")
    assert status_of(browser) == "Terminado"
    assert wait_for(lambda: len(receiver.received()) == before + 2, timeout=WAIT_SECONDS)
    assert_signed_event(receiver.received()[before + 1], secret,
                        {"evento": "despliegue.avanzado", "despliegue": fleet.failing, "producto": CONTABLE,
                         "version": CONTABLE_NEW, "estado": "TERMINADO", "etapa": "100 %",
                         "detalle": "todas las etapas cumplidas", "quien": OPERATOR, "cuando": "",
                         "enlace": f"/panel/despliegues/{fleet.failing}"})
    assert wait_for(lambda: fleet.service.query("SELECT webhook_id, state FROM webhook_deliveries"
                                                " WHERE event <> 'despliegue.detenido' ORDER BY id") ==
                    [(2, "ENTREGADO"), (2, "ENTREGADO")], timeout=WAIT_SECONDS)


def test_a_refused_form_keeps_what_was_typed_and_names_the_field_as_labelled(browser, fleet):
    visit(browser, fleet, f"/panel/despliegues/nuevo?desde={fleet.failing}", "21e2-despliegue-nuevo")
    soak = browser.find_element(By.NAME, "soak-minutes")
    soak.clear()
    soak.send_keys("abc")
    browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/despliegues'] button[type='submit']").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.find_elements(By.CSS_SELECTOR, "main p.error"))
    settle(browser, "21e3-formulario-rechazado")
    said = "«Observación por etapa, en minutos» debe ser un número entero de 0 a 525.600."
    assert browser.find_element(By.CSS_SELECTOR, "main p.error").text == said
    assert browser.find_element(By.CSS_SELECTOR, "main p.error").get_attribute("role") == "alert"
    marked = browser.find_element(By.CSS_SELECTOR, "main label.campo-error")
    assert marked.find_element(By.NAME, "soak-minutes").get_attribute("value") == "abc"
    assert marked.find_element(By.CSS_SELECTOR, ".mensaje-campo").text == said
    assert {name: browser.find_element(By.NAME, name).get_attribute("value")
            for name in ("release", "replaces", "stages", "max-failures")} == \
        {"release": "2", "replaces": "3.0.0.0", "stages": "100", "max-failures": "2"}
    assert fleet.service.query("SELECT COUNT(*) FROM rollouts") == [(2,)]


def test_a_package_uploaded_from_the_releases_page_is_published_and_named_by_the_release_form(browser, fleet,
                                                                                            tmp_path):
    package = tmp_path / "mesalto_6.0.4.0.zip"
    package.write_bytes(b"PK\x03\x04" + bytes(range(256)) * 12288)  # 3 MiB
    visit(browser, fleet, "/panel/versiones", "21f-versiones-antes-de-subir")
    browser.find_element(By.CSS_SELECTOR, "main form.subida input[type='file']").send_keys(str(package))
    browser.find_element(By.CSS_SELECTOR, "main form.subida button").click()
    said = browser.find_element(By.CSS_SELECTOR, "main form.subida .resultado-subida")
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: said.text.startswith("Publicado"))
    settle(browser, "21g-paquete-subido")
    digest = hashlib.sha256(package.read_bytes()).hexdigest()
    assert said.text == (f"Publicado paquetes/{package.name} (3.145.732 bytes, SHA-256 {digest}). "
                         "El formulario de abajo ya lo nombra.")
    assert (fleet.service.data / "archivos" / "paquetes" / package.name).read_bytes() == package.read_bytes()
    assert browser.find_element(By.CSS_SELECTOR, "form[action='/panel/versiones'] input[name='file']") \
        .get_attribute("value") == f"paquetes/{package.name}"
    # The same name again is refused, in the error's own style.
    browser.find_element(By.CSS_SELECTOR, "main form.subida button").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: "error" in said.get_attribute("class"))
    assert said.text == "ya hay un paquete con ese nombre"


@pytest.mark.parametrize("host, shot", [(HOSTILE_IMG, "img"), (HOSTILE_SCRIPT, "script")])
def test_a_hostile_host_name_is_shown_as_text(browser, fleet, host, shot):
    agent = fleet.agents[host]
    visit(browser, fleet, "/panel/instalaciones", f"22-instalaciones-{shot}")
    browser.find_element(By.NAME, "buscar").send_keys(host)
    browser.find_element(By.CSS_SELECTOR, "form[action='/panel/instalaciones'] button").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.find_elements(By.TAG_NAME, "h2"))
    settle(browser, f"23-busqueda-{shot}")
    assert browser.find_element(By.TAG_NAME, "h2").text == "Equipos que contienen " + host
    assert browser.find_element(By.NAME, "buscar").get_attribute("value") == host
    links = browser.find_elements(By.XPATH, "//main//table/tbody//a")
    assert [a.text for a in links] == [host]

    links[0].click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: "/panel/instalaciones/" in d.current_url)
    settle(browser, f"24-instalacion-{shot}")
    assert browser.title == f"Instalación {host} - Panel Trevanto"
    assert browser.find_element(By.TAG_NAME, "h1").text == "Instalación " + host
    facts = {r["Dato"]: r["Valor"] for r in table_after(browser, None)}
    assert (facts["Equipo"], facts["Windows"], facts["Agente"], facts["Ruta"]) == \
        (host, WINDOWS_NAMES.get(agent.windows, agent.windows), agent.agent, agent.path)
    assert "check-in" in [r["Qué"] for r in table_after(browser, "Historia")]


def test_a_reader_and_a_token_do_only_what_their_role_allows_and_the_register_names_who_gave_them(browser, fleet):
    visit(browser, fleet, "/panel/accesos", "22a-accesos")
    form = browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/accesos/operadores']")
    form.find_element(By.NAME, "nombre").send_keys("lector")
    form.find_element(By.NAME, "clave").send_keys("clave-de-solo-lectura")
    form.find_element(By.CSS_SELECTOR, "select[name='rol'] option[value='lectura']").click()
    form.find_element(By.CSS_SELECTOR, "button[type='submit']").click()
    wait_text(browser, "Cambio guardado.")
    form = browser.find_element(By.CSS_SELECTOR, "main form[action='/panel/accesos/tokens']")
    form.find_element(By.NAME, "nombre").send_keys("canal de publicación")
    form.find_element(By.CSS_SELECTOR, "button[type='submit']").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.find_elements(By.CSS_SELECTOR, "main code.secreto"))
    settle(browser, "22b-token-creado")
    bearer = {"Authorization": "Bearer " + browser.find_element(By.CSS_SELECTOR, "main code.secreto").text}

    # The token publishes and reads, but neither steers a rollout nor survives its revocation.
    status, body, _ = request(fleet, "GET", "/panel/api/instalaciones?buscar=cont-&por_pagina=10", headers=bearer)
    assert (status, json.loads(body)["total"]) == (200, 4)
    status, _, _ = request(fleet, "POST", f"/panel/api/despliegues/{fleet.steady}/pausar", headers=bearer)
    assert status == 403
    visit(browser, fleet, "/panel/accesos", "22c-accesos-con-token")
    click_action(browser, "Revocar")
    assert answer_confirm(browser, accept=True) == "Dejará de abrir /panel/api/. ¿Revocar?"
    wait_text(browser, "Cambio guardado.")
    status, _, _ = request(fleet, "GET", "/panel/api/instalaciones", headers=bearer)
    assert status == 401

    # The reader sees a rollout without a button, and a change it posts anyway is refused.
    browser.delete_all_cookies()
    visit(browser, fleet, "/panel/entrar", "22d-entrar-como-lector")
    log_in(browser, "clave-de-solo-lectura", "lector")
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.current_url == fleet.base + "/panel/resumen")
    visit(browser, fleet, rollout_path(fleet.steady), "22e-despliegue-visto-por-el-lector")
    assert action_buttons(browser) == []
    menu = [a.text for a in browser.find_elements(By.CSS_SELECTOR, "nav a")]
    assert "Avisos" in menu and "Accesos" not in menu  # it reads everything but who may do what
    csrf = browser.find_element(By.CSS_SELECTOR, "header form input[name='csrf']").get_attribute("value")
    status, _, _ = request(fleet, "POST", rollout_path(fleet.steady) + "/reanudar", f"csrf={csrf}",
                           {"Cookie": session_cookie(browser)})
    assert status == 403
    browser.delete_all_cookies()
    visit(browser, fleet, "/panel/entrar", "22f-entrar-de-nuevo")
    log_in(browser, PASSWORD)
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.current_url == fleet.base + "/panel/resumen")

    # The register: who did each of these, newest first, and the same as CSV.
    visit(browser, fleet, "/panel/registro?quien=ana&por_pagina=10", "22g-registro")
    changes = [(r["Quién"], r["Qué"], r["Sobre"], r["Detalle"]) for r in table_after(browser, None)][:3]
    assert changes == [(OPERATOR, "token cambiado", "token 1", "revocado"),
                       (OPERATOR, "token cambiado", "token 1", "creado «canal de publicación», alcance publicar"),
                       (OPERATOR, "operador cambiado", "operador lector", "añadido con el rol lectura")]
    export = browser.find_element(By.CSS_SELECTOR, "main a.csv").get_attribute("href")
    status, body, _ = request(fleet, "GET", export.removeprefix(fleet.base), headers={"Cookie": session_cookie(browser)})
    assert status == 200 and body.split("\r\n")[1].endswith(",ana,token cambiado,token 1,revocado")


def test_every_page_fits_390_and_1366_pixels_without_scrolling_sideways(browser, fleet):
    [(pc,)] = fleet.service.query("SELECT id FROM installations WHERE hostname = 'pc-01'")
    pages = {"resumen": "/panel/resumen", "despliegues": "/panel/despliegues",
             "despliegue": rollout_path(fleet.steady), "despliegue-detenido": rollout_path(fleet.failing),
             "despliegue-nuevo": f"/panel/despliegues/nuevo?desde={fleet.failing}", "versiones": "/panel/versiones",
             "version": "/panel/versiones/1", "fallos": "/panel/fallos", "instalaciones": "/panel/instalaciones",
             "instalacion": f"/panel/instalaciones/{pc}", "registro": "/panel/registro", "avisos": "/panel/avisos",
             "accesos": "/panel/accesos", "entrega": "/panel/avisos/entregas/1",
             "fallo": f"/panel/fallos/instalaciones?despliegue={fleet.failing}&paso=descomprimir&codigo=5"}
    try:
        for width in (1366, 390):
            browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": 900, "deviceScaleFactor": 1, "mobile": width < 600})
            for name, path in pages.items():
                visit(browser, fleet, path, f"30-{width}-{name}")
                assert browser.find_element(By.TAG_NAME, "h1").text, path  # a page, not an error
                sideways = browser.execute_script(
                    "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
                assert sideways <= 0, (width, path, sideways, browser.execute_script(
                    "return Array.from(document.querySelectorAll('body *')).filter(e => "
                    "e.getBoundingClientRect().left + e.scrollWidth > arguments[0]).slice(-5).map(e => e.tagName + '.' + "
                    "e.className + ' ' + e.textContent.slice(0, 40));", width))
                left, right = browser.execute_script(
                    "const r = document.querySelector('header nav').getBoundingClientRect(); return [r.left, r.right];")
                assert 0 <= left and right <= width, (width, path, left, right)
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_logging_out_ends_the_session(browser, fleet):
    visit(browser, fleet, "/panel/resumen", "25-resumen-final")
    cookie = session_cookie(browser)
    browser.find_element(By.CSS_SELECTOR, "header form button").click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda d: d.current_url == fleet.base + "/panel/entrar")
    settle(browser, "26-salir")
    status, _, headers = request(fleet, "GET", "/panel/resumen", headers={"Cookie": cookie})
    assert (status, headers.get("Location")) == (303, "/panel/entrar")
