#pragma once

#include <span>

#include "module/class_id.hpp"
#include "module/ref.hpp"

namespace kestrova::surface {

// What one class file declares about its Python class.
struct ClassDefinition {
  const char* name;            // "Order"
  const char* spec_name;       // "builtins.Order"; the type keeps pointing at it
  const char* text_signature;  // "(side, price_in_ticks, quantity)", or null
  const char* doc;
  int basic_size;
  std::span<const PyType_Slot> slots;  // its own slots; the registry adds doc, base, new
  bool has_constructor;
  void (*store_class_attributes)(PyTypeObject* type);  // null unless the class has some
};

const ClassDefinition& order_class();
const ClassDefinition& fill_class();
const ClassDefinition& order_book_class();
const ClassDefinition& order_type_class();
const ClassDefinition& order_status_class();

// The type object of a class, created once per process with its class
// attributes. Throws PythonErrorSet when that fails.
PyTypeObject* class_type(ClassId id);

// Adds the class to the module and to its __all__.
void register_class(PyObject* module, ClassId id);

}  // namespace kestrova::surface
