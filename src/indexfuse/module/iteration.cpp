#include "module/iteration.hpp"

#include "module/calls.hpp"
#include "module/state.hpp"

namespace indexfuse {

namespace {

void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_need_more(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
}

bool unpack_sequence(PyObject* seq, Ref* out, Py_ssize_t count) {
    Py_ssize_t size = PyTuple_CheckExact(seq) ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
    if (size != count) {
        if (size > count)
            raise_too_many(count);
        else
            raise_need_more(size);
        return false;
    }
    bool tuple = PyTuple_CheckExact(seq);
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = Ref::borrow(tuple ? PyTuple_GET_ITEM(seq, i) : PyList_GET_ITEM(seq, i));
    return true;
}

bool unpack_iterable(PyObject* obj, Ref* out, Py_ssize_t count) {
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more(i);
            for (Py_ssize_t j = 0; j < i; ++j) out[j].reset();
            return false;
        }
    }
    Ref surplus = Ref::steal(PyIter_Next(iterator.get()));
    if (surplus || PyErr_Occurred()) {
        if (surplus) raise_too_many(count);
        for (Py_ssize_t j = 0; j < count; ++j) out[j].reset();
        return false;
    }
    return true;
}

}  // namespace

bool unpack_exact(PyObject* obj, Ref* out, Py_ssize_t count) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) return unpack_sequence(obj, out, count);
    return unpack_iterable(obj, out, count);
}

bool ItemsIterator::open(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        dict_ = Ref::borrow(mapping);
        size_ = PyDict_GET_SIZE(mapping);
        return true;
    }
    Ref items = call_method(mapping, state().names.items.get());
    if (!items) return false;
    iterator_ = Ref::steal(PyObject_GetIter(items.get()));
    return static_cast<bool>(iterator_);
}

int ItemsIterator::next(Ref& key, Ref& value) {
    if (dict_) {
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return 0;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return 1;
    }
    Ref item = Ref::steal(PyIter_Next(iterator_.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    Ref pair[2];
    if (!unpack_exact(item.get(), pair, 2)) return -1;
    key = std::move(pair[0]);
    value = std::move(pair[1]);
    return 1;
}

}  // namespace indexfuse
