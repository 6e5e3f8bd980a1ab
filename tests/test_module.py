"""The module frame: import, globals, the method functions, argument binding
and traceback entries."""

from __future__ import annotations

import copy
import ctypes
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback
import types

import pytest

import indexfuse

C = indexfuse.indexpca_diment

# name -> (parameters, defaults)
METHODS = {
    "__init__": (("self", "schema", "scale_method", "pca_cumulative", "ent_k"), ("max_min", 1, 10)),
    "fit": (("self", "data"), None),
    "score": (("self", "data", "scale"), (None,)),
    "compute_index_coef": (("self", "data", "schema"), None),
    "compute_dim_value": (("self", "data", "index_coef", "scale"), (None,)),
    "compute_dim_weight": (("self", "dim_value"), None),
    "compute_score": (("self", "dim_value", "dim_weight"), None),
    "is_index_coef": (("self", "x"), None),
}


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def frames_of(exc: BaseException) -> list[tuple[str, str]]:
    return [(f.filename, f.name) for f in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture
def model(toolkit):
    return C({"A": ["a"]})


# ------------------------------------------------------------------ import --


def test_globals_in_binding_order():
    # In a fresh interpreter: other tests rebind globals, which reorders the dict.
    result = run_python(
        """
        import indexfuse
        print([n for n in vars(indexfuse) if not n.startswith("__") or n == "__test__"])
        """
    )
    assert result.stdout.strip() == str(
        ["pandas", "numpy", "entropy", "PCA", "process", "indexpca_diment", "__test__"]
    ), result.stderr
    import numpy
    import pandas
    import tessel
    from tessel.modelbench import PCA, entropy

    assert indexfuse.pandas is pandas and indexfuse.numpy is numpy
    assert indexfuse.entropy is entropy and indexfuse.PCA is PCA
    assert indexfuse.process is tessel.process
    assert indexfuse.__test__ == {}
    assert indexfuse.__builtins__ is __import__("builtins")
    assert indexfuse.__doc__


def test_class_is_an_ordinary_type():
    assert type(C) is type and C.__bases__ == (object,)
    assert (C.__module__, C.__qualname__, C.__name__) == ("indexfuse", "indexpca_diment", "indexpca_diment")
    assert [n for n in vars(C) if n in METHODS] == list(METHODS)


def test_reimport_returns_the_same_module_without_importing_again():
    result = run_python(
        """
        import sys, importlib
        import indexfuse
        first = indexfuse
        indexfuse.pandas = "kept"            # a rerun of the imports would rebind it
        del sys.modules["indexfuse"]
        import indexfuse
        assert indexfuse is first and indexfuse.pandas == "kept"
        assert importlib.reload(indexfuse) is first
        spec = importlib.util.find_spec("indexfuse")
        other = importlib.util.module_from_spec(spec)
        assert other is first                 # create hands back the one module
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_second_module_object_is_refused():
    result = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("indexfuse")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert result.stdout.strip() == (
        "Module 'indexfuse' has already been imported. Re-initialisation is not supported."
    ), result.stderr


def test_missing_toolkit_fails_the_import_and_a_later_import_succeeds():
    result = run_python(
        """
        import sys, traceback
        sys.modules["tessel"] = None
        try:
            import indexfuse
        except ModuleNotFoundError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print(type(exc).__name__, "init indexfuse" in names, "indexfuse" in sys.modules)
        del sys.modules["tessel"]
        import indexfuse
        print(indexfuse.indexpca_diment.__name__, indexfuse.process.__name__)
        """
    )
    assert result.stdout.split("\n")[:2] == [
        "ModuleNotFoundError True False",
        "indexpca_diment tessel.process",
    ], result.stderr


def test_the_builtins_taken_at_import_are_the_ones_called():
    result = run_python(
        """
        import builtins
        import numpy as np, pandas as pd, tessel.modelbench
        real = {name: getattr(builtins, name) for name in ("range", "sum", "any")}
        calls = []

        def wrapped(name):
            def call(*args):
                calls.append((name, *(type(arg).__name__ for arg in args)))
                return real[name](*args)
            return call

        for name in real:
            setattr(builtins, name, wrapped(name))
        import indexfuse
        for name, builtin in real.items():
            setattr(builtins, name, builtin)
        del calls[:]

        rng = np.random.default_rng(0)
        data = pd.DataFrame(rng.normal(size=(40, 4)), columns=list("abcd"))
        model = indexfuse.indexpca_diment({"A": ["a", "b"], "B": {"b1": ["c"], ("b2", -1): ["d"]}})
        model.fit(data)
        model.score(data)
        print(sorted(set(calls)), calls.count(("range", "int")))
        """
    )
    # range once per list of entries; any on every coefficient-table check;
    # sum on the information of a nested dimension and on the shares' total.
    assert result.stdout.strip() == (
        "[('any', 'list'), ('range', 'int'), ('sum', 'dict_values')] 3"
    ), result.stderr


def test_exec_fails_cleanly_at_every_allocation():
    # The n-th allocation of exec fails, for n = 0, 1, ... until exec gets
    # through. A class created before a later step failed may survive (it
    # is reachable through object.__subclasses__()); its methods must refuse
    # to run on the state that the failure cleared.
    _testcapi = pytest.importorskip("_testcapi")
    assert hasattr(_testcapi, "set_nomemory")
    result = run_python(
        """
        import importlib.util, sys
        import pandas, numpy, tessel.modelbench  # only the module's own allocations fail
        import _testcapi
        spec = importlib.util.find_spec("indexfuse")
        survivors, seen = set(), set()
        for start in range(100_000):
            module = importlib.util.module_from_spec(spec)
            _testcapi.set_nomemory(start, start + 1)
            try:
                spec.loader.exec_module(module)
                done = True
            except MemoryError:
                done = False
            finally:
                _testcapi.remove_mem_hooks()
            for cls in object.__subclasses__():
                if cls.__name__ == "indexpca_diment" and not done and cls not in seen:
                    seen.add(cls)
                    try:
                        cls.fit(cls, None)
                    except ImportError as exc:
                        survivors.add(str(exc))
            if done:
                break
        import indexfuse
        print(done, indexfuse is module, sorted(survivors))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "True True ['indexfuse is not initialised: import it again']"
    ), result.stderr


def test_a_name_missing_from_the_toolkit_is_an_import_error(tmp_path):
    package = tmp_path / "tessel"
    (package / "modelbench").mkdir(parents=True)
    (package / "__init__.py").write_text("process = object()\n")
    (package / "modelbench" / "__init__.py").write_text("entropy = object()\n")
    result = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import indexfuse
        except ImportError as exc:
            print(type(exc).__name__, exc)
        """
    )
    assert result.stdout.strip() == "ImportError cannot import name PCA", result.stderr


# --------------------------------------------------------- function objects --


@pytest.mark.parametrize("name", METHODS)
def test_method_function_attributes(name):
    params, defaults = METHODS[name]
    function = vars(C)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"indexpca_diment.{name}"
    assert function.__module__ == "indexfuse"
    assert function.__doc__ is None
    assert function.__defaults__ == defaults
    assert tuple(inspect.signature(function).parameters) == params
    assert function.__code__.co_filename == "indexfuse.py"
    assert repr(function).startswith(f"<function indexpca_diment.{name} at 0x")


def test_signatures_show_defaults():
    assert str(inspect.signature(C)) == "(schema, scale_method='max_min', pca_cumulative=1, ent_k=10)"
    assert str(inspect.signature(C.score)) == "(self, data, scale=None)"
    text = pydoc_text(C)
    assert "fit(self, data)" in text
    assert "compute_dim_value(self, data, index_coef, scale=None)" in text


def pydoc_text(obj) -> str:
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_functions_bind_like_python_functions(model):
    bound = model.is_index_coef
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is C.is_index_coef and bound.__self__ is model
    assert C.is_index_coef.__get__(None, C) is C.is_index_coef
    assert bound({"k": {"coef": 1}}) is True
    assert C.is_index_coef(model, {"k": {}}) is True
    assert C.is_index_coef(self=model, x=[]) is False


def test_functions_pickle_and_copy_by_reference():
    assert pickle.loads(pickle.dumps(C.fit)) is C.fit
    assert copy.deepcopy([C.fit])[0] is C.fit
    with pytest.raises(TypeError, match="cannot create"):
        type(C.fit)()


def test_functions_accept_attributes():
    function = C.compute_score
    function.note = "kept"
    assert vars(function) == {"note": "kept"}
    del function.note


# --------------------------------------------------------- argument errors --


def counted(word, count, given):
    return rf"^{word} {count} positional arguments? \({given} given\)$"


@pytest.mark.parametrize("name", METHODS)
def test_too_few_arguments(name):
    params, defaults = METHODS[name]
    required = len(params) - len(defaults or ())
    word = "exactly" if defaults is None else "at least"
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes {word} {required} positional arguments \(0 given\)$"):
        getattr(C, name)()


@pytest.mark.parametrize("name", METHODS)
def test_too_many_arguments(name, model):
    params, defaults = METHODS[name]
    word = "exactly" if defaults is None else "at most"
    extra = [None] * len(params)
    with pytest.raises(TypeError) as info:
        getattr(model, name)(*extra)
    assert str(info.value) == (
        f"{name}() takes {word} {len(params)} positional arguments ({len(params) + 1} given)"
    )


@pytest.mark.parametrize("name", METHODS)
def test_keyword_repeating_a_positional_argument(name, model):
    params, _ = METHODS[name]
    with pytest.raises(TypeError) as info:
        getattr(model, name)(None, **dict.fromkeys(params[1:]))
    assert str(info.value) == f"{name}() got multiple values for keyword argument '{params[1]}'"


@pytest.mark.parametrize("name", METHODS)
def test_unexpected_keyword(name):
    params, _ = METHODS[name]
    with pytest.raises(TypeError) as info:
        getattr(C, name)(*[None] * len(params), bogus=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # a required parameter filled neither way counts the parameters before it
        (lambda m: m.fit(self=m), "fit() takes exactly 2 positional arguments (1 given)"),
        (lambda m: C.compute_score(m, dim_weight=1), "compute_score() takes exactly 3 positional arguments (1 given)"),
        (lambda m: C.score(data=None), "score() takes at least 2 positional arguments (0 given)"),
        (lambda m: C(scale_method="x"), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda m: C(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
        (lambda m: C.fit(m, self=m, data=1), "fit() got multiple values for keyword argument 'self'"),
        (lambda m: m.fit(*range(10_000)), "fit() takes exactly 2 positional arguments (10001 given)"),
        (lambda m: m.fit(1, **{f"k{i}": i for i in range(1_000)}), "fit() got an unexpected keyword argument 'k0'"),
        (lambda m: m.score(1, 2, 3, data=3), "score() takes at most 3 positional arguments (4 given)"),
        (lambda m: m.score(1, 2, data=3), "score() got multiple values for keyword argument 'data'"),
        (lambda m: m.compute_dim_value(1, scale=2), "compute_dim_value() takes at least 3 positional arguments (2 given)"),
    ],
)
def test_argument_error_messages(model, call, message):
    with pytest.raises(TypeError) as info:
        call(model)
    assert str(info.value) == message


def test_keywords_bind_by_name_including_self(model):
    class Name(str):
        def __eq__(self, other):  # never consulted: names compare as plain strings
            raise AssertionError

        __hash__ = str.__hash__

    assert C.is_index_coef(**{"self": model, Name("x"): {"a": {}}}) is True
    assert model.compute_score(dim_weight=0.5, dim_value=4) == 2.0


def test_non_string_keyword_from_c_is_rejected(model):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 3)(model, None, None)
    with pytest.raises(TypeError, match=r"^fit\(\) keywords must be strings$"):
        vectorcall(C.fit, args, 2, (1,))


# ---------------------------------------------------------------- tracebacks --


def test_failures_gain_one_entry_per_method(toolkit):
    model = C({"A": ["a"]})
    with pytest.raises(TypeError) as info:
        model.fit(None)
    assert frames_of(info.value)[-1] == ("indexfuse.py", "indexfuse.indexpca_diment.fit")

    with pytest.raises(KeyError) as info:
        model.compute_score({}, {"x": {"y": 1}})
    names = [n for f, n in frames_of(info.value) if f == "indexfuse.py"]
    assert names == ["indexfuse.indexpca_diment.compute_score"]

    with pytest.raises(KeyError) as info:
        model.compute_score({"x": {}}, {"x": {"y": 1}})
    names = [n for f, n in frames_of(info.value) if f == "indexfuse.py"]
    assert names == ["indexfuse.indexpca_diment.compute_score"] * 2


def test_argument_errors_gain_an_entry_too():
    with pytest.raises(TypeError) as info:
        C.fit()
    assert frames_of(info.value)[-1] == ("indexfuse.py", "indexfuse.indexpca_diment.fit")


# ----------------------------------------------------------------- globals --


def test_globals_are_looked_up_at_each_use(monkeypatch, toolkit):
    model = C({"A": ["a"]})
    assert isinstance(model.pca, type(toolkit.make_pca()))

    monkeypatch.setattr(indexfuse, "PCA", lambda **kw: ("rebound", kw))
    assert C(None).pca == ("rebound", {"cumulative": 1, "scale_method": "max_min"})

    monkeypatch.delattr(indexfuse, "PCA")
    with pytest.raises(NameError, match=r"^name 'PCA' is not defined$"):
        C(None)

    import builtins

    monkeypatch.setattr(builtins, "PCA", lambda **kw: "from builtins", raising=False)
    assert C(None).pca == "from builtins"


class Marker:
    """A dimension value that the stand-in pandas below calls a Series."""

    values = 2.0


class Other:
    pass


def plain_module(name: str, **attributes) -> types.ModuleType:
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


@pytest.fixture
def stand_ins(monkeypatch):
    """pandas, numpy and entropy rebound to plain stand-in modules."""
    modules = types.SimpleNamespace(
        pandas=plain_module("stand_in_pandas", DataFrame=Other, Series=Marker),
        numpy=plain_module("stand_in_numpy", ndarray=Other),
        entropy=plain_module("stand_in_entropy", multivar_knn=lambda x, k: x),
    )
    for name, module in vars(modules).items():
        monkeypatch.setattr(indexfuse, name, module)
    return modules


def dimension_weights(model):
    return model.compute_dim_weight({"A": Marker(), "B": 1})


def replace_series(mods, monkeypatch):
    mods.pandas.Series = Other


def delete_series(mods, monkeypatch):
    del mods.pandas.Series


def clear_pandas(mods, monkeypatch):
    vars(mods.pandas).clear()


def rebind_pandas(mods, monkeypatch):
    monkeypatch.setattr(indexfuse, "pandas", plain_module("other", DataFrame=Other, Series=Other))


def update_globals(mods, monkeypatch):
    # Straight into the dict; the fixture's monkeypatch puts pandas back.
    vars(indexfuse).update(pandas=plain_module("other", DataFrame=Other, Series=Other))


def replace_estimator(mods, monkeypatch):
    mods.entropy.multivar_knn = lambda x, k: 5.0


def change_module_class(mods, monkeypatch):
    class WithProperty(types.ModuleType):
        Series = property(lambda self: Other)

    mods.pandas.__class__ = WithProperty


def module_getattr(mods, monkeypatch):
    del mods.pandas.Series
    mods.pandas.__getattr__ = lambda name: Marker if name == "Series" else Other


@pytest.mark.parametrize(
    ("change", "expected"),
    [
        (replace_series, "unweighted"),
        (delete_series, AttributeError("module 'stand_in_pandas' has no attribute 'Series'")),
        (clear_pandas, AttributeError("module has no attribute 'DataFrame'")),
        (rebind_pandas, "unweighted"),
        (update_globals, "unweighted"),
        (replace_estimator, ({"A": 1.0, "B": None}, {"A": 4.5})),
        (change_module_class, "unweighted"),
        (module_getattr, ({"A": 1.0, "B": None}, {"A": 1.5})),
    ],
)
def test_module_attributes_follow_every_change(stand_ins, monkeypatch, change, expected):
    model = C(None)
    model.k, model.min_ent = 3, 0.5
    for _ in range(3):
        assert dimension_weights(model) == ({"A": 1.0, "B": None}, {"A": 1.5})
    change(stand_ins, monkeypatch)
    for _ in range(2):
        if isinstance(expected, Exception):
            with pytest.raises(type(expected), match=f"^{expected}$"):
                dimension_weights(model)
        elif expected == "unweighted":
            value = {"A": Marker, "B": 1}
            result = dimension_weights(model)
            assert result[0] is result[1] and list(result[0]) == list(value)
        else:
            assert dimension_weights(model) == expected


# ------------------------------------------------------------- constructor --


def test_constructor_defaults(toolkit):
    schema = {"A": ["a"]}
    model = C(schema)
    assert vars(model).keys() == {"schema", "k", "scale_method", "pca", "abnormal_index"}
    assert model.schema is schema and model.k == 10 and model.scale_method == "max_min"
    assert model.abnormal_index == [] and model.abnormal_index is not C(schema).abnormal_index
    assert toolkit.log.of("PCA")[0] == ((), {"cumulative": 1, "scale_method": "max_min"})
    assert list(toolkit.log.of("PCA")[0][1]) == ["cumulative", "scale_method"]
    for missing in ("ent_k", "pca_cumulative", "min_ent", "index_coef", "dim_weight"):
        assert not hasattr(model, missing)


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        (("z_score", 0.9), {}, ("z_score", 0.9, 10)),
        ((), {"ent_k": 5}, ("max_min", 1, 5)),
        (("m", 0.5, 3), {}, ("m", 0.5, 3)),
    ],
)
def test_constructor_passes_arguments_on(toolkit, args, kwargs, expected):
    method, cumulative, k = expected
    model = C(None, *args, **kwargs)
    assert (model.scale_method, model.k) == (method, k)
    assert toolkit.log.of("PCA")[-1][1] == {"cumulative": cumulative, "scale_method": method}


def test_constructor_failure_keeps_what_it_stored(monkeypatch):
    def failing(**kwargs):
        raise ValueError("no PCA today")

    monkeypatch.setattr(indexfuse, "PCA", failing)
    model = C.__new__(C)
    with pytest.raises(ValueError, match="no PCA today") as info:
        model.__init__({"A": []}, ent_k=3)
    assert vars(model) == {"schema": {"A": []}, "k": 3, "scale_method": "max_min"}
    own = [entry for entry in frames_of(info.value) if entry[0] == "indexfuse.py"]
    assert own == [("indexfuse.py", "indexfuse.indexpca_diment.__init__")]
