// Checks of the core that need no interpreter: the id index against a
// reference map under random stores and erases, number text forms, id text.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "book/level_queue.hpp"
#include "book/order_index.hpp"
#include "model/number_text.hpp"
#include "model/order.hpp"
#include "model/order_id.hpp"
#include "model/uuid.hpp"

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
    std::string upper(view);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper != view) expect(!kestrova::OrderId::parse(upper), "upper case must not parse");
  }
  expect(!kestrova::OrderId::parse("not an id"), "short text");
}

void check_order_index() {
  std::mt19937_64 random(11);
  kestrova::OrderIndex index;
  std::map<std::string, double> reference;  // id text -> quantity
  std::vector<kestrova::Order> known;
  for (int step = 0; step < 30000; ++step) {
    int action = static_cast<int>(random() % 3);
    if (action == 0 || known.empty()) {
      kestrova::Order order = kestrova::make_order(kestrova::OrderType::Buy, 1, 1.0 + step);
      // Ids that collide in their hash bits exercise long probe runs.
      if (step % 2 == 0) std::memset(order.id.bytes.data(), 0, 2);
      index.store(order);
      known.push_back(order);
      char text[36];
      order.id.write_text(text);
      reference[std::string(text, 36)] = order.quantity;
    } else {
      kestrova::Order& order = known[random() % known.size()];
      char text[36];
      order.id.write_text(text);
      std::string key(text, 36);
      if (action == 1) {
        expect(index.erase(order.id) == (reference.erase(key) == 1), "erase result");
      } else {
        order.quantity += 0.5;
        index.store(order);
        reference[key] = order.quantity;
      }
    }
    if (step % 1999 == 0) {
      expect(index.size() == reference.size(), "size");
      for (const kestrova::Order& order : known) {
        char text[36];
        order.id.write_text(text);
        auto it = reference.find(std::string(text, 36));
        const kestrova::Order* found = index.find(order.id);
        expect((found != nullptr) == (it != reference.end()), "presence");
        if (found != nullptr && it != reference.end())
          expect(found->quantity == it->second, "value");
      }
    }
  }
}

void check_level_queue() {
  std::mt19937_64 random(5);
  kestrova::LevelQueue queue;
  std::deque<kestrova::Order> reference;
  auto make = [&](int tag) {
    kestrova::Order order{};
    order.quantity = tag;
    order.id.bytes[0] = static_cast<std::uint8_t>(tag % 7);  // repeated ids, as re-adds make
    return order;
  };
  for (int step = 0; step < 50000; ++step) {
    int action = static_cast<int>(random() % 4);
    if (action <= 1) {
      queue.push_back(make(step));
      reference.push_back(make(step));
    } else if (action == 2 && !reference.empty()) {
      queue.pop_front();
      reference.pop_front();
    } else if (!reference.empty()) {
      auto id = reference[random() % reference.size()].id;
      queue.erase_if([&](const kestrova::Order& o) { return o.id == id; });
      std::erase_if(reference, [&](const kestrova::Order& o) { return o.id == id; });
    }
    expect(queue.size() == reference.size(), "queue size");
    if (!reference.empty()) expect(queue.front().quantity == reference.front().quantity, "front");
    if (step % 101 == 0) {
      std::size_t i = 0;
      queue.for_each([&](const kestrova::Order& o) {
        expect(i < reference.size() && o.quantity == reference[i].quantity, "queue order");
        ++i;
      });
    }
  }
}

}  // namespace

int main() {
  check_level_queue();
  check_number_text();
  check_id_text();
  check_order_index();
  std::printf("%s (%d failures)\n", failures == 0 ? "ok" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
