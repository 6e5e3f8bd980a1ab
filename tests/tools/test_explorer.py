"""The explorer page: what it carries, what it refuses, and what a reader's browser does with it."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import types
import warnings
from pathlib import Path

import _chromium
from _explorer_page import carried, units_of
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import main

pytest.importorskip("jinja2")

ROOT = Path(__file__).resolve().parents[2]
SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
CHROMIUM = _chromium.find()
IN_CI = bool(os.environ.get("CI"))
needs_browser = pytest.mark.skipif(
    CHROMIUM is None and not IN_CI,
    reason="headless Chromium is not installed here (apt-get install chromium); .ci/run installs it",
)
SCREENSHOTS = Path(os.environ.get("INDEXFUSE_SCREENSHOTS", "/tmp/explorer"))

# What the page shows of a number, as its script writes it: fixed decimals, no negative zero.
def shown(value: float, digits: int = 4) -> str:
    if not np.isfinite(value):
        return "–"
    text = f"{value:.{digits}f}"
    return text[1:] if re.fullmatch(r"-0\.?0*", text) else text


def rank_text(rank: float) -> str:
    return "–" if not np.isfinite(rank) else str(int(rank)) if rank == int(rank) else f"{rank:.1f}"


@pytest.fixture(scope="module")
def statecrime():
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


@pytest.fixture(scope="module")
def analysis(statecrime):
    _, data = statecrime
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)  # n is small on purpose
        return indexfuse_tools.robustness(SCHEMA, data, n=16, method="uncertainty", progress=False, scheduler=1)


def stand_in_editions(model, data, periods=(2007, 2008, 2009)):
    """An object shaped as editions() returns it: results by (period, unit), and the periods."""
    scores = indexfuse_tools.results(model, data)
    frames = []
    for step, period in enumerate(periods):
        composite = scores["composite"] + 0.01 * step * np.arange(len(scores)) / len(scores)
        frames.append(pd.DataFrame({"composite": composite, "rank": composite.rank(ascending=False)}))
    results = pd.concat(frames, keys=list(periods), names=["period", "unit"])
    return types.SimpleNamespace(results=results, periods=list(periods))


@pytest.fixture(scope="module")
def page(statecrime, analysis, tmp_path_factory):
    model, data = statecrime
    path = tmp_path_factory.mktemp("explorer") / "states.html"
    return indexfuse_tools.explorer(
        model, data, path, title="States", source="statecrime", robustness=analysis,
        editions=stand_in_editions(model, data),
    )  # fmt: skip


# ------------------------------------------------------------ in Python --


def test_the_page_carries_every_unit_and_the_models_records(page, statecrime):
    model, data = statecrime
    document, column = carried(page)
    assert column(document["units"]) == list(data.index)
    assert [d["name"] for d in document["dimensions"]] == list(indexfuse_tools.weights(model).index)
    assert [d["directions"] for d in document["dimensions"]] == [[1.0], [1.0, 1.0], [1.0, -1.0]]
    np.testing.assert_array_equal(
        column(document["dimensions"][2]["values"]), indexfuse_tools.results(model, data)["opportunity / hardship (-1)"]
    )
    # Read from a text table, the indicators come back bit for bit.
    for entry in document["columns"]:
        np.testing.assert_array_equal(column(entry["values"]), data[entry["label"]].to_numpy())
    assert len(document["indicators"]) == 5 and document["editions"]["periods"] == ["2007", "2008", "2009"]
    order = column(document["unitOrder"])
    assert [data.index[i] for i in order] == sorted(data.index)


@pytest.mark.parametrize("character", ["<", ">", "&", "\u2028", "\u2029"])
def test_labels_cannot_end_the_script_that_holds_them(statecrime, tmp_path, character):
    model, data = statecrime
    label = f"</script>{character}<!--"
    data = data.rename(index={"Alabama": label})
    page = indexfuse_tools.explorer(model, data, tmp_path / "page.html", source=label)
    text = page.read_text(encoding="utf-8")
    data_script = re.search(r'id="explorer-data">(.*?)</script>', text, re.S).group(1)
    assert character not in data_script and "</script>" + character not in text
    assert units_of(page)[0] == label


@pytest.mark.parametrize(
    "where, value",
    [("murder", np.inf), ("hs_grad", -np.inf)],
)
def test_infinite_values_are_refused_by_column_and_unit(statecrime, tmp_path, where, value):
    model, data = statecrime
    data = data.copy()
    data.loc["Ohio", where] = value
    with pytest.raises(ValueError, match=rf"'{where}' holds -?inf for the unit 'Ohio'"):
        indexfuse_tools.explorer(model, data, tmp_path / "page.html")
    assert list(tmp_path.iterdir()) == []


def test_a_missing_value_is_shown_missing_not_refused(statecrime, tmp_path):
    model, data = statecrime
    data = data.copy()
    data.loc["Ohio", "murder"] = np.nan
    assert indexfuse_tools.explorer(model, data, tmp_path / "page.html").exists()


def test_units_the_preparation_drops_are_listed_without_a_score(statecrime, tmp_path):
    model, data = statecrime
    raw = data.copy()
    raw.loc[["Ohio", "Utah"], ["poverty", "single"]] = np.nan
    _, _, preparation = indexfuse_tools.prepare(SCHEMA, raw, min_present={"opportunity / hardship (-1)": 1})
    document, column = carried(indexfuse_tools.explorer(model, raw, tmp_path / "page.html", preparation=preparation))
    assert column(document["units"]) == list(raw.index)
    decoded = column(document["dimensions"][0]["values"])
    assert np.isnan(decoded[raw.index.get_indexer(["Ohio", "Utah"])]).all() and np.isfinite(decoded).sum() == 49


def test_a_failed_write_leaves_the_page_that_was_there(statecrime, tmp_path, monkeypatch):
    model, data = statecrime
    path = tmp_path / "page.html"
    path.write_text("the good page")
    from indexfuse_tools._explorer import page as page_module

    def broken(**_):
        raise RuntimeError("disk gone")

    monkeypatch.setattr(page_module, "render", broken)
    with pytest.raises(RuntimeError):
        indexfuse_tools.explorer(model, data, path)
    assert path.read_text() == "the good page" and [p.name for p in tmp_path.iterdir()] == ["page.html"]


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"robustness": {"ranks": None}}, TypeError, "robustness must be the RobustnessResult"),
        ({"editions": object()}, TypeError, "editions must be the Editions"),
        ({"editions": types.SimpleNamespace(results=pd.DataFrame({"composite": [1.0]}), periods=[1])},
         ValueError, r"indexed by \(period, unit\)"),
    ],
    ids=["robustness", "editions", "editions' shape"],
)  # fmt: skip
def test_wrong_companions_say_what_to_pass(statecrime, tmp_path, options, error, message):
    model, data = statecrime
    with pytest.raises(error, match=message):
        indexfuse_tools.explorer(model, data, tmp_path / "page.html", **options)


def test_the_page_asks_for_nothing_outside_itself(page):
    text = page.read_text(encoding="utf-8")
    markup = text.split('<script type="application/json"')[0]
    assert not re.search(r"(?i)\b(?:https?|wss?):|(?:src|href)\s*=", markup)
    scripts = text[len(markup) :]
    assert not re.search(r"\b(?:fetch|XMLHttpRequest|importScripts|import)\s*\(", scripts)


def test_the_command_line_writes_the_page_and_the_report_links_to_it(statecrime, tmp_path):
    _, data = statecrime
    data.to_csv(tmp_path / "states.csv")
    (tmp_path / "schema.toml").write_text(
        'safety = ["violent:-1", "murder:-1"]\n[opportunity]\neducation = ["hs_grad"]\n"hardship:-1" = ["poverty", "single"]\n'
    )
    table, schema = str(tmp_path / "states.csv"), str(tmp_path / "schema.toml")
    assert main(["explore", table, "--schema", schema, "-o", str(tmp_path / "explore.html"), "--title", "T"]) == 0
    assert units_of(tmp_path / "explore.html") == list(data.index)
    assert main(["report", table, "--schema", schema, "-o", str(tmp_path / "report.html"),
                 "--explorer", str(tmp_path / "pages" / ".." / "linked page.html")]) == 0  # fmt: skip
    assert '<a href="linked%20page.html">' in (tmp_path / "report.html").read_text()
    assert (tmp_path / "linked page.html").exists()
    assert main(["explore", table, "--schema", schema, "-o", table]) == 2


@pytest.mark.parametrize(
    "values, decimals",
    [
        ([1.0, 2.0, -3.0], 0),
        ([0.1, 0.25, np.nan], 2),
        ([12.345, 0.001], 3),
        ([1 / 3], None),  # no short decimal form: float32
        ([3e9], None),  # whole, but past int32
        ([np.nan], 0),
    ],
)
def test_indicator_values_travel_with_the_digits_they_were_written_with(tmp_path, values, decimals):
    from indexfuse_tools._explorer.columns import Columns, decimals_of

    values = np.array(values)
    assert decimals_of(values) == decimals
    columns = Columns()
    entry = columns.add_measured(values)
    page = tmp_path / "columns.html"
    page.write_text(f'<script type="application/json" id="explorer-data">{{}}</script><script id="explorer-columns">{columns.text()}</script>')
    _, column = carried(page)
    back = column(entry)
    if decimals is None:
        np.testing.assert_array_equal(back, values.astype(np.float32))
    else:
        np.testing.assert_array_equal(back, values)  # bit for bit, NaN kept


def test_the_page_carries_the_raw_values_and_what_the_treatment_changed(statecrime, tmp_path):
    model, data = statecrime
    raw = data.copy()
    raw.loc["Ohio", "murder"] = np.nan
    prepared, _, preparation = indexfuse_tools.prepare(SCHEMA, raw, impute="mean", transform={"violent": "log"})
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    document, column = carried(indexfuse_tools.explorer(model, raw, tmp_path / "page.html", preparation=preparation))
    by_label = {entry["label"]: entry for entry in document["columns"]}
    np.testing.assert_array_equal(column(by_label["violent"]["values"]), raw["violent"])
    np.testing.assert_allclose(column(by_label["violent"]["treated"]["values"]), prepared["violent"], rtol=1e-7)
    # One gap filled: only that unit's value travels, with its place.
    murder = by_label["murder"]["treated"]
    assert list(column(murder["positions"])) == [raw.index.get_loc("Ohio")]
    assert column(murder["values"])[0] == pytest.approx(prepared.loc["Ohio", "murder"])
    assert by_label["hs_grad"]["treated"] is None
    assert by_label["violent"]["treatment"] == {"fill": "the mean", "transform": "log(x + 0)"}


# ------------------------------------------------------- in the browser --

ROWS = "[...document.querySelectorAll('#table tbody tr.row')].map(tr => [...tr.cells].map(td => td.textContent))"
HEADERS = "[...document.querySelectorAll('#table thead th')].map(th => th.textContent.replace(/[▲▼]$/, ''))"
SETTLED = "window.indexfuseExplorer.settled().then(() => true)"


def control(label: str, kind: str) -> str:
    """A script finding the weight control of the dimension labelled ``label``."""
    return (
        "[...document.querySelectorAll('#weight-controls .weight-row')]"
        f".find(row => row.querySelector('label').firstChild.textContent === {json.dumps(label)})"
        f".querySelector('input[type={kind}]')"
    )


def set_weight(session, label: str, kind: str, percent: float) -> None:
    event = "input" if kind == "range" else "change"
    session.evaluate(f"(() => {{ const c = {control(label, kind)}; c.value = '{percent}'; "
                     f"c.dispatchEvent(new Event('{event}')); }})()")  # fmt: skip
    session.evaluate(SETTLED)


def search(session, text: str) -> list[list[str]]:
    session.evaluate(f"(() => {{ const box = document.getElementById('search'); box.value = {json.dumps(text)};"
                     " box.dispatchEvent(new Event('input')); })()")  # fmt: skip
    session.evaluate(SETTLED)
    return session.evaluate(ROWS)


def choose(session, unit_button: str = "document.querySelector('#table tbody button.unit')") -> None:
    session.evaluate(f"{unit_button}.click()")
    session.evaluate(SETTLED)


@pytest.fixture(scope="module")
def browser(page):
    if CHROMIUM is None:
        pytest.skip("headless Chromium is not installed here")
    with _chromium.Session(CHROMIUM, width=1280) as session:
        yield session


def open_page(session, page, fragment=""):
    session.load(page, fragment)
    session.evaluate("window.indexfuseExplorer.ready")
    session.evaluate(SETTLED)  # what the address asks for (weights, a unit) is computed after the first draw


@needs_browser
def test_search_and_sort_find_units_and_nothing_leaves_the_file(browser, page, statecrime):
    model, data = statecrime
    open_page(browser, page)
    headers = browser.evaluate(HEADERS)
    assert headers[:3] == ["Unit", "Rank", "Composite"] and "Published rank" not in headers
    assert headers[-1] == "Rank, 5–95% over the alternatives"
    scores = indexfuse_tools.results(model, data)
    by_rank = scores.sort_values("rank").index
    assert [row[0] for row in search(browser, "ANSAS")] == [unit for unit in by_rank if "ansas" in unit]
    search(browser, "")
    browser.evaluate(f"[...document.querySelectorAll('#table thead th button')][{headers.index('safety')}].click()")
    browser.evaluate(SETTLED)
    shown_rows = browser.evaluate(ROWS)
    lowest = scores.sort_values("safety", kind="stable").head(len(shown_rows))
    assert len(shown_rows) >= 10 and [row[0] for row in shown_rows] == list(lowest.index)
    # Every control is reached by Tab and named for a screen reader.
    unnamed = browser.evaluate(
        "[...document.querySelectorAll('input, select, button, [role=button]')]"
        ".filter(e => !e.disabled && e.getAttribute('aria-disabled') !== 'true')"
        ".filter(e => e.tabIndex < 0 || !(e.labels?.length || e.getAttribute('aria-label') || e.textContent.trim()))"
        ".map(e => e.outerHTML.slice(0, 80))"
    )
    assert unnamed == [] and browser.evaluate("document.querySelectorAll('#table thead th[aria-sort] button').length") == 7
    assert browser.evaluate("[...document.querySelectorAll('#table thead th')].map(th => th.getAttribute('aria-sort'))") == [
        "none", "none", "none", "ascending", "none", "none", "none"
    ]  # fmt: skip
    assert browser.complaints == []
    assert {url.split(":")[0] for url in browser.requests} <= {"file", "blob", "about"}


@needs_browser
@pytest.mark.parametrize(
    "moves",
    [
        [("safety", "range", 70)],
        [("hardship", "range", 20)],
        [("opportunity", "number", 35), ("education", "number", 90)],
        [("safety", "range", 0), ("hardship", "number", 100)],
    ],
    ids=["top level", "nested", "number boxes", "zero and all"],
)
def test_what_if_weights_equal_set_weights_then_results(browser, page, statecrime, moves):
    model, data = statecrime
    open_page(browser, page)
    for label, kind, percent in moves:
        set_weight(browser, label, kind, percent)
    given = browser.evaluate("window.indexfuseExplorer.given()")
    copy = indexfuse_tools.loads(indexfuse_tools.dumps(model))
    indexfuse_tools.set_weights(copy, given, normalize=True)
    expected = indexfuse_tools.results(copy, data)
    assert browser.evaluate("window.indexfuseExplorer.weights()") == indexfuse_tools.weights(copy).to_dict()
    np.testing.assert_allclose(browser.evaluate("window.indexfuseExplorer.composite()"), expected["composite"], rtol=0, atol=1e-15)
    assert browser.evaluate("window.indexfuseExplorer.rank()") == expected["rank"].tolist()
    shown_rows = browser.evaluate(ROWS)
    ranked = expected.sort_values(["rank"], kind="stable").head(len(shown_rows))
    assert [row[:3] for row in shown_rows] == [
        [unit, rank_text(r), shown(c)] for unit, r, c in zip(ranked.index, ranked["rank"], ranked["composite"])
    ]
    assert browser.evaluate("!document.getElementById('weights-note').hidden")
    assert "Published rank" in browser.evaluate(HEADERS)


@needs_browser
def test_tied_and_missing_composites_rank_and_sort_as_pandas_does(browser, statecrime, tmp_path):
    model, data = statecrime
    data = pd.concat([data, data.loc[["Ohio", "Iowa"]].rename(index=lambda unit: unit + " again")])
    data.loc[["Utah", "Maine"], ["violent", "murder"]] = np.nan  # no safety, so no composite
    open_page(browser, indexfuse_tools.explorer(model, data, tmp_path / "ties.html"))
    expected = indexfuse_tools.results(model, data)
    assert browser.evaluate("window.indexfuseExplorer.rank()") == [None if np.isnan(r) else r for r in expected["rank"]]
    assert expected.loc["Ohio", "rank"] == expected.loc["Ohio again", "rank"] and expected.loc["Ohio", "rank"] % 1 == 0.5
    headers = browser.evaluate(HEADERS)
    for ascending in (True, False):  # the first choice of a heading sorts up, the next down
        browser.evaluate(f"[...document.querySelectorAll('#table thead th button')][{headers.index('safety')}].click()")
        browser.evaluate(SETTLED)
        browser.evaluate("document.getElementById('table-scroll').scrollTop = 1e6")
        browser.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")
        order = expected["safety"].sort_values(ascending=ascending, kind="stable", na_position="last")
        shown_rows = browser.evaluate(ROWS)
        assert [row[0] for row in shown_rows] == list(order.index[-len(shown_rows) :])  # the missing last, either way
        browser.evaluate("document.getElementById('table-scroll').scrollTop = 0")
    assert browser.complaints == []


@needs_browser
def test_a_model_of_one_dimension_has_nothing_to_reweight(browser, tmp_path):
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment([("violent", -1), "hs_grad"])
    model.fit(data)
    open_page(browser, indexfuse_tools.explorer(model, data, tmp_path / "one.html"))
    expected = indexfuse_tools.results(model, data)
    assert browser.evaluate("window.indexfuseExplorer.composite()") == pytest.approx(expected["composite"].tolist(), abs=1e-15)
    assert browser.evaluate("document.querySelector('#weight-controls input[type=range]').disabled")
    assert browser.complaints == []


@needs_browser
def test_the_weights_travel_in_the_address_and_reset_brings_back_the_published(browser, page, statecrime):
    open_page(browser, page)
    set_weight(browser, "hardship", "range", 80)
    composite = browser.evaluate("window.indexfuseExplorer.composite()")
    fragment = browser.evaluate("location.hash.slice(1)")
    assert "w%3Aopportunity+%2F+hardship+%28-1%29=" in fragment
    open_page(browser, page, fragment)
    assert browser.evaluate("window.indexfuseExplorer.composite()") == pytest.approx(composite, abs=1e-15)
    browser.evaluate("document.getElementById('reset').click()")
    browser.evaluate(SETTLED)
    model, data = statecrime
    assert browser.evaluate("location.hash") == ""
    assert browser.evaluate("document.getElementById('weights-note').hidden")
    assert browser.evaluate("window.indexfuseExplorer.composite()") == pytest.approx(
        indexfuse_tools.results(model, data)["composite"].tolist(), abs=1e-15
    )
    open_page(browser, page, "w:safety=oops")
    assert "could not be read" in browser.evaluate("document.getElementById('weights-note').textContent")
    open_page(browser, page, "unit=New+Mexico")
    assert browser.evaluate("document.getElementById('profile-heading').textContent") == "Why New Mexico ranks where it does"


@needs_browser
def test_a_units_profile_says_why_it_ranks_there(browser, page, statecrime, analysis):
    model, data = statecrime
    open_page(browser, page)
    search(browser, "Ohio")
    choose(browser)
    profile = browser.evaluate(
        "({heading: document.getElementById('profile-heading').textContent,"
        " summary: document.getElementById('profile-summary').textContent,"
        " dimensions: [...document.querySelectorAll('#profile-dimensions tbody tr')].map(tr => [...tr.cells].map(td => td.textContent)),"
        " indicators: [...document.querySelectorAll('#profile-indicators tbody tr')].map(tr => [...tr.cells].map(td => td.textContent)),"
        " editions: document.querySelectorAll('#trajectory-table tbody tr').length,"
        " focused: document.activeElement.id})"
    )  # fmt: skip
    assert profile["heading"] == "Why Ohio ranks where it does" and profile["focused"] == "profile-heading"
    scores = indexfuse_tools.results(model, data).loc["Ohio"]
    ranks = analysis.ranks.loc["Ohio"]
    assert f"Rank {rank_text(scores['rank'])} of 51, composite {shown(scores['composite'])}." in profile["summary"]
    assert f"runs from {rank_text(ranks['p5'])} to {rank_text(ranks['p95'])}" in profile["summary"]
    terms = indexfuse_tools.contributions(model, data).loc["Ohio"]
    by_dimension = terms.groupby(level="dimension", sort=False).sum()
    assert [row[3] for row in profile["dimensions"]] == [
        ("+" if round(v, 4) > 0 else "") + shown(v) for v in by_dimension
    ]
    assert [row[3] for row in profile["indicators"]] == [("+" if round(v, 4) > 0 else "") + shown(v) for v in terms]
    assert profile["indicators"][0][0].startswith("violentsafety, lowers the index")
    assert profile["editions"] == 3


@needs_browser
@pytest.mark.parametrize("width", [1280, 390])
def test_the_page_reads_on_a_desktop_and_a_phone(browser, page, width):
    browser.resize(width)
    try:
        open_page(browser, page)
        search(browser, "Ohio")
        choose(browser)
        set_weight(browser, "safety", "range", 60)
        assert browser.evaluate("document.documentElement.scrollWidth") <= width
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        (SCREENSHOTS / f"explorer-{width}.png").write_bytes(browser.screenshot())
    finally:
        browser.resize(1280)


HOSTILE = ['<script>alert("unit")</script>', '"><img src=x onerror=alert(1)>', "O'Brien \"quoted\""]


@needs_browser
def test_hostile_labels_are_shown_as_text_and_never_run(tmp_path):
    data = sm.datasets.statecrime.load_pandas().data[["violent", "murder", "hs_grad"]].head(20)
    data = data.rename(columns={"murder": HOSTILE[1]})
    data.index = HOSTILE + list(data.index[3:])
    model = indexfuse.indexpca_diment({HOSTILE[0]: [("violent", -1), (HOSTILE[1], -1)], HOSTILE[2]: ["hs_grad"]})
    model.fit(data)
    path = indexfuse_tools.explorer(model, data, tmp_path / "hostile.html", title=HOSTILE[1], source=HOSTILE[0])
    with _chromium.Session(CHROMIUM, width=1280) as session:
        open_page(session, path)
        rows = search(session, "")
        choose(session)
        seen = session.evaluate(
            f"({{headers: {HEADERS}, labels: [...document.querySelectorAll('#weight-controls label')].map(l => l.firstChild.textContent),"
            " images: document.querySelectorAll('img').length, title: document.querySelector('h1').textContent,"
            " heading: document.getElementById('profile-heading').textContent})"
        )  # fmt: skip
        assert set(HOSTILE) <= {row[0] for row in rows}
        assert seen["headers"][3:5] == [HOSTILE[0], HOSTILE[2]] and seen["labels"] == [HOSTILE[0], HOSTILE[2]]
        assert seen["images"] == 0 and seen["title"] == HOSTILE[1]
        assert seen["heading"] == f"Why {rows[0][0]} ranks where it does"
        assert session.complaints == []
        assert {url.split(":")[0] for url in session.requests} <= {"file", "blob", "about"}
        assert all(url.endswith("hostile.html") for url in session.requests if url.startswith("file:"))


# The text of an element that is not a label (outside <bdi> and dir="auto")
# must run left to right, character after character, whatever the labels
# inside it hold.
RUNS_LEFT_TO_RIGHT = """(element => {
  const walker = document.createTreeWalker(element, NodeFilter.SHOW_TEXT);
  const turned = [];
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    if (node.parentElement.closest('bdi, [dir=auto]') || !node.textContent.trim()) continue;
    const lefts = [];
    for (let k = 0; k < node.length; k++) {
      if (/\\s/.test(node.textContent[k])) continue;
      const range = document.createRange();
      range.setStart(node, k);
      range.setEnd(node, k + 1);
      const box = range.getBoundingClientRect();
      if (box.width) lefts.push([box.left, box.top]);
    }
    // On one line, each character right of the one before.
    if (lefts.some(([left, top], k) => k && top === lefts[k - 1][1] && left < lefts[k - 1][0])) turned.push(node.textContent);
  }
  return turned;
})"""
OVERRIDE = "\u202e"  # right-to-left override, left open


@needs_browser
@pytest.mark.parametrize("width", [1280, 390])
def test_a_label_ending_in_a_direction_override_turns_nothing_after_it(tmp_path, width):
    data = sm.datasets.statecrime.load_pandas().data.head(20).rename(columns={"murder": "murder" + OVERRIDE})
    long = "Unit with a name that goes on " * 12
    data.index = ["Ohio" + OVERRIDE, long, *data.index[2:]]
    data["region" + OVERRIDE] = ["north", "south"] * 10
    data.iloc[0, data.columns.get_loc("murder" + OVERRIDE)] = np.nan  # filled within the region, then logged
    schema = {"safety" + OVERRIDE: [("violent", -1), ("murder" + OVERRIDE, -1)], "education": ["hs_grad"]}
    prepared, _, preparation = indexfuse_tools.prepare(
        schema, data, impute="mean", group="region" + OVERRIDE, transform={"murder" + OVERRIDE: "log"}
    )
    model = indexfuse.indexpca_diment(schema)
    model.fit(prepared)
    path = indexfuse_tools.explorer(
        model, data, tmp_path / "bidi.html", title="Title" + OVERRIDE, source="S" + OVERRIDE, preparation=preparation
    )
    with _chromium.Session(CHROMIUM, width=width) as session:
        open_page(session, path)
        session.evaluate("window.indexfuseExplorer.openProfile(0)")
        session.evaluate(SETTLED)
        turned = session.evaluate(
            f"[...document.querySelectorAll('header p, h1, #weight-controls label, #profile-heading, #profile-summary,"
            f" #profile-indicators td, #found, #units-note')].flatMap({RUNS_LEFT_TO_RIGHT})"
        )  # fmt: skip
        assert turned == []
        assert session.evaluate("document.getElementById('profile-heading').textContent") == f"Why Ohio{OVERRIDE} ranks where it does"
        words = session.evaluate("[...document.querySelectorAll('#profile-indicators .sub')].map(s => s.textContent)")
        assert f"gap filled with the mean within \u2068region{OVERRIDE}\u2069; log(x + 0)" in words
        assert session.evaluate("document.title") == f"\u2068Title{OVERRIDE}\u2069"
        # The long name is cut short in the table, wraps in the profile, and nothing leaves the screen.
        search(session, "goes on")
        assert session.evaluate("document.querySelector('#table button.unit').getBoundingClientRect().width") <= 12 * 16
        session.evaluate("window.indexfuseExplorer.openProfile(1)")
        session.evaluate(SETTLED)
        assert session.evaluate("document.documentElement.scrollWidth") <= width
        assert session.complaints == []


@pytest.fixture(scope="module")
def panel():
    """Three editions of the states with a 0..100 anchor over all of them, and the latest's page."""
    data = sm.datasets.statecrime.load_pandas().data
    rng = np.random.default_rng(7)
    frames = {year: data * (1 + 0.05 * rng.standard_normal(data.shape)) for year in (2007, 2008, 2009)}
    found = indexfuse_tools.editions(SCHEMA, frames, period="year", scale="0-100")
    return found, frames[2009]


