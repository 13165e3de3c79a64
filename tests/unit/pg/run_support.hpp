#pragma once
// Runs one coroutine to completion on an io_context and hands back its value or its exception.
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace vekt::testing {

template <class T>
T run(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e) { error = e; });
    io.restart();
    io.run();
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> out;
    boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e, T v) {
      error = e;
      if (!e) out.emplace(std::move(v));
    });
    io.restart();
    io.run();
    if (error) std::rethrow_exception(error);
    return std::move(*out);
  }
}

}  // namespace vekt::testing
