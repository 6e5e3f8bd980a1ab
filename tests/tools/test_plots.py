"""Every chart of the package in the one house look, drawn without pyplot's state."""

from __future__ import annotations

import matplotlib
import numpy as np
import pandas as pd
import pytest

import indexfuse
from indexfuse_tools import audit, plot_correlations, plot_distribution, plot_effective_weights, plot_ranking
from indexfuse_tools import plot_weights, results
from indexfuse_tools._plots import plot_rank_intervals, plot_sensitivity_indices, style
from indexfuse_tools._plots.style import DPI, PALETTE, shade

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)
from matplotlib.colors import to_hex, to_rgb  # noqa: E402


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(4)
    base = rng.normal(size=(40, 1))
    data = pd.DataFrame(base + rng.normal(size=(40, 4)), columns=["gdp", "jobs", "growth", "crime"])
    data.index = [f"region {i}" for i in range(40)]
    model = indexfuse.indexpca_diment({"economy": {"output": ["gdp", "growth"], "work": ["jobs"]},
                                       "safety": [("crime", -1)]})  # fmt: skip
    model.fit(data)
    return model, audit(model, data), results(model, data)


def _ranks(units: int) -> pd.DataFrame:
    nominal = np.arange(1.0, units + 1)
    return pd.DataFrame(
        {"nominal": nominal, "median": nominal, "p5": nominal - 1, "p95": nominal + 2},
        index=pd.Index([f"u{i}" for i in range(units)], name="region"),
    )


SENSITIVITY = pd.DataFrame(
    {"S1": [0.1, 0.5], "S1_low": [0.0, 0.4], "S1_high": [0.2, 0.6],
     "ST": [0.2, 0.7], "ST_low": [0.1, 0.6], "ST_high": [0.3, 0.8]},
    index=pd.Index(["ent_k", "exclude"], name="factor"),
)  # fmt: skip

CHARTS = {
    "weights": lambda model, found, table, **kw: plot_weights(model, **kw),
    "effective weights": lambda model, found, table, **kw: plot_effective_weights(found, **kw),
    "distribution": lambda model, found, table, **kw: plot_distribution(table, **kw),
    "ranking": lambda model, found, table, **kw: plot_ranking(table, **kw),
    "rank intervals": lambda model, found, table, **kw: plot_rank_intervals(_ranks(12), runs=8, **kw),
    "rank band": lambda model, found, table, **kw: plot_rank_intervals(_ranks(90), runs=8, **kw),
    "sensitivity": lambda model, found, table, **kw: plot_sensitivity_indices(SENSITIVITY, **kw),
}


def _colours(ax) -> set[str]:
    """The colours of what is drawn: points, bars, bands and lines."""
    found = {to_hex(patch.get_facecolor()) for patch in ax.patches}
    for collection in ax.collections:
        found |= {to_hex(colour) for colour in collection.get_facecolor()}
        found |= {to_hex(colour) for colour in collection.get_edgecolor()}
    for line in ax.lines:
        # a line drawn as markers alone (an error bar's caps) shows only their edges
        drawn = line.get_markeredgecolor() if line.get_linestyle() == "None" else line.get_color()
        found.add(to_hex(drawn))
    return found


def _in_the_house(colour: str) -> bool:
    """A colour of the palette, one of its shades towards white, or a grey."""
    rgb = np.array(to_rgb(colour))
    if np.ptp(rgb) < 1 / 255:
        return True
    for base in map(np.array, map(to_rgb, PALETTE)):
        amount = float(np.median((rgb - base) / np.maximum(1 - base, 1e-9)))
        if 0 <= amount <= 1 and np.allclose(shade(tuple(base), amount), rgb, atol=2 / 255):
            return True
    return False


@pytest.mark.parametrize("chart", CHARTS, ids=str)
def test_every_chart_has_the_house_look(fitted, chart):
    figure = CHARTS[chart](*fitted, title="A title")
    ax = figure.axes[0]
    assert figure.dpi == DPI and figure.get_figwidth() == pytest.approx(7.0)
    assert not ax.spines["top"].get_visible() and not ax.spines["right"].get_visible()
    assert ax.get_title("left") == "A title" and ax.get_title() == ""
    legend = ax.get_legend() or (figure.legends[0] if figure.legends else None)
    assert legend is None or not legend.get_frame_on()
    # No colour of another scheme, such as matplotlib's default blue.
    assert [colour for colour in _colours(ax) if not _in_the_house(colour)] == []


