#include "gen/cadastre.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "gen/copy_text.hpp"

namespace vekt::gen {
namespace {

// ---------------------------------------------------------------------------------------------
// Randomness: splitmix64, seeded per purpose and per block, so that a block's parcels depend only
// on the seed and the block's place, never on how much was drawn before it.

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Rng {
 public:
  Rng(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0) : s_(seed) {
    s_ ^= splitmix(a) + 0x632BE59BD9B4E019ULL;
    std::uint64_t t = b + 0x1234567ULL;
    s_ ^= splitmix(t);
    splitmix(s_);
  }
  double u01() { return static_cast<double>(splitmix(s_) >> 11) * 0x1.0p-53; }
  double uniform(double a, double b) { return a + (b - a) * u01(); }
  bool chance(double p) { return u01() < p; }
  int below(int n) { return static_cast<int>(u01() * n); }
  template <class T, std::size_t N>
  const T& pick(const std::array<T, N>& a) {
    return a[static_cast<std::size_t>(below(static_cast<int>(N)))];
  }

 private:
  std::uint64_t s_;
};

enum Stream : std::uint64_t { GRID_COLS = 1, GRID_ROWS, BLOCK, BLOCK_ATTRS, ROAD_ATTRS, ZONE_ATTRS };

// ---------------------------------------------------------------------------------------------
// Names. All invented; the street names follow the habit of naming streets after places.

constexpr std::array<const char*, 16> LGA_NAMES = {
    "Tudun Kara", "Gidan Wuri", "Kafin Dabo", "Ruwan Zafi", "Dutsen Bako", "Unguwar Lema",
    "Bakin Kogi", "Kwarin Mada", "Sabon Gari Tsoho", "Gangaren Toro", "Tashar Ilu", "Rafin Gora",
    "Dogon Yaro", "Kurmin Iya", "Fadan Rimi", "Jangwan Lado"};
constexpr std::array<const char*, 24> DISTRICT_NAMES = {
    "Kawo", "Barnawa", "Malali", "Rigasa", "Tudun Nupe", "Sabon Tasha", "Narayi", "Ungwan Rimi",
    "Kakuri", "Gonin Gora", "Mahuta", "Badiko", "Hayin Dogo", "Kabala", "Romi", "Unguwan Sarki",
    "Kurmin Mashi", "Television", "Angwan Dosa", "Makera", "Kamazou", "Gwamna", "Marafa", "Tsoho Gida"};
constexpr std::array<const char*, 36> STREET_NAMES = {
    "Benue", "Sokoto", "Niger", "Zaria", "Kano", "Gombe", "Yola", "Bida", "Lokoja", "Jos",
    "Keffi", "Minna", "Katsina", "Bauchi", "Ilorin", "Makurdi", "Lafia", "Kontagora", "Gusau",
    "Birnin Kebbi", "Funtua", "Kafanchan", "Zuru", "Nguru", "Potiskum", "Mubi", "Jalingo",
    "Wukari", "Okene", "Suleja", "Abaji", "Kagoro", "Pankshin", "Dutse", "Hadejia", "Gashua"};
constexpr std::array<const char*, 12> SURVEYORS = {
    "Surv. Adamu K. Bello",    "Surv. Ngozi A. Eze",      "Surv. Tunde O. Bakare",
    "Surv. Halima S. Musa",    "Surv. Emeka C. Obi",      "Surv. Fatima Y. Lawal",
    "Surv. Ibrahim D. Garba",  "Surv. Chioma N. Okafor",  "Surv. Yusuf M. Danjuma",
    "Surv. Bola T. Adeyemi",   "Surv. Sani A. Abubakar",  "Surv. Grace E. Audu"};
constexpr std::array<const char*, 4> PLOT_STATUS = {"Allocated", "Vacant", "Developed",
                                                    "Under Development"};
constexpr std::array<const char*, 3> BEACON_REMARKS = {"Concrete pillar", "Iron pin",
                                                       "Re-established"};

struct LandPurpose {
  const char* general;
  const char* detail;
  const char* description;
  double weight;
};
constexpr std::array<LandPurpose, 12> LAND_PURPOSES = {{
    {"Residential", "Low Density Residential", "Detached houses on large plots", 0.22},
    {"Residential", "Medium Density Residential", "Semi-detached houses and terraces", 0.30},
    {"Residential", "High Density Residential", "Compact housing and flats", 0.18},
    {"Commercial", "Retail", "Shops and markets", 0.07},
    {"Commercial", "Office", "Offices and banks", 0.04},
    {"Mixed Use", "Residential and Commercial", "Shops below, dwellings above", 0.06},
    {"Institutional", "Educational", "Schools and colleges", 0.04},
    {"Institutional", "Health", "Clinics and hospitals", 0.02},
    {"Religious", "Place of Worship", "Mosques and churches", 0.02},
    {"Industrial", "Light Industry", "Workshops and warehouses", 0.03},
    {"Recreational", "Open Space", "Parks and playing fields", 0.01},
    {"Public Utility", "Utility Installation", "Water, power and telecoms installations", 0.01},
}};

std::string district_code(std::int64_t index) {
  std::string c;
  c.push_back(static_cast<char>('A' + (index / 26) % 26));
  c.push_back(static_cast<char>('A' + index % 26));
  return c;
}

std::string two_digits(long long v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string lga_name(std::int64_t i) {
  std::string n = LGA_NAMES[static_cast<std::size_t>(i) % LGA_NAMES.size()];
  if (i >= static_cast<std::int64_t>(LGA_NAMES.size())) n.append(" ").append(std::to_string(i / LGA_NAMES.size() + 1));
  return n;
}

std::string district_name(std::int64_t i) {
  std::string n = DISTRICT_NAMES[static_cast<std::size_t>(i) % DISTRICT_NAMES.size()];
  if (i >= static_cast<std::int64_t>(DISTRICT_NAMES.size()))
    n.append(" ").append(std::to_string(i / DISTRICT_NAMES.size() + 1));
  return n;
}

// ---------------------------------------------------------------------------------------------
// The street grid. Vertical grid line k (0..cols) and horizontal line l (0..rows) are road centre
// lines; block (c, r) lies between lines c, c+1 and r, r+1, set back by half of each road's width.
// Lines on zone, district and LGA boundaries carry wider roads.

enum class RoadClass { Local, Collector, Arterial };

struct Axis {
  int per_block_group;     // blocks per zone along this axis
  int per_district_group;  // blocks per district
  int per_lga_group;       // blocks per LGA
  std::vector<double> line;  // centre-line positions, one more than blocks
  std::vector<double> depth;  // for rows: block depth; for columns: block length

  RoadClass road_class(int k) const {
    if (k % per_district_group == 0) return RoadClass::Arterial;  // district and LGA boundaries
    if (k % per_block_group == 0) return RoadClass::Collector;
    return RoadClass::Local;
  }
  double road_width(int k) const {
    switch (road_class(k)) {
      case RoadClass::Arterial: return k % per_lga_group == 0 ? 30.0 : 24.0;
      case RoadClass::Collector: return 18.0;
      case RoadClass::Local: return 12.0;
    }
    return 12.0;
  }
  double block_lo(int i) const { return line[i] + road_width(i) / 2; }
  double block_hi(int i) const { return line[i + 1] - road_width(i + 1) / 2; }
};

const char* road_type_text(RoadClass c) {
  switch (c) {
    case RoadClass::Arterial: return "Arterial";
    case RoadClass::Collector: return "Collector";
    case RoadClass::Local: return "Local";
  }
  return "Local";
}

// Street names: a place name and a kind that depends on the road's class and direction.
std::string street_name(bool vertical, int k, RoadClass cls, std::uint64_t seed) {
  std::size_t offset = static_cast<std::size_t>(seed % STREET_NAMES.size());
  std::size_t idx = (static_cast<std::size_t>(k) * 7 + (vertical ? 0 : 17) + offset) % STREET_NAMES.size();
  std::string n = STREET_NAMES[idx];
  switch (cls) {
    case RoadClass::Arterial: n += vertical ? " Way" : " Road"; break;
    case RoadClass::Collector: n += vertical ? " Avenue" : " Crescent"; break;
    case RoadClass::Local: n += vertical ? " Street" : (k % 2 ? " Close" : " Lane"); break;
  }
  return n;
}

class World {
 public:
  World() : c_(std::cos(GRID_ROTATION_DEG * M_PI / 180.0)), s_(std::sin(GRID_ROTATION_DEG * M_PI / 180.0)) {}
  // Local grid metres to EPSG:3857, rounded to the millimetre, so that what is written as a
  // geometry and what is written as text are the same numbers.
  XY operator()(double u, double v) const {
    double x = ORIGIN_X + u * c_ - v * s_;
    double y = ORIGIN_Y + u * s_ + v * c_;
    return {std::round(x * 1000.0) / 1000.0, std::round(y * 1000.0) / 1000.0};
  }

 private:
  double c_, s_;
};

// ---------------------------------------------------------------------------------------------
// One block cut into parcels.

struct Lot {
  std::vector<int> ring;  // indices into BlockShape::pts, clockwise, first = a street-front corner
  bool faces_north;       // fronts the road on the block's north side
  int frontage_index;     // position along its street frontage, from the west
};

struct BlockShape {
  std::vector<std::pair<double, double>> pts;  // local (u, v)
  std::vector<Lot> lots;
};

class PointIndex {
 public:
  explicit PointIndex(BlockShape& b) : b_(b) {}
  int operator()(double u, double v) {
    auto [it, inserted] = idx_.try_emplace({u, v}, static_cast<int>(b_.pts.size()));
    if (inserted) b_.pts.emplace_back(u, v);
    return it->second;
  }

 private:
  BlockShape& b_;
  std::map<std::pair<double, double>, int> idx_;
};

double draw_width(Rng& r) {
  double p = r.u01();
  if (p < 0.12) return r.uniform(6.0, 9.0);    // narrow plots
  if (p < 0.90) return r.uniform(12.0, 30.0);
  return r.uniform(30.0, 45.0);
}

// Cut positions strictly inside (a, b); every piece is at least 6 m and the last at least 8 m.
std::vector<double> frontage_cuts(Rng& r, double a, double b) {
  std::vector<double> cuts;
  double cur = a;
  for (;;) {
    double w = draw_width(r);
    if (b - cur - w < 8.0) {
      if (b - cur <= 45.0) break;
      continue;
    }
    cur += w;
    cuts.push_back(cur);
  }
  return cuts;
}

// The line between a block's two rows of parcels: a slightly bent line across the block.
class MiddleLine {
 public:
  void add_knot(double u, double v) { knots_.emplace_back(u, v); }
  void finish() { std::sort(knots_.begin(), knots_.end()); }
  double at(double u) const {
    for (std::size_t i = 0; i + 1 < knots_.size(); ++i) {
      const auto& [ua, va] = knots_[i];
      const auto& [ub, vb] = knots_[i + 1];
      if (u == ua) return va;
      if (u == ub) return vb;
      if (u > ua && u < ub) return va + (vb - va) * (u - ua) / (ub - ua);
    }
    return knots_.back().second;
  }
  const std::vector<std::pair<double, double>>& knots() const { return knots_; }

 private:
  std::vector<std::pair<double, double>> knots_;
};

double nearest(const std::vector<double>& sorted, double u) {
  auto it = std::lower_bound(sorted.begin(), sorted.end(), u);
  double best = 1e300;
  if (it != sorted.end()) best = *it;
  if (it != sorted.begin() && std::abs(*(it - 1) - u) < std::abs(best - u)) best = *(it - 1);
  return best;
}

void insert_sorted(std::vector<double>& v, double u) {
  auto it = std::lower_bound(v.begin(), v.end(), u);
  if (it == v.end() || *it != u) v.insert(it, u);
}

// Clockwise, starting at the ring's first corner as built (a street-front corner).
void make_clockwise(const BlockShape& b, std::vector<int>& ring) {
  double area2 = 0;
  for (std::size_t i = 0; i < ring.size(); ++i) {
    const auto& p = b.pts[static_cast<std::size_t>(ring[i])];
    const auto& q = b.pts[static_cast<std::size_t>(ring[(i + 1) % ring.size()])];
    area2 += p.first * q.second - q.first * p.second;
  }
  if (area2 > 0) std::reverse(ring.begin() + 1, ring.end());
}

// Cuts one block [x0, x1] × [y0, y1] into parcels, its four corners splayed by `c` (0: square).
class BlockCutter {
 public:
  BlockCutter(Rng& r, double x0, double x1, double y0, double y1, double c)
      : r_(r), x0_(x0), x1_(x1), y0_(y0), y1_(y1), c_(c) {}

  BlockShape cut() {
    // Front (south) row cuts along the southern street.
    std::vector<double> sf = frontage_cuts(r_, x0_, x1_);
    std::vector<double> ef;
    for (double s : sf) ef.push_back(place_end(s, slant(s), ef));
    const std::vector<double> F = with_ends(sf);
    if (y1_ - y0_ < 50.0) {
      single_row(F, ef);
    } else {
      two_rows(F, ef);
    }
    for (Lot& lot : b_.lots) make_clockwise(b_, lot.ring);
    return std::move(b_);
  }

 private:
  double slant(double s) { return r_.chance(0.35) ? s + r_.uniform(-2.5, 2.5) : s; }
  // Side-line ends: kept at least 5 m from the block ends and 3 m from the previous end.
  double place_end(double s, double e, const std::vector<double>& prev) const {
    if (e < x0_ + 5.0 || e > x1_ - 5.0) e = s;
    if (!prev.empty() && e < prev.back() + 3.0) e = s;
    return e;
  }
  std::vector<double> with_ends(const std::vector<double>& cuts) const {
    std::vector<double> v = {x0_};
    v.insert(v.end(), cuts.begin(), cuts.end());
    v.push_back(x1_);
    return v;
  }

  // The block's corners, splayed or not, in ring order.
  void sw(std::vector<int>& ring) { corner(ring, x0_, y0_ + c_, x0_ + c_, y0_, x0_, y0_); }
  void se(std::vector<int>& ring) { corner(ring, x1_ - c_, y0_, x1_, y0_ + c_, x1_, y0_); }
  void ne(std::vector<int>& ring) { corner(ring, x1_, y1_ - c_, x1_ - c_, y1_, x1_, y1_); }
  void nw(std::vector<int>& ring) { corner(ring, x0_ + c_, y1_, x0_, y1_ - c_, x0_, y1_); }
  void corner(std::vector<int>& ring, double u1, double v1, double u2, double v2, double u, double v) {
    if (c_ > 0) {
      ring.push_back(pt_(u1, v1));
      ring.push_back(pt_(u2, v2));
    } else {
      ring.push_back(pt_(u, v));
    }
  }

  // Plots run from street to street.
  void single_row(const std::vector<double>& F, const std::vector<double>& ef) {
    const std::vector<double> T = with_ends(ef);
    const std::size_t n = F.size() - 1;
    for (std::size_t i = 0; i < n; ++i) {
      Lot lot{{}, false, static_cast<int>(i)};
      if (i == 0) sw(lot.ring); else lot.ring.push_back(pt_(F[i], y0_));
      if (i == n - 1) se(lot.ring); else lot.ring.push_back(pt_(F[i + 1], y0_));
      if (i == n - 1) ne(lot.ring); else lot.ring.push_back(pt_(T[i + 1], y1_));
      if (i == 0) nw(lot.ring); else lot.ring.push_back(pt_(T[i], y1_));
      b_.lots.push_back(std::move(lot));
    }
  }

  // Two rows back to back; the middle line is bent a little at up to two knots.
  void two_rows(const std::vector<double>& F, const std::vector<double>& ef) {
    const double ymid = y0_ + (y1_ - y0_) * r_.uniform(0.45, 0.55);
    MiddleLine mid;
    mid.add_knot(x0_, ymid + r_.uniform(-1.5, 1.5));
    mid.add_knot(x1_, ymid + r_.uniform(-1.5, 1.5));

    std::vector<double> on_mid = {x0_, x1_};  // every beacon position along the middle line
    for (double e : ef) insert_sorted(on_mid, e);

    // Back (north) row cuts along the northern street; an end close to a front end meets it in
    // one beacon, and a cut that would crowd its neighbour is left out (two plots become one).
    std::vector<double> sb_all = frontage_cuts(r_, x0_, x1_);
    std::vector<double> sb, eb;
    for (double s : sb_all) {
      double e = slant(s);
      if (e < x0_ + 5.0 || e > x1_ - 5.0) e = s;
      double p = nearest(on_mid, e);
      if (std::abs(p - e) < 2.0) e = p;
      if (e < x0_ + 5.0 || e > x1_ - 5.0) continue;
      if (!eb.empty() && e < eb.back() + 3.0) continue;
      sb.push_back(s);
      eb.push_back(e);
      insert_sorted(on_mid, e);
    }
    int bends = r_.below(3);
    for (int k = 0, tries = 0; k < bends && tries < 20; ++tries) {
      double u = r_.uniform(x0_ + 8.0, x1_ - 8.0);
      if (std::abs(nearest(on_mid, u) - u) < 2.5) continue;
      mid.add_knot(u, ymid + r_.uniform(-1.5, 1.5));
      insert_sorted(on_mid, u);
      ++k;
    }
    mid.finish();
    front_row(F, with_ends(ef), on_mid, mid);
    back_row(with_ends(sb), with_ends(eb), on_mid, mid);
  }

  void front_row(const std::vector<double>& F, const std::vector<double>& E, const std::vector<double>& on_mid,
                 const MiddleLine& mid) {
    const std::size_t nf = F.size() - 1;
    for (std::size_t i = 0; i < nf; ++i) {
      Lot lot{{}, false, static_cast<int>(i)};
      if (i == 0) sw(lot.ring); else lot.ring.push_back(pt_(F[i], y0_));
      if (i == nf - 1) se(lot.ring); else lot.ring.push_back(pt_(F[i + 1], y0_));
      for (auto it = on_mid.rbegin(); it != on_mid.rend(); ++it)
        if (*it >= E[i] && *it <= E[i + 1]) lot.ring.push_back(pt_(*it, mid.at(*it)));
      b_.lots.push_back(std::move(lot));
    }
  }

  void back_row(const std::vector<double>& B, const std::vector<double>& EB, const std::vector<double>& on_mid,
                const MiddleLine& mid) {
    const std::size_t nb = B.size() - 1;
    for (std::size_t j = 0; j < nb; ++j) {
      Lot lot{{}, true, static_cast<int>(j)};
      // Start at the street: the north-west corner of the plot.
      if (j == 0) nw(lot.ring); else lot.ring.push_back(pt_(B[j], y1_));
      for (double u : on_mid)
        if (u >= EB[j] && u <= EB[j + 1]) lot.ring.push_back(pt_(u, mid.at(u)));
      if (j == nb - 1) ne(lot.ring); else lot.ring.push_back(pt_(B[j + 1], y1_));
      b_.lots.push_back(std::move(lot));
    }
  }

  Rng& r_;
  const double x0_, x1_, y0_, y1_, c_;
  BlockShape b_;
  PointIndex pt_{b_};
};

BlockShape subdivide(Rng& r, double x0, double x1, double y0, double y1) {
  const double c = r.chance(0.5) ? r.uniform(1.8, 2.9) : 0.0;  // corner splay at the junctions
  return BlockCutter(r, x0, x1, y0, y1, c).cut();
}

// ---------------------------------------------------------------------------------------------
// Output: one COPY section per table and chunk.

struct Table {
  const char* copy_header;
  std::string rows;
  std::int64_t count = 0;

  void begin_row() { ++count; }
  void end_row() { rows.push_back('\n'); }
  void flush(std::FILE* out) {
    if (rows.empty()) return;
    std::string head = std::string("COPY ") + copy_header + " FROM stdin;\n";
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size() ||
        std::fwrite(rows.data(), 1, rows.size(), out) != rows.size() || std::fputs("\\.\n", out) < 0)
      throw std::runtime_error("cannot write the generated data");
    rows.clear();
  }
};

void tab(std::string& s) { s.push_back('\t'); }

Axis make_axis(std::uint64_t seed, Stream stream, int groups_outer, int districts_per, int zones_per,
               int blocks_per, bool columns, double len_min, double len_max) {
  Axis a;
  a.per_block_group = blocks_per;
  a.per_district_group = blocks_per * zones_per;
  a.per_lga_group = blocks_per * zones_per * districts_per;
  const int n = groups_outer * districts_per * zones_per * blocks_per;
  Rng r(seed, stream);
  a.line.push_back(0.0);
  for (int i = 0; i < n; ++i) {
    double len;
    if (columns) len = r.uniform(len_min, len_max);
    else len = r.chance(0.15) ? r.uniform(32.0, 44.0) : r.uniform(60.0, 88.0);  // some shallow rows
    a.depth.push_back(len);
  }
  for (int i = 0; i < n; ++i) a.line.push_back(0.0);
  for (int i = 0; i < n; ++i) a.line[i + 1] = a.line[i] + a.road_width(i) / 2 + a.depth[i] + a.road_width(i + 1) / 2;
  return a;
}

// Outline of the rectangle of blocks [c0, c1) x [r0, r1), with a vertex at every zone-grid line
// it crosses, so the outlines of nested areas share their vertices exactly.
std::vector<XY> area_outline(const World& w, const Axis& X, const Axis& Y, int c0, int c1, int r0, int r1) {
  std::vector<XY> ring;
  const int bx = X.per_block_group, by = Y.per_block_group;
  for (int c = c0; c < c1; c += bx) ring.push_back(w(X.line[c], Y.line[r0]));
  for (int r = r0; r < r1; r += by) ring.push_back(w(X.line[c1], Y.line[r]));
  for (int c = c1; c > c0; c -= bx) ring.push_back(w(X.line[c], Y.line[r1]));
  for (int r = r1; r > r0; r -= by) ring.push_back(w(X.line[c0], Y.line[r]));
  return ring;
}

}  // namespace

Bearing grid_bearing(double dx, double dy) {
  double az = std::atan2(dx, dy) * 180.0 / M_PI;
  if (az < 0) az += 360.0;
  long long m = std::llround(az * 60.0);
  if (m >= 360 * 60) m -= 360 * 60;
  return {static_cast<int>(m / 60), static_cast<int>(m % 60)};
}

std::optional<SizeSpec> size_by_name(std::string_view name) {
  // Each level splits at least in two somewhere, so every nesting is exercised even when small.
  if (name == "small") return SizeSpec{"small", 2, 1, 1, 2, 2, 1, 1, 2, 100.0, 150.0};
  if (name == "demo") return SizeSpec{"demo", 2, 2, 2, 2, 3, 3, 3, 3, 120.0, 190.0};
  if (name == "large") return SizeSpec{"large", 4, 4, 3, 3, 4, 4, 5, 5, 155.0, 215.0};
  return std::nullopt;
}

namespace {

// One data set as it is generated: the grid, the tables filling row by row, and the ids and names
// each zone hands to its parcels. Tables are written in an order that satisfies the foreign keys.
class CadastreWriter {
 public:
  CadastreWriter(const Options& o, std::FILE* out)
      : o_(o),
        z_(o.size),
        X_(make_axis(o.seed, GRID_COLS, z_.lga_x, z_.district_x, z_.zone_x, z_.block_x, true, z_.block_len_min,
                     z_.block_len_max)),
        Y_(make_axis(o.seed, GRID_ROWS, z_.lga_y, z_.district_y, z_.zone_y, z_.block_y, false, 0, 0)),
        cols_(static_cast<int>(X_.depth.size())),
        rows_(static_cast<int>(Y_.depth.size())),
        zones_x_(cols_ / z_.block_x),
        zones_y_(rows_ / z_.block_y),
        zone_(static_cast<std::size_t>(zones_x_ * zones_y_)),
        out_(out),
        road_id_(o.first_id),
        plot_id_(o.first_id),
        beacon_id_(o.first_id),
        leg_id_(o.first_id) {}