@needs_browser
def test_a_units_profile_follows_it_over_the_editions_on_one_anchor(browser, panel, tmp_path):
    found, latest = panel
    path = indexfuse_tools.explorer(found.model, latest, tmp_path / "editions.html", editions=found, scale=found.presentation)
    open_page(browser, path)
    browser.evaluate("window.indexfuseExplorer.openProfile(window.indexfuseExplorer.findUnit('Ohio'))")
    browser.evaluate(SETTLED)
    table = browser.evaluate(
        "[...document.querySelectorAll('#trajectory-table tr')].map(tr => [...tr.cells].map(c => c.textContent))"
    )
    assert table[0] == ["Edition", "Composite", "Score (0–100)", "Rank", "Places gained", "Composite change", "Score change"]
    ohio = found.results.xs("Ohio", level="unit")
    def change(value: float, digits: int) -> str:
        return "–" if np.isnan(value) else ("+" if round(value, digits) > 0 else "") + shown(value, digits)

    for row, (period, one) in zip(table[1:], ohio.iterrows(), strict=True):
        assert row == [
            str(period), shown(one["composite"]), shown(one["score"], 1), rank_text(one["rank"]),
            change(one["rank_change"], 1).removesuffix(".0"), change(one["composite_change"], 4), change(one["score_change"], 1),
        ]  # fmt: skip
    assert table[1][4:] == ["–", "–", "–"]
    # The table's scores are the editions' latest, on the anchor fixed over all of them.
    scores = dict(zip(browser.evaluate("window.indexfuseExplorer.units()"), browser.evaluate("Array.from(window.indexfuseExplorer.scores().score)")))
    assert scores["Ohio"] == ohio["score"].iloc[-1]
    assert browser.evaluate("document.getElementById('scale-note').textContent") == found.presentation.describe()
    assert browser.complaints == []


