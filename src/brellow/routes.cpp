// The plan routes under "/plans": the deed plan (POST, the particulars in a JSON body, so a
// person's name never stands in a URL or an access log) and the site plan (GET). Each handler
// checks its caller, parses the request, takes a place in the document queue and calls the
// generator; what can go wrong becomes an answer in one place, answer_failure(). No answer of
// these routes may be stored by a cache.
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brellow/errors.hpp"
#include "brellow/figure_workers.hpp"
#include "brellow/generator.hpp"
#include "brellow/plan_request.hpp"
#include "brellow/service.hpp"
#include "brellow/timings.hpp"
#include "host/access.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "host/responses.hpp"
#include "pdf/pool.hpp"
#include "web/router.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;
using web::HttpError;
using web::Json;
using web::Request;
using web::Response;

namespace {

// Seconds a client turned away for a full queue is asked to wait: about one document's time.
constexpr int RETRY_AFTER_SECONDS = 5;

// Plans carry a person's name and are made for one caller: no cache may keep one, nor an error.
const std::vector<std::pair<std::string, std::string>> NO_STORE = {{"Cache-Control", "no-store"}};

const std::shared_ptr<spdlog::logger>& log() {
  static const std::shared_ptr<spdlog::logger> logger = host::get_logger("vekt.plans");
  return logger;
}

Response detail(unsigned status, const std::string& text) {
  return web::error_response(HttpError(status, text));
}

Response retry_later(Response r) {
  r.headers.set("Retry-After", std::to_string(RETRY_AFTER_SECONDS));
  return r;
}

// Every failure of a plan request as the client sees it. Only a fault of our own is a 500, and
// that one is logged with its cause.
Response answer_failure(std::exception_ptr failure, const Request& request) {
  try {
    std::rethrow_exception(failure);
  } catch (const InvalidPlanRequest& e) {
    Json body = Json::object();
    body["detail"] = e.errors;
    return web::json_response(422, body);
  } catch (const PlotNotFound& e) {
    return detail(404, e.what());
  } catch (const ParcelHasNoGeometry& e) {
    return detail(422, e.what());
  } catch (const ParcelHasNoBoundary& e) {
    return detail(422, e.what());
  } catch (const UndrawablePlan& e) {
    return detail(422, e.what());
  } catch (const QueueFull&) {
    return retry_later(detail(503, "Too many plan documents in progress. Please try again shortly."));
  } catch (const ClientGone& e) {
    // Nobody reads this answer; the place in the queue is already free again.
    log()->info("Plan document {} {}: {}; dropped", request.method, request.path, e.what());
    return detail(503, "The client closed the connection");
  } catch (const ReadTimeout& e) {
    log()->error("Plan document {} {} failed: {}", request.method, request.path, e.what());
    return detail(504, "Reading the parcel's records took longer than its time limit. Please try again shortly.");
  } catch (const pdf::WorkerUnavailable& e) {
    log()->error("Plan document {} {} failed: {}", request.method, request.path, e.what());
    return retry_later(detail(503, "The PDF renderer is not available. Please try again shortly."));
  } catch (const pdf::RenderTimeout&) {
    log()->error("Plan document {} {}: the PDF took longer than its time limit", request.method, request.path);
    return detail(504, "Rendering the plan took longer than its time limit");
  } catch (const FigureTimeout& e) {
    log()->error("Plan document {} {}: {}", request.method, request.path, e.what());
    return detail(504, "Rendering the plan took longer than its time limit");
  } catch (const HttpError& e) {
    return web::error_response(e);
  } catch (const std::exception& e) {
    log()->error("Plan document {} {} failed: {}", request.method, request.path, e.what());
  } catch (...) {
    log()->error("Plan document {} {} failed: unknown exception", request.method, request.path);
  }
  return detail(500, "Internal server error");
}

// "Server-Timing" of a document: where its time went, in milliseconds.
std::string server_timing(const DocumentTimings& t, std::chrono::steady_clock::duration total) {
  using ms = std::chrono::duration<double, std::milli>;
  const auto rest = total - t.data - t.figure - t.pdf;
  return fmt::format("data;dur={:.1f}, figure;dur={:.1f}, pdf;dur={:.1f}, rest;dur={:.1f}", ms(t.data).count(),
                     ms(t.figure).count(), ms(t.pdf).count(), ms(rest).count());
}

using PlanHandler = asio::awaitable<Response> (*)(Request&, pg::Session&);

// A plan carries the state's title block and a person's name: it is issued only to the bearer of
// the plan token, or with no token set to clients on this machine, as cache invalidation is.
void check_plan_caller(const Request& request) {
  host::check_caller(request, plan_token(), "Plan documents are issued to clients on this machine only");
}

// A plan handler with its session, its failures answered by answer_failure(). The caller is
// checked first: the session opens no connection before its first statement.
web::Handler plan_handler(PlanHandler handler) {
  return host::with_db([handler](Request& request, pg::Session& db) -> asio::awaitable<Response> {
    std::exception_ptr failure;
    try {
      check_plan_caller(request);
      co_return co_await handler(request, db);
    } catch (...) {
      failure = std::current_exception();
    }
    co_return answer_failure(failure, request);
  });
}

// The generator of one request: its timings recorded, its reads under the module's limit, and
// its figure and PDF dropped once the client has gone. The check holds the connection's link
// itself, so it stays safe to ask on a worker after the request has ended.
void prepare(PlanImageGenerator& generator, const Request& request, DocumentTimings& timings) {
  generator.record_timings(&timings);
  generator.set_statement_timeout(statement_timeout());
  if (request.link) generator.watch_client([link = request.link] { return link->gone(); });
}

asio::awaitable<Response> deed_plan(Request& request, pg::Session& db) {
  const auto started = std::chrono::steady_clock::now();
  const std::int64_t plot_id = plot_id_of(request);
  DeedPlanParticulars p = parse_deed_plan_body(request.body);
  DocumentQueue::Place place = document_queue().enter();
  PlanImageGenerator generator(db);
  DocumentTimings timings;
  prepare(generator, request, timings);
  std::optional<std::string> pdf = co_await generator.generate_deedplan_html(
      plot_id, std::move(p.district), std::move(p.file_no), std::move(p.person_name), std::move(p.cadzone),
      p.bounding_box);
  if (!pdf) throw PlotNotFound(plot_id);
  Response r = host::api_router_response(
      host::api_response({.file = std::move(*pdf), .filename = fmt::format("DeedPlan_{}.pdf", plot_id)}));
  r.headers.set("Server-Timing", server_timing(timings, std::chrono::steady_clock::now() - started));
  co_return r;
}

asio::awaitable<Response> site_plan(Request& request, pg::Session& db) {
  const auto started = std::chrono::steady_clock::now();
  const std::int64_t plot_id = plot_id_of(request);
  std::optional<plots::BoundingBox> bbox =
      parse_bbox_query(request.has("bbox") ? std::optional<std::string>(request.str("bbox")) : std::nullopt);
  DocumentQueue::Place place = document_queue().enter();
  PlanImageGenerator generator(db);
  DocumentTimings timings;
  prepare(generator, request, timings);
  std::optional<host::ApiResponse> envelope = co_await generator.generate_siteplan_html(plot_id, bbox);
  if (!envelope) throw PlotNotFound(plot_id);
  Response r = host::api_router_response(*envelope);
  r.headers.set("Server-Timing", server_timing(timings, std::chrono::steady_clock::now() - started));
  co_return r;
}

Json deed_plan_body_schema() {
  return Json::parse(R"({
    "required": true,
    "content": {"application/json": {"schema": {
      "title": "DeedPlanRequest", "type": "object",
      "required": ["district", "cadzone", "file_no", "person_name"],
      "properties": {
        "district": {"title": "District", "type": "string"},
        "cadzone": {"title": "Cadzone", "type": "string"},
        "file_no": {"title": "File No", "type": "string"},
        "person_name": {"title": "Person Name", "type": "string"},
        "bounding_box": {"title": "Bounding Box", "type": "array", "nullable": true,
          "items": {"type": "number"}, "minItems": 4, "maxItems": 4,
          "description": "[minx, miny, maxx, maxy] in degrees or EPSG:3857 metres; null: framed on the parcel"}}}}}})");
}

}  // namespace