  Counts write() {
    Counts n;
    add_purposes();
    for (int ly = 0; ly < z_.lga_y; ++ly)
      for (int lx = 0; lx < z_.lga_x; ++lx) add_lga(lx, ly);
    add_roads();
    n.lgas = lgas_.count;
    n.districts = districts_.count;
    n.zones = zones_.count;
    n.land_purposes = purposes_.count;
    n.roads = roads_.count;
    for (Table* t : {&purposes_, &lgas_, &districts_, &zones_, &roads_}) t->flush(out_);

    // Parcels, zone by zone in id order, written out in chunks of bounded size.
    constexpr std::size_t CHUNK_BYTES = 32u << 20;
    for (std::int64_t gi : zone_order_) {
      n.blocks += add_zone_parcels(gi);
      if (beacons_.rows.size() + plots_.rows.size() + legs_.rows.size() > CHUNK_BYTES) flush_parcels();
    }
    flush_parcels();
    if (std::fflush(out_) != 0) throw std::runtime_error("cannot write the generated data");
    n.plots = plots_.count;
    n.beacons = beacons_.count;
    n.legs = legs_.count;
    return n;
  }

 private:
  // What a zone's parcels take from it.
  struct Zone {
    std::int64_t id = 0;
    std::string name, district, lga_code;
  };
  // What the parcels of one block share: land purpose, surveyor, layout plan and streets.
  struct BlockShared {
    std::size_t purpose = 0;
    std::string surveyor;
    bool has_surveyor = false;
    std::string layout;
    bool has_layout = false;
    std::string south_street, north_street;
  };

