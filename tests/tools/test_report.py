"""The HTML report: what it holds, that it stands alone, and that a real browser renders it."""

from __future__ import annotations

import base64
import io
import json
import os
import re
import warnings

import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools

import _chromium

matplotlib = pytest.importorskip("matplotlib")

SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
CHROMIUM = _chromium.find()
IN_CI = bool(os.environ.get("CI"))
# A data URI, or a reference that leaves the page: a scheme, a protocol-relative
# address, a CSS url() or @import, a script or a linked resource.
DATA_URI = re.compile(r"data:image/png;base64,([A-Za-z0-9+/=]+)")
EXTERNAL = re.compile(
    r"(?i)\b(?:https?|ftp|wss?):|(?:src|href)\s*=\s*[\"']?//|url\(|@import|<script|<link|<iframe"
)


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
        return indexfuse_tools.robustness(SCHEMA, data, n=32, progress=False, scheduler=1)


@pytest.fixture(scope="module")
def full_report(statecrime, analysis, tmp_path_factory):
    model, data = statecrime
    path = tmp_path_factory.mktemp("report") / "wellbeing.html"
    indexfuse_tools.report(
        model, data, path, external=data[["urban"]], title="Wellbeing <2009>", source="statecrime & co",
        robustness=analysis,
    )  # fmt: skip
    return path


def _sections(text):
    return re.findall(r'<section id="(\w+)">', text)


@pytest.mark.parametrize(
    "options, present, absent",
    [
        (
            {},
            {"framework", "weights", "ranking", "coherence", "coefficients", "scores"},
            {"links", "robustness"},
        ),
        ({"external": "urban"}, {"links"}, {"robustness"}),
        ({"robustness": "sobol"}, {"robustness"}, {"links"}),
    ],
)
def test_sections_follow_the_arguments(statecrime, analysis, tmp_path, options, present, absent):
    model, data = statecrime
    if "external" in options:
        options = {**options, "external": data[options["external"]]}
    if "robustness" in options:
        options = {**options, "robustness": analysis}
    written = indexfuse_tools.report(model, data, tmp_path / "r.html", **options)
    sections = set(_sections(written.read_text()))
    assert present <= sections and not absent & sections


def test_titles_and_names_are_escaped_and_directions_in_words(full_report):
    text = full_report.read_text()
    assert "<title>Wellbeing &lt;2009&gt;</title>" in text and "Source: statecrime &amp; co" in text
    assert "lowers the index" in text and "(-1)" not in re.sub(DATA_URI, "", text)
    assert "rank, 5–95% over the alternatives" in text  # the robustness analysis' intervals, per unit


def test_robustness_names_the_indicator_whose_removal_moves_the_ranking_most(full_report, analysis):
    text = re.sub(DATA_URI, "", full_report.read_text())
    levels = analysis.by_level("exclude")
    table = text[text.index(">left out</th>") :]
    rows = re.findall(r"<tr><td[^>]*>([^<]+)</td>", table)[: len(levels)]
    assert rows == [str(level) for level in levels.index] and "no exclusion" in rows


def test_single_dimension_model(tmp_path):
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment([("violent", -1), ("murder", -1)])
    model.fit(data)
    text = indexfuse_tools.report(model, data, tmp_path / "one.html").read_text()
    assert "all indicators" in text and len(DATA_URI.findall(text)) == 5


