#include "model/constants.hpp"

#include "module/state.hpp"

#include <initializer_list>

namespace indexfuse {

// Never destroyed, like the module state.
Constants& g_constants = *new Constants;

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
    kw.axis_min_count = tuple_of({n.axis.get(), n.min_count.get()});
    kw.k = tuple_of({n.k.get()});
    kw.scale_arg = tuple_of({n.scale.get()});
    return kw.pca && kw.scale && kw.rescale && kw.axis && kw.axis_min_count && kw.k &&
           kw.scale_arg;
}

}  // namespace

bool init_constants() noexcept {
    Constants& c = g_constants;
    if (!intern_names(c.names) || !build_keyword_tuples(c.names, c.kw)) return false;

    c.int0 = Ref::steal(PyLong_FromLong(0));
    c.int1 = Ref::steal(PyLong_FromLong(1));
    c.int10 = Ref::steal(PyLong_FromLong(10));
    if (!c.int0 || !c.int1 || !c.int10) return false;

    const Names& n = c.names;
    Ref keys = tuple_of({n.coef.get(), n.max.get(), n.min.get(), n.mean.get(), n.std.get()});
    if (!keys) return false;
    c.record_keys = Ref::steal(PyFrozenSet_New(keys.get()));
    return static_cast<bool>(c.record_keys);
}

bool take_builtins() {
    Constants& c = g_constants;
    c.builtin_range = lookup_builtin(c.names.range.get());
    if (!c.builtin_range) return false;
    c.builtin_sum = lookup_builtin(c.names.sum.get());
    if (!c.builtin_sum) return false;
    c.builtin_any = lookup_builtin(c.names.any.get());
    return static_cast<bool>(c.builtin_any);
}

void reset_constants() noexcept { g_constants = Constants{}; }

}  // namespace indexfuse
