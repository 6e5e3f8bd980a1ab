// Small steps that several of the model's computations share.
#pragma once

#include "module/ref.hpp"

namespace indexfuse::model {

// The direction a key carries: key[1] when the key is a tuple or list of
// exactly two elements, the integer 1 otherwise.
Ref key_direction(PyObject* key);

// pandas.concat(columns, axis=1)
Ref concat_columns(PyObject* columns);

// The 2-tuple (first, second).
Ref pair(PyObject* first, PyObject* second);

// None, as a new reference.
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace indexfuse::model
