#include "host/database.hpp"

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "base/error.hpp"
#include "base/pyconv.hpp"

namespace vekt::host {

namespace asio = boost::asio;

pg::DatabaseOptions database_options_from_env() {
  pg::DatabaseOptions o;
  if (const char* u = std::getenv("DATABASE_URL")) {
    o.url = u;
    // A URL libpq cannot read stops start-up here instead of failing every request later.
    try {
      pg::check_connection_url(o.url);
    } catch (const pg::Error& e) {
      throw base::ValueError(std::string("DATABASE_URL is not a PostgreSQL connection URI: ") + e.what());
    }
  }
  if (const char* n = std::getenv("VEKT_DB_POOL_SIZE")) {
    auto v = base::py_int(n);
    if (!v || v->huge() || *v->value <= 0)
      throw base::ValueError(std::string("VEKT_DB_POOL_SIZE must be a positive integer, not '") + n + "'");
    o.pool_size = static_cast<std::size_t>(*v->value);
  }
  return o;
}

pg::Database& database() {
  static pg::Database db(database_options_from_env());
  return db;
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
