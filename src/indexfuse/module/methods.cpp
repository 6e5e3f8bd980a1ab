#include "module/methods.hpp"

#include "model/model.hpp"
#include "module/state.hpp"

namespace indexfuse {

namespace {

PyObject* init_body(PyObject* const* a) { return model::construct(a[0], a[1], a[2], a[3], a[4]).release(); }
PyObject* fit_body(PyObject* const* a) { return model::fit(a[0], a[1]).release(); }
PyObject* score_body(PyObject* const* a) { return model::score(a[0], a[1], a[2]).release(); }
PyObject* compute_index_coef_body(PyObject* const* a) {
    return model::compute_index_coef(a[0], a[1], a[2]).release();
}
PyObject* compute_dim_value_body(PyObject* const* a) {
    return model::compute_dim_value(a[0], a[1], a[2], a[3]).release();
}
PyObject* compute_dim_weight_body(PyObject* const* a) {
    return model::compute_dim_weight(a[0], a[1]).release();
}
PyObject* compute_score_body(PyObject* const* a) {
    return model::compute_score(a[0], a[1], a[2]).release();
}
PyObject* is_index_coef_body(PyObject* const* a) { return model::is_index_coef(a[0], a[1]).release(); }

}  // namespace

// Lines refer to the notional source file "indexfuse.py" that traceback
// entries name.
const std::array<MethodSpec, kMethodCount> kMethods = {{
    {"__init__", 24, 5, {"self", "schema", "scale_method", "pca_cumulative", "ent_k"}, 3,
     {}, init_body},
    {"fit", 32, 2, {"self", "data"}, 0,
     {"dim_value"}, fit_body},
    {"score", 40, 3, {"self", "data", "scale"}, 1,
     {"dim_value", "composite"}, score_body},
    {"compute_index_coef", 46, 3, {"self", "data", "schema"}, 0,
     {"key", "val", "index", "direct", "i", "index_data", "dim_value", "coef", "abnormal_coef",
      "index_coef"},
     compute_index_coef_body},
    {"compute_dim_value", 72, 4, {"self", "data", "index_coef", "scale"}, 1,
     {"dim_value", "key", "val", "index", "direct", "k", "v"}, compute_dim_value_body},
    {"compute_dim_weight", 96, 2, {"self", "dim_value"}, 0,
     {"dim_iv", "key", "val", "weight", "iv", "k", "v", "ent", "dim_weight"},
     compute_dim_weight_body},
    {"compute_score", 132, 3, {"self", "dim_value", "dim_weight"}, 0,
     {"score", "key", "val", "direct"}, compute_score_body},
    {"is_index_coef", 146, 2, {"self", "x"}, 0,
     {"key", "val"}, is_index_coef_body},
}};

Ref method_defaults(std::size_t index) {
    const State& s = state();
    switch (index) {
        case 0:  // __init__
            return Ref::steal(PyTuple_Pack(3, s.names.max_min.get(), s.int1.get(), s.int10.get()));
        case 2:  // score
        case 4:  // compute_dim_value
            return Ref::steal(PyTuple_Pack(1, Py_None));
        default:
            return Ref::borrow(Py_None);
    }
}

}  // namespace indexfuse
