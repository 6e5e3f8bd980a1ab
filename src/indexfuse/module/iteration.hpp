// Iterating mappings and unpacking results. The unpacking errors use this
// module's fixed wording (binding.hpp says where it comes from).
#pragma once

#include "module/ref.hpp"

namespace indexfuse {

// Unpacks `obj` into exactly `count` items, as `a, b = obj` does: a tuple or
// list by its size, anything else by iteration (one item past `count` is
// consumed to detect a surplus). Returns false with an exception set.
bool unpack_exact(PyObject* obj, Ref* out, Py_ssize_t count);

// `for key, value in mapping.items()`. An exact dict is walked directly and
// raises RuntimeError when its size changes underneath; anything else
// (dict subclasses included) goes through its own `items()` method, whose
// items must unpack into pairs.
class ItemsIterator {
public:
    // Returns false with an exception set (for example `None.items`).
    bool open(PyObject* mapping);

    // 1: `key` and `value` hold the next pair; 0: exhausted; -1: error.
    int next(Ref& key, Ref& value);

private:
    Ref dict_;          // exact dict being walked
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_ = 0;
    Ref iterator_;      // iterator over `items()` otherwise
};

// Calls `visit(key, value)` for every pair of `mapping.items()`, as
// ItemsIterator yields them, until a visit returns false. Returns false with
// an exception set when the walk or a visit fails.
template <class Visit>
bool for_each_item(PyObject* mapping, Visit&& visit) {
    ItemsIterator items;
    if (!items.open(mapping)) return false;
    Ref key, value;
    int status;
    while ((status = items.next(key, value)) == 1)
        if (!visit(key.get(), value.get())) return false;
    return status == 0;
}

}  // namespace indexfuse
