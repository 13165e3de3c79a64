#include "redis/script.hpp"

#include <openssl/evp.h>

#include <array>

#include <fmt/format.h>

namespace vekt::redis {

namespace {

std::string sha1_hex(const std::string& text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1)
    throw Error("Could not compute the SHA-1 of a Redis script");
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) fmt::format_to(std::back_inserter(out), "{:02x}", digest[i]);
  return out;
}

}  // namespace

Argv script_command(const char* verb, const std::string& script, const std::vector<std::string>& keys,
                    const std::vector<std::string>& args) {
  Argv argv;
  argv.reserve(3 + keys.size() + args.size());
  argv.emplace_back(verb);
  argv.push_back(script);
  argv.push_back(std::to_string(keys.size()));
  argv.insert(argv.end(), keys.begin(), keys.end());
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

Script::Script(std::string body) : body_(std::move(body)), sha1_(sha1_hex(body_)) {}

Argv Script::evalsha(const std::vector<std::string>& keys, const std::vector<std::string>& args) const {
  return script_command("EVALSHA", sha1_, keys, args);
}

Argv Script::eval(const std::vector<std::string>& keys, const std::vector<std::string>& args) const {
  return script_command("EVAL", body_, keys, args);
}

bool Script::not_loaded(const Reply& reply) { return reply.is_error() && reply.str.starts_with("NOSCRIPT"); }

}  // namespace vekt::redis
