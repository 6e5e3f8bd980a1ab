"""The extension against the reference model, on generated inputs.

Each property draws a plan (schema, tables, fake toolkit, calls), runs it on
both implementations with their own fresh fakes and compares the complete
logs: every toolkit call with its arguments, every logged read of the
inputs and of the model's own attributes, every result and exception (type
and message), and the model's attributes after each call.
"""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from _profiles import property_settings
from differential_world import (
    KeyRecipe,
    Scenario,
    TablePlan,
    ToolkitPlan,
    build,
    build_table,
    build_value,
    compare,
    run_call,
    run_scenario,
)

NAN = math.nan

# ------------------------------------------------------------- strategies --


@st.composite
def _weighted(draw, chooser, strategies):
    return draw(strategies[draw(chooser)])


def rarely(n):
    """True about once in n draws (the simplest choice, first, is False)."""
    return st.sampled_from([False] * (n - 1) + [True])


def weighted(*options):
    """One of the strategies, each (weight, strategy) drawn in proportion."""
    chooser = st.sampled_from([i for i, (weight, _) in enumerate(options) for _ in range(weight)])
    return _weighted(chooser, [strategy for _, strategy in options])


LABELS = ["a", "b", "c", 0, 1]
MISSING = ["zz", 7]
TUPLE_LABEL = ("t", -1)

labels = st.sampled_from(["a", "b"] * 3 + LABELS * 2 + MISSING + [TUPLE_LABEL])
directions = st.sampled_from([-1, -1, 2, 0.5, 1, True, np.float64(-2.0), "x"])
extras = st.one_of(directions, labels)


_entry_kinds = st.sampled_from(["label"] * 16 + ["tuple"] * 4 + ["list", "list", "loggedlist", "loggedlist"]
                               + ["empty"])
_empty_entries = st.sampled_from([("seq", "tuple", ()), ("seq", "list", ())])
_entry_rests = st.lists(extras, max_size=2)


@st.composite
def entries(draw):
    kind = draw(_entry_kinds)
    if kind == "label":
        return ("label", draw(labels))
    if kind == "empty":
        return draw(_empty_entries)
    rest = draw(_entry_rests)
    return ("seq", kind, (draw(labels), *rest))


leaves = st.tuples(
    st.sampled_from(["list", "tuple", "loggedlist"]),
    weighted((8, st.lists(entries(), min_size=1, max_size=4)), (1, st.just([]))).map(tuple),
)
junk = st.sampled_from([("value", "ab"), ("value", 3), ("value", frozenset({"a"})), ("value", 2.5)])
dimension_keys = st.sampled_from(["A", "B", "C", ("D", -1), ("E", 2), ("F", 1, 0), 5, ("G",), KeyRecipe("H")])
mapping_kinds = st.sampled_from(["plain", "plain", "logged", "logged_keep"])


def mappings(children):
    """Mapping recipes; an empty mapping now and then."""
    pairs = weighted(
        (6, st.lists(st.tuples(dimension_keys, children), min_size=1, max_size=3, unique_by=lambda p: p[0])),
        (1, st.just([])),
    )
    return st.tuples(st.just("dict"), mapping_kinds, pairs.map(tuple))


# Mostly what the model supports (dimensions of leaves, one level of
# sub-dimensions), now and then deeper nesting, None children and junk.
leafy = weighted((12, leaves), (1, st.just(("none",))), (1, junk))
deep_nodes = st.recursive(leafy, mappings, max_leaves=6)
schema_nodes = weighted((12, leaves), (4, mappings(leafy)), (1, st.just(("none",))), (1, junk), (1, deep_nodes))
schemas = weighted((12, mappings(schema_nodes)), (1, leaves), (1, junk), (1, st.just(("none",))))

cell_values = st.sampled_from([0.0, 1.0, -2.5, 3.0, 4.5, NAN])


_usual_columns = st.lists(st.sampled_from(["c", 0, 1, TUPLE_LABEL]), max_size=2, unique=True)
_any_columns = st.lists(st.sampled_from(LABELS + [TUPLE_LABEL]), min_size=1, max_size=4, unique=True)
_row_counts = st.integers(0, 4)
_dtypes_with_nan = st.sampled_from(["float64", "object"])
_dtypes = st.sampled_from(["float64", "object", "int64"])


