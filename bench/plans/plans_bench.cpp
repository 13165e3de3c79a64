// Plan documents under load, against a running vekt-server, with baselines measured in the same
// run in this process:
//   - the figure alone (vekt::plots::generate_plot on the parcel's neighbourhood, one at a time)
//     and WeasyPrint alone (the same filled deed plan page on one PDF worker, one at a time);
//   - deed plans end to end over HTTP at 1, 4 and 16 concurrent clients: plans/s, p50 and p99,
//     and the server's split of each plan into data, figure, PDF and the rest (Server-Timing);
//   - tile-hit p99 alone and while 16 clients ask for deed plans.
//   plans_bench --port P --plot ID --tile /gis/plots/16/X/Y.pbf [--seconds S] [--root DIR] [--workers N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "brellow/document.hpp"
#include "brellow/generator.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "plots/plots.hpp"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

template <class T>
T run(asio::io_context& io, asio::awaitable<T> aw) {
  auto fut = asio::co_spawn(io, std::move(aw), asio::use_future);
  io.restart();
  io.run();
  return fut.get();
}

struct Answer {
  unsigned status = 0;
  std::string server_timing;
};

// One request on a fresh connection. X-Forwarded-For gives each tile request an address of its
// own, so the per-address rate limit of the tiles does not cut the measurement short.
Answer request(int port, http::verb method, const std::string& target, const std::string& body,
               const std::string& forwarded_for = {}) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
  http::request<http::string_body> req{method, target, 11};
  req.set(http::field::host, "127.0.0.1");
  if (!forwarded_for.empty()) req.set("X-Forwarded-For", forwarded_for);
  if (!body.empty()) {
    req.set(http::field::content_type, "application/json");
    req.body() = body;
  }
  req.prepare_payload();
  http::write(socket, req);
  boost::beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64u << 20);
  http::read(socket, buffer, parser);
  Answer a;
  a.status = parser.get().result_int();
  if (auto it = parser.get().find("Server-Timing"); it != parser.get().end()) a.server_timing = std::string(it->value());
  boost::system::error_code ec;
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  return a;
}

