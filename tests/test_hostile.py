"""Hostile input never crashes the interpreter.

Containers that mutate themselves while they are walked, labels whose
comparisons raise or mutate, lengths that raise, self-containing and very
deep schemas, odd neighbour counts, toolkits that answer with the wrong
shapes, eight threads scoring one model, and a second interpreter. Each case
ends in a Python exception or in the documented result; where the reference
model can follow, it must raise the same. Cases that could take the process
down run in a subprocess.
"""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap
import threading
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.special import digamma

import indexfuse
import reference_model

C = indexfuse.indexpca_diment

pytestmark = pytest.mark.filterwarnings("ignore:Starting with pandas version 4.0 all arguments of sum")


class Boom(Exception):
    pass


def outcome(fn):
    """(type name, message) of what fn() raises, or ("ok", repr) of its result."""
    try:
        result = fn()
    except Exception as exc:  # noqa: BLE001
        return (type(exc).__name__, re.sub(r" at 0x[0-9a-f]+", "", str(exc)))
    return ("ok", type(result).__name__)


def both(fn):
    """fn(module) on both implementations, which must agree; the outcome."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = [outcome(lambda: fn(module)) for module in (indexfuse, reference_model)]
    assert results[0] == results[1]
    return results[0]


def bare(module, **attributes):
    """A model object without running the constructor."""
    model = object.__new__(module.indexpca_diment)
    model.scale_method = "max_min"
    model.abnormal_index = []
    for name, value in attributes.items():
        setattr(model, name, value)
    return model


class RecordingToolkit:
    """Tiny, deterministic stand-ins, bound on both modules."""

    def __init__(self):
        self.score_result = None

    def make_pca(self, **kwargs):
        toolkit = self

        class Pca:
            def fit(self, frame):
                width = frame.shape[1]
                self.max = [1.0] * width
                self.min = [0.0] * width
                self.mean = [0.5] * width
                self.std = [0.1] * width

            def score(self, frame):
                if toolkit.score_result is not None:
                    return toolkit.score_result(frame)
                return None, [1.0 / frame.shape[1]] * frame.shape[1], []

        return Pca()

    @staticmethod
    def multivar_knn(x, k=3):
        return float(np.nansum(np.abs(np.asarray(x, dtype=float)))) + 1.0

    @staticmethod
    def scale(column, method=None, range=None, mean=None, std=None):
        return column * 1.0

    @staticmethod
    def rescale(series, method=None, range=None):
        return series + 1.0


@pytest.fixture
def toolkit(monkeypatch):
    kit = RecordingToolkit()
    for module in (indexfuse, reference_model):
        monkeypatch.setattr(module, "PCA", kit.make_pca)
        monkeypatch.setattr(module, "entropy", types.SimpleNamespace(multivar_knn=kit.multivar_knn))
        monkeypatch.setattr(module, "process", types.SimpleNamespace(scale=kit.scale, rescale=kit.rescale))
    return kit


@pytest.fixture
def frame():
    return pd.DataFrame({"a": [1.0, 2.0, 4.0], "b": [3.0, 1.0, 0.0], "c": [0.0, 5.0, 1.0]})


def run_isolated(code: str, timeout: int = 300) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (same environment, so sanitized
    builds stay in use); a crash there fails the test instead of pytest."""
    return subprocess.run([sys.executable, "-W", "ignore", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def assert_clean_exit(proc):
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr[-3000:]}"


# ------------------------------------------------ mappings that misbehave --


class ItemsMutates(dict):
    """items() adds a key to the dict being walked."""

    def items(self):
        self[object()] = None
        return super().items()


class ItemsGrowsDuringWalk(dict):
    """items() yields pairs while adding keys under the walk."""

    def items(self):
        def walk():
            for key in list(dict.keys(self)):
                self[("more", key)] = None
                yield key, dict.__getitem__(self, key)

        return walk()


class ItemsRaises(dict):
    def items(self):
        raise Boom("items")


class CopyRaises(dict):
    def copy(self):
        raise Boom("copy")


class CopyNone(dict):
    def copy(self):
        return None


class CopyList(dict):
    def copy(self):
        return [1, 2]


class CopySelfClears(dict):
    """copy() hands back itself, emptied: the walk sees nothing."""

    def copy(self):
        self.clear()
        return self


def items_returning(value):
    return type("ItemsOdd", (dict,), {"items": lambda self: value})


ODD_ITEMS = {
    "triples": [("A", 1, 2)],
    "singles": [("A",)],
    "numbers": [1],
    "none": None,
    "string pairs": ["ab"],
    "generator raising": (x for x in [("A", None), 1 / 1]),
}

MISBEHAVING = [ItemsMutates, ItemsGrowsDuringWalk, ItemsRaises, CopyRaises, CopyNone, CopyList, CopySelfClears]


@pytest.mark.parametrize("cls", MISBEHAVING, ids=lambda c: c.__name__)
def test_schema_mappings_that_misbehave(toolkit, frame, cls):
    result = both(lambda m: bare(m).compute_index_coef(frame, cls({"A": ["a", "b"], "B": None})))
    assert result[0] in {"ok", "Boom", "RuntimeError", "AttributeError"}


@pytest.mark.parametrize("cls", MISBEHAVING, ids=lambda c: c.__name__)
@pytest.mark.parametrize("method", ["compute_dim_value", "compute_dim_weight", "compute_score", "is_index_coef"])
def test_other_walks_over_misbehaving_mappings(toolkit, frame, cls, method):
    series = frame["a"]
    record = {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}
    arguments = {
        "compute_dim_value": lambda: (frame, cls({"A": {"a": record}, "B": None})),
        "compute_dim_weight": lambda: (cls({"A": series, "B": cls({"b": series, "c": series})}),),
        "compute_score": lambda: (cls({"A": series, "B": series}), cls({"A": 0.5, "B": cls({})})),
        "is_index_coef": lambda: (cls({"a": cls(record), "b": None}),),
    }[method]
    both(lambda m: getattr(bare(m, k=2, min_ent=0.0), method)(*arguments()))


@pytest.mark.parametrize("name", list(ODD_ITEMS))
@pytest.mark.parametrize("method", ["compute_index_coef", "compute_dim_value", "compute_dim_weight",
                                    "compute_score", "is_index_coef"])
def test_items_that_are_not_pairs(toolkit, frame, name, method):
    def call(m):
        odd = ODD_ITEMS[name]
        if isinstance(odd, types.GeneratorType):
            odd = iter([("A", None), 1])
        cls = items_returning(odd)
        model = bare(m, k=2, min_ent=0.0)
        if method == "compute_index_coef":
            return model.compute_index_coef(frame, {"A": cls({"x": ["a"]})})
        if method == "compute_dim_value":
            return model.compute_dim_value(frame, {"A": cls({"y": 1})})
        if method == "compute_dim_weight":
            return model.compute_dim_weight(cls({"A": frame["a"]}))
        if method == "compute_score":
            return model.compute_score({"A": frame["a"]}, cls({"A": 1}))
        return model.is_index_coef(cls({"A": {}}))

    both(call)


def test_a_plain_dict_emptied_by_the_toolkit_mid_walk(toolkit, frame, monkeypatch):
    """The scaling step clears the coefficient table that is being walked,
    freeing the records: the walk must not touch freed memory."""
    for module in (indexfuse, reference_model):
        table = {"a": {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1},
                 "b": {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}}

        def scale(column, **kwargs):
            table.clear()
            return column

        monkeypatch.setattr(module, "process", types.SimpleNamespace(scale=scale, rescale=None))
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            bare(module).compute_dim_value(frame, table)


def test_a_plain_dict_whose_keys_are_swapped_mid_walk(toolkit, frame, monkeypatch):
    """Same size, other keys: the walk goes on without noticing, safely."""
    record = {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}
    table = {"a": dict(record), "b": dict(record)}

    def scale(column, **kwargs):
        if "a" in table:
            del table["a"]
            table["c"] = dict(record)
        return column

    monkeypatch.setattr(indexfuse, "process", types.SimpleNamespace(scale=scale, rescale=None))
    result = bare(indexfuse).compute_dim_value(frame, table)
    assert isinstance(result, pd.Series)


# ----------------------------------------------- labels and lengths that bite --


class Label:
    """A column label whose comparison runs code."""

    def __init__(self, name, on_eq):
        self.name = name
        self.on_eq = on_eq

    def __eq__(self, other):
        self.on_eq(self)
        return isinstance(other, Label) and other.name == self.name

    def __hash__(self):
        return hash(self.name)


class LabelTable:
    """Column labels that are Label objects, held in one list the labels may mutate."""

    def __init__(self, frame, labels):
        self.frame = frame
        self.labels = labels

    def __len__(self):
        return len(self.frame)

    @property
    def columns(self):
        return types.SimpleNamespace(tolist=lambda: self.labels)

    def __getitem__(self, key):
        if isinstance(key, list):
            return self.frame[[k.name if isinstance(k, Label) else k for k in key]]
        return self.frame[key.name if isinstance(key, Label) else key]


def _raise(label):
    raise Boom(f"eq {label.name}")


@pytest.mark.parametrize("behaviour", ["raises", "clears the column list", "empties the leaf",
                                       "grows the column list"])
def test_labels_whose_comparison_bites(toolkit, frame, behaviour):
    def call(m):
        labels = []
        leaf = []
        effects = {
            "raises": _raise,
            "clears the column list": lambda label: labels.clear(),
            "empties the leaf": lambda label: leaf.clear(),
            "grows the column list": lambda label: len(labels) < 50 and labels.append(Label("z", lambda _: None)),
        }
        labels.extend(Label(n, effects[behaviour]) for n in "abc")
        leaf.extend([Label("a", lambda _: None), [Label("b", lambda _: None), -1], "c"])
        return bare(m).compute_index_coef(LabelTable(frame, labels), {"A": leaf})

    both(call)


class BadLen(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


class BadLenTuple(tuple):
    def __new__(cls, items, length):
        obj = super().__new__(cls, items)
        obj.length = length
        return obj

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


LENGTHS = {"raises": lambda: Boom("len"), "negative": lambda: -1, "huge": lambda: 2**70, "not int": lambda: "2"}


@pytest.mark.parametrize("length", list(LENGTHS))
@pytest.mark.parametrize("where", ["data", "entry", "index key", "score key", "nested key", "weight key"])
def test_lengths_that_bite(toolkit, frame, length, where):
    record = {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}

    def call(m):
        bad = LENGTHS[length]()
        model = bare(m, k=2, min_ent=0.0, schema={"A": ["a"]})
        if where == "data":
            table = types.SimpleNamespace()
            table = type("T", (), {"__len__": lambda self: BadLen([], bad).__len__()})()
            return model.fit(table)
        if where == "entry":
            return model.compute_index_coef(frame, {"A": [BadLen(["a", -1], bad)]})
        if where == "index key":
            return model.compute_dim_value(frame, {BadLenTuple(("a", -1), bad): record})
        if where == "score key":
            return model.compute_score({BadLenTuple(("A", -1), bad): frame["a"]},
                                       {BadLenTuple(("A", -1), bad): 1.0})
        if where == "nested key":
            return model.compute_dim_weight({"A": {BadLenTuple(("a", -1), bad): frame["a"]}})
        key = BadLenTuple(("A", -1), bad)
        return model.compute_score({key: {"x": frame["a"]}}, {key: {"x": 0.5}})

    kind, _ = both(call)
    assert kind != "ok" or length == "negative" and where != "data"


# ------------------------------------------------ recursion without end --


def _self_containing():
    d = {}
    d["again"] = d
    return d


def _deep(depth, leaf):
    node = leaf
    for _ in range(depth):
        node = {"d": node}
    return node


def test_a_schema_that_contains_itself_ends_in_recursion_error(toolkit, frame):
    model = C(_self_containing())
    with pytest.raises(RecursionError):
        model.fit(frame)
    assert model.k == 10 and not hasattr(model, "min_ent")  # the failed fit took nothing back


@pytest.mark.parametrize("method", ["compute_index_coef", "compute_dim_value", "compute_dim_weight",
                                    "compute_score"])
def test_self_containing_arguments_end_in_recursion_error(toolkit, frame, method):
    model = bare(indexfuse, k=2, min_ent=0.0)
    loop = _self_containing()
    with pytest.raises(RecursionError):
        if method == "compute_score":
            getattr(model, method)(loop, loop)
        elif method == "compute_dim_weight":
            getattr(model, method)(loop)
        else:
            getattr(model, method)(frame, loop)


def test_recursion_through_a_python_override_still_ends_cleanly(toolkit, frame):
    class Sub(C):
        def compute_index_coef(self, data, schema):
            return super().compute_index_coef(data, schema)

    with pytest.raises(RecursionError):
        Sub(_self_containing()).compute_index_coef(frame, _self_containing())


@pytest.mark.subprocess
def test_nesting_100000_deep_in_a_fresh_interpreter():
    proc = run_isolated(
        """
        import sys
        import indexfuse, pandas as pd
        def deep(depth, leaf):
            node = leaf
            for _ in range(depth):
                node = {"d": node}
            return node
        C = indexfuse.indexpca_diment
        frame = pd.DataFrame({"a": [1.0, 2.0]})
        model = object.__new__(C)
        model.k, model.min_ent, model.scale_method, model.abnormal_index = 1, 0.0, "max_min", []
        calls = {
            "compute_index_coef": lambda: model.compute_index_coef(frame, deep(100_000, ["a"])),
            "compute_dim_value": lambda: model.compute_dim_value(frame, deep(100_000, None)),
            "compute_dim_weight": lambda: model.compute_dim_weight(deep(100_000, frame["a"])),
            "compute_score": lambda: model.compute_score(deep(100_000, 1.0), deep(100_000, 0.5)),
            "fit": lambda: C(deep(100_000, ["a"])).fit(frame),
        }

        class Sub(C):  # Python frames between the levels, and no Python limit to speak of
            def compute_index_coef(self, data, schema):
                return super().compute_index_coef(data, schema)

        sys.setrecursionlimit(1_000_000)
        calls["through an override"] = lambda: Sub(None).compute_index_coef(frame, deep(100_000, ["a"]))
        for name, call in calls.items():
            try:
                call()
            except RecursionError:
                print(name, "RecursionError")
            else:
                print(name, "returned")
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.split("\n")[:6] == [f"{name} RecursionError" for name in
                                           ["compute_index_coef", "compute_dim_value", "compute_dim_weight",
                                            "compute_score", "fit", "through an override"]]


# ------------------------------------------------------------ odd k --


@pytest.mark.subprocess
@pytest.mark.parametrize("ent_k", [10**100, -(10**100), -5, 2**63, float("nan"), float("inf"), 3.5, True])
def test_odd_neighbour_counts_with_the_real_toolkit(ent_k):
    """Runs in a fresh interpreter: the real estimator's compiled kernel sees the value."""
    proc = run_isolated(
        f"""
        import math
        import numpy as np, pandas as pd, indexfuse
        rng = np.random.default_rng(3)
        frame = pd.DataFrame(rng.normal(size=(12, 4)), columns=list("abcd"))
        model = indexfuse.indexpca_diment({{"A": ["a", "b"], "B": [("c", -1), "d"]}}, ent_k={ent_k!r})
        try:
            model.fit(frame)
            total, values = model.score(frame)
            print("ok", model.k)
        except Exception as exc:
            print("raised", type(exc).__name__)
        """.replace("nan", "float('nan')").replace("inf", "float('inf')")
    )
    assert_clean_exit(proc)
    assert proc.stdout.startswith(("ok", "raised"))


# ------------------------------------------------ toolkits with wrong shapes --


class GetitemRaises:
    def __getitem__(self, i):
        raise Boom("getitem")


class ContainsRaises:
    def __contains__(self, x):
        raise Boom("contains")


SCORE_RESULTS = {
    "None": lambda f: None,
    "two items": lambda f: (None, [1.0]),
    "four items": lambda f: (None, [1.0], [], 4),
    "coef getitem raises": lambda f: (None, GetitemRaises(), []),
    "abnormal contains raises": lambda f: (None, [1.0] * f.shape[1], ContainsRaises()),
    "coef too short": lambda f: (None, [], []),
    "an iterator of three": lambda f: iter([None, [1.0] * f.shape[1], []]),
    "an iterator that raises": lambda f: (x if x != "boom" else 1 / 0 for x in [None, "boom"]),
    "a string of three": lambda f: "abc",
    "a dict of three": lambda f: {1: 1, 2: 2, 3: 3},
}


@pytest.mark.parametrize("name", list(SCORE_RESULTS))
def test_pca_scores_of_the_wrong_shape(toolkit, frame, name):
    toolkit.score_result = SCORE_RESULTS[name]
    kind, _ = both(lambda m: m.indexpca_diment({"A": ["a", "b"]}).fit(frame))
    assert kind != "ok" or name == "an iterator of three"


TOOLKIT_ANSWERS = {
    "PCA returns None": ("PCA", lambda **kw: None),
    "statistics raise on read": ("pca statistics", GetitemRaises()),
    "statistics are None": ("pca statistics", None),
    "estimator returns None": ("entropy", types.SimpleNamespace(multivar_knn=lambda x, k=3: None)),
    "estimator returns a string": ("entropy", types.SimpleNamespace(multivar_knn=lambda x, k=3: "s")),
    "estimator is None": ("entropy", None),
    "scale returns None": ("process", types.SimpleNamespace(scale=lambda c, **kw: None, rescale=None)),
    "scale returns a tuple": ("process", types.SimpleNamespace(scale=lambda c, **kw: (1, 2), rescale=None)),
    "rescale raises": ("process", types.SimpleNamespace(scale=lambda c, **kw: c, rescale=lambda s, **kw: 1 / 0)),
}


@pytest.mark.parametrize("name", list(TOOLKIT_ANSWERS))
def test_toolkits_that_answer_badly(toolkit, frame, monkeypatch, name):
    target, value = TOOLKIT_ANSWERS[name]

    def call(m):
        with pytest.MonkeyPatch.context() as mp:
            if target == "pca statistics":
                class Stats:
                    def fit(self, f):
                        self.max = self.min = self.mean = self.std = value

                    def score(self, f):
                        return None, [0.5] * f.shape[1], []

                mp.setattr(m, "PCA", lambda **kw: Stats())
            elif target != "pca statistics":
                mp.setattr(m, target, value)
            model = m.indexpca_diment({"A": ["a", "b"], "B": ["c"]})
            model.fit(frame)
            return model.score(frame, (0, 1))

    both(call)


# --------------------------------------------------------------- threads --


def test_eight_threads_scoring_one_model_agree(monkeypatch):
    # pandas enters catch_warnings from several threads at once, which can
    # leave other filters in force for a moment: drop every warning shown.
    monkeypatch.setattr(warnings, "_showwarnmsg_impl", lambda message: None)
    rng = np.random.default_rng(11)
    train = pd.DataFrame(rng.normal(size=(40, 6)), columns=list("abcdef"))
    model = C({"A": ["a", ("b", -1)], ("B", -1): {"x": ["c", "d"], "y": ["e"]}, "C": ["f"]})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(train)
        expected, expected_values = model.score(train, (0, 100))
    results, errors = [], []
    start = threading.Barrier(8)

    def worker():
        try:
            start.wait()
            for _ in range(25):
                results.append(model.score(train, (0, 100)))
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            threads = [threading.Thread(target=worker) for _ in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors
    assert len(results) == 200
    for total, values in results:
        pd.testing.assert_series_equal(total, expected)
        assert list(values) == list(expected_values)


# ------------------------------------------------------ second interpreter --

INTERPRETER_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.mark.subprocess
def test_a_legacy_subinterpreter_after_the_main_one_is_refused():
    proc = run_isolated(
        """
        import _testcapi
        import indexfuse
        print("sub", _testcapi.run_in_subinterp("import indexfuse"))
        print("main still works", indexfuse.indexpca_diment(None).k)
        """
    )
    assert_clean_exit(proc)
    assert "sub -1" in proc.stdout and "main still works 10" in proc.stdout
    assert f"ImportError: {INTERPRETER_MESSAGE}" in proc.stderr


@pytest.mark.subprocess
def test_a_legacy_subinterpreter_first_leaves_the_main_one_refused():
    proc = run_isolated(
        """
        import _testcapi
        print("sub", _testcapi.run_in_subinterp("import indexfuse"))
        try:
            import indexfuse
        except ImportError as exc:
            print("main refused:", exc)
        """
    )
    assert_clean_exit(proc)
    assert f"main refused: {INTERPRETER_MESSAGE}" in proc.stdout


@pytest.mark.subprocess
def test_an_isolated_subinterpreter_is_refused_before_creation():
    proc = run_isolated(
        """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import indexfuse")
        except Exception as exc:
            print("refused:", exc)
        interpreters.destroy(interp)
        import indexfuse
        print("main", indexfuse.indexpca_diment(None).k)
        """
    )
    assert_clean_exit(proc)
    assert "does not support loading in subinterpreters" in proc.stdout
    assert "main 10" in proc.stdout


# ------------------------------------------------------------ odd callers --


def test_methods_called_on_objects_that_are_not_models(frame):
    assert C.is_index_coef(None, {"a": {}}) is True
    assert C.compute_score(None, 2, 0.5) == 1.0
    with pytest.raises(AttributeError):
        C.__init__(None, {})
    with pytest.raises(AttributeError):
        C.fit(3, frame)
    with pytest.raises(TypeError):
        C.fit(*[None] * 3)


def test_a_fit_that_replaces_the_instance_dict_fails_cleanly(toolkit, frame):
    class Sub(C):
        def compute_dim_weight(self, dim_value):
            self.__dict__ = {}
            raise Boom("weights")

    model = Sub({"A": ["a", "b"]})
    with pytest.raises(Boom):
        model.fit(frame)
    assert vars(model) == {}


@pytest.mark.subprocess
def test_method_objects_can_be_freed_in_a_fresh_interpreter():
    proc = run_isolated(
        """
        import gc, weakref, indexfuse
        C = indexfuse.indexpca_diment
        f = C.__dict__["fit"]
        f.cycle = f  # through the function's own dict
        ref = weakref.ref(f)
        del C.fit, f
        gc.collect()
        print("freed", ref() is None)
        """
    )
    assert_clean_exit(proc)
    assert "freed True" in proc.stdout


# ------------------------------------------------- the toolkit's kernel --

from tessel import _knn  # noqa: E402


KERNEL_CALLS = {
    "bytes": lambda: _knn.sum_log_kth(b"abcdefgh" * 4, 1, 1e-3),
    "float32": lambda: _knn.sum_log_kth(np.arange(8, dtype=np.float32), 1, 1e-3),
    "int64": lambda: _knn.sum_log_kth(np.arange(8), 1, 1e-3),
    "two-dimensional": lambda: _knn.sum_log_kth(np.zeros((4, 2)), 1, 1e-3),
    "strided": lambda: _knn.sum_log_kth(np.arange(16.0)[::2], 1, 1e-3),
    "byte-swapped": lambda: _knn.sum_log_kth(np.arange(8.0).astype(">f8"), 1, 1e-3),
    "strided memoryview": lambda: _knn.sum_log_kth(memoryview(np.arange(16.0))[::2], 1, 1e-3),
    "zero-dimensional": lambda: _knn.sum_log_kth(np.float64(1.0), 1, 1e-3),
    "empty": lambda: _knn.sum_log_kth(np.zeros(0), 1, 1e-3),
    "one point": lambda: _knn.sum_log_kth(np.zeros(1), 1, 1e-3),
    "k = n": lambda: _knn.sum_log_kth(np.arange(5.0), 5, 1e-3),
    "k = 0": lambda: _knn.sum_log_kth(np.arange(5.0), 0, 1e-3),
    "k negative": lambda: _knn.sum_log_kth(np.arange(5.0), -3, 1e-3),
    "k huge": lambda: _knn.sum_log_kth(np.arange(5.0), 2**80, 1e-3),
    "k not an int": lambda: _knn.sum_log_kth(np.arange(5.0), 1.5, 1e-3),
    "resolution zero": lambda: _knn.sum_log_kth(np.arange(5.0), 1, 0.0),
    "resolution nan": lambda: _knn.sum_log_kth(np.arange(5.0), 1, float("nan")),
    "resolution inf": lambda: _knn.sum_log_kth(np.arange(5.0), 1, float("inf")),
    "resolution too fine": lambda: _knn.sum_log_kth(np.arange(5.0), 1, 5e-324),
    "nan inside": lambda: _knn.sum_log_kth(np.array([0.0, np.nan, 1.0]), 1, 1e-3),
    "inf at the end": lambda: _knn.sum_log_kth(np.r_[np.arange(5000.0), np.inf], 3, 1e-3),
    "not sorted": lambda: _knn.sum_log_kth(np.arange(5000.0)[::-1].copy(), 3, 1e-3),
    "too few arguments": lambda: _knn.sum_log_kth(np.arange(5.0)),
    "not a buffer": lambda: _knn.sum_log_kth([1.0, 2.0, 3.0], 1, 1e-3),
}


@pytest.mark.parametrize("name", list(KERNEL_CALLS))
def test_the_nearest_neighbour_kernel_rejects_what_it_cannot_read(name):
    with pytest.raises((TypeError, ValueError, OverflowError)):
        KERNEL_CALLS[name]()


@pytest.mark.parametrize("n, k", [(2, 1), (3, 2), (300, 1), (301, 300), (2000, 90), (3000, 7)])
@pytest.mark.parametrize("step", [1e-3, 0.05])
def test_the_kernel_at_its_edges_matches_a_direct_sum(n, k, step):
    """Every window edge, with tie groups next to the ends and between
    ordinary points: the sum written out in numpy must agree with the kernel."""
    rng = np.random.default_rng(n + k)
    x = np.round(rng.normal(size=n), 2)  # ties on purpose
    x[: n // 10] = -0.0
    x[-(n // 10):] = 7.0
    s = np.sort(x)
    lo = np.arange(n)
    best = np.full(n, np.inf)
    for a in range(k + 1):  # windows [i - a, i - a + k] that hold i and fit
        start = lo - a
        ok = (start >= 0) & (start + k <= n - 1)
        left = s[lo] - s[np.clip(start, 0, n - 1)]
        right = s[np.clip(start + k, 0, n - 1)] - s[lo]
        best = np.where(ok, np.minimum(best, np.maximum(left, right)), best)
    _, where, counts = np.unique(np.rint(s / step), return_inverse=True, return_counts=True)
    group = counts[where]
    tied = digamma(k) - digamma(group) + np.log(step / 2)
    expected = np.where(group > k, tied, np.log(np.where(group > k, 1.0, best))).sum()
    assert _knn.sum_log_kth(s, k, step) == pytest.approx(expected, rel=1e-12, abs=1e-9)


def test_the_kernel_while_another_thread_rewrites_its_input():
    """The kernel reads without the interpreter lock; a writer changing the
    array at the same time (here: making and unmaking tie groups, so it
    stays sorted most of the time) may change the answer, never crash."""
    x = np.arange(20000.0) * 1e-3
    stop = threading.Event()

    def writer():
        rng = np.random.default_rng(1)
        while not stop.is_set():
            start = int(rng.integers(0, len(x) - 50))
            x[start : start + 50] = x[start]
            x[start : start + 50] = np.arange(start, start + 50) * 1e-3

    t = threading.Thread(target=writer)
    t.start()
    try:
        for _ in range(200):
            try:
                assert isinstance(_knn.sum_log_kth(x, 5, 1e-3), float)
            except ValueError:
                pass  # caught out of order
    finally:
        stop.set()
        t.join()


# ------------------------------------------------------ the module itself --


def test_argument_floods_are_refused(frame):
    model = C(None)
    with pytest.raises(TypeError, match=r"fit\(\) takes exactly 2 positional arguments \(10001 given\)"):
        model.fit(*range(10_000))
    with pytest.raises(TypeError, match="unexpected keyword argument 'k0'"):
        model.fit(frame, **{f"k{i}": i for i in range(1_000)})
    with pytest.raises(TypeError, match="multiple values for keyword argument 'data'"):
        model.fit(frame, data=frame, **{f"k{i}": i for i in range(1_000)})


@pytest.mark.subprocess
def test_methods_and_globals_removed_while_in_use():
    proc = run_isolated(
        """
        import gc, types, indexfuse, pandas as pd
        C = indexfuse.indexpca_diment
        frame = pd.DataFrame({"a": [1.0, 2.0], "b": [0.0, 3.0]})
        record = {"coef": 1.0, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}
        model = object.__new__(C)
        model.scale_method = "max_min"

        def scale(column, **kwargs):
            # the running method and its callers lose their class entries
            for name in ("compute_dim_value", "is_index_coef"):
                if name in C.__dict__:
                    delattr(C, name)
            gc.collect()
            return column

        indexfuse.process = types.SimpleNamespace(scale=scale, rescale=None)
        print(type(C.__dict__["compute_dim_value"](model, frame, {"a": record})).__name__)
        try:
            model.compute_dim_value(frame, {"a": record})
        except AttributeError as exc:
            print("gone:", exc)

        # an emptied module namespace: globals are missing, nothing crashes
        vars(indexfuse).clear()
        try:
            C.__dict__["compute_dim_weight"](model, [1.0, 2.0])
        except NameError as exc:
            print("NameError:", exc)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.splitlines() == [
        "Series",
        "gone: 'indexpca_diment' object has no attribute 'compute_dim_value'",
        "NameError: name 'pandas' is not defined",
    ]


@pytest.mark.subprocess
def test_a_second_module_object_is_refused():
    proc = run_isolated(
        """
        import importlib.util, sys
        import indexfuse
        found = importlib.util.find_spec("indexfuse")
        other = importlib.util.module_from_spec(found)
        print("same object:", other is indexfuse)
        try:
            found.loader.exec_module(other)
            print("exec: ok")
        except RuntimeError as exc:
            print("exec:", exc)
        del sys.modules["indexfuse"]
        import indexfuse as again
        print("reimport is the same:", again is indexfuse)
        """
    )
    assert_clean_exit(proc)
    assert "same object: True" in proc.stdout
    assert "reimport is the same: True" in proc.stdout
