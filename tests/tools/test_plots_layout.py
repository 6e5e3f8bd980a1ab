"""Figures and tables that stay readable with real labels: many indicators,
names of 40 characters, nested dimensions. Checked in the figures' own
geometry (the extents matplotlib draws every text in) and, for the report's
tables, in a browser at desktop and phone width."""

from __future__ import annotations

import itertools
import json
import os

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools import audit, plot_correlations, plot_distribution, plot_effective_weights, plot_ranking
from indexfuse_tools import plot_weights, results

import _chromium

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.text import Text  # noqa: E402

CHROMIUM = _chromium.find()
IN_CI = bool(os.environ.get("CI"))
LABEL = 40
# Pixels two boxes may share before they count as overlapping: antialiasing, not text.
TOUCH = 1.0


def _named(stem: str, number: int) -> str:
    """A name of exactly 40 characters that differs from its siblings at its start and its end."""
    head = f"{stem} {number:02d} "
    tail = f" no. {number:02d}"
    return (head + "measured over the whole population" * 2)[: LABEL - len(tail)] + tail


def _case(per_dimension: int):
    """A fitted model over 120 units named in 40 characters: a flat dimension
    and a nested one of ``per_dimension`` indicators each, a nested one of two
    and a dimension of one; every third indicator lowers its dimension."""
    rng = np.random.default_rng(per_dimension)
    units = pd.Index([_named("unit", i) for i in range(120)])
    columns: dict[str, np.ndarray] = {}

    def indicators(stem: str, count: int) -> list:
        shared = rng.normal(size=len(units))
        names = []
        for i in range(count):
            sign = -1 if i % 3 == 2 else 1
            columns[_named(stem, i)] = sign * shared + rng.normal(size=len(units))
            names.append((_named(stem, i), -1) if sign < 0 else _named(stem, i))
        return names

    schema = {
        _named("health", 0): indicators("health", per_dimension),
        _named("family", 0): {
            _named("reproduction", 0): indicators("reproduction", per_dimension),
            "work": indicators("work", 2),
        },
        "economy": indicators("economy", 1),
    }
    data = pd.DataFrame(columns, index=units)
    model = indexfuse.indexpca_diment(schema)
    model.fit(data)
    return model, data, audit(model, data), results(model, data)


@pytest.fixture(scope="module", params=[3, 8, 15], ids=lambda k: f"{k} indicators")
def case(request):
    return request.param, _case(request.param)


CHARTS = {
    "correlations": lambda model, found, table: plot_correlations(found),
    "weights": lambda model, found, table: plot_weights(model),
    "effective weights": lambda model, found, table: plot_effective_weights(found),
    "distribution": lambda model, found, table: plot_distribution(table),
    "ranking": lambda model, found, table: plot_ranking(table),
}


def _drawn_texts(figure) -> tuple[list[tuple[Text, object]], object]:
    """Every text matplotlib draws of ``figure``, with its box in pixels.

    Read off the renderer as it draws: a tick beyond the axis' limits keeps
    a label that is never drawn, and a text with nothing to show draws nothing.
    """
    canvas = FigureCanvasAgg(figure)
    renderer = canvas.get_renderer()
    drawn: list[Text] = []
    draw_text = renderer.draw_text

    def recording(gc, x, y, s, prop, angle, ismath=False, mtext=None):
        if mtext is not None and s.strip():
            drawn.append(mtext)
        return draw_text(gc, x, y, s, prop, angle, ismath=ismath, mtext=mtext)

    renderer.draw_text = recording
    canvas.draw()
    # An annotation's own extent takes in its leader line, which runs past other names by design.
    return [(text, Text.get_window_extent(text, renderer)) for text in dict.fromkeys(drawn)], renderer


def _overlap(first, second) -> bool:
    width = min(first.x1, second.x1) - max(first.x0, second.x0)
    height = min(first.y1, second.y1) - max(first.y0, second.y0)
    return width > TOUCH and height > TOUCH


def _colliding(boxes) -> list[tuple[str, str]]:
    return [
        (first.get_text(), second.get_text())
        for (first, one), (second, other) in itertools.combinations(boxes, 2)
        if _overlap(one, other)
    ]


