#include "module/errors.hpp"

#include "model/failure.hpp"

namespace kestrova::surface {

void throw_allocation_failure() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw_python_error();
}

Ref made(PyObject* object) {
  if (object == nullptr) {
    PyErr_Print();
    throw InvariantFailure("Python API call failed");
  }
  return Ref::steal(object);
}

void throw_conversion_error(PyObject* object, const char* target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  throw_python_error();
}

}  // namespace kestrova::surface
