#pragma once
// The root of vekt's exception types. Each module derives its own small hierarchy from Error so
// the HTTP edge can tell our failures from everything else.
#include <cerrno>
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

// The process ran out of something of its own (descriptors, memory), not a fault of the request:
// answered "try again shortly", never as an internal error.
class OutOfResources : public Error {
 public:
  using Error::Error;
};

// Whether a failed call's errno says the process or the system ran out of descriptors or memory.
inline bool out_of_resources(int error_number) {
  return error_number == EMFILE || error_number == ENFILE || error_number == ENOMEM;
}

}  // namespace vekt::base
