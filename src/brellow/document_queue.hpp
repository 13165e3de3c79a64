#pragma once
// How many plan documents the server takes on at once. A document holds a figure worker and a
// PDF worker for seconds; past the limit a request is turned away at once (503 with Retry-After)
// instead of piling up behind the others until every client times out.
#include <atomic>
#include <cstddef>
#include <optional>

#include "brellow/errors.hpp"

namespace vekt::brellow {

class DocumentQueue {
 public:
  explicit DocumentQueue(std::size_t limit) : limit_(limit) {}

  // A place in the queue, held for the whole document; leaving frees it.
  class Place {
   public:
    explicit Place(DocumentQueue& q) : q_(&q) {}
    Place(Place&& o) noexcept : q_(o.q_) { o.q_ = nullptr; }
    Place& operator=(Place&&) = delete;
    Place(const Place&) = delete;
    ~Place() {
      if (q_) q_->in_hand_.fetch_sub(1, std::memory_order_acq_rel);
    }

   private:
    DocumentQueue* q_;
  };

  // A place, or QueueFull (brellow/errors.hpp) when `limit` documents are already in hand.
  Place enter();

  std::size_t limit() const { return limit_; }
  std::size_t in_hand() const { return in_hand_.load(std::memory_order_acquire); }

 private:
  std::size_t limit_;
  std::atomic<std::size_t> in_hand_{0};
};

}  // namespace vekt::brellow
