"""Call overhead: model methods on small inputs, extension vs. plain Python.

On small trees the interpreter's own work (dispatch, type tests, recursion
through ``self``, dict building) is all there is, so this is where a compiled
method body shows its worth. The pure-Python side is the tests' reference
model (``tests/reference_model.py``) when the checkout has one, otherwise the
plain methods of ``plain_methods.py``.

``compute_dim_weight`` runs with the estimator and the pandas functions it
calls replaced by trivial stand-ins (rebound as module globals on both
sides, the same objects), so that only the method's own work is timed.
"""

from __future__ import annotations

import contextlib
import importlib.util
import math
import sys
import types
from collections.abc import Iterator
from pathlib import Path

import pandas as pd
import indexfuse
import plain_methods
from tessel.modelbench import entropy as real_entropy
from bench_timing import per_call_times

METHODS = ("compute_score", "is_index_coef", "compute_dim_weight")
REFERENCE_PATH = Path(__file__).resolve().parent.parent / "tests" / "reference_model.py"


# ------------------------------------------------------------ stand-ins --

class FakeSeries(float):
    """A number that passes for a dimension value: ``.values`` gives the number."""

    values = property(float)

    def __truediv__(self, other):
        return FakeSeries(float(self) / other)


class FakeFrame(list):
    """What ``concat`` returns: ``sum(axis)`` adds the columns up."""

    def sum(self, axis):  # noqa: ARG002 - the row sum of scalar "columns"
        return FakeSeries(math.fsum(self))


def fake_concat(objs, axis):  # noqa: ARG001
    return FakeFrame(objs)


def fake_multivar_knn(x, k):  # noqa: ARG001
    """An "estimate" that is the value itself: cheap and distinct per dimension."""
    return x


def _fake_module(name: str, **attributes) -> types.ModuleType:
    """A module object, like the packages it stands in for."""
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


FAKE_PANDAS = _fake_module(
    "fake_pandas", DataFrame=pd.DataFrame, Series=FakeSeries, concat=fake_concat
)
FAKE_ENTROPY = _fake_module("fake_entropy", multivar_knn=fake_multivar_knn)


@contextlib.contextmanager
def rebound(module: types.ModuleType) -> Iterator[None]:
    """Rebinds the module's pandas and entropy globals to the stand-ins."""
    saved = dict(module.__dict__)
    for name, value in saved.items():
        if value is pd:
            setattr(module, name, FAKE_PANDAS)
        elif value is real_entropy:
            setattr(module, name, FAKE_ENTROPY)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is pd or value is real_entropy:
                setattr(module, name, value)


# ---------------------------------------------------------- the inputs --

def score_trees() -> dict[str, tuple[dict, dict]]:
    """(dimension values, weights) pairs of 100 float leaves."""
    flat_keys = [(f"d{i}", -1) if i % 10 == 3 else f"d{i}" for i in range(100)]
    flat_values = {key: 1.0 + 0.01 * i for i, key in enumerate(flat_keys)}
    flat_weights = {key: 0.01 + 0.0001 * i for i, key in enumerate(flat_keys)}
    nested_values: dict = {}
    nested_weights: dict = {}
    for i in range(10):
        top = (f"d{i}", -1) if i == 4 else f"d{i}"
        subs = [(f"s{j}", -1) if j == 7 else f"s{j}" for j in range(10)]
        nested_values[top] = {s: 0.5 + 0.1 * i + 0.01 * j for j, s in enumerate(subs)}
        nested_weights[top] = {s: 0.001 * (1 + i + j) for j, s in enumerate(subs)}
    return {
        "compute_score, 100 float leaves, flat": (flat_values, flat_weights),
        "compute_score, 10 x 10 float leaves": (nested_values, nested_weights),
    }


def index_coef_inputs() -> dict[str, dict]:
    def record(i: int) -> dict:
        return {"coef": 0.01 * i, "max": 1.0 + i, "min": -1.0 - i, "mean": 0.1 * i, "std": 1.0}

    table = {(f"x{i}", -1) if i % 10 == 3 else f"x{i}": record(i) for i in range(100)}
    tree = {f"d{i}": {f"x{i}_{j}": record(j) for j in range(5)} for i in range(100)}
    return {
        "is_index_coef, table of 100 records": table,
        "is_index_coef, 100 dimensions of tables": tree,
    }


