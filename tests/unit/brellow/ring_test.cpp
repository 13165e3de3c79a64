// The ring order of a parcel's legs.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "brellow/ring.hpp"

using vekt::host::BOUNDARY;

namespace {

BOUNDARY leg(std::int64_t id, std::int64_t from, std::int64_t to, std::optional<std::int64_t> seq = std::nullopt) {
  BOUNDARY l;
  l.id = id;
  l.plotid = 1;
  l.beacon1id = from;
  l.beacon2id = to;
  l.seq = seq;
  return l;
}

std::vector<std::int64_t> ids(const std::vector<BOUNDARY>& legs) {
  std::vector<std::int64_t> out;
  for (const auto& l : legs) out.push_back(l.id);
  return out;
}

}  // namespace

TEST(RingOrder, FollowsBeaconsFromTheLowestId) {
  // Stored shuffled, ids out of ring order: 10 (A-B), 14 (B-C), 12 (C-D), 15 (D-E), 13 (E-A).
  auto ring = vekt::brellow::ring_order({leg(15, 4, 5), leg(12, 3, 4), leg(10, 1, 2), leg(13, 5, 1), leg(14, 2, 3)});
  ASSERT_TRUE(ring);
  EXPECT_EQ(ids(*ring), (std::vector<std::int64_t>{10, 14, 12, 15, 13}));
}

TEST(RingOrder, BySeqWhenEveryLegHasOne) {
  auto ring = vekt::brellow::ring_order({leg(1, 3, 1, 3), leg(2, 1, 2, 1), leg(3, 2, 3, 2)});
  ASSERT_TRUE(ring);
  EXPECT_EQ(ids(*ring), (std::vector<std::int64_t>{2, 3, 1}));
}

TEST(RingOrder, FollowsTheBeaconsWhereSeqDoesNotCloseTheRing) {
  // SEQ 1, 2, 3 puts leg 3 (C-A) before leg 2 (B-C); the beacon chain mends it.
  auto ring = vekt::brellow::ring_order({leg(1, 1, 2, 1), leg(2, 2, 3, 3), leg(3, 3, 1, 2)});
  ASSERT_TRUE(ring);
  EXPECT_EQ(ids(*ring), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(RingOrder, StartsAtTheLowestSeqWhenSomeAreMissing) {
  auto ring = vekt::brellow::ring_order({leg(1, 1, 2), leg(2, 2, 3, 1), leg(3, 3, 1)});
  ASSERT_TRUE(ring);
  EXPECT_EQ(ids(*ring), (std::vector<std::int64_t>{2, 3, 1}));
}

TEST(RingOrder, NoRingWhenTheLegsDoNotClose) {
  EXPECT_FALSE(vekt::brellow::ring_order({leg(1, 1, 2), leg(2, 3, 4)}));          // a gap
  EXPECT_FALSE(vekt::brellow::ring_order({leg(1, 1, 2), leg(2, 2, 3)}));          // open end
  EXPECT_FALSE(vekt::brellow::ring_order({leg(1, 1, 2, 1), leg(2, 1, 2, 2)}));    // numbered, not chained
  EXPECT_FALSE(vekt::brellow::ring_order({leg(1, 1, 2)}));
  auto empty = vekt::brellow::ring_order({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(RingOrder, SortBySeqThenIdPutsUnnumberedLast) {
  std::vector<BOUNDARY> legs{leg(5, 0, 0), leg(3, 0, 0, 2), leg(4, 0, 0), leg(9, 0, 0, 1)};
  vekt::brellow::sort_by_seq_then_id(legs);
  EXPECT_EQ(ids(legs), (std::vector<std::int64_t>{9, 3, 4, 5}));
}
