#include "base/descriptors.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>

namespace vekt::base {

namespace {

// The most descriptors the kernel lets one process have (fs.nr_open).
rlim_t kernel_ceiling(rlim_t fallback) {
  std::ifstream f("/proc/sys/fs/nr_open");
  unsigned long long n = 0;
  if (f >> n && n > 0) return static_cast<rlim_t>(n);
  return fallback;
}

}  // namespace

DescriptorLimit raise_descriptor_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return {};
  DescriptorLimit out{lim.rlim_cur, lim.rlim_cur};
  const rlim_t target = lim.rlim_max == RLIM_INFINITY ? kernel_ceiling(lim.rlim_cur) : lim.rlim_max;
  if (target > lim.rlim_cur) {
    rlimit raised{target, lim.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) out.limit = target;
  }
  return out;
}

std::size_t connections_within(std::uint64_t limit, std::size_t reserved, std::size_t most) {
  if (limit <= reserved) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(most, limit - reserved));
}

}  // namespace vekt::base