@needs_browser
def test_scores_on_0_100_are_fixed_again_as_results_fixes_them_when_a_weight_moves(browser, statecrime, tmp_path):
    model, data = statecrime
    open_page(browser, indexfuse_tools.explorer(model, data, tmp_path / "scale.html", scale="0-100"))
    assert "Score (0\u2060–\u2060100)" in browser.evaluate(HEADERS)
    set_weight(browser, "safety", "range", 75)
    copy = indexfuse_tools.loads(indexfuse_tools.dumps(model))
    indexfuse_tools.set_weights(copy, browser.evaluate("window.indexfuseExplorer.given()"), normalize=True)
    expected = indexfuse_tools.results(copy, data, scale="0-100")
    assert browser.evaluate("Array.from(window.indexfuseExplorer.scores().score)") == expected["score"].tolist()
    assert browser.evaluate("document.getElementById('scale-note').textContent") == expected.attrs["scale"]
    top = browser.evaluate(ROWS)[0]
    assert top[3] == shown(expected.sort_values("rank")["score"].iloc[0], 1)


@needs_browser
def test_the_profile_shows_each_value_as_given_and_as_scored(browser, statecrime, tmp_path):
    _, data = statecrime
    raw = data.copy()
    raw.loc["Ohio", "murder"] = np.nan
    prepared, _, preparation = indexfuse_tools.prepare(SCHEMA, raw, impute="mean", transform={"violent": "log"})
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    open_page(browser, indexfuse_tools.explorer(model, raw, tmp_path / "treated.html", preparation=preparation))
    browser.evaluate("window.indexfuseExplorer.openProfile(window.indexfuseExplorer.findUnit('Ohio'))")
    browser.evaluate(SETTLED)
    rows = browser.evaluate(
        "[...document.querySelectorAll('#profile-indicators tbody tr')].map(tr => [...tr.cells].map(c => c.textContent))"
    )
    by_indicator = {row[0].split("safety")[0].split("opportunity")[0]: row for row in rows}
    ohio = raw.loc["Ohio"]
    assert by_indicator["violent"][1:3] == [f"{ohio['violent']:,.4g}".replace(",", ","), f"{np.log(ohio['violent']):.4g}log(x + 0)"]
    assert by_indicator["murder"][1:3] == ["–", f"{prepared.loc['Ohio', 'murder']:.4g}gap filled with the mean"]
    assert by_indicator["hs_grad"][2] == "unchanged"
    terms = indexfuse_tools.contributions(model, prepared).loc["Ohio"]
    assert [row[4] for row in rows] == [("+" if round(v, 4) > 0 else "") + shown(v) for v in terms]
    assert browser.complaints == []


