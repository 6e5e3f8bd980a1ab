"""Fitted models survive pickle, deepcopy and the JSON model file, and score the same."""

from __future__ import annotations

import copy
import functools
import io
import json
import math
import pickle
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest
from _profiles import property_settings
from hypothesis import event, given, settings
from hypothesis import strategies as st

import indexfuse
import indexfuse_tools
from indexfuse_tools import ModelFileError
from indexfuse_tools._core import decode, encode

def _table(columns, rows=60, seed=3):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(rows, 1))
    values = base + 0.7 * rng.normal(size=(rows, len(columns)))
    return pd.DataFrame(values, columns=pd.Index(columns, tupleize_cols=False))


def _nested():
    schema = {
        "A": [("a", -1), "b"],
        ("B", -1): {"b1": ["c"], ("b2", -1): [("d", -1), "e"]},
    }
    return indexfuse.indexpca_diment(schema), _table(list("abcde"))


def _single_leaf():
    return indexfuse.indexpca_diment(["a", ("b", -1), "c"]), _table(list("abc"))


def _none_weights():
    # "gone" names no column and "skip" is None: both end with a weight of None.
    schema = {"A": ["a", "b"], "gone": ["zz"], "skip": None, "B": {"b1": ["c"], "b2": ["zz"]}}
    return indexfuse.indexpca_diment(schema), _table(list("abc"))


def _int_labels():
    return indexfuse.indexpca_diment({0: [0, (1, -1)], 7: [2]}), _table([0, 1, 2])


def _tuple_labels():
    columns = [("x", 1), ("x", 2), ("y", 1)]
    schema = {("X", 1): [(("x", 1),), (("x", 2), -1)], "Y": [(("y", 1),)]}
    return indexfuse.indexpca_diment(schema), _table(columns)


def _dollar_keys():
    return indexfuse.indexpca_diment({"$A": ["$a"], "B": ["b"]}), _table(["$a", "b"])


def _z_score_short():
    # z-score scaling, a cumulative share below 1, and a table short enough to cap k.
    model = indexfuse.indexpca_diment({"A": ["a", "b"], "B": ["c"]}, "z_score", 0.8, 12)
    return model, _table(list("abc"), rows=9)


def _abnormal():
    # "b" pulls against "a" and "c", so it gets a negative coefficient.
    data = _table(list("abc"))
    data["b"] = -data["a"] + 0.1 * data["b"]
    return indexfuse.indexpca_diment({"A": ["a", "b", "c"], "B": ["c"]}), data


MODELS = {
    "nested": _nested,
    "single-leaf": _single_leaf,
    "none-weights": _none_weights,
    "int-labels": _int_labels,
    "tuple-labels": _tuple_labels,
    "dollar-keys": _dollar_keys,
    "z-score-short": _z_score_short,
    "abnormal": _abnormal,
}


@pytest.fixture(params=list(MODELS), scope="module")
def fitted(request):
    model, data = MODELS[request.param]()
    model.fit(data)
    return request.param, model, data


def _json_text(model):
    return indexfuse_tools.loads(indexfuse_tools.dumps(model))


def _json_compact(model):
    return indexfuse_tools.loads(indexfuse_tools.dumps(model, indent=None).encode())


def _json_file(model):
    buffer = io.StringIO()
    indexfuse_tools.dump(model, buffer)
    buffer.seek(0)
    return indexfuse_tools.load(buffer)


def _json_dict(model):
    return indexfuse_tools.from_dict(json.loads(json.dumps(indexfuse_tools.to_dict(model))))


ROUND_TRIPS = {
    "pickle": lambda m: pickle.loads(pickle.dumps(m)),
    "pickle-protocol-2": lambda m: pickle.loads(pickle.dumps(m, protocol=2)),
    "deepcopy": copy.deepcopy,
    "json-text": _json_text,
    "json-compact-bytes": _json_compact,
    "json-file-object": _json_file,
    "json-dict": _json_dict,
}


