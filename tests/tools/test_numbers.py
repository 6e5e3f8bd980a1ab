"""Numbers as text: no negative zero anywhere the tools print or draw a number.

The last tests build data whose statistics come out a hair below zero (a
correlation of about -1e-17 with an outside measure, Sobol indices of -1e-17
and -0.004) and read every place that writes them: the report, the audit's
summary, the command line and the heat maps.
"""

from __future__ import annotations

import copy
import html.parser
import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
from indexfuse_tools._cli import main
from indexfuse_tools._core import fixed, number_format, significant, table_text, unsigned_zeros

# A minus sign before a zero that no non-zero digit follows: "-0", "-0.00", "-0.000".
NEGATIVE_ZERO = re.compile(r"-0(\.0+)?(?![\d.]*[1-9])")
SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}


@pytest.mark.parametrize(
    "value, digits, grouping, text",
    [
        (-1e-17, 2, False, "0.00"),
        (-0.0, 0, False, "0"),
        (-0.0004, 3, False, "0.000"),
        (-0.0005001, 3, False, "-0.001"),  # rounds away from zero: the sign stays
        (-0.4, 0, False, "0"),
        (-1234.5, 1, True, "-1,234.5"),
        (-0.001, 1, True, "0.0"),
        (-math.inf, 2, False, "-inf"),  # not a zero: keeps its sign
        (math.nan, 2, False, "nan"),
    ],
)
def test_fixed_writes_a_value_that_rounds_to_zero_without_a_sign(value, digits, grouping, text):
    assert fixed(value, digits, grouping=grouping) == text


@pytest.mark.parametrize(
    "value, text", [(-0.0, "0"), (-1.5e-17, "-1.5e-17"), (-2.5, "-2.5"), (0.000123456789, "0.000123")]
)
def test_significant_keeps_tiny_values_and_drops_the_sign_of_zero(value, text):
    assert significant(value, 3) == text


@pytest.mark.parametrize("digits", [-1, 1.5, True, "2"])
def test_number_format_refuses_what_is_not_a_count_of_decimals(digits):
    with pytest.raises(ValueError, match="digits must be a whole number"):
        number_format(digits)


def test_tables_print_without_negative_zero_and_keep_their_other_columns():
    frame = pd.DataFrame(
        {"S1": [0.104, -0.003, np.nan], "count": [3, -4, 0], "label": ["a", "-0", "c"]},
        index=["scale_method", "ent_k", "exclude"],
    )
    printed = table_text(frame, 2)
    assert printed.split("\n")[2].split() == ["ent_k", "0.00", "-4", "-0"]  # the label is text, kept
    assert "NaN" in printed
    exact = unsigned_zeros(pd.DataFrame({"cap": [-0.0, -1e-17], 7: ["x", "y"]}))
    assert exact.to_string().split("\n")[1].split() == ["0", "0.000000e+00", "x"]
    assert exact["cap"].iloc[1] == -1e-17  # only the sign of an exact zero goes


# ------------------------------------------- everything that prints numbers --


class _Text(html.parser.HTMLParser):
    """The text a reader sees: no tags, attributes (figures' data), styles."""

    def __init__(self) -> None:
        super().__init__()
        self.parts: list[str] = []
        self._style = False

    def handle_starttag(self, tag, attrs):
        self._style = tag == "style"

    def handle_endtag(self, tag):
        self._style = False

    def handle_data(self, data):
        if not self._style:
            self.parts.append(data)


def _visible(page: str) -> str:
    reader = _Text()
    reader.feed(page)
    return " ".join(reader.parts)


def _orthogonal(values: np.ndarray, to: np.ndarray) -> np.ndarray:
    """``values`` centred and stripped of their part along the centred ``to``: uncorrelated with it."""
    values, to = values - values.mean(), to - to.mean()
    return values - to * (values @ to) / (to @ to)


