#pragma once
// A Lua script sent by its SHA-1 (EVALSHA), with the body ready for the one EVAL that loads it into
// a server that does not hold it yet (after a restart or SCRIPT FLUSH).
#include <string>
#include <vector>

#include "redis/client.hpp"

namespace vekt::redis {

// VERB script numkeys keys... args... (EVAL with a body, EVALSHA with a SHA-1).
Argv script_command(const char* verb, const std::string& script, const std::vector<std::string>& keys,
                    const std::vector<std::string>& args);

class Script {
 public:
  explicit Script(std::string body);

  const std::string& body() const { return body_; }
  const std::string& sha1() const { return sha1_; }

  // EVALSHA sha numkeys keys... args...
  Argv evalsha(const std::vector<std::string>& keys, const std::vector<std::string>& args) const;
  // EVAL body numkeys keys... args... (runs the script and leaves it cached on the server)
  Argv eval(const std::vector<std::string>& keys, const std::vector<std::string>& args) const;

  // The server does not hold the script: the command did not run and EVAL must be sent instead.
  static bool not_loaded(const Reply& reply);

 private:
  std::string body_;
  std::string sha1_;  // lower-case hex, as the server names scripts
};

}  // namespace vekt::redis
