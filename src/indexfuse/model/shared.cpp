#include "model/shared.hpp"

#include "model/constants.hpp"
#include "module/calls.hpp"
#include "module/iteration.hpp"
#include "module/state.hpp"

#include <utility>

namespace indexfuse::model {

Ref key_direction(PyObject* key) {
    if (is_tuple_or_list(key)) {
        Py_ssize_t length = PyObject_Length(key);
        if (length < 0) return {};
        if (length == 2) return getitem(key, constants().int1.get());
    }
    return Ref(constants().int1);
}

Ref key_label(PyObject* key) {
    if (is_tuple_or_list(key)) return getitem(key, constants().int0.get());
    return Ref::borrow(key);
}

bool unpack_weights(Ref result, Ref& weight, Ref& iv) {
    Ref both[2];
    if (!result || !unpack_exact(result.get(), both, 2)) return false;
    weight = std::move(both[0]);
    iv = std::move(both[1]);
    return true;
}

Ref concat_columns(PyObject* columns) {
    Ref concat = lookup_global_attr(names().pandas.get(), names().concat.get());
    if (!concat) return {};
    return call(concat.get(), {columns, constants().int1.get()}, constants().kw.axis.get());
}

Ref pair(PyObject* first, PyObject* second) { return Ref::steal(PyTuple_Pack(2, first, second)); }

}  // namespace indexfuse::model
