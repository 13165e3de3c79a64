#include "korvane/layer_share.hpp"

#include <unordered_map>
#include <utility>

#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include "base/conn_pool.hpp"
#include "base/fifo_gate.hpp"

namespace vekt::korvane {

namespace asio = boost::asio;

// The counts of one loop; touched only on that loop, so nothing here takes a lock.
class LayerShare::Gate : public base::LoopPoolBase {
 public:
  struct Layer {
    std::size_t holding = 0;
    base::FifoGate<> waiters;
  };

  explicit Gate(std::size_t limit) : limit_(limit) {}

  void shutdown() override {
    closed_ = true;
    for (auto& [name, layer] : layers_) layer.waiters.wake_all();
  }

  std::unordered_map<std::string, Layer> layers_;
  std::size_t limit_;
  bool closed_ = false;

  // The place passes straight to the first waiter, if any.
  void leave(const std::string& name) {
    auto it = layers_.find(name);
    if (it == layers_.end()) return;
    Layer& l = it->second;
    if (l.waiters.hand_over()) return;
    if (l.holding > 0) --l.holding;
  }
};

LayerShare::LayerShare(std::size_t per_layer)
    : per_layer_(per_layer == 0 ? 1 : per_layer), id_(base::next_pool_owner_id()) {}

LayerShare::Hold::Hold(std::shared_ptr<Gate> gate, std::string layer) : gate_(std::move(gate)), layer_(std::move(layer)) {}
LayerShare::Hold::Hold(Hold&& o) noexcept : gate_(std::move(o.gate_)), layer_(std::move(o.layer_)) {}
LayerShare::Hold& LayerShare::Hold::operator=(Hold&& o) noexcept {
  if (this != &o) {
    release();
    gate_ = std::move(o.gate_);
    layer_ = std::move(o.layer_);
  }
  return *this;
}
LayerShare::Hold::~Hold() { release(); }

void LayerShare::Hold::release() {
  if (!gate_) return;
  auto g = std::move(gate_);
  g->leave(layer_);
}

asio::awaitable<LayerShare::Hold> LayerShare::enter(std::string_view layer) {
  auto ex = co_await asio::this_coro::executor;
  const std::size_t limit = per_layer_;
  auto g = base::loop_pool<Gate>(ex, id_, [limit] { return std::make_shared<Gate>(limit); });
  if (g->closed_) throw boost::system::system_error(asio::error::shut_down);
  Gate::Layer& l = g->layers_[std::string(layer)];
  if (l.holding < g->limit_ && l.waiters.empty()) {
    ++l.holding;
    co_return Hold(g, std::string(layer));
  }
  const auto turn = co_await l.waiters.wait();
  if (turn.granted) co_return Hold(g, std::string(layer));  // the place was handed over, count and all
  const auto ec = turn.ec;
  if (g->closed_) throw boost::system::system_error(asio::error::shut_down);
  throw boost::system::system_error(ec ? ec : asio::error::operation_aborted);
}

}  // namespace vekt::korvane
