#pragma once
// vekt-server's composition in the test process: the tile service and the plan documents on one
// App, served on a free loopback port, over the real PostgreSQL, Redis and WeasyPrint workers,
// with the hand-made parcels of the plan fixture loaded. Started once, on first use; stopped and
// the fixture removed when the test program ends. Tests swap the figure function for a stand-in
// that records what it is given.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plots/records.hpp"

namespace plans_test {

// The plan module's settings in these tests.
inline constexpr std::size_t PLAN_QUEUE = 4;
inline constexpr std::size_t FIGURE_THREADS = 2;
inline constexpr unsigned PDF_WORKERS = 2;
inline constexpr std::chrono::milliseconds FIGURE_TIMEOUT{8000};
inline constexpr std::chrono::milliseconds PDF_TIMEOUT{12000};

// The port of the running server (started on the first call). Skips the calling test (returns
// nullopt) when DATABASE_URL is not set.
std::optional<int> server_port();

// One call of the figure function, as it was made.
struct FigureCall {
  std::vector<vekt::plots::PlotRecord> parcel_data;
  vekt::plots::ParcelNumber selected_parcel_number;
  std::optional<std::vector<vekt::plots::RoadRecord>> road_data;
  std::string columnname;
  std::optional<vekt::plots::BoundingBox> bounding_box;
  double max_width_mm = 0;
  double max_height_mm = 0;
};

// A figure function that records its calls and answers a fixed figure (a small PNG, scale 500,
// the schedule given) after `delay`. Installed while it lives; the real figure comes back after.
class StandInFigure {
 public:
  explicit StandInFigure(std::vector<vekt::plots::ScheduleItem> schedule = {},
                         std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  ~StandInFigure();
  StandInFigure(const StandInFigure&) = delete;
  StandInFigure& operator=(const StandInFigure&) = delete;
  std::vector<FigureCall> calls() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The project root the server reads its templates from: a copy of the repository's templates
// made when the server starts, so that a test may edit them (every document reads its template
// anew) without touching the checkout.
std::filesystem::path project_root();

// A one-pixel PNG as base64.
extern const char* const TINY_PNG_BASE64;

}  // namespace plans_test
