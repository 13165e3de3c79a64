// Deed plans of parcels of unusual shapes, through the server, the real figure and the PDF
// workers, read as a land officer reads them: no text of the figure over another, every text
// whole inside the figure, every leg's bearing and distance on the figure or in the schedule,
// every beacon name on the figure, and holes drawn as holes. The figure is drawn by the plan
// figure itself; the test only keeps what it drew, to read its texts' extents.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/base64.hpp"
#include "brellow/service.hpp"
#include "canvas/figure.hpp"
#include "geo/geometry.hpp"
#include "plots/figure.hpp"
#include "plots/number_text.hpp"
#include "support/all.hpp"
#include "pdf_tools.hpp"
#include "plan_server.hpp"

namespace {

using vekt::base::XY;
using vekt::testing::http;
using vekt::testing::HttpResponse;
using plans_test::joined;
namespace plots = vekt::plots;
namespace canvas = vekt::canvas;

// What one figure drew, kept by the figure function below.
struct Drawn {
  std::vector<plots::PlotRecord> parcel_data;
  std::vector<canvas::TextItem> texts;
  std::vector<canvas::Quad> boxes;  // of `texts`, as the canvas places them
  int width = 0, height = 0;
  std::vector<plots::ScheduleItem> schedule;
  canvas::Image image;
  std::function<XY(XY)> to_pixel;
};

// The real figure function, keeping what it drew by the parcel's id.
class KeptFigures {
 public:
  KeptFigures() {
    vekt::brellow::set_figure_function([this](const std::vector<plots::PlotRecord>& parcel_data,
                                              const plots::ParcelNumber& selected,
                                              const std::optional<std::vector<plots::RoadRecord>>& road_data,
                                              std::string_view columnname,
                                              const std::optional<plots::BoundingBox>& bounding_box, double w,
                                              double h) {
      plots::ComposedPlot p = plots::compose_plot(parcel_data, selected, road_data, columnname, bounding_box, w, h);
      Drawn d;
      d.parcel_data = parcel_data;
      d.texts = p.figure.axes().items_of<canvas::TextItem>();
      for (const auto& t : d.texts) d.boxes.push_back(canvas::text_box(p.figure, t));
      d.width = p.figure.width_px();
      d.height = p.figure.height_px();
      d.schedule = p.schedule;
      d.image = p.figure.render();
      const double x0 = p.figure.axes().get_xlim().first, x1 = p.figure.axes().get_xlim().second;
      const double y0 = p.figure.axes().get_ylim().first, y1 = p.figure.axes().get_ylim().second;
      const double W = w / 25.4 * 300, H = h / 25.4 * 300;
      const int hp = d.height;
      d.to_pixel = [=](XY q) { return XY{(q.x - x0) / (x1 - x0) * W, hp - (q.y - y0) / (y1 - y0) * H}; };
      plots::FigureResult r;
      r.image = vekt::base::base64_encode(p.figure.to_png());
      r.size = {w, h};
      r.scale = p.scale;
      r.schedule = p.schedule;
      std::lock_guard lk(mu_);
      drawn_[plots::to_text(selected)] = std::move(d);
      return r;
    });
  }
  ~KeptFigures() { vekt::brellow::set_figure_function(nullptr); }
  std::optional<Drawn> of(int plot) {
    std::lock_guard lk(mu_);
    const auto it = drawn_.find(std::to_string(plot));
    if (it == drawn_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::mutex mu_;
  std::map<std::string, Drawn> drawn_;
};

vekt::geo::Geometry quad_polygon(const canvas::Quad& q) { return vekt::geo::Geometry::polygon(q); }

// Texts drawn over each other or not whole on the figure, one line each.
std::vector<std::string> text_faults(const Drawn& d) {
  std::vector<std::string> faults;
  for (std::size_t i = 0; i < d.texts.size(); ++i) {
    if (d.texts[i].text.empty()) continue;
    for (const XY& c : d.boxes[i])
      if (c.x < -0.5 || c.y < -0.5 || c.x > d.width + 0.5 || c.y > d.height + 0.5) {
        faults.push_back("\"" + d.texts[i].text + "\" is not whole inside the figure");
        break;
      }
    const auto a = quad_polygon(d.boxes[i]);
    for (std::size_t j = i + 1; j < d.texts.size(); ++j) {
      if (d.texts[j].text.empty()) continue;
      if (a.intersection(quad_polygon(d.boxes[j])).area() > 1.0)
        faults.push_back("\"" + d.texts[i].text + "\" lies over \"" + d.texts[j].text + "\"");
    }
  }
  return faults;
}

const plots::PlotRecord& target_of(const Drawn& d, int plot) {
  for (const auto& p : d.parcel_data)
    if (p.id && *p.id == plot) return p;
  throw std::runtime_error("no target record");
}

double number_of(const plots::Number& n) {
  if (const auto* i = std::get_if<std::int64_t>(&n)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<double>(&n)) return *f;
  return std::stod(std::get<plots::Decimal>(n).digits);
}

// Legs whose bearing and distance are neither whole on the figure nor a row of the document's
// schedule, and beacon names not on the figure, one line each.
std::vector<std::string> leg_and_name_faults(const Drawn& d, int plot, const std::string& rows) {
  std::vector<std::string> faults;
  std::multiset<std::string> on_figure;
  for (const auto& t : d.texts) on_figure.insert(t.text);
  const auto take = [&](const std::string& s) {
    const auto it = on_figure.find(s);
    if (it == on_figure.end()) return false;
    on_figure.erase(it);
    return true;
  };
  const auto& beacons = *target_of(d, plot).boundary;
  for (std::size_t i = 0; i < beacons.size(); ++i) {
    const auto& b = beacons[i];
    const auto& next = beacons[(i + 1) % beacons.size()];
    if (!take(*b.beacon_name)) faults.push_back("beacon " + *b.beacon_name + " is not named on the figure");
    if (number_of(*b.distance_to_next) <= 0) continue;
    const std::string row = *b.beacon_name + " " + *next.beacon_name + " ";
    if (rows.find(row) != std::string::npos) continue;
    const std::string dist = plots::fixed2(*b.distance_to_next) + "m";
    const bool drawn = take(dist) && take(*b.bearing_deg_to_next) && take(*b.bearing_min_to_next);
    if (!drawn) faults.push_back("leg " + row + "has its bearing and distance nowhere on the plan");
  }
  return faults;
}

class PlanFigureCases : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = plans_test::server_port();
    if (!p) GTEST_SKIP() << "DATABASE_URL is not set";
    port_ = *p;
  }
  int port_ = 0;
};

struct Case {
  int plot;
  const char* what;
  const char* bounding_box = nullptr;  // the caller's frame, as the request writes it
  std::vector<XY> unfilled = {};       // points of holes, drawn as holes
};

TEST_F(PlanFigureCases, EveryTextReadableAndEveryLegOnThePlan) {
  const Case cases[] = {
      {1000, "the demo parcel: 15 m wide, the name over its long legs' distances"},
      {601, "12 m wide, the name between its long legs' distances"},
      {602, "a sliver of 1 x 200 m"},
      {603, "a U whose centroid lies in the notch"},
      {604, "a side of 40 short legs"},
      {605, "beacon names of 40 characters"},
      {606, "an estate cut by the caller's frame", "[869900, 999900, 870300, 1000200]"},
      {607, "10 x 8 km at 1:54000"},
      {608, "a courtyard, beside a neighbour with a hole", nullptr, {{858030, 1000025}, {858068, 1000025}}},
  };
  KeptFigures kept;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.plot) + ": " + c.what);
    std::string body = R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": "adé bísí")";
    if (c.bounding_box) body += std::string(R"(, "bounding_box": )") + c.bounding_box;
    body += "}";
    const HttpResponse r = http(port_, "POST", "/plans/" + std::to_string(c.plot) + "/deed-plan", {}, body);
    ASSERT_EQ(r.status, 200) << r.body;
    const auto drawn = kept.of(c.plot);
    ASSERT_TRUE(drawn.has_value());
    EXPECT_EQ(joined(text_faults(*drawn)), "");
    const std::string rows = plans_test::pdf_text(r.body, true);
    EXPECT_EQ(joined(leg_and_name_faults(*drawn, c.plot, rows)), "");
    if (!drawn->schedule.empty()) {
      EXPECT_NE(rows.find("legs not dimensioned on the figure"), std::string::npos) << rows;
    }
    for (const XY& p : c.unfilled) {
      const XY px = drawn->to_pixel(p);
      const auto pixel = drawn->image.at(static_cast<int>(px.x), static_cast<int>(px.y));
      EXPECT_EQ(pixel, (canvas::Image::Pixel{255, 255, 255})) << "hole at " << p.x << ", " << p.y;
    }
    EXPECT_EQ(joined(plans_test::page_faults(r.body)), "");
    const std::string kept_pdf = plans_test::keep("DeedPlan_" + std::to_string(c.plot) + ".pdf", r.body);
    (void)plans_test::pictures_of(kept_pdf);
    (void)plans_test::keep("Figure_" + std::to_string(c.plot) + ".png", canvas::encode_png(drawn->image, 300));
  }
}

}  // namespace
