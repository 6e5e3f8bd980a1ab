// The function type of the methods of the module's classes, and the method
// tables that describe them.
//
// Its objects are stored in a class namespace and behave like Python
// functions there: they bind to instances (`obj.fit` is a bound method,
// `Class.fit(obj, data)` works too), show a name, qualified name, module,
// defaults and a code object, and support `inspect.signature`. Calls go
// through vectorcall, and `obj.fit(data)` needs no bound-method object.
#pragma once

#include "module/ref.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <utility>

namespace indexfuse {

inline constexpr std::size_t kMaxParams = 5;
inline constexpr std::size_t kMaxLocals = 12;

// A method's body: receives the bound arguments (self first), one per
// parameter; returns a new reference, or NULL with an exception set.
using MethodBody = PyObject* (*)(PyObject* const* args);

// A parameter's default value: None, an int or a str.
struct Default {
    enum class Kind { none, integer, text };
    Kind kind = Kind::none;
    long integer = 0;
    const char* text = nullptr;
};

inline constexpr Default kNoneDefault{};
constexpr Default int_default(long value) { return {Default::Kind::integer, value, nullptr}; }
constexpr Default str_default(const char* value) { return {Default::Kind::text, 0, value}; }

struct Param {
    constexpr Param() = default;
    constexpr Param(const char* name) : name(name) {}  // NOLINT: a required parameter
    constexpr Param(const char* name, Default value) : name(name), has_default(true), value(value) {}

    const char* name = nullptr;
    bool has_default = false;
    Default value{};
};

struct MethodSpec {
    const char* name;  // "fit"
    int line;          // line of the `def` in the notional source file (traceback.hpp)
    std::array<Param, kMaxParams> params;
    int nparams;       // self included
    int ndefaults;     // trailing parameters with a default
    std::array<const char*, kMaxLocals> locals;  // further local names, for the code object
    int nlocals;
    MethodBody body;
};

namespace detail {

template <class... Args>
constexpr std::size_t arity(Ref (*)(Args...)) {
    return sizeof...(Args);
}

template <auto Function, std::size_t... I>
PyObject* call_body(PyObject* const* args, std::index_sequence<I...>) {
    return Function(args[I]...).release();
}

// A function of borrowed arguments returning a Ref, as a method body.
template <auto Function>
PyObject* body(PyObject* const* args) {
    return call_body<Function>(args, std::make_index_sequence<arity(Function)>{});
}

template <auto Function>
consteval MethodSpec make_method(const char* name, int line, const Param* params,
                                 std::size_t nparams, const char* const* locals,
                                 std::size_t nlocals) {
    if (nparams != arity(Function)) throw "one body argument per parameter";
    if (nparams > kMaxParams || nlocals > kMaxLocals) throw "too many parameters or locals";
    MethodSpec spec{name, line, {}, static_cast<int>(nparams), 0, {}, static_cast<int>(nlocals),
                    body<Function>};
    for (std::size_t i = 0; i < nparams; ++i) {
        if (params[i].has_default)
            ++spec.ndefaults;
        else if (spec.ndefaults > 0)
            throw "a parameter without a default follows one with a default";
        spec.params[i] = params[i];
    }
    for (std::size_t i = 0; i < nlocals; ++i) spec.locals[i] = locals[i];
    return spec;
}

}  // namespace detail

// The table entry of a method whose body is `Function`, which takes one
// argument per parameter (self first). Parameters with a default come last.
template <auto Function, std::size_t NParams, std::size_t NLocals>
consteval MethodSpec method(const char* name, int line, const Param (&params)[NParams],
                            const char* const (&locals)[NLocals]) {
    return detail::make_method<Function>(name, line, params, NParams, locals, NLocals);
}

template <auto Function, std::size_t NParams>
consteval MethodSpec method(const char* name, int line, const Param (&params)[NParams]) {
    return detail::make_method<Function>(name, line, params, NParams, nullptr, 0);
}

// The two code objects of a method: one carries its signature (its
// `__code__`), the other names it in traceback entries.
struct MethodCode {
    Ref code;
    Ref traceback_code;
};

struct ClassSpec {
    const char* name;
    std::span<const MethodSpec> methods;
};

// One MethodCode per method of `cls`, in table order.
bool new_class_code(const ClassSpec& cls, std::span<MethodCode> codes);

// type(cls.name, (), namespace), the namespace holding `__module__`,
// `__qualname__` and the method functions in table order; `codes` from
// new_class_code.
Ref new_class(const ClassSpec& cls, std::span<const MethodCode> codes);

}  // namespace indexfuse
