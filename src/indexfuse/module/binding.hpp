// Binding call arguments to a method's parameters.
#pragma once

#include "module/function.hpp"

namespace indexfuse {

// Fills `bound` (one borrowed reference per parameter) from a vectorcall's
// positional values `args[0:nargs]` and keywords `kwnames` (values follow
// the positional ones), then from `defaults` for what is left. `params`
// holds the parameter names as str objects. On a mismatch raises TypeError
// with the interpreter's messages and returns false.
bool bind_arguments(const MethodSpec& spec, PyObject* params, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

}  // namespace indexfuse
