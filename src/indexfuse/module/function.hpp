// The function type of the model's methods.
//
// Its objects are stored in the class namespace and behave like Python
// functions there: they bind to instances (`obj.fit` is a bound method,
// `indexpca_diment.fit(obj, data)` works too), show a name, qualified name,
// module, defaults and a code object, and support `inspect.signature`. Calls
// go through vectorcall, and `obj.fit(data)` needs no bound-method object.
#pragma once

#include "module/ref.hpp"

namespace indexfuse {

inline constexpr int kMaxParams = 5;
inline constexpr int kMaxLocals = 12;

// A method's body: receives the bound arguments (self first), one per
// parameter; returns a new reference, or NULL with an exception set.
using MethodBody = PyObject* (*)(PyObject* const* args);

struct MethodSpec {
    const char* name;            // "fit"
    int line;                    // line of the `def` in the notional source file
    int nparams;                 // self included
    const char* params[kMaxParams];
    int ndefaults;               // trailing parameters with a default
    const char* locals[kMaxLocals];  // further local names, for the code object
    MethodBody body;
};

// The two code objects of a method: one carries its signature (its
// `__code__`), the other names it in traceback entries.
struct MethodCode {
    Ref code;
    Ref traceback_code;
};

bool new_method_code(const MethodSpec& spec, const char* class_name, MethodCode& out);

// Creates the function object for `spec` on class `class_name`, with the
// defaults tuple (or None) for its trailing parameters; `globals` is the
// module dict that its traceback entries carry.
Ref new_method_function(const MethodSpec& spec, const char* class_name, const MethodCode& code,
                        PyObject* defaults, PyObject* globals);

// Makes the type ready; idempotent.
bool ready_function_type() noexcept;

}  // namespace indexfuse
