#include <string>

#include "module/class_registry.hpp"
#include "module/members.hpp"

namespace kestrova::surface {

namespace {

template <class Enum>
struct EnumClass;
template <>
struct EnumClass<OrderType> {
  static constexpr OrderType kMembers[] = {OrderType::Buy, OrderType::Sell};
};
template <>
struct EnumClass<OrderStatus> {
  static constexpr OrderStatus kMembers[] = {OrderStatus::Open, OrderStatus::Filled,
                                             OrderStatus::Canceled};
};

template <class Enum>
std::string enum_text(const Enum& value) {
  return std::string(ClassOf<Enum>::kName) + "." + std::string(short_name(value));
}

template <class Enum>
PyObject* enum_int(PyObject* self) {
  return guarded_call([&] {
    auto value = SharedBorrow<Enum>::of(self);
    return to_python(static_cast<std::int64_t>(*value));
  });
}

// An interrupt, an exit or exhausted memory raised while converting the
// operand is no failed conversion: swallowing it would lose a Ctrl-C.
bool pending_must_propagate() {
  return pending_is_panic() || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
         PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Equality with members of the same class and with integers through the
// index protocol; no ordering, and no error for a foreign operand unless
// converting it raised an interrupt.
template <class Enum>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded_call([&]() -> Ref {
    auto value = SharedBorrow<Enum>::of(self);
    if (op < Py_LT || op > Py_GE) return not_implemented();
    std::int64_t other_value;
    if (is_instance<Enum>(other)) {
      other_value = static_cast<std::int64_t>(*SharedBorrow<Enum>::of(other));
    } else {
      long long converted = PyLong_AsLongLong(other);
      if (converted == -1 && PyErr_Occurred()) {
        if (pending_must_propagate()) throw_python_error();
        PyErr_Clear();
        return not_implemented();
      }
      other_value = converted;
    }
    if (op != Py_EQ && op != Py_NE) return not_implemented();
    bool equal = static_cast<std::int64_t>(*value) == other_value;
    return to_python(op == Py_EQ ? equal : !equal);
  });
}

template <class Enum>
void store_members(PyTypeObject* type) {
  for (Enum member : EnumClass<Enum>::kMembers) {
    Ref instance = make_instance(type, member);
    std::string name(short_name(member));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), instance.get()) <
        0) {
      throw_python_error();
    }
  }
}

template <class Enum>
const PyType_Slot kEnumSlots[] = {
    {Py_tp_repr, slot_function(text_form<Enum, enum_text<Enum>>)},
    {Py_nb_int, slot_function(enum_int<Enum>)},
    {Py_tp_richcompare, slot_function(enum_richcompare<Enum>)},
    {Py_tp_dealloc, slot_function(dealloc_instance<Enum>)},
};

}  // namespace

const ClassDefinition& order_type_class() {
  static const ClassDefinition definition{
      "OrderType",
      "builtins.OrderType",
      nullptr,
      "Represents the side of an order: either Buy or Sell.",
      sizeof(Instance<OrderType>),
      kEnumSlots<OrderType>,
      false,
      store_members<OrderType>,
  };
  return definition;
}

const ClassDefinition& order_status_class() {
  static const ClassDefinition definition{
      "OrderStatus",
      "builtins.OrderStatus",
      nullptr,
      "Represents the current status of an order.",
      sizeof(Instance<OrderStatus>),
      kEnumSlots<OrderStatus>,
      false,
      store_members<OrderStatus>,
  };
  return definition;
}

}  // namespace kestrova::surface
