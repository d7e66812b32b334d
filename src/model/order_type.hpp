#pragma once

#include <cstdint>
#include <string_view>

namespace kestrova {

enum class OrderType : std::uint8_t { Buy = 0, Sell = 1 };

enum class OrderStatus : std::uint8_t { Open = 0, Filled = 1, Canceled = 2 };

constexpr std::string_view short_name(OrderType side) {
  return side == OrderType::Buy ? "Buy" : "Sell";
}

constexpr std::string_view short_name(OrderStatus status) {
  switch (status) {
    case OrderStatus::Open:
      return "Open";
    case OrderStatus::Filled:
      return "Filled";
    case OrderStatus::Canceled:
      return "Canceled";
  }
  return "Open";
}

constexpr OrderType opposite(OrderType side) {
  return side == OrderType::Buy ? OrderType::Sell : OrderType::Buy;
}

}  // namespace kestrova
