#include "book/order_index.hpp"

#include "book/linear_probing.hpp"

namespace kestrova {

namespace {

constexpr OrderEntry kEmpty{0, kNoIndex};

// A function object, so that the shared probing code inlines the test.
struct Used {
  bool operator()(const OrderEntry& entry) const { return entry.used(); }
};

}  // namespace

void OrderIndex::erase(std::size_t slot) {
  linear_probing::erase(slots_, mask_, slot, kEmpty, Used{});
  --used_;
}

void OrderIndex::grow() { linear_probing::grow(slots_, mask_, kEmpty, Used{}); }

}  // namespace kestrova