def _tick_labels(figure) -> set[Text]:
    return {label for ax in figure.axes for label in (*ax.get_xticklabels(), *ax.get_yticklabels())}


@pytest.mark.parametrize("chart", CHARTS, ids=str)
def test_no_label_overprints_another_or_leaves_the_figure(case, chart):
    figure = CHARTS[chart](*(case[1][i] for i in (0, 2, 3)))
    boxes, _ = _drawn_texts(figure)
    ticks = _tick_labels(figure)
    labels = [(text, box) for text, box in boxes if text in ticks]
    assert len(labels) >= 4
    assert _colliding(labels) == []
    # titles, names of units, notes and numbers in cells: no text over another
    assert _colliding(boxes) == []
    inside = figure.bbox.padded(TOUCH)
    outside = [text.get_text() for text, box in boxes
               if not (inside.contains(box.x0, box.y0) and inside.contains(box.x1, box.y1))]  # fmt: skip
    assert outside == []


def test_the_weights_review_keeps_its_labels_apart_and_inside(case):
    model, data, _, _ = case[1]
    figure = indexfuse_tools.weight_uncertainty(model.schema, data, n=6, scheduler=1).plot()
    boxes, _ = _drawn_texts(figure)
    assert len(boxes) >= 8 and _colliding(boxes) == []
    inside = figure.bbox.padded(TOUCH)
    assert [text.get_text() for text, box in boxes
            if not (inside.contains(box.x0, box.y0) and inside.contains(box.x1, box.y1))] == []  # fmt: skip


@pytest.mark.parametrize("width", [7.0, 4.5])
@pytest.mark.parametrize("named", [1, 3])
def test_the_names_of_the_highest_and_the_lowest_units_never_meet(width, named):
    from matplotlib.figure import Figure

    table = _case(3)[3]
    host = Figure(figsize=(width, 3.0), layout="constrained").add_subplot()
    figure = plot_distribution(table, n=named, ax=host)
    boxes, _ = _drawn_texts(figure)
    names = [(text, box) for text, box in boxes if text.get_text().startswith("unit ")]
    assert len(names) == 2 * named
    assert _colliding(boxes) == []


def test_no_title_reaches_the_colour_bar(case):
    figure = plot_correlations(case[1][2])
    boxes, renderer = _drawn_texts(figure)
    bar = figure.axes[-1]
    assert bar.get_ylabel() == "correlation"
    reach = bar.get_tightbbox(renderer)
    titles = [figure._suptitle, *(ax.title for ax in figure.axes), *(ax._right_title for ax in figure.axes)]
    assert [text.get_text() for text, box in boxes if text in titles and _overlap(box, reach)] == []
    # nor does any map or its labels
    for ax in figure.axes[:-1]:
        assert not _overlap(ax.get_tightbbox(renderer), reach)


def _cells(figure) -> list[float]:
    """The side in inches of each map's cells."""
    sides = []
    for ax in figure.axes[:-1]:
        box = ax.get_position()
        count = len(ax.get_xticks())
        sides.append(box.width * figure.get_figwidth() / count)
        assert box.height * figure.get_figheight() / count == pytest.approx(sides[-1])
    return sides


def test_every_map_has_cells_of_one_size_that_shrink_with_more_indicators_but_stay_legible():
    sizes = {}
    for count in (3, 8, 15):
        figure = plot_correlations(_case(count)[2])
        cells = _cells(figure)
        assert cells == pytest.approx([cells[0]] * 3)
        assert figure.get_figwidth() <= 7.0 + 1e-9
        sizes[count] = cells[0]
    assert sizes[3] > sizes[8] > sizes[15] >= 0.18


def test_a_nested_dimensions_name_is_wrapped_whole_not_cut():
    figure = plot_correlations(_case(8)[2])
    names = [ax.get_title("right") for ax in figure.axes[:-1]]
    assert [name.replace(" /\n", " / ").replace("\n", " ") for name in names] == [
        _named("health", 0)[:31] + "…",
        f"{_named('family', 0)[:31]}… / {_named('reproduction', 0)[:31]}…",
        f"{_named('family', 0)[:31]}… / work",
    ]
    assert all("\n" in name for name in names[1:])


