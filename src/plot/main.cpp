// vekt-plot: draws one plan figure from a request file, for checking a figure by eye and for
// timing it.
//
//   vekt-plot [--repeat N] IN.json OUT.png [OUT.json]
//
// IN.json: {"parcel_data": [plot records], "selected": id, "road_data": [road records] or null,
// "columnname": "id", "bounding_box": null or [minx, miny, maxx, maxy], "max_width_mm": 190,
// "max_height_mm": 160}. Records carry the keys of the plot, beacon and road records, geometries
// as GeoJSON objects in EPSG:3857; a key that is absent (or null) is absent from the record. JSON
// integers are integers, numbers with a fraction or exponent floating point; a number field may
// also hold a decimal numeral as text ("1200.50"), kept exact.
// OUT.json: {"scale": N, "size": [w, h], "schedule": [items]}. With --repeat N the figure is drawn
// N times and the median milliseconds per figure go to standard error.
// Exit status: 0 done, 1 the figure failed, 2 a malformed command line or request file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/base64.hpp"
#include "plot/request.hpp"
#include "plots/figure.hpp"

namespace {

using namespace vekt;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

int usage() {
  std::fputs("usage: vekt-plot [--repeat N] IN.json OUT.png [OUT.json]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  long repeat = 1;
  if (!args.empty() && args[0] == "--repeat") {
    if (args.size() < 2) return usage();
    char* end = nullptr;
    repeat = std::strtol(args[1].c_str(), &end, 10);
    if (end == args[1].c_str() || *end != '\0' || repeat < 1 || repeat > 1000000) {
      std::fputs("vekt-plot: --repeat needs a whole number from 1 to 1000000\n", stderr);
      return 2;
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() < 2 || args.size() > 3) return usage();

  plot::Request req;
  try {
    req = plot::read_request(args[0]);
  } catch (const plot::BadRequest& e) {
    std::fprintf(stderr, "vekt-plot: %s: %s\n", args[0].c_str(), e.what());
    return 2;
  }

  try {
    plots::FigureResult result;
    std::vector<double> ms;
    for (long i = 0; i < repeat; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      result = plots::generate_plot(req.parcel_data, req.selected, req.road_data, req.columnname, req.bounding_box,
                                    req.max_width_mm, req.max_height_mm);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    write_file(args[1], base::base64_decode(result.image));
    if (args.size() == 3) {
      write_file(args[2], plot::result_json(req, result).dump(2) + "\n");
    }
    if (repeat > 1) {
      std::sort(ms.begin(), ms.end());
      const std::size_t m = ms.size();
      const double median = m % 2 ? ms[m / 2] : (ms[m / 2 - 1] + ms[m / 2]) / 2;
      std::fprintf(stderr, "median %.2f ms per figure over %ld figures\n", median, repeat);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vekt-plot: %s\n", e.what());
    return 1;
  }
  return 0;
}