  void add_purposes() {
    for (std::size_t i = 0; i < LAND_PURPOSES.size(); ++i) {
      std::string& s = purposes_.rows;
      purposes_.begin_row();
      append_int(s, o_.first_id + static_cast<long long>(i)); tab(s);
      append_field(s, LAND_PURPOSES[i].general); tab(s);
      append_field(s, LAND_PURPOSES[i].detail); tab(s);
      append_field(s, LAND_PURPOSES[i].description);
      purposes_.end_row();
    }
  }

  // Administrative areas, each level in the order of its parent, row by row inside the parent.
  void add_lga(int lx, int ly) {
    const std::int64_t lga_seq = lga_seq_++;
    const std::int64_t lid = o_.first_id + lga_seq;
    const std::string lname = lga_name(lga_seq);
    std::string lcode;
    for (char ch : lname) if (ch != ' ' && lcode.size() < 3) lcode.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    const int bc0 = lx * z_.district_x * z_.zone_x * z_.block_x, br0 = ly * z_.district_y * z_.zone_y * z_.block_y;
    std::string& s = lgas_.rows;
    lgas_.begin_row();
    append_int(s, lid); tab(s); append_field(s, lname); tab(s);
    append_ewkb_multipolygon(s, area_outline(world_, X_, Y_, bc0, bc0 + z_.district_x * z_.zone_x * z_.block_x, br0,
                                             br0 + z_.district_y * z_.zone_y * z_.block_y));
    lgas_.end_row();
    for (int dy = 0; dy < z_.district_y; ++dy)
      for (int dx = 0; dx < z_.district_x; ++dx)
        add_district(lid, lcode, bc0 + dx * z_.zone_x * z_.block_x, br0 + dy * z_.zone_y * z_.block_y);
  }

