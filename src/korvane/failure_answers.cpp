#include "korvane/failure_answers.hpp"

#include "base/with_timeout.hpp"
#include "korvane/service.hpp"
#include "pg/session.hpp"

namespace vekt::korvane {

namespace {

web::HttpError logged(const FailureAnswer& a, const std::string& what, bool with_message = true) {
  if (with_message) logger()->error("{}: {}", a.log, what);
  else logger()->error("{}", a.log);
  return web::HttpError(a.status, a.detail);
}

}  // namespace

web::HttpError failure_answer(std::exception_ptr error, const StepFailures& failures) {
  try {
    std::rethrow_exception(error);
  } catch (const web::HttpError& e) {
    return e;
  } catch (const base::OutOfResources& e) {
    logger()->error("{}: {}", failures.other.log, e.what());
    return web::busy_error();
  } catch (const base::TimeoutError&) {
    return logged(failures.timeout, {}, false);
  } catch (const pg::Error& e) {
    return logged(e.unavailable() ? failures.unavailable : failures.refused, e.what());
  } catch (const std::exception& e) {
    return logged(failures.other, e.what());
  } catch (...) {
    return logged(failures.other, "unknown error");
  }
}

}  // namespace vekt::korvane
