#pragma once

#include "model/failure.hpp"
#include "module/python.hpp"

namespace kestrova::surface {

// Writes the diagnostic and sets a PanicException carrying the failure's
// message. Aborts the process if even that cannot be done.
void raise_panic(const InvariantFailure& failure) noexcept;

// Whether the pending exception is a PanicException (raised by Python code
// inside one of our calls).
bool pending_is_panic() noexcept;

// Takes that pending PanicException, reports it on standard error and turns
// it into an internal failure with the same message.
InvariantFailure take_pending_panic() noexcept;

}  // namespace kestrova::surface
