#include "korvane/catalogue.hpp"

#include <cmath>

#include <fmt/format.h>

namespace vekt::korvane {

const LayerEntry* find_layer(std::string_view key) {
  for (const auto& e : LAYER_CONFIG)
    if (e.key == key) return &e;
  return nullptr;
}

std::vector<std::string> layer_keys() {
  std::vector<std::string> out;
  for (const auto& e : LAYER_CONFIG) out.emplace_back(e.key);
  return out;
}

std::string py_list_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += "'" + items[i] + "'";
  }
  return out + "]";
}

int zoom_band(long long zoom) {
  for (size_t b = 0; b + 1 < ZOOM_BANDS.size(); ++b)
    if (zoom <= ZOOM_BANDS[b].upper) return static_cast<int>(b);
  return static_cast<int>(ZOOM_BANDS.size() - 1);
}

std::optional<ZoomConfig> get_zoom_config(long long zoom, std::string_view layer_name) {
  const LayerEntry* e = find_layer(layer_name);
  int min_zoom = e ? e->min_zoom : 0;
  if (zoom < min_zoom) return std::nullopt;
  return ZOOM_BANDS[static_cast<size_t>(zoom_band(zoom))].config;
}

bool validate_tile_coords(long long z, long long x, long long y) {
  if (!(1 <= z && z <= 20)) return false;
  long long n = 1LL << z;
  if (!(0 <= x && x < n)) return false;
  if (!(0 <= y && y < n)) return false;
  return true;
}

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) {
  return std::fabs((maxx - minx) * (maxy - miny));
}

}  // namespace vekt::korvane
