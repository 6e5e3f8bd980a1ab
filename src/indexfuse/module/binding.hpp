// Binding call arguments to a method's parameters.
//
// What tracebacks and introspection show of the methods is this module's
// own, fixed so that callers can rely on it:
// - the argument errors raised here and the unpacking errors of
//   iteration.cpp ("need more than 1 value to unpack") keep one wording,
//   which is not CPython 3.12's ("not enough values to unpack (expected 2,
//   got 1)", "missing 1 required positional argument");
// - every method's code objects name a notional source file "indexfuse.py"
//   (traceback.hpp): the line of its `def` there and its local names come
//   from the method table (model/class.cpp), so that `inspect.signature`,
//   `help()` and traceback entries read as for a Python module;
// - exec binds `__test__` to an empty dict: the mapping in which doctest
//   looks for a module's extra tests, here holding none.
#pragma once

#include "module/function.hpp"

namespace indexfuse {

// Fills `bound` (one borrowed reference per parameter) from a vectorcall's
// positional values `args[0:nargs]` and keywords `kwnames` (values follow
// the positional ones), then from `defaults` for what is left. `params`
// holds the parameter names as str objects. On a mismatch raises TypeError
// and returns false.
bool bind_arguments(const MethodSpec& spec, PyObject* params, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

}  // namespace indexfuse
