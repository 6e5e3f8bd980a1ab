"""The HTML report: what it holds, that it stands alone, and that a real browser renders it."""

from __future__ import annotations

import base64
import io
import json
import os
import re
import warnings

import pandas as pd
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
    # 5 figures of the index and 2 of the robustness analysis, decoded and at
    # print resolution (200 dpi over at least 5 inches), none wider than the page.
    assert len(page["images"]) == 7
    assert all(done and pixels >= 1000 and 0 < shown <= 1100 for done, pixels, shown in page["images"])
    assert page["tables"] >= 9 and page["rows"] > 51 and page["words"] > 1000

    import matplotlib.image

    shot = matplotlib.image.imread(io.BytesIO(seen.screenshot), format="png")
    assert shot.shape[0] == pytest.approx(seen.height, abs=2) and shot.shape[0] > 4000
    ink = (shot[..., :3] < 0.9).any(axis=2)
    assert 0.03 < ink.mean() < 0.6  # neither blank nor a solid block
    assert ink[: shot.shape[0] // 2].mean() > 0.01 and ink[shot.shape[0] // 2 :].mean() > 0.01
