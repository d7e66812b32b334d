#pragma once

#include "book/order_book.hpp"

namespace kestrova::surface {

// The book that took the last add. A new Order is most often added to it
// next, so the new order starts loading the index slot its id will take
// there while Python goes on. A book clears this when it is deallocated;
// every access holds the interpreter lock.
inline const OrderBook* recent_book = nullptr;

}  // namespace kestrova::surface
