// Module creation and execution (multi-phase initialisation).
//
// The module is created once per process and executed once; its state is
// process-wide (see state.hpp). A failed exec forgets everything it stored,
// so that the next import starts again from the create slot.

#include "module/calls.hpp"
#include "module/function.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

#include <new>
#include <string>

#ifndef INDEXFUSE_COMPILE_MINOR
#define INDEXFUSE_COMPILE_MINOR PY_MINOR_VERSION
#endif

namespace indexfuse {

namespace {

constexpr const char* kModuleName = "indexfuse";
constexpr int kInitLine = 1;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------- create --

// module.__dict__[target] = spec.<attribute>, skipped when the import spec lacks it.
bool copy_spec_attribute(PyObject* spec, PyObject* moddict, const char* attribute,
                         const char* target, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(moddict, target, value.get()) == 0;
}

bool claim_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    if (!claim_interpreter()) return nullptr;
    if (g_state.module) return Ref(g_state.module).release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* moddict = PyModule_GetDict(module.get());
    if (!moddict || !copy_spec_attribute(spec, moddict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, moddict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, moddict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, moddict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// ------------------------------------------------------------------ exec --

bool record_module(PyObject* module) {
    g_state.module = Ref::borrow(module);
    g_state.globals = PyModule_GetDict(module);
    g_state.builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!g_state.globals || !g_state.builtins) return false;
    return PyObject_SetAttrString(module, "__builtins__", g_state.builtins.get()) == 0;
}

// Warns when the running interpreter is not the one the module was built for.
bool check_version() {
    char compiled[5];
    PyOS_snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, INDEXFUSE_COMPILE_MINOR);
    const char* running = Py_GetVersion();

    bool same = true;
    for (int i = 0; i < 4; ++i) {
        if (!compiled[i]) {  // "3.9" must not match "3.10"
            same = !is_digit(running[i]);
            break;
        }
        if (compiled[i] != running[i]) {
            same = false;
            break;
        }
    }
    if (same) return true;

    char shown[5] = {};
    bool dot = false;
    for (int i = 0; i < 4; ++i) {
        if (running[i] == '.') {
            if (dot) break;
            dot = true;
        } else if (!is_digit(running[i])) {
            break;
        }
        shown[i] = running[i];
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time version %s of module '%.100s' does not match runtime "
                            "version %s",
                            compiled, kModuleName, shown) == 0;
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!key) return false;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, key.get(), module) == 0;
}

bool cache_builtins() {
    const Names& n = names();
    g_state.builtin_range = lookup_builtin(n.range.get());
    if (!g_state.builtin_range) return false;
    g_state.builtin_sum = lookup_builtin(n.sum.get());
    if (!g_state.builtin_sum) return false;
    g_state.builtin_any = lookup_builtin(n.any.get());
    return static_cast<bool>(g_state.builtin_any);
}

bool set_global(PyObject* name, PyObject* value) {
    return PyDict_SetItem(g_state.globals, name, value) == 0;
}

// `import name`, bound as the global `name`.
bool import_module(PyObject* name) {
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(name, g_state.globals, nullptr, nullptr, 0));
    return module && set_global(name, module.get());
}

// One name of a from-import: the module's attribute, else its submodule.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    if (const char* package = PyModule_GetName(module)) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", package, name));
        if (full) value = Ref::steal(PyImport_GetModule(full.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// `from package import a, b`, each bound as a global of its own name.
bool import_names(const char* package, std::initializer_list<PyObject*> items) {
    Ref package_name = Ref::steal(PyUnicode_FromString(package));
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!package_name || !fromlist) return false;
    for (PyObject* item : items)
        if (PyList_Append(fromlist.get(), item) < 0) return false;
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        package_name.get(), g_state.globals, locals.get(), fromlist.get(), 0));
    if (!module) return false;
    for (PyObject* item : items) {
        Ref value = import_from(module.get(), item);
        if (!value || !set_global(item, value.get())) return false;
    }
    return true;
}

bool import_dependencies() {
    const Names& n = names();
    return import_module(n.pandas.get()) && import_module(n.numpy.get()) &&
           import_names("tessel.modelbench", {n.entropy.get(), n.PCA.get()}) &&
           import_names("tessel", {n.process.get()});
}

bool build_method_code(std::array<MethodCode, kMethodCount>& codes) {
    for (std::size_t i = 0; i < kMethodCount; ++i)
        if (!new_method_code(kMethods[i], kClassName, codes[i])) return false;
    return true;
}

// type("indexpca_diment", (), namespace), bound as the global of that name.
bool create_class(const std::array<MethodCode, kMethodCount>& codes) {
    const Names& n = names();
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!ns || !module_name || PyDict_SetItem(ns.get(), n.module_.get(), module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), n.qualname_.get(), n.indexpca_diment.get()) < 0)
        return false;
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        Ref defaults = method_defaults(i);
        if (!defaults) return false;
        Ref function =
            new_method_function(kMethods[i], kClassName, codes[i], defaults.get(), g_state.globals);
        if (!function || PyDict_SetItemString(ns.get(), kMethods[i].name, function.get()) < 0)
            return false;
    }
    auto* metatype = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref cls = call(metatype, {n.indexpca_diment.get(), state().empty_tuple.get(), ns.get()});
    return cls && set_global(n.indexpca_diment.get(), cls.get());
}

bool run_exec_steps(PyObject* module) {
    if (!record_module(module) || !check_version() || !init_constants() ||
        !register_in_sys_modules(module) || !cache_builtins())
        return false;
    std::array<MethodCode, kMethodCount> codes;
    if (!build_method_code(codes) || !import_dependencies() || !ready_function_type() ||
        !create_class(codes))
        return false;
    Ref test = Ref::steal(PyDict_New());
    return test && set_global(names().test_.get(), test.get());
}

void fail_exec(PyObject* module) noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init indexfuse");
    Ref code = new_traceback_code("init indexfuse", kInitLine);
    if (!code) PyErr_Clear();  // keep the original exception; the entry is a nicety
    add_traceback(code.get(), PyModule_GetDict(module));
    reset_state();
}

int exec_module(PyObject* module) noexcept {
    if (g_state.module) {
        if (g_state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'indexfuse' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    bool ok = false;
    try {
        ok = run_exec_steps(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "indexfuse: unexpected C++ exception during exec");
    }
    if (ok) return 0;
    fail_exec(module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef module_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Composite indices from indicator columns.\n\n"
    "Created by a C++ extension for CPython 3.12; the class indexpca_diment\n"
    "fits principal-component coefficients within dimensions and\n"
    "nearest-neighbour entropy weights across them.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace indexfuse

PyMODINIT_FUNC PyInit_indexfuse(void) { return PyModuleDef_Init(&indexfuse::module_def); }
