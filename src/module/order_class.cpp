#include "model/fill.hpp"
#include "model/order.hpp"
#include "module/class_registry.hpp"
#include "module/members.hpp"
#include "module/parameters.hpp"
#include "module/recent_book.hpp"

namespace kestrova::surface {

namespace {

PyObject* order_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    auto bound = bind_arguments<3>(parameters::kOrderNew, args, kwargs);
    auto side = convert<Copy<OrderType>>(bound[0], "side");
    auto price_in_ticks = convert<std::int64_t>(bound[1], "price_in_ticks");
    auto quantity = convert<double>(bound[2], "quantity");
    Order order = make_order(side, price_in_ticks, quantity);
    if (recent_book != nullptr) recent_book->expect(order.id);
    return make_instance(type, order);
  });
}

PyObject* order_can_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kCanMatch, args, nargs, kwnames);
    auto order = SharedBorrow<Order>::of(self);
    auto other = convert<Shared<Order>>(bound[0], "other");
    return to_python(can_match(*order, *other));
  });
}

PyObject* order_fill(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<2>(parameters::kFill, args, nargs, kwnames);
    auto order = ExclusiveBorrow<Order>::of(self);
    auto incoming = convert<Exclusive<Order>>(bound[0], "incoming");
    auto tick_size = convert<double>(bound[1], "tick_size");
    return to_python(fill(*order, *incoming, tick_size));
  });
}

PyObject* order_is_open(PyObject* self, PyObject*) {
  return guarded_call([&] {
    auto order = SharedBorrow<Order>::of(self);
    return to_python(order->is_open());
  });
}

PyMethodDef order_methods[] = {
    {"can_match", fast_method(order_can_match), METH_FASTCALL | METH_KEYWORDS,
     "can_match(self, other)\n--\n\nDetermines whether this order can match with another "
     "order.\n\n# Arguments\n- `other`: The other order to match against.\n\n# Returns\n- `true` "
     "if the orders are on opposite sides and the prices are compatible."},
    {"fill", fast_method(order_fill), METH_FASTCALL | METH_KEYWORDS,
     "fill($self, incoming, tick_size)\n--\n\nAttempts to fill this order with another incoming "
     "order.\nUpdates the quantities and statuses of both orders."},
    {"is_open", order_is_open, METH_NOARGS,
     "is_open($self)\n--\n\nChecks if the order is still open."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef order_properties[] = {
    {"id", field_getter<Order, &Order::id>, nullptr, "Getter for the order ID.", nullptr},
    {"side", field_getter<Order, &Order::side>, nullptr, "Getter for the order side.", nullptr},
    {"price_in_ticks", field_getter<Order, &Order::price_in_ticks>, nullptr,
     "Getter for the price in ticks.", nullptr},
    {"quantity", field_getter<Order, &Order::quantity>, nullptr, "Getter for the quantity.",
     nullptr},
    {"status", field_getter<Order, &Order::status>, nullptr, "Getter for the order status.",
     nullptr},
    {"timestamp", field_getter<Order, &Order::timestamp>, nullptr, "Getter for the timestamp.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot order_slots[] = {
    {Py_tp_new, slot_function(order_new)},
    {Py_tp_repr, slot_function(text_form<Order, order_text>)},
    {Py_tp_methods, order_methods},
    {Py_tp_getset, order_properties},
    {Py_tp_dealloc, slot_function(dealloc_instance<Order>)},
};

}  // namespace

const ClassDefinition& order_class() {
  static const ClassDefinition definition{
      "Order",
      "builtins.Order",
      "(side, price_in_ticks, quantity)",
      "Represents a single order in the order book.\nContains details such as price, quantity, "
      "side (Buy/Sell), and status.",
      sizeof(Instance<Order>),
      order_slots,
      true,
      nullptr,
  };
  return definition;
}

}  // namespace kestrova::surface
