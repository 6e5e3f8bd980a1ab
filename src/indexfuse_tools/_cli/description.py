"""The description of an index that ``build`` reads: one TOML file naming
the data, the schema, the treatment, the model, the editions, the
presentation, the robustness analysis, the review of the weights, the map
and the outputs, checked whole before any work starts.

:func:`read_description` reads and checks the file and returns a
:class:`Description`, plain values only (paths resolved from the file's
folder); :func:`check_against_data` then checks what only the table can
tell (its columns, its periods). Every error names the file, the line and
the key, such as ``index.toml:12: preparation.impute: expected 'mean' or
'median', got 'avg'``.

A description::

    title = "Public capital and economy of the US states"
    schema = "schema.toml"        # or a [schema] table, written as in a schema file

    [data]
    file = "produc.csv"           # paths are read from this file's folder
    period = "year"               # a long table: one row per unit and period
    unit = "state"

    [preparation]                 # prepare's options, learnt on the data,
    impute = "median"             # or file = "preparation.json", replayed as saved
    transform = { hwy = "log" }

    [editions]
    baseline = "reference"
    reference = 1970

    [presentation]
    scale = "0-100"
    anchor = 1970                 # an edition, or [low, high]: the composites shown as 0 and 100

    [robustness]
    method = "uncertainty"
    n = 256

    [weights]                     # the review of the weights, shown in the report
    n = 500

    [map]
    geometry = "us-states"        # a bundled set of shapes, or a geometry file

    [outputs]
    index = "out/index.zip"
    scores = "out/scores.csv"
    report = "out/report.html"
    explorer = "out/explorer.html"
"""

from __future__ import annotations

import argparse
import difflib
import math
import tomllib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

import pandas as pd

from indexfuse_tools._cli.arguments import FACTORS, MAX_RESAMPLES, MAX_SAMPLES, METHODS, TRANSFORMS
from indexfuse_tools._cli.common import TABLE_SUFFIXES, InputError, check_outputs, one_line
from indexfuse_tools._cli.models import check_schema
from indexfuse_tools._cli.prepare import share_or_count
from indexfuse_tools._cli.schemas import read_schema, toml_schema
from indexfuse_tools._cli.toml_lines import KeyLines
from indexfuse_tools._core import PRESENTATION_SCALES, same_file, show

__all__ = [
    "KEYS",
    "DataSource",
    "Description",
    "Outputs",
    "RobustnessPlan",
    "WeightsPlan",
    "check_against_data",
    "read_description",
]

# Every key a description may hold, by table ("" for the top level).
KEYS: dict[str, tuple[str, ...]] = {
    "": ("title", "source", "schema", "data", "preparation", "model", "editions", "presentation", "robustness",
         "weights", "report", "map", "outputs"),
    "data": ("file", "sheet", "id", "period", "unit"),
    "preparation": ("file", "impute", "group", "min_present", "min_present_total", "transform", "winsorize"),
    "model": ("scale_method", "pca_cumulative", "ent_k", "resolution"),
    "editions": ("baseline", "reference"),
    "presentation": ("scale", "anchor"),
    "robustness": ("method", "n", "seed", "factors", "workers", "edition"),
    "weights": ("n", "seed", "level", "workers"),
    "report": ("external", "highlight"),
    "map": ("geometry", "key"),
    "outputs": ("index", "scores", "report", "explorer", "ranks", "analysis", "weights", "raw_csv"),
}  # fmt: skip
_SCALE_METHODS = ("max_min", "z_score")
# The baselines that publish one index; under "refit" each edition has its own
# model and composites that do not compare, which score --period shows instead.
_BASELINES = ("pooled", "reference")
# Values of a dimension lie within a few units of each other: a coarser
# entropy resolution reads every dimension as one value.
_MAX_RESOLUTION = 1.0
# What "an edition" may be written as: a year, a number, a label.
_EDITION_TYPES = (int, float, str)


