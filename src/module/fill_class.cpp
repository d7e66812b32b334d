#include <string>

#include "model/fill.hpp"
#include "module/class_registry.hpp"
#include "module/members.hpp"
#include "module/parameters.hpp"

namespace kestrova::surface {

namespace {

PyObject* fill_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    auto bound = bind_arguments<5>(parameters::kFillNew, args, kwargs);
    auto quantity = convert<double>(bound[0], "quantity");
    auto price = convert<double>(bound[1], "price");
    auto buy_id = convert<Text>(bound[2], "buy_id");
    auto sell_id = convert<Text>(bound[3], "sell_id");
    auto timestamp = convert<std::uint64_t>(bound[4], "timestamp");
    return make_instance(
        type, Fill{quantity, price, std::string(buy_id), std::string(sell_id), timestamp});
  });
}

PyGetSetDef fill_properties[] = {
    {"quantity", field_getter<Fill, &Fill::quantity>, nullptr, "Getter for the quantity filled.",
     nullptr},
    {"price", field_getter<Fill, &Fill::price>, nullptr, "Getter for the fill price.", nullptr},
    {"buy_id", field_getter<Fill, &Fill::buy_id>, nullptr, "Getter for the buy order ID.", nullptr},
    {"sell_id", field_getter<Fill, &Fill::sell_id>, nullptr, "Getter for the sell order ID.",
     nullptr},
    {"timestamp", field_getter<Fill, &Fill::timestamp>, nullptr, "Getter for the fill timestamp.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot fill_slots[] = {
    {Py_tp_new, slot_function(fill_new)},
    {Py_tp_repr, slot_function(text_form<Fill, fill_text>)},
    {Py_tp_getset, fill_properties},
    {Py_tp_dealloc, slot_function(dealloc_instance<Fill>)},
};

}  // namespace

const ClassDefinition& fill_class() {
  static const ClassDefinition definition{
      "Fill",
      "builtins.Fill",
      "(quantity, price, buy_id, sell_id, timestamp)",
      "Represents a match (fill) between two orders.\nTracks details such as the quantity, price, "
      "and the involved order IDs.",
      sizeof(Instance<Fill>),
      fill_slots,
      true,
      nullptr,
  };
  return definition;
}

}  // namespace kestrova::surface
