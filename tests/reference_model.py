"""A plain-Python model of the ``indexpca_diment`` class, used as an oracle.

It is written from the design documents, step by step, without looking at the
extension's C++: the differential tests run both on the same inputs and the
same recording fakes and require the same results, the same exceptions (type
and message) and the same calls in the same order.

What it has to reproduce besides the arithmetic:

* the module globals ``pandas``, ``numpy``, ``entropy``, ``PCA`` and
  ``process`` are looked up in this module's namespace each time they are
  used, so tests rebind them here exactly as they rebind them on
  ``indexfuse`` (``monkeypatch.setattr(reference_model, "PCA", fake)``);
* argument binding with the module frame's messages (``_method`` below);
* unpacking with the module frame's messages (``_unpack``) and the dict walk
  that only notices a change of size (``_items``);
* the three mended behaviours: ``fit`` puts ``k``, ``min_ent``,
  ``index_coef`` and ``dim_weight`` back when it fails; a sub-dimension whose
  weight is ``None`` keeps ``None`` when a nested share is spread; a dimension
  value sums its rows with ``min_count=1``;
* Python's own evaluation order of the natural one-line expression wherever
  the description leaves the order open.
"""

from __future__ import annotations

import builtins

import numpy
import pandas
from tessel import process
from tessel.modelbench import PCA, entropy

__all__ = ["indexpca_diment", "pandas", "numpy", "entropy", "PCA", "process"]

# The module takes these builtins once, when it is initialised.
_range = builtins.range
_sum = builtins.sum
_any = builtins.any

_RECORD_KEYS = {"coef", "max", "min", "mean", "std"}


# ---------------------------------------------------------------- helpers --


def _is_dict(obj) -> bool:
    """isinstance(obj, dict) by the object's real type (subclasses included)."""
    return dict in type(obj).__mro__


def _is_seq(obj) -> bool:
    """isinstance(obj, (tuple, list)) by the object's real type."""
    mro = type(obj).__mro__
    return tuple in mro or list in mro


def _is_number(obj) -> bool:
    """isinstance(obj, float) or isinstance(obj, int), bool and float64 included."""
    mro = type(obj).__mro__
    return float in mro or int in mro


def _need_more(found: int) -> ValueError:
    return ValueError(f"need more than {found} value{'' if found == 1 else 's'} to unpack")


def _too_many(expected: int) -> ValueError:
    return ValueError(f"too many values to unpack (expected {expected})")


def _unpack(obj, count: int) -> tuple:
    """``a, b, ... = obj`` with the module frame's messages.

    An exact tuple or list is checked by its size; anything else is iterated,
    and one item past ``count`` is taken to detect a surplus.
    """
    if type(obj) is tuple or type(obj) is list:
        size = len(obj)
        if size > count:
            raise _too_many(count)
        if size < count:
            raise _need_more(size)
        return tuple(obj)
    iterator = iter(obj)
    items = []
    for position in _range(count):
        try:
            items.append(next(iterator))
        except StopIteration:
            raise _need_more(position) from None
    try:
        next(iterator)
    except StopIteration:
        return tuple(items)
    raise _too_many(count)


def _items(mapping):
    """``for key, value in mapping.items()`` as the module walks a mapping.

    An exact dict is walked in place and only a change of its size is noticed
    (RuntimeError before the next step); anything else goes through its own
    ``items()``, whose items must unpack into pairs.
    """
    if type(mapping) is dict:
        return _walk_dict(mapping)
    return _walk_items(iter(mapping.items()))


def _walk_dict(mapping):
    size = len(mapping)
    iterator = iter(dict.items(mapping))
    while True:
        if len(mapping) != size:
            raise RuntimeError("dictionary changed size during iteration")
        try:
            pair = next(iterator)
        except StopIteration:
            return
        yield pair


def _walk_items(iterator):
    for item in iterator:
        yield _unpack(item, 2)


def _direction(key):
    """key[1] for a tuple or list key of exactly two elements, else 1."""
    if _is_seq(key) and len(key) == 2:
        return key[1]
    return 1


# -------------------------------------------------------- argument binding --


def _count_error(name, nparams, ndefaults, given):
    required = nparams - ndefaults
    too_few = given < required
    expected = required if too_few else nparams
    bound = "exactly" if ndefaults == 0 else ("at least" if too_few else "at most")
    plural = "" if expected == 1 else "s"
    return TypeError(f"{name}() takes {bound} {expected} positional argument{plural} ({given} given)")