@dataclass(frozen=True)
class DataSource:
    """The table to build the index from: one row per unit, or per unit and period."""

    file: Path
    sheet: str | None = None
    #: The column that names the rows of a table of one edition.
    id: str | None = None
    #: The period's column of a long table (None: a table of one edition).
    period: str | None = None
    #: The units' column of a long table (None: the first column other than the period).
    unit: str | None = None


@dataclass(frozen=True)
class RobustnessPlan:
    """The robustness analysis to run, with ``robustness``'s options."""

    method: str = "sobol"
    n: int = 1024
    seed: int = 0
    #: The choices to vary (None: all).
    factors: tuple[str, ...] | None = None
    #: Local processes (None: as many as pay).
    workers: int | None = None
    #: The edition whose rank intervals are given, as written (None: the latest).
    edition: Any = None


@dataclass(frozen=True)
class WeightsPlan:
    """The review of the weights to make, with ``weight_uncertainty``'s options."""

    n: int = 1000
    seed: int = 0
    #: The coverage of every interval.
    level: float = 0.9
    #: Local processes (None: as many as pay).
    workers: int | None = None


@dataclass(frozen=True)
class Outputs:
    """Where to write each output (None: not written)."""

    index: Path | None = None
    scores: Path | None = None
    report: Path | None = None
    explorer: Path | None = None
    #: Each unit's rank interval (CSV).
    ranks: Path | None = None
    #: The robustness analysis, loadable with ``RobustnessResult.load``.
    analysis: Path | None = None
    #: Every table of the review of the weights, in one workbook.
    weights: Path | None = None
    #: Write CSV text cells as they are, without the leading ' that keeps a spreadsheet from running them.
    raw_csv: bool = False

    def paths(self) -> dict[str, Path]:
        """Each output asked for, by its key."""
        names = ("index", "scores", "report", "explorer", "ranks", "analysis", "weights")
        return {name: path for name in names if (path := getattr(self, name)) is not None}


@dataclass(frozen=True)
class Description:
    """An index as a description file sets it out, checked: what ``build`` makes and writes."""

    #: The description file itself.
    path: Path
    #: The schema, as the model takes it.
    schema: Any
    data: DataSource
    outputs: Outputs
    #: The schema's file, when the schema is not written in the description.
    schema_file: Path | None = None
    #: A saved preparation, replayed as it is.
    preparation_file: Path | None = None
    #: The options of ``prepare`` that learn the treatment on the data (empty: none).
    preparation_options: Mapping[str, Any] = field(default_factory=dict)
    #: The model's keyword arguments (scale_method, pca_cumulative, ent_k) that are set.
    model_args: Mapping[str, Any] = field(default_factory=dict)
    #: The entropy resolution of the fit (None: the default).
    resolution: float | None = None
    #: How the editions are fitted: pooled, reference or refit.
    baseline: str = "pooled"
    #: The edition a reference baseline is fitted on, as written (None: the first).
    reference: Any = None
    #: The presentation scale (None: composites as the model computes them).
    scale: str | None = None
    #: What fixes the scale: two composite values (low, high), an edition, or None (every edition).
    #: An anchor implies the scale.
    anchor: Any = None
    robustness: RobustnessPlan | None = None
    title: str | None = None
    source: str | None = None
    #: Columns of the table the report correlates the index with.
    external: tuple[str, ...] = ()
    #: Units the report names in its rank-interval figure.
    highlight: tuple[str, ...] = ()
    weights: WeightsPlan | None = None
    #: The units' shapes: a bundled set's name, or a geometry file.
    geometry: str | Path | None = None
    #: The shapes' property the unit labels match (None: found from the shapes).
    key: str | None = None


# ----------------------------------------------------------------- reading --


