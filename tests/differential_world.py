"""The world that the differential tests run both implementations in.

A *plan* (plain, hashable data that hypothesis draws) describes a toolkit of
deterministic fakes, a schema, data tables and a sequence of calls. Each
implementation gets its own fresh copy of everything, built from the plan,
with its own call log; afterwards the two logs, the results and the model
states are compared after normalisation (NaN-safe, type-preserving, order
preserving).

The fakes record every call with its positional and keyword arguments in
call order. Containers and objects that the model walks (dict subclasses,
entry lists, the data table, the model instance itself) can be swapped for
logging variants, so that the order of item reads, attribute reads and
method calls is compared too, not only the results.
"""

from __future__ import annotations

import contextlib
import copy
import math
import re
import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

import indexfuse
import reference_model

IMPLEMENTATIONS = {"extension": indexfuse, "reference": reference_model}
GLOBAL_NAMES = ("pandas", "numpy", "entropy", "PCA", "process")


class ToolkitError(Exception):
    """Raised by a fake when the plan tells it to fail."""


# ------------------------------------------------------------ normalising --

_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def norm(obj: Any, depth: int = 0) -> Any:
    """A comparable, hashable-free picture of `obj`: type names kept, NaN
    equal to NaN, dict order kept, pandas and numpy objects by content."""
    if depth > 40:
        return ("deep",)
    d = depth + 1
    if obj is None or isinstance(obj, (bool, str, bytes)):
        return (type(obj).__name__, obj)
    if isinstance(obj, int):
        return (type(obj).__name__, int(obj))
    if isinstance(obj, float):
        return (type(obj).__name__, repr(float(obj)))
    if isinstance(obj, np.generic):
        return (type(obj).__name__, repr(obj.item()))
    if isinstance(obj, BaseException):
        return ("raised", type(obj).__name__, _ADDRESS.sub(" at 0x?", str(obj)))
    if isinstance(obj, pd.Series):
        return (
            "Series",
            str(obj.dtype),
            norm(obj.index.tolist(), d),
            norm(obj.tolist(), d),
            norm(obj.name, d),
        )
    if isinstance(obj, pd.DataFrame):
        return (
            "DataFrame",
            norm(obj.columns.tolist(), d),
            norm(obj.index.tolist(), d),
            [str(t) for t in obj.dtypes.tolist()],
            norm(obj.values.tolist(), d),
        )
    if isinstance(obj, np.ndarray):
        return ("ndarray", obj.dtype.str, obj.shape, norm(obj.tolist(), d))
    if isinstance(obj, dict):
        return (type(obj).__name__, [(norm(k, d), norm(v, d)) for k, v in dict.items(obj)])
    if isinstance(obj, (tuple, list)):
        items = tuple.__iter__(obj) if isinstance(obj, tuple) else list.__iter__(obj)
        return (type(obj).__name__, [norm(x, d) for x in items])
    if isinstance(obj, (set, frozenset)):
        return (type(obj).__name__, sorted(repr(norm(x, d)) for x in obj))
    if hasattr(obj, "norm_state"):
        return obj.norm_state()
    return (type(obj).__name__,)


# ------------------------------------------------------------------- plans --


@dataclass(frozen=True)
class ToolkitPlan:
    """How the fake toolkit answers. Pools are cycled by call count."""

    stats_container: str = "list"  # list | tuple | ndarray
    stats_pool: tuple = (1.0, 0.0, 0.5, 2.0)
    stats_short: bool = False  # one statistic fewer than columns: IndexError
    score_shape: str = "tuple"  # tuple | list | iter | short | long | none
    coef_container: str = "list"
    coef_pool: tuple = (0.5, 0.25)
    abnormal_container: str = "set"  # set | list | tuple | ndarray
    abnormal_pick: tuple = ()  # positions in coef_pool that are abnormal
    entropy_pool: tuple = (1.0, 2.0, 3.5)
    entropy_fail_at: int = 0  # 0: never; n: the n-th call raises
    scale_mode: str = "affine"  # affine | identity | array | none
    scale_fail_at: int = 0
    rescale_mode: str = "shift"  # shift | tuple | same
    rescale_fail_at: int = 0
    pca_fail: str = ""  # "" | init | fit | score


