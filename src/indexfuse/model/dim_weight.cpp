// Dimension weights: each dimension's share of the information (entropy
// above the all-zero baseline) that the dimensions carry.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"
#include "module/state.hpp"
#include "toolkit/toolkit.hpp"

#include <initializer_list>

namespace indexfuse::model {

namespace {

// isinstance(obj, pandas.Series), with pandas.Series looked up now.
int is_series(PyObject* obj) {
    Ref series = lookup_global_attr(names().pandas.get(), names().Series.get());
    if (!series) return -1;
    return PyObject_IsInstance(obj, series.get());
}

// entropy.multivar_knn(values, k=self.k) - self.min_ent
Ref information(PyObject* self, PyObject* estimator, PyObject* values) {
    Ref k = getattr(self, names().k.get());
    if (!k) return {};
    Ref ent = toolkit::estimate_entropy(estimator, values, k.get());
    if (!ent) return {};
    Ref min_ent = getattr(self, names().min_ent.get());
    if (!min_ent) return {};
    return Ref::steal(PyNumber_Subtract(ent.get(), min_ent.get()));
}

// The information of one usable value: a Series enters by its `.values`.
Ref value_information(PyObject* self, PyObject* value) {
    int series = is_series(value);
    if (series < 0) return {};
    Ref values = series ? getattr(value, names().values.get()) : Ref::borrow(value);
    if (!values) return {};
    Ref estimator = toolkit::entropy_estimator();
    if (!estimator) return {};
    return information(self, estimator.get(), values.get());
}

// sum(iv.values()), with the sum taken at import.
Ref total_information(PyObject* iv) {
    Ref values = call_method(iv, names().values.get());
    if (!values) return {};
    return call(constants().builtin_sum.get(), {values.get()});
}

// self.compute_dim_weight(sub_values), unpacked into (weights, iv).
bool nested_weights(PyObject* self, PyObject* sub_values, Ref& weight, Ref& iv) {
    return unpack_weights(call_method(self, names().compute_dim_weight.get(), {sub_values}),
                          weight, iv);
}

// The information of a nested dimension: that of its composite, the
// iv-weighted, direction-signed average of its sub-dimension values.
Ref nested_information(PyObject* self, PyObject* sub_values) {
    Ref weight, iv;
    if (!nested_weights(self, sub_values, weight, iv)) return {};

    Ref columns = Ref::steal(PyList_New(0));
    if (!columns) return {};
    bool done = for_each_item(iv.get(), [&](PyObject* key, PyObject* sub_iv) {
        Ref value = getitem(sub_values, key);
        if (!value) return false;
        Ref weighted = Ref::steal(PyNumber_Multiply(value.get(), sub_iv));
        if (!weighted) return false;
        Ref direction = key_direction(key);
        if (!direction) return false;
        Ref signed_value = Ref::steal(PyNumber_Multiply(weighted.get(), direction.get()));
        return signed_value && PyList_Append(columns.get(), signed_value.get()) == 0;
    });
    if (!done) return {};

    Ref frame = concat_columns(columns.get());
    if (!frame) return {};
    Ref row_sums = call_method(frame.get(), names().sum.get(), {constants().int1.get()},
                               constants().kw.axis.get());
    if (!row_sums) return {};
    Ref total = total_information(iv.get());
    if (!total) return {};
    Ref composite = Ref::steal(PyNumber_TrueDivide(row_sums.get(), total.get()));
    if (!composite) return {};

    Ref estimator = toolkit::entropy_estimator();
    if (!estimator) return {};
    Ref values = getattr(composite.get(), names().values.get());
    if (!values) return {};
    return information(self, estimator.get(), values.get());
}

// isinstance(value, types), each type tested in turn up to the first match.
int is_instance_of_any(PyObject* value, std::initializer_list<PyObject*> types) {
    for (PyObject* type : types) {
        int match = PyObject_IsInstance(value, type);
        if (match != 0) return match;
    }
    return 0;
}

// isinstance(value, (pandas.DataFrame, pandas.Series, numpy.ndarray))
int is_usable_value(PyObject* value) {
    const Names& n = names();
    Ref frame = lookup_global_attr(n.pandas.get(), n.DataFrame.get());
    if (!frame) return -1;
    Ref series = lookup_global_attr(n.pandas.get(), n.Series.get());
    if (!series) return -1;
    Ref ndarray = lookup_global_attr(n.numpy.get(), n.ndarray.get());
    if (!ndarray) return -1;
    return is_instance_of_any(value, {frame.get(), series.get(), ndarray.get()});
}

// dim_iv: the information of every dimension that has a usable value or nests.
Ref dimension_information(PyObject* self, PyObject* dim_value) {
    Ref dim_iv = Ref::steal(PyDict_New());
    if (!dim_iv) return {};
    bool done = for_each_item(dim_value, [&](PyObject* key, PyObject* value) {
        Ref iv;
        if (PyDict_Check(value)) {
            iv = nested_information(self, value);
        } else {
            int usable = is_usable_value(value);
            if (usable <= 0) return usable == 0;
            iv = value_information(self, value);
        }
        return iv && PyDict_SetItem(dim_iv.get(), key, iv.get()) == 0;
    });
    return done ? dim_iv : Ref();
}

// Each dimension's share of the total information, None where it has none.
Ref shares(PyObject* dim_value, PyObject* dim_iv) {
    Ref dim_weight = Ref::steal(PyDict_New());
    if (!dim_weight) return {};
    Ref total;  // the same for every key, so summed once
    bool done = for_each_item(dim_value, [&](PyObject* key, PyObject*) {
        int has_iv = PyDict_Contains(dim_iv, key);
        if (has_iv < 0) return false;
        Ref share = none();
        if (has_iv) {
            Ref iv = getitem(dim_iv, key);
            if (!iv) return false;
            if (!total) {
                total = total_information(dim_iv);
                if (!total) return false;
            }
            share = Ref::steal(PyNumber_TrueDivide(iv.get(), total.get()));
            if (!share) return false;
        }
        return PyDict_SetItem(dim_weight.get(), key, share.get()) == 0;
    });
    return done ? dim_weight : Ref();
}

// {sub_key: share * sub_weight}; a sub-dimension without a weight keeps None.
Ref spread_share(PyObject* share, PyObject* sub_weights) {
    Ref spread = Ref::steal(PyDict_New());
    if (!spread) return {};
    bool done = for_each_item(sub_weights, [&](PyObject* key, PyObject* sub_weight) {
        Ref weight = sub_weight == Py_None ? none()
                                           : Ref::steal(PyNumber_Multiply(share, sub_weight));
        return weight && PyDict_SetItem(spread.get(), key, weight.get()) == 0;
    });
    return done ? spread : Ref();
}

// Replaces the share of every nested dimension by its spread over the
// sub-dimensions, whose weights are estimated once more.
bool spread_nested(PyObject* self, PyObject* dim_value, PyObject* dim_weight) {
    if (PyDict_GET_SIZE(dim_weight) == 0) return true;
    return for_each_item(dim_weight, [&](PyObject* key, PyObject* share) {
        Ref entry = getitem(dim_value, key);
        if (!entry) return false;
        if (!PyDict_Check(entry.get())) return true;
        // self.compute_dim_weight(dim_value[key]): the method is looked up
        // before the entry is read again.
        Method nested = Method::lookup(self, names().compute_dim_weight.get());
        if (!nested) return false;
        entry = getitem(dim_value, key);
        if (!entry) return false;
        Ref weight, iv;
        if (!unpack_weights(nested.call({entry.get()}), weight, iv)) return false;
        Ref spread = spread_share(share, weight.get());
        return spread && PyDict_SetItem(dim_weight, key, spread.get()) == 0;
    });
}

Ref mapping_weights(PyObject* self, PyObject* dim_value) {
    Ref dim_iv = dimension_information(self, dim_value);
    if (!dim_iv) return {};
    if (PyDict_GET_SIZE(dim_iv.get()) == 0) return pair(dim_value, dim_value);
    Ref dim_weight = shares(dim_value, dim_iv.get());
    if (!dim_weight || !spread_nested(self, dim_value, dim_weight.get())) return {};
    return pair(dim_weight.get(), dim_iv.get());
}

// One dimension's values: the weight 1 and its information.
Ref single_weight(PyObject* self, PyObject* dim_value) {
    Ref iv = value_information(self, dim_value);
    if (!iv) return {};
    return pair(constants().int1.get(), iv.get());
}

// isinstance(obj, (tuple, list, pandas.Series, numpy.ndarray))
int is_single_dimension(PyObject* obj) {
    const Names& n = names();
    Ref series = lookup_global_attr(n.pandas.get(), n.Series.get());
    if (!series) return -1;
    Ref ndarray = lookup_global_attr(n.numpy.get(), n.ndarray.get());
    if (!ndarray) return -1;
    return is_instance_of_any(obj, {reinterpret_cast<PyObject*>(&PyTuple_Type),
                                    reinterpret_cast<PyObject*>(&PyList_Type), series.get(),
                                    ndarray.get()});
}

}  // namespace

Ref compute_dim_weight(PyObject* self, PyObject* dim_value) {
    if (PyDict_Check(dim_value)) return mapping_weights(self, dim_value);
    int single = is_single_dimension(dim_value);
    if (single < 0) return {};
    if (!single) return none();
    return single_weight(self, dim_value);
}

}  // namespace indexfuse::model
