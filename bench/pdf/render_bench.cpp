// Pages per second and render time (p50, p99) of a filled deed plan holding a 2244 × 1889 figure,
// through the PDF pool with 1 and with 4 workers, against the worker script's own render time of
// the same page measured inside Python in the same run.
//
//   pdf_bench [renders per measurement, default 24]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "base/base64.hpp"
#include "brellow/page.hpp"
#include "pdf/pool.hpp"

namespace {

using namespace vekt;
namespace asio = boost::asio;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Figures {
  double pages_per_s = 0;
  double p50_ms = 0;
  double p99_ms = 0;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string deed_page() {
  asio::io_context io;
  auto text = asio::co_spawn(io, brellow::read_template(VEKT_SOURCE_DIR, "templates/deedplan.html"), asio::use_future);
  io.run();
  std::vector<plots::ScheduleItem> legs;
  for (int i = 1; i <= 6; ++i) legs.push_back({"PB" + std::to_string(i), "PB" + std::to_string(i + 1), "225° 07'", "4.24"});
  const std::string image = base::base64_encode(slurp(fs::path(VEKT_SOURCE_DIR) / "tests/data/plan_figure.png"));
  return brellow::fill_placeholders(
      text.get(), {{"{{parcel_number}}", "PLOT 12A"},           {"{{image}}", image, true},
                   {"{{width}}", "190"},                        {"{{height}}", "160"},
                   {"{{district}}", "IKEJA"},                   {"{{cadzone}}", "C05"},
                   {"{{file_no}}", "LKN/9999"},                 {"{{person_name}}", "ADÉ BÍSÍ"},
                   {"{{date}}", "(10 December 2026)", true},    {"{{tracing_no}}", "TP/55/2019"},
                   {"{{beacon_number}}", "PB1"},                {"{{beacon_longitude}}", "345678.124"},
                   {"{{beacon_latitude}}", "7.000"},            {"{{surveyed_by}}", "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE"},
                   {"{{scale}}", "500"},                        {"{{address}}", "12A OBA AKRAN STRASSE"},
                   {"{{surveyor_general}}", "SURV. DALMO RENFIK .K.Mnis"},
                   {"{{schedule_table}}", brellow::schedule_table_html(legs), true}});
}

// The same renders inside `processes` Python processes at once (count each), with the worker's
// own render function. With several processes this is what the machine gives without the pool.
Figures python_baseline(const std::string& css, const std::string& page, int count, int processes = 1) {
  const fs::path dir = fs::temp_directory_path() / ("vekt-pdf-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "page.css", std::ios::binary) << css;
  std::ofstream(dir / "page.html", std::ios::binary) << page;
  const std::string command = "/usr/bin/python3 -I " + std::string(VEKT_SOURCE_DIR) + "/bench/pdf/weasyprint_baseline.py " +
                              pdf::default_worker_script().string() + " " + (dir / "page.css").string() + " " +
                              (dir / "page.html").string() + " " + std::to_string(count);
  std::vector<double> ms;
  std::vector<FILE*> runs;
  const auto start = Clock::now();
  for (int i = 0; i < processes; ++i) runs.push_back(::popen(command.c_str(), "r"));
  for (FILE* p : runs) {
    char line[64];
    while (p && std::fgets(line, sizeof line, p)) ms.push_back(std::atof(line));
    if (p) ::pclose(p);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove_all(dir);
  if (ms.empty()) {
    std::fprintf(stderr, "the Python baseline gave no times\n");
    std::exit(1);
  }
  double total = 0;
  for (double m : ms) total += m;
  // One process: its render times alone (start-up excluded); several: renders over the wall time.
  const double rate = processes == 1 ? 1000.0 * static_cast<double>(ms.size()) / total : static_cast<double>(ms.size()) / wall;
  return {rate, percentile(ms, 0.5), percentile(ms, 0.99)};
}

// `count` renders, `parallel` at a time, each from an event loop of its own; times are per render.
Figures through_pool(pdf::Pool& pool, const std::string& css, const std::string& page, int count, int parallel) {
  std::vector<double> ms(static_cast<std::size_t>(count));
  std::atomic<int> next{0};
  const auto start = Clock::now();
  std::vector<std::thread> loops;
  for (int t = 0; t < parallel; ++t)
    loops.emplace_back([&] {
      asio::io_context io;
      for (int i; (i = next++) < count;) {
        const auto t0 = Clock::now();
        auto pdf = asio::co_spawn(io, pool.render(css, page), asio::use_future);
        io.restart();
        io.run();
        if (pdf.get().size() < 1000) std::abort();
        ms[static_cast<std::size_t>(i)] = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      }
    });
  for (auto& t : loops) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return {count / wall, percentile(ms, 0.5), percentile(ms, 0.99)};
}

void print(const char* name, const Figures& f) {
  std::printf("%-34s %8.2f pages/s   p50 %7.1f ms   p99 %7.1f ms\n", name, f.pages_per_s, f.p50_ms, f.p99_ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(4, std::atoi(argv[1])) : 24;
  const std::string css(brellow::DEEDPLAN_CSS);
  const std::string page = deed_page();
  std::printf("deed plan page: %zu bytes of HTML, %d renders per measurement, %u cores\n", page.size(), count,
              std::thread::hardware_concurrency());

  const Figures python = python_baseline(css, page, count);
  pdf::PoolConfig one;
  one.workers = 1;
  pdf::Pool pool1(one);
  through_pool(pool1, css, page, 2, 1);  // start the worker and warm it
  const Figures single = through_pool(pool1, css, page, count, 1);

  pdf::PoolConfig four;
  four.workers = 4;
  pdf::Pool pool4(four);
  through_pool(pool4, css, page, 8, 4);
  const Figures quad = through_pool(pool4, css, page, 2 * count, 4);

  const Figures python4 = python_baseline(css, page, count / 2, 4);

  print("python, in the worker (baseline)", python);
  print("python, 4 processes (incl. start)", python4);
  print("pool, 1 worker", single);
  print("pool, 4 workers, 4 at a time", quad);
  std::printf("pool overhead at p50 (1 worker vs baseline): %+.1f %%  (aim: at most 10 %%)\n",
              100.0 * (single.p50_ms / python.p50_ms - 1.0));
  std::printf("4 workers / 1 worker, pages per second:      %.2fx     (aim: at least 3.5x)\n",
              quad.pages_per_s / single.pages_per_s);
  std::printf("4 Python processes / 1, pages per second:    %.2fx     (what this machine allows now)\n",
              python4.pages_per_s / python.pages_per_s);
}
