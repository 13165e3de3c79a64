// Whether a pooled connection may be handed out: a server that shut a connection down (a restart,
// pg_terminate_backend, an idle timeout) first sends a FATAL message and then closes the socket,
// while libpq keeps reporting the connection as fine until it next reads from it.
#include <poll.h>

#include <cstring>

#include "pg/connection.hpp"

namespace vekt::pg {

namespace {

void on_server_message(void* arg, const PGresult* r) {
  const char* severity = PQresultErrorField(r, PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0))
    static_cast<PgConn*>(arg)->terminated = true;
}

}  // namespace

void watch_notices(PgConn& c) { PQsetNoticeReceiver(c.conn.get(), on_server_message, &c); }

bool idle_alive(PgConn& c) {
  if (c.terminated) return false;
  if (PQstatus(c.conn.get()) != CONNECTION_OK) return false;
  if (PQtransactionStatus(c.conn.get()) != PQTRANS_IDLE) return false;
  pollfd p{PQsocket(c.conn.get()), POLLIN, 0};
  const int r = ::poll(&p, 1, 0);
  if (r < 0) return false;
  if (r == 0) return true;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  // Something arrived while idle: read it all. PQisBusy parses it, so that a termination message
  // reaches on_server_message; an end of stream turns the status bad.
  int reads = 0;
  do {
    if (!PQconsumeInput(c.conn.get())) return false;
    (void)PQisBusy(c.conn.get());
    if (c.terminated) return false;
    p.revents = 0;
  } while (++reads < 4 && ::poll(&p, 1, 0) > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL)));
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  while (PGnotify* n = PQnotifies(c.conn.get())) PQfreemem(n);
  return PQstatus(c.conn.get()) == CONNECTION_OK && !PQisBusy(c.conn.get());
}

}  // namespace vekt::pg