  void add_district(std::int64_t lid, const std::string& lcode, int dc0, int dr0) {
    const std::int64_t district_seq = district_seq_++;
    const std::int64_t did = o_.first_id + district_seq;
    const std::string dname = district_name(district_seq);
    std::string& s = districts_.rows;
    districts_.begin_row();
    append_int(s, did); tab(s); append_field(s, dname); tab(s); append_int(s, lid); tab(s);
    append_ewkb_multipolygon(s, area_outline(world_, X_, Y_, dc0, dc0 + z_.zone_x * z_.block_x, dr0, dr0 + z_.zone_y * z_.block_y));
    districts_.end_row();
    int zone_in_district = 0;
    for (int zy = 0; zy < z_.zone_y; ++zy) {
      for (int zx = 0; zx < z_.zone_x; ++zx) {
        const int zc0 = dc0 + zx * z_.block_x, zr0 = dr0 + zy * z_.block_y;
        const std::size_t gi = static_cast<std::size_t>((zr0 / z_.block_y) * zones_x_ + zc0 / z_.block_x);
        Zone& zone = zone_[gi];
        zone.id = o_.first_id + zone_seq_++;
        zone.name = district_code(district_seq) + two_digits(++zone_in_district);
        zone.district = dname;
        zone.lga_code = lcode;
        zone_order_.push_back(static_cast<std::int64_t>(gi));
        std::string& t = zones_.rows;
        zones_.begin_row();
        append_int(t, zone.id); tab(t); append_field(t, zone.name); tab(t); append_int(t, did); tab(t);
        append_ewkb_multipolygon(t, area_outline(world_, X_, Y_, zc0, zc0 + z_.block_x, zr0, zr0 + z_.block_y));
        zones_.end_row();
      }
    }
  }