def read_description(path: str | Path) -> Description:
    """The description in the TOML file ``path``, checked.

    Raises
    ------
    InputError
        A file that cannot be read or is not TOML; an unknown key, a value
        of the wrong type or out of range, a file named that does not exist,
        options that contradict each other, an output that cannot be written
        or that is one of the inputs. The message names the file, the line
        and the key.
    """
    file = Path(path)
    try:
        text = file.read_bytes().decode("utf-8")
    except OSError as exc:
        raise InputError(f"{file}: cannot read the description: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"{file}: not UTF-8 text: {exc}") from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise InputError(f"{file}: not valid TOML: {one_line(exc)}") from None
    except RecursionError:
        raise InputError(f"{file}: not valid TOML: nested too deeply") from None
    return _Reader(file, document, KeyLines(text)).description()


class _Reader:
    """One description being checked: every error names the file, the line and the key."""

    def __init__(self, file: Path, document: dict[str, Any], lines: KeyLines) -> None:
        self.file = file
        self.folder = file.resolve().parent
        self.document = document
        self.lines = lines

    # ---- errors --

    def error(self, keys: Sequence[str | int], message: str) -> InputError:
        line = self.lines.line(keys)
        where = f"{self.file}:{line}" if line is not None else str(self.file)
        return InputError(f"{where}: {_dotted(keys)}: {message}" if keys else f"{where}: {message}")

    def table(self, name: str) -> dict[str, Any]:
        """The table ``name`` (empty when absent), its keys checked against :data:`KEYS`."""
        keys = (name,) if name else ()
        value = self.document.get(name, {}) if name else self.document
        if not isinstance(value, dict):
            raise self.error(keys, f"expected a table ([{name}] or {name} = {{...}}), got {_kind(value)}")
        self._refuse_unknown(keys, value, KEYS[name])
        return value

    def _refuse_unknown(self, keys: tuple[str, ...], table: Mapping[str, Any], known: Sequence[str]) -> None:
        unknown = [key for key in table if key not in known]
        if not unknown:
            return
        first = min(unknown, key=lambda key: self.lines.line((*keys, key)) or 0)
        close = difflib.get_close_matches(first, known, n=1)
        hint = f"did you mean {close[0]!r}?" if close else f"the keys here are {', '.join(known)}"
        more = f" (and {len(unknown) - 1} more unknown key{'s' * (len(unknown) > 2)})" if len(unknown) > 1 else ""
        raise self.error((*keys, first), f"unknown key{more}; {hint}")

    # ---- values --

    def get(self, table: Mapping[str, Any], keys: tuple[str, ...], check: Callable[[Any], str | None]) -> Any:
        """``table[keys[-1]]`` (None when absent), refused with ``check``'s complaint if it has one."""
        value = table.get(keys[-1])
        if value is None:
            return None
        complaint = check(value)
        if complaint is not None:
            raise self.error(keys, complaint)
        return value

    def text(self, table: Mapping[str, Any], keys: tuple[str, ...]) -> str | None:
        value: str | None = self.get(table, keys, lambda value: _expected("text", value, str))
        return value

    def choice(self, table: Mapping[str, Any], keys: tuple[str, ...], choices: Sequence[str]) -> str | None:
        def check(value: Any) -> str | None:
            if value in choices and isinstance(value, str):
                return None
            return f"expected {_alternatives(choices)}, got {value!r}"

        value: str | None = self.get(table, keys, check)
        return value

    def whole(self, table: Mapping[str, Any], keys: tuple[str, ...], least: int, most: int | None = None) -> int | None:
        def check(value: Any) -> str | None:
            if not _is_integer(value):
                return f"expected a whole number, got {_kind(value)}"
            if value < least or (most is not None and value > most):
                return f"expected a whole number from {least}{'' if most is None else f' to {most}'}, got {value}"
            return None

        value: int | None = self.get(table, keys, check)
        return value

    def share(self, table: Mapping[str, Any], keys: tuple[str, ...], top: float) -> float | None:
        """A number in (0, ``top``]."""

        def check(value: Any) -> str | None:
            if not _is_number(value):
                return f"expected a number, got {_kind(value)}"
            if not 0 < value <= top:
                return f"expected a number in (0, {top:g}], got {value!r}"
            return None

        value = self.get(table, keys, check)
        return None if value is None else float(value)

    def texts(self, table: Mapping[str, Any], keys: tuple[str, ...]) -> tuple[str, ...]:
        def check(value: Any) -> str | None:
            if isinstance(value, list) and all(isinstance(item, str) for item in value):
                return None
            return f"expected a list of text, such as [\"a\", \"b\"], got {_kind(value)}"

        value = self.get(table, keys, check)
        return () if value is None else tuple(value)

    def file_path(self, table: Mapping[str, Any], keys: tuple[str, ...], what: str) -> Path | None:
        """A file that must exist, named relative to the description's folder."""
        name = self.text(table, keys)
        if name is None:
            return None
        found = self.folder / Path(name).expanduser()
        if not found.is_file():
            raise self.error(keys, f"no such {what} file: {found}")
        return found

    def output_path(self, table: Mapping[str, Any], keys: tuple[str, ...]) -> Path | None:
        name = self.text(table, keys)
        return None if name is None else self.folder / Path(name).expanduser()

    def edition(self, table: Mapping[str, Any], keys: tuple[str, ...]) -> Any:
        """An edition as written: a year, a number or a label (matched against the periods later)."""
        return self.get(
            table, keys, lambda value: None if _is_edition(value) else f"expected an edition (a period such as "
            f"2020 or \"2020-Q1\"), got {_kind(value)}",
        )  # fmt: skip

    # ---- the description --

    def description(self) -> Description:
        top = self.table("")
        title = self.text(top, ("title",))
        source = self.text(top, ("source",))
        data = self.data()
        schema, schema_file = self.schema(top)
        preparation_file, preparation_options = self.preparation()
        model_args, resolution = self.model()
        baseline, reference = self.editions(data)
        scale, anchor = self.presentation(data)
        robustness = self.robustness(data)
        weights = self.weights()
        external, highlight = self.report()
        geometry, key = self.map()
        outputs = self.outputs(robustness, weights)
        description = Description(
            path=self.file, schema=schema, data=data, outputs=outputs, schema_file=schema_file,
            preparation_file=preparation_file, preparation_options=preparation_options, model_args=model_args,
            resolution=resolution, baseline=baseline, reference=reference, scale=scale, anchor=anchor,
            robustness=robustness, title=title, source=source, external=external, highlight=highlight,
            weights=weights, geometry=geometry, key=key,
        )  # fmt: skip
        if geometry is not None and outputs.report is None and outputs.explorer is None:
            raise self.error(("map", "geometry"), "puts the units on the report's and the explorer's map: give "
                             "outputs.report or outputs.explorer too")  # fmt: skip
        if highlight and outputs.report is None:
            raise self.error(("report", "highlight"), "names units in the report's figure: give outputs.report too")
        if external and outputs.report is None:
            raise self.error(("report", "external"), "correlates the index in the report: give outputs.report too")
        self.check_paths(description)
        return description

    def data(self) -> DataSource:
        if "data" not in self.document:
            raise self.error((), "no [data] table: give at least data.file, the table to build the index from")
        table = self.table("data")
        if "file" not in table:
            raise self.error(("data",), "no file: give data.file, the table to build the index from")
        file = self.file_path(table, ("data", "file"), "data")
        assert file is not None
        if file.suffix.lower() not in TABLE_SUFFIXES:
            raise self.error(
                ("data", "file"), f"cannot tell the format from the suffix {file.suffix!r}; use one of "
                f"{', '.join(sorted(TABLE_SUFFIXES))}",
            )  # fmt: skip
        period = self.text(table, ("data", "period"))
        unit = self.text(table, ("data", "unit"))
        ids = self.text(table, ("data", "id"))
        if unit is not None and period is None:
            raise self.error(("data", "unit"), "names the units of a long table: give data.period too")
        if ids is not None and period is not None:
            raise self.error(("data", "id"), "labels the rows of one edition; in a long table the units are data.unit")
        if unit is not None and unit == period:
            raise self.error(("data", "unit"), "the units' column cannot be the period's")
        return DataSource(file, self.text(table, ("data", "sheet")), ids, period, unit)

    def schema(self, top: Mapping[str, Any]) -> tuple[Any, Path | None]:
        value = top.get("schema")
        if value is None:
            raise self.error((), 'no schema: give schema = "schema.toml" (a schema file) or a [schema] table')
        if isinstance(value, str):
            file = self.file_path(top, ("schema",), "schema")
            return read_schema(file) if file is not None else None, file
        if not isinstance(value, dict) or not value:
            raise self.error(("schema",), f"expected a schema file's name or a table of dimensions, got {_kind(value)}")
        try:
            return toml_schema(value), None
        except InputError as exc:
            raise self.error(("schema",), one_line(exc)) from None

    def preparation(self) -> tuple[Path | None, dict[str, Any]]:
        table = self.table("preparation")
        if "file" in table:
            others = [key for key in table if key != "file"]
            if others:
                raise self.error(
                    ("preparation", others[0]), "preparation.file replays a saved preparation as it is; options "
                    "learn a new one: give one or the other",
                )  # fmt: skip
            return self.file_path(table, ("preparation", "file"), "preparation"), {}
        options: dict[str, Any] = {}
        at = ("preparation",)
        options["impute"] = self.choice(table, (*at, "impute"), ("mean", "median"))
        options["group"] = self.text(table, (*at, "group"))
        if options["group"] is not None and options["impute"] is None:
            raise self.error((*at, "group"), "imputes within groups: give preparation.impute too")
        options["min_present"] = self.threshold(table, (*at, "min_present"), by_dimension=True)
        options["min_present_total"] = self.threshold(table, (*at, "min_present_total"), by_dimension=False)
        options["transform"] = self.transform(table, (*at, "transform"))
        options["winsorize"] = self.get(
            table, (*at, "winsorize"), lambda value: None if isinstance(value, bool) or (
                _is_integer(value) and value >= 1
            ) else f"expected true, false or the most points to cap per indicator (a whole number from 1), "
            f"got {_kind(value)}",
        )  # fmt: skip
        return None, {name: value for name, value in options.items() if value is not None and value is not False}

    def threshold(self, table: Mapping[str, Any], keys: tuple[str, ...], by_dimension: bool) -> Any:
        value = table.get(keys[-1])
        if value is None:
            return None
        if isinstance(value, dict) and by_dimension:
            return {name: self._one_threshold(item, (*keys, name)) for name, item in value.items()}
        return self._one_threshold(value, keys)

    def _one_threshold(self, value: Any, keys: tuple[str, ...]) -> float | int:
        if _is_integer(value) and value >= 1:
            return int(value)
        if _is_number(value) and 0 < value <= 1:
            return float(value)
        if isinstance(value, str):
            try:
                return share_or_count(value, _dotted(keys))
            except InputError:
                pass
        table_too = " or a table of them by dimension" if keys[-1] == "min_present" else ""
        raise self.error(
            keys, f"expected a count of indicators (such as 2) or a share (such as 0.5 or \"2/3\"){table_too}, "
            f"got {_kind(value)}",
        )  # fmt: skip

    def transform(self, table: Mapping[str, Any], keys: tuple[str, ...]) -> Any:
        value = table.get(keys[-1])
        if value is None:
            return None
        kinds = (*TRANSFORMS, "none")
        if isinstance(value, str):
            if value not in TRANSFORMS:
                raise self.error(keys, f"expected {_alternatives(TRANSFORMS)}, or a table by indicator, got {value!r}")
            return value
        if not isinstance(value, dict):
            raise self.error(keys, f"expected a kind of transform or a table by indicator, got {_kind(value)}")
        for indicator, kind in value.items():
            if kind not in kinds or not isinstance(kind, str):
                raise self.error((*keys, indicator), f"expected {_alternatives(kinds)}, got {kind!r}")
        return {indicator: None if kind == "none" else kind for indicator, kind in value.items()}

    def model(self) -> tuple[dict[str, Any], float | None]:
        table = self.table("model")
        at = ("model",)
        args = {
            "scale_method": self.choice(table, (*at, "scale_method"), _SCALE_METHODS),
            "pca_cumulative": self.share(table, (*at, "pca_cumulative"), 1.0),
            "ent_k": self.whole(table, (*at, "ent_k"), 1),
        }
        resolution = self.share(table, (*at, "resolution"), _MAX_RESOLUTION)
        return {name: value for name, value in args.items() if value is not None}, resolution

    def editions(self, data: DataSource) -> tuple[str, Any]:
        table = self.table("editions")
        if table and data.period is None:
            first = min(table, key=lambda key: self.lines.line(("editions", key)) or 0)
            raise self.error(("editions", first), "applies to a long table of editions: give data.period too")
        if table.get("baseline") == "refit":
            raise self.error(
                ("editions", "baseline"), '"refit" fits each edition on its own: no one index to publish, and '
                "composites that do not compare; use indexfuse score --period --baseline refit to see such editions",
            )  # fmt: skip
        baseline = self.choice(table, ("editions", "baseline"), _BASELINES) or "pooled"
        reference = self.edition(table, ("editions", "reference"))
        if reference is not None and baseline != "reference":
            raise self.error(("editions", "reference"), 'names the edition of baseline = "reference"')
        return baseline, reference

    def presentation(self, data: DataSource) -> tuple[str | None, Any]:
        table = self.table("presentation")
        at = ("presentation",)
        scale = self.choice(table, (*at, "scale"), PRESENTATION_SCALES)
        anchor = table.get("anchor")
        if anchor is None:
            return scale, None
        scale = scale or PRESENTATION_SCALES[0]  # an anchor fixes the one scale there is
        if isinstance(anchor, list):
            if len(anchor) != 2 or not all(_is_number(value) and math.isfinite(value) for value in anchor):
                raise self.error((*at, "anchor"), f"expected two finite composite values [low, high], got {anchor!r}")
            low, high = map(float, anchor)
            if not low < high:
                raise self.error((*at, "anchor"), f"the low composite ({low:g}) must be below the high one ({high:g})")
            return scale, (low, high)
        if data.period is None:
            raise self.error((*at, "anchor"), "an edition anchors the scale of a long table: give data.period, or "
                             "anchor on two composite values [low, high]")  # fmt: skip
        return scale, self.edition(table, (*at, "anchor"))

    def robustness(self, data: DataSource) -> RobustnessPlan | None:
        if "robustness" not in self.document:
            return None
        table = self.table("robustness")
        at = ("robustness",)
        plan = RobustnessPlan()
        factors = self.texts(table, (*at, "factors"))
        for position, name in enumerate(factors):
            if name not in FACTORS:
                raise self.error((*at, "factors", position), f"no factor {name!r}; the factors are {', '.join(FACTORS)}")
        edition = self.edition(table, (*at, "edition"))
        if edition is not None and data.period is None:
            raise self.error((*at, "edition"), "chooses an edition of a long table: give data.period too")
        return RobustnessPlan(
            method=self.choice(table, (*at, "method"), METHODS) or plan.method,
            n=self.whole(table, (*at, "n"), 1, MAX_SAMPLES) or plan.n,
            seed=_or(self.whole(table, (*at, "seed"), 0), plan.seed),
            factors=factors or None,
            workers=self.whole(table, (*at, "workers"), 1),
            edition=edition,
        )

    def weights(self) -> WeightsPlan | None:
        if "weights" not in self.document:
            return None
        table = self.table("weights")
        at = ("weights",)
        plan = WeightsPlan()
        level = self.share(table, (*at, "level"), 1.0)
        if level == 1.0:
            raise self.error((*at, "level"), "the coverage of the intervals lies between 0 and 1 (0.9), got 1")
        return WeightsPlan(
            n=_or(self.whole(table, (*at, "n"), 2, MAX_RESAMPLES), plan.n),
            seed=_or(self.whole(table, (*at, "seed"), 0), plan.seed),
            level=_or(level, plan.level),
            workers=self.whole(table, (*at, "workers"), 1),
        )

    def map(self) -> tuple[str | Path | None, str | None]:
        from indexfuse_tools._geo import BUNDLED

        table = self.table("map")
        at = ("map",)
        key = self.text(table, (*at, "key"))
        name = self.text(table, (*at, "geometry"))
        if name is None:
            if key is not None:
                raise self.error((*at, "key"), "matches the units to the shapes of map.geometry: give it too")
            return None, None
        if name in BUNDLED:
            return name, key
        found = self.folder / Path(name).expanduser()
        if not found.is_file():
            raise self.error(
                (*at, "geometry"), f"no such geometry file: {found} (the shapes shipped with the package are "
                f"{_alternatives(list(BUNDLED))})",
            )  # fmt: skip
        return found, key

    def report(self) -> tuple[tuple[str, ...], tuple[str, ...]]:
        table = self.table("report")
        return self.texts(table, ("report", "external")), self.texts(table, ("report", "highlight"))

    def outputs(self, robustness: RobustnessPlan | None, weights: WeightsPlan | None) -> Outputs:
        if "outputs" not in self.document:
            raise self.error((), "no [outputs] table: name at least one of " + ", ".join(
                f"outputs.{name}" for name in KEYS["outputs"][:-1]
            ))  # fmt: skip
        table = self.table("outputs")
        at = ("outputs",)
        paths = {name: self.output_path(table, (*at, name)) for name in KEYS["outputs"] if name != "raw_csv"}
        raw_csv = self.get(table, (*at, "raw_csv"), lambda value: _expected("true or false", value, bool))
        outputs = Outputs(**paths, raw_csv=bool(raw_csv))
        if not outputs.paths():
            raise self.error(at, "names no output: give at least one of " + ", ".join(
                f"outputs.{name}" for name in KEYS["outputs"][:-1]
            ))  # fmt: skip
        for name in ("ranks", "analysis"):
            if getattr(outputs, name) is not None and robustness is None:
                raise self.error((*at, name), "comes from the robustness analysis: add a [robustness] table")
        if outputs.weights is not None:
            if weights is None:
                raise self.error((*at, "weights"), "comes from the review of the weights: add a [weights] table")
            if outputs.weights.suffix.lower() != ".xlsx":
                raise self.error((*at, "weights"), "the review's tables go to a workbook: name a .xlsx file")
        if weights is not None and outputs.report is None and outputs.weights is None:
            raise self.error(("weights",), "the review of the weights goes into the report or a workbook: give "
                             "outputs.report or outputs.weights too")  # fmt: skip
        return outputs

    def check_paths(self, description: Description) -> None:
        """Refuse an output that is one of the inputs or another output, or that cannot be written."""
        inputs = argparse.Namespace(
            table=str(description.data.file), schema=_text_or_none(description.schema_file), model=None,
            preparation=_text_or_none(description.preparation_file),
        )  # fmt: skip
        outputs = {f"outputs.{name}": str(path) for name, path in description.outputs.paths().items()}
        candidates = {**outputs, "the description": str(self.file)}
        try:
            check_outputs(inputs, outputs)
            for option, path in outputs.items():
                if same_file(path, self.file):
                    raise InputError(f"{option} {path}: that is the description; write the output to another file")
        except InputError as exc:
            option = str(exc).split(" ", 1)[0]
            keys = tuple(option.split(".")) if option in candidates else ()
            raise self.error(keys, str(exc).split(": ", 1)[-1] if keys else str(exc)) from None


def _text_or_none(path: Path | None) -> str | None:
    return None if path is None else str(path)


def _or(value: Any, default: Any) -> Any:
    return default if value is None else value


def _is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _is_edition(value: Any) -> bool:
    return isinstance(value, _EDITION_TYPES) and not isinstance(value, bool)


def _expected(what: str, value: Any, kind: type) -> str | None:
    return None if isinstance(value, kind) else f"expected {what}, got {_kind(value)}"


def _kind(value: Any) -> str:
    """A TOML value in words, with the value itself when it is short."""
    if isinstance(value, bool):
        return f"true/false ({str(value).lower()})"
    names = {int: "a whole number", float: "a number", str: "text", list: "a list", dict: "a table"}
    name = next((text for kind, text in names.items() if isinstance(value, kind)), type(value).__name__)
    shown = repr(value)
    return f"{name} ({shown})" if len(shown) <= 40 else name


def _alternatives(choices: Sequence[str]) -> str:
    quoted = [repr(choice) for choice in choices]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} or {quoted[-1]}"


