"""Start-up: what importing the package and starting the command line load.

Guarded by the modules an import leaves in ``sys.modules``, not by timing:
each check runs in a fresh interpreter, where nothing was loaded before.
"""

from __future__ import annotations

import ast
import inspect
import json
import subprocess
import sys
import textwrap

import pytest

import indexfuse_tools
from indexfuse_tools._cli import COMMANDS, arguments

# Each of these takes from a tenth of a second to seconds to import; none
# may load before the job that needs it.
HEAVY = (
    "scipy",
    "matplotlib",
    "sklearn",
    "SALib",
    "jinja2",
    "markupsafe",
    "dask",
    "distributed",
    "tqdm",
    "itables",
    "openpyxl",
    "shapely",
    "pyogrio",
    "geopandas",
    "indexfuse_tools._audit",
    "indexfuse_tools._report",
    "indexfuse_tools._robustness",
    "indexfuse_tools._plots",
)
# What the command line does not need before a command runs.
ANALYSIS = ("pandas", "numpy", "indexfuse", "tessel", "indexfuse_tools._core", "indexfuse_tools._cli.common")


def _loaded_after(code: str) -> set[str]:
    """The modules a fresh interpreter holds after running ``code``."""
    probe = textwrap.dedent(code) + "\nimport json, sys\nprint(json.dumps(sorted(sys.modules)))\n"
    done = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, check=True, timeout=120
    )
    return set(json.loads(done.stdout.splitlines()[-1]))


def _among(loaded: set[str], names: tuple[str, ...]) -> list[str]:
    return sorted(name for name in names if name in loaded or any(m.startswith(name + ".") for m in loaded))


def test_importing_the_package_loads_none_of_the_analysis():
    loaded = _loaded_after("import indexfuse_tools")
    assert _among(loaded, HEAVY + ANALYSIS) == []


def test_help_loads_none_of_the_analysis():
    names = [command.name for command in COMMANDS]
    loaded = _loaded_after(
        f"""
        import contextlib, io
        from indexfuse_tools._cli import main
        for argv in [["--help"]] + [[name, "--help"] for name in {names!r}]:
            with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):
                main(argv)
        """
    )
    assert _among(loaded, HEAVY + ANALYSIS) == []


def test_every_public_name_and_command_loads_without_the_heavy_libraries():
    # They are loaded by the call that needs them (a figure, a report, a
    # transform, an analysis), not by the name.
    modules = [f"indexfuse_tools._cli.{command.name}" for command in COMMANDS]
    loaded = _loaded_after(
        f"""
        import importlib, indexfuse_tools
        for name in indexfuse_tools.__all__:
            getattr(indexfuse_tools, name)
        for module in {modules!r}:
            importlib.import_module(module)
        """
    )
    heavy = [name for name in HEAVY if not name.startswith("indexfuse_tools.")]
    assert _among(loaded, tuple(heavy)) == []


def _checked_imports() -> dict[str, str]:
    """Each name the package's ``if TYPE_CHECKING:`` block imports, with its module."""
    tree = ast.parse(inspect.getsource(indexfuse_tools))
    block = next(node for node in tree.body if isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING")
    return {
        alias.name: statement.module.removeprefix("indexfuse_tools.")
        for statement in block.body
        if isinstance(statement, ast.ImportFrom) and statement.module
        for alias in statement.names
    }


def test_the_lazy_names_agree_with_all_and_with_the_type_checked_imports():
    sources = indexfuse_tools._SOURCES
    assert sorted(sources) == sorted(indexfuse_tools.__all__)
    assert _checked_imports() == sources
    assert set(indexfuse_tools.__all__) | {"__version__"} <= set(dir(indexfuse_tools))


@pytest.mark.parametrize("name", indexfuse_tools.__all__)
def test_every_public_name_comes_from_the_module_the_table_names(name):
    module = __import__(f"indexfuse_tools.{indexfuse_tools._SOURCES[name]}", fromlist=[name])
    assert getattr(indexfuse_tools, name) is getattr(module, name)


def test_an_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        indexfuse_tools.nothing_here  # noqa: B018
    assert isinstance(indexfuse_tools.__version__, str)


def test_the_options_written_out_for_help_match_their_owners():
    from tessel.modelbench import entropy

    from indexfuse_tools._core import MODEL_DEFAULTS
    from indexfuse_tools._preparation import IMPUTATIONS, STATISTICS, TRANSFORMS
    from indexfuse_tools._robustness import COMBINATION, FACTORS, METHODS

    assert arguments.DEFAULT_SCALE_METHOD == MODEL_DEFAULTS["scale_method"]
    assert arguments.DEFAULT_PCA_CUMULATIVE == MODEL_DEFAULTS["pca_cumulative"]
    assert arguments.DEFAULT_K == MODEL_DEFAULTS["ent_k"]
    assert arguments.DEFAULT_RESOLUTION == entropy.DEFAULT_RESOLUTION
    assert arguments.TRANSFORMS == TRANSFORMS
    assert arguments.IMPUTATIONS == IMPUTATIONS
    assert arguments.STATISTICS == STATISTICS
    assert arguments.METHODS == METHODS
    assert arguments.FACTORS == FACTORS
    assert arguments.COMBINATION == COMBINATION