  // Roads: one centre line per grid line and zone it runs along, with a vertex at each junction.
  void add_roads() {
    for (int k = 0; k <= cols_; ++k)
      for (int zr = 0; zr < zones_y_; ++zr) add_road(true, k, zr * z_.block_y, (zr + 1) * z_.block_y);
    for (int l = 0; l <= rows_; ++l)
      for (int zc = 0; zc < zones_x_; ++zc) add_road(false, l, zc * z_.block_x, (zc + 1) * z_.block_x);
  }

  void add_road(bool vertical, int k, int from, int to) {
    const Axis& along = vertical ? Y_ : X_;
    const RoadClass cls = (vertical ? X_ : Y_).road_class(k);
    std::vector<XY> pts;
    for (int i = from; i <= to; ++i)
      pts.push_back(vertical ? world_(X_.line[k], along.line[i]) : world_(along.line[i], Y_.line[k]));
    Rng r(o_.seed, ROAD_ATTRS, static_cast<std::uint64_t>(road_id_));
    const std::string name = street_name(vertical, k, cls, o_.seed);
    std::string& s = roads_.rows;
    roads_.begin_row();
    append_int(s, road_id_++); tab(s);
    if (r.chance(0.05)) append_null(s); else append_field(s, name);
    tab(s);
    append_field(s, road_type_text(cls)); tab(s);
    append_ewkb_linestring(s, pts);
    roads_.end_row();
  }

