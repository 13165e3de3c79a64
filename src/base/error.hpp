#pragma once
// The root of vekt's exception types. Each module derives its own small hierarchy from Error so
// the HTTP edge can tell our failures from everything else.
#include <stdexcept>
#include <string>

namespace vekt::base {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A bad value handed to a function: the message is the exact text callers show.
class ValueError : public Error {
 public:
  using Error::Error;
};

}  // namespace vekt::base
