#include "module/traceback.hpp"

#include <frameobject.h>

namespace indexfuse {

Ref new_traceback_code(const char* function, int line) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, function, line)));
}

void add_traceback(PyObject* code, PyObject* globals) noexcept {
    if (!code || !globals || !PyErr_Occurred()) return;
    // A pending exception would make the frame constructor fail.
    PyObject* exc = PyErr_GetRaisedException();
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace indexfuse