def _bind(name, params, defaults, args, kwargs):
    """The module frame's argument acceptance: positional arguments fill
    parameters from the left, keywords the rest, defaults what remains."""
    nparams = len(params)
    required = nparams - len(defaults)
    nargs = len(args)
    if nargs > nparams or (not kwargs and nargs < required):
        raise _count_error(name, nparams, len(defaults), nargs)
    bound = list(args) + [_MISSING] * (nparams - nargs)
    if kwargs:
        left = len(kwargs)
        for i in _range(nargs, nparams):
            is_required = i < required
            if not is_required and left == 0:
                continue
            if params[i] in kwargs:
                bound[i] = kwargs[params[i]]
                left -= 1
            elif is_required:
                # counts the parameters before the gap, not the arguments given
                raise _count_error(name, nparams, len(defaults), i)
        if left > 0:
            for key, value in kwargs.items():
                if key in params[nargs:]:
                    bound[params.index(key, nargs)] = value
                elif not isinstance(key, str):
                    raise TypeError(f"{name}() keywords must be strings")
                elif key in params:
                    raise TypeError(f"{name}() got multiple values for keyword argument '{key}'")
                else:
                    raise TypeError(f"{name}() got an unexpected keyword argument '{key}'")
    for i in _range(required, nparams):
        if bound[i] is _MISSING:
            bound[i] = defaults[i - required]
    return bound


_MISSING = object()


def _method(*params, defaults=()):
    """Gives a method body the module frame's argument acceptance."""

    def wrap(body):
        name = body.__name__

        def function(*args, **kwargs):
            return body(*_bind(name, params, defaults, args, kwargs))

        function.__name__ = name
        function.__qualname__ = f"indexpca_diment.{name}"
        function.__module__ = "indexfuse"
        function.__defaults__ = tuple(defaults) if defaults else None
        return function

    return wrap


# ------------------------------------------------------------------- model --


_FITTED = ("k", "min_ent", "index_coef", "dim_weight")


def _own_values(obj):
    """What the object's own dict holds of the fitted attributes, or None without a dict."""
    if issubclass(type(obj), type):  # reads nothing through obj
        own = vars(obj)
    else:
        try:
            own = object.__getattribute__(obj, "__dict__")
        except AttributeError:
            return None
    return {name: own[name] for name in _FITTED if name in own}


def _put_back(obj, before):
    """A failed fit leaves the fitted state as the object's own dict held it,
    put back through the object's own setattr and delattr where it changed."""
    now = _own_values(obj) or {}
    for name in _FITTED:
        if name in now and name in before and now[name] is before[name]:
            continue
        if name not in now and name not in before:
            continue
        try:
            if name in before:
                setattr(obj, name, before[name])
            else:
                delattr(obj, name)
        except Exception:  # noqa: BLE001 - refused: nothing more to do
            pass


def _fit_steps(self, data):
    n = len(data)
    k = self.k
    self.k = n - 1 if n - 1 < k else k
    self.min_ent = entropy.multivar_knn(numpy.zeros(len(data)), k=self.k)
    self.index_coef = self.compute_index_coef(data, self.schema)
    dim_value = self.compute_dim_value(data, self.index_coef)
    self.dim_weight, _ = _unpack(self.compute_dim_weight(dim_value), 2)


