// Statement results in libpq's binary format, decoded by column type.
#include <libpq-fe.h>

#include <bit>
#include <charconv>
#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "base/numfmt.hpp"
#include "pg/result.hpp"

namespace vekt::pg {

namespace {

enum : Oid {
  kBool = 16, kBytea = 17, kChar = 18, kName = 19, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25,
  kOid = 26, kJson = 114, kXml = 142, kFloat4 = 700, kFloat8 = 701, kUnknown = 705, kBpchar = 1042,
  kVarchar = 1043, kDate = 1082, kTimestamp = 1114, kTimestamptz = 1184, kNumeric = 1700,
  kUuid = 2950, kJsonb = 3802,
};

template <class T>
T read_be(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
  }
  return v;
}

bool is_text_type(Oid t) {
  switch (t) {
    case kChar: case kName: case kText: case kJson: case kXml: case kUnknown: case kBpchar: case kVarchar:
      return true;
    default:
      return false;
  }
}

void need(std::string_view raw, std::size_t n, Oid t) {
  if (raw.size() < n) throw Error::misuse(fmt::format("malformed binary value of type oid {}", t));
}

// numeric's binary form: ndigits, weight, sign, dscale, then base-10000 digits.
std::string numeric_text(std::string_view raw) {
  need(raw, 8, kNumeric);
  const auto ndigits = read_be<std::int16_t>(raw.data());
  const auto weight = read_be<std::int16_t>(raw.data() + 2);
  const auto sign = read_be<std::uint16_t>(raw.data() + 4);
  const auto dscale = read_be<std::int16_t>(raw.data() + 6);
  if (sign == 0xC000) return "NaN";
  if (sign == 0xD000) return "Infinity";
  if (sign == 0xF000) return "-Infinity";
  need(raw, 8 + 2 * static_cast<std::size_t>(std::max<int>(ndigits, 0)), kNumeric);
  auto digit = [&](int i) -> int {
    if (i < 0 || i >= ndigits) return 0;
    return read_be<std::int16_t>(raw.data() + 8 + 2 * i);
  };
  std::string out;
  if (sign == 0x4000) out += '-';
  // Integer part: groups 0..weight.
  if (weight < 0) {
    out += '0';
  } else {
    for (int i = 0; i <= weight; ++i) {
      int d = digit(i);
      if (i == 0) out += std::to_string(d);
      else out += fmt::format("{:04d}", d);
    }
  }
  if (dscale > 0) {
    out += '.';
    std::string frac;
    for (int i = weight + 1; static_cast<int>(frac.size()) < dscale; ++i) frac += fmt::format("{:04d}", digit(i));
    frac.resize(static_cast<std::size_t>(dscale));
    out += frac;
  }
  return out;
}

std::string date_text(std::int32_t days_since_2000) {
  using namespace std::chrono;
  const sys_days d = sys_days(year{2000} / January / 1) + days(days_since_2000);
  const year_month_day ymd(d);
  return fmt::format("{:04d}-{:02d}-{:02d}", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()));
}

std::string timestamp_text(std::int64_t usec_since_2000, bool tz) {
  using namespace std::chrono;
  if (usec_since_2000 == std::numeric_limits<std::int64_t>::max()) return "infinity";
  if (usec_since_2000 == std::numeric_limits<std::int64_t>::min()) return "-infinity";
  std::int64_t day = usec_since_2000 / 86400000000LL;
  std::int64_t rem = usec_since_2000 % 86400000000LL;
  if (rem < 0) {
    rem += 86400000000LL;
    --day;
  }
  std::string out = date_text(static_cast<std::int32_t>(day));
  const std::int64_t secs = rem / 1000000, usec = rem % 1000000;
  out += fmt::format(" {:02d}:{:02d}:{:02d}", secs / 3600, (secs / 60) % 60, secs % 60);
  if (usec != 0) {
    std::string f = fmt::format("{:06d}", usec);
    while (!f.empty() && f.back() == '0') f.pop_back();
    out += '.' + f;
  }
  if (tz) out += "+00";
  return out;
}

}  // namespace

Field::Field(std::shared_ptr<pg_result> res, int row, int col) : res_(std::move(res)), row_(row), col_(col) {}

bool Field::is_null() const { return !res_ || PQgetisnull(res_.get(), row_, col_) != 0; }

Oid Field::type() const { return res_ ? PQftype(res_.get(), col_) : 0; }

std::string_view Field::raw() const {
  if (is_null()) return {};
  return {PQgetvalue(res_.get(), row_, col_), static_cast<std::size_t>(PQgetlength(res_.get(), row_, col_))};
}

std::string Field::bytes() const { return std::string(raw()); }

std::string Field::text() const {
  if (is_null()) throw Error::misuse("value is NULL");
  const Oid t = type();
  const std::string_view r = raw();
  if (is_text_type(t)) return std::string(r);
  switch (t) {
    case kBool: return as_bool() ? "true" : "false";
    case kInt2: case kInt4: case kInt8: case kOid: return std::to_string(as_int());
    case kFloat4: case kFloat8: return base::py_float_str(as_double());
    case kNumeric: return numeric_text(r);
    case kJsonb: need(r, 1, t); return std::string(r.substr(1));
    case kDate: {
      need(r, 4, t);
      const auto d = read_be<std::int32_t>(r.data());
      if (d == std::numeric_limits<std::int32_t>::max()) return "infinity";
      if (d == std::numeric_limits<std::int32_t>::min()) return "-infinity";
      return date_text(d);
    }
    case kTimestamp: case kTimestamptz: need(r, 8, t); return timestamp_text(read_be<std::int64_t>(r.data()), t == kTimestamptz);
    case kUuid: {
      need(r, 16, t);
      std::string out;
      for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += fmt::format("{:02x}", static_cast<unsigned char>(r[static_cast<std::size_t>(i)]));
      }
      return out;
    }
    default:
      throw Error::misuse(fmt::format("no text form for a value of type oid {}", t));
  }
}