@pytest.fixture(scope="module")
def near_zero():
    """A model whose statistics land a hair below zero, with the report's inputs.

    The two indicators of "pair" are uncorrelated to the last bit (their
    correlation and alpha come out about -1e-16 with this seed), the outside
    measure is uncorrelated with the composite, and the Sobol indices of two
    choices are set just below zero, as estimation noise leaves them.
    """
    rng = np.random.default_rng(2)
    first = rng.normal(size=60)
    table = pd.DataFrame(
        {"a": first + 5, "b": _orthogonal(rng.normal(size=60), first) + 5, "c": rng.normal(size=60)},
        index=[f"unit {i}" for i in range(60)],
    )
    schema = {"pair": ["a", "b"], "other": [("c", -1)]}
    model = indexfuse.indexpca_diment(schema)
    model.fit(table)
    composite = model.score(table)[0].to_numpy()
    external = pd.DataFrame({"orthogonal": _orthogonal(rng.normal(size=60), composite)}, index=table.index)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", indexfuse_tools.RobustnessWarning)
        analysis = indexfuse_tools.robustness(schema, table, n=16, seed=0, progress=False, scheduler=1)
    analysis = copy.copy(analysis)
    sensitivity = analysis.sensitivity.copy()
    sensitivity.iloc[0, :] = -1e-17
    sensitivity.iloc[1, :] = -0.004
    analysis.sensitivity = sensitivity
    return model, table, external, analysis


def test_the_data_do_give_values_just_below_zero(near_zero):
    model, table, external, analysis = near_zero
    review = indexfuse_tools.audit(model, table, external=external)
    assert -1e-12 < review.correlations["pair"].loc["a", "b"] < 0
    assert -1e-12 < review.coherence.set_index("dimension").loc["pair", "cronbach_alpha"] < 0
    assert abs(review.links["pearson"].iloc[0]) < 1e-12
    assert f"{analysis.sensitivity.iloc[1, 0]:.2f}" == "-0.00"


def _near_zero_text(text: str) -> list[str]:
    return [text[max(0, m.start() - 40) : m.end() + 10] for m in NEGATIVE_ZERO.finditer(text)]


def test_no_negative_zero_in_the_report(near_zero, tmp_path):
    model, table, external, analysis = near_zero
    page = indexfuse_tools.report(model, table, tmp_path / "page.html", external=external, robustness=analysis)
    text = _visible(page.read_text(encoding="utf-8"))
    assert "orthogonal" in text and "first-order index" in text  # the sections that hold the values
    assert _near_zero_text(text) == []


def test_no_negative_zero_in_the_audit_summary(near_zero):
    model, table, external, _ = near_zero
    summary = str(indexfuse_tools.audit(model, table, external=external))
    assert "orthogonal" in summary
    assert _near_zero_text(summary) == []


def test_no_negative_zero_in_the_command_line(near_zero, tmp_path, monkeypatch, capsys):
    _, table, _, analysis = near_zero
    table.to_csv(tmp_path / "table.csv")
    (tmp_path / "schema.toml").write_text('pair = ["a", "b"]\nother = ["c:-1"]\n')
    monkeypatch.chdir(tmp_path)
    # The analysis is robustness()'s to test; the command line prints what it returns.
    monkeypatch.setattr("indexfuse_tools._cli.robustness.robustness", lambda *args, **kwargs: analysis)
    assert main(["robustness", "table.csv", "--schema", "schema.toml", "--quiet"]) == 0
    printed = capsys.readouterr().out
    assert "ST_low" in printed
    assert _near_zero_text(printed) == []


def test_no_negative_zero_on_the_heat_maps(near_zero):
    pytest.importorskip("matplotlib")
    model, table, _, _ = near_zero
    figure = indexfuse_tools.plot_correlations(indexfuse_tools.audit(model, table))
    labels = [text.get_text() for ax in figure.axes for text in ax.texts]
    assert "1.00" in labels
    assert [label for label in labels if NEGATIVE_ZERO.search(label)] == []