class indexpca_diment:  # noqa: N801 - the class keeps the module's own name
    @_method("self", "schema", "scale_method", "pca_cumulative", "ent_k",
             defaults=("max_min", 1, 10))
    def __init__(self, schema, scale_method, pca_cumulative, ent_k):
        self.schema = schema
        self.k = ent_k
        self.scale_method = scale_method
        self.pca = PCA(cumulative=pca_cumulative, scale_method=scale_method)
        self.abnormal_index = []

    # ---------------------------------------------------- fit and score --

    @_method("self", "data")
    def fit(self, data):
        before = _own_values(self)
        try:
            _fit_steps(self, data)
        except BaseException:
            if before is not None:
                _put_back(self, before)
            raise
        return None

    @_method("self", "data", "scale", defaults=(None,))
    def score(self, data, scale):
        dim_value = self.compute_dim_value(data, self.index_coef, scale=scale)
        composite = self.compute_score(dim_value, self.dim_weight)
        return (composite, dim_value)

    # ------------------------------------------------- index coefficients --

    @_method("self", "data", "schema")
    def compute_index_coef(self, data, schema):
        if _is_dict(schema):
            schema = schema.copy()
            for key, val in _items(schema):
                if val is None:
                    continue
                schema[key] = self.compute_index_coef(data, val)
            return schema
        if not _is_seq(schema):
            return None

        index = []
        direct = []
        for i in schema:
            if _is_seq(i):
                if i[0] in data.columns.tolist():
                    index.append(tuple(i))
                    direct.append(i[1] if len(i) == 2 else 1)
                    continue
            if i in data.columns.tolist():
                index.append(i)
                direct.append(1)
        if len(index) == 0:
            return None

        index_data = data[[i[0] if _is_seq(i) else i for i in index]] * direct
        self.pca.fit(index_data)
        dim_value, coef, abnormal_coef = _unpack(self.pca.score(index_data), 3)
        index_coef = {}
        for i in _range(len(index)):
            index_coef[index[i]] = {
                "coef": coef[i],
                "max": self.pca.max[i],
                "min": self.pca.min[i],
                "mean": self.pca.mean[i],
                "std": self.pca.std[i],
            }
            if coef[i] in abnormal_coef:
                self.abnormal_index.append({index[i]: coef[i]})
        return index_coef

    # ---------------------------------------------------- dimension values --

    @_method("self", "data", "index_coef", "scale", defaults=(None,))
    def compute_dim_value(self, data, index_coef, scale):
        if self.is_index_coef(index_coef):
            dim_value = []
            for key, val in _items(index_coef):
                if _is_seq(key) and len(key) == 2:
                    direct = key[1]
                    index = key[0]
                elif _is_seq(key):
                    direct = 1
                    index = key[0]
                else:
                    direct = 1
                    index = key
                dim_value.append(
                    process.scale(
                        data[index] * direct,
                        method=self.scale_method,
                        range=(val["min"], val["max"]),
                        mean=val["mean"],
                        std=val["std"],
                    )
                    * val["coef"]
                )
            # A row whose index values are all missing sums to NaN, not 0.
            dim_value = pandas.concat(dim_value, axis=1).sum(axis=1, min_count=1)
            if scale is not None:
                dim_value = process.rescale(dim_value, method="max_min", range=scale)
            return dim_value
        if _is_dict(index_coef):
            dim_value = index_coef.copy()
            for k, v in _items(dim_value):
                dim_value[k] = self.compute_dim_value(data, v, scale=scale)
            return dim_value
        return None

    # --------------------------------------------------- dimension weights --

    @_method("self", "dim_value")
    def compute_dim_weight(self, dim_value):
        if not _is_dict(dim_value):
            if isinstance(dim_value, (tuple, list, pandas.Series, numpy.ndarray)):
                if isinstance(dim_value, pandas.Series):
                    dim_value = dim_value.values
                ent = entropy.multivar_knn(dim_value, k=self.k)
                iv = ent - self.min_ent
                return (1, iv)
            return None

        dim_iv = {}
        for key, val in _items(dim_value):
            if _is_dict(val):
                weight, iv = _unpack(self.compute_dim_weight(val), 2)
                weighted = [val[k] * v * _direction(k) for k, v in _items(iv)]
                v = pandas.concat(weighted, axis=1).sum(axis=1) / _sum(iv.values())
                ent = entropy.multivar_knn(v.values, k=self.k)
                iv = ent - self.min_ent
                dim_iv[key] = iv
            elif isinstance(val, (pandas.DataFrame, pandas.Series, numpy.ndarray)):
                if isinstance(val, pandas.Series):
                    val = val.values
                ent = entropy.multivar_knn(val, k=self.k)
                iv = ent - self.min_ent
                dim_iv[key] = iv
        if len(dim_iv) == 0:
            return (dim_value, dim_value)

        dim_weight = {}
        total = _MISSING  # the same for every key: summed once, where first needed
        for key, val in _items(dim_value):
            if key in dim_iv.keys():
                iv = dim_iv[key]
                if total is _MISSING:
                    total = _sum(dim_iv.values())
                dim_weight[key] = iv / total
            else:
                dim_weight[key] = None
        if len(dim_weight) > 0:
            for key, val in _items(dim_weight):
                if _is_dict(dim_value[key]):
                    weight, iv = _unpack(self.compute_dim_weight(dim_value[key]), 2)
                    # a sub-dimension without a weight keeps None
                    dim_weight[key] = {k: None if v is None else val * v for k, v in _items(weight)}
        return (dim_weight, dim_iv)

    # ----------------------------------------------------- composite score --

    @_method("self", "dim_value", "dim_weight")
    def compute_score(self, dim_value, dim_weight):
        score = 0
        if _is_number(dim_weight):
            score += dim_value * dim_weight
        elif _is_dict(dim_weight):
            for key, val in _items(dim_weight):
                direct = _direction(key)
                score += self.compute_score(dim_value[key], val) * direct
        return score

    # -------------------------------------------- coefficient-table check --

    @_method("self", "x")
    def is_index_coef(self, x):
        if not _is_dict(x):
            return False
        qualifies = [
            set(val.keys()).issubset(_RECORD_KEYS) if _is_dict(val) else False
            for key, val in _items(x)
        ]
        return True if _any(qualifies) else False
