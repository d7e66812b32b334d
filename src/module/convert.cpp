#include "module/convert.hpp"

#include "module/panic.hpp"

namespace kestrova::surface {

double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  return value;
}

std::int64_t to_int64(PyObject* object) {
  long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return value;
}

std::uint64_t to_uint64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) throw_python_error();
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return value;
}

std::string_view to_text_slow(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw_python_error();
  return {text, static_cast<std::size_t>(size)};
}

void name_argument_error(const char* name) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref first_type = Ref::steal(type);
  Ref first = Ref::steal(value);
  Ref first_traceback = Ref::steal(traceback);

  Ref text = Ref::steal(PyObject_Str(first.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("<unprintable exception>"));
  }
  Ref message = made(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  Ref replaced = made(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  PyException_SetCause(replaced.get(), PyException_GetCause(first.get()));
  PyErr_SetObject(PyExc_TypeError, replaced.get());
}

Ref to_python(const OrderId& id) {
  // Ids are ASCII, so the str is written in place.
  Ref text = made(PyUnicode_New(OrderId::kTextSize, 127));
  id.write_text(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
  return text;
}

Ref to_python(const FillId& id) {
  if (const auto* order_id = std::get_if<OrderId>(&id)) return to_python(*order_id);
  return to_python(std::get<std::string>(id));
}

}  // namespace kestrova::surface