def test_the_correlation_maps_share_the_title_and_lettering(fitted):
    figure = plot_correlations(fitted[1], title="A title")
    assert figure.dpi == DPI and figure.get_suptitle() == "A title"


@pytest.mark.parametrize("chart", CHARTS, ids=str)
def test_charts_draw_into_a_given_axes_and_leave_pyplot_and_rcparams_alone(fitted, chart):
    from matplotlib.figure import Figure

    before = dict(matplotlib.rcParams)
    host = Figure()
    ax = host.add_subplot()
    assert CHARTS[chart](*fitted, ax=ax) is host
    assert plt.get_fignums() == []
    CHARTS[chart](*fitted)
    assert plt.get_fignums() == [] and dict(matplotlib.rcParams) == before


def test_style_restores_the_callers_settings():
    with matplotlib.rc_context({"font.size": 13.0}):
        with style():
            assert matplotlib.rcParams["font.size"] == 9
        assert matplotlib.rcParams["font.size"] == 13.0


@pytest.mark.parametrize(
    "call",
    [
        lambda table: plot_ranking(table, 5),
        lambda table: plot_distribution(table, "composite"),
        lambda table: plot_distribution(table, extremes=2),
    ],
    ids=["ranking n by position", "distribution column by position", "distribution extremes"],
)
def test_options_are_keywords_named_as_everywhere(fitted, call):
    with pytest.raises(TypeError):
        call(fitted[2])


@pytest.mark.parametrize("n, named", [(1, 2), (2, 4), (30, 2 * 20)])
def test_distribution_names_n_units_at_each_end(fitted, n, named):
    figure = plot_distribution(fitted[2], n=n)
    assert sum("(" in text.get_text() for text in figure.axes[0].texts) == named


@pytest.mark.parametrize("n, rows, gap", [(None, 12, False), (3, 6, True), (6, 12, False)])
def test_rank_intervals_show_the_best_and_the_worst_with_a_gap(n, rows, gap):
    figure = plot_rank_intervals(_ranks(12), runs=8, n=n, label={"u0": "Alpha"})
    ax = figure.axes[0]
    labels = [tick.get_text() for tick in ax.get_yticklabels()]
    assert len(labels) == rows and labels[0] == "Alpha"
    assert any(line.get_linestyle() == ":" for line in ax.lines) is gap


@pytest.mark.parametrize("n", [0, -1, 2.5, "3"])
def test_rank_intervals_refuse_a_count_that_is_no_positive_integer(n):
    with pytest.raises(ValueError, match="positive integer or None"):
        plot_rank_intervals(_ranks(5), runs=8, n=n)


def test_sensitivity_factors_are_named_in_words_and_ordered_by_total_index():
    figure = plot_sensitivity_indices(SENSITIVITY, labels={"exclude": "an indicator left out"})
    assert [tick.get_text() for tick in figure.axes[0].get_yticklabels()] == ["ent_k", "an indicator left out"]
    assert figure.axes[0].get_title("left") == "What moves the ranking"


# Labels come from tables, schemas and callers: none of them is mathematics.
DOLLARS = "GDP in $ (PPP, 2010 $)"
PRICES = "Costs $5 to $10"
NOT_MATHS = "$x^^2$"
LONG = "Share of households whose income after housing costs stays below sixty percent of the median " + "x" * 56
CUT = LONG[:31] + "…"  # what every chart draws of it


def _labelled(name: str) -> dict[str, object]:
    """A model, its audit and results, a rank table and a sensitivity table in
    which one dimension, one indicator, the best unit and one factor are all
    called ``name``."""
    rng = np.random.default_rng(7)
    base = rng.normal(size=(12, 1))
    data = pd.DataFrame(base + rng.normal(size=(12, 3)) * 0.5, columns=[name, "jobs", "crime"])
    model = indexfuse.indexpca_diment({name: [name, "jobs"], "safety": [("crime", -1)]})
    model.fit(data)
    table = results(model, data)
    best = table["composite"].idxmax()
    data.index = table.index = [name if unit == best else f"unit {unit}" for unit in table.index]
    ranks = _ranks(12)
    ranks.index = [name, *ranks.index[1:]]
    sensitivity = SENSITIVITY.rename(index={"exclude": name})
    return {"model": model, "data": data, "audit": audit(model, data), "results": table, "ranks": ranks,
            "sensitivity": sensitivity}  # fmt: skip


