#include "brellow/ring.hpp"

#include <algorithm>
#include <tuple>

namespace vekt::brellow {

void sort_by_seq_then_id(std::vector<host::BOUNDARY>& legs) {
  std::stable_sort(legs.begin(), legs.end(), [](const host::BOUNDARY& a, const host::BOUNDARY& b) {
    return std::tuple(!a.seq.has_value(), a.seq.value_or(0), a.id) <
           std::tuple(!b.seq.has_value(), b.seq.value_or(0), b.id);
  });
}

namespace {

bool is_closed_ring(const std::vector<host::BOUNDARY>& legs) {
  for (std::size_t i = 1; i < legs.size(); ++i)
    if (legs[i].beacon1id != legs[i - 1].beacon2id) return false;
  return legs.back().beacon2id == legs.front().beacon1id;
}

}  // namespace

std::optional<std::vector<host::BOUNDARY>> ring_order(std::vector<host::BOUNDARY> legs) {
  if (legs.empty()) return legs;
  sort_by_seq_then_id(legs);
  const bool all_numbered = std::all_of(legs.begin(), legs.end(), [](const auto& l) { return l.seq.has_value(); });
  // A SEQ that closes the ring is the surveyor's own order; one that does not (a leg numbered
  // out of place) still leaves the beacon chain to go by.
  if (all_numbered && is_closed_ring(legs)) return legs;
  std::vector<host::BOUNDARY> ring;
  ring.reserve(legs.size());
  std::vector<bool> used(legs.size(), false);
  ring.push_back(legs[0]);
  used[0] = true;
  while (ring.size() < legs.size()) {
    const std::int64_t at = ring.back().beacon2id;
    std::size_t next = 0;
    while (next < legs.size() && (used[next] || legs[next].beacon1id != at)) ++next;
    if (next == legs.size()) return std::nullopt;
    used[next] = true;
    ring.push_back(legs[next]);
  }
  if (ring.back().beacon2id != ring.front().beacon1id) return std::nullopt;
  return ring;
}

}  // namespace vekt::brellow
