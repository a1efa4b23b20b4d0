// SmallestFreeIndex: the smallest index in 0..limit-1 that no item of a list holds, the rule by
// which players and rooms get their numbers. Thread rules: none (call with the list locked).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace pv {

// `index_of(item)` gives an item's index (0..255); `limit` is at most 256. -1 when all are taken.
template <typename Items, typename IndexOf>
int SmallestFreeIndex(const Items& items, int limit, IndexOf index_of) {
  std::bitset<256> used;
  for (const auto& item : items) used.set(static_cast<uint8_t>(index_of(item)));
  for (int i = 0; i < limit; ++i)
    if (!used.test(static_cast<size_t>(i))) return i;
  return -1;
}

}  // namespace pv
