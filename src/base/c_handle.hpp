#pragma once
// Ownership of C library objects: `CHandle<PGresult, PQclear>` is a unique_ptr that hands the object
// to its library's free function, so no handle needs a deleter struct of its own.
#include <memory>

namespace vekt::base {

template <auto Free>
struct CFree {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

template <class T, auto Free>
using CHandle = std::unique_ptr<T, CFree<Free>>;

}  // namespace vekt::base
