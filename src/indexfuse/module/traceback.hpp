// Traceback entries for exceptions that leave the module's code.
#pragma once

#include "module/ref.hpp"

namespace indexfuse {

// The source file that entries name.
inline constexpr const char* kSourceFile = "indexfuse.py";

// A code object that names `function` at `line` of the source file.
Ref new_traceback_code(const char* function, int line);

// Adds one entry for `code` (from new_traceback_code) to the exception being
// raised, with `globals` as the frame's globals. Does nothing when no
// exception is set; never replaces the exception.
void add_traceback(PyObject* code, PyObject* globals) noexcept;

}  // namespace indexfuse
