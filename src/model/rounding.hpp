#pragma once

#include <cmath>
#include <cstdint>

namespace kestrova {

// std::round without the library call (the x86-64 baseline has no rounding
// instruction): halves go away from zero, a zero result keeps the sign of
// `x`, and NaN, infinities and every magnitude from 2^52 on (all already
// whole) come back as std::round gives them.
inline double round_half_away(double x) {
  double magnitude = std::fabs(x);
  if (!(magnitude < 0x1p52)) [[unlikely]] {
    return std::isnan(x) ? x + x : x;  // x + x quiets a signalling NaN
  }
  // Below 2^52 the truncation and the fraction it leaves are both exact. The
  // half test is added, not branched on: prices a tick apart fall on either
  // side of it at random.
  auto whole = static_cast<std::int64_t>(magnitude);
  whole += magnitude - static_cast<double>(whole) >= 0.5;
  return std::copysign(static_cast<double>(whole), x);
}

}  // namespace kestrova
