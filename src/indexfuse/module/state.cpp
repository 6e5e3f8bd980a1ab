#include "module/state.hpp"

#include <array>
#include <cstddef>
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

namespace {

// Reads of <global>.<attribute> remembered between uses. A method reads its
// globals at the moment of use; the interpreter runs the same reads in
// Python through caches that stay valid only while the dicts read from are
// unchanged, and this does the same: a watcher on the module's globals and
// on each module read from forgets every remembered read at the first change
// to any of them. A read is remembered only when it went through two plain
// dicts keyed by exact strings (so no key's __eq__ takes part in it) and a
// plain module (so no __getattr__ or descriptor does); then reading it again
// could only give the same object.
class AttributeCache {
public:
    PyObject* find(PyObject* global, PyObject* attribute) const noexcept {
        for (const Entry& entry : entries_) {
            if (entry.global == global && entry.attribute == attribute &&
                entry.generation == generation_ && Py_IS_TYPE(entry.owner, &PyModule_Type))
                return entry.value;  // kept alive by the unchanged module dict
        }
        return nullptr;
    }

    // Remembers owner.attribute == value, just read through the module
    // globals (a global that only the builtins hold is never remembered) and
    // owner's dict; owner is held by the caller. Any failure just leaves the
    // read unremembered.
    void remember(PyObject* global, PyObject* attribute, PyObject* owner, PyObject* value) noexcept {
        PyObject* owner_dict = PyModule_GetDict(owner);
        if (!watch(g_state.globals) || !watch(owner_dict)) return;
        // A key's __eq__ may have changed either dict during those reads and
        // then left it keyed by strings alone. Reading again now runs no code
        // and shows whether the dicts still hold what was read.
        if (PyDict_GetItemWithError(g_state.globals, global) != owner ||
            PyDict_GetItemWithError(owner_dict, attribute) != value) {
            PyErr_Clear();
            return;
        }
        Entry& slot = free_slot(global, attribute);
        slot = Entry{global, attribute, generation_, owner, value};
    }

    void forget_all() noexcept { ++generation_; }

    // Called with an exception set when exec fails: that one is kept.
    void reset() noexcept {
        if (watcher_ >= 0) {
            PyObject* pending = PyErr_GetRaisedException();
            if (PyDict_ClearWatcher(watcher_) < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
        }
        *this = AttributeCache{};
    }

private:
    struct Entry {
        PyObject* global = nullptr;
        PyObject* attribute = nullptr;
        std::uint64_t generation = 0;
        PyObject* owner = nullptr;  // borrowed: held by the unchanged globals
        PyObject* value = nullptr;  // borrowed: held by the unchanged module dict
    };
    struct CheckedDict {
        PyObject* dict = nullptr;
        std::uint64_t generation = 0;
    };

    static int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept;

    // Starts watching `dict` if its keys are all exact strings; false if not
    // (or if no watcher is to be had), with no exception set.
    bool watch(PyObject* dict) noexcept {
        for (const CheckedDict& checked : checked_)
            if (checked.dict == dict && checked.generation == generation_) return true;
        if (!PyDict_CheckExact(dict) || !keys_are_exact_strings(dict)) return false;
        if (watcher_ == kNoWatcher) return false;
        if (watcher_ == kNotYet && (watcher_ = PyDict_AddWatcher(on_dict_event)) < 0) {
            watcher_ = kNoWatcher;  // all taken: read every time, as without a cache
            PyErr_Clear();
            return false;
        }
        if (PyDict_Watch(watcher_, dict) < 0) {
            PyErr_Clear();
            return false;
        }
        CheckedDict& slot = checked_[next_checked_++ % checked_.size()];
        slot = CheckedDict{dict, generation_};
        return true;
    }

    static bool keys_are_exact_strings(PyObject* dict) noexcept {
        Py_ssize_t pos = 0;
        PyObject* key;
        while (PyDict_Next(dict, &pos, &key, nullptr))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    // The entry for this read if it has one, else a stale one, else each in turn.
    Entry& free_slot(PyObject* global, PyObject* attribute) noexcept {
        for (Entry& entry : entries_)
            if (entry.global == global && entry.attribute == attribute) return entry;
        for (Entry& entry : entries_)
            if (entry.generation != generation_) return entry;
        return entries_[next_entry_++ % entries_.size()];
    }

    std::array<Entry, 16> entries_{};
    std::array<CheckedDict, 8> checked_{};
    std::size_t next_entry_ = 0;
    std::size_t next_checked_ = 0;
    std::uint64_t generation_ = 1;  // entries of an older generation are forgotten
    static constexpr int kNotYet = -1;
    static constexpr int kNoWatcher = -2;
    int watcher_ = kNotYet;
};

// Never destroyed, like the state whose globals it reads.
AttributeCache& g_attribute_cache = *new AttributeCache;

int AttributeCache::on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    g_attribute_cache.forget_all();
    return 0;
}

Ref read_global_attr(PyObject* global, PyObject* attribute) {
    Ref owner = lookup_global(global);
    if (!owner) return {};
    // A plain module's attribute that its type does not define lives in the
    // module dict: reading it there is what the generic lookup would do.
    if (PyModule_CheckExact(owner.get()) && !_PyType_Lookup(&PyModule_Type, attribute)) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(owner.get()), attribute);
        if (value) {
            g_attribute_cache.remember(global, attribute, owner.get(), value);
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(owner.get(), attribute));
}

}  // namespace

void reset_state() noexcept {
    g_attribute_cache.reset();
    g_state = State{};
}

Ref lookup_global_attr(PyObject* global, PyObject* attribute) {
    if (PyObject* value = g_attribute_cache.find(global, attribute)) return Ref::borrow(value);
    return read_global_attr(global, attribute);
}

}  // namespace indexfuse
