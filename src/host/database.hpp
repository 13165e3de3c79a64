#pragma once
// The request-scoped database session of the host.
//
// database() is the one process-wide pg::Database. vekt-server builds it from its settings and hands
// it over with use_database() before it serves; a program that hands over none (a tool, a test) gets
// one made on first use from DATABASE_URL and VEKT_DB_POOL_SIZE. get_db()
// hands a request its own lazy session (no connection until its first statement). with_db() wraps a
// route handler so the session is closed when the request ends, on every path: success, exception,
// cancellation (close rolls back whatever is still open and never throws).
#include <functional>

#include <boost/asio/awaitable.hpp>

#include "pg/session.hpp"
#include "web/http.hpp"

namespace vekt::host {

pg::Database& database();

// Makes `db` the process's database; it must outlive every request. Once, before any thread serves.
void use_database(pg::Database& db);

pg::Session get_db();

// A handler that receives the request's session.
using DbHandler = std::function<boost::asio::awaitable<web::Response>(web::Request&, pg::Session&)>;

// The web handler that runs `handler` with a fresh get_db() session and closes it afterwards.
std::function<boost::asio::awaitable<web::Response>(web::Request&)> with_db(DbHandler handler);

}  // namespace vekt::host
