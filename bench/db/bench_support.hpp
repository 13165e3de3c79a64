#pragma once
// Helpers of the database benchmarks: run a shell command and read the number that follows a marker.
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

namespace vekt::bench {

inline std::string capture(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("could not run: " + cmd);
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  ::pclose(p);
  return out;
}

// The number right after the last occurrence of `marker`.
inline std::optional<double> number_after(const std::string& text, const std::string& marker) {
  const auto at = text.rfind(marker);
  if (at == std::string::npos) return std::nullopt;
  try {
    return std::stod(text.substr(at + marker.size()));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace vekt::bench