@st.composite
def tables(draw):
    if not draw(rarely(4)):
        columns = ["a", "b"] + draw(_usual_columns)
    else:
        columns = draw(_any_columns)
    if draw(rarely(10)):
        columns.append(columns[0])  # a repeated column label
    nrows = draw(_row_counts)
    rows = tuple(tuple(draw(cell_values) for _ in columns) for _ in range(nrows))
    has_nan = any(math.isnan(v) for row in rows for v in row)
    dtype = draw(_dtypes_with_nan if has_nan else _dtypes)
    return TablePlan(columns=tuple(columns), rows=rows, dtype=dtype, proxy=draw(st.booleans()))


odd_numbers = st.sampled_from([0, 1, -1, 2, 0.0, 0.5, -1.5, 2.25, NAN, math.inf, np.float64(1.5),
                               np.int64(3), np.float32(0.5), True])
stat_values = weighted((12, odd_numbers), (1, st.sampled_from([None, "s"])))


fail_at = weighted((8, st.just(0)), (1, st.integers(1, 6)))
_containers = st.sampled_from(["list", "tuple", "ndarray", "logged"])


def _pool(values, **kwargs):
    return st.lists(values, max_size=4, **kwargs).map(tuple)


# Half of them well-behaved, the rest with odd answers and failures.
_sane_toolkits = st.builds(
    ToolkitPlan,
    stats_container=_containers,
    stats_pool=_pool(st.sampled_from([0.0, 1.0, -2.0, 4.5]), min_size=1),
    coef_container=_containers,
    coef_pool=_pool(st.sampled_from([0.5, -0.25, 1.0, 2]), min_size=1),
    abnormal_container=st.sampled_from(["set", "list", "tuple", "logged"]),
    abnormal_pick=st.lists(st.integers(0, 5), max_size=2).map(tuple),
    entropy_pool=_pool(st.sampled_from([0.0, 1.0, 2.5, 4.0, -1.0]), min_size=2, unique=True),
)
_odd_toolkits = st.builds(
    ToolkitPlan,
    stats_container=_containers,
    stats_pool=_pool(stat_values, min_size=1),
    stats_short=rarely(16),
    score_shape=st.sampled_from(["tuple"] * 15 + ["list", "iter", "short", "long", "none"]),
    coef_container=_containers,
    coef_pool=_pool(odd_numbers, min_size=1),
    abnormal_container=st.sampled_from(["set", "list", "tuple", "ndarray", "logged"]),
    abnormal_pick=st.lists(st.integers(0, 5), max_size=3).map(tuple),
    entropy_pool=_pool(odd_numbers, min_size=1),
    entropy_fail_at=fail_at,
    scale_mode=st.sampled_from(["affine"] * 6 + ["identity", "array", "none"]),
    scale_fail_at=fail_at,
    rescale_mode=st.sampled_from(["shift", "shift", "tuple", "same"]),
    rescale_fail_at=fail_at,
    pca_fail=st.sampled_from([""] * 30 + ["init", "fit", "score"]),
)
_toolkits = st.one_of(_sane_toolkits, _odd_toolkits)


def toolkits():
    return _toolkits


scales = st.sampled_from([None, None, None, (0, 1), (5, -5), 0, "odd"])


overrides = st.one_of(
    st.tuples(st.sampled_from(["compute_dim_weight", "compute_index_coef", "compute_dim_value"]),
              st.sampled_from(["as list", "as iterator", "one more", "first only", "none", "as dict subclass"])),
    st.tuples(st.just("is_index_coef"), st.just("negated")),
    st.tuples(st.just("compute_score"), st.just("none")),
)


_ctor_values = st.tuples(
    st.sampled_from(["max_min", "z"]),
    st.sampled_from([1, 0.9]),
    st.sampled_from([10] * 16 + [2, 2, 0, 1.5, "x", None]),
)
_steps = st.sampled_from([("fit", "score")] * 4 + [("score",), ("fit", "fit", "score"), ("fit", "score", "fit", "score")])
_overrides = weighted((12, st.just(())), (1, overrides))
_tables = tables()


