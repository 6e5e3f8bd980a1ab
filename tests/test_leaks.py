"""Every method, called 10,000 times, keeps nothing it should not.

The stand-ins for pandas, numpy and the toolkit do almost no work and hand
back shared singletons, so a reference that a call forgets to release shows
up as a growing reference count of a singleton, and an object that it forgets
to free shows up in the allocated-block count and in the traced memory.
Each case runs successful calls or one kind of failure: argument errors,
toolkit exceptions, unpacking errors, missing keys and globals.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc
import types

import pytest

import indexfuse

CALLS = 10_000
WARM_UP = 200
# Allowed growth over CALLS calls: a leak of one object per call gives 10,000.
BLOCK_BOUND = 100
TRACED_BOUND = 64 * 1024  # bytes
RSS_BOUND = 4 * 1024 * 1024  # bytes, over every case together


class ToolkitError(Exception):
    pass


# ------------------------------------------------------------ stand-ins --


class FakeArray:
    pass


class FakeSeries:
    """Arithmetic and sums give the series itself."""

    def __mul__(self, other):
        return self

    __rmul__ = __truediv__ = __add__ = __radd__ = __sub__ = __mul__

    def sum(self, *args, **kwargs):
        return self


class FakeFrame:
    def __mul__(self, other):
        return self

    def sum(self, *args, **kwargs):
        return SERIES


SERIES = FakeSeries()
SERIES.values = FakeArray()
FRAME = FakeFrame()
ZEROS = FakeArray()
LABELS = ["a", "b", "c"]
STATS = [1.0, 0.0, 0.5]
COEF = [0.5, 0.25, 0.25]
ABNORMAL = (0.25,)
SCORE = ("ignored", COEF, ABNORMAL)
ENT = 2.5
BASELINE = 0.5


class Columns:
    def tolist(self):
        return LABELS


class Table:
    columns = Columns()

    def __len__(self):
        return 3

    def __getitem__(self, key):
        return FRAME if isinstance(key, list) else SERIES


class FakePCA:
    def __init__(self, **kwargs):
        self.max = self.min = self.mean = self.std = STATS

    def fit(self, frame):
        return None

    def score(self, frame):
        return SCORE


class Toolkit:
    """The stand-ins, with switches for the failures."""

    def __init__(self):
        self.entropy_fails = False
        self.scale_fails = False
        self.score_result = SCORE

    def multivar_knn(self, x, k=3):
        if self.entropy_fails:
            raise ToolkitError("entropy")
        return BASELINE if x is ZEROS else ENT

    def scale(self, column, method=None, range=None, mean=None, std=None):
        if self.scale_fails:
            raise ToolkitError("scale")
        return SERIES

    def rescale(self, series, method=None, range=None):
        return SERIES

    def make_pca(self, **kwargs):
        pca = FakePCA(**kwargs)
        pca.score = lambda frame: self.score_result
        return pca


def concat(columns, axis=0):
    return FRAME


FAKE_PANDAS = types.SimpleNamespace(concat=concat, Series=FakeSeries, DataFrame=FakeFrame)
FAKE_NUMPY = types.SimpleNamespace(zeros=lambda n: ZEROS, ndarray=FakeArray)

# Long-lived inputs; their reference counts must come back.
SCHEMA = {"A": ["a", ("b", -1)], ("B", -1): {"x": ["c"], "y": None}}
TABLE = Table()
SCALE = (0.0, 100.0)
DIM_VALUE = {"A": SERIES, ("B", -1): {"x": SERIES, "y": None}}
WEIGHTS = {"A": 0.5, ("B", -1): {"x": 0.25, "y": None}}
RECORD = {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.1}
TABLE_COEF = {"a": RECORD, ("b", -1): RECORD}
TREE_COEF = {"A": TABLE_COEF, "B": {"x": TABLE_COEF}, "C": None}
BAD_RECORD_TREE = {"a": {"coef": 0.5}}
TRACKED = [SCHEMA, TABLE, SCALE, DIM_VALUE, WEIGHTS, RECORD, TABLE_COEF, TREE_COEF, SERIES,
           FRAME, ZEROS, LABELS, STATS, COEF, ABNORMAL, SCORE, BAD_RECORD_TREE]


def make_world(monkeypatch):
    toolkit = Toolkit()
    monkeypatch.setattr(indexfuse, "pandas", FAKE_PANDAS)
    monkeypatch.setattr(indexfuse, "numpy", FAKE_NUMPY)
    monkeypatch.setattr(indexfuse, "PCA", toolkit.make_pca)
    monkeypatch.setattr(indexfuse, "entropy", types.SimpleNamespace(multivar_knn=toolkit.multivar_knn))
    monkeypatch.setattr(indexfuse, "process", types.SimpleNamespace(scale=toolkit.scale, rescale=toolkit.rescale))
    model = indexfuse.indexpca_diment(SCHEMA, ent_k=2)
    model.fit(TABLE)
    return types.SimpleNamespace(toolkit=toolkit, model=model, monkeypatch=monkeypatch)


@pytest.fixture
def world(monkeypatch):
    return make_world(monkeypatch)


# --------------------------------------------------------------- cases --
# name -> function(world) that returns the call to repeat; the call must
# either succeed or raise the expected exception type.

C = indexfuse.indexpca_diment


class ThreeWeights(C):
    def compute_dim_weight(self, dim_value):
        return (1, 2, 3)


def _forgetting_abnormal(model):
    """The model, its abnormal records (which grow by design) dropped."""
    model.abnormal_index.clear()
    return model


def _fresh_model(w):
    return C(SCHEMA, ent_k=2)


CASES = {
    # successful calls
    "construct": (lambda w: lambda: C(SCHEMA, "max_min", 1, 10), None),
    "fit": (lambda w: lambda: _forgetting_abnormal(w.model).fit(TABLE), None),
    "score": (lambda w: lambda: w.model.score(TABLE), None),
    "score with scale": (lambda w: lambda: w.model.score(TABLE, SCALE), None),
    "compute_index_coef": (lambda w: lambda: _forgetting_abnormal(w.model).compute_index_coef(TABLE, SCHEMA),
                           None),
    "compute_dim_value": (lambda w: lambda: w.model.compute_dim_value(TABLE, TREE_COEF, scale=SCALE), None),
    "compute_dim_weight": (lambda w: lambda: w.model.compute_dim_weight(DIM_VALUE), None),
    "compute_dim_weight single": (lambda w: lambda: w.model.compute_dim_weight(SERIES), None),
    "compute_score": (lambda w: lambda: w.model.compute_score(DIM_VALUE, WEIGHTS), None),
    "is_index_coef": (lambda w: lambda: w.model.is_index_coef(TABLE_COEF), None),
    "through the class by keyword": (
        lambda w: lambda: C.compute_score(self=w.model, dim_value=DIM_VALUE, dim_weight=WEIGHTS), None),
    # argument errors
    "construct without schema": (lambda w: lambda: C(), TypeError),
    "construct with too many": (lambda w: lambda: C(SCHEMA, 1, 2, 3, 4), TypeError),
    "fit without data": (lambda w: lambda: w.model.fit(), TypeError),
    "fit twice given": (lambda w: lambda: w.model.fit(TABLE, data=TABLE), TypeError),
    "score unknown keyword": (lambda w: lambda: w.model.score(TABLE, zz=SCALE), TypeError),
    "compute_dim_value too many": (lambda w: lambda: w.model.compute_dim_value(TABLE, TREE_COEF, SCALE, 1), TypeError),
    "compute_score missing keyword": (lambda w: lambda: w.model.compute_score(dim_value=DIM_VALUE), TypeError),
    "is_index_coef no arguments": (lambda w: lambda: C.is_index_coef(), TypeError),
    # toolkit exceptions
    "fit, estimator raises": (lambda w: (setattr(w.toolkit, "entropy_fails", True),
                                         lambda: w.model.fit(TABLE))[1], ToolkitError),
    "score, scaling raises": (lambda w: (setattr(w.toolkit, "scale_fails", True),
                                         lambda: w.model.score(TABLE, SCALE))[1], ToolkitError),
    "construct, PCA raises": (lambda w: (w.monkeypatch.setattr(indexfuse, "PCA", _raise_toolkit),
                                         lambda: C(SCHEMA))[1], ToolkitError),
    # unpacking errors
    "fit, PCA score too short": (lambda w: (setattr(w.toolkit, "score_result", (1, COEF)),
                                            lambda: w.model.fit(TABLE))[1], ValueError),
    "fit, PCA score None": (lambda w: (setattr(w.toolkit, "score_result", None),
                                       lambda: w.model.compute_index_coef(TABLE, SCHEMA))[1], TypeError),
    "fit, PCA score iterator too long": (lambda w: (setattr(w.toolkit, "score_result", _LongScores()),
                                                    lambda: w.model.compute_index_coef(TABLE, SCHEMA))[1],
                                         ValueError),
    "fit, weights of three": (lambda w: (lambda m: lambda: _forgetting_abnormal(m).fit(TABLE))(ThreeWeights(SCHEMA)),
                              ValueError),
    # missing keys, attributes and globals
    "compute_score missing key": (lambda w: lambda: w.model.compute_score({"A": SERIES}, WEIGHTS), KeyError),
    "compute_dim_value record lacks key": (
        lambda w: lambda: w.model.compute_dim_value(TABLE, BAD_RECORD_TREE), KeyError),
    "compute_index_coef empty entry": (lambda w: lambda: w.model.compute_index_coef(TABLE, [()]), IndexError),
    "score before fit": (lambda w: lambda: _fresh_model(w).score(TABLE), AttributeError),
    "global missing": (lambda w: (w.monkeypatch.delattr(indexfuse, "process"),
                                  lambda: w.model.score(TABLE))[1], NameError),
    "fit on data without length": (lambda w: lambda: w.model.fit(None), TypeError),
}


def _raise_toolkit(**kwargs):
    raise ToolkitError("PCA")


class _LongScores:
    def __iter__(self):
        return iter(SCORE + ("surplus",))


def _repeat(call, expected, times):
    for _ in range(times):
        if expected is None:
            call()
        else:
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError("expected an exception")


def _refcounts():
    return [sys.getrefcount(obj) for obj in TRACKED]


@pytest.mark.parametrize("case", list(CASES))
def test_repeated_calls_release_everything(world, case):
    make, expected = CASES[case]
    call = make(world)
    _repeat(call, expected, WARM_UP)
    gc.collect()
    counts = _refcounts()
    blocks = sys.getallocatedblocks()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        _repeat(call, expected, CALLS)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert _refcounts() == counts, "a reference to a long-lived input was kept"
    # blocks are only counted with the interpreter's own allocator
    assert grown < BLOCK_BOUND, f"{grown} blocks more after {CALLS} calls"
    assert traced < TRACED_BOUND, f"{traced} traced bytes more after {CALLS} calls"


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_resident_memory_stays_flat_over_every_case():
    total = 0
    for make, expected in CASES.values():
        with pytest.MonkeyPatch.context() as mp:
            w = make_world(mp)
            call = make(w)
            _repeat(call, expected, WARM_UP)
            gc.collect()
            before = _resident_bytes()
            _repeat(call, expected, CALLS)
            gc.collect()
            total += max(0, _resident_bytes() - before)
    assert total < RSS_BOUND, f"resident memory grew by {total} bytes"


def test_self_containing_schema_fails_without_leaking(world):
    schema = {}
    schema["self"] = schema
    counts = sys.getrefcount(schema)
    for _ in range(50):
        with pytest.raises(RecursionError):
            world.model.compute_index_coef(TABLE, schema)
    gc.collect()
    assert sys.getrefcount(schema) == counts
