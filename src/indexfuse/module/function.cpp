#include "module/function.hpp"

#include "module/binding.hpp"
#include "module/calls.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

#include <cstddef>
#include <new>
#include <string>

namespace indexfuse {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* name;            // str: "fit"
    PyObject* qualname;        // str: "Class.fit"
    PyObject* module;          // str: "indexfuse"
    PyObject* defaults;        // tuple, or None
    PyObject* params;          // tuple of the parameter names, self first
    PyObject* code;            // code object for introspection
    PyObject* traceback_code;  // code object naming the method in tracebacks
    PyObject* globals;         // the module dict, for traceback frames
    PyObject* dict;
    PyObject* weakreflist;
};

Function* as_function(PyObject* obj) noexcept { return reinterpret_cast<Function*>(obj); }

PyObject* run_body(const MethodSpec& spec, PyObject* const* bound) noexcept {
    // Every nested call of a recursive method comes back through here, so a
    // an argument that contains itself ends in RecursionError.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = nullptr;
    try {
        result = spec.body(bound);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "indexfuse: unexpected C++ exception");
    }
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%s() returned NULL without setting an exception",
                     spec.name);
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    const MethodSpec& spec = *f->spec;
    PyObject* bound[kMaxParams];
    PyObject* result = nullptr;
    if (!state().ready) {
        // A class that outlived a failed exec: what its methods read is gone.
        PyErr_Format(PyExc_ImportError, "%s is not initialised: import it again", kModuleName);
    } else if (bind_arguments(spec, f->params, f->defaults, args, PyVectorcall_NARGS(nargsf),
                              kwnames, bound)) {
        result = run_body(spec, bound);
    }
    if (!result) add_traceback(f->traceback_code, f->globals);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->params);
    Py_VISIT(f->code);
    Py_VISIT(f->traceback_code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->params);
    Py_CLEAR(f->code);
    Py_CLEAR(f->traceback_code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

// Read-only attributes: each getter returns one field, or a fixed value.
template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*) noexcept {
    auto* field = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(*field);
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_empty_dict(PyObject*, void*) noexcept { return PyDict_New(); }

// Pickling a method pickles a reference to it by qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<offsetof(Function, name)>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<offsetof(Function, qualname)>, nullptr, nullptr, nullptr},
    {"__module__", get_field<offsetof(Function, module)>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<offsetof(Function, defaults)>, nullptr, nullptr, nullptr},
    {"__code__", get_field<offsetof(Function, code)>, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_empty_dict, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A tuple of `count` interned strings, each `text(i)`.
template <class Text>
Ref tuple_of_strings(int count, Text text) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return {};
    for (int i = 0; i < count; ++i) {
        PyObject* item = PyUnicode_InternFromString(text(i));
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple;
}

Ref parameter_names(const MethodSpec& spec) {
    return tuple_of_strings(spec.nparams, [&](int i) { return spec.params[i].name; });
}

// A code object that carries the signature (for inspect and help()).
Ref new_introspection_code(const MethodSpec& spec, PyObject* params, PyObject* qualname) {
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, spec.name, spec.line)));
    if (!code) return {};
    Ref local_names = tuple_of_strings(spec.nlocals, [&](int i) { return spec.locals[i]; });
    if (!local_names) return {};
    Ref varnames = Ref::steal(PySequence_Concat(params, local_names.get()));
    if (!varnames) return {};

    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !kwargs) return {};
    auto set_int = [&](const char* key, long value) {
        Ref number = Ref::steal(PyLong_FromLong(value));
        return number && PyDict_SetItemString(kwargs.get(), key, number.get()) == 0;
    };
    if (!set_int("co_argcount", spec.nparams) || !set_int("co_posonlyargcount", 0) ||
        !set_int("co_kwonlyargcount", 0) ||
        !set_int("co_nlocals", static_cast<long>(PyTuple_GET_SIZE(varnames.get()))) ||
        !set_int("co_flags", CO_OPTIMIZED | CO_NEWLOCALS) ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0)
        return {};
    return Ref::steal(PyObject_VectorcallDict(replace.get(), nullptr, 0, kwargs.get()));
}

