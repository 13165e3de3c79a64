#include "gen/copy_text.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace vekt::gen {
namespace {

constexpr char HEX[] = "0123456789ABCDEF";
constexpr std::uint32_t EWKB_SRID_FLAG = 0x20000000U;
constexpr std::uint32_t WKB_POINT = 1, WKB_LINESTRING = 2, WKB_POLYGON = 3, WKB_MULTIPOLYGON = 6;

void hex_bytes(std::string& out, const void* data, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(HEX[b[i] >> 4]);
    out.push_back(HEX[b[i] & 0x0F]);
  }
}

// WKB numbers are written little endian; the byte-order mark below says so.
void hex_u32(std::string& out, std::uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  hex_bytes(out, b, 4);
}

void hex_double(std::string& out, double d) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &d, sizeof bits);
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(bits >> (8 * i));
  hex_bytes(out, b, 8);
}

void header(std::string& out, std::uint32_t type, int srid) {
  out += "01";
  if (srid > 0) {
    hex_u32(out, type | EWKB_SRID_FLAG);
    hex_u32(out, static_cast<std::uint32_t>(srid));
  } else {
    hex_u32(out, type);
  }
}

void ring_body(std::string& out, const std::vector<XY>& ring) {
  if (ring.size() < 3) throw std::invalid_argument("polygon ring needs at least three points");
  hex_u32(out, 1);  // one ring: the exterior
  hex_u32(out, static_cast<std::uint32_t>(ring.size() + 1));
  for (const XY& p : ring) {
    hex_double(out, p.x);
    hex_double(out, p.y);
  }
  hex_double(out, ring.front().x);
  hex_double(out, ring.front().y);
}

}  // namespace

void append_field(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
}

void append_null(std::string& out) { out += "\\N"; }

void append_int(std::string& out, long long v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void append_fixed(std::string& out, double v, int decimals) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (ec != std::errc()) throw std::invalid_argument("number too large for fixed notation");
  out.append(buf, end);
}

void append_ewkb_point(std::string& out, XY p, int srid) {
  header(out, WKB_POINT, srid);
  hex_double(out, p.x);
  hex_double(out, p.y);
}

void append_ewkb_linestring(std::string& out, const std::vector<XY>& pts, int srid) {
  if (pts.size() < 2) throw std::invalid_argument("line needs at least two points");
  header(out, WKB_LINESTRING, srid);
  hex_u32(out, static_cast<std::uint32_t>(pts.size()));
  for (const XY& p : pts) {
    hex_double(out, p.x);
    hex_double(out, p.y);
  }
}

void append_ewkb_polygon(std::string& out, const std::vector<XY>& ring, int srid) {
  header(out, WKB_POLYGON, srid);
  ring_body(out, ring);
}

void append_ewkb_multipolygon(std::string& out, const std::vector<XY>& ring, int srid) {
  header(out, WKB_MULTIPOLYGON, srid);
  hex_u32(out, 1);
  header(out, WKB_POLYGON, 0);  // parts carry no SRID of their own
  ring_body(out, ring);
}

}  // namespace vekt::gen
