#include "brellow/document_queue.hpp"

#include "brellow/errors.hpp"

namespace vekt::brellow {

DocumentQueue::Place DocumentQueue::enter() {
  std::size_t n = in_hand_.load(std::memory_order_acquire);
  do {
    if (n >= limit_) throw QueueFull(limit_);
  } while (!in_hand_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
  return Place(*this);
}

}  // namespace vekt::brellow
