// The composite score: dimension values times their weights, summed, with
// the directions of dimension keys applied along the way.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"

namespace indexfuse::model {

namespace {

// Adds `term` to the accumulator with `+=`; a fresh object whenever the
// accumulator is still the integer 0, so the inputs are never modified.
bool accumulate(Ref& total, PyObject* term) {
    total = Ref::steal(PyNumber_InPlaceAdd(total.get(), term));
    return static_cast<bool>(total);
}

bool add_children(PyObject* self, PyObject* dim_value, PyObject* weights, Ref& total) {
    return for_each_item(weights, [&](PyObject* key, PyObject* weight) {
        Ref direction = key_direction(key);
        if (!direction) return false;
        Method nested = Method::lookup(self, names().compute_score.get());
        if (!nested) return false;
        Ref values = getitem(dim_value, key);
        if (!values) return false;
        Ref child = nested.call({values.get(), weight});
        if (!child) return false;
        Ref signed_child = Ref::steal(PyNumber_Multiply(child.get(), direction.get()));
        return signed_child && accumulate(total, signed_child.get());
    });
}

}  // namespace

Ref compute_score(PyObject* self, PyObject* dim_value, PyObject* dim_weight) {
    Ref total = constants().int0;
    if (PyFloat_Check(dim_weight) || PyLong_Check(dim_weight)) {
        Ref weighted = Ref::steal(PyNumber_Multiply(dim_value, dim_weight));
        if (!weighted || !accumulate(total, weighted.get())) return {};
    } else if (PyDict_Check(dim_weight)) {
        if (!add_children(self, dim_value, dim_weight, total)) return {};
    }
    return total;
}

}  // namespace indexfuse::model
