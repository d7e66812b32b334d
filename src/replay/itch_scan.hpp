#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrova::replay::itch {

// A stock symbol as the directory carries it: 8 characters, space-padded.
using Symbol = std::array<char, 8>;

// The size of each message type (without its 2-byte length prefix), 0 for a
// type the format does not define.
std::size_t message_size(std::uint8_t type);

// What one scan found for the chosen stocks, as columns. `*_slot` says which
// chosen symbol a row belongs to (its index in the list given to the scan).
struct ScanOutput {
  // Book events, in the replay's event layout (see replay_engine.hpp).
  std::vector<std::int64_t> time, seq, price, quantity;
  std::vector<std::uint64_t> ref, new_ref;
  std::vector<std::uint8_t> action, side, code;
  std::vector<std::uint16_t> slot;

  // Trades without a book effect: P (ref, side, shares, price, match), Q
  // (shares, price, match, cross type) and B (match only).
  std::vector<std::int64_t> trade_seq, trade_time, trade_shares, trade_price;
  std::vector<std::uint64_t> trade_ref, trade_match;
  std::vector<std::uint8_t> trade_code, trade_side, trade_cross;
  std::vector<std::uint16_t> trade_slot;

  // System events (S, copied to every chosen stock) and trading actions (H).
  std::vector<std::int64_t> notice_seq, notice_time;
  std::vector<std::uint8_t> notice_code, notice_state;
  std::vector<char> notice_reason;  // 4 characters a row, spaces for S
  std::vector<std::uint16_t> notice_slot;

  // Every stock directory entry met, chosen or not.
  std::vector<std::uint16_t> directory_locate;
  std::vector<char> directory_symbol;  // 8 characters a row

  std::array<std::int64_t, 256> type_counts{};
};

struct ScanResult {
  std::size_t consumed = 0;   // bytes of whole messages read from the front of the data
  std::int64_t messages = 0;  // messages among them
  bool orders_seen = false;   // stopped before the first add order (when asked to)
  bool failed = false;        // the data is not valid at `error_offset`
  std::uint64_t error_offset = 0;
  std::string reason;
};

// Reads the whole messages at the front of `data`, which starts at byte
// `offset` of the stream, after `seq` messages. Messages of the stocks whose
// locate maps to a slot (>= 0) in `slots` become rows of `out`; a directory
// entry naming one of `symbols` maps its locate to that symbol's slot. An
// incomplete message at the end is left for the next call, unless `final`
// says there is no more data. Every message's length is checked against its
// type, so a bad byte stops the scan where it is. With `stop_at_orders`, the
// scan ends before the first add order: the directory is complete by then.
ScanResult scan(std::span<const std::uint8_t> data, std::span<std::int16_t> slots,
                std::span<const Symbol> symbols, std::uint64_t offset, std::int64_t seq, bool final,
                bool stop_at_orders, ScanOutput& out);

}  // namespace kestrova::replay::itch
