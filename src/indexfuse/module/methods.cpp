#include "module/methods.hpp"

#include "model/model.hpp"
#include "module/state.hpp"

#include <utility>

namespace indexfuse {

namespace {

// A model function of `Arity` borrowed arguments, as a method body.
template <auto Function, std::size_t... I>
PyObject* call_body(PyObject* const* args, std::index_sequence<I...>) {
    return Function(args[I]...).release();
}

template <auto Function, std::size_t Arity>
PyObject* body(PyObject* const* args) {
    return call_body<Function>(args, std::make_index_sequence<Arity>{});
}

}  // namespace

// Lines refer to the notional source file "indexfuse.py" that traceback
// entries name.
const std::array<MethodSpec, kMethodCount> kMethods = {{
    {"__init__", 24, 5, {"self", "schema", "scale_method", "pca_cumulative", "ent_k"}, 3,
     {}, body<model::construct, 5>},
    {"fit", 32, 2, {"self", "data"}, 0,
     {"dim_value"}, body<model::fit, 2>},
    {"score", 40, 3, {"self", "data", "scale"}, 1,
     {"dim_value", "composite"}, body<model::score, 3>},
    {"compute_index_coef", 46, 3, {"self", "data", "schema"}, 0,
     {"key", "val", "index", "direct", "i", "index_data", "dim_value", "coef", "abnormal_coef",
      "index_coef"},
     body<model::compute_index_coef, 3>},
    {"compute_dim_value", 72, 4, {"self", "data", "index_coef", "scale"}, 1,
     {"dim_value", "key", "val", "index", "direct", "k", "v"}, body<model::compute_dim_value, 4>},
    {"compute_dim_weight", 96, 2, {"self", "dim_value"}, 0,
     {"dim_iv", "key", "val", "weight", "iv", "k", "v", "ent", "dim_weight"},
     body<model::compute_dim_weight, 2>},
    {"compute_score", 132, 3, {"self", "dim_value", "dim_weight"}, 0,
     {"score", "key", "val", "direct"}, body<model::compute_score, 3>},
    {"is_index_coef", 146, 2, {"self", "x"}, 0,
     {"key", "val"}, body<model::is_index_coef, 2>},
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
