"""The page of `brindle serve` in headless Chromium: editing through the forms, the tool's
messages, live updates from another process and deleting a key after the confirmation."""

import os
import shutil
import tempfile

import pytest

from conftest import Server, tool

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (CHROMIUM and DRIVER),
                                reason="chromium and chromium-driver are not installed")

# Changes of other processes reach the page within about a second; the waits are generous for
# a loaded machine and never part of what is tested.
WAIT = 20


@pytest.fixture(scope="module")
def browser():
    profile = tempfile.mkdtemp(prefix="brindle-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-dev-shm-usage", "--window-size=1100,760",
                 f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER),
                              options=options)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture(scope="module")
def page(browser, tmp_path_factory):
    db = str(tmp_path_factory.mktemp("browser") / "db")
    tool(db, "mkkey", "App")
    server = Server(db)
    browser.get(server.url)
    wait_for(browser, lambda d: tree_key(d, '["App"]'))
    yield browser, db
    assert server.stop() == 0


def wait_for(driver, condition):
    return WebDriverWait(driver, WAIT).until(condition)


def tree_key(driver, names_json):
    found = driver.find_elements(By.CSS_SELECTOR, f"button.key[data-key='{names_json}']")
    return found[0] if found else None


def type_into(driver, element_id, text, submit=True):
    field = driver.find_element(By.ID, element_id)
    field.clear()
    field.send_keys(text + (Keys.ENTER if submit else ""))


def click_key(driver, names_json):
    """Clicks the key's button once it is there; the page may redraw a tree level meanwhile."""
    def attempt(d):
        try:
            key = tree_key(d, names_json)
            return key and (key.click() or True)
        except StaleElementReferenceException:
            return False
    wait_for(driver, attempt)


def value_cell(driver, name):
    """The shown value of the open key's property `name` (None while the table is redrawn)."""
    try:
        for row in driver.find_elements(By.CSS_SELECTOR, "#properties tbody tr"):
            cells = row.find_elements(By.TAG_NAME, "td")
            if cells and cells[0].text == name:
                return cells[2].text
    except StaleElementReferenceException:
        pass
    return None


def test_the_token_leaves_the_address_for_a_cookie(page):
    browser, _ = page
    assert "token" not in browser.current_url
    assert browser.get_cookie("brindle_token")["httpOnly"] is True


def test_a_key_and_a_short_property_made_in_the_page_are_in_the_database(page):
    browser, db = page
    click_key(browser, '["App"]')
    type_into(browser, "child-name", "net")
    click_key(browser, '["App","net"]')
    wait_for(browser, lambda d: "net" in d.find_element(By.ID, "key-title").text)
    type_into(browser, "prop-name", "port", submit=False)
    browser.find_element(By.CSS_SELECTOR, "#prop-type option[value=short]").click()
    type_into(browser, "prop-value", "8080")
    wait_for(browser, lambda d: value_cell(d, "port") == "8080")
    assert tool(db, "get", "App/net", "port").stdout == b"8080\n"


def test_an_invalid_value_shows_the_tools_message_and_writes_nothing(page):
    browser, db = page
    type_into(browser, "prop-value", "70000")
    message = wait_for(browser, lambda d: d.find_element(By.ID, "message").get_attribute(
        "class") == "error" and d.find_element(By.ID, "message").text)
    cli = tool(db, "set", "App/net", "port", "-t", "short", "70000", check=False)
    assert message == cli.stderr.decode().strip().removeprefix("brindle: ")
    assert tool(db, "get", "App/net", "port").stdout == b"8080\n"


def test_a_change_by_another_process_shows_without_losing_the_typing(page):
    browser, db = page
    type_into(browser, "prop-value", "half-typed", submit=False)
    tool(db, "set", "App/net", "port", "9090")
    wait_for(browser, lambda d: value_cell(d, "port") == "9090")
    assert browser.find_element(By.ID, "prop-value").get_attribute("value") == "half-typed"
    tool(db, "mkkey", "App/net/extra")  # the open tree level follows too
    wait_for(browser, lambda d: tree_key(d, '["App","net","extra"]'))


def test_a_key_is_deleted_only_after_the_confirmation(page):
    browser, db = page
    browser.find_element(By.ID, "delete-key").click()
    dialog_text = wait_for(browser, lambda d: d.find_element(By.ID, "confirm-text").text or None)
    assert "2 keys and 1 property" in dialog_text
    browser.find_element(By.CSS_SELECTOR, "#confirm button[value=cancel]").click()
    assert tool(db, "ls", "App").stdout == b"net\n"
    browser.find_element(By.ID, "delete-key").click()
    wait_for(browser, lambda d: d.find_element(By.ID, "confirm").get_attribute("open"))
    browser.find_element(By.ID, "confirm-delete").click()
    wait_for(browser, lambda d: tree_key(d, '["App","net"]') is None)
    assert tool(db, "ls", "App").stdout == b""


def test_keyboard_alone_in_a_narrow_window(page):
    browser, _ = page
    browser.set_window_size(420, 800)
    try:
        pane = browser.find_element(By.ID, "key-pane").rect
        tree = browser.find_element(By.ID, "tree-pane").rect
        assert pane["y"] >= tree["y"] + tree["height"]  # stacked, not squeezed side by side
        browser.find_element(By.ID, "filter").click()
        for _ in range(10):
            focused = browser.switch_to.active_element
            if focused.get_attribute("data-key") == '["App"]':
                break
            focused.send_keys(Keys.TAB)
        focused.send_keys(Keys.ENTER)
        wait_for(browser, lambda d: d.find_element(By.ID, "key-title").text == "App")
        type_into(browser, "prop-name", "mode", submit=False)
        browser.find_element(By.ID, "prop-type").send_keys("string")
        type_into(browser, "prop-value", "quiet")  # Enter submits the form
        wait_for(browser, lambda d: value_cell(d, "mode") == "quiet")
    finally:
        browser.set_window_size(1100, 760)


def test_the_demo_database_in_a_screenshot(browser, tmp_path):
    db = str(tmp_path / "demo")
    tool(db, "demo")
    server = Server(db)
    try:
        browser.get(server.url)
        click_key(browser, '["Service"]')
        wait_for(browser, lambda d: value_cell(d, "deployed_at"))
        assert value_cell(browser, "deployed_at") == "2024-03-05T10:00:00Z (UTC)"
        click_key(browser, '["Service","Network"]')
        click_key(browser, '["Service","Network","TLS"]')
        wait_for(browser, lambda d: value_cell(d, "certificate_fingerprint"))
        assert value_cell(browser, "certificate_fingerprint") == \
            "de ad be ef 00 01 02 03 fe ff (10 bytes)"
        click_key(browser, '["Service","Network"]')
        wait_for(browser, lambda d: value_cell(d, "request_timeout_s") == "2.5")
        click_key(browser, '["Factory"]')  # a read-only main key: shown, not editable
        wait_for(browser, lambda d: "read-only" in d.find_element(By.ID, "key-flags").text)
        assert not browser.find_element(By.ID, "property-form").is_displayed()
        assert not browser.find_element(By.ID, "delete-key").is_displayed()
        click_key(browser, '["Service","Network"]')
        wait_for(browser, lambda d: value_cell(d, "request_timeout_s") == "2.5")
        shot = os.environ.get("BRINDLE_SCREENSHOT", str(tmp_path / "serve.png"))
        assert browser.save_screenshot(shot)
    finally:
        assert server.stop() == 0
