#pragma once

#include <string>

#include "module/convert.hpp"
#include "module/guarded_call.hpp"

namespace kestrova::surface {

// A read-only property that returns one field of the value, converted.
template <ClassValue Value, auto Field>
PyObject* field_getter(PyObject* self, void*) {
  return guarded_call([&] {
    auto value = SharedBorrow<Value>::of(self);
    return to_python((*value).*Field);
  });
}

// The tp_repr slot of a class whose text form the core writes.
template <ClassValue Value, std::string (*Text)(const Value&)>
PyObject* text_form(PyObject* self) {
  return guarded_call([&] {
    auto value = SharedBorrow<Value>::of(self);
    return to_python(Text(*value));
  });
}

template <class Function>
void* slot_function(Function* function) {
  return reinterpret_cast<void*>(function);
}

// A METH_FASTCALL | METH_KEYWORDS method as the method table stores it.
template <class Function>
PyCFunction fast_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function));
}

}  // namespace kestrova::surface