@st.composite
def scenarios(draw):
    ctor_values = draw(_ctor_values)
    by_keyword = draw(st.integers(0, 3))
    names = ("scale_method", "pca_cumulative", "ent_k")
    ctor = ctor_values[:by_keyword]
    ctor_kwargs = tuple(zip(names[by_keyword:], ctor_values[by_keyword:]))
    return Scenario(
        toolkit=draw(toolkits()),
        schema=draw(schemas),
        ctor=ctor,
        ctor_kwargs=ctor_kwargs,
        fit_table=draw(_tables),
        score_table=draw(_tables),
        scale=draw(scales),
        steps=draw(_steps),
        traced=draw(st.booleans()),
        override=draw(_overrides),
    )


# -------------------------------------------------------------- properties --


@property_settings()
@given(scenarios())
def test_fit_and_score_match_the_reference(scenario):
    compare(run_scenario, scenario)


_real_labels = st.sampled_from(["a", "b", "c", "d", "zz"])
_real_entries = st.one_of(
    _real_labels.map(lambda x: ("label", x)),
    st.tuples(_real_labels, st.sampled_from([-1, 2, 0.5])).map(lambda e: ("seq", "tuple", e)),
    _real_labels.map(lambda x: ("seq", "list", (x,))),
)
_real_leaves = st.tuples(st.sampled_from(["list", "tuple"]), st.lists(_real_entries, min_size=1, max_size=3).map(tuple))
_real_schemas = mappings(weighted((6, _real_leaves), (2, mappings(_real_leaves)), (1, st.just(("none",)))))
_real_cells = st.sampled_from([0.0, 1.0, 2.0, -1.5, 3.25, 7.0, 0.5])


@st.composite
def real_scenarios(draw):
    """The real toolkit on small, mostly valid models and tables."""
    nrows = draw(st.integers(3, 7))

    def table():
        rows = tuple(tuple(draw(_real_cells) for _ in "abcd") for _ in range(nrows))
        return TablePlan(columns=("a", "b", "c", "d"), rows=rows, dtype="float64")

    return Scenario(
        schema=draw(_real_schemas),
        ctor=(draw(st.sampled_from(["max_min", "z_score"])), draw(st.sampled_from([1, 0.8]))),
        ctor_kwargs=(("ent_k", draw(st.sampled_from([2, 3, 10]))),),
        fit_table=table(),
        score_table=table(),
        scale=draw(st.sampled_from([None, (0, 100), (1, -1)])),
        steps=draw(st.sampled_from([("fit", "score"), ("fit", "score", "fit", "score")])),
        traced=draw(st.booleans()),
        real_toolkit=True,
    )


@property_settings()
@given(real_scenarios())
def test_fit_and_score_with_the_real_toolkit_match_the_reference(scenario):
    compare(run_scenario, scenario)


def _value_recipes(n):
    column = st.lists(cell_values, min_size=n, max_size=n).map(tuple)
    usable = weighted(
        (4, st.tuples(st.just("series"), column)),
        (1, st.tuples(st.just("ndarray"), column)),
        (1, st.tuples(st.just("frame"), column)),
    )
    unusable = st.one_of(
        st.just(("none",)),
        st.tuples(st.just("list"), column),
        st.tuples(st.just("tuple"), column),
        junk,
    )
    return weighted((4, usable), (1, unusable))


def _value_trees(n):
    leaf = _value_recipes(n)
    return weighted((5, mappings(st.recursive(leaf, mappings, max_leaves=6))), (1, leaf))


# Built once: strategies made inside a draw are validated again every time.
dim_value_trees = st.sampled_from([1, 2, 3, 4]).flatmap(
    {n: _value_trees(n) for n in (1, 2, 3, 4)}.__getitem__)


model_states = st.tuples(
    st.sampled_from([("k", 3), ("k", 0), ("k", "k")]),
    st.sampled_from([("min_ent", 0.5), ("min_ent", 0), ("min_ent", np.float64(1.0)), None]),
).map(lambda pair: tuple(p for p in pair if p is not None))


@property_settings()
@given(toolkits(), dim_value_trees, model_states, st.booleans())
def test_dimension_weights_match_the_reference(toolkit, tree, state, traced):
    def arguments(log):
        return (build_value(tree, log),), {}

    compare(run_call, toolkit, "compute_dim_weight", arguments, traced=traced, state=state)


number_weights = st.sampled_from([0.5, 0.25, 1, 0, True, -1.0, np.float64(0.5), np.int64(2),
                                  np.float32(0.5), None, "w", NAN])


