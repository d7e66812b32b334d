#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "module/borrow_flag.hpp"
#include "module/class_id.hpp"
#include "module/errors.hpp"

namespace kestrova::surface {

// The layout of every instance: header, the core value, the borrow flag.
template <class Value>
struct Instance {
  PyObject ob_base;  // what PyObject_HEAD declares
  Value value;
  BorrowFlag borrow_flag;
};

template <class Value>
Instance<Value>* instance_cast(PyObject* object) {
  return reinterpret_cast<Instance<Value>*>(object);
}

// Type objects by class; filled once when each type is created.
inline PyTypeObject* class_types[kClassCount] = {};

// Creates the type on first need; an internal failure if that fails.
PyTypeObject* required_class_type(ClassId id);

template <ClassValue Value>
PyTypeObject* type_of() {
  PyTypeObject* type = class_types[static_cast<std::size_t>(ClassOf<Value>::kId)];
  return type != nullptr ? type : required_class_type(ClassOf<Value>::kId);
}

template <ClassValue Value>
bool is_instance(PyObject* object) {
  PyTypeObject* type = type_of<Value>();
  return Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type);
}

// A new instance of `type` holding `value`, borrow flag free.
template <class Value>
Ref make_instance(PyTypeObject* type, Value&& value) {
  using Stored = std::decay_t<Value>;
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) throw_allocation_failure();
  auto* instance = instance_cast<Stored>(object);
  new (&instance->value) Stored(std::forward<Value>(value));
  new (&instance->borrow_flag) BorrowFlag();
  return Ref::steal(object);
}

template <class Value>
Ref make_instance(Value&& value) {
  return make_instance(type_of<std::decay_t<Value>>(), std::forward<Value>(value));
}

template <class Value>
void dealloc_instance(PyObject* self) {
  instance_cast<Value>(self)->value.~Value();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace kestrova::surface
