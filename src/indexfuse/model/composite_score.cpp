// The composite score: dimension values times their weights, summed, with
// the directions of dimension keys applied along the way.

#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"
#include "module/state.hpp"

#include <cmath>
#include <utility>

namespace indexfuse::model {

namespace {

// A float that nothing but `obj` refers to: no one else can tell it from a
// new float of the same value.
bool is_private_float(const Ref& obj) {
    return PyFloat_CheckExact(obj.get()) && Py_REFCNT(obj.get()) == 1;
}

// Adds `term` to the accumulator with `+=`; a fresh object whenever the
// accumulator is still the integer 0, so the inputs are never modified.
// 0 + x has the value of the float x (only -0.0 turns into 0.0), so a
// private float term is taken as the sum itself; and, as the interpreter's
// own float addition does, a private float total takes a float sum in place.
bool accumulate(Ref& total, Ref term) {
    if (total.get() == state().int0.get() && is_private_float(term)) {
        const double value = PyFloat_AS_DOUBLE(term.get());
        if (!(value == 0.0 && std::signbit(value))) {
            total = std::move(term);
            return true;
        }
    }
    if (is_private_float(total) && PyFloat_CheckExact(term.get())) {
        reinterpret_cast<PyFloatObject*>(total.get())->ob_fval += PyFloat_AS_DOUBLE(term.get());
        return true;
    }
    total = Ref::steal(PyNumber_InPlaceAdd(total.get(), term.get()));
    return static_cast<bool>(total);
}

// child * direction. x * 1 has the value of the float x, so a private float
// child is its own product with the direction 1.
Ref apply_direction(Ref child, PyObject* direction) {
    if (direction == state().int1.get() && is_private_float(child)) return child;
    return Ref::steal(PyNumber_Multiply(child.get(), direction));
}

bool add_children(PyObject* self, PyObject* dim_value, PyObject* weights, Ref& total) {
    ItemsIterator items;
    if (!items.open(weights)) return false;
    Ref key, weight;
    int status;
    while ((status = items.next(key, weight)) == 1) {
        Ref direction = key_direction(key.get());
        if (!direction) return false;
        Method nested = Method::lookup(self, names().compute_score.get());
        if (!nested) return false;
        Ref values = getitem(dim_value, key.get());
        if (!values) return false;
        Ref child = nested.call({values.get(), weight.get()});
        if (!child) return false;
        Ref signed_child = apply_direction(std::move(child), direction.get());
        if (!signed_child || !accumulate(total, std::move(signed_child))) return false;
    }
    return status == 0;
}

}  // namespace

Ref compute_score(PyObject* self, PyObject* dim_value, PyObject* dim_weight) {
    Ref total = state().int0;
    if (PyFloat_Check(dim_weight) || PyLong_Check(dim_weight)) {
        Ref weighted = Ref::steal(PyNumber_Multiply(dim_value, dim_weight));
        if (!weighted || !accumulate(total, std::move(weighted))) return {};
    } else if (PyDict_Check(dim_weight)) {
        if (!add_children(self, dim_value, dim_weight, total)) return {};
    }
    return total;
}

}  // namespace indexfuse::model