_score_weights = st.recursive(st.tuples(st.just("value"), number_weights), mappings, max_leaves=6)
_score_weight_trees = st.one_of(_score_weights, mappings(_score_weights))
_score_values = {
    n: st.one_of(st.tuples(st.just("series"), st.lists(cell_values, min_size=n, max_size=n).map(tuple)),
                 st.tuples(st.just("value"), odd_numbers))
    for n in (1, 2, 3)
}
_score_values_or_none = {n: st.one_of(v, st.just(("none",))) for n, v in _score_values.items()}


@st.composite
def score_inputs(draw):
    """A weight tree and a value tree that mostly, but not always, share keys."""
    n = draw(st.sampled_from([1, 2, 3]))
    values = _score_values[n]
    weight = draw(_score_weight_trees)

    def matching(w):
        if w[0] != "dict" or draw(rarely(8)):
            return draw(values) if w[0] != "dict" else draw(_score_values_or_none[n])
        pairs = [(k, matching(child)) for k, child in w[2] if not draw(rarely(12))]
        return ("dict", draw(mapping_kinds), tuple(pairs))

    return weight, matching(weight)


@property_settings()
@given(score_inputs(), st.booleans())
def test_composite_score_matches_the_reference(inputs, traced):
    weight, value = inputs

    def arguments(log):
        return (build_value(value, log, "v"), build_value(weight, log, "w")), {}

    compare(run_call, ToolkitPlan(), "compute_score", arguments, traced=traced)


_RECORD_NAMES = ["coef", "max", "min", "mean", "std", "other", 1]
record_key_sets = st.lists(
    st.sampled_from(_RECORD_NAMES * 2 + [KeyRecipe(k) for k in _RECORD_NAMES]),
    max_size=7, unique_by=lambda k: getattr(k, "name", k))


_table_keys = st.lists(st.one_of(labels, dimension_keys), max_size=4, unique_by=repr)


@st.composite
def coefficient_tables(draw):
    pairs = []
    for key in draw(_table_keys):
        shape = draw(st.sampled_from(["record", "record", "record", "none", "number", "list"]))
        if shape == "record":
            keys = draw(record_key_sets)
            record = ("dict", draw(mapping_kinds), tuple((k, ("value", draw(odd_numbers))) for k in keys))
            pairs.append((key, record))
        elif shape == "none":
            pairs.append((key, ("none",)))
        elif shape == "number":
            pairs.append((key, ("value", 1.5)))
        else:
            pairs.append((key, ("list", (1, 2))))
    return ("dict", draw(mapping_kinds), tuple(pairs))


@property_settings()
@given(st.one_of(coefficient_tables(), st.recursive(coefficient_tables(), mappings, max_leaves=4),
                 junk, st.just(("none",))), st.booleans())
def test_coefficient_table_check_matches_the_reference(x, traced):
    def arguments(log):
        return (build_value(x, log),), {}

    compare(run_call, ToolkitPlan(), "is_index_coef", arguments, traced=traced)


_index_keys = st.lists(st.one_of(labels, st.tuples(labels, directions), st.tuples(labels),
                                 st.tuples(labels, directions, labels), st.just(())),
                       min_size=1, max_size=3, unique_by=repr)


@st.composite
def fitted_tables(draw):
    """A coefficient table as a fit would build it, with odd keys and records."""
    pairs = []
    keys = draw(_index_keys)
    for key in keys:
        names = ["coef", "max", "min", "mean", "std"]
        if draw(rarely(10)):
            names.remove(draw(st.sampled_from(names)))
        record = ("dict", draw(mapping_kinds), tuple((k, ("value", draw(odd_numbers))) for k in names))
        pairs.append((key, record))
    return ("dict", draw(mapping_kinds), tuple(pairs))


@property_settings()
@given(toolkits(), st.one_of(fitted_tables(), st.recursive(fitted_tables(), mappings, max_leaves=4),
                             junk, st.just(("none",))),
       tables(), scales, st.booleans())
def test_dimension_values_match_the_reference(toolkit, tree, table, scale, traced):
    def arguments(log):
        data = build_table(table, log)
        coef = build_value(tree, log)
        if scale is None:
            return (data, coef), {}
        return (data, coef), {"scale": scale}

    compare(run_call, toolkit, "compute_dim_value", arguments, traced=traced,
            state=(("scale_method", "max_min"),))