def areas(n: int) -> pd.DataFrame:
    """``n`` synthetic small areas, labelled "Area 1".."Area n" in a shuffled order."""
    sys.path.insert(0, str(ROOT / "benchmarks"))
    from bench_explorer import deprivation_frame

    data = deprivation_frame(n)
    data.index = [f"Area {k + 1}" for k in np.random.default_rng(3).permutation(n)]
    return data


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    sys.path.insert(0, str(ROOT / "benchmarks"))
    from bench_explorer import SCHEMA as AREAS

    data = areas(3000)
    model = indexfuse.indexpca_diment(AREAS)
    model.fit(data)
    return model, data, indexfuse_tools.explorer(model, data, tmp_path_factory.mktemp("many") / "many.html")


ROW_INDICES = "[...document.querySelectorAll('#table tbody tr.row')].map(tr => Number(tr.getAttribute('aria-rowindex')))"


@needs_browser
def test_rows_are_drawn_as_they_scroll_into_view(browser, many):
    model, data, path = many
    open_page(browser, path)
    expected = indexfuse_tools.results(model, data).sort_values("rank", kind="stable")
    assert browser.evaluate("document.getElementById('table').getAttribute('aria-rowcount')") == "3001"
    browser.evaluate("(() => { const box = document.getElementById('table-scroll'); box.scrollTop = box.scrollHeight / 2; })()")
    browser.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")
    indices = browser.evaluate(ROW_INDICES)
    rows = browser.evaluate(ROWS)
    assert 10 <= len(rows) <= 60 and indices == list(range(indices[0], indices[0] + len(rows))) and indices[0] > 1000
    assert [row[0] for row in rows] == list(expected.index[indices[0] - 2 : indices[0] - 2 + len(rows)])
    # The row in the middle of the box is the one the scroll bar points at.
    middle = browser.evaluate(
        "(() => { const box = document.getElementById('table-scroll').getBoundingClientRect();"
        " return document.elementFromPoint(box.left + 30, box.top + box.height / 2).closest('tr').getAttribute('aria-rowindex'); })()"
    )
    assert abs(int(middle) - 1501) <= 20
    # Names sort as a reader reads them: Area 2 before Area 10.
    browser.evaluate("document.querySelector('#table thead th button').click()")
    browser.evaluate(SETTLED)
    browser.evaluate("document.getElementById('table-scroll').scrollTop = 0")
    browser.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")
    assert [row[0] for row in browser.evaluate(ROWS)[:12]] == [f"Area {k}" for k in range(1, 13)]
    assert browser.complaints == []


