#include "replay/lobster_messages.hpp"

#include <charconv>
#include <cstring>

#include "replay/replay_engine.hpp"

namespace kestrova::replay {

namespace {

constexpr std::uint8_t kActions[8] = {
    0,
    static_cast<std::uint8_t>(Action::kAdd),
    static_cast<std::uint8_t>(Action::kReduce),
    static_cast<std::uint8_t>(Action::kDelete),
    static_cast<std::uint8_t>(Action::kExecute),
    static_cast<std::uint8_t>(Action::kNote),  // hidden execution
    static_cast<std::uint8_t>(Action::kNote),  // cross trade
    static_cast<std::uint8_t>(Action::kNote),  // halt
};

constexpr std::int64_t kPowers[10] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};

// Up to `most` digits at `p`; how many were read (0 when none, or too many).
int digits(const char*& p, const char* stop, std::uint64_t& value, int most) {
  const char* start = p;
  value = 0;
  while (p < stop && static_cast<unsigned char>(*p - '0') < 10) {
    value = value * 10 + static_cast<unsigned char>(*p - '0');
    ++p;
  }
  const auto count = static_cast<int>(p - start);
  return count <= most ? count : 0;
}

// A whole number written plainly, then the comma after it unless `last`.
bool whole(const char*& p, const char* stop, std::int64_t& value, bool last) {
  const bool negative = p < stop && *p == '-';
  p += negative;
  std::uint64_t number;
  if (digits(p, stop, number, 18) == 0) return false;
  value = negative ? -static_cast<std::int64_t>(number) : static_cast<std::int64_t>(number);
  if (last) return true;
  if (p == stop || *p != ',') return false;
  ++p;
  return true;
}

// Seconds after midnight with up to 9 decimals, as exact nanoseconds.
bool seconds(const char*& p, const char* stop, std::int64_t& ns) {
  std::uint64_t whole_part, fraction = 0;
  if (digits(p, stop, whole_part, 6) == 0) return false;
  int places = 0;
  if (p < stop && *p == '.') {
    ++p;
    places = digits(p, stop, fraction, 9);
    if (places == 0) return false;
  }
  if (p == stop || *p != ',') return false;
  ++p;
  ns = static_cast<std::int64_t>(whole_part) * kPowers[9] +
       static_cast<std::int64_t>(fraction) * kPowers[9 - places];
  return true;
}

}  // namespace

MessageRead read_lobster_messages(std::string_view text, bool final, std::int64_t first_seq,
                                  std::int64_t last_time, double last_seconds,
                                  const MessageColumns& out) {
  MessageRead read;
  read.last_time = last_time;
  read.last_seconds = last_seconds;
  const char* const begin = text.data();
  const char* const stop = begin + text.size();
  const char* line = begin;
  const char* last_line = nullptr;  // of the last row taken, for its time as a double
  std::size_t row = 0;
  while (line < stop && row < out.capacity) {
    // Fields are read straight off the text, and the line's end is found
    // where they end, so each byte is looked at once.
    const char* p = line;
    std::int64_t time = 0, type = 0, id = 0, size = 0, price = 0, direction = 0;
    bool plain = seconds(p, stop, time) && whole(p, stop, type, false) &&
                 whole(p, stop, id, false) && whole(p, stop, size, false) &&
                 whole(p, stop, price, false) && whole(p, stop, direction, true);
    const char* next = nullptr;
    if (plain) {
      if (p == stop) {
        next = final ? stop : nullptr;
      } else if (*p == '\n') {
        next = p + 1;
      } else if (*p == '\r' && stop - p >= 2 && p[1] == '\n') {
        next = p + 2;
      } else if (*p == '\r' && stop - p == 1) {
        next = final ? stop : nullptr;
      } else {
        plain = false;
      }
    }
    // A line the text cuts short waits for the rest of it.
    if (!final && (plain ? next == nullptr : std::memchr(line, '\n', stop - line) == nullptr)) {
      break;
    }
    const bool book_effect = type >= 1 && type <= 6;
    if (!plain || type < 1 || type > 7 || (direction != 1 && direction != -1) || id < 0 ||
        (book_effect && (size <= 0 || price <= 0)) || time < read.last_time) {
      read.stopped = true;
      break;
    }
    out.time[row] = time;
    out.seq[row] = first_seq + static_cast<std::int64_t>(row);
    out.action[row] = kActions[type];
    out.side[row] = direction == 1 ? kBuy : kSell;
    out.code[row] = static_cast<std::uint8_t>(type);
    out.ref[row] = static_cast<std::uint64_t>(id);
    out.price[row] = price;
    out.quantity[row] = size;
    read.last_time = time;
    last_line = line;
    ++row;
    line = next;
  }
  if (last_line != nullptr) {
    std::from_chars(last_line, stop, read.last_seconds);
  }
  read.rows = row;
  read.consumed = static_cast<std::size_t>(line - begin);
  return read;
}

}  // namespace kestrova::replay