@property_settings()
@given(toolkits(), schemas, tables(), st.booleans())
def test_index_coefficients_match_the_reference(toolkit, schema, table, traced):
    def arguments(log):
        return (build_table(table, log), build(schema, log)), {}

    compare(run_call, toolkit, "compute_index_coef", arguments, traced=traced,
            state=(("abnormal_index", []),))


# ------------------------------------------------------------ argument binding --

PARAMETERS = {
    "__init__": ("self", "schema", "scale_method", "pca_cumulative", "ent_k"),
    "fit": ("self", "data"),
    "score": ("self", "data", "scale"),
    "compute_index_coef": ("self", "data", "schema"),
    "compute_dim_value": ("self", "data", "index_coef", "scale"),
    "compute_dim_weight": ("self", "dim_value"),
    "compute_score": ("self", "dim_value", "dim_weight"),
    "is_index_coef": ("self", "x"),
}


@st.composite
def calls(draw):
    method = draw(st.sampled_from(sorted(PARAMETERS)))
    params = PARAMETERS[method]
    through_class = draw(st.booleans())
    npos = draw(st.integers(0, len(params) + 1))
    names = draw(st.lists(st.sampled_from(params + ("zz", "Self")), max_size=4, unique=True))
    return method, through_class, npos, tuple(names)


@property_settings()
@given(calls())
def test_argument_binding_matches_the_reference(call):
    method, through_class, npos, names = call

    def run(module):
        world_log = []
        cls = module.indexpca_diment
        model = object.__new__(cls)
        object.__setattr__(model, "scale_method", "max_min")
        # harmless values for every parameter: a mapping for the schema-like ones
        args = [None] * npos
        kwargs = {name: None for name in names}
        try:
            if through_class:
                if npos:
                    args[0] = model
                if "self" in kwargs:
                    kwargs["self"] = model
                result = getattr(cls, method)(*args, **kwargs)
            else:
                result = getattr(model, method)(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            return [("raised", type(exc).__name__, str(exc))]
        world_log.append(("returned", repr(result)))
        return world_log

    import indexfuse
    import reference_model

    with pytest.MonkeyPatch.context() as mp:
        # the constructor's toolkit call must not reach the real toolkit
        for module in (indexfuse, reference_model):
            mp.setattr(module, "PCA", lambda **kw: ("pca", tuple(kw.items())))
        ext, ref = run(indexfuse), run(reference_model)
    assert ext == ref


# ------------------------------------------------------------- found faults --


def test_spreading_a_nested_share_looks_the_method_up_before_the_entry():
    """`self.compute_dim_weight(dim_value[key])`: the method first, then the entry."""
    tree = ("dict", "logged", (("A", ("dict", "plain", (("a", ("series", (1.0, 2.0))),))),
                               ("B", ("series", (0.0, 3.0)))))

    def arguments(log):
        return (build_value(tree, log),), {}

    log = compare(run_call, ToolkitPlan(), "compute_dim_weight", arguments, traced=True,
                  state=(("k", 1), ("min_ent", 0.0)))
    reads = [e for e in log if e[0] == "self.get" or e[:3] == ("dict", "v", "getitem")]
    entry = ("dict", "v", "getitem", ("str", "A"))
    spread = [entry, ("self.get", "compute_dim_weight"), entry]
    assert any(reads[i:i + 3] == spread for i in range(len(reads)))


class _HashOnce:
    """A key that can be hashed once (when stored) and then refuses."""

    def __init__(self):
        self.hashed = False

    def __hash__(self):
        if self.hashed:
            raise RuntimeError("hashed twice")
        self.hashed = True
        return 1


@pytest.mark.parametrize("first_key", ["zz", "coef"])
def test_record_check_hashes_every_key_as_set_does(first_key):
    """set(val.keys()) hashes every key, even after a key that already decides."""
    import indexfuse
    import reference_model

    for module in (indexfuse, reference_model):
        record = {first_key: 1, _HashOnce(): 2}
        model = object.__new__(module.indexpca_diment)
        with pytest.raises(RuntimeError, match="hashed twice"):
            model.is_index_coef({"x": record})
