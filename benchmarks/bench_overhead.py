"""Call overhead: model methods on small inputs, extension vs. plain Python.

On small trees the interpreter's own work (dispatch, type tests, recursion
through ``self``, dict building) is all there is, so this is where a compiled
method body shows its worth. Two pure-Python sides: the tests' reference model
(``tests/reference_model.py``, which also reproduces argument binding and
unpacking messages) when the checkout has one, and the plain methods of
``plain_methods.py``, written as a user would.

``compute_dim_weight`` runs with the estimator and the pandas functions it
calls replaced by trivial stand-ins (rebound as module globals on both
sides, the same objects), so that only the method's own work is timed. That
work is then mostly the reads of module globals and their attributes, five
per dimension, which the extension makes at every use without remembering
any (benchmarks/README.md gives the figures).
"""

from __future__ import annotations

import contextlib
import math
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


# --------------------------------------------------------- the models --

def load_reference(path: Path = REFERENCE_PATH) -> tuple[object, types.ModuleType] | None:
    """An instance of the tests' reference model and its module, if the checkout has one."""
    if not path.exists():
        return None
    # A private copy: whatever the tests import under that name stays as it is.
    module = types.ModuleType("reference_model")
    module.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), vars(module))  # noqa: S102
    for value in vars(module).values():
        if isinstance(value, type) and all(hasattr(value, m) for m in METHODS):
            return value.__new__(value), module  # the methods need only k and min_ent
    return None


def make_sides(k: int = 10, min_ent: float = 0.5, reference_path: Path = REFERENCE_PATH):
    """[(label, object with the methods, module whose globals it reads)], indexfuse first."""
    model = indexfuse.indexpca_diment(None, ent_k=k)
    sides = [("indexfuse", model, indexfuse)]
    found = load_reference(reference_path)
    if found is not None:
        sides.append(("reference", found[0], found[1]))
    sides.append(("plain", plain_methods.PlainMethods(), plain_methods))
    for _, obj, _ in sides:
        obj.k = k
        obj.min_ent = min_ent
    return sides


def same(a, b, rel: float = 1e-12) -> bool:
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[key], b[key], rel) for key in a)
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y, rel) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return math.isclose(a, b, rel_tol=rel, abs_tol=rel)
    return a == b


def cases() -> list[tuple[str, str, tuple]]:
    out = []
    for name, (values, weights) in score_trees().items():
        out.append((name, "compute_score", (values, weights)))
    for name, x in index_coef_inputs().items():
        out.append((name, "is_index_coef", (x,)))
    for name, x in dim_weight_inputs().items():
        out.append((name, "compute_dim_weight", (x,)))
    return out


def run(repeats: int = 7, budget: float = 0.02, reference_path: Path = REFERENCE_PATH) -> dict:
    """Times every case on every side; raises if a side's result differs from the extension's."""
    sides = make_sides(reference_path=reference_path)
    labels = [label for label, _, _ in sides]
    rows = []
    with contextlib.ExitStack() as stack:
        for _, _, module in sides:
            stack.enter_context(rebound(module))
        for name, method, args in cases():
            calls = [getattr(obj, method) for _, obj, _ in sides]
            want = calls[0](*args)
            for label, call in zip(labels[1:], calls[1:]):
                got = call(*args)
                if not same(want, got):
                    raise AssertionError(f"{name}: indexfuse {want!r} != {label} {got!r}")
            times = per_call_times([lambda c=c: c(*args) for c in calls], repeats, budget)
            row = {"case": name}
            for label, t in zip(labels, times):
                row[f"{label}_us"] = t * 1e6
                if label != "indexfuse":
                    row[f"{label}_ratio"] = t / times[0]
            rows.append(row)
    shown = {"plain": "benchmarks/plain_methods.py"}
    if "reference" in labels:
        path = reference_path.resolve()
        try:
            shown["reference"] = str(path.relative_to(REFERENCE_PATH.parent.parent))
        except ValueError:
            shown["reference"] = str(path)
    return {"sides": labels, "files": shown, "rows": rows}


def goal_ratio(row: dict) -> tuple[str, float]:
    """The comparison the goal is set against: the tests' reference model when present."""
    side = "reference" if "reference_ratio" in row else "plain"
    return side, row[f"{side}_ratio"]


def print_table(result: dict, repeats: int, n_cores: int) -> None:
    others = result["sides"][1:]
    print("Call overhead: extension vs. pure Python on small inputs")
    print("  " + "; ".join(f"{side}: {result['files'][side]}" for side in others))
    print(f"cores: {n_cores}  median of {repeats} timed batches per case, after a warm-up")
    header = f"{'case':<42} {'indexfuse us':>13}"
    for side in others:
        header += f" {side + ' us':>13} {side + '/indexfuse':>19}"
    print(header)
    print("-" * len(header))
    for row in result["rows"]:
        line = f"{row['case']:<42} {row['indexfuse_us']:>13.2f}"
        for side in others:
            line += f" {row[side + '_us']:>13.2f} {row[side + '_ratio']:>19.2f}"
        print(line)


if __name__ == "__main__":
    import argparse

    from bench_timing import cores

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", type=Path, default=REFERENCE_PATH,
                        help="the pure-Python reference model to compare with, if present")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    res = run(args.repeats, reference_path=args.reference)
    print_table(res, args.repeats, cores())
