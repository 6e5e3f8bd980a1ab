// Calling Python objects: plain calls, attribute reads and method calls
// looked up the way the interpreter looks up `obj.name(...)`.
#pragma once

#include "module/ref.hpp"

#include <initializer_list>

namespace indexfuse {

// callable(*positional, **dict(zip(kwnames, keyword_values))), where `args`
// holds the positional values followed by one value per name in `kwnames`.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         PyObject* kwnames = nullptr);

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline bool setattr(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value) == 0;
}

inline Ref getitem(PyObject* obj, PyObject* key) {
    return Ref::steal(PyObject_GetItem(obj, key));
}

// `obj.name` read as a method, ready to be called later. Like the
// interpreter, it skips the bound-method object when `name` resolves to a
// plain function or method descriptor on the type and the instance does not
// shadow it; otherwise it holds whatever the attribute lookup returned.
class Method {
public:
    static Method lookup(PyObject* obj, PyObject* name);

    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }

    Ref call(std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const;

private:
    Ref callable_;
    Ref self_;  // set when `callable_` is unbound and needs `obj` first
};

// obj.name(*args): looked up and called in one step.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);

// isinstance(obj, (tuple, list)), subclasses included.
inline bool is_tuple_or_list(PyObject* obj) noexcept {
    return PyTuple_Check(obj) || PyList_Check(obj);
}

}  // namespace indexfuse
