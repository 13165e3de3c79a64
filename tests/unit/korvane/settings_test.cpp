#include "korvane/settings.hpp"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "base/error.hpp"
#include "base/pyconv.hpp"

using namespace vekt::korvane;

namespace {

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

}  // namespace

TEST(RedisSettings, DefaultsAndBanner) {
  auto s = read_redis_settings(env_of({}));
  EXPECT_EQ(s.redis_host, "localhost");
  EXPECT_EQ(s.redis_port, 6379);
  EXPECT_EQ(s.redis_db, 0);
  EXPECT_FALSE(s.redis_password);
  EXPECT_FALSE(s.redis_username);
  EXPECT_EQ(startup_banner(s),
            "\xE2\x9C\x93 Binary Redis cache initialized (no UTF-8 decoding)\n"
            "  - Namespace: mvt_v8\n"
            "  - Redis: localhost:6379/0\n"
            "  - decode_responses: False (handles binary data)\n");
}

TEST(RedisSettings, ConversionsAndCredentials) {
  auto s = read_redis_settings(env_of({{"REDIS_HOST", "10.0.0.7"},
                                       {"REDIS_PORT", "06379"},
                                       {"REDIS_DB", " 3 "},
                                       {"REDIS_PASSWORD", ""},
                                       {"REDIS_USERNAME", "tiles"}}));
  EXPECT_EQ(s.redis_port, 6379);
  EXPECT_EQ(s.redis_db, 3);
  ASSERT_TRUE(s.redis_password);
  EXPECT_EQ(*s.redis_password, "");
  EXPECT_EQ(*s.redis_username, "tiles");
  std::string banner = startup_banner(s);
  EXPECT_NE(banner.find("  - Redis: 10.0.0.7:6379/3\n"), std::string::npos);
  EXPECT_EQ(banner.find("tiles"), std::string::npos);
}

TEST(RedisSettings, NonIntegersStopStartUp) {
  for (const char* bad : {"", "abc", "63 79", "6379x", "1_", "_1", "1__0", "+", "0x10", "1e3", "6379.0"}) {
    EXPECT_THROW(read_redis_settings(env_of({{"REDIS_PORT", bad}})), vekt::base::ValueError) << bad;
    EXPECT_THROW(read_redis_settings(env_of({{"REDIS_DB", bad}})), vekt::base::ValueError) << bad;
  }
  try {
    read_redis_settings(env_of({{"REDIS_PORT", "abc"}}));
  } catch (const vekt::base::ValueError& e) {
    EXPECT_STREQ(e.what(), "REDIS_PORT: invalid literal for int() with base 10: 'abc'");
  }
}

TEST(RedisSettings, IntegersOfAnySizeAreTakenAndPrintedInDecimal) {
  struct Case {
    const char* port;
    const char* db;
    const char* line;
    long long port_value;
  };
  const std::vector<Case> cases = {
      {"06379", "+2", "  - Redis: localhost:6379/2\n", 6379},
      {"1_0000", "-0", "  - Redis: localhost:10000/0\n", 10000},
      {"99999999999999999999", "0", "  - Redis: localhost:99999999999999999999/0\n", 9223372036854775807LL},
      {"6379", "-0099999999999999999999", "  - Redis: localhost:6379/-99999999999999999999\n", 6379},
  };
  for (const auto& c : cases) {
    auto s = read_redis_settings(env_of({{"REDIS_PORT", c.port}, {"REDIS_DB", c.db}}));
    EXPECT_EQ(s.redis_port, c.port_value) << c.port;
    EXPECT_NE(startup_banner(s).find(c.line), std::string::npos) << startup_banner(s);
  }
}

TEST(PyInt, AcceptedForms) {
  struct Case {
    const char* text;
    long long value;
  };
  for (const Case& c : std::initializer_list<Case>{{"0", 0}, {"-5", -5}, {"+5", 5}, {"1_000", 1000}, {"\t42\n", 42},
                                                   {"007", 7}, {"9223372036854775807", 9223372036854775807LL}}) {
    auto v = vekt::base::py_int(c.text);
    ASSERT_TRUE(v && v->value) << c.text;
    EXPECT_EQ(*v->value, c.value) << c.text;
  }
}
