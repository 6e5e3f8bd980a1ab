#include "module/state.hpp"

namespace indexfuse {

std::int64_t g_interpreter_id = -1;
// Never destroyed: a destructor running after the interpreter has finalised
// would release objects that no longer exist.
State& g_state = *new State;

namespace {

bool intern(Ref& field, const char* text) {
    field = Ref::steal(PyUnicode_InternFromString(text));
    return static_cast<bool>(field);
}

}  // namespace

bool init_frame_constants() noexcept {
    State& s = g_state;
    FrameNames& n = s.names;
    if (!intern(n.items, "items") || !intern(n.module_, "__module__") ||
        !intern(n.qualname_, "__qualname__") || !intern(n.test_, "__test__") ||
        !intern(s.module_name, kModuleName))
        return false;
    s.empty_tuple = Ref::steal(PyTuple_New(0));
    s.empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    s.empty_str = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return s.empty_tuple && s.empty_bytes && s.empty_str;
}

void reset_state() noexcept { g_state = State{}; }

Ref lookup_builtin(PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(g_state.builtins.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

Ref lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(g_state.globals, name);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    return lookup_builtin(name);
}

Ref lookup_global_attr(PyObject* global, PyObject* attribute) {
    Ref owner = lookup_global(global);
    if (!owner) return {};
    return Ref::steal(PyObject_GetAttr(owner.get(), attribute));
}

bool set_global(PyObject* name, PyObject* value) {
    return PyDict_SetItem(g_state.globals, name, value) == 0;
}

}  // namespace indexfuse
