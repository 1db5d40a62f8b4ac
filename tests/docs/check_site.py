"""The built documentation site in a real browser: Debian's chromium, driven by selenium
through chromium-driver, on the site served from 127.0.0.1.

Every page loads with no error on the browser's console and no local resource missing
(stylesheets, scripts, images and links to files of the site), the gallery's images
have a size, the search page finds ``gini``, and screenshots of the front page and of a
gallery page are kept in ``docs/_build/screenshots``.

Run after ``bash tools/docs.sh`` (the nox session ``docs`` does both):
``pytest --confcutdir=tests/docs tests/docs/check_site.py``. ``ZELVANE_DOCS_HTML``
points to another build.
"""

from __future__ import annotations

import functools
import http.server
import os
import re
import shutil
import threading
from html.parser import HTMLParser
from pathlib import Path
from typing import Iterator, List, Tuple
from urllib.parse import unquote, urljoin, urlsplit

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ROOT = Path(__file__).resolve().parents[2]
HTML = Path(os.environ.get("ZELVANE_DOCS_HTML", ROOT / "docs" / "_build" / "html"))
SCREENSHOTS = HTML.parent / "screenshots"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

PAGES = sorted(p.relative_to(HTML).as_posix() for p in HTML.rglob("*.html")
               if not p.relative_to(HTML).parts[0].startswith("_"))


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args: object) -> None:
        pass


@pytest.fixture(scope="module")
def site() -> Iterator[str]:
    """The built site served on a free port of the loopback address."""
    assert (HTML / "index.html").is_file(), f"no site in {HTML}: run bash tools/docs.sh"
    handler = functools.partial(_Quiet, directory=str(HTML))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser() -> Iterator[webdriver.Chrome]:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,900", "--disable-extensions", "--no-first-run"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    driver.set_page_load_timeout(60)
    try:
        yield driver
    finally:
        driver.quit()


def console_errors(driver: webdriver.Chrome) -> List[str]:
    """The errors logged on the console since the last call (reading empties the log)."""
    return [entry["message"] for entry in driver.get_log("browser")
            if entry["level"] in ("SEVERE", "ERROR")]


class _References(HTMLParser):
    """Every URL that a page loads or links to: href, src and srcset."""

    def __init__(self) -> None:
        super().__init__()
        self.urls: List[Tuple[str, str]] = []

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, object]]) -> None:
        for name, value in attrs:
            if name in ("href", "src") and isinstance(value, str):
                self.urls.append((tag, value))
            elif name == "srcset" and isinstance(value, str):
                self.urls += [(tag, part.split()[0]) for part in value.split(",") if part.strip()]


def missing_local_files(page: str) -> List[str]:
    """The references of `page` to files of the site that are not there, and the
    resources it would load from elsewhere (the site must work offline)."""
    parser = _References()
    parser.feed((HTML / page).read_text(encoding="utf-8"))
    missing = []
    for tag, url in parser.urls:
        parts = urlsplit(urljoin(f"http://site/{page}", url))
        if parts.netloc != "site" or parts.scheme != "http":
            if tag != "a" and parts.scheme in ("http", "https", ""):
                missing.append(f"<{tag}> {url} from elsewhere")
            continue
        target = HTML / unquote(parts.path).lstrip("/")
        if target.is_dir():
            target = target / "index.html"
        if not target.is_file():
            missing.append(f"<{tag}> {url}")
    return missing


def test_the_site_has_every_part() -> None:
    assert "index.html" in PAGES and "search.html" in PAGES
    assert any(p.startswith("generated/") for p in PAGES), "no API reference"
    assert len([p for p in PAGES if p.startswith("auto_examples/plot_")]) >= 6, PAGES
    assert any(p.startswith("guide/") for p in PAGES), "no user guide"


def test_every_public_name_has_its_reference() -> None:
    import zelvane

    anchors = set()
    for page in ["api.html"] + [p for p in PAGES if p.startswith("generated/")]:
        anchors.update(re.findall(r'id="(zelvane\.[\w.]+)"', (HTML / page).read_text("utf-8")))
    names = [f"zelvane.{name}" for name in zelvane.__all__] + [
        "zelvane.bake.fitgapmass", "zelvane.bake.fitgapmass_meh", "zelvane.cli.main"]
    assert [name for name in names if name not in anchors] == []


def test_no_local_resource_is_missing() -> None:
    missing = {page: found for page in PAGES if (found := missing_local_files(page))}
    assert not missing


@pytest.mark.parametrize("page", PAGES)
def test_page_loads_without_console_errors(site: str, browser: webdriver.Chrome,
                                           page: str) -> None:
    console_errors(browser)
    browser.get(site + page)
    WebDriverWait(browser, 30).until(
        lambda d: d.execute_script("return document.readyState") == "complete")
    assert browser.find_elements(By.CSS_SELECTOR, "main, article, .bd-article"), page
    # Every image and stylesheet the browser tried to load arrived.
    broken = browser.execute_script(
        "return Array.from(document.images).filter(i => i.complete && i.naturalWidth === 0)"
        ".map(i => i.src)")
    assert broken == [], f"{page}: images that did not load: {broken}"
    errors = console_errors(browser)
    assert errors == [], f"{page}: {errors}"


def test_gallery_images_have_a_size(site: str, browser: webdriver.Chrome) -> None:
    examples = [p for p in PAGES if p.startswith("auto_examples/plot_")]
    for page in examples:
        browser.get(site + page)
        sizes = browser.execute_script(
            "return Array.from(document.querySelectorAll('img.sphx-glr-single-img,"
            " img.sphx-glr-multi-img')).map(i => [i.naturalWidth, i.naturalHeight])")
        assert sizes, f"{page} shows no figure"
        assert all(w > 0 and h > 0 for w, h in sizes), f"{page}: {sizes}"
    files = list((HTML / "_images").glob("sphx_glr_plot_*.png"))
    assert len(files) >= len(examples)
    assert all(f.stat().st_size > 1000 for f in files)


def test_search_finds_gini(site: str, browser: webdriver.Chrome) -> None:
    browser.get(site + "search.html?q=gini")
    results = WebDriverWait(browser, 60).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a"))
    titles = [link.text for link in results]
    assert any("gini" in title.lower() for title in titles), titles
    assert console_errors(browser) == []


def test_screenshots_are_kept(site: str, browser: webdriver.Chrome) -> None:
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    shots = {"front.png": "index.html", "gallery.png": "auto_examples/plot_acs_income.html"}
    for name, page in shots.items():
        browser.get(site + page)
        WebDriverWait(browser, 30).until(
            lambda d: d.execute_script("return document.readyState") == "complete")
        path = SCREENSHOTS / name
        assert browser.save_screenshot(str(path)), name
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 10_000
