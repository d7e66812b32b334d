#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrova::replay {

// Where decoded message rows go: one slot per row in each column, `capacity`
// rows at most.
struct MessageColumns {
  std::int64_t* time = nullptr;  // ns after midnight
  std::int64_t* seq = nullptr;   // the row's line number
  std::uint8_t* action = nullptr;
  std::uint8_t* side = nullptr;
  std::uint8_t* code = nullptr;  // the event type, 1 to 7
  std::uint64_t* ref = nullptr;
  std::int64_t* price = nullptr;
  std::int64_t* quantity = nullptr;
  std::size_t capacity = 0;
};

struct MessageRead {
  std::size_t rows = 0;
  std::size_t consumed = 0;  // bytes of the rows decoded
  // Decoding stopped at a line this reader does not take: one that breaks a
  // rule of the layout, or is written in a way it leaves to the general reader
  // (spaces, signs, exponents, more than 9 decimals, no final newline yet).
  bool stopped = false;
  std::int64_t last_time = 0;  // ns, of the last row decoded (or as given)
  double last_seconds = 0;     // the same time read as a double, as the general reader does
};

// Decodes the whole lines at the front of `text` of a LOBSTER message file
// straight into event columns: time, event type, order id, size, price,
// direction. `first_seq` is the first line's number and `last_time` the time
// of the row before it. Rows are taken only when valid: an event type of 1 to
// 7, direction 1 or -1, a positive size and price for types 1 to 6, and time
// never going backwards. With `final`, a last line without a newline counts.
MessageRead read_lobster_messages(std::string_view text, bool final, std::int64_t first_seq,
                                  std::int64_t last_time, double last_seconds,
                                  const MessageColumns& out);

}  // namespace kestrova::replay