@dataclass(frozen=True)
class TablePlan:
    """A data table: column labels, rows of values and the column dtype."""

    columns: tuple = ("a", "b")
    rows: tuple = ((1.0, 2.0), (3.0, 4.0))
    dtype: str = "float64"
    proxy: bool = False  # hand the model a logging stand-in for the table


@dataclass(frozen=True)
class Scenario:
    toolkit: ToolkitPlan = field(default_factory=ToolkitPlan)
    schema: Any = None  # a recipe, see build()
    ctor: tuple = ()  # positional arguments after the schema
    ctor_kwargs: tuple = ()  # (name, value) pairs
    fit_table: TablePlan = field(default_factory=TablePlan)
    score_table: TablePlan = field(default_factory=TablePlan)
    scale: Any = None
    steps: tuple = ("fit", "score")
    traced: bool = False  # a model subclass that logs attribute reads and writes
    override: tuple = ()  # (method, change): a subclass that alters one method's result
    real_toolkit: bool = False  # the real tessel objects instead of the fakes


# ---------------------------------------------------------------- fakes --


def _container(kind: str, values: list, log=None, tag="") -> Any:
    if kind == "logged":
        return logged_list(values, log, tag)
    if kind == "tuple":
        return tuple(values)
    if kind == "ndarray":
        array = np.empty(len(values), dtype=object)
        for i, v in enumerate(values):
            array[i] = v
        return array
    if kind == "set":
        try:
            return set(values)
        except TypeError:
            return list(values)
    return list(values)


class World:
    """One implementation's fakes and call log, built from a toolkit plan."""

    def __init__(self, plan: ToolkitPlan):
        self.plan = plan
        self.log: list = []
        self.counts: dict = {}
        self.entropy = FakeEntropy(self)
        self.process = FakeProcess(self)

    def count(self, name: str) -> int:
        self.counts[name] = self.counts.get(name, 0) + 1
        return self.counts[name]

    def record(self, name: str, args: tuple, kwargs: dict) -> int:
        self.log.append((name, norm(args), [(k, norm(v)) for k, v in kwargs.items()]))
        return self.count(name)

    def make_pca(self, *args, **kwargs):
        self.record("PCA", args, kwargs)
        if self.plan.pca_fail == "init":
            raise ToolkitError("PCA refused")
        return FakePCA(self)

    @contextlib.contextmanager
    def installed(self, module):
        """Binds the fakes as `module`'s globals, restoring them afterwards."""
        saved = {name: module.__dict__[name] for name in GLOBAL_NAMES}
        module.PCA = self.make_pca
        module.entropy = self.entropy
        module.process = self.process
        module.pandas = ModuleProxy(pd, self.log, "pandas")
        module.numpy = ModuleProxy(np, self.log, "numpy")
        try:
            yield self
        finally:
            for name, value in saved.items():
                setattr(module, name, value)


class Watched:
    """Logs the reads of its public attributes (method lookups included)."""

    _watch_name = "?"

    def __getattribute__(self, name):
        if not name.startswith("_") and name not in ("world", "fits", "norm_state"):
            object.__getattribute__(self, "world").log.append(
                ("get", object.__getattribute__(self, "_watch_name"), name))
        return object.__getattribute__(self, name)


class ModuleProxy:
    """Stands for pandas or numpy as a module global: logs each attribute read."""

    def __init__(self, module, log, name):
        self._module = module
        self._log = log
        self._name = name

    def __getattr__(self, attribute):
        self._log.append(("get", self._name, attribute))
        return getattr(self._module, attribute)


class FakePCA(Watched):
    _watch_name = "pca"

    def __init__(self, world: World):
        self.world = world
        self.fits = 0

    def norm_state(self):
        return ("FakePCA", self.fits)

    def fit(self, *args, **kwargs):
        plan = self.world.plan
        call = self.world.record("pca.fit", args, kwargs)
        if plan.pca_fail == "fit":
            raise ToolkitError(f"fit #{call}")
        self.fits += 1
        frame = args[0]
        width = frame.shape[1] - (1 if plan.stats_short else 0)
        pool = plan.stats_pool
        for offset, name in enumerate(("max", "min", "mean", "std")):
            values = [pool[(j + offset + call) % len(pool)] for j in range(width)]
            setattr(self, name, _container(plan.stats_container, values, self.world.log, name))
        return "ignored"

    def score(self, *args, **kwargs):
        plan = self.world.plan
        call = self.world.record("pca.score", args, kwargs)
        if plan.pca_fail == "score":
            raise ToolkitError(f"score #{call}")
        width = args[0].shape[1]
        pool = plan.coef_pool
        log = self.world.log
        coef = _container(plan.coef_container, [pool[(j + call) % len(pool)] for j in range(width)], log, "coef")
        abnormal = _container(plan.abnormal_container, [pool[i % len(pool)] for i in plan.abnormal_pick],
                              log, "abnormal")
        items = ["first", coef, abnormal]
        shape = plan.score_shape
        if shape == "list":
            return items
        if shape == "iter":
            return iter(items)
        if shape == "short":
            return tuple(items[:2])
        if shape == "long":
            return tuple(items) + ("extra",)
        if shape == "none":
            return None
        return tuple(items)