// "data;dur=1.0, figure;dur=2.0, ..." as name -> milliseconds.
std::map<std::string, double> parse_timing(const std::string& header) {
  std::map<std::string, double> out;
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t end = header.find(',', pos);
    std::string item = header.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    auto semi = item.find(";dur=");
    if (semi != std::string::npos) {
      std::string name = item.substr(item.find_first_not_of(' '), semi - item.find_first_not_of(' '));
      out[name] = std::atof(item.c_str() + semi + 5);
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return out;
}

struct Options {
  int port = 8000;
  std::int64_t plot = 0;
  std::string tile;
  double seconds = 10;
  std::string root = ".";
  unsigned workers = 0;
};

// Tile hits one after another for `seconds`; each latency in ms.
std::vector<double> tile_hits(const Options& o, double seconds) {
  std::vector<double> ms;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  unsigned n = 0;
  while (Clock::now() < end) {
    const std::string addr = "10.9." + std::to_string((n / 250) % 250) + "." + std::to_string(n % 250 + 1);
    ++n;
    auto t0 = Clock::now();
    Answer a = request(o.port, http::verb::get, o.tile, "", addr);
    ms.push_back(ms_since(t0));
    if (a.status != 200) std::fprintf(stderr, "bench: tile answered %u\n", a.status);
  }
  return ms;
}

struct LoadResult {
  std::vector<double> latency;
  std::map<std::string, double> split_sum;
  int failures = 0;
  double seconds = 0;
};

LoadResult deed_plans(const Options& o, int clients, double seconds) {
  const std::string body = R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": "bench"})";
  const std::string target = "/plans/" + std::to_string(o.plot) + "/deed-plan";
  LoadResult r;
  std::mutex mu;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      while (Clock::now() < end) {
        auto t0 = Clock::now();
        Answer a = request(o.port, http::verb::post, target, body);
        double ms = ms_since(t0);
        std::lock_guard lk(mu);
        if (a.status != 200) {
          ++r.failures;
          continue;
        }
        r.latency.push_back(ms);
        for (auto& [k, v] : parse_timing(a.server_timing)) r.split_sum[k] += v;
      }
    });
  for (auto& t : threads) t.join();
  r.seconds = ms_since(start) / 1000;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--port") o.port = std::atoi(v.c_str());
    else if (k == "--plot") o.plot = std::atoll(v.c_str());
    else if (k == "--tile") o.tile = v;
    else if (k == "--seconds") o.seconds = std::atof(v.c_str());
    else if (k == "--root") o.root = v;
    else if (k == "--workers") o.workers = static_cast<unsigned>(std::atoi(v.c_str()));
  }
  if (o.plot == 0 || o.tile.empty()) {
    std::fprintf(stderr, "usage: plans_bench --port P --plot ID --tile /gis/plots/16/X/Y.pbf [--seconds S] [--root DIR]\n");
    return 2;
  }
  vekt::host::configure_logging(spdlog::level::warn);
  vekt::plots::init();
  vekt::brellow::Config config;
  config.project_root = std::filesystem::absolute(o.root);
  config.pdf.workers = 1;
  vekt::brellow::startup(config);

  // --- baselines: the figure alone and WeasyPrint alone, one at a time ------------------------
  asio::io_context io;
  vekt::pg::Session session(vekt::host::database());
  vekt::brellow::PlanImageGenerator generator(session);
  vekt::brellow::document::Drawing drawing;
  drawing.html_content = run(io, vekt::brellow::read_template(config.project_root, "templates/deedplan.html"));
  drawing.plot_data = run(io, generator.get_plot_with_nearby(session, o.plot, vekt::brellow::Boundaries::requested_only));
  run(io, session.close());
  const auto& selected = vekt::brellow::document::drawable_plot(drawing.plot_data.plots, o.plot);
  drawing.selected = static_cast<std::size_t>(&selected - drawing.plot_data.plots.data());
  std::vector<double> figure_ms, pdf_ms;
  for (int i = 0; i < 5; ++i) {
    auto t0 = Clock::now();
    drawing.figure = vekt::plots::generate_plot(drawing.plot_data.plots, o.plot, drawing.plot_data.roads, "id",
                                                std::nullopt, 190, 160);
    figure_ms.push_back(ms_since(t0));
  }
  const std::string page = vekt::brellow::fill_placeholders(
      drawing.html_content, vekt::brellow::document::deedplan_data(drawing, "ikeja", "lkn/9999", "bench", "c05"));
  run(io, vekt::brellow::pdf_pool().render(std::string(vekt::brellow::DEEDPLAN_CSS), page));  // worker start-up
  for (int i = 0; i < 5; ++i) {
    auto t0 = Clock::now();
    run(io, vekt::brellow::pdf_pool().render(std::string(vekt::brellow::DEEDPLAN_CSS), page));
    pdf_ms.push_back(ms_since(t0));
  }
  const double figure_alone = percentile(figure_ms, 0.5), pdf_alone = percentile(pdf_ms, 0.5);
  std::printf("plot %lld: %zu parcels in reach, scale 1:%lld, %zu schedule rows\n", static_cast<long long>(o.plot),
              drawing.plot_data.plots.size(), static_cast<long long>(drawing.figure.scale),
              drawing.figure.schedule.size());
  std::printf("alone: figure p50 %.0f ms, WeasyPrint p50 %.0f ms, sum %.0f ms\n", figure_alone, pdf_alone,
              figure_alone + pdf_alone);

  // --- deed plans end to end ------------------------------------------------------------------
  (void)deed_plans(o, 1, 2);  // the server's PDF workers start on first use
  std::printf("%8s %9s %9s %9s %8s | %8s %8s %8s %8s (mean ms)\n", "clients", "plans/s", "p50 ms", "p99 ms", "failed",
              "data", "figure", "pdf", "rest");
  double p50_one = 0;
  for (int clients : {1, 4, 16}) {
    LoadResult r = deed_plans(o, clients, o.seconds);
    const double n = static_cast<double>(std::max<std::size_t>(1, r.latency.size()));
    if (clients == 1) p50_one = percentile(r.latency, 0.5);
    std::printf("%8d %9.2f %9.0f %9.0f %8d | %8.0f %8.0f %8.0f %8.0f\n", clients,
                static_cast<double>(r.latency.size()) / r.seconds, percentile(r.latency, 0.5),
                percentile(r.latency, 0.99), r.failures, r.split_sum["data"] / n, r.split_sum["figure"] / n,
                r.split_sum["pdf"] / n, r.split_sum["rest"] / n);
  }
  std::printf("one client: end to end p50 / (figure alone + WeasyPrint alone) = %.2f (aim: at most 1.2)\n",
              p50_one / (figure_alone + pdf_alone));

  // --- tile hits with and without plans ---------------------------------------------------------
  (void)request(o.port, http::verb::get, o.tile, "", "10.8.0.1");  // cached from here on
  const double tiles_alone = percentile(tile_hits(o, o.seconds), 0.99);
  std::atomic<bool> done{false};
  std::thread load([&] {
    (void)deed_plans(o, 16, o.seconds + 1);
    done = true;
  });
  std::this_thread::sleep_for(500ms);
  const double tiles_busy = percentile(tile_hits(o, o.seconds), 0.99);
  load.join();
  std::printf("tile hit p99: %.2f ms alone, %.2f ms beside 16 plan clients, ratio %.2f (aim: at most 2)\n",
              tiles_alone, tiles_busy, tiles_busy / tiles_alone);
  return 0;
}
