#pragma once
// Each layer may hold at most a share of an event loop's database connections, so that one layer's
// slow statements (its table locked, say) never take every connection: the other layers keep being
// served. A request beyond its layer's share waits in line, within its own time limit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

namespace vekt::korvane {

class LayerShare {
 public:
  // `per_layer`: how many requests of one layer may use the database at once, on each loop (0: 1).
  explicit LayerShare(std::size_t per_layer);
  std::size_t per_layer() const { return per_layer_; }

  class Gate;
  // A request's place in its layer's share, given back when destroyed.
  class Hold {
   public:
    Hold() = default;
    Hold(std::shared_ptr<Gate> gate, std::string layer);
    Hold(Hold&& o) noexcept;
    Hold& operator=(Hold&& o) noexcept;
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    void release();
    std::shared_ptr<Gate> gate_;
    std::string layer_;
  };

  // Waits (first come, first served) until `layer` is below its share on the calling loop. Bound
  // it with base::with_timeout; cancelled, it throws operation_aborted and holds nothing.
  boost::asio::awaitable<Hold> enter(std::string_view layer);

 private:
  std::size_t per_layer_;
  std::uint64_t id_;
};

}  // namespace vekt::korvane
