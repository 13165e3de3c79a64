#pragma once
// How the tile routes answer when a database step fails: one mapping from the kind of failure to
// the line logged and the answer given, instead of a catch block per route.
#include <exception>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "web/router.hpp"

namespace vekt::korvane {

struct FailureAnswer {
  int status = 500;
  std::string detail;
  // The error line logged; for every kind but a time-out ": {the error's own message}" follows.
  std::string log;
};

struct StepFailures {
  FailureAnswer timeout;      // the step's time limit expired
  FailureAnswer unavailable;  // the database could not run it (connection lost, no connection free, ...)
  FailureAnswer refused;      // the server refused the statement with an error of its own
  FailureAnswer other;        // anything else (no row where one was expected, ...)
};

// The answer to the failure `error` of a step: logs its line at error level and returns the error
// to throw. HTTP errors pass through unchanged.
web::HttpError failure_answer(std::exception_ptr error, const StepFailures& failures);

// Runs `step`; a failure is answered as `failures` says (thrown as web::HttpError).
template <class T>
boost::asio::awaitable<T> answer_failures(boost::asio::awaitable<T> step, const StepFailures& failures) {
  try {
    co_return co_await std::move(step);
  } catch (...) {
    throw failure_answer(std::current_exception(), failures);
  }
}

}  // namespace vekt::korvane
