#include "support/command.hpp"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace vekt::testing {

CommandResult run_command(const std::string& cmd, Capture capture) {
  const std::string full = capture == Capture::OutAndErr ? "{ " + cmd + "\n} 2>&1" : cmd;
  FILE* p = ::popen(full.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run: " + cmd);
  CommandResult r;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) r.output.append(buf.data(), n);
  const int st = ::pclose(p);
  if (st != -1 && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q.push_back(c);
  }
  return q + "'";
}

}  // namespace vekt::testing
