#pragma once
// The plan figure's module: start-up, coordinate constants and the drawing primitives the figure
// is made of (standard plan scale, north arrow, scale bar, road line work, label footprints).
//
// Call init() once before anything else (the host does it at start-up; repeated calls do
// nothing). The functions are safe to call from several threads at once: geometries and
// coordinate objects belong to the calling thread.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.hpp"
#include "canvas/axes.hpp"
#include "geo/geometry.hpp"
#include "geo/proj.hpp"
#include "plots/figure.hpp"
#include "plots/records.hpp"

namespace spdlog {
class logger;
}

namespace vekt::plots {

// A number too large (or infinite) to become an integer.
class OverflowError : public base::Error {
 public:
  using base::Error::Error;
};

// A division by zero ("float division by zero").
class ZeroDivisionError : public base::Error {
 public:
  using base::Error::Error;
};

// The font families texts are set in, first installed one wins.
inline const std::array<std::string, 5> FONT_SANS_SERIF = {"Geist", "Arial", "DejaVu Sans", "Liberation Sans",
                                                           "sans-serif"};

// Start-up: resolves the font, takes the module logger, logs "Loaded plots module" and builds the
// coordinate constants. Runs once per process; a failure is raised and the next call tries again.
void init();

// The module logger (init() must have run).
std::shared_ptr<spdlog::logger> logger();

// EPSG:3857 as source and as drawing system, and the x-first transformer between them (an
// identity). Each thread gets its own instances, built on first use.
const geo::Crs& SRC_CRS();
const geo::Crs& DST_CRS();
const geo::Transformer& TRANSFORMER();

// The geometry in drawing coordinates: a new geometry of the same kind, vertex for vertex, passed
// through TRANSFORMER. An empty geometry comes back as an (empty) copy.
geo::Geometry project_geometry(geo::GeometryRef geometry);

// The denominator N of the plan scale 1:N at which a survey extent (metres) fits into 98 % of a
// printable area (millimetres): the first standard scale that is large enough, else the next
// whole thousand. A non-positive extent gives 1000 (the width is tested first). Otherwise:
// ZeroDivisionError for a printable size of 0; ValueError when any value is NaN; OverflowError
// when the required scale is infinite or beyond 64-bit.
std::int64_t get_recommended_scale(double survey_width_m, double survey_height_m, double max_width_mm = 190,
                                   double max_height_mm = 250);

// A black arrow pointing up from `loc` (axes fractions) with length `size` (fraction of the axes
// height), and the bold label "UN" just above its head.
void add_north_arrow(canvas::Axes& ax, canvas::XY loc = {0.95, 0.85}, double size = 0.08);

// The segment length of the scale bar at a scale: the tidy value nearest to 1/4 of 50 mm on
// paper, or a multiple of 100 m beyond 100 m. ValueError for a scale that is not finite;
// OverflowError beyond 64-bit.
std::int64_t scale_bar_step(double scale);

// The two-sided scale bar in the bottom right corner of the axes' current limits: four segments
// of scale_bar_step(scale), alternately black and white, ticks, labels and the unit "m".
// `position` is accepted and has no effect.
void add_scale_bar(canvas::Axes& ax, double scale, canvas::XY position = {0.5, 0.05});

// One road geometry as thin black dashed line work: lines at z-order 1, polygon outlines (the
// exterior ring) at z-order 2; multi-part geometries and collections are taken apart; points
// and other kinds draw nothing.
void plot_road_element(canvas::Axes& ax, geo::GeometryRef geom);

// The footprint of a label: the w × h rectangle centred on (cx, cy), turned counter-clockwise by
// angle_deg about its centre. Corners in the order lower left, lower right, upper right, upper
// left of the unturned rectangle.
geo::Geometry get_rotated_rect_poly(double cx, double cy, double w, double h, double angle_deg);

}  // namespace vekt::plots
