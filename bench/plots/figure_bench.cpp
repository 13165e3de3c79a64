// Plan figure benchmarks.
//
// 1. Canvas: a 190 × 160 mm figure at 300 dpi (2244 × 1889 pixels) holding 2 000 text labels and
//    5 000 line segments, against an empty figure of the same size (rendered and encoded).
// 2. generate_plot end to end (drawing, PNG, base64) for the request files of tests/data/plots: the
//    five-sided parcel, a 100-beacon and a 500-beacon parcel, one thread, median and p95 of single
//    figures; and figures per second with 8 threads drawing at once.
// 3. Where the time of the five-sided figure goes (composing, rendering, PNG, base64), and what the
//    PNG encoder settings cost in time and bytes.
// Ratios against the empty figure and against one thread are printed at the end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/base64.hpp"
#include "canvas/figure.hpp"
#include "host/logger.hpp"
#include "plot/request.hpp"
#include "plots/figure.hpp"
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

// The request files, read once.
const char* const kCases[] = {"five_sided", "beacons_100", "beacons_500"};

const plot::Request& request(std::size_t i) {
  static const std::vector<plot::Request> reqs = [] {
    std::vector<plot::Request> r;
    for (const char* name : kCases)
      r.push_back(plot::read_request(std::string(VEKT_SOURCE_DIR) + "/tests/data/plots/" + name + ".json"));
    return r;
  }();
  return reqs[i];
}

plots::FigureResult draw(const plot::Request& r) {
  return plots::generate_plot(r.parcel_data, r.selected, r.road_data, r.columnname, r.bounding_box, r.max_width_mm,
                              r.max_height_mm);
}

double p95(const std::vector<double>& v) {
  std::vector<double> s = v;
  std::sort(s.begin(), s.end());
  return s[static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(s.size()))) - 1];
}

// One figure per repetition: the aggregates give the median and p95 of single figures.
void BM_GeneratePlot(benchmark::State& state) {
  const plot::Request& r = request(static_cast<std::size_t>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const plots::FigureResult res = draw(r);
    bytes = res.image.size();
    benchmark::DoNotOptimize(res);
  }
  state.counters["base64_bytes"] = static_cast<double>(bytes);
  state.SetLabel(kCases[state.range(0)]);
}
BENCHMARK(BM_GeneratePlot)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(60)
    ->ComputeStatistics("p95", p95)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeneratePlot)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(10)
    ->ComputeStatistics("p95", p95)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// Several threads drawing the five-sided figure at once: items_per_second is figures per second.
// Context switches per figure tell waiting on a lock (voluntary) from losing the core to other
// processes on a busy machine (involuntary).
void BM_GeneratePlotThreads(benchmark::State& state) {
  const plot::Request& r = request(0);
  rusage before{};
  if (state.thread_index() == 0) getrusage(RUSAGE_SELF, &before);
  for (auto _ : state) benchmark::DoNotOptimize(draw(r));
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double figs = static_cast<double>(state.iterations()) * state.threads();
    state.counters["vol_cs_per_fig"] = static_cast<double>(after.ru_nvcsw - before.ru_nvcsw) / figs;
    state.counters["invol_cs_per_fig"] = static_cast<double>(after.ru_nivcsw - before.ru_nivcsw) / figs;
  }
}
BENCHMARK(BM_GeneratePlotThreads)->Threads(1)->Threads(8)->UseRealTime()->MinTime(3)->Unit(benchmark::kMillisecond);

// The five-sided figure stage by stage.
void BM_Stages(benchmark::State& state) {
  const plot::Request& r = request(0);
  const auto composed = plots::compose_plot(r.parcel_data, r.selected, r.road_data, r.columnname, r.bounding_box,
                                            r.max_width_mm, r.max_height_mm);
  const canvas::Image img = composed.figure.render();
  const std::string png = canvas::encode_png(img, 300);
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0:
        benchmark::DoNotOptimize(plots::compose_plot(r.parcel_data, r.selected, r.road_data, r.columnname,
                                                     r.bounding_box, r.max_width_mm, r.max_height_mm));
        break;
      case 1: benchmark::DoNotOptimize(composed.figure.render()); break;
      case 2: benchmark::DoNotOptimize(canvas::encode_png(img, 300)); break;
      case 3: benchmark::DoNotOptimize(composed.figure.to_png()); break;
      default: benchmark::DoNotOptimize(base::base64_encode(png)); break;
    }
  }
  static const char* const names[] = {"compose", "render (to RGB)", "png (of RGB)", "render and png", "base64"};
  state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_Stages)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// PNG encoder settings on the five-sided figure: time and size. Args: zlib level, adaptive filters.
void BM_PngSettings(benchmark::State& state) {
  const plot::Request& r = request(0);
  const auto composed = plots::compose_plot(r.parcel_data, r.selected, r.road_data, r.columnname, r.bounding_box,
                                            r.max_width_mm, r.max_height_mm);
  const canvas::Image img = composed.figure.render();
  canvas::PngOptions opts;
  opts.compression_level = static_cast<int>(state.range(0));
  opts.adaptive_filters = state.range(1) != 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string png = canvas::encode_png(img, 300, opts);
    bytes = png.size();
    benchmark::DoNotOptimize(png);
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PngSettings)
    ->Args({1, 0})
    ->Args({3, 0})
    ->Args({6, 0})
    ->Args({9, 0})
    ->Args({1, 1})
    ->Args({3, 1})
    ->Args({6, 1})
    ->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      times_[r.benchmark_name()] = r.GetAdjustedRealTime();
      const auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto e = times_.find("BM_EmptyFigure"), p = times_.find("BM_PlanFigure");
    if (e != times_.end() && p != times_.end() && e->second > 0)
      std::printf("plan figure / empty figure: %.2f\n", p->second / e->second);
    const auto f = times_.find("BM_GeneratePlot/0/iterations:1/repeats:60_median");
    if (e != times_.end() && f != times_.end() && e->second > 0)
      std::printf("five-sided generate_plot (median) / empty figure: %.2f\n", f->second / e->second);
    double one = 0, eight = 0;
    for (const auto& [name, rate] : rates_) {
      if (name.find("threads:1") != std::string::npos) one = rate;
      if (name.find("threads:8") != std::string::npos) eight = rate;
    }
    if (one > 0 && eight > 0)
      std::printf("figures per second, 8 threads / 1 thread: %.1f / %.1f = %.2f\n", eight, one, eight / one);
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  plots::init();
  // One log line per figure would time the terminal, not the figure.
  host::configure_logging(spdlog::level::warn);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
