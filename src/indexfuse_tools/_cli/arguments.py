"""What each command accepts: the options of every command, declared
without importing the modules that do the work, so that ``--help`` and a
mistake in the options are answered at once."""

from __future__ import annotations

import argparse

__all__ = [
    "BASELINES",
    "DEFAULT_K",
    "DEFAULT_PCA_CUMULATIVE",
    "DEFAULT_RESOLUTION",
    "DEFAULT_SCALE_METHOD",
    "COMBINATION",
    "FACTORS",
    "IMPUTATIONS",
    "MAX_RESAMPLES",
    "MAX_SAMPLES",
    "METHODS",
    "STATISTICS",
    "TRANSFORMS",
    "add_build",
    "add_check",
    "add_explore",
    "add_fit",
    "add_prepare",
    "add_report",
    "add_robustness",
    "add_score",
    "add_weights",
]

# Base samples of a robustness analysis: 2**20 runs of each factor are
# already more than any analysis needs, and more than memory holds on a large table.
MAX_SAMPLES = 2**20

# Resamples of a review of the weights: a million refits are more than any interval needs.
MAX_RESAMPLES = 1_000_000

# What --baseline offers: how the editions of a long table are fitted.
BASELINES = ("pooled", "reference", "refit")

# Written out rather than imported from the modules that own them: importing
# those loads pandas and the extension, which takes longer than --help may.
# tests/tools/test_cli_startup.py holds each to its owner; change both together.
DEFAULT_SCALE_METHOD = "max_min"
DEFAULT_PCA_CUMULATIVE = 1.0
DEFAULT_K = 10
DEFAULT_RESOLUTION = 1e-3
TRANSFORMS = ("log", "box-cox", "yeo-johnson")
STATISTICS = ("mean", "median")
IMPUTATIONS = (*STATISTICS, "carry", "interpolate")
METHODS = ("sobol", "uncertainty", "bootstrap")
FACTORS = (
    "scale_method",
    "pca_cumulative",
    "ent_k",
    "resolution",
    "exclude",
    "imputation",
    "transform",
    "outliers",
    "weight_noise",
    "weighting",
    "aggregation",
    "measurement_error",
)
#: The factors that change how dimensions are weighed and combined: analysed only when named.
COMBINATION = ("weighting", "aggregation")


def _table_arguments(parser: argparse.ArgumentParser, indexed: bool = False) -> None:
    """The table a command reads; with ``indexed``, the command also takes ``--index``, whose file holds it."""
    if indexed:
        parser.add_argument(
            "table",
            nargs="?",
            help="the data: a .csv, .tsv, .parquet or .xlsx file, one row per unit (not with --index, whose "
            "file holds the index's data)",
        )
    else:
        parser.add_argument("table", help="the data: a .csv, .tsv, .parquet or .xlsx file, one row per unit")
    parser.add_argument(
        "--id",
        metavar="COLUMN",
        help="column that names the rows (default: the first column when it holds text without repeats)",
    )
    parser.add_argument("--sheet", metavar="NAME", help="sheet of an Excel workbook (default: the first)")


def _schema_argument(parser: argparse.ArgumentParser, required: bool) -> None:
    parser.add_argument(
        "--schema",
        metavar="FILE",
        required=required,
        help='the schema: .json as the model files write it (a pair is {"$tuple": ["violent", -1]}) '
        'or .toml ("violent:-1" or {label = "violent", direction = -1})',
    )


def _model_arguments(parser: argparse.ArgumentParser, loadable: bool, indexed: bool = False) -> None:
    _schema_argument(parser, required=not (loadable or indexed))
    if loadable:
        parser.add_argument(
            "--model", metavar="FILE", help="a fitted model (JSON, as fit writes it) instead of --schema"
        )
    group = parser.add_argument_group("fitting (with --schema)")
    group.add_argument(
        "--scale-method",
        choices=("max_min", "z_score"),
        default=DEFAULT_SCALE_METHOD,
        help=f"how indicators are scaled (default: {DEFAULT_SCALE_METHOD})",
    )
    group.add_argument(
        "--pca-cumulative",
        type=float,
        default=DEFAULT_PCA_CUMULATIVE,
        metavar="SHARE",
        help=f"share of variance the kept components reach, in (0, 1] (default: {DEFAULT_PCA_CUMULATIVE:g})",
    )
    group.add_argument(
        "--ent-k",
        type=int,
        default=DEFAULT_K,
        metavar="K",
        help=f"neighbours of the entropy estimate (default: {DEFAULT_K})",
    )
    group.add_argument(
        "--resolution",
        type=float,
        metavar="VALUE",
        help="values of a dimension closer than this are read as the same value by the entropy "
        f"estimate (default: {DEFAULT_RESOLUTION:g})",
    )