@pytest.mark.skipif(
    CHROMIUM is None and not IN_CI,
    reason="headless Chromium is not installed here (apt-get install chromium); .ci/run installs it",
)
def test_report_renders_in_a_browser_and_loads_nothing(full_report, tmp_path):
    assert CHROMIUM, "CI must have Chromium: .ci/run installs it when missing"
    text = full_report.read_text()
    images = [base64.b64decode(data) for data in DATA_URI.findall(text)]
    outside = EXTERNAL.findall(DATA_URI.sub("", text))
    assert outside == [] and not any(b"http" in image for image in images)

    probe = """JSON.stringify({
        images: [...document.images].map(i => [i.complete, i.naturalWidth, i.getBoundingClientRect().width]),
        tables: document.querySelectorAll("table").length,
        rows: document.querySelectorAll("tbody tr").length,
        heading: document.querySelector("h1").innerText,
        words: document.body.innerText.split(/\\s+/).length})"""
    seen = _chromium.visit(CHROMIUM, full_report, probe)
    (tmp_path / "report.png").write_bytes(seen.screenshot)
    page = json.loads(seen.probe)

    assert seen.complaints == []
    assert {url.split(":")[0] for url in seen.requests} <= {"file", "data"}
    assert page["heading"] == "Wellbeing <2009>"
    # 5 figures of the index and 3 of the robustness analysis (intervals,
    # sensitivity, exclusions), decoded and at print resolution (200 dpi over
    # at least 5 inches), none wider than the page.
    assert len(page["images"]) == 8
    assert all(done and pixels >= 1000 and 0 < shown <= 1100 for done, pixels, shown in page["images"])
    assert page["tables"] >= 9 and page["rows"] > 51 and page["words"] > 1000

    import matplotlib.image

    shot = matplotlib.image.imread(io.BytesIO(seen.screenshot), format="png")
    assert shot.shape[0] == pytest.approx(seen.height, abs=2) and shot.shape[0] > 4000
    ink = (shot[..., :3] < 0.9).any(axis=2)
    assert 0.03 < ink.mean() < 0.6  # neither blank nor a solid block
    assert ink[: shot.shape[0] // 2].mean() > 0.01 and ink[shot.shape[0] // 2 :].mean() > 0.01


HOSTILE = '"<script>\''  # a label that would open a script, and quotes


def test_hostile_labels_reach_the_page_as_text(tmp_path):
    data = sm.datasets.statecrime.load_pandas().data[["violent", "murder", "hs_grad"]]
    data = data.rename(columns={"murder": f"murder{HOSTILE}"})
    data.index = [f"{name}{HOSTILE}" if name == "Alabama" else name for name in data.index]
    model = indexfuse.indexpca_diment(
        {f"safety{HOSTILE}": [("violent", -1), (f"murder{HOSTILE}", -1)], "schooling 'n' <more>": ["hs_grad"]}
    )
    model.fit(data)
    text = indexfuse_tools.report(
        model, data, tmp_path / "hostile.html", title=f"T{HOSTILE}", source=f"S{HOSTILE} & 'co'",
        external=data[["hs_grad"]].rename(columns={"hs_grad": f"outside{HOSTILE}"}),
    ).read_text()  # fmt: skip
    page = DATA_URI.sub("", text)
    assert EXTERNAL.findall(page) == [] and HOSTILE not in page
    # in the title, the source, the framework, every table naming a dimension,
    # an indicator, a unit or an outside measure, and the units at a glance
    assert page.count("&lt;script&gt;") >= 20
    assert "schooling &#39;n&#39; &lt;more&gt;" in page


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda model, data, path: indexfuse_tools.report(model, data, path, robustness={"ranks": None}),
         "robustness must be the RobustnessResult"),
        (lambda model, data, path: indexfuse_tools.report(model, data, path, None, "a title"),
         "3 positional arguments"),
    ],
    ids=["duck-typed robustness", "options by position"],
)  # fmt: skip
def test_wrong_calls_say_what_to_pass(statecrime, tmp_path, call, message):
    model, data = statecrime
    with pytest.raises(TypeError, match=message):
        call(model, data, tmp_path / "never.html")
    assert not (tmp_path / "never.html").exists()


class CountingModel(indexfuse.indexpca_diment):
    scored = 0

    def score(self, data):
        type(self).scored += 1
        return super().score(data)


def test_the_rows_are_scored_once(statecrime, tmp_path):
    _, data = statecrime
    model = CountingModel(SCHEMA)
    model.fit(data)
    CountingModel.scored = 0
    indexfuse_tools.report(model, data, tmp_path / "once.html", external=data[["urban"]])
    assert CountingModel.scored == 1


def _weights_section(text):
    return re.search(r'<section id="weights">(.*?)</section>', text, re.S).group(1)


# Tables the model scores but the audit's estimates cannot all take: a state
# lacking every safety indicator, one state, two states, and equal rows.
@pytest.mark.parametrize(
    "change, note",
    [
        (
            lambda d: d.assign(**{label: d[label].mask(d.index == "Ohio") for label in ("violent", "murder")}),
            "safety has no value on 1 row(s) (&#39;Ohio&#39;)",
        ),
        (lambda d: d.iloc[:1], "the information of the top-level dimensions cannot be estimated"),
        (lambda d: d.iloc[:2], None),
        (lambda d: d.iloc[:6].assign(**dict.fromkeys(d.columns, 1.0)), "their values do not vary"),
    ],
    ids=["state lacking a dimension", "one state", "two states", "equal rows"],
)
def test_awkward_tables_are_reported_with_what_was_left_out(statecrime, tmp_path, change, note):
    model, data = statecrime
    text = indexfuse_tools.report(model, change(data), tmp_path / "awkward.html").read_text()
    weights_part = _weights_section(text)
    if note is None:
        assert "leaves rows out" not in weights_part
    else:
        assert note in weights_part and note in text.split('<section id="framework">')[0]  # and at a glance


# ------------------------------------------------------- the data treatment --

# Gaps where a statistics office finds them: two states lack a poverty figure,
# three a share of single parents, and two every safety indicator (dropped).
GAPS = {"poverty": ["Utah", "Iowa"], "single": ["Maine", "Ohio", "Vermont"], "violent": ["Texas", "Idaho"],
        "murder": ["Texas", "Idaho"]}  # fmt: skip
IMPUTED = {"Utah", "Iowa", "Maine", "Ohio", "Vermont"}


@pytest.fixture(scope="module")
def treated_report(tmp_path_factory):
    raw = sm.datasets.statecrime.load_pandas().data
    raw = raw.assign(band=["urban" if value > 75 else "rural" for value in raw["urban"]])
    for label, states in GAPS.items():
        raw.loc[states, label] = float("nan")
    prepared, log, preparation = indexfuse_tools.prepare(
        SCHEMA, raw, impute="median", group="band", transform={"murder": "log"}, winsorize=True,
        min_present=0.5,
    )  # fmt: skip
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(prepared)
    path = tmp_path_factory.mktemp("treated") / "treated.html"
    indexfuse_tools.report(model, raw, path, preparation=preparation)
    return path, log


