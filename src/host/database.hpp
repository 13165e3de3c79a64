#pragma once
// The request-scoped database session of the host.
//
// database() is the one process-wide pg::Database (DATABASE_URL, VEKT_DB_POOL_SIZE), made on first
// use — call it once at start-up so a bad setting fails start-up rather than a request. get_db()
// hands a request its own lazy session (no connection until its first statement). with_db() wraps a
// route handler so the session is closed when the request ends, on every path: success, exception,
// cancellation (close rolls back whatever is still open and never throws).
#include <functional>

#include <boost/asio/awaitable.hpp>

#include "pg/session.hpp"
#include "web/http.hpp"

namespace vekt::host {

// url from DATABASE_URL, pool_size from VEKT_DB_POOL_SIZE (not an integer > 0: base::ValueError).
pg::DatabaseOptions database_options_from_env();

pg::Database& database();

pg::Session get_db();

// A handler that receives the request's session.
using DbHandler = std::function<boost::asio::awaitable<web::Response>(web::Request&, pg::Session&)>;

// The web handler that runs `handler` with a fresh get_db() session and closes it afterwards.
std::function<boost::asio::awaitable<web::Response>(web::Request&)> with_db(DbHandler handler);

}  // namespace vekt::host
