// Tells a coefficient table (index keys mapped to coefficient records) from
// a mapping of dimensions and from anything else, by the shape of its values.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"

namespace indexfuse::model {

namespace {

int is_record_key(PyObject* key) { return PySet_Contains(constants().record_keys.get(), key); }

// set(record.keys()).issubset(record keys), for any dict or dict subclass.
int keys_are_record_keys(PyObject* record) {
    if (PyDict_CheckExact(record)) {
        // Exact str keys hash and compare without running Python code, so a
        // plain dict of them is checked in place. Any other key may run code
        // in __hash__ or __eq__: that dict takes the general path, which
        // hashes every key while building the set, as set() does.
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        bool all_strings = true;
        bool all_record_keys = true;
        while (all_strings && PyDict_Next(record, &pos, &key, nullptr)) {
            if (!PyUnicode_CheckExact(key)) {
                all_strings = false;
            } else if (all_record_keys) {
                int found = is_record_key(key);
                if (found < 0) return -1;
                all_record_keys = found;
            }
        }
        if (all_strings) return all_record_keys;
    }
    Ref keys = call_method(record, names().keys.get());
    if (!keys) return -1;
    Ref key_set = Ref::steal(PySet_New(keys.get()));
    if (!key_set) return -1;
    Ref subset = call_method(key_set.get(), names().issubset.get(), {constants().record_keys.get()});
    if (!subset) return -1;
    return PyObject_IsTrue(subset.get());
}

}  // namespace

Ref is_index_coef(PyObject*, PyObject* x) {
    if (!PyDict_Check(x)) return Ref::borrow(Py_False);
    // One entry per value, the whole list built before any() reads it.
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return {};
    bool done = for_each_item(x, [&](PyObject*, PyObject* value) {
        int record = PyDict_Check(value) ? keys_are_record_keys(value) : 0;
        if (record < 0) return false;
        return PyList_Append(entries.get(), record ? Py_True : Py_False) == 0;
    });
    if (!done) return {};
    Ref any = call(constants().builtin_any.get(), {entries.get()});
    if (!any) return {};
    int found = PyObject_IsTrue(any.get());
    if (found < 0) return {};
    return Ref::borrow(found ? Py_True : Py_False);
}

}  // namespace indexfuse::model
