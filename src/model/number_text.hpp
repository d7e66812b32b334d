#pragma once

#include <cstdint>
#include <string>

namespace kestrova {

// Fixed notation with `decimals` digits after the point, correctly rounded
// (ties to even on the exact binary value), never an exponent.
void append_fixed(std::string& out, double value, int decimals);

// The shortest digits that read back as `value`, laid out positionally:
// no exponent, no ".0" on whole values.
void append_shortest(std::string& out, double value);

void append_integer(std::string& out, std::int64_t value);
void append_integer(std::string& out, std::uint64_t value);

}  // namespace kestrova
