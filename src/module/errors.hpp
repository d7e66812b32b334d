#pragma once

#include "module/ref.hpp"

namespace kestrova::surface {

// Thrown when a Python exception is already set on this thread; the call
// wrapper hands it to the interpreter as it is.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// After an allocation that reported failure: its pending error, or a
// SystemError when it left none.
[[noreturn]] void throw_allocation_failure();

// Result of one of the interpreter's object makers: a null result is printed
// and becomes the internal failure "Python API call failed".
Ref made(PyObject* object);

// Sets the TypeError "'<type>' object cannot be converted to '<target>'" and throws.
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

}  // namespace kestrova::surface
