#include "module/state.hpp"

#include <initializer_list>

namespace indexfuse {

std::int64_t g_interpreter_id = -1;
// Never destroyed: a destructor running after the interpreter has finalised
// would release objects that no longer exist.
State& g_state = *new State;

namespace {

bool intern_names(Names& names) {
#define INDEXFUSE_INTERN_NAME(field, text)                                     \
    names.field = Ref::steal(PyUnicode_InternFromString(text));                \
    if (!names.field) return false;
    INDEXFUSE_NAMES(INDEXFUSE_INTERN_NAME)
#undef INDEXFUSE_INTERN_NAME
    return true;
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

bool build_keyword_tuples(const Names& n, KeywordTuples& kw) {
    kw.pca = tuple_of({n.cumulative.get(), n.scale_method.get()});
    kw.scale = tuple_of({n.method.get(), n.range.get(), n.mean.get(), n.std.get()});
    kw.rescale = tuple_of({n.method.get(), n.range.get()});
    kw.axis = tuple_of({n.axis.get()});
    kw.min_count = tuple_of({n.min_count.get()});
    kw.k = tuple_of({n.k.get()});
    kw.scale_arg = tuple_of({n.scale.get()});
    return kw.pca && kw.scale && kw.rescale && kw.axis && kw.min_count && kw.k &&
           kw.scale_arg;
}

}  // namespace

bool init_constants() noexcept {
    State& s = g_state;
    s.empty_tuple = Ref::steal(PyTuple_New(0));
    s.empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    s.empty_str = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!s.empty_tuple || !s.empty_bytes || !s.empty_str) return false;
    if (!intern_names(s.names) || !build_keyword_tuples(s.names, s.kw)) return false;

    s.int0 = Ref::steal(PyLong_FromLong(0));
    s.int1 = Ref::steal(PyLong_FromLong(1));
    s.int10 = Ref::steal(PyLong_FromLong(10));
    if (!s.int0 || !s.int1 || !s.int10) return false;

    const Names& n = s.names;
    Ref keys = tuple_of({n.coef.get(), n.max.get(), n.min.get(), n.mean.get(), n.std.get()});
    if (!keys) return false;
    s.record_keys = Ref::steal(PyFrozenSet_New(keys.get()));
    return static_cast<bool>(s.record_keys);
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
    // A plain module's attribute that its type does not define lives in the
    // module dict: reading it there is what the generic lookup would do.
    if (PyModule_CheckExact(owner.get()) && !_PyType_Lookup(&PyModule_Type, attribute)) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(owner.get()), attribute);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(owner.get(), attribute));
}

}  // namespace indexfuse
