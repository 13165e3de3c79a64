#pragma once
// The ring order of a parcel's boundary legs: each leg starts at the beacon where the one before
// it ended, and the last ends where the first starts.
#include <optional>
#include <vector>

#include "host/models.hpp"

namespace vekt::brellow {

// The legs in order of "SEQ" (unset last), then "ID".
void sort_by_seq_then_id(std::vector<host::BOUNDARY>& legs);

// The legs of one parcel in ring order: by "SEQ" when every leg has one and that order closes
// the ring, otherwise by following each leg's end beacon to the next leg's start beacon, from the
// first leg by "SEQ", then "ID" (where two legs start at the same beacon, the earlier one in that
// order is taken). nullopt when the legs make one closed ring neither way. No legs give an empty
// ring.
std::optional<std::vector<host::BOUNDARY>> ring_order(std::vector<host::BOUNDARY> legs);

}  // namespace vekt::brellow
