#include "module/binding.hpp"

namespace indexfuse {

namespace {

void raise_count_error(const MethodSpec& spec, Py_ssize_t given) {
    const Py_ssize_t required = spec.nparams - spec.ndefaults;
    const bool too_few = given < required;
    const Py_ssize_t expected = too_few ? required : spec.nparams;
    const char* bound = spec.ndefaults == 0 ? "exactly" : too_few ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
}

// str equality without running any Python code (a subclass's __eq__ is
// ignored, as CPython's own keyword matching ignores it).
bool same_name(PyObject* key, PyObject* name) noexcept {
    if (key == name) return true;
    return PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0;
}

// Position of parameter `name` among the keywords: identity first, then equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
    for (Py_ssize_t j = 0; j < count; ++j)
        if (same_name(PyTuple_GET_ITEM(kwnames, j), name)) return j;
    return -1;
}

// Position of the parameter named by `key` within params[first:], or -1.
int find_parameter(PyObject* params, int first, PyObject* key) noexcept {
    const int count = static_cast<int>(PyTuple_GET_SIZE(params));
    for (int i = first; i < count; ++i)
        if (PyTuple_GET_ITEM(params, i) == key) return i;
    for (int i = first; i < count; ++i)
        if (same_name(key, PyTuple_GET_ITEM(params, i))) return i;
    return -1;
}

// Every keyword in call order: stores the known ones, rejects the rest.
bool bind_keywords(const MethodSpec& spec, PyObject* params, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* const* kwvalues, PyObject** bound) {
    const int first = static_cast<int>(nargs);
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        int i = find_parameter(params, first, key);
        if (i >= 0) {
            bound[i] = kwvalues[j];
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
        } else if (find_parameter(params, 0, key) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
        }
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const MethodSpec& spec, PyObject* params, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const int nparams = spec.nparams;
    const int required = nparams - spec.ndefaults;

    if (nargs > nparams || (!kwnames && nargs < required)) {
        raise_count_error(spec, nargs);
        return false;
    }
    for (int i = 0; i < nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    if (kwnames) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t left = PyTuple_GET_SIZE(kwnames);
        for (int i = static_cast<int>(nargs); i < nparams; ++i) {
            const bool is_required = i < required;
            if (!is_required && left == 0) continue;
            Py_ssize_t j = find_keyword(kwnames, PyTuple_GET_ITEM(params, i));
            if (j >= 0) {
                bound[i] = kwvalues[j];
                --left;
            } else if (is_required) {
                // Counts the parameters before the gap, not the arguments given.
                raise_count_error(spec, i);
                return false;
            }
        }
        if (left > 0 && !bind_keywords(spec, params, nargs, kwnames, kwvalues, bound))
            return false;
    }

    for (int i = required; i < nparams; ++i)
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(defaults, i - required);
    return true;
}

}  // namespace indexfuse