@needs_browser
def test_without_a_worker_the_page_computes_the_same_itself(many):
    model, data, path = many
    with _chromium.Session(CHROMIUM, width=1280) as session:
        session.add_script("delete window.Worker;")
        open_page(session, path)
        assert session.evaluate("typeof Worker") == "undefined"
        expected = indexfuse_tools.results(model, data)
        assert session.evaluate("window.indexfuseExplorer.rank()") == expected["rank"].tolist()
        assert [row[0] for row in search(session, "area 12")] == [
            unit for unit in expected.sort_values("rank", kind="stable").index if "12" in unit
        ][: len(session.evaluate(ROWS))]
        assert session.complaints == []


@needs_browser
def test_a_companion_panel_hears_every_new_score_and_opens_profiles(browser, page, statecrime):
    model, data = statecrime
    open_page(browser, page)
    assert browser.evaluate("document.getElementById('explorer-panel').hidden")
    browser.evaluate(
        "window.heard = []; document.addEventListener('indexfuse:scores',"
        " event => window.heard.push({rank: Array.from(event.detail.rank), published: event.detail.published}))"
    )
    set_weight(browser, "safety", "range", 80)
    browser.evaluate("document.getElementById('reset').click()")
    browser.evaluate(SETTLED)
    heard = browser.evaluate("window.heard")
    assert [event["published"] for event in heard] == [False, True]
    assert heard[1]["rank"] == indexfuse_tools.results(model, data)["rank"].tolist() != heard[0]["rank"]
    browser.evaluate("window.indexfuseExplorer.openProfile(window.indexfuseExplorer.findUnit('Utah'))")
    browser.evaluate(SETTLED)
    assert browser.evaluate("document.getElementById('profile-heading').textContent") == "Why Utah ranks where it does"
    assert browser.evaluate("window.indexfuseExplorer.findUnit('nowhere')") == -1
    named = browser.evaluate("window.indexfuseExplorer.dimensions().map(d => [d.name, Array.from(d.values)])")
    expected = indexfuse_tools.results(model, data)
    assert [[name, expected[name].tolist()] for name, _ in named] == named