  // The zone's blocks, row by row; returns how many.
  int add_zone_parcels(std::int64_t gi) {
    const int zc = static_cast<int>(gi % zones_x_), zr = static_cast<int>(gi / zones_x_);
    Rng zr_rng(o_.seed, ZONE_ATTRS, static_cast<std::uint64_t>(gi));
    const int layout_year = 1985 + zr_rng.below(38);
    int block_in_zone = 0;
    for (int r = zr * z_.block_y; r < (zr + 1) * z_.block_y; ++r)
      for (int c = zc * z_.block_x; c < (zc + 1) * z_.block_x; ++c)
        add_block(zone_[static_cast<std::size_t>(gi)], r, c, ++block_in_zone, layout_year);
    return block_in_zone;
  }

  void add_block(const Zone& zone, int r, int c, int block_in_zone, int layout_year) {
    const std::uint64_t block_key = static_cast<std::uint64_t>(r) * 1000003ULL + static_cast<std::uint64_t>(c);
    Rng geo(o_.seed, BLOCK, block_key);
    Rng attr(o_.seed, BLOCK_ATTRS, block_key);
    const BlockShape shape = subdivide(geo, X_.block_lo(c), X_.block_hi(c), Y_.block_lo(r), Y_.block_hi(r));
    const std::int64_t first_beacon = beacon_id_;
    const std::vector<XY> wp = add_beacons(shape, attr);

    BlockShared shared;
    double w = attr.u01();
    for (double acc = 0; shared.purpose + 1 < LAND_PURPOSES.size(); ++shared.purpose) {
      acc += LAND_PURPOSES[shared.purpose].weight;
      if (w < acc) break;
    }
    shared.surveyor = attr.pick(SURVEYORS);
    shared.has_surveyor = !attr.chance(0.15);
    shared.layout = "TPL/" + zone.name + "/" + std::to_string(layout_year) + "/" + two_digits(block_in_zone);
    shared.has_layout = !attr.chance(0.20);
    shared.south_street = street_name(false, r, Y_.road_class(r), o_.seed);
    shared.north_street = street_name(false, r + 1, Y_.road_class(r + 1), o_.seed);

    int lot_no = 0;
    for (const Lot& lot : shape.lots) {
      std::vector<XY> ring;
      for (int i : lot.ring) ring.push_back(wp[static_cast<std::size_t>(i)]);
      add_plot(zone, lot, ring, block_in_zone, ++lot_no, shared, attr);
      add_legs(lot, ring, first_beacon);
      ++plot_id_;
    }
  }

