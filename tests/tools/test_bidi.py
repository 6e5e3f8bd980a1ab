"""Labels written right to left, or carrying bidirectional controls, leave the
text around them in its order: in the report as a browser lays it out, in
figures, and in plain text."""

from __future__ import annotations

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools._core import BIDI_CONTROLS, isolate, isolated, strip_bidi, table_text

import _chromium

matplotlib = pytest.importorskip("matplotlib")

CHROMIUM = _chromium.find()
IN_CI = bool(os.environ.get("CI"))
RLO = "\u202e"  # RIGHT-TO-LEFT OVERRIDE
FSI, PDI = "\u2068", "\u2069"
CAIRO = "القاهرة"


@pytest.mark.parametrize(
    "label, shown",
    [
        ("Ohio", "Ohio"),
        ("Zürich 2019", "Zürich 2019"),
        (2019, "2019"),
        (f"Ohio{RLO}", f"{FSI}Ohio{RLO}{PDI}"),
        (CAIRO, f"{FSI}{CAIRO}{PDI}"),
        ("\u200f", f"{FSI}\u200f{PDI}"),  # a right-to-left mark alone
        # An isolate the label closes without opening would end ours early: dropped.
        (f"a{PDI}{RLO}b", f"{FSI}a{RLO}b{PDI}"),
        # One it opens without closing would swallow the rest of the line: closed.
        ("a\u2067b", f"{FSI}a\u2067b{PDI}{PDI}"),
    ],
)
def test_isolate(label, shown):
    assert isolate(label) == shown


def test_strip_bidi_leaves_every_other_character():
    assert strip_bidi(f"{FSI}Oh{RLO}io\u200e\u061c{PDI} {CAIRO}") == f"Ohio {CAIRO}"


# ------------------------------------------------------------- the report --


@pytest.fixture(scope="module")
def hostile():
    """Statecrime, its best state and a dimension named with a right-to-left override at the end."""
    data = sm.datasets.statecrime.load_pandas().data
    data = data.rename(index={"New Hampshire": f"New Hampshire{RLO}", "Wyoming": CAIRO})
    schema = {f"safety{RLO}": [("violent", -1), ("murder", -1)], "schooling": ["hs_grad"]}
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    return model, data


@pytest.fixture(scope="module")
def hostile_report(hostile, tmp_path_factory):
    model, data = hostile
    path = tmp_path_factory.mktemp("bidi") / "report.html"
    indexfuse_tools.report(model, data, path)
    return path


# The left edge of each character of the first number in parentheses after
# ``label`` in the element ``selector``, as the browser lays the line out.
_PROBE = """(() => {
  const edges = (selector, label) => {
    const root = document.querySelector(selector);
    const text = root.textContent, start = text.indexOf(label);
    const number = /[(]?[0-9][0-9.,]*/.exec(text.slice(start + label.length));
    const at = start + label.length + number.index;
    const walker = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);
    const xs = [];
    let node, offset = 0;
    while ((node = walker.nextNode())) {
      for (let i = 0; i < node.data.length; i++, offset++) {
        if (offset >= at && offset < at + number[0].length) {
          const range = document.createRange();
          range.setStart(node, i);
          range.setEnd(node, i + 1);
          xs.push(range.getClientRects()[0].left);
        }
      }
    }
    return {number: number[0], xs};
  };
  return JSON.stringify({
    glance: edges("#glance p", "New Hampshire"),
    arabic: edges("#glance p", "%s"),
    finding: edges("#glance .findings li", "safety"),
    tree: edges("#framework li", "safety"),
  });
})()""" % CAIRO


def test_the_report_isolates_every_label_it_names(hostile_report):
    text = hostile_report.read_text(encoding="utf-8")
    assert f"{FSI}New Hampshire{RLO}{PDI} (" in text  # in a sentence built before the page
    assert f"<bdi>safety{RLO}</bdi>" in text  # in the framework's tree and the tables
    assert f"<bdi>New Hampshire{RLO}</bdi>" in text  # in the scores table


@pytest.mark.skipif(
    CHROMIUM is None and not IN_CI,
    reason="headless Chromium is not installed here (apt-get install chromium); .ci/run installs it",
)
def test_a_right_to_left_label_does_not_turn_the_number_after_it_around(hostile_report, tmp_path):
    assert CHROMIUM, "CI must have Chromium: .ci/run installs it when missing"
    seen = _chromium.visit(CHROMIUM, hostile_report, _PROBE, width=1280)
    (tmp_path / "report.png").write_bytes(seen.screenshot)
    laid = json.loads(seen.probe)
    assert seen.complaints == []
    for place in ("glance", "arabic", "finding", "tree"):
        xs = laid[place]["xs"]
        # Read left to right, as written: "(0.72)" and not ")27.0(".
        assert len(xs) >= 3 and xs == sorted(xs), (place, laid[place])


# ----------------------------------------------------------------- figures --


def _texts(figure):
    from matplotlib.text import Text

    return [text.get_text() for text in figure.findobj(Text)]


@pytest.mark.parametrize("chart", ["ranking", "distribution", "weights", "correlations"])
def test_figures_draw_labels_without_bidirectional_controls(hostile, chart):
    model, data = hostile
    table = indexfuse_tools.results(model, data)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a glyph the font lacks is a warning
        figure = {
            "ranking": lambda: indexfuse_tools.plot_ranking(table, n=5, title=f"Best{RLO} states"),
            "distribution": lambda: indexfuse_tools.plot_distribution(table),
            "weights": lambda: indexfuse_tools.plot_weights(model),
            "correlations": lambda: indexfuse_tools.plot_correlations(indexfuse_tools.audit(model, data)),
        }[chart]()
        figure.canvas.draw()
    texts = _texts(figure)
    assert not any(set(text) & set(BIDI_CONTROLS) for text in texts)
    named = "New Hampshire" if chart in ("ranking", "distribution") else "safety"
    assert any(named in text for text in texts)


# -------------------------------------------------------------- plain text --


def test_plain_text_isolates_labels_from_the_numbers_beside_them(hostile):
    model, data = hostile
    summary = str(indexfuse_tools.audit(model, data))
    assert f"{FSI}safety{RLO}{PDI}" in summary and f"safety{RLO} " not in summary
    lines = [line for line in summary.splitlines() if "schooling" in line or "safety" in line][:2]
    # Isolates take no room on a terminal: the columns after the names still line up.
    assert len(strip_bidi(lines[0])) == len(strip_bidi(lines[1]))

    ranks = pd.DataFrame({"rank": [1.0, 2.0]}, index=pd.Index([f"Ohio{RLO}", "Utah"], name="unit"))
    printed = table_text(ranks, 1)
    assert f"{FSI}Ohio{RLO}{PDI}" in printed and isolated(ranks).index[1] == "Utah"


def test_comparability_findings_isolate_the_units_they_name():
    rng = np.random.default_rng(2)
    frames = {
        2020: pd.DataFrame(rng.normal(size=(4, 2)), columns=["a", "b"], index=["n", "s", "e", "w"]),
        2021: pd.DataFrame(rng.normal(size=(4, 2)), columns=["a", "b"], index=["n", "s", "e", f"Ohio{RLO}"]),
    }
    found = indexfuse_tools.editions({"A": ["a"], "B": ["b"]}, frames, period="year").comparability
    entering = found.loc[found["finding"] == "unit entering", "detail"].iloc[0]
    assert entering.startswith(f"{FSI}Ohio{RLO}{PDI} is in the 2021 edition")