class FakeEntropy(Watched):
    _watch_name = "entropy"

    def __init__(self, world: World):
        self.world = world

    def norm_state(self):
        return ("FakeEntropy",)

    def multivar_knn(self, *args, **kwargs):
        plan = self.world.plan
        call = self.world.record("entropy.multivar_knn", args, kwargs)
        if call == plan.entropy_fail_at:
            raise ToolkitError(f"multivar_knn #{call}")
        return plan.entropy_pool[call % len(plan.entropy_pool)]


class FakeProcess(Watched):
    _watch_name = "process"

    def __init__(self, world: World):
        self.world = world

    def norm_state(self):
        return ("FakeProcess",)

    def scale(self, *args, **kwargs):
        plan = self.world.plan
        call = self.world.record("process.scale", args, kwargs)
        if call == plan.scale_fail_at:
            raise ToolkitError(f"scale #{call}")
        column = args[0]
        if plan.scale_mode == "identity":
            return column
        if plan.scale_mode == "array":
            return np.asarray(column)
        if plan.scale_mode == "none":
            return None
        return column * 2 + call

    def rescale(self, *args, **kwargs):
        plan = self.world.plan
        call = self.world.record("process.rescale", args, kwargs)
        if call == plan.rescale_fail_at:
            raise ToolkitError(f"rescale #{call}")
        if plan.rescale_mode == "tuple":
            return ("rescaled", call)
        if plan.rescale_mode == "same":
            return args[0]
        return args[0] + call


# ------------------------------------------------- logging stand-ins --


class LoggedDict(dict):
    """A dict subclass whose walk is visible: items, copy, keys, reads.
    Its copy() is a plain dict."""

    log: list = []  # replaced per instance

    def _note(self, *what):
        self.log.append(("dict", getattr(self, "tag", "?")) + what)

    def items(self):
        self._note("items")
        return super().items()

    def keys(self):
        self._note("keys")
        return super().keys()

    def values(self):
        self._note("values")
        return super().values()

    def copy(self):
        self._note("copy")
        return dict(self)

    def __getitem__(self, key):
        self._note("getitem", norm(key))
        return super().__getitem__(key)


class LoggedDictKeepsType(LoggedDict):
    """Like LoggedDict, but copy() gives another logged dict."""

    def copy(self):
        self._note("copy")
        return logged_dict(type(self), self.log, self.tag + "'", dict.items(self))


@dataclass(frozen=True)
class KeyRecipe:
    """Stands for a LoggedKey in a recipe."""

    name: Any


class LoggedKey:
    """A dict key whose hashing and comparisons are visible; it equals its
    name (so LoggedKey("coef") counts as the record key "coef")."""

    def __init__(self, name, log):
        self.name = name
        self.log = log

    def __hash__(self):
        self.log.append(("key", "hash", norm(self.name)))
        return hash(self.name)

    def __eq__(self, other):
        self.log.append(("key", "eq", norm(self.name)))
        return self.name == (other.name if isinstance(other, LoggedKey) else other)

    def __repr__(self):
        return f"LoggedKey({self.name!r})"

    def norm_state(self):
        return ("LoggedKey", norm(self.name))


def build_key(key, log):
    if isinstance(key, KeyRecipe):
        return LoggedKey(key.name, log)
    return copy.deepcopy(key)


def logged_dict(cls, log, tag, items):
    d = cls(items)
    d.log = log
    d.tag = tag
    return d