  // The block's beacons; returns their places in the world.
  std::vector<XY> add_beacons(const BlockShape& shape, Rng& attr) {
    std::vector<XY> wp;
    wp.reserve(shape.pts.size());
    for (const auto& [u, v] : shape.pts) {
      const XY p = world_(u, v);
      wp.push_back(p);
      std::string& s = beacons_.rows;
      beacons_.begin_row();
      append_int(s, beacon_id_); tab(s);
      s += "PB"; append_int(s, beacon_id_); tab(s);
      double st = attr.u01();
      append_field(s, st < 0.70 ? "Found" : st < 0.95 ? "Placed" : "Disturbed"); tab(s);
      if (attr.chance(0.15)) append_field(s, attr.pick(BEACON_REMARKS)); else append_null(s);
      tab(s);
      append_fixed(s, p.y, 3); tab(s);
      append_fixed(s, p.x, 3); tab(s);
      append_ewkb_point(s, p);
      beacons_.end_row();
      ++beacon_id_;
    }
    return wp;
  }

  void add_plot(const Zone& zone, const Lot& lot, const std::vector<XY>& ring, int block_in_zone, int lot_no,
                const BlockShared& shared, Rng& attr) {
    double area2 = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
      const XY a{ring[i].x - ring[0].x, ring[i].y - ring[0].y};
      const XY& nb = ring[(i + 1) % ring.size()];
      const XY b2{nb.x - ring[0].x, nb.y - ring[0].y};
      area2 += a.x * b2.y - b2.x * a.y;
    }
    const double area = std::round(std::abs(area2) / 2.0 * 100.0) / 100.0;
    const LandPurpose& purpose = LAND_PURPOSES[shared.purpose];