def test_a_reversed_indicator_says_so_on_the_line_of_its_name():
    figure = plot_correlations(_case(3)[2])
    labels = [label.get_text() for label in figure.axes[0].get_yticklabels()]
    assert labels == [_named("health", 0)[:31] + "…", _named("health", 1)[:31] + "…",
                      _named("health", 2)[:31] + "… (reversed)"]  # fmt: skip


# ------------------------------------------------------------------ the page --


def _short_names():
    rng = np.random.default_rng(3)
    data = pd.DataFrame(rng.normal(size=(30, 3)), columns=["gdp", "jobs", "crime"])
    model = indexfuse.indexpca_diment({"economy": ["gdp", "jobs"], "safety": [("crime", -1)]})
    model.fit(data)
    return audit(model, data)


@pytest.mark.parametrize(
    "found, cut", [(lambda: _case(3)[2], True), (_short_names, False)], ids=["long names", "short names"]
)
def test_the_maps_caption_says_when_a_name_is_cut_and_where_it_is_whole(found, cut):
    from indexfuse_tools._report import sections
    from indexfuse_tools._report.page import environment

    facts = sections.coherence(found()).facts
    text = environment().get_template("coherence.html").render(facts=facts)
    assert ("Names longer than 32 characters are cut on the maps" in text) is cut
    if cut:
        assert _named("health", 0) in text and _named("reproduction", 1) in text



@pytest.fixture(scope="module")
def wide_report(tmp_path_factory):
    model, data, _, _ = _case(15)
    path = tmp_path_factory.mktemp("layout") / "wide.html"
    review = indexfuse_tools.weight_uncertainty(model.schema, data, n=6, scheduler=1)
    indexfuse_tools.report(
        model, data, path, title="Fifteen indicators of forty characters", weight_uncertainty=review
    )
    return path


# For each table's scrolling box: how wide it is, how wide its content, whether
# it scrolls, and how far right its last column reaches inside the content.
TABLES_PROBE = """JSON.stringify({
    inner: window.innerWidth,
    page: document.documentElement.scrollWidth,
    tables: [...document.querySelectorAll("table")].map(table => {
        const box = table.parentElement, cells = table.querySelectorAll("tr:first-child > *");
        const last = cells[cells.length - 1].getBoundingClientRect(), outer = box.getBoundingClientRect();
        return {wrapped: box.classList.contains("scroll"), right: outer.right,
                client: box.clientWidth, scroll: box.scrollWidth,
                scrolls: getComputedStyle(box).overflowX === "auto",
                cue: getComputedStyle(box).backgroundImage.split("gradient").length - 1,
                reach: last.right - outer.left + box.scrollLeft};
    })})"""


@pytest.mark.skipif(
    CHROMIUM is None and not IN_CI,
    reason="headless Chromium is not installed here (apt-get install chromium); .ci/run installs it",
)
@pytest.mark.parametrize("width", [1280, 390], ids=["desktop", "phone"])
def test_wide_tables_stay_inside_the_page_and_keep_every_column(wide_report, width):
    assert CHROMIUM, "CI must have Chromium: .ci/run installs it when missing"
    seen = _chromium.visit(CHROMIUM, wide_report, TABLES_PROBE, width=width)
    found = json.loads(seen.probe)
    assert seen.complaints == []
    assert found["page"] <= found["inner"] == width
    assert len(found["tables"]) >= 6
    for table in found["tables"]:
        assert table["wrapped"] and table["right"] <= width
        # every column lies inside what its box scrolls over
        assert table["reach"] <= table["scroll"] + 1
        # a table wider than its box scrolls, and shadows at its edges say there is more
        assert table["scroll"] <= table["client"] or (table["scrolls"] and table["cue"] == 4)
    if width == 1280:
        # a desktop is wide enough for every table once long labels wrap
        assert [table for table in found["tables"] if table["scroll"] > table["client"]] == []