class LoggedList(list):
    """An index entry or schema leaf whose reads are visible."""

    def _note(self, *what):
        self.log.append(("list", self.tag) + what)

    def __getitem__(self, i):
        self._note("getitem", norm(i))
        return super().__getitem__(i)

    def __len__(self):
        self._note("len")
        return super().__len__()

    def __iter__(self):
        self._note("iter")
        return super().__iter__()

    def __contains__(self, x):
        self._note("contains", norm(x))
        return super().__contains__(x)


class TableProxy:
    """Stands in for a DataFrame: the model only takes its length, its column
    labels and columns by label, and each of these is logged."""

    def __init__(self, frame, log):
        self._frame = frame
        self._log = log

    def __len__(self):
        self._log.append(("table", "len"))
        return len(self._frame)

    @property
    def columns(self):
        self._log.append(("table", "columns"))
        return self._frame.columns

    def __getitem__(self, key):
        self._log.append(("table", "getitem", norm(key)))
        return self._frame[key]

    def norm_state(self):
        return ("TableProxy", norm(self._frame))


OVERRIDES = {
    "as list": lambda result: list(result) if isinstance(result, tuple) else result,
    "as iterator": lambda result: iter(result) if isinstance(result, tuple) else result,
    "one more": lambda result: tuple(result) + ("more",) if isinstance(result, tuple) else result,
    "first only": lambda result: tuple(result)[:1] if isinstance(result, tuple) else result,
    "none": lambda result: None,
    "negated": lambda result: not result,
    "as dict subclass": lambda result: logged_dict(LoggedDict, [], "o", result.items())
    if type(result) is dict else result,
}


def overriding_class(base, method, change):
    """A subclass whose `method` calls the inherited one and alters its result."""
    inherited = getattr(base, method)
    alter = OVERRIDES[change]

    def overridden(self, *args, **kwargs):
        return alter(inherited(self, *args, **kwargs))

    overridden.__name__ = method
    return type(base.__name__, (base,), {method: overridden})


def traced_class(base, log):
    """A subclass, under the model's own class name, that logs every
    attribute read and write on the instance."""

    def __getattribute__(self, name):
        log.append(("self.get", name))
        return base.__getattribute__(self, name)

    def __setattr__(self, name, value):
        log.append(("self.set", name))
        base.__setattr__(self, name, value)

    return type(base.__name__, (base,), {"__getattribute__": __getattribute__, "__setattr__": __setattr__})


# ------------------------------------------------------------- building --
#
# Recipes are nested tuples, so hypothesis can draw, shrink and print them:
#   ("dict", kind, ((key, recipe), ...))   kind: plain | logged | logged_keep
#   ("list", entries) / ("tuple", entries) / ("loggedlist", entries)
#   ("none",)  ("value", x)
# Entries: ("label", x) or ("seq", kind, (elements...)) with kind list | tuple | loggedlist


def build(recipe, log, path="s"):
    tag = recipe[0]
    if tag == "none":
        return None
    if tag == "value":
        return copy.deepcopy(recipe[1])
    if tag == "dict":
        _, kind, pairs = recipe
        items = [(build_key(k, log), build(v, log, f"{path}.{i}")) for i, (k, v) in enumerate(pairs)]
        if kind == "plain":
            return dict(items)
        cls = LoggedDictKeepsType if kind == "logged_keep" else LoggedDict
        return logged_dict(cls, log, path, items)
    if tag in ("list", "tuple", "loggedlist"):
        entries = [build_entry(e, log, f"{path}[{i}]") for i, e in enumerate(recipe[1])]
        if tag == "tuple":
            return tuple(entries)
        if tag == "loggedlist":
            return logged_list(entries, log, path)
        return entries
    raise AssertionError(recipe)


def logged_list(items, log, tag):
    lst = LoggedList(items)
    lst.log = log
    lst.tag = tag
    return lst


def build_entry(entry, log, path):
    if entry[0] == "label":
        return copy.deepcopy(entry[1])
    _, kind, elements = entry
    elements = [copy.deepcopy(e) for e in elements]
    if kind == "tuple":
        return tuple(elements)
    if kind == "loggedlist":
        return logged_list(elements, log, path)
    return elements


