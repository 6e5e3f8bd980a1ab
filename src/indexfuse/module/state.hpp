// Process-wide state of the module frame: the module object, its globals,
// the builtins module and the few names and constants the frame itself
// uses. What the module holds beyond that is the content's (content.hpp).
//
// Everything here is written only while the module executes (under the
// interpreter lock) and read afterwards; a failed exec resets it completely.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace indexfuse {

inline constexpr const char* kModuleName = "indexfuse";

struct FrameNames {
    Ref items;      // "items"
    Ref module_;    // "__module__"
    Ref qualname_;  // "__qualname__"
    Ref test_;      // "__test__"
};

struct State {
    Ref module;
    PyObject* globals = nullptr;  // the module's dict, owned by `module`
    Ref builtins;                 // the builtins module
    bool ready = false;           // exec completed: the content may run

    FrameNames names;
    Ref module_name;  // "indexfuse"
    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
};

// The interpreter that first created the module (-1 until then). It outlives
// a failed exec, so a second interpreter stays refused.
extern std::int64_t g_interpreter_id;
extern State& g_state;

inline const State& state() noexcept { return g_state; }

// Builds the frame's names and constants. Returns false with an exception set.
bool init_frame_constants() noexcept;

// Forgets everything exec stored, so that a later import starts afresh.
void reset_state() noexcept;

// builtins.<name>; NameError when the builtins lack it.
Ref lookup_builtin(PyObject* name);

// The value of module global `name` at this moment: the module dict first,
// then the builtins; NameError when neither has it.
Ref lookup_global(PyObject* name);

// <global>.<attribute>, both read now.
Ref lookup_global_attr(PyObject* global, PyObject* attribute);

// Binds module global `name`.
bool set_global(PyObject* name, PyObject* value);

}  // namespace indexfuse
