#include "module/class_registry.hpp"

#include <string>
#include <vector>

#include "model/failure.hpp"
#include "module/convert.hpp"
#include "module/guarded_call.hpp"
#include "module/instance.hpp"

namespace kestrova::surface {

namespace {

const ClassDefinition& definition(ClassId id) {
  switch (id) {
    case ClassId::Order:
      return order_class();
    case ClassId::Fill:
      return fill_class();
    case ClassId::OrderBook:
      return order_book_class();
    case ClassId::OrderType:
      return order_type_class();
    case ClassId::OrderStatus:
      break;
  }
  return order_status_class();
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded_call([&]() -> Ref {
    Ref name = Ref::steal(PyType_GetName(type));
    if (name) {
      PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    } else {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
    }
    throw_python_error();
  });
}

// Replaces the pending exception by `type(message)` caused by it, and throws.
[[noreturn]] void throw_caused(PyObject* type, const std::string& message) {
  PyObject* cause_type;
  PyObject* cause;
  PyObject* cause_traceback;
  PyErr_Fetch(&cause_type, &cause, &cause_traceback);
  PyErr_NormalizeException(&cause_type, &cause, &cause_traceback);
  if (cause != nullptr && cause_traceback != nullptr)
    PyException_SetTraceback(cause, cause_traceback);
  Py_XDECREF(cause_type);
  Py_XDECREF(cause_traceback);
  Ref text =
      made(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref error = made(PyObject_CallOneArg(type, text.get()));
  PyException_SetCause(error.get(), cause);
  PyErr_SetObject(type, error.get());
  throw_python_error();
}

std::string exception_description() {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  std::string description = "<unknown error>";
  if (type != nullptr) {
    Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    const char* name_utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    const char* text_utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (name_utf8 != nullptr && text_utf8 != nullptr) {
      description = std::string(name_utf8) + ": " + text_utf8;
    }
  }
  PyErr_Clear();
  return description;
}

// Once-cells of the process: the assembled documentation of each class, and
// whether its class attributes are stored.
std::string class_docs[kClassCount];
bool class_attributes_stored[kClassCount] = {};

PyTypeObject* create_type(const ClassDefinition& d, std::string& doc) {
  if (doc.empty()) {
    doc = d.text_signature != nullptr ? std::string(d.name) + d.text_signature + "\n--\n\n" + d.doc
                                      : std::string(d.doc);
  }
  std::vector<PyType_Slot> slots;
  if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
  slots.insert(slots.end(), d.slots.begin(), d.slots.end());
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  if (!d.has_constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
  slots.push_back({0, nullptr});
  PyType_Spec spec{d.spec_name, d.basic_size, 0, 0, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* class_type(ClassId id) {
  const auto index = static_cast<std::size_t>(id);
  const ClassDefinition& d = definition(id);
  if (class_types[index] == nullptr) class_types[index] = create_type(d, class_docs[index]);
  PyTypeObject* type = class_types[index];
  if (!class_attributes_stored[index] && d.store_class_attributes != nullptr) {
    try {
      d.store_class_attributes(type);
    } catch (const PythonErrorSet&) {
      throw_caused(PyExc_RuntimeError,
                   std::string("An error occurred while initializing `") + d.name + ".__dict__`");
    }
  }
  class_attributes_stored[index] = true;
  return type;
}

PyTypeObject* required_class_type(ClassId id) {
  try {
    return class_type(id);
  } catch (const PythonErrorSet&) {
    PyErr_Print();
    throw InvariantFailure(std::string("failed to create type object for ") + definition(id).name);
  }
}

void register_class(PyObject* module, ClassId id) {
  const ClassDefinition& d = definition(id);
  PyTypeObject* type;
  try {
    type = class_type(id);
  } catch (const PythonErrorSet&) {
    throw_caused(PyExc_RuntimeError,
                 std::string("An error occurred while initializing class ") + d.name);
  }
  Ref name = made(PyUnicode_FromString(d.name));

  static PyObject* const all_name = PyUnicode_InternFromString("__all__");
  if (all_name == nullptr) throw_python_error();
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = made(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw_python_error();
  } else if (!PyList_Check(all.get())) {
    throw_conversion_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw InvariantFailure("could not append __name__ to __all__: " + exception_description());
  }
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
    throw_python_error();
  }
}

}  // namespace kestrova::surface
