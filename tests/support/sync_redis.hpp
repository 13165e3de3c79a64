#pragma once
// A synchronous Redis connection (hiredis) for setting up and looking from outside.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/env.hpp"

struct redisContext;

namespace vekt::testing {

class SyncRedis {
 public:
  SyncRedis(const std::string& host, int port);
  explicit SyncRedis(const RedisEndpoint& e) : SyncRedis(e.host, e.port) {}
  // One command; the reply as text (bulk/status/error), integer as decimal, nil as nullopt.
  std::optional<std::string> cmd(const std::vector<std::string>& argv);
  long long integer(const std::vector<std::string>& argv);
  // The keys matching `pattern`, sorted.
  std::vector<std::string> keys(const std::string& pattern);
  // Deletes every key matching `pattern`.
  void del_matching(const std::string& pattern);

 private:
  struct Free {
    void operator()(redisContext* c) const;
  };
  std::unique_ptr<redisContext, Free> c_;
};

// The number after `prefix` on a line of an INFO answer ("total_reads_processed:",
// "cmdstat_get:calls="); 0 when no line starts with it.
long long info_number(const std::string& info, const std::string& prefix);
// How much that number grew from one INFO answer to a later one.
inline long long info_growth(const std::string& before, const std::string& after, const std::string& prefix) {
  return info_number(after, prefix) - info_number(before, prefix);
}

}  // namespace vekt::testing