def _section(text, anchor):
    return re.search(rf'<section id="{anchor}">(.*?)</section>', text, re.S).group(1)


def _body_rows(html, marked=False):
    """The text of each body row's cells, or with ``marked`` whether each is marked imputed."""
    rows = []
    for row in re.findall(r"<tr>(.*?)</tr>", html.split("<tbody>", 1)[-1]):
        cells = re.findall(r"<td([^>]*)>(.*?)</td>", row)
        rows.append([("imputed" in how) if marked else re.sub("<[^>]+>", "", text) for how, text in cells])
    return rows


def test_the_treatment_section_says_what_was_dropped_imputed_and_transformed(treated_report):
    path, _ = treated_report
    text = path.read_text()
    assert _sections(text)[:3] == ["glance", "framework", "treatment"]
    assert "(2 more left out by the" in _section(text, "glance")
    indicators = _section(text, "indicators")
    assert "after the <a href=\"#treatment\">data treatment</a>" in indicators and ">winsorised</th>" in indicators
    part = _section(text, "treatment")
    assert "scored on 49 of 51 units" in part and "5 values imputed" in part
    for state in ("Texas", "Idaho"):
        assert f"<li><strong>{state}</strong> (" in part and "safety 0 of 2" in part
    between = part.split("<h3>Each indicator</h3>")[1].split("<h3>Units dropped</h3>")[0]
    rows = {cells[0]: cells for cells in _body_rows(between)}
    # indicator: missing in the data (over all 51 states), imputed (over the 49 kept), transform
    assert rows["poverty"][1:4] == ["2", "2", ""] and rows["single"][1:3] == ["3", "3"]
    assert rows["murder"][1:3] == ["2", "0"] and rows["murder"][3].startswith("log")
    assert "band" in part  # dropped units by group
    # the log spreads murder's low values apart; the cap moves the District's share of single parents
    changes = _body_rows(part.split("<h3>Largest changes</h3>")[1])
    moved = [abs(float(cells[-1])) for cells in changes]
    assert {cells[1] for cells in changes} <= {"murder", "single"} and moved == sorted(moved, reverse=True)
    assert 0 < moved[-1] and len(changes) == 10


def test_scores_resting_on_imputed_values_are_marked(treated_report):
    path, log = treated_report
    part = _section(path.read_text(), "scores")
    imputed = set(log.loc[log["step"] == "impute", "row"])
    units = [cells[1] for cells in _body_rows(part)]
    marked = dict(zip(units, _body_rows(part, marked=True), strict=True))
    assert {unit for unit, flags in marked.items() if any(flags)} == imputed == IMPUTED
    # the composite and the hardship dimension rest on them, safety and education do not
    headers = re.findall(r"<th[^>]*>(.*?)</th>", part)
    for unit in imputed:
        flagged = {header for header, flag in zip(headers, marked[unit]) if flag}
        assert flagged == {"composite", "opportunity / hardship (lowers the index)"}
    assert "rests on imputed values" in part
    assert "imputed values" in headers


@pytest.mark.skipif(
    CHROMIUM is None and not IN_CI,
    reason="headless Chromium is not installed here (apt-get install chromium); .ci/run installs it",
)
@pytest.mark.parametrize("width", [1280, 390], ids=["desktop", "phone"])
def test_the_treatment_section_fits_a_phone_and_a_desktop(treated_report, width):
    assert CHROMIUM, "CI must have Chromium: .ci/run installs it when missing"
    path, _ = treated_report
    probe = """JSON.stringify({
        page: document.documentElement.scrollWidth,
        section: document.querySelector("#treatment").getBoundingClientRect().width,
        tables: document.querySelectorAll("#treatment table").length,
        marks: document.querySelectorAll("#scores td.imputed .mark").length})"""
    seen = _chromium.visit(CHROMIUM, path, probe, width=width)
    found = json.loads(seen.probe)
    assert seen.complaints == []
    # wide tables scroll inside their box; the page itself never scrolls sideways
    assert found["page"] <= width and 0 < found["section"] <= width
    assert found["tables"] >= 3 and found["marks"] == 2 * len(IMPUTED)


def test_a_preparation_that_changed_nothing_says_so(statecrime):
    from indexfuse_tools._report import sections
    from indexfuse_tools._report.page import environment
    from indexfuse_tools._results import treat

    _, data = statecrime
    _, _, preparation = indexfuse_tools.prepare(SCHEMA, data)
    facts = sections.treatment(treat(data, preparation, "report()")).facts
    text = environment().get_template("treatment.html").render(facts=facts)
    assert "scored on 51 of 51 units" in text and "0 units" in text and "no indicator transformed" in text
    assert "No unit is dropped" in text and "No value is imputed" in text
    assert "Units dropped" not in text and "Largest changes" not in text and "winsorisation moved" not in text
