// fit and score: fixed sequences of calls on the model's own methods.

#include "model/constants.hpp"
#include "model/model.hpp"
#include "model/shared.hpp"
#include "module/calls.hpp"
#include "module/state.hpp"
#include "toolkit/toolkit.hpp"

#include <array>

namespace indexfuse::model {

namespace {

// The object's own attribute dict, read only: a type's namespace, or the
// instance dict. Empty when it has none (only __slots__, say).
Ref own_dict(PyObject* obj) {
    if (PyType_Check(obj))
        return Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(obj)));
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) PyErr_Clear();
    return dict;
}

// The attributes that fit replaces, as the object's own dict held them
// before the call, so that a failed fit can put them back: otherwise a
// later score would combine new coefficients with old weights.
//
// The values are read from the own dict, not looked up: on a class, lookup
// would find inherited values and descriptors' results, which fit never
// replaced. They go back through the object's own setattr and delattr,
// never into the dict behind its owner's back (a class keeps a cache of
// its attributes that only its own setattr keeps valid), and only where
// the dict now holds something else. An object without a dict keeps what
// fit stored.
class FitSnapshot {
public:
    explicit FitSnapshot(PyObject* self) : self_(self) {
        Ref dict = own_dict(self);
        if (!dict) return;
        for (std::size_t i = 0; i < kCount; ++i)
            if (!read(dict.get(), name(i), saved_[i])) return;
        taken_ = true;
    }

    // Puts the attributes back, keeping the exception being raised.
    void restore() noexcept {
        if (!taken_) return;
        PyObject* exc = PyErr_GetRaisedException();
        Ref dict = own_dict(self_);
        for (std::size_t i = 0; i < kCount; ++i) {
            Ref now;
            if (dict && read(dict.get(), name(i), now) && now.get() == saved_[i].get()) continue;
            PyObject* before = saved_[i].get();
            int status = before ? PyObject_SetAttr(self_, name(i), before)
                                : PyObject_DelAttr(self_, name(i));
            if (status < 0) PyErr_Clear();  // absent already, or refused: nothing more to do
        }
        PyErr_SetRaisedException(exc);
    }

private:
    static constexpr std::size_t kCount = 4;

    static PyObject* name(std::size_t i) noexcept {
        const Names& n = names();
        const std::array<PyObject*, kCount> all = {n.k.get(), n.min_ent.get(),
                                                   n.index_coef.get(), n.dim_weight.get()};
        return all[i];
    }

    // dict[name] into `value` (empty when absent); false, with no exception
    // set, when the lookup itself failed (a colliding key's __eq__ raised).
    static bool read(PyObject* dict, PyObject* key, Ref& value) noexcept {
        value = Ref::borrow(PyDict_GetItemWithError(dict, key));
        if (value || !PyErr_Occurred()) return true;
        PyErr_Clear();
        return false;
    }

    PyObject* self_;  // the method's bound argument, alive for the whole call
    bool taken_ = false;
    std::array<Ref, kCount> saved_;
};

// k = min(self.k, len(data) - 1), the current object kept on a tie.
bool cap_neighbour_count(PyObject* self, Py_ssize_t rows) {
    Ref last = Ref::steal(PyLong_FromSsize_t(rows - 1));
    if (!last) return false;
    Ref k = getattr(self, names().k.get());
    if (!k) return false;
    Ref less = Ref::steal(PyObject_RichCompare(last.get(), k.get(), Py_LT));
    if (!less) return false;
    int lower = PyObject_IsTrue(less.get());
    if (lower < 0) return false;
    return setattr(self, names().k.get(), lower ? last.get() : k.get());
}

// min_ent = entropy.multivar_knn(numpy.zeros(len(data)), k=self.k)
bool store_baseline_entropy(PyObject* self, PyObject* data) {
    Ref estimator = toolkit::entropy_estimator();
    if (!estimator) return false;
    Ref zeros = lookup_global_attr(names().numpy.get(), names().zeros.get());
    if (!zeros) return false;
    Py_ssize_t rows = PyObject_Length(data);
    if (rows < 0) return false;
    Ref length = Ref::steal(PyLong_FromSsize_t(rows));
    if (!length) return false;
    Ref column = call(zeros.get(), {length.get()});
    if (!column) return false;
    Ref k = getattr(self, names().k.get());
    if (!k) return false;
    Ref baseline = toolkit::estimate_entropy(estimator.get(), column.get(), k.get());
    return baseline && setattr(self, names().min_ent.get(), baseline.get());
}

bool run_fit(PyObject* self, PyObject* data) {
    const Names& n = names();
    Py_ssize_t rows = PyObject_Length(data);
    if (rows < 0 || !cap_neighbour_count(self, rows) || !store_baseline_entropy(self, data))
        return false;

    Method coefficients = Method::lookup(self, n.compute_index_coef.get());
    if (!coefficients) return false;
    Ref schema = getattr(self, n.schema.get());
    if (!schema) return false;
    Ref index_coef = coefficients.call({data, schema.get()});
    if (!index_coef || !setattr(self, n.index_coef.get(), index_coef.get())) return false;

    Method values = Method::lookup(self, n.compute_dim_value.get());
    if (!values) return false;
    index_coef = getattr(self, n.index_coef.get());
    if (!index_coef) return false;
    Ref dim_value = values.call({data, index_coef.get()});
    if (!dim_value) return false;

    Method weights = Method::lookup(self, n.compute_dim_weight.get());
    if (!weights) return false;
    Ref weight, iv;
    if (!unpack_weights(weights.call({dim_value.get()}), weight, iv)) return false;
    return setattr(self, n.dim_weight.get(), weight.get());
}

}  // namespace

Ref fit(PyObject* self, PyObject* data) {
    FitSnapshot before(self);
    if (run_fit(self, data)) return none();
    before.restore();
    return {};
}

Ref score(PyObject* self, PyObject* data, PyObject* scale) {
    const Names& n = names();
    Method values = Method::lookup(self, n.compute_dim_value.get());
    if (!values) return {};
    Ref index_coef = getattr(self, n.index_coef.get());
    if (!index_coef) return {};
    Ref dim_value = values.call({data, index_coef.get(), scale}, constants().kw.scale_arg.get());
    if (!dim_value) return {};

    Method composite = Method::lookup(self, n.compute_score.get());
    if (!composite) return {};
    Ref dim_weight = getattr(self, n.dim_weight.get());
    if (!dim_weight) return {};
    Ref composite_score = composite.call({dim_value.get(), dim_weight.get()});
    if (!composite_score) return {};
    return pair(composite_score.get(), dim_value.get());
}

}  // namespace indexfuse::model
