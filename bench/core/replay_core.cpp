// The C++ core replaying decoded events alone: no parsing, no checks against
// book rows, no tables, no Python. What the replay command costs beyond this
// loop is what it spends on reading, comparing and writing.
//
// Usage: replay_core FOLDER ROUNDS
// FOLDER holds the columns written by bench/replay.py (or bench/replay_itch.py),
// one raw little-endian array per file: action.u8, side.u8, ref.u64, price.i64,
// quantity.i64, and new_ref.u64 where the events replace orders.
// Prints: best ns per event over the rounds, fills, orders left resting.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "book/order_book.hpp"
#include "replay/ref_map.hpp"

namespace {

using kestrova::Fill;
using kestrova::Order;
using kestrova::OrderBook;
using kestrova::OrderId;
using kestrova::OrderStatus;
using kestrova::OrderType;

enum : std::uint8_t { kAdd = 1, kReduce = 2, kDelete = 3, kExecute = 4, kReplace = 6 };

template <class T>
std::vector<T> load(const std::string& folder, const char* name, bool optional = false) {
  const std::string path = folder + "/" + name;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in && optional) return {};
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<T> out(static_cast<std::size_t>(in.tellg()) / sizeof(T));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()),
          static_cast<std::streamsize>(out.size() * sizeof(T)));
  return out;
}

struct Live {
  OrderId id;
  std::int64_t price;
  std::int64_t remaining;
  std::uint8_t side;
};

OrderType type_of(std::uint8_t side) { return side == 1 ? OrderType::Sell : OrderType::Buy; }

struct Replay {
  OrderBook book{1.0};
  kestrova::replay::RefMap<Live> live;
  std::vector<Fill> fills;
  std::uint64_t serial = 0;
  std::uint64_t fill_count = 0;

  // Word one spreads the ids over the book's index; word two is the ref.
  OrderId make_id(std::uint64_t ref) {
    std::uint64_t first = (++serial) * 0x9e3779b97f4a7c15ULL;
    OrderId id;
    std::memcpy(id.bytes.data(), &first, 8);
    std::memcpy(id.bytes.data() + 8, &ref, 8);
    return id;
  }

  std::int64_t enter(const Order& order) {
    fills.clear();
    book.add(order, fills);
    std::int64_t filled = 0;
    for (const Fill& fill : fills) {
      const OrderId maker =
          std::get<OrderId>(order.side == OrderType::Buy ? fill.sell_id : fill.buy_id);
      const auto quantity = static_cast<std::int64_t>(fill.quantity);
      filled += quantity;
      std::uint64_t ref;
      std::memcpy(&ref, maker.bytes.data() + 8, 8);
      Live* made = live.find(ref);
      if (made != nullptr && made->id == maker && (made->remaining -= quantity) <= 0) {
        book.cancel(maker);
        live.erase(ref);
      }
    }
    fill_count += fills.size();
    return filled;
  }

  void add(std::uint64_t ref, std::uint8_t side, std::int64_t price, std::int64_t quantity) {
    if (live.contains(ref)) return;
    const OrderId id = make_id(ref);
    const std::int64_t filled =
        enter(Order{id, price, static_cast<double>(quantity), 0, type_of(side), OrderStatus::Open});
    if (filled < quantity) {
      live.insert(ref, Live{id, price, quantity - filled, side});
    } else {
      book.cancel(id);
    }
  }

  void run(const std::vector<std::uint8_t>& action, const std::vector<std::uint8_t>& side,
           const std::vector<std::uint64_t>& ref, const std::vector<std::uint64_t>& new_ref,
           const std::vector<std::int64_t>& price, const std::vector<std::int64_t>& quantity) {
    for (std::size_t i = 0; i < action.size(); ++i) {
      switch (action[i]) {
        case kAdd:
          add(ref[i], side[i], price[i], quantity[i]);
          break;
        case kReplace: {
          const Live* order = live.find(ref[i]);
          if (order == nullptr) break;
          const Live old = *order;
          book.cancel(old.id);
          live.erase(ref[i]);
          add(new_ref[i], old.side, price[i], quantity[i]);
          break;
        }
        case kReduce:
        case kDelete: {
          Live* order = live.find(ref[i]);
          if (order == nullptr) break;
          book.cancel(order->id);
          if (action[i] == kDelete || quantity[i] >= order->remaining) {
            live.erase(ref[i]);
            break;
          }
          order->id = make_id(ref[i]);
          order->remaining -= quantity[i];
          fills.clear();
          book.add(Order{order->id, order->price, static_cast<double>(order->remaining), 0,
                         type_of(order->side), OrderStatus::Open},
                   fills);
          break;
        }
        case kExecute: {
          const Live* order = live.find(ref[i]);
          if (order == nullptr) break;
          const OrderId taker = make_id(0);
          enter(Order{taker, order->price, static_cast<double>(quantity[i]), 0,
                      type_of(order->side ^ 1), OrderStatus::Open});
          book.cancel(taker);
          break;
        }
        default:
          break;
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: replay_core FOLDER ROUNDS\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int rounds = std::atoi(argv[2]);
  if (rounds < 1) {
    std::fprintf(stderr, "ROUNDS must be at least 1\n");
    return 2;
  }
  const auto action = load<std::uint8_t>(folder, "action.u8");
  const auto side = load<std::uint8_t>(folder, "side.u8");
  const auto ref = load<std::uint64_t>(folder, "ref.u64");
  const auto price = load<std::int64_t>(folder, "price.i64");
  const auto quantity = load<std::int64_t>(folder, "quantity.i64");
  auto new_ref = load<std::uint64_t>(folder, "new_ref.u64", true);
  const std::size_t n = action.size();
  if (new_ref.empty()) new_ref.resize(n);
  if (side.size() != n || ref.size() != n || price.size() != n || quantity.size() != n ||
      new_ref.size() != n) {
    std::fprintf(stderr, "columns of different lengths in %s\n", folder.c_str());
    return 2;
  }
  double best = 0;
  std::uint64_t fills = 0;
  std::size_t resting = 0;
  for (int round = 0; round < rounds; ++round) {
    Replay replay;
    const auto start = std::chrono::steady_clock::now();
    replay.run(action, side, ref, new_ref, price, quantity);
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    best = round == 0 ? ns : std::min(best, ns);
    fills = replay.fill_count;
    resting = replay.live.size();
  }
  std::printf("%.3f %llu %zu\n", best / static_cast<double>(n),
              static_cast<unsigned long long>(fills), resting);
  return 0;
}
