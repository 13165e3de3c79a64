#include <gtest/gtest.h>

#include "pg/session.hpp"

namespace {

struct BindCase {
  const char* sql;
  const char* expected;
  std::vector<std::string> names;
};

TEST(BindNamed, TranslatesColonNamesToNumberedMarkers) {
  const BindCase cases[] = {
      {"SELECT :a", "SELECT $1", {"a"}},
      {"SELECT :a, :b, :a", "SELECT $1, $2, $1", {"a", "b"}},
      {"SELECT :x::int", "SELECT :x::int", {}},     // a one-letter name followed by a cast is no bind
      {"SELECT (:x)::int", "SELECT ($1)::int", {"x"}},
      {"SELECT 5::int, '10'::text", "SELECT 5::int, '10'::text", {}},
      {"WHERE geom && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)",
       "WHERE geom && ST_MakeEnvelope($1, $2, $3, $4, 3857)", {"min_x", "min_y", "max_x", "max_y"}},
      {"SELECT a:b", "SELECT a:b", {}},            // preceded by a word character
      {"SELECT ::b", "SELECT ::b", {}},            // preceded by a colon
      {"SELECT \\:b", "SELECT :b", {}},            // escaped colon
      {"SELECT :ab:", "SELECT $1b:", {"a"}},       // the name gives up its last character
      {"SELECT :a:", "SELECT :a:", {}},            // one character followed by ':' is no bind
      {"SELECT : a", "SELECT : a", {}},
      {"SELECT :", "SELECT :", {}},
      {"SELECT (:n1)+(:n_2)", "SELECT ($1)+($2)", {"n1", "n_2"}},
      {"", "", {}},
  };
  for (const auto& c : cases) {
    auto b = vekt::pg::bind_named(c.sql);
    EXPECT_EQ(b.sql, c.expected) << c.sql;
    EXPECT_EQ(b.names, c.names) << c.sql;
  }
}

}  // namespace