def _same(a, b):
    """Equal, NaN equal to NaN, and of the same types throughout."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(_same, a, b))
    if isinstance(a, (float, np.floating)) and math.isnan(a):
        return math.isnan(b)
    return bool(a == b)


@pytest.mark.parametrize("trip", list(ROUND_TRIPS))
def test_round_trip_scores_identically(fitted, trip):
    _, model, data = fitted
    restored = ROUND_TRIPS[trip](model)
    assert type(restored) is indexfuse.indexpca_diment and restored is not model
    for scale in (None, (0, 100)):
        want, want_values = model.score(data, scale)
        got, got_values = restored.score(data, scale)
        pd.testing.assert_series_equal(got, want, check_exact=True)
        assert _same(
            jsonable_values(got_values), jsonable_values(want_values)
        ), "dimension values differ"


def jsonable_values(tree):
    if isinstance(tree, dict):
        return {k: jsonable_values(v) for k, v in tree.items()}
    if isinstance(tree, pd.Series):
        return tuple(tree.round(15).fillna(-999.0).tolist())
    return tree


@pytest.mark.parametrize("trip", list(ROUND_TRIPS))
def test_round_trip_keeps_fitted_state(fitted, trip):
    _, model, _ = fitted
    restored = ROUND_TRIPS[trip](model)
    for name in ("schema", "k", "scale_method", "min_ent", "index_coef", "dim_weight", "abnormal_index"):
        assert _same(getattr(restored, name), getattr(model, name)), name
    assert restored.pca.cumulative == model.pca.cumulative
    assert restored.pca.scale_method == model.pca.scale_method


@pytest.mark.parametrize("trip", ["pickle", "deepcopy", "json-text"])
def test_restored_model_refits_like_the_original(fitted, trip):
    _, model, data = fitted
    restored = ROUND_TRIPS[trip](model)
    fresh = copy.deepcopy(model)
    restored.fit(data)
    fresh.fit(data)
    assert _same(restored.dim_weight, fresh.dim_weight)
    assert _same(restored.index_coef, fresh.index_coef)


def test_copies_are_independent():
    model, data = _nested()
    model.fit(data)
    clone = copy.deepcopy(model)
    abnormal = list(model.abnormal_index)
    clone.index_coef["A"][("a", -1)]["coef"] = 99.0
    clone.abnormal_index.append({"x": -1.0})
    assert model.index_coef["A"][("a", -1)]["coef"] != 99.0
    assert model.abnormal_index == abnormal
    assert clone.pca is not model.pca


def test_unfitted_model_pickles_and_fits_afterwards():
    model, data = _nested()
    clone = pickle.loads(pickle.dumps(model))
    clone.fit(data)
    model.fit(data)
    pd.testing.assert_series_equal(clone.score(data)[0], model.score(data)[0])


def test_json_keeps_numpy_scalars_and_non_finite_values():
    model, data = _nested()
    model.fit(data)
    record = model.index_coef["A"]["b"]
    record["coef"] = np.float32(record["coef"])
    record["std"] = np.float64(record["std"])
    model.min_ent = np.float64(model.min_ent)
    model.k = np.int64(7)
    model.abnormal_index.extend([{("a", -1): math.nan}, {"b": -math.inf}])
    text = indexfuse_tools.dumps(model)
    json.loads(text, parse_constant=pytest.fail)  # strict JSON: no NaN/Infinity literals
    restored = indexfuse_tools.loads(text)
    got = restored.index_coef["A"]["b"]
    assert type(got["coef"]) is np.float32 and got["coef"] == record["coef"]
    assert type(got["std"]) is np.float64
    assert type(restored.min_ent) is np.float64 and type(restored.k) is np.int64
    assert math.isnan(restored.abnormal_index[-2][("a", -1)])
    assert restored.abnormal_index[-1] == {"b": -math.inf}
    pd.testing.assert_series_equal(restored.score(data)[0], model.score(data)[0], check_exact=True)


def test_json_of_a_reference_model_reads_as_documented():
    model = indexfuse.indexpca_diment({("crime", -1): [("violent", -1)], "edu": ["hs"]})
    model.fit(_table(["violent", "hs"]))
    document = indexfuse_tools.to_dict(model)
    assert list(document) == [
        "format", "version", "schema", "scale_method", "pca_cumulative",
        "k", "min_ent", "index_coef", "dim_weight", "abnormal_index",
    ]  # fmt: skip
    assert document["format"] == "indexfuse-model" and document["version"] == 1
    assert document["schema"] == {
        "$dict": [
            [{"$tuple": ["crime", -1]}, [{"$tuple": ["violent", -1]}]],
            ["edu", ["hs"]],
        ]
    }
    assert document["pca_cumulative"] == 1.0 and document["k"] == 10
    table = document["index_coef"]["$dict"][0][1]["$dict"][0]
    assert table[0] == {"$tuple": ["violent", -1]}
    assert list(table[1]) == ["coef", "max", "min", "mean", "std"]
    assert document["dim_weight"]["$dict"][1][0] == "edu"


def test_saving_needs_a_fitted_model():
    model, _ = _nested()
    with pytest.raises(ValueError, match="not fitted .*min_ent, index_coef, dim_weight"):
        indexfuse_tools.dumps(model)


def test_saving_reports_values_it_cannot_hold():
    model, data = _nested()
    model.fit(data)
    model.index_coef["A"]["b"]["max"] = pd.Timestamp("2020-01-01")
    with pytest.raises(TypeError, match=r"index_coef\['A'\]\['b'\]\['max'\]: cannot store .*Timestamp"):
        indexfuse_tools.dumps(model)


def test_pca_cumulative_comes_from_the_pca_or_the_caller():
    model, data = _nested()
    model.fit(data)
    model.pca = object()
    with pytest.raises(ValueError, match="pass pca_cumulative"):
        indexfuse_tools.dumps(model)
    restored = indexfuse_tools.loads(indexfuse_tools.dumps(model, pca_cumulative=0.5))
    assert restored.pca.cumulative == 0.5


def test_loaded_model_has_a_fresh_pca_and_still_scores():
    model, data = _nested()
    model.fit(data)
    restored = _json_text(model)
    assert not restored.pca.is_fitted and model.pca.is_fitted


# ---------------------------------------------------------------- malformed --


@pytest.fixture(scope="module")
def document():
    # The table of "A" has string keys only, so it is a plain JSON object.
    schema = {"A": ["a", "b"], ("B", -1): {"b1": ["c"], "b2": [("d", -1), "e"]}}
    model = indexfuse.indexpca_diment(schema)
    model.fit(_table(list("abcde")))
    return indexfuse_tools.to_dict(model)


def _set(path, value):
    def change(doc):
        node = doc
        for step in path[:-1]:
            node = node[step]
        node[path[-1]] = value

    return change


def _drop(name):
    return lambda doc: doc.pop(name)


A_TABLE = ("index_coef", "$dict", 0, 1)  # the coefficient table of "A"

MALFORMED = {
    "top-level-array": (lambda doc: doc.clear(), "must be a JSON object"),
    "wrong-format": (_set(("format",), "other"), "format: expected 'indexfuse-model'"),
    "future-version": (_set(("version",), 2), "reads version 1 documents, got 2"),
    "version-as-text": (_set(("version",), "1"), "version"),
    "missing-field": (_drop("dim_weight"), "missing field.*dim_weight"),
    "unknown-field": (_set(("extra",), 1), "unknown field.*'extra'"),
    "schema-number": (_set(("schema",), 3), "schema: expected a mapping"),
    "scale-method-number": (_set(("scale_method",), 1), "scale_method: expected a string"),
    "scale-method-unknown": (_set(("scale_method",), "robust"), "cannot rebuild the model: scale_method"),
    "cumulative-zero": (_set(("pca_cumulative",), 0), r"pca_cumulative: expected a number in \(0, 1\]"),
    "cumulative-text": (_set(("pca_cumulative",), "1"), "pca_cumulative"),
    "k-float": (_set(("k",), 1.5), "k: expected an integer"),
    "k-bool": (_set(("k",), True), "k: expected an integer"),
    "min-ent-text": (_set(("min_ent",), "low"), "min_ent: expected a number"),
    "k-zero": (_set(("k",), 0), "k: expected a neighbour count from 1"),
    "k-negative": (_set(("k",), -3), "k: expected a neighbour count from 1"),
    "k-huge": (_set(("k",), 10**30), "k: expected a neighbour count from 1 to 2\\*\\*63 - 1"),
    "min-ent-nan": (_set(("min_ent",), {"$float": "nan"}), "min_ent: expected a finite number"),
    "min-ent-infinite": (_set(("min_ent",), {"$float": "-inf"}), "min_ent: expected a finite number"),
    "index-coef-null": (_set(("index_coef",), None), "index_coef: expected a mapping"),
    "record-missing-key": (
        lambda doc: doc["index_coef"]["$dict"][0][1]["b"].pop("std"),
        r"index_coef\['A'\]\['b'\]: a coefficient record must hold exactly the keys coef, max, min, mean, std",
    ),
    "record-extra-key": (
        _set((*A_TABLE, "b", "note"), 1.0),
        r"index_coef\['A'\]\['b'\]: a coefficient record",
    ),
    "record-text-value": (
        _set((*A_TABLE, "b", "coef"), "0.5"),
        r"index_coef\['A'\]\['b'\]\['coef'\]: expected a number",
    ),
    "record-null-value": (_set((*A_TABLE, "b", "max"), None), r"\['max'\]: expected a number"),
    "tree-holds-number": (_set(("index_coef", "$dict", 0, 1), 5), r"index_coef\['A'\]: expected a coefficient table"),
    "coef-misses-dimension": (
        lambda doc: doc["index_coef"]["$dict"].pop(0),
        "does not follow the schema",
    ),
    "coef-key-not-in-schema": (
        lambda doc: doc["index_coef"]["$dict"][0][1].update(z=doc["index_coef"]["$dict"][0][1]["b"]),
        r"index_coef\['A'\]\['z'\]: is not an index entry of the schema leaf",
    ),
    "weights-miss-dimension": (
        lambda doc: doc["dim_weight"]["$dict"].pop(0),
        "the weights' dimensions",
    ),
    "weight-text": (_set(("dim_weight", "$dict", 0, 1), "0.5"), r"dim_weight\['A'\]: expected a number"),
    "number-weight-on-mapping": (
        _set(("dim_weight", "$dict", 1, 1), 0.5),
        r"dim_weight\[\('B', -1\)\]: a number weight needs a coefficient table",
    ),
    "weights-mapping-on-table": (
        _set(("dim_weight", "$dict", 0, 1), {"a": 0.5}),
        r"dim_weight\['A'\]: a mapping of weights needs a mapping of dimensions",
    ),
    "abnormal-not-array": (_set(("abnormal_index",), {}), "abnormal_index: expected an array"),
    "abnormal-two-keys": (
        _set(("abnormal_index",), [{"a": -0.1, "b": -0.2}]),
        r"abnormal_index\[0\]: expected a one-entry mapping",
    ),
    "tuple-tag-not-array": (_set(("schema", "$dict", 0, 0), {"$tuple": "A"}), '"\\$tuple" must hold an array'),
    "float-tag-unknown": (_set(("min_ent",), {"$float": "NAN"}), r'"\$float" must be "nan", "inf" or "-inf"'),
    "unknown-tag": (_set(("min_ent",), {"$set": [1]}), "unknown tag '\\$set'"),
    "tag-with-extra-key": (_set(("min_ent",), {"$float": "nan", "x": 1}), "a tagged value must hold exactly"),
    "numpy-object-dtype": (_set(("k",), {"$numpy": "object", "value": 1}), '"\\$numpy" must name one of'),
    "numpy-int-overflow": (_set(("k",), {"$numpy": "int8", "value": 300}), "300 does not fit in int8"),
    "numpy-int-from-float": (_set(("k",), {"$numpy": "int64", "value": 1.5}), "1.5 is not a valid int64 value"),
    "numpy-missing-value": (_set(("k",), {"$numpy": "int64"}), "a tagged value must hold exactly"),
    "dict-tag-not-pairs": (_set(("dim_weight",), {"$dict": [["A"]]}), r"dim_weight item 0: expected a \[key, value\] pair"),
    "dict-tag-unhashable-key": (
        _set(("dim_weight",), {"$dict": [[["A"], 0.5]]}),
        r"dim_weight item 0 key: \['A'\] cannot be a mapping key",
    ),
    "dict-tag-duplicate-key": (
        _set(("dim_weight",), {"$dict": [["A", 0.5], ["A", 0.5]]}),
        "key 'A' occurs twice",
    ),
    "empty-index-entry": (
        _set(("schema", "$dict", 0, 1), [[]]),
        r"schema\['A'\]\[0\]: an index entry cannot be empty",
    ),
    "float-tag-array": (_set(("min_ent",), {"$float": [1]}), r'"\$float" must be "nan"'),
    "float-tag-object": (_set(("min_ent",), {"$float": {"x": 1}}), r'"\$float" must be "nan"'),
    "numpy-name-array": (_set(("k",), {"$numpy": ["float32"], "value": 1}), '"\\$numpy" must name one of'),
    "numpy-float-overflow": (
        _set((*A_TABLE, "b", "max"), {"$numpy": "float16", "value": 1e6}),
        r"\['max'\]: 1000000.0 does not fit in float16",
    ),
    "std-nan": (_set((*A_TABLE, "b", "std"), {"$float": "nan"}), r"\['std'\]: expected a finite number"),
    "std-negative": (_set((*A_TABLE, "b", "std"), -0.5), r"\['std'\]: a standard deviation cannot be negative"),
    "min-above-max": (_set((*A_TABLE, "b", "min"), 1e6), r"index_coef\['A'\]\['b'\]: min 1000000.0 is above max"),
    "coef-infinite": (_set((*A_TABLE, "b", "coef"), {"$float": "-inf"}), r"\['coef'\]: expected a finite number"),
    "mean-too-large-an-int": (_set((*A_TABLE, "b", "mean"), 10**400), r"\['mean'\]: expected a finite number"),
    "weight-infinite": (
        _set(("dim_weight", "$dict", 0, 1), {"$float": "inf"}),
        r"dim_weight\['A'\]: a weight must be a finite number",
    ),
    "dimension-direction-text": (
        lambda doc: [
            _set((field, "$dict", 1, 0), {"$tuple": ["B", "down"]})(doc)
            for field in ("schema", "index_coef", "dim_weight")
        ],
        r"the direction of a key must be a finite number, got 'down'",
    ),
    "deep-document": (_set(("schema",), functools.reduce(lambda inner, _: [inner], range(500), [])),
                      "nested deeper than 100 levels"),
    "index-key-of-another-type": (
        lambda doc: [
            _set(("schema", "$dict", 0, 1), [1, "b"])(doc),
            _set(A_TABLE, {"$dict": [[True, doc["index_coef"]["$dict"][0][1]["a"]],
                                     ["b", doc["index_coef"]["$dict"][0][1]["b"]]]})(doc),
        ],
        r"index_coef\['A'\]\[True\]: is not an index entry of the schema leaf",
    ),
}


@pytest.mark.parametrize("case", list(MALFORMED))
def test_malformed_documents_are_rejected_clearly(document, case):
    change, message = MALFORMED[case]
    broken = copy.deepcopy(document)
    change(broken)
    text = json.dumps(broken if case != "top-level-array" else [])
    with pytest.raises(ModelFileError, match=message):
        indexfuse_tools.loads(text)


MALFORMED_TEXT = {
    "not-json": ("{", "not valid JSON"),
    "empty": ("", "not valid JSON"),
    "trailing-garbage": ('{"format": "indexfuse-model"} x', "not valid JSON"),
    "nan-literal": ('{"min_ent": NaN}', 'bare NaN is not allowed.*"\\$float": "nan"'),
    "infinity-literal": ('{"min_ent": -Infinity}', "bare -Infinity"),
    "duplicate-key": ('{"k": 1, "k": 2}', "has that key twice"),
    "number": ("3", "must be a JSON object"),
    "float-overflow": ('{"min_ent": 1e999}', r"1e999' is too large for a float.*\$float"),
    "long-integer": ('{"k": ' + "7" * 5000 + "}", "an integer of 5000 digits is too long"),
    "deep-brackets": ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
}


@pytest.mark.parametrize("case", list(MALFORMED_TEXT))
def test_malformed_text_is_rejected_clearly(case):
    text, message = MALFORMED_TEXT[case]
    with pytest.raises(ModelFileError, match=message):
        indexfuse_tools.loads(text)


# ------------------------------------------------------------------ hostile --

# Integers that are multiples of 2**61 - 1 all have the hash 0.
_COLLIDING = [i * (2**61 - 1) for i in range(1, 3001)]
_RECORD = {"coef": 0.5, "max": 1.0, "min": 0.0, "mean": 0.5, "std": 0.25}


def _single_leaf_document(schema, index_coef):
    return {
        "format": "indexfuse-model", "version": 1, "schema": schema, "scale_method": "max_min",
        "pca_cumulative": 1, "k": 10, "min_ent": -5.0, "index_coef": index_coef,
        "dim_weight": None if index_coef == {} else 1, "abnormal_index": [],
    }


@pytest.mark.parametrize(
    ("schema", "index_coef", "where"),
    [
        (_COLLIDING, {"$dict": [[key, _RECORD] for key in _COLLIDING]}, "index_coef"),
        (_COLLIDING, {}, "schema"),
        ([{"$tuple": [key, -1]} for key in _COLLIDING], {}, "schema"),
        ({"$dict": [[key, ["a"]] for key in _COLLIDING]}, {}, "schema"),
    ],
    ids=["coefficient-keys", "schema-entries", "schema-pairs", "dimension-keys"],
)
def test_keys_colliding_in_hash_are_refused_before_any_mapping_holds_them(schema, index_coef, where):
    # Read into a dict or a set, these would cost 3000 ** 2 comparisons.
    text = json.dumps(_single_leaf_document(schema, index_coef))
    with pytest.raises(ModelFileError, match=f"^{where}: more than 32 distinct keys share one hash value"):
        indexfuse_tools.loads(text)


def test_a_few_keys_sharing_a_hash_still_load():
    keys = _COLLIDING[:32] + _COLLIDING[:1]  # a repeated entry is no collision
    model = indexfuse_tools.loads(json.dumps(
        _single_leaf_document(keys, {"$dict": [[key, _RECORD] for key in keys[:32]]})
    ))
    assert list(model.index_coef) == keys[:32]


def _deep_chain(length, depth=95):
    tree = None
    for level in range(depth):
        tree = {f"{level:03d}" + "k" * length: tree}
    return tree


def _deep_and_wide(length, depth=95, width=4):
    tree = None
    for level in range(depth):
        siblings = {f"{level:03d}-{j}" + "k" * length: None for j in range(1, width)}
        tree = {f"{level:03d}-0" + "k" * length: tree, **siblings}
    return tree


@pytest.mark.parametrize("tree", [_deep_chain(20_000), _deep_and_wide(5_000)], ids=["chain", "wide"])
def test_long_keys_nested_deep_cost_memory_in_proportion_to_the_file(tree):
    # Each key's place spells out its whole path: spelled out for every value
    # as it is read, the places of this 2 MB file would take 90 MB.
    document = _single_leaf_document({"a": ["a"]}, tree)
    text = json.dumps(document)
    tracemalloc.start()
    try:
        with pytest.raises(ModelFileError, match="does not follow the schema"):
            indexfuse_tools.loads(text)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * len(text)


@pytest.mark.parametrize(
    ("cap", "document", "message"),
    [
        ("_MAX_NODES", {"abnormal_index": [{"a": 0.5}] * 600}, "more than 1,000 values"),
        ("_MAX_KEYS", {"schema": {f"d{i}": None for i in range(1_200)}}, "more than 1,000 keys"),
    ],
)
def test_documents_far_larger_than_a_model_are_refused(monkeypatch, cap, document, message):
    monkeypatch.setattr(indexfuse_tools._persist, cap, 1_000)
    text = json.dumps({**_single_leaf_document(["a"], {}), **document})
    with pytest.raises(ModelFileError, match=f"^the document holds {message}"):
        indexfuse_tools.loads(text)


def test_undecodable_bytes_are_rejected():
    with pytest.raises(ModelFileError, match="not UTF-8"):
        indexfuse_tools.loads(b'{"format": "\xff"}')


def test_model_file_error_is_a_value_error(tmp_path):
    path = tmp_path / "model.json"
    path.write_text("[]")
    with pytest.raises(ValueError):
        indexfuse_tools.load(path)


# ----------------------------------------------------------------- encoding --

_scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**70), 2**70)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(max_size=6)
    | st.sampled_from(["$", "$tuple", "$float"])
    | st.builds(np.float32, st.floats(-1e6, 1e6, width=32))
    | st.builds(np.int16, st.integers(-(2**15), 2**15 - 1))
    | st.builds(np.bool_, st.booleans())
)
_keys = st.recursive(
    _scalars.filter(lambda v: not (isinstance(v, (float, np.floating)) and math.isnan(v))),
    lambda inner: st.tuples(inner, inner),
    max_leaves=4,
)
_values = st.recursive(
    _scalars,
    lambda inner: st.lists(inner, max_size=3)
    | st.tuples(inner, inner)
    | st.dictionaries(_keys, inner, max_size=3),
    max_leaves=12,
)


@settings(max_examples=300, deadline=None)
@given(_values)
def test_any_storable_value_round_trips_exactly(value):
    encoded = encode(value, "value")
    text = json.dumps(encoded, allow_nan=False)
    assert _same(decode(json.loads(text), "value"), value)


def test_no_warning_escapes_a_json_round_trip():
    model, data = _nested()
    model.fit(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _json_text(model)


# ------------------------------------------------------------------ fuzzing --

@functools.cache
def _valid_files() -> tuple[tuple[str, str, pd.DataFrame], ...]:
    """(name, JSON text, training table) of every fitted model above."""
    files = []
    for name, make in MODELS.items():
        model, data = make()
        model.fit(data)
        files.append((name, indexfuse_tools.dumps(model), data))
    return tuple(files)


_json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**70), 2**70)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.sampled_from([0, -1, 1e308, -1e-320, 10**400, "nan", "inf", "-inf", "", "a", "$x", "float32"])
    | st.text(max_size=4)
)
_json_values = st.recursive(
    _json_scalars,
    lambda inner: st.lists(inner, max_size=3)
    | st.dictionaries(st.sampled_from(["a", "b", "coef", "std", "$tuple", "value"]) | st.text(max_size=3),
                      inner, max_size=3)
    | st.builds(lambda tag, body: {tag: body},
                st.sampled_from(["$float", "$tuple", "$dict", "$numpy", "$set"]), inner)
    | st.builds(lambda name, value: {"$numpy": name, "value": value}, inner, inner),
    max_leaves=6,
)
# Spliced into the text itself: numbers JSON can spell but not hold, literals
# it does not allow, and brackets nested past any recursion limit.
_numbers = (
    st.integers(-(2**70), 2**70)
    | st.floats(-1e6, 1e6)
    | st.sampled_from([0, -1, 0.0, -0.0, 1e308, -1e308, 5e-324, 10**400])
    | st.builds(lambda text: {"$float": text}, st.sampled_from(["nan", "inf", "-inf"]))
    | st.builds(lambda name, value: {"$numpy": name, "value": value},
                st.sampled_from(["float16", "float32", "int8", "uint8", "bool"]),
                st.integers(-(2**20), 2**20) | st.floats(-1e6, 1e6) | st.booleans())
)
_text_pieces = st.sampled_from(
    ["1e999", "-1e999", "NaN", "Infinity", "9" * 5000, "[" * 100_000, "{" * 50_000, "]", "}",
     ",", '"', "\\", "\x00", "true", "null", '{"$float": [1]}']
)


def _places(node, path=()):
    """Every place in a parsed document: (path, node)."""
    yield path, node
    if isinstance(node, dict):
        for key, child in node.items():
            yield from _places(child, (*path, key))
    elif isinstance(node, list):
        for i, child in enumerate(node):
            yield from _places(child, (*path, i))


@st.composite
def _mutated_files(draw):
    name, text, data = draw(st.sampled_from(_valid_files()))
    document = json.loads(text)
    for _ in range(draw(st.integers(1, 3))):
        places = list(_places(document))
        action = draw(st.sampled_from(["number", "number", "replace", "drop", "add"]))
        if action == "number":  # mostly keeps the document well formed
            numeric = [p for p in places if type(p[1]) in (int, float)]
            places = numeric or places
        path, node = draw(st.sampled_from(places))
        if not path or action in ("number", "replace"):
            value = draw(_numbers if action == "number" else _json_values)
            if not path:
                document = value
                continue
            parent = document
            for step in path[:-1]:
                parent = parent[step]
            parent[path[-1]] = value
        elif isinstance(node, (dict, list)) and node:
            key = draw(st.sampled_from(list(node) if isinstance(node, dict) else range(len(node))))
            if action == "drop":
                del node[key]
            elif isinstance(node, dict):
                node[draw(st.text(max_size=3))] = draw(_json_values)
            else:
                node.insert(key, draw(_json_values))
    text = json.dumps(document)
    if draw(st.integers(0, 3)) == 0:
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 3))
        text = text[:at] + draw(_text_pieces) + text[at + cut :]
    return name, text, data


@property_settings(minimum=3_000)
@given(_mutated_files())
def test_a_model_file_loads_and_scores_or_is_refused(case):
    name, text, data = case
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # loading warns of nothing either
            model = indexfuse_tools.loads(text)
    except ModelFileError:
        event("refused")
        return
    event("loaded")
    # A file may name other columns than the ones it was saved with (a label
    # changed in the schema and the coefficients alike): the table gets them,
    # as any table the model scores must have them.
    data = data.copy()
    for label in indexfuse_tools.coefficients(model)["index"]:
        if label not in data.columns:
            data[label] = data.iloc[:, 0]
    model.score(data)
