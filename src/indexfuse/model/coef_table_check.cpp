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
    // Every value is examined (its keys() called) before the answer is known.
    bool any_record = false;
    bool done = for_each_item(x, [&](PyObject*, PyObject* value) {
        if (!PyDict_Check(value)) return true;
        int record = keys_are_record_keys(value);
        any_record = any_record || record > 0;
        return record >= 0;
    });
    if (!done) return {};
    return Ref::borrow(any_record ? Py_True : Py_False);
}

}  // namespace indexfuse::model