def _index_argument(parser: argparse.ArgumentParser, does: str) -> None:
    group = parser.add_argument_group("a published index")
    group.add_argument(
        "--index",
        metavar="FILE",
        help="an index file (as build writes it): its data, preparation, model, scale and editions, in "
        f"place of the table, --schema, --model and --preparation; {does}",
    )


def add_check(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _schema_argument(parser, required=True)
    parser.add_argument("--strict", action="store_true", help="exit with status 1 on warnings too")


def _preparation_argument(parser: argparse.ArgumentParser, fits: bool) -> None:
    where = "before fitting, and embed it in the model file" if fits else (
        "first (default: the one the model file carries, if any)"
    )
    parser.add_argument(
        "--preparation",
        metavar="FILE",
        help=f"a preparation (as prepare writes it) to replay on the raw table {where}",
    )
    if not fits:
        parser.add_argument(
            "--replace-preparation",
            action="store_true",
            help="replay --preparation even though the model file carries another (by default that is "
            "refused: the model's coefficients were fitted on values treated as its own preparation treats them)",
        )


def add_prepare(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _schema_argument(parser, required=True)
    steps = parser.add_argument_group("treatment (in this order: drop, impute, transform, winsorise)")
    steps.add_argument(
        "--min-present",
        action="append",
        metavar="[DIMENSION=]THRESHOLD",
        help="drop the rows in which a dimension has fewer indicators present than a share (0.5, 2/3) "
        "or a count (2); DIMENSION=THRESHOLD for one dimension, named as in the weights "
        "(e.g. 'economy / work=2'); may be repeated",
    )
    steps.add_argument(
        "--min-present-total",
        metavar="THRESHOLD",
        help="drop the rows with fewer of all the index's indicators present than a share or a count",
    )
    steps.add_argument(
        "--impute",
        choices=IMPUTATIONS,
        help="fill missing values with this statistic; or, in a long table (--period, --unit), from the "
        "unit's own periods: carry (its last value) or interpolate (a line between two), the rest with "
        "--fallback",
    )
    steps.add_argument(
        "--group",
        metavar="COLUMN",
        help="impute within the rows sharing this column's value (a region, or the unit); also warns "
        "when the dropped rows cluster in one group",
    )
    steps.add_argument("--period", metavar="COLUMN", help="with --impute carry or interpolate: the periods' column")
    steps.add_argument("--unit", metavar="COLUMN", help="with --impute carry or interpolate: the units' column")
    steps.add_argument(
        "--max-gap",
        type=int,
        metavar="N",
        help="with --impute carry or interpolate: how many periods a value reaches (default: any)",
    )
    steps.add_argument(
        "--fallback",
        choices=STATISTICS,
        help="with --impute carry or interpolate: the statistic of the gaps the unit's own values do not "
        "reach (default: median)",
    )
    steps.add_argument(
        "--transform",
        action="append",
        metavar="[INDICATOR=]KIND",
        help=f"{', '.join(TRANSFORMS)} for the indicators the outlier rule flags, or INDICATOR=KIND "
        "(KIND may be none) for each indicator named; may be repeated",
    )
    steps.add_argument(
        "--winsorize",
        nargs="?",
        type=int,
        const=True,
        default=False,
        metavar="N",
        help="winsorise the indicators the outlier rule flags, up to N points each (default N: 5)",
    )
    out = parser.add_argument_group("output")
    out.add_argument(
        "-o", "--output", metavar="FILE", required=True,
        help="the prepared table (.csv, .tsv, .parquet or .xlsx, by the suffix)",
    )  # fmt: skip
    out.add_argument(
        "--preparation-out", metavar="FILE", required=True,
        help="the preparation: every rule learned, for fit, score, report and robustness to replay (JSON)",
    )  # fmt: skip
    _raw_csv_argument(out)


def add_fit(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser)
    _model_arguments(parser, loadable=False)
    _preparation_argument(parser, fits=True)
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="where to write the model (JSON; default: standard output)"
    )


def add_score(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser, indexed=True)
    _index_argument(parser, "writes its published results, every edition or the one --period VALUE names")
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "--min-present",
        type=float,
        metavar="SHARE",
        help="score a dimension only where at least this share of its indicators is present",
    )
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="where to write the scores (CSV; default: standard output)"
    )
    _scale_argument(parser, 'add the column "score", the composite')
    _raw_csv_argument(parser)
    _period_arguments(parser, "score every edition", "writes that edition's rows only (the model is the same)")