# Each chart with the text its label is drawn as, for a label ``name`` shown as ``shown``.
LABELLED_CHARTS = {
    "weights": (lambda case, **kw: plot_weights(case["model"], **kw), "{}"),
    "effective weights": (lambda case, **kw: plot_effective_weights(case["audit"], **kw), "{}"),
    "correlations": (lambda case, **kw: plot_correlations(case["audit"]), "{}"),
    "distribution": (lambda case, **kw: plot_distribution(case["results"], n=1, **kw), "{} ("),
    "ranking": (lambda case, **kw: plot_ranking(case["results"], **kw), "1  {}"),
    "rank intervals": (lambda case, **kw: plot_rank_intervals(case["ranks"], runs=8, **kw), "{}"),
    "sensitivity": (lambda case, **kw: plot_sensitivity_indices(case["sensitivity"], **kw), "{}"),
}


def _drawn(figure) -> list[tuple[str, object]]:
    """Each text of the figure as it is drawn: the string and how it is read
    (False for plain text, True for mathematics, "TeX" for LaTeX)."""
    from matplotlib.text import Text

    # _preprocess_math is what the renderer calls on every text before drawing it.
    return [text._preprocess_math(text.get_text()) for text in figure.findobj(Text) if text.get_text()]


def _host(where: str):
    from matplotlib.figure import Figure

    return None if where == "new figure" else Figure().add_subplot()


@pytest.mark.parametrize("name", [DOLLARS, PRICES, NOT_MATHS])
@pytest.mark.parametrize(
    "chart, where",
    # The correlation maps always make a figure of their own.
    [(chart, where) for chart in LABELLED_CHARTS for where in ("new figure", "caller's axes")
     if chart != "correlations" or where == "new figure"],
)  # fmt: skip
def test_labels_are_drawn_as_written_not_as_mathematics(chart, where, name):
    draw, shown = LABELLED_CHARTS[chart]
    extra = {} if chart == "correlations" else {"title": name, "ax": _host(where)}
    drawn = _drawn(draw(_labelled(name), **extra))
    assert any(string.startswith(shown.format(name)) and how is False for string, how in drawn), drawn
    if "title" in extra:
        assert (name, False) in drawn
    assert [string for string, how in drawn if how is not False] == []


@pytest.mark.parametrize("chart", LABELLED_CHARTS, ids=str)
def test_labels_are_plain_text_for_a_caller_who_writes_with_latex(chart):
    draw, _ = LABELLED_CHARTS[chart]
    with matplotlib.rc_context({"text.usetex": True}):
        extra = {} if chart == "correlations" else {"ax": _host("caller's axes")}
        drawn = _drawn(draw(_labelled(DOLLARS), **extra))
    assert [string for string, how in drawn if how is not False] == []


@pytest.mark.parametrize("chart", LABELLED_CHARTS, ids=str)
def test_a_label_that_is_no_valid_mathematics_draws(chart):
    import io

    draw, _ = LABELLED_CHARTS[chart]
    draw(_labelled(NOT_MATHS)).savefig(io.BytesIO(), format="png")


def test_the_report_is_written_with_labels_that_look_like_mathematics(tmp_path):
    from indexfuse_tools import report

    case = _labelled(NOT_MATHS)
    assert report(case["model"], case["data"], tmp_path / "report.html").stat().st_size > 0


@pytest.mark.parametrize("chart", LABELLED_CHARTS, ids=str)
def test_a_long_name_is_cut_the_same_way_in_every_chart_and_stays_inside_it(chart):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text

    draw, shown = LABELLED_CHARTS[chart]
    figure = draw(_labelled(LONG))
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    texts = [text for text in figure.findobj(Text) if text.get_visible() and text.get_text()]
    assert not any(LONG[:40] in text.get_text() for text in texts)
    cut = [text for text in texts if text.get_text().startswith(shown.format(CUT))]
    assert cut != []
    renderer, inside = canvas.get_renderer(), figure.bbox.padded(1)
    extents = {text.get_text(): text.get_window_extent(renderer) for text in cut}
    outside = {text: box.bounds for text, box in extents.items() if not inside.contains(*box.min)}
    outside |= {text: box.bounds for text, box in extents.items() if not inside.contains(*box.max)}
    assert outside == {}
