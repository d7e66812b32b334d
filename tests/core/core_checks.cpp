// Checks of the core that need no interpreter: number text forms, rounding, id text,
// the price ladder, slab and level table against std::set and std::map, and
// the whole book against a plain reference of ordered maps of queues.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>

#include "book/large_pages.hpp"
#include "book/level_table.hpp"
#include "book/order_book.hpp"
#include "book/price_ladder.hpp"
#include "book/slab.hpp"
#include "model/number_text.hpp"
#include "model/order.hpp"
#include "model/order_id.hpp"
#include "model/rounding.hpp"
#include "model/uuid.hpp"
#include "model/vdso_random.hpp"

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

std::string fixed(double value, int decimals) {
  std::string text;
  kestrova::append_fixed(text, value, decimals);
  return text;
}

std::string shortest(double value) {
  std::string text;
  kestrova::append_shortest(text, value);
  return text;
}

void check_number_text() {
  const struct {
    double value;
    int decimals;
    const char* text;
  } fixed_cases[] = {
      {5.0, 2, "5.00"},          {0.125, 2, "0.12"},   {0.375, 2, "0.38"},
      {-0.0, 2, "-0.00"},        {-1.0, 2, "-1.00"},   {1e21, 2, "1000000000000000000000.00"},
      {0.5, 4, "0.5000"},        {-0.001, 2, "-0.00"}, {std::nan(""), 2, "NaN"},
      {-std::nan(""), 2, "NaN"}, {INFINITY, 2, "inf"}, {-INFINITY, 4, "-inf"},
  };
  for (const auto& c : fixed_cases) {
    expect(fixed(c.value, c.decimals) == std::string(c.text),
           "fixed " + std::string(c.text) + " got " + fixed(c.value, c.decimals));
  }
  const struct {
    double value;
    const char* text;
  } shortest_cases[] = {
      {5.0, "5"},
      {2.5, "2.5"},
      {0.1, "0.1"},
      {100.5, "100.5"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {1e-7, "0.0000001"},
      {0.0, "0"},
      {-0.0, "-0"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {std::nan(""), "NaN"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
  };
  for (const auto& c : shortest_cases) {
    expect(shortest(c.value) == c.text,
           "shortest " + std::string(c.text) + " got " + shortest(c.value));
  }
  // Large values print every integer digit of the exact binary value.
  expect(fixed(1e308, 0).size() == 309 && fixed(1e308, 0).rfind("1000000000000000010979", 0) == 0,
         "fixed 1e308");
  std::string tiny = "0." + std::string(323, '0') + "5";
  expect(shortest(5e-324) == tiny, "shortest 5e-324");
  // Every shortest text reads back as the same value.
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    expect(std::strtod(shortest(value).c_str(), nullptr) == value, "round trip " + shortest(value));
  }
}

std::uint64_t bits_of(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double from_bits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The inline rounding gives std::round's very bits, sign of zero and NaN
// payload included.
void expect_rounds_like_std(double value) {
  double ours = kestrova::round_half_away(value);
  double want = std::round(value);
  if (bits_of(ours) != bits_of(want)) {
    char text[96];
    std::snprintf(text, sizeof text, "round_half_away(%a) = %a, std::round gives %a", value, ours,
                  want);
    expect(false, text);
  }
}

void check_rounding() {
  const double two_52 = 0x1p52;
  const double below_half = std::nextafter(0.5, 0.0);  // 0.49999999999999994
  const double specials[] = {
      0.0,
      -0.0,
      0.5,
      -0.5,
      1.5,
      2.5,
      -2.5,
      below_half,
      -below_half,
      std::nextafter(0.5, 1.0),
      std::nextafter(1.5, 0.0),
      0.3,
      -0.3,
      5e-324,
      -5e-324,
      std::numeric_limits<double>::min(),
      two_52,
      -two_52,
      std::nextafter(two_52, 0.0),  // 2^52 - 0.5: the last half
      -std::nextafter(two_52, 0.0),
      two_52 + 1.0,
      0x1p53,
      0x1p53 + 2.0,
      0x1p63,
      -0x1p63,
      0x1p51 + 0.5,
      std::numeric_limits<double>::max(),
      -std::numeric_limits<double>::max(),
      INFINITY,
      -INFINITY,
      std::numeric_limits<double>::quiet_NaN(),
      -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::signaling_NaN(),
      from_bits(0x7FF8000000000123),  // a NaN with a payload
  };
  for (double value : specials) expect_rounds_like_std(value);
  std::mt19937_64 random(11);
  for (int i = 0; i < 200000; ++i) {
    // any bit pattern, mostly huge or tiny; then magnitudes where rounding
    // has work to do, with halves and their neighbours
    expect_rounds_like_std(from_bits(random()));
    double whole = static_cast<double>(random() >> (11 + random() % 53));
    double half = whole + 0.5;
    double sign = random() & 1 ? -1.0 : 1.0;
    expect_rounds_like_std(sign * half);
    expect_rounds_like_std(sign * std::nextafter(half, 0.0));
    expect_rounds_like_std(sign * std::nextafter(half, INFINITY));
    expect_rounds_like_std(sign * (whole + std::ldexp(static_cast<double>(random() >> 11), -53)));
  }
}

void check_id_text() {
  for (int i = 0; i < 1000; ++i) {
    kestrova::OrderId id = kestrova::new_order_id();
    char text[kestrova::OrderId::kTextSize];
    id.write_text(text);
    std::string_view view(text, sizeof text);
    expect(view[14] == '4', "version digit");
    expect(std::string_view("89ab").find(view[19]) != std::string_view::npos, "variant digit");
    auto parsed = kestrova::OrderId::parse(view);
    expect(parsed && *parsed == id, "parse of written text");
    // The index's early tag from the text is the tag of the parsed id.
    expect(kestrova::tag_of_text(text) == static_cast<std::uint32_t>(id.hash()), "tag of text");
    std::string upper(view);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper != view) expect(!kestrova::OrderId::parse(upper), "upper case must not parse");
  }
  expect(!kestrova::OrderId::parse("not an id"), "short text");
  // Every one-byte change of an id's text parses exactly when the changed
  // character is still a lower-case hex digit, or a hyphen where one belongs.
  for (int round = 0; round < 20; ++round) {
    kestrova::OrderId id = kestrova::new_order_id();
    char text[kestrova::OrderId::kTextSize];
    id.write_text(text);
    for (std::size_t pos = 0; pos < sizeof text; ++pos) {
      bool hyphen = pos == 8 || pos == 13 || pos == 18 || pos == 23;
      for (int value = 0; value < 256; ++value) {
        char changed[sizeof text];
        std::memcpy(changed, text, sizeof text);
        changed[pos] = static_cast<char>(value);
        bool hex = (value >= '0' && value <= '9') || (value >= 'a' && value <= 'f');
        auto parsed = kestrova::OrderId::parse(std::string_view(changed, sizeof changed));
        if (parsed.has_value() != (hyphen ? value == '-' : hex)) {
          expect(false, "parse of a changed byte at " + std::to_string(pos));
        } else if (parsed) {
          char again[sizeof text];
          parsed->write_text(again);
          expect(std::memcmp(again, changed, sizeof again) == 0, "parse round trip");
        }
      }
    }
  }
}

void check_price_ladder() {
  std::mt19937_64 random(5);
  kestrova::PriceLadder ladder;
  // Every key the ladder should hold: true while its level has orders, false
  // while idle. The back is always live, as a book keeps it.
  std::map<std::int64_t, bool> present;
  auto drop = [&](std::int64_t key) {
    auto it = present.find(key);
    expect(it != present.end(), "ladder drops a key it holds");
    if (it == present.end() || it->second) return false;
    present.erase(it);
    return true;
  };
  auto remove_back = [&] {
    ladder.pop_back(false);
    present.erase(std::prev(present.end()));
    while (!present.empty() && !present.rbegin()->second) {
      ladder.pop_back(true);
      present.erase(std::prev(present.end()));
    }
  };
  auto check_order = [&] {
    std::vector<std::int64_t> keys, up, down;
    for (const auto& [key, live] : present) keys.push_back(key);
    ladder.for_each_ascending([&](std::int64_t k) { up.push_back(k); });
    ladder.for_each_descending([&](std::int64_t k) { down.push_back(k); });
    expect(up == keys, "ascending");
    expect(down == std::vector<std::int64_t>(keys.rbegin(), keys.rend()), "descending");
  };
  for (int step = 0; step < 200000; ++step) {
    // Mostly near a drifting touch, sometimes far off, as levels open in a book.
    std::int64_t center = 1000 + (step / 1000) % 50;
    std::int64_t key = random() % 8 == 0 ? static_cast<std::int64_t>(random() % 100000) - 50000
                                         : center - static_cast<std::int64_t>(random() % 600);
    auto it = present.find(key);
    if (it == present.end()) {
      ladder.insert(key, drop);
      present[key] = true;
    } else if (!it->second) {
      ladder.mark_live(key);
      it->second = true;
    } else if (key == present.rbegin()->first) {
      remove_back();
    } else {
      it->second = false;
      ladder.mark_idle(key, drop);
    }
    expect(ladder.size() == present.size(), "ladder size");
    expect(ladder.empty() == present.empty(), "ladder empty");
    if (!present.empty()) expect(ladder.back() == present.rbegin()->first, "ladder back");
    if (step % 997 == 0) check_order();
  }
  check_order();
  // Idle keys are shed as they pile up: with one live key left, at most one
  // idle key may stay beside it.
  std::vector<std::int64_t> keys;
  for (const auto& [key, live] : present)
    if (live) keys.push_back(key);
  keys.pop_back();
  for (std::int64_t key : keys) {
    present[key] = false;
    ladder.mark_idle(key, drop);
  }
  check_order();
  expect(ladder.size() <= 2, "idle keys shed");
  while (!present.empty()) remove_back();
  expect(ladder.empty(), "ladder emptied");
}

void check_vdso_random() {
  // Where the vDSO draws, it fills whole blocks with fresh bytes each time.
  static unsigned char first[4096], second[4096];
  long got = kestrova::vdso_getrandom(first, sizeof first);
  if (got == -ENOSYS) return;
  expect(got == static_cast<long>(sizeof first), "vdso block filled");
  expect(kestrova::vdso_getrandom(second, sizeof second) == static_cast<long>(sizeof second),
         "vdso block filled again");
  expect(std::memcmp(first, second, sizeof first) != 0, "vdso blocks differ");
  std::set<unsigned char> seen(first, first + sizeof first);
  expect(seen.size() > 200, "vdso bytes spread");
}

void check_large_pages() {
  // Growing through the 2 MiB threshold keeps every value; big tables sit on
  // 2 MiB boundaries.
  std::vector<std::uint64_t, kestrova::LargePageAllocator<std::uint64_t>> table;
  for (std::uint64_t i = 0; i < (1u << 20); ++i) {
    table.push_back(i * 2654435761u);
    if (table.size() == table.capacity() && table.capacity() * 8 >= (std::size_t{2} << 20)) {
      expect(reinterpret_cast<std::uintptr_t>(table.data()) % (std::size_t{2} << 20) == 0,
             "large table aligned");
    }
  }
  bool same = true;
  for (std::uint64_t i = 0; i < table.size(); ++i) same = same && table[i] == i * 2654435761u;
  expect(same, "large table values");
  table.assign(10, 7);
  table.shrink_to_fit();
  expect(table.size() == 10 && table[9] == 7, "large table shrunk");
}

void check_slab() {
  // Records keep their index and value for life across page growth and reuse.
  std::mt19937_64 random(13);
  kestrova::Slab<std::uint64_t> slab;
  std::map<std::uint32_t, std::uint64_t> reference;
  for (int step = 0; step < 100000; ++step) {
    if (random() % 3 != 0 || reference.empty()) {
      std::uint32_t i = slab.allocate();
      expect(reference.count(i) == 0, "slab hands out a live index");
      slab[i] = random();
      reference[i] = slab[i];
    } else {
      auto it = reference.begin();
      std::advance(it, static_cast<long>(random() % std::min<std::size_t>(reference.size(), 50)));
      slab.release(it->first);
      reference.erase(it);
    }
  }
  for (const auto& [i, value] : reference) expect(slab[i] == value, "slab value");
}

void check_level_table() {
  std::mt19937_64 random(9);
  kestrova::LevelTable table;
  std::map<std::int64_t, std::uint32_t> reference;
  for (int step = 0; step < 100000; ++step) {
    std::int64_t price = static_cast<std::int64_t>(random() % 3000) * (step % 3 == 0 ? 1 : 4096);
    auto it = reference.find(price);
    expect(table.find(price) == (it == reference.end() ? kestrova::kNoIndex : it->second),
           "level find");
    if (it == reference.end()) {
      std::uint32_t level = table.create(price);
      expect(table[level].price_in_ticks == price, "level price");
      reference[price] = level;
    } else if (random() % 2 == 0) {
      table.erase(it->second);
      reference.erase(it);
    }
  }
  for (const auto& [price, level] : reference) expect(table.find(price) == level, "level kept");
}

// A plain reference of the book: ordered maps of FIFO queues of whole records
// and a map of latest records, written the obvious way.
struct ReferenceBook {
  double tick_size;
  std::map<std::string, kestrova::Order> orders;
  std::map<std::int64_t, std::deque<kestrova::Order>> levels[2];

  static std::string key(const kestrova::OrderId& id) {
    char text[36];
    id.write_text(text);
    return std::string(text, 36);
  }

  std::size_t add(kestrova::Order incoming) {
    auto& opposite = levels[incoming.side == kestrova::OrderType::Buy ? 1 : 0];
    std::size_t fills = 0;
    while (incoming.is_open() && !opposite.empty()) {
      auto level =
          incoming.side == kestrova::OrderType::Buy ? opposite.begin() : std::prev(opposite.end());
      if (!kestrova::can_match(level->second.front(), incoming)) break;
      kestrova::Order resting = level->second.front();
      level->second.pop_front();
      kestrova::fill(resting, incoming, tick_size);
      ++fills;
      if (resting.is_open()) {
        level->second.push_front(resting);
      } else if (level->second.empty()) {
        opposite.erase(level);
      }
      orders[key(resting.id)] = resting;
    }
    if (incoming.is_open()) {
      levels[incoming.side == kestrova::OrderType::Buy ? 0 : 1][incoming.price_in_ticks].push_back(
          incoming);
    }
    orders[key(incoming.id)] = incoming;
    return fills;
  }

  bool cancel(const kestrova::OrderId& id) {
    auto it = orders.find(key(id));
    if (it == orders.end()) return false;
    auto& side = levels[it->second.side == kestrova::OrderType::Buy ? 0 : 1];
    auto level = side.find(it->second.price_in_ticks);
    if (level != side.end()) {
      std::erase_if(level->second, [&](const kestrova::Order& o) { return o.id == id; });
      if (level->second.empty()) side.erase(level);
    }
    orders.erase(it);
    return true;
  }

  double volume(int side) const {
    double sum = -0.0;
    for (const auto& [price, queue] : levels[side])
      for (const kestrova::Order& order : queue) sum += order.quantity;
    return sum;
  }
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_record(const kestrova::Order& a, const kestrova::Order& b) {
  return a.id == b.id && a.side == b.side && a.price_in_ticks == b.price_in_ticks &&
         same_bits(a.quantity, b.quantity) && a.timestamp == b.timestamp && a.status == b.status;
}

// The book against the reference under random adds, re-adds, cancels and
// updates, over a narrow or a wide price range.
void check_book(std::uint64_t seed, std::int64_t levels_wide, bool whole_quantities) {
  std::mt19937_64 random(seed);
  kestrova::OrderBook book(0.01);
  ReferenceBook reference{0.01, {}, {}};
  std::vector<kestrova::Order> known;
  const double kTwoTo52 = 4503599627370496.0;  // two of them reach 2^53
  auto quantity = [&]() -> double {
    switch (random() % 10) {
      case 0:
        return whole_quantities ? kTwoTo52 : 0.1;
      case 1:
        return whole_quantities ? kTwoTo52 - 1.0 : 2.5;
      default:
        return static_cast<double>(1 + random() % 9);
    }
  };
  // The lookup of one id against the reference.
  auto check_lookup = [&](const kestrova::OrderId& id) {
    char text[36];
    id.write_text(text);
    auto found = book.get_order(std::string_view(text, 36));
    auto it = reference.orders.find(ReferenceBook::key(id));
    expect(found.has_value() == (it != reference.orders.end()), "lookup presence");
    if (found && it != reference.orders.end())
      expect(same_record(*found, it->second), "lookup record");
  };
  for (int step = 0; step < 20000; ++step) {
    int action = static_cast<int>(random() % 10);
    kestrova::OrderId touched{};  // the id the step added, cancelled or stored
    if (action < 5 || known.empty()) {
      auto side = random() % 2 == 0 ? kestrova::OrderType::Buy : kestrova::OrderType::Sell;
      std::int64_t price = 10000 + static_cast<std::int64_t>(random() % levels_wide) -
                           levels_wide / 2 + (side == kestrova::OrderType::Buy ? -1 : 1);
      kestrova::Order order = kestrova::make_order(side, price, quantity());
      known.push_back(order);
      touched = order.id;
      std::vector<kestrova::Fill> fills;
      book.add(order, fills);
      expect(fills.size() == reference.add(order), "fill count");
    } else if (action == 5) {
      // The same order again: it matches and rests as a second copy.
      const kestrova::Order& order = known[random() % known.size()];
      touched = order.id;
      std::vector<kestrova::Fill> fills;
      book.add(order, fills);
      expect(fills.size() == reference.add(order), "fill count of a re-add");
    } else if (action < 8) {
      const kestrova::Order& order = known[random() % known.size()];
      char text[36];
      order.id.write_text(text);
      touched = order.id;
      expect(book.cancel(std::string_view(text, 36)) == reference.cancel(order.id), "cancel");
    } else {
      // A changed record for a known id: only the recorded state moves.
      kestrova::Order order = known[random() % known.size()];
      order.quantity = random() % 2 == 0 ? 0.0 : order.quantity + 1.0;
      if (order.quantity == 0.0) order.status = kestrova::OrderStatus::Filled;
      book.update_order(order);
      reference.orders[ReferenceBook::key(order.id)] = order;
      touched = order.id;
    }
    // Where a record lives under its id changes with every step that touches
    // the id (rests, rests twice, fills, updates, cancels), so it is looked
    // up at once.
    check_lookup(touched);

    for (int side = 0; side < 2; ++side) {
      auto type = side == 0 ? kestrova::OrderType::Buy : kestrova::OrderType::Sell;
      double volume = side == 0 ? book.buy_volume() : book.sell_volume();
      expect(same_bits(volume, reference.volume(side)), "volume bits");
      auto best = side == 0 ? book.best_bid() : book.best_ask();
      const auto& levels = reference.levels[side];
      expect(best.has_value() == !levels.empty(), "best presence");
      if (best && !levels.empty()) {
        const auto& level = side == 0 ? *levels.rbegin() : *levels.begin();
        expect(best->first == level.first && same_bits(best->second, level.second.front().quantity),
               "best level");
      }
      if (step % 97 == 0) {
        std::vector<kestrova::Order> listed;
        book.for_each_resting(type, [&](const kestrova::Order& o) { listed.push_back(o); });
        std::size_t i = 0;
        bool same = true;
        for (const auto& [price, queue] : levels)
          for (const kestrova::Order& order : queue)
            same = same && i < listed.size() && same_record(listed[i++], order);
        expect(same && i == listed.size() && listed.size() == book.resting_count(type),
               "resting orders");
      }
    }
    if (step % 97 == 0) {
      expect(book.known_count() == reference.orders.size(), "known count");
      for (const kestrova::Order& order : known) check_lookup(order.id);
    }
  }
}

}  // namespace

int main() {
  check_number_text();
  check_rounding();
  check_id_text();
  check_price_ladder();
  check_vdso_random();
  check_large_pages();
  check_slab();
  check_level_table();
  check_book(1, 40, true);
  check_book(2, 40, false);
  check_book(3, 4000, true);
  check_book(4, 6, false);
  std::printf("%s (%d failures)\n", failures == 0 ? "ok" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
