#include "host/database.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "host/settings.hpp"

namespace vekt::host {

namespace asio = boost::asio;

namespace {

std::atomic<pg::Database*> handed_over{nullptr};

}  // namespace

void use_database(pg::Database& db) { handed_over.store(&db, std::memory_order_release); }

pg::Database& database() {
  if (pg::Database* db = handed_over.load(std::memory_order_acquire)) return *db;
  static pg::Database made(read_database_settings());
  return made;
}

pg::Session get_db() { return pg::Session(database()); }

namespace {

// A free coroutine with its parameters by value: the frame owns what it uses, whatever happens to
// the std::function that started it.
asio::awaitable<web::Response> run_with_db(std::shared_ptr<const DbHandler> handler, web::Request& request) {
  pg::Session session = get_db();
  std::exception_ptr failure;
  web::Response response;
  try {
    response = co_await (*handler)(request, session);
  } catch (...) {
    failure = std::current_exception();
  }
  // close() never throws and is not cut short by a cancellation of the request.
  co_await session.close();
  if (failure) std::rethrow_exception(failure);
  co_return response;
}

}  // namespace

std::function<asio::awaitable<web::Response>(web::Request&)> with_db(DbHandler handler) {
  auto shared = std::make_shared<const DbHandler>(std::move(handler));
  return [shared](web::Request& request) { return run_with_db(shared, request); };
}

}  // namespace vekt::host