// A static type, initialised by field name; the fields left out are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "indexfuse.function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "A method of a class of the indexfuse module.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(Function, weakreflist),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(Function, dict),
};
#pragma GCC diagnostic pop

std::string qualified_name(const MethodSpec& spec, const char* class_name) {
    return std::string(class_name) + "." + spec.name;
}

bool new_method_code(const MethodSpec& spec, const char* class_name, MethodCode& out) {
    const std::string qualified = qualified_name(spec, class_name);
    Ref qualname = Ref::steal(PyUnicode_FromString(qualified.c_str()));
    Ref params = parameter_names(spec);
    if (!qualname || !params) return false;
    out.code = new_introspection_code(spec, params.get(), qualname.get());
    const std::string traceback_name = std::string(kModuleName) + "." + qualified;
    out.traceback_code = new_traceback_code(traceback_name.c_str(), spec.line);
    return out.code && out.traceback_code;
}

Ref default_value(const Default& value) {
    switch (value.kind) {
        case Default::Kind::integer:
            return Ref::steal(PyLong_FromLong(value.integer));
        case Default::Kind::text:
            return Ref::steal(PyUnicode_InternFromString(value.text));
        case Default::Kind::none:
            break;
    }
    return Ref::borrow(Py_None);
}

// The tuple of the trailing parameters' defaults, or None when there are none.
Ref defaults_of(const MethodSpec& spec) {
    if (spec.ndefaults == 0) return Ref::borrow(Py_None);
    Ref defaults = Ref::steal(PyTuple_New(spec.ndefaults));
    if (!defaults) return {};
    const int first = spec.nparams - spec.ndefaults;
    for (int i = 0; i < spec.ndefaults; ++i) {
        Ref value = default_value(spec.params[first + i].value);
        if (!value) return {};
        PyTuple_SET_ITEM(defaults.get(), i, value.release());
    }
    return defaults;
}

Ref new_method_function(const MethodSpec& spec, const char* class_name, const MethodCode& code) {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(qualified_name(spec, class_name).c_str()));
    Ref params = parameter_names(spec);
    Ref defaults = defaults_of(spec);
    if (!name || !qualname || !params || !defaults) return {};

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(state().module_name.get());
    f->defaults = defaults.release();
    f->params = params.release();
    f->code = Py_NewRef(code.code.get());
    f->traceback_code = Py_NewRef(code.traceback_code.get());
    f->globals = Py_NewRef(state().globals);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace

bool new_class_code(const ClassSpec& cls, std::span<MethodCode> codes) {
    for (std::size_t i = 0; i < cls.methods.size(); ++i)
        if (!new_method_code(cls.methods[i], cls.name, codes[i])) return false;
    return true;
}

Ref new_class(const ClassSpec& cls, std::span<const MethodCode> codes) {
    if (PyType_Ready(&FunctionType) < 0) return {};  // idempotent
    const State& s = state();
    Ref name = Ref::steal(PyUnicode_InternFromString(cls.name));
    Ref ns = Ref::steal(PyDict_New());
    if (!name || !ns || PyDict_SetItem(ns.get(), s.names.module_.get(), s.module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), s.names.qualname_.get(), name.get()) < 0)
        return {};
    for (std::size_t i = 0; i < cls.methods.size(); ++i) {
        const MethodSpec& spec = cls.methods[i];
        Ref function = new_method_function(spec, cls.name, codes[i]);
        if (!function || PyDict_SetItemString(ns.get(), spec.name, function.get()) < 0) return {};
    }
    auto* metatype = reinterpret_cast<PyObject*>(&PyType_Type);
    return call(metatype, {name.get(), s.empty_tuple.get(), ns.get()});
}

}  // namespace indexfuse
