#pragma once

#include <cstddef>

#include "book/order_book.hpp"
#include "model/fill.hpp"
#include "model/order.hpp"
#include "model/order_type.hpp"

namespace kestrova::surface {

// The five classes, in registration order.
enum class ClassId : std::size_t { Order, Fill, OrderBook, OrderType, OrderStatus };
constexpr std::size_t kClassCount = 5;

// Which class holds which core value.
template <class Value>
struct ClassOf;
template <>
struct ClassOf<kestrova::Order> {
  static constexpr ClassId kId = ClassId::Order;
  static constexpr const char* kName = "Order";
};
template <>
struct ClassOf<kestrova::Fill> {
  static constexpr ClassId kId = ClassId::Fill;
  static constexpr const char* kName = "Fill";
};
template <>
struct ClassOf<kestrova::OrderBook> {
  static constexpr ClassId kId = ClassId::OrderBook;
  static constexpr const char* kName = "OrderBook";
};
template <>
struct ClassOf<kestrova::OrderType> {
  static constexpr ClassId kId = ClassId::OrderType;
  static constexpr const char* kName = "OrderType";
};
template <>
struct ClassOf<kestrova::OrderStatus> {
  static constexpr ClassId kId = ClassId::OrderStatus;
  static constexpr const char* kName = "OrderStatus";
};

template <class Value>
concept ClassValue = requires { ClassOf<Value>::kId; };

}  // namespace kestrova::surface