@needs_browser
@pytest.mark.slow
def test_242335_units_fit_in_30_mb_and_answer_in_time(tmp_path):
    sys.path.insert(0, str(ROOT / "benchmarks"))
    from bench_explorer import measure, write_page

    path, _ = write_page(242_335, tmp_path)
    assert path.stat().st_size <= 30e6
    # The best of three loads: the machine is shared, and a reader's first
    # opening is the only one a busy neighbour slows.
    times = measure(path, repeats=3)
    assert times["interactive"] < 3000 and max(times["search"], times["sort"], times["reweight"]) < 300, times


def test_the_guides_example_writes_the_page_and_its_picture(tmp_path):
    guide = (ROOT / "docs/guide/explorer.md").read_text()
    shown = re.search(r"<!-- example: examples/explorer.py -->\n```python\n(.*?)```", guide, re.S).group(1)
    assert shown == (ROOT / "examples/explorer.py").read_text()
    assert (ROOT / "examples/figures/wellbeing-explorer_page.png").exists() and "examples/figures/wellbeing-explorer_page.png" in guide
    # The example starts the browser itself, which then inherits a sanitizer
    # run's preloaded runtime and crawls; that run checks the extensions, not
    # the browser, so it writes the page without its picture.
    preloaded = any(os.environ.get(name) for name in _chromium.SANITIZER_VARIABLES)
    shoot = CHROMIUM and not preloaded
    picture = ["--screenshot", str(tmp_path / "page.png")] if shoot else []
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples/explorer.py"), str(tmp_path / "page.html"), *picture],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.startswith(f"Open it in a browser: {(tmp_path / 'page.html').as_uri()}#unit=Ohio")
    assert not shoot or (tmp_path / "page.png").read_bytes().startswith(b"\x89PNG")
