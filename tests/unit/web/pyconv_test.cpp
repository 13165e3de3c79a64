#include "base/pyconv.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using vekt::base::py_bool;
using vekt::base::py_float;
using vekt::base::py_int;

struct IntCase {
  const char* text;
  bool ok;
  const char* normalised;  // when ok
  bool fits;
};

TEST(PyInt, ConvertsAsIntDoes) {
  const IntCase cases[] = {
      {"8", true, "8", true},
      {"008", true, "8", true},
      {"+5", true, "5", true},
      {"-0", true, "0", true},
      {"-007", true, "-7", true},
      {" 42\t\n", true, "42", true},
      {"1_000", true, "1000", true},
      {"0_0", true, "0", true},
      {"\xc2\xa0" "12\xe3\x80\x80", true, "12", true},  // no-break space, ideographic space
      {"9223372036854775807", true, "9223372036854775807", true},
      {"-9223372036854775808", true, "-9223372036854775808", true},
      {"9223372036854775808", true, "9223372036854775808", false},
      {"-9223372036854775809", true, "-9223372036854775809", false},
      {"123456789012345678901234567890", true, "123456789012345678901234567890", false},
      {"", false, "", false},
      {"   ", false, "", false},
      {"+", false, "", false},
      {"8.0", false, "", false},
      {"1e3", false, "", false},
      {"_1", false, "", false},
      {"1_", false, "", false},
      {"1__0", false, "", false},
      {"0x10", false, "", false},
      {"1 2", false, "", false},
      {"++1", false, "", false},
      {"abc", false, "", false},
      {"٣", true, "3", true},                        // decimal digits of other scripts
      {"\xef\xbc\x91\xef\xbc\x92", true, "12", true},  // fullwidth 1 2
      {"-\xd9\xa0\xd9\xa7", true, "-7", true},          // Arabic-Indic 0 7
      {"\xc2\x85" "5", true, "5", true},                  // next line (U+0085) is a blank
      {"\x1c" "5", false, "", false},                      // the information separators are not
      {"5\x1f", false, "", false},
      {"\xd9\xa3\xc2\xbd", false, "", false},           // a vulgar fraction is no digit
      {"1\xc2\xa0" "2", false, "", false},
      {"\xff" "1", false, "", false},
      {"\xc0\xb1", false, "", false},  // an overlong "1" is no digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto v = py_int(c.text);
    ASSERT_EQ(v.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(v->text, c.normalised);
    EXPECT_EQ(v->value.has_value(), c.fits);
    if (c.fits) {
      EXPECT_EQ(std::to_string(*v->value), c.normalised);
    }
  }
}

TEST(PyInt, RefusesTextsLongerThan4300Characters) {
  EXPECT_TRUE(py_int(std::string(4300, '7')).has_value());
  EXPECT_FALSE(py_int(std::string(4301, '7')).has_value());
  EXPECT_FALSE(py_int(" " + std::string(4300, '7')).has_value());
  // The limit counts characters, not bytes: an ideographic space is one character.
  EXPECT_TRUE(py_int(std::string(4299, '7') + "\xe3\x80\x80").has_value());
  EXPECT_FALSE(py_int(std::string(4300, '7') + "\xe3\x80\x80").has_value());
}

TEST(PyFloat, ConvertsAsFloatDoes) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5},       {" -2 ", true, -2.0},      {".5", true, 0.5},        {"5.", true, 5.0},
      {"1e3", true, 1000.0},    {"1E-2", true, 0.01},      {"+1_0.5", true, 10.5},   {"1_000e1_0", true, 1e13},
      {"007.5", true, 7.5},     {"inf", true, inf},        {"-Infinity", true, -inf}, {"+iNF", true, inf},
      {"1e400", true, inf},     {"-1e400", true, -inf},    {"1e-400", true, 0.0},    {"0", true, 0.0},
      {"", false, 0},           {".", false, 0},           {"e5", false, 0},         {"1e", false, 0},
      {"1_", false, 0},         {"_1", false, 0},          {"1._5", false, 0},       {"1,5", false, 0},
      {"0x1p3", false, 0},      {"infinit", false, 0},     {"nanx", false, 0},       {"1.5.", false, 0},
      {"- 1", false, 0},        {"abc", false, 0},
      {"\xd9\xa1.\xd9\xa5", true, 1.5},  // Arabic-Indic digits
      {"\xe3\x80\x80-\xef\xbc\x91_\xef\xbc\x90.5e+0\xc2\xa0", true, -10.5},
      {"\x1f" "1.5", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto v = py_float(c.text);
    ASSERT_EQ(v.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*v, c.value);
    }
  }
  for (const char* t : {"nan", "NaN", "-nan", "+NAN"}) {
    auto v = py_float(t);
    ASSERT_TRUE(v.has_value()) << t;
    EXPECT_TRUE(std::isnan(*v)) << t;
  }
}

TEST(PyBool, AcceptsTheWordLists) {
  struct Case {
    const char* text;
    int expect;  // 1 true, 0 false, -1 refused
  };
  const Case cases[] = {
      {"true", 1}, {"True", 1}, {"TRUE", 1}, {"1", 1},   {"t", 1},    {"yes", 1},  {"Y", 1},  {"on", 1},
      {"false", 0}, {"0", 0},   {"f", 0},    {"no", 0},  {"N", 0},    {"off", 0},  {"OFF", 0},
      {"", -1},     {"2", -1},  {" true", -1}, {"truee", -1}, {"none", -1}, {"01", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto v = py_bool(c.text);
    if (c.expect < 0) {
      EXPECT_FALSE(v.has_value());
    } else {
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(*v, c.expect == 1);
    }
  }
}

}  // namespace