    std::string& s = plots_.rows;
    plots_.begin_row();
    append_int(s, plot_id_); tab(s);
    s += zone.name; s.push_back('/'); s += two_digits(block_in_zone); s.push_back('/'); s += two_digits(lot_no); tab(s);
    if (attr.chance(0.05)) append_null(s); else append_field(s, attr.pick(PLOT_STATUS));
    tab(s);
    append_fixed(s, area, 2); tab(s);
    const bool has_lu = !attr.chance(0.03);
    if (has_lu) append_field(s, purpose.general); else append_null(s);
    tab(s);
    append_field(s, zone.name); tab(s);
    if (has_lu) append_field(s, purpose.detail); else append_null(s);
    tab(s);
    if (attr.chance(0.08)) {
      append_null(s);
    } else {
      s += zone.lga_code;
      s += "/LAN/";
      append_int(s, 1990 + attr.below(35));
      s.push_back('/');
      std::string serial = std::to_string(plot_id_);
      s.append(serial.size() < 6 ? 6 - serial.size() : 0, '0');
      s += serial;
    }
    tab(s);
    if (shared.has_surveyor) append_field(s, shared.surveyor); else append_null(s);
    tab(s);
    if (attr.chance(0.10)) {
      append_null(s);
    } else {
      const int house = 2 * (lot.frontage_index + 1) - (lot.faces_north ? 1 : 0);
      std::string addr = std::to_string(house) + " " + (lot.faces_north ? shared.north_street : shared.south_street) +
                         ", " + zone.district;
      append_field(s, addr);
    }
    tab(s);
    if (shared.has_layout) append_field(s, shared.layout); else append_null(s);
    tab(s);
    append_ewkb_polygon(s, ring);
    plots_.end_row();
  }

  // The plot's boundary legs, from each beacon to the next round the ring.
  void add_legs(const Lot& lot, const std::vector<XY>& ring, std::int64_t first_beacon) {
    for (std::size_t k = 0; k < lot.ring.size(); ++k) {
      const std::size_t k2 = (k + 1) % lot.ring.size();
      const XY& a = ring[k];
      const XY& b2 = ring[k2];
      const double len = std::round(std::hypot(b2.x - a.x, b2.y - a.y) * 100.0) / 100.0;
      const Bearing br = grid_bearing(b2.x - a.x, b2.y - a.y);
      std::string& t = legs_.rows;
      legs_.begin_row();
      append_int(t, leg_id_++); tab(t);
      append_int(t, plot_id_); tab(t);
      append_int(t, first_beacon + lot.ring[k]); tab(t);
      append_int(t, first_beacon + lot.ring[k2]); tab(t);
      append_int(t, static_cast<long long>(k + 1)); tab(t);
      append_fixed(t, len, 2); tab(t);
      append_int(t, br.degrees); tab(t);
      append_int(t, br.minutes);
      legs_.end_row();
    }
  }

  void flush_parcels() {
    beacons_.flush(out_);
    plots_.flush(out_);
    legs_.flush(out_);
  }

  const Options& o_;
  const SizeSpec& z_;
  const World world_;
  const Axis X_, Y_;
  const int cols_, rows_, zones_x_, zones_y_;
  std::vector<Zone> zone_;                // by zone grid index
  std::vector<std::int64_t> zone_order_;  // zone grid indices in id order
  std::FILE* out_;
  std::int64_t lga_seq_ = 0, district_seq_ = 0, zone_seq_ = 0;
  std::int64_t road_id_, plot_id_, beacon_id_, leg_id_;

  Table purposes_{R"("GIS"."LAND_PURPOSE" ("ID", "GENERAL_LU", "DETAIL_LU", "DESCRIPTION"))", {}};
  Table lgas_{R"("GIS"."LGAs" ("id", "name", "geometry"))", {}};
  Table districts_{R"("GIS"."Districts" ("id", "name", "lga_id", "geometry"))", {}};
  Table zones_{R"("GIS"."CadZones" ("id", "name", "district_id", "geometry"))", {}};
  Table roads_{R"("GIS"."ROAD" ("ID", "ROAD_NAME", "ROAD_TYPE", "GEOMETRY"))", {}};
  Table beacons_{R"("GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY"))", {}};
  Table plots_{R"("GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no", "SURVEYED_BY", "ADDRESS", "PLAN_LAYOUT_NO", "GEOMETRY"))", {}};
  Table legs_{R"("GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN"))", {}};
};

}  // namespace

Counts write_cadastre(const Options& o, std::FILE* out) { return CadastreWriter(o, out).write(); }

}  // namespace vekt::gen
