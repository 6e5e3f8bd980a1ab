#include "module/calls.hpp"

#include <array>

namespace indexfuse {

namespace {

// Values besides self that a call through Method may pass.
constexpr std::size_t kMaxCallArgs = 8;

Py_ssize_t positional_count(std::size_t total, PyObject* kwnames) noexcept {
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return static_cast<Py_ssize_t>(total) - keywords;
}

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(),
                                          positional_count(args.size(), kwnames), kwnames));
}

Method Method::lookup(PyObject* obj, PyObject* name) {
    Method method;
    PyObject* found = nullptr;
    if (_PyObject_GetMethod(obj, name, &found)) method.self_ = Ref::borrow(obj);
    method.callable_ = Ref::steal(found);
    return method;
}

Ref Method::call(std::initializer_list<PyObject*> args, PyObject* kwnames) const {
    if (!self_) return indexfuse::call(callable_.get(), args, kwnames);
    if (args.size() > kMaxCallArgs) {
        PyErr_SetString(PyExc_SystemError, "indexfuse: too many arguments for a method call");
        return {};
    }

    // Slot 0 stays free so that the callee may borrow it (ARGUMENTS_OFFSET).
    std::array<PyObject*, kMaxCallArgs + 2> stack{};
    std::size_t count = 0;
    stack[1] = self_.get();
    for (PyObject* arg : args) stack[2 + count++] = arg;
    const auto nargs = static_cast<size_t>(positional_count(count + 1, kwnames));
    return Ref::steal(PyObject_Vectorcall(callable_.get(), stack.data() + 1,
                                          nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    Method method = Method::lookup(obj, name);
    if (!method) return {};
    return method.call(args, kwnames);
}

}  // namespace indexfuse