web::Router make_router() {
  web::Router r("/plans", {"Plan documents"});

  web::Route deed;
  deed.method = "POST";
  deed.path = "/{plot_id}/deed-plan";
  deed.name = "generate_deed_plan";
  deed.doc =
      "The deed plan of a parcel as an A4 PDF (DeedPlan_<id>.pdf), with the district, cadastral zone, "
      "file number and person's name given in the JSON body.";
  deed.params = {web::path_param("plot_id", web::ParamType::integer)};
  deed.handler = plan_handler(&deed_plan);
  deed.json_response = false;
  deed.request_body = deed_plan_body_schema();
  deed.answer_headers = NO_STORE;
  r.add(std::move(deed));

  web::Route site;
  site.method = "GET";
  site.path = "/{plot_id}/site-plan";
  site.name = "generate_site_plan";
  site.doc = "The site plan of a parcel as an A4 PDF (SitePlan_<id>.pdf).";
  site.params = {web::path_param("plot_id", web::ParamType::integer),
                 web::query_param("bbox", web::ParamType::string, Json(nullptr),
                                  "Map window minx,miny,maxx,maxy in degrees or EPSG:3857 metres; "
                                  "absent: framed on the parcel")};
  site.handler = plan_handler(&site_plan);
  site.json_response = false;
  site.answer_headers = NO_STORE;
  r.add(std::move(site));
  return r;
}

}  // namespace vekt::brellow