def _scale_option(text: str) -> str:
    # Loaded only when the option is given, that is when a command is about to run.
    from indexfuse_tools._core import check_scale

    try:
        return str(check_scale(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _scale_argument(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--scale",
        type=_scale_option,
        metavar="SCALE",
        help=f"{what} on a presentation scale: 0-100 puts the lowest composite at 0 and the highest at 100 "
        "(default: the composite as the model computes it)",
    )


def _raw_csv_argument(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    parser.add_argument(
        "--raw-csv",
        action="store_true",
        help="write text that begins with =, +, -, @, a tab or a carriage return as it is, for programs "
        "that read the CSV (default: with a leading ' so that a spreadsheet shows it as text)",
    )


def _period_arguments(parser: argparse.ArgumentParser, what: str, chosen: str) -> None:
    """The options that make a command read a long table of editions: ``what``
    the command does with them, and with the edition ``chosen``."""
    group = parser.add_argument_group("editions (a long table: one row per unit and period)")
    group.add_argument(
        "--period",
        metavar="COLUMN[=VALUE]",
        help=f"column of the period (year, date or any sortable label): {what}; "
        f"COLUMN=VALUE (such as year=2020) {chosen}; with --index, VALUE alone names the edition",
    )
    group.add_argument(
        "--unit",
        metavar="COLUMN",
        help="with --period: column that names the units (default: the first column other than the period)",
    )
    group.add_argument(
        "--baseline",
        choices=BASELINES,
        help="with --period and --schema: pooled (one model on all editions stacked; the default), "
        "reference (one model on the --reference edition) or refit (one model per edition; composites "
        "are then not comparable across editions)",
    )
    group.add_argument(
        "--reference",
        metavar="PERIOD",
        help="with --baseline reference: the edition the model is fitted on (default: the first)",
    )


def _edition_argument(parser: argparse.ArgumentParser | argparse._ArgumentGroup, what: str) -> None:
    parser.add_argument(
        "--period", metavar="VALUE", help=f"with --index: the edition {what} (default: the latest)"
    )


def _geometry_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("map")
    group.add_argument(
        "--geometry",
        metavar="SHAPES",
        help="put every unit on a map: world, us-states or us-counties (shipped with the package), or a "
        "GeoJSON, TopoJSON, shapefile or GeoPackage (the last two need indexfuse[maps])",
    )
    group.add_argument(
        "--key",
        metavar="[COLUMN=]PROPERTY",
        help="with --geometry: the shapes' property the row labels (or COLUMN) match, such as iso_a3 or "
        "GEOID (default: every property of a bundled set, or the file's that matches the most units)",
    )


def geometry_key(value: str | None) -> str | tuple[str, str | None] | None:
    """``--key`` as explorer() and report() take ``key=``: "PROPERTY" or "COLUMN=PROPERTY"."""
    if value is None:
        return None
    column, equals, property_name = value.partition("=")
    if not equals:
        return value
    return column, property_name or None


def add_report(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser, indexed=True)
    _index_argument(
        parser, "reports on its latest edition or the one --period VALUE names, with the analyses the file keeps"
    )
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="where to write the report (HTML)"
    )
    parser.add_argument("--title", help='the report\'s title (default: "Composite index report")')
    parser.add_argument("--source", help="where the data come from, shown under the title")
    parser.add_argument(
        "--external",
        action="append",
        metavar="COLUMNS",
        help="columns of the table to correlate the index with (comma-separated; may be repeated)",
    )
    _scale_argument(parser, "show every composite")
    parser.add_argument(
        "--explorer",
        metavar="FILE",
        help="write the explorer page (as explore does) too, and link to it from the report",
    )
    _geometry_arguments(parser)
    _period_arguments(
        parser, "report on the latest edition, with all of them over time", "reports on that edition instead"
    )


def add_explore(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser, indexed=True)
    _index_argument(
        parser, "shows its latest edition or the one --period VALUE names, with the analysis the file keeps"
    )
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    parser.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="where to write the explorer page (HTML)"
    )
    parser.add_argument("--title", help='the page\'s title (default: "Composite index explorer")')
    parser.add_argument("--source", help="where the data come from, shown under the title")
    parser.add_argument(
        "--robustness",
        metavar="FILE",
        help="an analysis saved by robustness -o: each unit's 5-95%% rank interval",
    )
    _scale_argument(parser, "show every score beside its composite")
    _geometry_arguments(parser)
    _period_arguments(
        parser, "show the latest edition, with every unit's trajectory over all of them", "shows that edition instead"
    )


def add_robustness(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser, indexed=True)
    _index_argument(parser, "analyses its published model and preparation, on its latest edition")
    _model_arguments(parser, loadable=False, indexed=True)
    parser.add_argument(
        "--preparation",
        metavar="FILE",
        help="the nominal treatment (a preparation, as prepare writes it): the raw table is prepared "
        "per run, the factors imputation, transform and outliers varying it",
    )
    group = parser.add_argument_group("the analysis")
    group.add_argument(
        "--method",
        choices=METHODS,
        default="sobol",
        help="sobol (sensitivity indices), uncertainty or bootstrap",
    )
    group.add_argument(
        "-n",
        type=int,
        default=1024,
        help="base samples (a power of 2 for sobol), draws or resamples (default: 1024)",
    )
    group.add_argument("--seed", type=int, default=0, help="seed of the design (default: 0)")
    _edition_argument(group, "analysed")
    group.add_argument(
        "--factors",
        action="append",
        metavar="NAMES",
        help="the choices to vary, with their default levels (comma-separated; default: every one of "
        f"{', '.join(name for name in FACTORS if name not in COMBINATION)} that applies; "
        f"{' and '.join(COMBINATION)} when named)",
    )
    group.add_argument(
        "--error",
        action="append",
        metavar="INDICATOR=COLUMN|FRACTION",
        help="an indicator's standard errors: the column holding them, or a relative error such as 0.05 "
        "(may be repeated); adds the factor measurement_error, normal errors added to the raw values",
    )
    group.add_argument(
        "--confidence",
        type=float,
        metavar="LEVEL",
        help="the --error values are margins of error at this confidence (0.90 for 90%%), not standard errors",
    )
    group.add_argument("--workers", type=int, metavar="N", help="local processes (default: as many as pay)")
    group.add_argument("--quiet", action="store_true", help="no progress bar")
    out = parser.add_argument_group("output")
    out.add_argument(
        "-o", "--output", metavar="FILE", help="save the analysis (a file robustness results load from)"
    )
    out.add_argument(
        "--ranks", metavar="FILE", help="each unit's nominal rank, median and 5-95%% interval (CSV)"
    )
    _raw_csv_argument(out)
    out.add_argument("--report", metavar="FILE", help="the HTML report with the analysis in it")
    out.add_argument(
        "--highlight",
        action="append",
        metavar="UNITS",
        help="units to name in the report's rank-interval figure whatever their interval "
        "(row labels, comma-separated; may be repeated)",
    )
    out.add_argument("--title", help="the report's title")
    out.add_argument("--source", help="where the data come from, shown under the report's title")


def add_build(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "description",
        metavar="FILE",
        help="the index described in TOML: its data, schema, treatment, model, editions, presentation, "
        "robustness analysis, review of the weights, map and the outputs to write (paths read from the file's "
        "folder)",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="check the description and the data it names, and write nothing",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def add_weights(parser: argparse.ArgumentParser) -> None:
    _table_arguments(parser, indexed=True)
    _index_argument(parser, "reviews its published weights on the rows its model was fitted on")
    _model_arguments(parser, loadable=True)
    _preparation_argument(parser, fits=False)
    group = parser.add_argument_group("the review")
    _edition_argument(group, "the report shows")
    group.add_argument("-n", type=int, default=1000, help="bootstrap resamples of the units (default: 1000)")
    group.add_argument("--seed", type=int, default=0, help="seed of the resamples (default: 0)")
    group.add_argument(
        "--level", type=float, default=0.9, help="coverage of the intervals (default: 0.9, the 5th to 95th percentile)"
    )
    group.add_argument("--workers", type=int, metavar="N", help="local processes (default: as many as pay)")
    group.add_argument("--quiet", action="store_true", help="no progress bar")
    out = parser.add_argument_group("output")
    out.add_argument(
        "-o", "--output", metavar="FILE", help="every table of the review in one workbook (.xlsx, needs openpyxl)"
    )
    out.add_argument("--report", metavar="FILE", help="the HTML report with the review in it")
    out.add_argument("--title", help="the report's title")
    out.add_argument("--source", help="where the data come from, shown under the report's title")
