#pragma once

#include "model/order_id.hpp"

namespace kestrova {

// A fresh random version-4 identifier from the operating system's secure
// source. Throws InvariantFailure when no source delivers.
OrderId new_order_id();

}  // namespace kestrova
