#pragma once
// The arithmetic of the plan figure's stages, apart from the drawing: the survey frame, the clip
// areas, the outward direction at a beacon, the placement of beacon names and the layout of leg
// labels. Lengths in drawing coordinates (EPSG:3857 metres); a length of d mm on paper is
// (scale / 1000) × d metres, the quotient formed first.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/xy.hpp"
#include "canvas/axes.hpp"
#include "geo/geometry.hpp"
#include "plots/records.hpp"

namespace vekt::plots {

using base::XY;

// The ground a plan shows and how: the survey extent, the centre of the view, the scale and the
// view limits.
struct SurveyFrame {
  double survey_w = 0;
  double survey_h = 0;
  double center_x = 0;
  double center_y = 0;
  std::int64_t scale = 0;
  std::pair<double, double> xlim;
  std::pair<double, double> ylim;
};

// From the bounding box (degrees when its first corner lies within ±180, ±90; metres otherwise;
// no margin) or, without one, from the target's bounds grown by 15 m, centred on its centroid.
// A degree box logs "Transforming bounding box from WGS84 to " and the drawing system's name.
// ValueError for a size that is not finite and positive or a box or extent that is not finite.
SurveyFrame survey_frame(geo::GeometryRef target_geom, const std::optional<BoundingBox>& bounding_box,
                         double max_width_mm, double max_height_mm);

struct ClipAreas {
  geo::Geometry viewport;
  geo::Geometry clipping;       // neighbours are drawn when they meet it (the box, else the view)
  geo::Geometry road_clipping;  // roads are cut to it
  double road_buffer_width = 0;
};

ClipAreas clip_areas(const SurveyFrame& frame, bool has_bounding_box, geo::GeometryRef target_geom);

// Base font size of the labels: 8 points below 1:2000, 7 below 1:5000, 6 from there on.
int label_fontsize(std::int64_t scale);

// The unit vector at a beacon that points away from the parcel (the bisector of the corner,
// turned away from the centroid) and its direction in degrees.
struct Outward {
  XY bisector;
  double angle_deg = 0;
};
Outward outward_direction(XY prev, XY at, XY next, XY centroid);

// The rotation of a beacon's name: its outward direction, turned by half a turn when it points
// west, so that no name reads upside down.
double name_rotation(double angle_deg);

// Places beacon names one after the other: 5 mm out from the beacon along its outward direction,
// then 1 mm further out per collision with a name placed before, at most ten tries; after ten,
// ten steps out whatever it meets.
class NamePlacer {
 public:
  explicit NamePlacer(std::int64_t scale) : k_(static_cast<double>(scale) / 1000) {}

  struct Placement {
    XY center;
    double rotation = 0;
    int attempts = 0;   // collisions before the spot was found (10: none found)
    bool found = false;
  };
  // `text_len` in characters.
  Placement place(XY beacon, const Outward& out, std::size_t text_len);

  // The centres place() tries, in order: 5 mm out plus half the estimated width, then 1 mm
  // further out each (ten in all).
  static constexpr int kAttempts = 10;
  std::vector<XY> candidates(XY beacon, const Outward& out, std::size_t text_len) const;

  std::size_t size() const { return placed_.size(); }
  // The footprint of the n-th placed name.
  geo::GeometryRef footprint(std::size_t n) const { return placed_[n].poly; }

 private:
  struct Placed {
    geo::Geometry poly;
    geo::Bounds env;
  };
  bool collides(const Placed& cand) const;

  double k_;
  std::vector<Placed> placed_;
};

// Where and how the labels of one leg stand; nullopt for a leg of zero length.
struct LegLayout {
  double line_len = 0;
  double min_len_for_label = 0;   // legs up to this length go to the schedule
  double line_angle = 0;          // rotation of the three texts
  bool is_reversed = false;
  XY perp;                        // towards the outer side
  canvas::VAlign va_outside = canvas::VAlign::Bottom;
  canvas::VAlign va_inside = canvas::VAlign::Top;
  XY deg_at;    // degree text (the quarter point, the three-quarter point when reversed)
  XY min_at;    // minute text
  XY dist_at;   // distance text, inner side at mid-leg
  bool labelled() const { return line_len > min_len_for_label; }
};
std::optional<LegLayout> leg_layout(XY from, XY to, XY centroid, std::int64_t scale);

}  // namespace vekt::plots
