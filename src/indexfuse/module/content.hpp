// What the module holds beyond its frame: its docstring, the imports it
// performs and the globals it defines. The frame (module.cpp) runs the steps
// below in order while the module executes; the class registration
// (model/class.cpp) supplies them. Each returns false with an exception set.
#pragma once

#include <span>

namespace indexfuse::content {

// `import module` when `names` is empty, else `from module import names...`,
// each name bound as a global of its own name.
struct Import {
    const char* module;
    std::span<const char* const> names;
};

// The module's docstring.
extern const char kDocstring[];

// Interned names and constants.
bool init_constants() noexcept;

// The builtins the content keeps for itself.
bool take_builtins();

// Code objects (for introspection and traceback entries).
bool build_code();

// The imports, in order.
std::span<const Import> imports() noexcept;

// Creates what the module defines and binds it as globals.
bool define_globals();

// Forgets everything the steps above built.
void reset() noexcept;

}  // namespace indexfuse::content
