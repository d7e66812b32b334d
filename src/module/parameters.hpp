#pragma once

#include "module/binding.hpp"

namespace kestrova::surface::parameters {

inline constexpr const char* kOrderNewNames[] = {"side", "price_in_ticks", "quantity"};
inline constexpr const char* kFillNewNames[] = {"quantity", "price", "buy_id", "sell_id",
                                                "timestamp"};
inline constexpr const char* kBookNewNames[] = {"tick_size"};
inline constexpr const char* kCanMatchNames[] = {"other"};
inline constexpr const char* kFillNames[] = {"incoming", "tick_size"};
inline constexpr const char* kCreateOrderNames[] = {"side", "price", "quantity"};
inline constexpr const char* kAddNames[] = {"incoming_order"};
inline constexpr const char* kOrderIdNames[] = {"order_id"};
inline constexpr const char* kUpdateOrderNames[] = {"order"};

inline constexpr ParameterDescription kOrderNew{"Order", "__new__", kOrderNewNames, 0, 3, {}};
inline constexpr ParameterDescription kFillNew{"Fill", "__new__", kFillNewNames, 0, 5, {}};
inline constexpr ParameterDescription kBookNew{"OrderBook", "__new__", kBookNewNames, 0, 0, {}};
inline constexpr ParameterDescription kCanMatch{"Order", "can_match", kCanMatchNames, 0, 1, {}};
inline constexpr ParameterDescription kFill{"Order", "fill", kFillNames, 0, 2, {}};
inline constexpr ParameterDescription kCreateOrder{
    "OrderBook", "create_order", kCreateOrderNames, 0, 3, {}};
inline constexpr ParameterDescription kAdd{"OrderBook", "add", kAddNames, 0, 1, {}};
inline constexpr ParameterDescription kCancel{"OrderBook", "cancel", kOrderIdNames, 0, 1, {}};
inline constexpr ParameterDescription kGetOrder{"OrderBook", "get_order", kOrderIdNames, 0, 1, {}};
inline constexpr ParameterDescription kUpdateOrder{
    "OrderBook", "update_order", kUpdateOrderNames, 0, 1, {}};

inline constexpr double kDefaultTickSize = 0.01;

}  // namespace kestrova::surface::parameters
