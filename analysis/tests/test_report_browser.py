"""The report as a reader sees it: index and machine pages loaded from disk in headless Chromium.

Each page must load without a console error, an uncaught exception or a
resource that fails to load; its tables and figures must be there, and every
link and image must lead to a file of the report.
"""

import os
import subprocess
from urllib.parse import unquote, urlparse

import pytest

import fleet
from browser import CHROMIUM, Browser
from tarnlog.inputs import by_machine, collect
from tarnlog.report import write_report

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVICE = os.path.join(REPO, "build", "default", "qorlogsvc", "model", "service", "tarnsvc")

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed "
                                                         "(tools/install-build-deps.sh installs it)")

LINKS = "[...document.querySelectorAll('a[href]')].map(a => a.href)"
IMAGES = "[...document.images].map(i => [i.getAttribute('src'), i.naturalWidth, i.naturalHeight])"


@pytest.fixture(scope="module")
def browser():
    with Browser() as running:
        yield running


def opened(browser, path):
    page = browser.open(path)
    assert page.errors == [], page.url
    return page


def assert_links_resolve(page):
    for url in page.evaluate(LINKS):
        parsed = urlparse(url)
        assert parsed.scheme == "file", url  # nothing of the report leads off the disk
        assert os.path.isfile(unquote(parsed.path)), url


def assert_images_drawn(page, expected):
    images = page.evaluate(IMAGES)
    assert [src for src, _, _ in images] == expected
    assert all(width > 200 and height > 50 for _, width, height in images), images


def machine_files(folder):
    return by_machine(collect([str(folder)])[0])


def rows_of(page, selector):
    return page.evaluate("[...document.querySelectorAll('%s tbody tr')].filter(r => !r.hidden)"
                         ".map(r => [...r.cells].map(c => c.textContent))" % selector)


@pytest.fixture(scope="module")
def fleet_report(tmp_path_factory):
    root = tmp_path_factory.mktemp("fleet")
    fleet.write_fleet(root, machines=100)
    out = tmp_path_factory.mktemp("report")
    write_report(machine_files(root), str(out))
    return out


class TestFleetOfHundred:
    def test_index_shows_every_machine_the_heatmap_and_the_spread(self, browser, fleet_report):
        page = opened(browser, fleet_report / "index.html")
        machines = rows_of(page, "#overview")
        assert [cells[1] for cells in machines] == [fleet.machine_name(n) for n in range(1, 101)]
        stopped = machines[fleet.STOPPED - 1]
        assert (stopped[3], stopped[7], stopped[8]) == ("90", "50.0", "1")  # rows, coverage %, gaps
        assert machines[fleet.UNPLUGGED - 1][10] == "3 → 2"
        assert_images_drawn(page, ["coverage.png", "rates.png"])
        spread = {cells[0]: cells for cells in rows_of(page, "#spread")}
        assert spread["BATTERY (05)"][4].startswith(fleet.machine_name(fleet.BUSY))  # reading0/s outliers
        assert spread["WIFI (06)"][4] == "–"
        assert_links_resolve(page)

    def test_index_sorts_by_a_column_and_filters_by_name(self, browser, fleet_report):
        page = opened(browser, fleet_report / "index.html")
        page.evaluate("[...document.querySelectorAll('#overview th')]"
                      ".find(th => th.textContent == 'coverage %').click()")
        assert rows_of(page, "#overview")[0][1] == fleet.machine_name(fleet.STOPPED)
        page.evaluate("const f = document.getElementById('filter'); f.value = 'pc00';"
                      "f.dispatchEvent(new Event('input'))")
        assert sorted(cells[1] for cells in rows_of(page, "#overview")) == [
            fleet.machine_name(n) for n in range(1, 10)]

    def test_machine_page_draws_its_components_and_lists_its_events(self, browser, fleet_report):
        name = fleet.machine_name(fleet.RESET)
        page = opened(browser, fleet_report / "machines" / (name + ".html"))
        assert page.evaluate("document.querySelector('h1').textContent") == name
        assert_images_drawn(page, [name + ".png"])
        components = rows_of(page, "#components-local")
        assert [cells[1] for cells in components[:3]] == ["STORAGE_SSD (03)", "BATTERY (05)", "WIFI (06)"]
        assert [cells[1] for cells in rows_of(page, "#events-local")] == ["reset"]
        assert_links_resolve(page)


def test_report_of_a_demo_run(browser, tmp_path):
    """The real service over the simulated machine, as tools/demo.sh runs it, then its report."""
    if not os.access(SERVICE, os.X_OK):
        pytest.skip("the Linux build is not there (tools/test.sh builds it first)")
    machine = tmp_path / "machine"
    subprocess.run([os.path.join(REPO, "tools", "demo.sh"), "--no-build", "--duration", "8",
                    "--machine", str(machine)], check=True, capture_output=True, timeout=120)
    out = tmp_path / "report"
    assert write_report(machine_files(machine), str(out))[0] == 1
    page = opened(browser, out / "index.html")
    (cells,) = rows_of(page, "#overview")
    assert (cells[1], cells[2], cells[10]) == ("drive_c", "local", "22")
    assert_images_drawn(page, ["coverage.png", "rates.png"])
    assert_links_resolve(page)
    machine_page = opened(browser, out / "machines" / "drive_c.html")
    assert_images_drawn(machine_page, ["drive_c.png"])
    assert len(rows_of(machine_page, "#components-local")) == 22
    assert_links_resolve(machine_page)
