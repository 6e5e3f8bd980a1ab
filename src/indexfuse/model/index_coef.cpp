// Index coefficients: walks the schema, fits the PCA object once per leaf
// of index entries and builds a coefficient table per leaf.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"
#include "toolkit/toolkit.hpp"

namespace indexfuse::model {

namespace {

// data.columns.tolist(), built anew for every membership test.
int is_column(PyObject* data, PyObject* label) {
    Ref columns = getattr(data, names().columns.get());
    if (!columns) return -1;
    Ref labels = call_method(columns.get(), names().tolist.get());
    if (!labels) return -1;
    return PySequence_Contains(labels.get(), label);
}

bool append(PyObject* list, PyObject* item) { return PyList_Append(list, item) == 0; }

// Accepts one index entry into `index` (its key) and `direct` (its direction)
// when it names a column, by its element 0 or as a whole; skips it otherwise.
bool accept_entry(PyObject* data, PyObject* entry, PyObject* index, PyObject* direct) {
    const Constants& s = constants();
    if (is_tuple_or_list(entry)) {
        Ref label = getitem(entry, s.int0.get());
        if (!label) return false;
        int found = is_column(data, label.get());
        if (found < 0) return false;
        if (found) {
            Ref key = Ref::steal(PySequence_Tuple(entry));
            if (!key || !append(index, key.get())) return false;
            Ref direction = key_direction(entry);
            return direction && append(direct, direction.get());
        }
    }
    int found = is_column(data, entry);
    if (found <= 0) return found == 0;
    return append(index, entry) && append(direct, s.int1.get());
}

// The column labels to select: element 0 of tuple and list keys, other keys whole.
Ref selection_labels(PyObject* index) {
    Ref labels = Ref::steal(PyList_New(0));
    if (!labels) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(index); ++i) {
        Ref label = key_label(PyList_GET_ITEM(index, i));
        if (!label || !append(labels.get(), label.get())) return {};
    }
    return labels;
}

// self.pca.<statistic>[position], with self.pca looked up afresh.
Ref fitted_statistic(PyObject* self, PyObject* statistic, PyObject* position) {
    Ref pca = getattr(self, names().pca.get());
    if (!pca) return {};
    Ref values = getattr(pca.get(), statistic);
    if (!values) return {};
    return getitem(values.get(), position);
}

// {"coef": coef[i], "max": ..., "min": ..., "mean": ..., "std": ...}
Ref coefficient_record(PyObject* self, PyObject* coef, PyObject* position) {
    const Names& n = names();
    Ref record = Ref::steal(PyDict_New());
    Ref value = getitem(coef, position);
    if (!record || !value || PyDict_SetItem(record.get(), n.coef.get(), value.get()) < 0)
        return {};
    for (PyObject* statistic : {n.max.get(), n.min.get(), n.mean.get(), n.std.get()}) {
        value = fitted_statistic(self, statistic, position);
        if (!value || PyDict_SetItem(record.get(), statistic, value.get()) < 0) return {};
    }
    return record;
}

// self.abnormal_index.append({key: coef[i]}) when coef[i] is in abnormal_coef.
bool record_if_abnormal(PyObject* self, PyObject* key, PyObject* coef, PyObject* abnormal_coef,
                        PyObject* position) {
    Ref value = getitem(coef, position);
    if (!value) return false;
    int abnormal = PySequence_Contains(abnormal_coef, value.get());
    if (abnormal <= 0) return abnormal == 0;

    Ref abnormal_index = getattr(self, names().abnormal_index.get());
    if (!abnormal_index) return false;
    Method append_record = Method::lookup(abnormal_index.get(), names().append.get());
    if (!append_record) return false;
    value = getitem(coef, position);
    if (!value) return false;
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), key, value.get()) < 0) return false;
    return static_cast<bool>(append_record.call({record.get()}));
}

Ref coefficient_table(PyObject* self, PyObject* data, PyObject* leaf) {
    Ref index = Ref::steal(PyList_New(0));
    Ref direct = Ref::steal(PyList_New(0));
    Ref entries = Ref::steal(PyObject_GetIter(leaf));
    if (!index || !direct || !entries) return {};
    while (Ref entry = Ref::steal(PyIter_Next(entries.get())))
        if (!accept_entry(data, entry.get(), index.get(), direct.get())) return {};
    if (PyErr_Occurred()) return {};
    if (PyList_GET_SIZE(index.get()) == 0) return none();

    Ref labels = selection_labels(index.get());
    if (!labels) return {};
    Ref selected = getitem(data, labels.get());
    if (!selected) return {};
    Ref index_data = Ref::steal(PyNumber_Multiply(selected.get(), direct.get()));
    if (!index_data) return {};

    Ref pca = getattr(self, names().pca.get());
    if (!pca || !toolkit::fit_pca(pca.get(), index_data.get())) return {};
    pca = getattr(self, names().pca.get());
    if (!pca) return {};
    Ref scored = toolkit::score_pca(pca.get(), index_data.get());
    Ref dim_value_coef_abnormal[3];
    if (!scored || !unpack_exact(scored.get(), dim_value_coef_abnormal, 3)) return {};
    PyObject* coef = dim_value_coef_abnormal[1].get();
    PyObject* abnormal_coef = dim_value_coef_abnormal[2].get();

    Ref table = Ref::steal(PyDict_New());
    if (!table) return {};
    // for i in range(len(index)), with the range taken at import.
    Ref count = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(index.get())));
    if (!count) return {};
    Ref positions = call(constants().builtin_range.get(), {count.get()});
    if (!positions) return {};
    Ref iterator = Ref::steal(PyObject_GetIter(positions.get()));
    if (!iterator) return {};
    while (Ref position = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref key = getitem(index.get(), position.get());
        if (!key) return {};
        Ref record = coefficient_record(self, coef, position.get());
        if (!record || PyDict_SetItem(table.get(), key.get(), record.get()) < 0 ||
            !record_if_abnormal(self, key.get(), coef, abnormal_coef, position.get()))
            return {};
    }
    if (PyErr_Occurred()) return {};
    return table;
}

Ref coefficient_tree(PyObject* self, PyObject* data, PyObject* node) {
    Ref tree = call_method(node, names().copy.get());
    if (!tree) return {};
    bool done = for_each_item(tree.get(), [&](PyObject* key, PyObject* value) {
        if (value == Py_None) return true;
        Method nested = Method::lookup(self, names().compute_index_coef.get());
        if (!nested) return false;
        Ref child = nested.call({data, value});
        return child && PyObject_SetItem(tree.get(), key, child.get()) == 0;
    });
    return done ? tree : Ref();
}

}  // namespace

Ref compute_index_coef(PyObject* self, PyObject* data, PyObject* schema) {
    if (PyDict_Check(schema)) return coefficient_tree(self, data, schema);
    if (is_tuple_or_list(schema)) return coefficient_table(self, data, schema);
    return none();
}

}  // namespace indexfuse::model
