// vekt-gen: writes a synthetic cadastre as psql COPY sections on standard output.
//   vekt-gen SIZE [--seed N]        SIZE is small, demo or large
// scripts/load-data wraps the output in its transaction; the counts go to standard error.
#include <cstdio>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "gen/cadastre.hpp"

namespace {

int usage() {
  std::fputs("usage: vekt-gen small|demo|large [--seed N]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string size;
  std::uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--seed" && i + 1 < argc) {
      std::string v = argv[++i];
      char* end = nullptr;
      errno = 0;
      unsigned long long s = std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) {
        std::fprintf(stderr, "vekt-gen: --seed needs a non-negative integer, not '%s'\n", v.c_str());
        return 2;
      }
      seed = s;
    } else if (size.empty() && !a.empty() && a[0] != '-') {
      size = a;
    } else {
      return usage();
    }
  }
  auto spec = vekt::gen::size_by_name(size);
  if (!spec) return usage();

  static char buffer[1 << 20];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  try {
    vekt::gen::Options o{*spec, seed};
    auto n = vekt::gen::write_cadastre(o, stdout);
    std::fprintf(stderr,
                 "vekt-gen: %s, seed %llu: %lld LGAs, %lld districts, %lld zones, %lld roads, %lld blocks, "
                 "%lld parcels, %lld beacons, %lld boundary legs\n",
                 spec->name.c_str(), static_cast<unsigned long long>(seed), static_cast<long long>(n.lgas),
                 static_cast<long long>(n.districts), static_cast<long long>(n.zones),
                 static_cast<long long>(n.roads), static_cast<long long>(n.blocks),
                 static_cast<long long>(n.plots), static_cast<long long>(n.beacons),
                 static_cast<long long>(n.legs));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vekt-gen: %s\n", e.what());
    return 1;
  }
  return 0;
}
