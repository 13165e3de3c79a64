// Time to render and encode a 190 × 160 mm plan figure at 300 dpi (2244 × 1889 pixels) holding
// 2 000 text labels and 5 000 line segments, against an empty figure of the same size rendered and
// encoded in the same run (the ratio is printed at the end).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "canvas/figure.hpp"
#include "plots/plots.hpp"

namespace {

using namespace vekt;

void fill_plan(canvas::Axes& ax) {
  ax.set_xlim(0, 190);
  ax.set_ylim(0, 160);
  // 5 000 segments: 50 dashed polylines of 100 segments each, wandering across the sheet.
  canvas::LineStyle road;
  road.linewidth = 0.8;
  road.dashes = {5, 10};
  road.zorder = 1;
  for (int l = 0; l < 50; ++l) {
    std::vector<canvas::XY> pts;
    for (int i = 0; i <= 100; ++i) {
      const double t = i / 100.0;
      pts.push_back({5 + 180 * t, 5 + 3 * l + 4 * std::sin(t * 12 + l)});
    }
    ax.plot(pts, road);
  }
  // 2 000 labels of bearing and distance texts at assorted rotations.
  canvas::TextStyle ts;
  ts.fontsize = 7;
  ts.ha = canvas::HAlign::Center;
  ts.va = canvas::VAlign::Bottom;
  ts.rotation_mode = canvas::RotationMode::Anchor;
  ts.zorder = 7;
  for (int i = 0; i < 2000; ++i) {
    ts.rotation = (i * 37) % 360;
    ts.fontweight = i % 3 == 0 ? canvas::Weight::Bold : canvas::Weight::Normal;
    ax.text({5 + (i % 50) * 3.6, 5 + (i / 50) * 3.8}, i % 2 ? "306°52'" : "30.00m", ts);
  }
  plots::add_north_arrow(ax);
  plots::add_scale_bar(ax, 1000);
}

void BM_EmptyFigure(benchmark::State& state) {
  for (auto _ : state) {
    canvas::Figure f(190, 160);
    benchmark::DoNotOptimize(f.to_png());
  }
}
BENCHMARK(BM_EmptyFigure)->Unit(benchmark::kMillisecond);

void BM_PlanFigure(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    canvas::Figure f(190, 160);
    fill_plan(f.axes());
    const std::string png = f.to_png();
    bytes = png.size();
    benchmark::DoNotOptimize(png);
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PlanFigure)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto e = times_.find("BM_EmptyFigure"), p = times_.find("BM_PlanFigure");
    if (e != times_.end() && p != times_.end() && e->second > 0)
      std::printf("plan figure / empty figure: %.2f\n", p->second / e->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  plots::init();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
