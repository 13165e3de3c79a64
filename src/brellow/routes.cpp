// The plan routes under "/plans": the deed plan (POST, the particulars in a JSON body, so a
// person's name never stands in a URL or an access log) and the site plan (GET). Each handler
// checks its caller, parses the request, takes a place in the document queue and calls the
// generator; what can go wrong becomes an answer in one place, answer_failure(). No answer of
// these routes may be stored by a cache.
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
#include "brellow/plan_request.hpp"
#include "brellow/service.hpp"
#include "brellow/timings.hpp"
#include "host/access.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "host/responses.hpp"
#include "pdf/pool.hpp"
#include "pg/error.hpp"
#include "web/router.hpp"
#include "web/validation.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;
using web::HttpError;
using web::Json;
using web::Request;
using web::Response;

namespace {

// Seconds a client turned away for a full queue is asked to wait: about one document's time.
constexpr int RETRY_AFTER_SECONDS = 5;

// Plans carry a person's name and are made for one caller: no cache may keep one, nor an error,
// whoever answers under "/plans" (the routes, the router's 404 and 405, the server's 413).
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

// A database fault as the client sees it: a database that cannot be reached, refuses the
// connection or has none free is a moment's outage (503, try again), one that did not answer in
// time is a time-out (504); both are logged with the database's own words. A statement the server
// refused, or a result read wrongly, is our own fault (500).
Response database_failure(const pg::Error& e, const Request& request) {
  if (e.timed_out()) {
    log()->error("Plan document {} {} failed: the database did not answer in time: {}", request.method, request.path,
                 e.what());
    return detail(504, "The database did not answer in time. Please try again shortly.");
  }
  if (e.unavailable() && !e.misused()) {
    log()->error("Plan document {} {} failed: the database is not available: {}", request.method, request.path,
                 e.what());
    return retry_later(detail(503, "The database is not available. Please try again shortly."));
  }
  log()->error("Plan document {} {} failed: {}", request.method, request.path, e.what());
  return detail(500, "Internal server error");
}

// Every failure of a plan request as the client sees it. Only a fault of our own is a 500, and
// that one is logged with its cause.
Response answer_failure(std::exception_ptr failure, const Request& request) {
  try {
    std::rethrow_exception(failure);
  } catch (const web::ValidationError& e) {
    return web::validation_response(e.errors());
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
  } catch (const base::OutOfResources& e) {
    log()->error("Plan document {} {} failed: {}", request.method, request.path, e.what());
    return web::error_response(web::busy_error());
  } catch (const pg::Error& e) {
    return database_failure(e, request);
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

using PlanHandler = asio::awaitable<Response> (*)(PlanServices&, Request&, pg::Session&);

// A plan carries the state's title block and a person's name: it is issued only to the bearer of
// the plan token, or with no token set to clients on this machine, as cache invalidation is.
void check_plan_caller(const PlanServices& services, const Request& request) {
  host::check_caller(request, services.plan_token, "Plan documents are issued to clients on this machine only");
}

// A plan handler with its session, its failures answered by answer_failure(). Its caller was
// checked (the router's guard) before the request was read.
web::Handler plan_handler(PlanServices& services, PlanHandler handler) {
  return host::with_db([&services, handler](Request& request, pg::Session& db) -> asio::awaitable<Response> {
    std::exception_ptr failure;
    try {
      co_return co_await handler(services, request, db);
    } catch (...) {
      failure = std::current_exception();
    }
    co_return answer_failure(failure, request);
  });
}

// The generator of one request: its timings recorded, its reads under the services' limit, and
// its figure and PDF dropped once the client has gone. The check holds the connection's link
// itself, so it stays safe to ask on a worker after the request has ended.
void prepare(PlanImageGenerator& generator, const PlanServices& services, const Request& request,
             DocumentTimings& timings) {
  generator.record_timings(&timings);
  generator.set_statement_timeout(services.statement_timeout());
  if (request.link) generator.watch_client([link = request.link] { return link->gone(); });
}

// What a handler asks of the generator once its request is read: the document in its envelope,
// or nullopt for an unknown parcel.
using MakeDocument = std::function<asio::awaitable<std::optional<host::ApiResponse>>(PlanImageGenerator&)>;

// The steps both documents share once the request is read: a place in the document queue for
// the whole document, the generator, the document itself (404 for an unknown parcel) and the
// "Server-Timing" of the time since `started`.
asio::awaitable<Response> answer_document(PlanServices& services, const Request& request, pg::Session& db,
                                          std::int64_t plot_id, std::chrono::steady_clock::time_point started,
                                          MakeDocument make) {
  DocumentQueue::Place place = services.queue.enter();
  PlanImageGenerator generator(db, &services);
  DocumentTimings timings;
  prepare(generator, services, request, timings);
  std::optional<host::ApiResponse> envelope = co_await make(generator);
  if (!envelope) throw PlotNotFound(plot_id);
  Response r = host::api_router_response(*envelope);
  r.headers.set("Server-Timing", server_timing(timings, std::chrono::steady_clock::now() - started));
  co_return r;
}

asio::awaitable<Response> deed_plan(PlanServices& services, Request& request, pg::Session& db) {
  const auto started = std::chrono::steady_clock::now();
  const std::int64_t plot_id = plot_id_of(request);
  DeedPlanParticulars p = parse_deed_plan_body(request.body);
  MakeDocument make = [&p, plot_id](PlanImageGenerator& generator) -> asio::awaitable<std::optional<host::ApiResponse>> {
    std::optional<std::string> pdf = co_await generator.generate_deedplan_html(
        plot_id, std::move(p.district), std::move(p.file_no), std::move(p.person_name), std::move(p.cadzone),
        p.bounding_box);
    if (!pdf) co_return std::nullopt;
    co_return host::api_response({.file = std::move(*pdf), .filename = fmt::format("DeedPlan_{}.pdf", plot_id)});
  };
  co_return co_await answer_document(services, request, db, plot_id, started, std::move(make));
}

asio::awaitable<Response> site_plan(PlanServices& services, Request& request, pg::Session& db) {
  const auto started = std::chrono::steady_clock::now();
  const std::int64_t plot_id = plot_id_of(request);
  std::optional<plots::BoundingBox> bbox =
      parse_bbox_query(request.has("bbox") ? std::optional<std::string>(request.str("bbox")) : std::nullopt);
  MakeDocument make = [bbox, plot_id](PlanImageGenerator& generator) {
    return generator.generate_siteplan_html(plot_id, bbox);
  };
  co_return co_await answer_document(services, request, db, plot_id, started, std::move(make));
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

// Every status a plan route gives besides 200 and 422, as /openapi.json publishes it; the API
// page's tables are checked against these.
std::vector<web::RouteAnswer> plan_answers(bool json_body) {
  std::vector<web::RouteAnswer> answers = {
      {400, "More than one Authorization header"},
      {401, "A plan token is set and the request does not carry it"},
      {403, "No plan token is set and the request does not come from this machine"},
      {404, "No parcel of that id"},
      {500, "A fault of the server's own"},
      {503, "Too many documents in hand, no PDF worker available, or the database not available; "
            "try again after Retry-After"},
      {504, "A database read, the figure, the PDF or the wait for a PDF worker passed its time limit"}};
  if (json_body) answers.push_back({415, "The body is not JSON (Content-Type application/json or a +json type)"});
  return answers;
}

}  // namespace

web::Router make_router(PlanServices& services) {
  web::Router r("/plans", {"Plan documents"});
  r.answer_with(NO_STORE);
  r.guard_with([&services](const Request& request) { check_plan_caller(services, request); });
  r.add({.method = "POST",
         .path = "/{plot_id}/deed-plan",
         .name = "generate_deed_plan",
         .doc = "The deed plan of a parcel as an A4 PDF (DeedPlan_<id>.pdf), with the district, cadastral zone, "
                "file number and person's name given in the JSON body.",
         .params = {web::path_param("plot_id", web::ParamType::integer)},
         .handler = plan_handler(services, &deed_plan),
         .json_response = false,
         .request_body = deed_plan_body_schema(),
         .json_body = true,
         .answers = plan_answers(true)});
  r.add({.method = "GET",
         .path = "/{plot_id}/site-plan",
         .name = "generate_site_plan",
         .doc = "The site plan of a parcel as an A4 PDF (SitePlan_<id>.pdf).",
         .params = {web::path_param("plot_id", web::ParamType::integer),
                    web::query_param("bbox", web::ParamType::string, Json(nullptr),
                                     "Map window minx,miny,maxx,maxy in degrees or EPSG:3857 metres; "
                                     "absent: framed on the parcel")},
         .handler = plan_handler(services, &site_plan),
         .json_response = false,
         .answers = plan_answers(false)});
  return r;
}

}  // namespace vekt::brellow
