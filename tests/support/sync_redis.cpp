#include "support/sync_redis.hpp"

#include <algorithm>
#include <stdexcept>

#include <hiredis.h>

namespace vekt::testing {

void SyncRedis::Free::operator()(redisContext* c) const { redisFree(c); }

SyncRedis::SyncRedis(const std::string& host, int port) : c_(redisConnect(host.c_str(), port)) {
  if (!c_ || c_->err) throw std::runtime_error("cannot connect to Redis");
}

namespace {

struct FreeReply {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, FreeReply>;

Reply run(redisContext* c, const std::vector<std::string>& argv) {
  std::vector<const char*> args;
  std::vector<size_t> lens;
  for (const auto& a : argv) {
    args.push_back(a.data());
    lens.push_back(a.size());
  }
  Reply r(static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(args.size()), args.data(), lens.data())));
  if (!r) throw std::runtime_error("Redis command failed");
  return r;
}

}  // namespace

std::optional<std::string> SyncRedis::cmd(const std::vector<std::string>& argv) {
  Reply r = run(c_.get(), argv);
  if (r->type == REDIS_REPLY_INTEGER) return std::to_string(r->integer);
  if (r->type != REDIS_REPLY_NIL && r->str) return std::string(r->str, r->len);
  return std::nullopt;
}

long long SyncRedis::integer(const std::vector<std::string>& argv) {
  Reply r = run(c_.get(), argv);
  return r->type == REDIS_REPLY_INTEGER ? r->integer : -999;
}

std::vector<std::string> SyncRedis::keys(const std::string& pattern) {
  Reply r = run(c_.get(), {"KEYS", pattern});
  std::vector<std::string> out;
  for (size_t i = 0; i < r->elements; ++i) out.emplace_back(r->element[i]->str, r->element[i]->len);
  std::sort(out.begin(), out.end());
  return out;
}

void SyncRedis::del_matching(const std::string& pattern) {
  for (const auto& k : keys(pattern)) cmd({"DEL", k});
}

long long info_number(const std::string& info, const std::string& prefix) {
  const std::string needle = "\n" + prefix;
  const auto at = ("\n" + info).find(needle);
  if (at == std::string::npos) return 0;
  return std::stoll(info.substr(at + prefix.size()));
}

}  // namespace vekt::testing