def dim_weight_inputs() -> dict[str, dict]:
    flat = {f"d{i}": FakeSeries(2.0 + 0.01 * i) for i in range(100)}
    nested: dict = {f"d{i}": FakeSeries(2.0 + 0.01 * i) for i in range(90)}
    for i in range(90, 100):
        nested[f"d{i}"] = {
            ("s3", -1) if j == 3 else f"s{j}": FakeSeries(1.0 + 0.1 * j + 0.01 * i)
            for j in range(4)
        }
    return {
        "compute_dim_weight, 100 dimensions": flat,
        "compute_dim_weight, 90 + 10 nested x 4": nested,
    }


# ------------------------------------------------------ the two models --

def load_reference() -> tuple[object, types.ModuleType, str] | None:
    """An instance of the tests' reference model, its module and a label, if present."""
    if not REFERENCE_PATH.exists():
        return None
    spec = importlib.util.spec_from_file_location("reference_model", REFERENCE_PATH)
    if spec is None or spec.loader is None:
        return None
    module = importlib.util.module_from_spec(spec)
    sys.modules.setdefault("reference_model", module)
    spec.loader.exec_module(module)
    for value in vars(module).values():
        if isinstance(value, type) and all(hasattr(value, m) for m in METHODS):
            instance = value.__new__(value)  # the methods need only k and min_ent
            return instance, module, "tests/reference_model.py"
    return None


def make_models(k: int = 10, min_ent: float = 0.5):
    model = indexfuse.indexpca_diment(None, ent_k=k)
    model.min_ent = min_ent
    found = load_reference()
    if found is None:
        reference, module, label = plain_methods.PlainMethods(), plain_methods, "benchmarks/plain_methods.py"
    else:
        reference, module, label = found
    for obj in (model, reference):
        obj.k = k
        obj.min_ent = min_ent
    return model, reference, module, label


def same(a, b, rel: float = 1e-12) -> bool:
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[key], b[key], rel) for key in a)
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y, rel) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return math.isclose(a, b, rel_tol=rel, abs_tol=rel)
    return a == b


def run(repeats: int = 7, budget: float = 0.02) -> dict:
    """Times every case on both sides; raises if a pair of results differs."""
    model, reference, module, label = make_models()
    cases = []
    for name, (values, weights) in score_trees().items():
        cases.append((name, "compute_score", (values, weights)))
    for name, x in index_coef_inputs().items():
        cases.append((name, "is_index_coef", (x,)))
    for name, x in dim_weight_inputs().items():
        cases.append((name, "compute_dim_weight", (x,)))

    rows = []
    with rebound(indexfuse), rebound(module):
        for name, method, args in cases:
            ours = getattr(model, method)
            theirs = getattr(reference, method)
            got, want = ours(*args), theirs(*args)
            if not same(got, want):
                raise AssertionError(f"{name}: extension {got!r} != reference {want!r}")
            t_ours, t_ref = per_call_times(
                [lambda: ours(*args), lambda: theirs(*args)], repeats, budget
            )
            rows.append({"case": name, "indexfuse_us": t_ours * 1e6, "python_us": t_ref * 1e6,
                         "ratio": t_ref / t_ours})
    return {"reference": label, "rows": rows}


def print_table(result: dict, repeats: int, n_cores: int) -> None:
    print(f"Call overhead: extension vs. pure-Python reference ({result['reference']})")
    print(f"cores: {n_cores}  median of {repeats} timed batches per case, after a warm-up")
    header = f"{'case':<42} {'indexfuse us':>13} {'python us':>10} {'python/indexfuse':>17}"
    print(header)
    print("-" * len(header))
    for row in result["rows"]:
        print(f"{row['case']:<42} {row['indexfuse_us']:>13.2f} {row['python_us']:>10.2f} "
              f"{row['ratio']:>17.2f}")


if __name__ == "__main__":
    from bench_timing import cores

    res = run()
    print_table(res, 7, cores())
