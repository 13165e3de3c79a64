#include "support/sync_pg.hpp"

#include <stdexcept>

namespace vekt::testing {

PgConn connect_or_throw(const std::string& conninfo) {
  PgConn c(PQconnectdb(conninfo.c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK)
    throw std::runtime_error(std::string("cannot connect: ") + PQerrorMessage(c.get()));
  return c;
}

PgResult exec(PGconn* c, const std::string& sql) { return PgResult(PQexec(c, sql.c_str())); }

PgResult exec_ok(PGconn* c, const std::string& sql) {
  PgResult r = exec(c, sql);
  auto st = PQresultStatus(r.get());
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
    throw std::runtime_error("statement failed: " + sql + "\n" + PQresultErrorMessage(r.get()));
  return r;
}

std::string scalar(PGconn* c, const std::string& sql) {
  PgResult r = exec(c, sql);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1 || PQnfields(r.get()) != 1)
    throw std::runtime_error("query did not give one value: " + sql + "\n" + PQresultErrorMessage(r.get()));
  return PQgetvalue(r.get(), 0, 0);
}

SyncPg::SyncPg(const std::string& url) : c_(connect_or_throw(url)) {
  exec_ok(c_.get(), "SET client_min_messages = warning");
}

std::vector<std::optional<std::string>> SyncPg::exec(const std::string& sql) {
  PgResult r = exec_ok(c_.get(), sql);
  std::vector<std::optional<std::string>> out;
  if (PQresultStatus(r.get()) == PGRES_TUPLES_OK)
    for (int i = 0; i < PQntuples(r.get()); ++i)
      out.push_back(PQgetisnull(r.get(), i, 0) ? std::nullopt : std::optional<std::string>(PQgetvalue(r.get(), i, 0)));
  return out;
}

}  // namespace vekt::testing
