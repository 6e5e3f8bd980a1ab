"""The type stub agrees with the extension, ships with it, and type checkers use it."""

from __future__ import annotations

import ast
import inspect
import pydoc
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import indexfuse
import indexfuse_tools
import tessel

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "indexfuse.pyi"
SITE = Path(sysconfig.get_paths()["purelib"])
METHODS = [
    "__init__",
    "fit",
    "score",
    "compute_index_coef",
    "compute_dim_value",
    "compute_dim_weight",
    "compute_score",
    "is_index_coef",
]


@pytest.fixture(scope="module")
def stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


@pytest.fixture(scope="module")
def stub_class(stub_tree):
    (node,) = [n for n in stub_tree.body if isinstance(n, ast.ClassDef) and n.name == "indexpca_diment"]
    return node


def _stub_parameters(function: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    kinds = [inspect.Parameter.POSITIONAL_ONLY] * len(args.posonlyargs) + [
        inspect.Parameter.POSITIONAL_OR_KEYWORD
    ] * len(args.args)
    result = [(a.arg, kind, d) for a, kind, d in zip(positional, kinds, defaults)]
    if args.vararg:
        result.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        default = inspect.Parameter.empty if d is None else ast.literal_eval(d)
        result.append((a.arg, inspect.Parameter.KEYWORD_ONLY, default))
    if args.kwarg:
        result.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return result


def _stub_methods(stub_class) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in stub_class.body if isinstance(n, ast.FunctionDef)}


def test_stub_declares_exactly_the_runtime_methods(stub_class):
    runtime = [name for name, value in vars(indexfuse.indexpca_diment).items() if callable(value)]
    assert runtime == METHODS
    assert sorted(_stub_methods(stub_class)) == sorted(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_stub_signature_matches_runtime(stub_class, name):
    runtime = inspect.signature(getattr(indexfuse.indexpca_diment, name))
    got = [(p.name, p.kind, p.default) for p in runtime.parameters.values()]
    assert _stub_parameters(_stub_methods(stub_class)[name]) == got


@pytest.mark.parametrize("name", [None, *METHODS])
def test_stub_documents_the_class_and_every_method(stub_class, name):
    # Editors take hover text from the stub, not from the compiled extension.
    node = stub_class if name is None else _stub_methods(stub_class)[name]
    assert len(ast.get_docstring(node) or "") > 60


@pytest.mark.parametrize("name", ["fit", "score"])
def test_stub_warns_that_fitting_is_not_isolated_from_other_threads(stub_class, name):
    # A fit racing a score mixes the two fits' coefficients and weights; the
    # model takes no lock, so the hover text of both methods must say so.
    text = " ".join((ast.get_docstring(_stub_methods(stub_class)[name]) or "").split())
    assert "thread" in text and "not" in text


def test_stub_attributes_are_those_of_a_fitted_model(stub_class, toy_model):
    declared = [
        n.target.id for n in stub_class.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
    ]
    assert declared == list(vars(toy_model))


def test_stub_module_names_exist_at_runtime(stub_tree):
    names = set()
    for node in stub_tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname)
        elif isinstance(node, ast.ClassDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    names = {name for name in names if not name.startswith("_") or name == "__test__"}
    public = {name for name in vars(indexfuse) if not name.startswith("__") or name == "__test__"}
    assert names == public


@pytest.fixture(scope="module")
def toy_model():
    data = pd.DataFrame(np.random.default_rng(0).normal(size=(30, 3)), columns=list("abc"))
    model = indexfuse.indexpca_diment({"A": ["a", "b"], "B": ["c"]})
    model.fit(data)
    return model


@pytest.mark.parametrize(
    "installed", ["indexfuse.pyi", "indexfuse-stubs/__init__.pyi"], ids=["beside-extension", "stub-package"]
)
def test_stub_is_installed_where_tools_look(installed):
    extension_dir = Path(indexfuse.__file__).parent
    assert (extension_dir / installed).read_text() == STUB.read_text()


@pytest.mark.parametrize("package", [tessel, indexfuse_tools], ids=lambda p: p.__name__)
def test_typed_packages_ship_py_typed(package):
    assert (Path(package.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", METHODS)
def test_help_shows_real_parameters(name):
    text = pydoc.render_doc(indexfuse.indexpca_diment, renderer=pydoc.plaintext)
    signature = inspect.signature(getattr(indexfuse.indexpca_diment, name))
    assert f"{name}{signature}" in text
    assert "indexpca_diment(schema, scale_method='max_min', pca_cumulative=1, ent_k=10)" in text


def test_class_signature_hides_self():
    assert str(inspect.signature(indexfuse.indexpca_diment)) == (
        "(schema, scale_method='max_min', pca_cumulative=1, ent_k=10)"
    )


def _mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stubtest_finds_no_mismatch(tmp_path):
    # Run outside the source tree, so mypy finds the installed stub.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "indexfuse"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_sees_the_installed_stub(tmp_path):
    (tmp_path / "use.py").write_text(
        textwrap.dedent(
            """
            import pandas as pd
            import indexfuse

            model = indexfuse.indexpca_diment({"A": ["a"]}, ent_k=5)
            frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
            reveal_type(model.fit(frame))
            composite, values = model.score(frame, scale=(0, 100))
            reveal_type(composite)
            reveal_type(model.k)
            model.fit()
            model.score(frame, 3, 4)
            indexfuse.indexpca_diment({"A": ["a"]}, entk=5)
            """
        )
    )
    result = _mypy("--strict", "--cache-dir", str(tmp_path / "cache"), "use.py", cwd=tmp_path)
    out = result.stdout
    assert 'Revealed type is "None"' in out
    assert 'Revealed type is "pandas.core.series.Series[float]"' in out
    assert 'Revealed type is "int"' in out
    assert 'Missing positional argument "data" in call to "fit"' in out
    assert 'Too many arguments for "score"' in out
    assert 'Argument 2 to "score" of "indexpca_diment" has incompatible type "int"' in out
    assert 'Unexpected keyword argument "entk"' in out
    assert out.count("error:") == 4, out
