#pragma once
// What a statement gives back: its rows and their fields, in binary format.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pg/error.hpp"
#include "pg/value.hpp"

struct pg_result;

namespace vekt::pg {

// One cell of a result. Results come in binary format: bytea is the raw bytes. Copies are cheap (the
// underlying result is shared).
class Field {
 public:
  Field() = default;
  Field(std::shared_ptr<pg_result> res, int row, int col);

  bool is_null() const;
  Oid type() const;
  std::string_view raw() const;  // the wire bytes (bytea: the value itself; text types: the text)

  std::string bytes() const;     // raw() as a string
  std::string text() const;      // text-like types as is; numbers, bool, date/time formatted
  double as_double() const;      // float4/8, int2/4/8, numeric
  std::int64_t as_int() const;   // int2/4/8, oid
  bool as_bool() const;
  Value value() const;           // NULL, bool, int32 (int2/int4), int64, double, text, bytea
 private:
  std::shared_ptr<pg_result> res_;
  int row_ = 0;
  int col_ = 0;
};

class Row {
 public:
  Row() = default;
  Row(std::shared_ptr<pg_result> res, int row);
  std::size_t size() const;
  Field operator[](std::size_t col) const;
  Field operator[](std::string_view name) const;  // throws pg::Error for an unknown column
  std::optional<std::size_t> index_of(std::string_view name) const;

 private:
  std::shared_ptr<pg_result> res_;
  int row_ = 0;
};

class Result {
 public:
  Result() = default;
  explicit Result(std::shared_ptr<pg_result> res);

  std::size_t size() const;                       // number of rows
  bool empty() const { return size() == 0; }
  std::vector<std::string> columns() const;       // column names in order
  Row row(std::size_t i) const;
  std::vector<Row> all() const;
  std::string command_status() const;             // "SELECT 1", "INSERT 0 3", ...
  std::int64_t rows_affected() const;

  // The first column of the only row; nullopt when there is no row or the value is NULL; more than
  // one row throws pg::Error.
  std::optional<Field> scalar_one_or_none() const;
  // The first column of the first row (nullopt: no row or NULL); further rows are ignored.
  std::optional<Field> scalar() const;
  std::optional<Row> first() const;

 private:
  std::shared_ptr<pg_result> res_;
};

}  // namespace vekt::pg
