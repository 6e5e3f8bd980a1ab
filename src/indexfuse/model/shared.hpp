// Small steps that several of the model's computations share.
#pragma once

#include "module/ref.hpp"

namespace indexfuse::model {

// The direction a key carries: key[1] when the key is a tuple or list of
// exactly two elements, the integer 1 otherwise.
Ref key_direction(PyObject* key);

// The column label an index key names: key[0] for a tuple or list, the key
// itself otherwise.
Ref key_label(PyObject* key);

// A result of compute_dim_weight unpacked into (weights, iv); false with an
// exception set when `result` is empty or does not unpack into two items.
bool unpack_weights(Ref result, Ref& weight, Ref& iv);

// pandas.concat(columns, axis=1)
Ref concat_columns(PyObject* columns);

// The 2-tuple (first, second).
Ref pair(PyObject* first, PyObject* second);

// None, as a new reference.
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace indexfuse::model
