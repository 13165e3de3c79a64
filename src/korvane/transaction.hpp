#pragma once
// db_transaction(db, block) runs `block` and then finishes the session's unit of work: commit on
// success, rollback when the block or the commit failed, and close exactly once, last, in every
// path. The caller sees the very exception that ended the block (or the rollback's or close's own,
// which replace it). Nothing is logged, converted or wrapped.
//
// Session needs three awaitable methods: commit(), rollback(), close().
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>

namespace vekt::korvane {

template <class Session, class Block>
auto db_transaction(Session& db, Block block)
    -> boost::asio::awaitable<typename std::invoke_result_t<Block&, Session&>::value_type> {
  using T = typename std::invoke_result_t<Block&, Session&>::value_type;
  constexpr bool is_void = std::is_void_v<T>;
  // The block's value, held until close() is done; a void block leaves a monostate.
  std::optional<std::conditional_t<is_void, std::monostate, T>> value;
  std::exception_ptr failure;
  // co_await may not appear inside a handler: remember the error, act after the catch.
  try {
    if constexpr (is_void) {
      co_await block(db);
      value.emplace();
    } else {
      value.emplace(co_await block(db));
    }
    co_await db.commit();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    try {
      co_await db.rollback();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  co_await db.close();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!is_void) co_return std::move(*value);
}

}  // namespace vekt::korvane