def build_value(recipe, log, path="v"):
    """Dimension values, weights and coefficient trees:
    ("series", values) ("ndarray", values) ("frame", values) ("list", values)
    ("tuple", values) ("value", x) ("none",) ("dict", kind, ((key, recipe), ...))"""
    tag = recipe[0]
    if tag == "none":
        return None
    if tag == "value":
        return copy.deepcopy(recipe[1])
    if tag == "series":
        return pd.Series(list(recipe[1]), dtype="float64")
    if tag == "ndarray":
        return np.array(recipe[1], dtype="float64")
    if tag == "frame":
        return pd.DataFrame({"x": list(recipe[1])}, dtype="float64")
    if tag == "list":
        return list(recipe[1])
    if tag == "tuple":
        return tuple(recipe[1])
    if tag == "dict":
        _, kind, pairs = recipe
        items = [(build_key(k, log), build_value(v, log, f"{path}.{i}")) for i, (k, v) in enumerate(pairs)]
        if kind == "plain":
            return dict(items)
        cls = LoggedDictKeepsType if kind == "logged_keep" else LoggedDict
        return logged_dict(cls, log, path, items)
    raise AssertionError(recipe)


def build_table(plan: TablePlan, log):
    frame = pd.DataFrame(list(plan.rows), columns=list(plan.columns))
    if plan.dtype != "object":
        frame = frame.astype(plan.dtype)
    return TableProxy(frame, log) if plan.proxy else frame


# -------------------------------------------------------------- running --


def attempt(log, fn):
    """Runs fn(); records its result or exception in the log."""
    try:
        result = fn()
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        log.append(("result", norm(exc)))
        return exc
    log.append(("result", norm(result)))
    return result


def model_state(model):
    return [(name, norm(value)) for name, value in dict.items(object.__getattribute__(model, "__dict__"))]


def run_scenario(module, scenario: Scenario):
    """Runs the scenario's calls on one implementation; returns its log."""
    world = World(scenario.toolkit)
    log = world.log
    installed = contextlib.nullcontext() if scenario.real_toolkit else world.installed(module)
    with warnings.catch_warnings(), installed:
        warnings.simplefilter("ignore")
        cls = module.indexpca_diment
        if scenario.override:
            cls = overriding_class(cls, *scenario.override)
        if scenario.traced:
            cls = traced_class(cls, log)
        schema = build(scenario.schema, log)
        model = attempt(log, lambda: cls(schema, *scenario.ctor, **dict(scenario.ctor_kwargs)))
        if isinstance(model, Exception):
            return log
        log.append(("state", model_state(model)))
        for step in scenario.steps:
            if step == "fit":
                data = build_table(scenario.fit_table, log)
                attempt(log, lambda: model.fit(data))
            else:
                data = build_table(scenario.score_table, log)
                if scenario.scale is None:
                    attempt(log, lambda: model.score(data))
                else:
                    attempt(log, lambda: model.score(data, scenario.scale))
            log.append(("state", model_state(model)))
        log.append(("schema after", norm(schema)))
    return log


def run_call(module, toolkit: ToolkitPlan, method: str, build_args, traced=False, state=()):
    """Calls one method on a fresh model (its attributes set from `state`,
    without running the constructor's toolkit call) and returns the log."""
    world = World(toolkit)
    log = world.log
    with warnings.catch_warnings(), world.installed(module):
        warnings.simplefilter("ignore")
        cls = traced_class(module.indexpca_diment, log) if traced else module.indexpca_diment
        model = object.__new__(cls)
        for name, value in state:
            object.__setattr__(model, name, copy.deepcopy(value))
        object.__setattr__(model, "scale_method", "max_min")
        args, kwargs = build_args(log)
        attempt(log, lambda: getattr(model, method)(*args, **kwargs))
        log.append(("state", model_state(model)))
        log.append(("arguments after", norm(args), norm(kwargs)))
    return log


def compare(run, *args, **kwargs):
    """Runs both implementations; asserts identical logs."""
    logs = {name: run(module, *args, **kwargs) for name, module in IMPLEMENTATIONS.items()}
    ext, ref = logs["extension"], logs["reference"]
    if ext != ref:
        for i, (a, b) in enumerate(zip(ext, ref)):
            if a != b:
                raise AssertionError(
                    f"first difference at log entry {i}:\n  extension: {a!r}\n  reference: {b!r}\n"
                    f"preceding entries: {ext[max(0, i - 4):i]!r}"
                )
        raise AssertionError(f"log lengths differ: extension {len(ext)}, reference {len(ref)}")
    return ext


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)
