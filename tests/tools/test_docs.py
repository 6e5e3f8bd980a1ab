"""The companion package's docstring examples run, it reports the installed version, and it imports without its extras."""

import doctest
import importlib.metadata
import subprocess
import sys

import matplotlib
import pytest

import indexfuse_tools
from indexfuse_tools import _audit, _check, _contributions, _explorer, _report, _results, _weights
from indexfuse_tools._cli import models as _cli_models
from indexfuse_tools._cli import schemas as _cli_schemas
from indexfuse_tools._cli import toml_lines as _cli_toml_lines
from indexfuse_tools._core import bidi as _bidi
from indexfuse_tools._core import periods as _periods
from indexfuse_tools._core import cells as _cells
from indexfuse_tools._core import fingerprints as _fingerprints
from indexfuse_tools._core import numbers as _numbers
from indexfuse_tools._core import tree as _tree
from indexfuse_tools._core import values as _values
from indexfuse_tools._core import weighting as _weighting_core
from indexfuse_tools._editions import api as _editions
from indexfuse_tools._explorer import columns as _explorer_columns
from indexfuse_tools._editions import baselines as _baselines
from indexfuse_tools._index import index as _index
from indexfuse_tools._explorer import page as _explorer_page
from indexfuse_tools._preparation import learn as _prepare
from indexfuse_tools._preparation import rules as _rules
from indexfuse_tools._plots import callouts, correlations, distribution, ranking, robustness, weights
from indexfuse_tools._robustness import api as _robustness
from indexfuse_tools._robustness import result as _robustness_result
from indexfuse_tools._weighting import api as _weighting

matplotlib.use("Agg")


@pytest.mark.filterwarnings("ignore::indexfuse_tools.RobustnessWarning")
@pytest.mark.parametrize(
    "module",
    [_check, _contributions, _prepare, _rules, _results, _robustness, _robustness_result, _weights, _audit, _report]
    + [_cli_schemas, _cli_models, _cli_toml_lines, _numbers, _explorer, _explorer_page, _explorer_columns]
    + [_bidi, _cells, _tree, _values, _editions, _periods]
    + [_weighting, _weighting_core]
    + [_fingerprints, _baselines, _index]
    + [weights, distribution, correlations, ranking, robustness, callouts],
    ids=lambda m: m.__name__,
)
def test_docstring_examples_run(module):
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def test_version_comes_from_the_package_metadata():
    assert indexfuse_tools.__version__ == importlib.metadata.version("indexfuse")


def test_the_package_imports_without_its_optional_extras():
    # matplotlib, jinja2, SALib and tqdm are extras: the checks, the
    # preparation, the tables and model files must not need them to import.
    code = (
        "import sys\n"
        "for name in ('matplotlib', 'jinja2', 'SALib', 'tqdm', 'openpyxl'):\n"
        "    sys.modules[name] = None\n"
        "import indexfuse_tools\n"
        "for name in indexfuse_tools.__all__:\n"
        "    getattr(indexfuse_tools, name)\n"
        "print(len(indexfuse_tools.__all__))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
