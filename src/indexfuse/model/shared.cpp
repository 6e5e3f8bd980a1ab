#include "model/shared.hpp"

#include "model/constants.hpp"
#include "module/calls.hpp"
#include "module/state.hpp"

namespace indexfuse::model {

Ref key_direction(PyObject* key) {
    if (is_tuple_or_list(key)) {
        Py_ssize_t length = PyObject_Length(key);
        if (length < 0) return {};
        if (length == 2) return getitem(key, constants().int1.get());
    }
    return Ref(constants().int1);
}

Ref concat_columns(PyObject* columns) {
    Ref concat = lookup_global_attr(names().pandas.get(), names().concat.get());
    if (!concat) return {};
    return call(concat.get(), {columns, constants().int1.get()}, constants().kw.axis.get());
}

Ref pair(PyObject* first, PyObject* second) { return Ref::steal(PyTuple_Pack(2, first, second)); }

}  // namespace indexfuse::model
