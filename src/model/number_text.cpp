#include "model/number_text.hpp"

#include <charconv>
#include <cmath>

namespace kestrova {

namespace {

// Writes the text of NaN and the infinities; false for finite values.
bool append_non_finite(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_fixed(std::string& out, double value, int decimals) {
  if (append_non_finite(out, value)) return;
  // 309 integer digits at most, the point, the decimals and a sign.
  char buffer[320 + 64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (std::signbit(value) && buffer[0] != '-') out += '-';
  out.append(buffer, result.ptr);
}

void append_shortest(std::string& out, double value) {
  if (append_non_finite(out, value)) return;
  // Scientific form gives the shortest round-trip digits and their exponent;
  // they are laid out positionally here.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const char* p = buffer;
  const char* end = result.ptr;
  if (*p == '-') ++p;
  if (std::signbit(value)) out += '-';

  char digits[24];
  int count = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int exponent = 0;  // value = d.ddd x 10^exponent; to_chars writes no terminator
  const char* exponent_text = p + 1;
  if (exponent_text < end && *exponent_text == '+') ++exponent_text;
  std::from_chars(exponent_text, end, exponent);
  int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, static_cast<std::size_t>(count));
  } else if (point >= count) {
    out.append(digits, static_cast<std::size_t>(count));
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<std::size_t>(count - point));
  }
}

void append_integer(std::string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_integer(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace kestrova
