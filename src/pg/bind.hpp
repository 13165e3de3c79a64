#pragma once
// Typed parameter values as the arrays libpq wants (binary where the type is fixed). Inside src/pg.
#include <string>
#include <vector>

#include "pg/error.hpp"
#include "pg/value.hpp"

namespace vekt::pg {

// The parameter arrays libpq wants, built from typed values (binary where the type is fixed).
struct Bound {
  std::vector<Oid> types;
  std::vector<std::string> storage;
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  std::string type_key;  // part of the prepared-statement key
};

// The values of `names` (in $-order) from `params`; the last value given for a name wins. A name
// without a value: pg::Error.
Bound bind_values(const std::vector<std::string>& names, const Params& params);

}  // namespace vekt::pg
