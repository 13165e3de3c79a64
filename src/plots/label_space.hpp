#pragma once
// The room the figure's texts take: one list of the boxes already occupied (texts as the canvas
// measures them, the scale bar and the north arrow), in pixels of the figure, against which every
// further text is tried before it is drawn; and the parcel's rings, to tell whether a text lies
// whole inside the parcel. Convex quadrilaterals throughout, tested by their separating axes.
#include <cstddef>
#include <span>
#include <vector>

#include "canvas/figure.hpp"

namespace vekt::plots {

using canvas::Quad;
using canvas::XY;

// An axis-parallel quadrilateral from x0 to x1 and y0 to y1.
Quad box_quad(double x0, double y0, double x1, double y1);
// Whether the insides of two convex quadrilaterals meet (touching does not count).
bool quads_overlap(const Quad& a, const Quad& b);
// Whether the segment from p to q passes through the inside of the quadrilateral.
bool segment_crosses(XY p, XY q, const Quad& a);

class LabelSpace {
 public:
  // The figure's pixel area; nothing is occupied yet.
  LabelSpace(double width_px, double height_px);

  // Whole inside the figure, `margin_px` clear of its sides.
  bool inside(const Quad& q, double margin_px = 0) const;
  // Inside the figure and over nothing occupied.
  bool free(const Quad& q) const;
  bool free(std::span<const Quad> qs) const;
  // Whether the segment passes through an occupied box.
  bool crosses(XY p, XY q) const;
  void occupy(const Quad& q);

  double width() const { return w_; }
  double height() const { return h_; }
  const std::vector<Quad>& occupied() const { return boxes_; }

 private:
  // Occupied boxes by the cells of a coarse grid their bounds touch.
  std::vector<std::size_t>* cell(int cx, int cy);
  template <class F>
  bool any_near(double x0, double y0, double x1, double y1, F&& test) const;

  double w_, h_;
  int cols_, rows_;
  std::vector<Quad> boxes_;
  std::vector<std::vector<std::size_t>> cells_;
  mutable std::vector<std::size_t> seen_;  // stamp per box, so a box is tested once per query
  mutable std::size_t stamp_ = 0;
};

// A polygon's rings in pixels (the first is the outer one): what lies inside it, and how much room.
class Rings {
 public:
  explicit Rings(std::vector<std::vector<XY>> rings);

  // Inside the face: inside the outer ring and in no hole.
  bool contains(XY p) const;
  // The quadrilateral lies whole inside the face: its corners inside and no ring edge crossing it.
  bool contains(const Quad& q) const;
  // The quadrilateral meets the face: a corner inside it or a ring edge through it.
  bool meets(const Quad& q) const;
  // Distance to the nearest ring edge.
  double clearance(XY p) const;
  // Points of the face, a grid `step_px` apart, within [x0, x1] × [y0, y1], roomiest first.
  std::vector<XY> roomiest(double step_px, double x0, double y0, double x1, double y1) const;
  double minx() const { return minx_; }
  double miny() const { return miny_; }
  double maxx() const { return maxx_; }
  double maxy() const { return maxy_; }

 private:
  bool edge_through(const Quad& q) const;

  std::vector<std::vector<XY>> rings_;
  double minx_ = 0, miny_ = 0, maxx_ = 0, maxy_ = 0;
};

}  // namespace vekt::plots