def _dotted(keys: Sequence[str | int]) -> str:
    """``keys`` as TOML writes a dotted key (``report.external[1]``); keys that are not bare are quoted."""
    text = ""
    for key in keys:
        if isinstance(key, int):
            text += f"[{key}]"
            continue
        part = key if key and all(c.isalnum() and c.isascii() or c in "_-" for c in key) else _quoted(key)
        text += f".{part}" if text else part
    return text


def _quoted(key: str) -> str:
    return '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


# ------------------------------------------------------------- with data --


def check_against_data(description: Description, table: pd.DataFrame) -> Description:
    """``description`` with the editions it names as the table holds them
    (a year written 1970 is the number or the text the period column holds).

    Refuses, naming the key and its line, what the table read from
    ``description.data.file`` contradicts: the columns it names (period,
    unit, id, group, external), the schema (when no treatment comes first:
    a treated table is checked once treated) and the editions (reference,
    anchor, the robustness analysis's edition). ``table`` is the file as
    read, before any column labels its rows.
    """
    lines = KeyLines(description.path.read_text(encoding="utf-8"))
    reader = _Reader(description.path, {}, lines)
    name = description.data.file.name
    columns = list(table.columns)
    named = {
        ("data", "period"): description.data.period,
        ("data", "unit"): description.data.unit,
        ("data", "id"): description.data.id,
        ("preparation", "group"): description.preparation_options.get("group"),
    }
    for keys, column in named.items():
        if column is not None and column not in columns:
            raise reader.error(keys, f"{column!r}: no such column in {name}; columns: {show(columns, 8)}")
    for position, column in enumerate(description.external):
        if column not in columns:
            raise reader.error(
                ("report", "external", position), f"{column!r}: no such column in {name}; columns: {show(columns, 8)}"
            )
    if not description.preparation_file and not description.preparation_options:
        errors = [problem for problem in check_schema(description.schema, table) if problem.level == "error"]
        if errors:
            more = f" (and {len(errors) - 1} more: run check for the list)" if len(errors) > 1 else ""
            raise reader.error(("schema",), f"{errors[0].place}: {one_line(errors[0].message)}{more}")
    if description.data.period is None:
        return description
    periods = pd.unique(table[description.data.period].dropna())
    by_text = {str(period): period for period in periods}

    def held(keys: tuple[str, ...], edition: Any) -> Any:
        if edition is None:
            return None
        if str(edition) not in by_text:
            raise reader.error(keys, f"{edition!r}: no such period in the column {description.data.period!r}; "
                               f"periods: {show(sorted(by_text), 8)}")  # fmt: skip
        return by_text[str(edition)]

    anchor = description.anchor
    robustness = description.robustness
    return replace(
        description,
        reference=held(("editions", "reference"), description.reference),
        anchor=anchor if isinstance(anchor, tuple) else held(("presentation", "anchor"), anchor),
        robustness=None if robustness is None else replace(
            robustness, edition=held(("robustness", "edition"), robustness.edition)
        ),
    )  # fmt: skip