double Field::as_double() const {
  if (is_null()) throw Error::misuse("value is NULL");
  const Oid t = type();
  const std::string_view r = raw();
  switch (t) {
    case kFloat8: need(r, 8, t); return std::bit_cast<double>(read_be<std::uint64_t>(r.data()));
    case kFloat4: need(r, 4, t); return std::bit_cast<float>(read_be<std::uint32_t>(r.data()));
    case kInt2: case kInt4: case kInt8: case kOid: return static_cast<double>(as_int());
    case kNumeric: {
      const std::string s = numeric_text(r);
      if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
      if (s == "Infinity") return std::numeric_limits<double>::infinity();
      if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
      double v = 0;
      std::from_chars(s.data(), s.data() + s.size(), v);
      return v;
    }
    default:
      throw Error::misuse(fmt::format("a value of type oid {} is not a number", t));
  }
}

std::int64_t Field::as_int() const {
  if (is_null()) throw Error::misuse("value is NULL");
  const Oid t = type();
  const std::string_view r = raw();
  switch (t) {
    case kInt2: need(r, 2, t); return read_be<std::int16_t>(r.data());
    case kInt4: need(r, 4, t); return read_be<std::int32_t>(r.data());
    case kOid: need(r, 4, t); return read_be<std::uint32_t>(r.data());
    case kInt8: need(r, 8, t); return read_be<std::int64_t>(r.data());
    default:
      throw Error::misuse(fmt::format("a value of type oid {} is not an integer", t));
  }
}

bool Field::as_bool() const {
  if (is_null()) throw Error::misuse("value is NULL");
  if (type() != kBool) throw Error::misuse(fmt::format("a value of type oid {} is not a boolean", type()));
  need(raw(), 1, kBool);
  return raw()[0] != 0;
}

Value Field::value() const {
  if (is_null()) return Null{};
  switch (type()) {
    case kBool: return as_bool();
    case kInt2: case kInt4: return static_cast<std::int32_t>(as_int());
    case kInt8: case kOid: return as_int();
    case kFloat4: case kFloat8: case kNumeric: return as_double();
    case kBytea: return Bytes{bytes()};
    default:
      if (is_text_type(type()) || type() == kJsonb || type() == kDate || type() == kTimestamp ||
          type() == kTimestamptz || type() == kUuid)
        return text();
      return Bytes{bytes()};
  }
}

Row::Row(std::shared_ptr<pg_result> res, int row) : res_(std::move(res)), row_(row) {}

std::size_t Row::size() const { return res_ ? static_cast<std::size_t>(PQnfields(res_.get())) : 0; }

Field Row::operator[](std::size_t col) const {
  if (col >= size()) throw Error::misuse(fmt::format("no column {} in a row of {}", col, size()));
  return Field(res_, row_, static_cast<int>(col));
}

std::optional<std::size_t> Row::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < size(); ++i)
    if (name == PQfname(res_.get(), static_cast<int>(i))) return i;
  return std::nullopt;
}

Field Row::operator[](std::string_view name) const {
  auto i = index_of(name);
  if (!i) throw Error::misuse(fmt::format("no column named '{}'", name));
  return (*this)[*i];
}

Result::Result(std::shared_ptr<pg_result> res) : res_(std::move(res)) {}

std::size_t Result::size() const { return res_ ? static_cast<std::size_t>(PQntuples(res_.get())) : 0; }

std::vector<std::string> Result::columns() const {
  std::vector<std::string> out;
  if (!res_) return out;
  for (int i = 0; i < PQnfields(res_.get()); ++i) out.emplace_back(PQfname(res_.get(), i));
  return out;
}

Row Result::row(std::size_t i) const {
  if (i >= size()) throw Error::misuse(fmt::format("no row {} in a result of {}", i, size()));
  return Row(res_, static_cast<int>(i));
}

std::vector<Row> Result::all() const {
  std::vector<Row> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.emplace_back(res_, static_cast<int>(i));
  return out;
}

std::string Result::command_status() const { return res_ ? PQcmdStatus(res_.get()) : ""; }

std::int64_t Result::rows_affected() const {
  if (!res_) return 0;
  const char* s = PQcmdTuples(res_.get());
  std::int64_t v = 0;
  std::from_chars(s, s + std::strlen(s), v);
  return v;
}

std::optional<Field> Result::scalar_one_or_none() const {
  if (size() > 1) throw Error::misuse("Multiple rows were found when one or none was required");
  return scalar();
}

std::optional<Field> Result::scalar() const {
  if (size() == 0 || !res_ || PQnfields(res_.get()) == 0) return std::nullopt;
  Field f(res_, 0, 0);
  if (f.is_null()) return std::nullopt;
  return f;
}

std::optional<Row> Result::first() const {
  if (size() == 0) return std::nullopt;
  return Row(res_, 0);
}

}  // namespace vekt::pg
