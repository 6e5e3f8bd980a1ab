// Module creation and execution (multi-phase initialisation).
//
// The module is created once per process and executed once; its state is
// process-wide (see state.hpp). A failed exec forgets everything it stored,
// so that the next import starts again from the create slot.

#include "module/content.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

#include <new>
#include <utility>

namespace indexfuse {

namespace {

// The traceback entry of a failed exec, and its error when none is set.
constexpr const char* kInitName = "init indexfuse";
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
    PyOS_snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
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

// Set when exec put the module into sys.modules itself, so that a failed
// exec takes out again what it put in.
bool g_registered_by_exec = false;

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* key = state().module_name.get();
    int present = PyDict_Contains(modules, key);
    if (present != 0) return present > 0;
    if (PyDict_SetItem(modules, key, module) < 0) return false;
    g_registered_by_exec = true;
    return true;
}

// Takes the module out of sys.modules again if exec put it there; keeps the
// exception being raised.
void unregister_from_sys_modules(PyObject* module) noexcept {
    if (!std::exchange(g_registered_by_exec, false)) return;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* key = state().module_name.get();  // set before the module was registered
    PyObject* entry = PyDict_GetItemWithError(modules, key);
    if (entry != module || PyDict_DelItem(modules, key) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
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
bool import_names(const char* package, std::span<const char* const> items) {
    Ref package_name = Ref::steal(PyUnicode_FromString(package));
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!package_name || !fromlist) return false;
    for (const char* item : items) {
        Ref name = Ref::steal(PyUnicode_InternFromString(item));
        if (!name || PyList_Append(fromlist.get(), name.get()) < 0) return false;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        package_name.get(), g_state.globals, locals.get(), fromlist.get(), 0));
    if (!module) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(fromlist.get(), i));
        Ref value = import_from(module.get(), name.get());
        if (!value || !set_global(name.get(), value.get())) return false;
    }
    return true;
}

bool run_imports() {
    for (const content::Import& spec : content::imports()) {
        if (!spec.names.empty()) {
            if (!import_names(spec.module, spec.names)) return false;
            continue;
        }
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.module));
        if (!name || !import_module(name.get())) return false;
    }
    return true;
}

bool run_exec_steps(PyObject* module) {
    if (!record_module(module) || !check_version() || !init_frame_constants() ||
        !content::init_constants() || !register_in_sys_modules(module) ||
        !content::take_builtins() || !content::build_code() || !run_imports() ||
        !content::define_globals())
        return false;
    Ref test = Ref::steal(PyDict_New());
    if (!test || !set_global(state().names.test_.get(), test.get())) return false;
    g_state.ready = true;
    g_registered_by_exec = false;
    return true;
}

void fail_exec(PyObject* module) noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
    Ref code = new_traceback_code(kInitName, kInitLine);
    if (!code) PyErr_Clear();  // keep the original exception; the entry is a nicety
    add_traceback(code.get(), PyModule_GetDict(module));
    unregister_from_sys_modules(module);
    content::reset();
    reset_state();
}

int exec_module(PyObject* module) noexcept {
    if (g_state.module) {
        if (g_state.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     kModuleName);
        return -1;
    }
    bool ok = false;
    try {
        ok = run_exec_steps(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception during exec", kModuleName);
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
    content::kDocstring,
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
