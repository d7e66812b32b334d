#include <atomic>
#include <cstdint>

#include "module/class_registry.hpp"
#include "module/guarded_call.hpp"

namespace kestrova::surface {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrova",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; the state below is shared
// by the whole process, so no other interpreter may use it.
std::atomic<std::int64_t> first_interpreter_id{-1};
PyObject* module_object = nullptr;

Ref initialize() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_allocation_failure();
  std::int64_t expected = -1;
  if (!first_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "kestrova modules do not yet support subinterpreters; the module can only be "
                    "imported once per process, in its first interpreter");
    throw_python_error();
  }
  if (module_object != nullptr) return Ref::borrow(module_object);

  Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
  if (!module) throw_python_error();
  for (ClassId id : {ClassId::Order, ClassId::Fill, ClassId::OrderBook, ClassId::OrderType,
                     ClassId::OrderStatus}) {
    register_class(module.get(), id);
  }
  module_object = Py_NewRef(module.get());
  return module;
}

}  // namespace

}  // namespace kestrova::surface

PyMODINIT_FUNC PyInit_kestrova() {
  return kestrova::surface::guarded_call(kestrova::surface::initialize);
}
