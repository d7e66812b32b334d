#pragma once

#include <new>

#include "model/failure.hpp"
#include "module/errors.hpp"
#include "module/panic.hpp"

namespace kestrova::surface {

// Runs the body of one entry point. This is the only place where outcomes of
// the core and the kit become the exception the interpreter sees, and no C++
// exception gets past it. Each body has one entry point, so inlining it
// costs no code and keeps the compiler from giving the body a frame of its own.
template <class Body>
[[gnu::always_inline]] inline PyObject* guarded_call(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonErrorSet&) {
    if (pending_is_panic()) raise_panic(take_pending_panic());
  } catch (const ValidationError& error) {
    PyErr_SetString(PyExc_ValueError, error.message);
  } catch (const InvariantFailure& failure) {
    raise_panic(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_panic(InvariantFailure("unexpected C++ exception"));
  }
  return nullptr;
}

}  // namespace kestrova::surface
