// Dimension values: each dimension's index columns, scaled with their
// stored statistics and weighted by their coefficients, summed per row.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"
#include "toolkit/toolkit.hpp"

namespace indexfuse::model {

namespace {

// process.scale(data[label] * direct, method=self.scale_method,
//               range=(rec["min"], rec["max"]), mean=rec["mean"], std=rec["std"]) * rec["coef"]
Ref weighted_column(PyObject* self, PyObject* data, PyObject* key, PyObject* record) {
    const Names& n = names();
    // Decoded by shape alone: the direction first, then the label.
    Ref direction = key_direction(key);
    if (!direction) return {};
    Ref label = key_label(key);
    if (!label) return {};
    Ref scaler = toolkit::column_scaler();
    if (!scaler) return {};
    Ref column = getitem(data, label.get());
    if (!column) return {};
    Ref signed_column = Ref::steal(PyNumber_Multiply(column.get(), direction.get()));
    if (!signed_column) return {};

    Ref method = getattr(self, n.scale_method.get());
    if (!method) return {};
    Ref low = getitem(record, n.min.get());
    if (!low) return {};
    Ref high = getitem(record, n.max.get());
    if (!high) return {};
    Ref mean = getitem(record, n.mean.get());
    if (!mean) return {};
    Ref std = getitem(record, n.std.get());
    if (!std) return {};
    Ref scaled = toolkit::scale_column(scaler.get(), signed_column.get(), method.get(), low.get(),
                                       high.get(), mean.get(), std.get());
    if (!scaled) return {};
    Ref coef = getitem(record, n.coef.get());
    if (!coef) return {};
    return Ref::steal(PyNumber_Multiply(scaled.get(), coef.get()));
}

// One dimension value from a coefficient table. A row whose index values are
// all missing gets NaN rather than a score of 0 (sum with min_count=1).
Ref table_value(PyObject* self, PyObject* data, PyObject* table, PyObject* scale) {
    Ref columns = Ref::steal(PyList_New(0));
    if (!columns) return {};
    bool done = for_each_item(table, [&](PyObject* key, PyObject* record) {
        Ref column = weighted_column(self, data, key, record);
        return column && PyList_Append(columns.get(), column.get()) == 0;
    });
    if (!done) return {};

    Ref frame = concat_columns(columns.get());
    if (!frame) return {};
    const Constants& s = constants();
    Ref value = call_method(frame.get(), names().sum.get(), {s.int1.get(), s.int1.get()},
                            s.kw.axis_min_count.get());
    if (!value || scale == Py_None) return value;
    return toolkit::rescale(value.get(), scale);
}

// A dimension-value tree from a coefficient tree: its copy, each value replaced.
Ref tree_value(PyObject* self, PyObject* data, PyObject* tree, PyObject* scale) {
    Ref values = call_method(tree, names().copy.get());
    if (!values) return {};
    bool done = for_each_item(values.get(), [&](PyObject* key, PyObject* child) {
        Method nested = Method::lookup(self, names().compute_dim_value.get());
        if (!nested) return false;
        Ref value = nested.call({data, child, scale}, constants().kw.scale_arg.get());
        return value && PyObject_SetItem(values.get(), key, value.get()) == 0;
    });
    return done ? values : Ref();
}

}  // namespace

Ref compute_dim_value(PyObject* self, PyObject* data, PyObject* index_coef, PyObject* scale) {
    Ref is_table = call_method(self, names().is_index_coef.get(), {index_coef});
    if (!is_table) return {};
    int table = PyObject_IsTrue(is_table.get());
    if (table < 0) return {};
    if (table) return table_value(self, data, index_coef, scale);
    if (PyDict_Check(index_coef)) return tree_value(self, data, index_coef, scale);
    return none();
}

}  // namespace indexfuse::model
