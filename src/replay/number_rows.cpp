#include "replay/number_rows.hpp"

#include <charconv>
#include <cstring>

namespace kestrova::replay {

namespace {

const char* skip_spaces(const char* p, const char* end) {
  while (p < end && *p == ' ') ++p;
  return p;
}

// One field ending at a comma or the line's end; where the next field starts,
// or null if the field is not a number of the asked kind.
template <class T>
const char* read_field(const char* p, const char* end, T& value) {
  p = skip_spaces(p, end);
  if (p < end && *p == '+') ++p;
  auto [next, error] = std::from_chars(p, end, value);
  if (error != std::errc{} || next == p) return nullptr;
  return skip_spaces(next, end);
}

// The common case of a whole number, short and plain, without the general
// parser's setup; anything else goes to it, which also finds overflow.
const char* read_field(const char* p, const char* end, std::int64_t& value) {
  const char* start = p;
  const bool negative = p < end && *p == '-';
  p += negative;
  const char* digits = p;
  std::uint64_t number = 0;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10) {
    number = number * 10 + static_cast<unsigned char>(*p - '0');
    ++p;
  }
  const std::ptrdiff_t count = p - digits;
  if (count == 0 || count > 18 || (p < end && *p != ',')) {
    return read_field<std::int64_t>(start, end, value);
  }
  value = negative ? -static_cast<std::int64_t>(number) : static_cast<std::int64_t>(number);
  return p;
}

}  // namespace

NumberRows read_number_rows(std::string_view text, std::size_t columns, std::size_t keep,
                            bool decimal_first, bool final) {
  NumberRows out;
  const char* const begin = text.data();
  const char* const stop = begin + text.size();
  const std::size_t guess = text.size() / (columns * 4 + 1) + 1;
  out.values.reserve(guess * keep);
  if (decimal_first) out.first.reserve(guess);
  const char* line = begin;
  while (line < stop) {
    const auto* newline = static_cast<const char*>(std::memchr(line, '\n', stop - line));
    if (newline == nullptr && !final) break;
    const char* next = newline == nullptr ? stop : newline + 1;
    const char* end = newline == nullptr ? stop : newline;
    if (end > line && end[-1] == '\r') --end;
    const char* p = line;
    bool good = true;
    for (std::size_t column = 0; column < columns && good; ++column) {
      std::int64_t value = 0;
      if (column == 0 && decimal_first) {
        double decimal = 0;
        p = read_field(p, end, decimal);
        if (p != nullptr) out.first.push_back(decimal);
      } else {
        p = read_field(p, end, value);
      }
      if (p == nullptr) {
        good = false;
        break;
      }
      if (column < keep) out.values.push_back(value);
      if (column + 1 < columns) {
        if (p == end || *p != ',') {
          good = false;
        } else {
          ++p;
        }
      } else if (p != end) {
        good = false;
      }
    }
    if (!good) {
      out.bad_row = static_cast<std::int64_t>(out.rows);
      out.values.resize(out.rows * keep);
      if (decimal_first) out.first.resize(out.rows);
      break;
    }
    ++out.rows;
    line = next;
  }
  out.consumed = static_cast<std::size_t>(line - begin);
  return out;
}

}  // namespace kestrova::replay
