#include "geo/proj.hpp"

#include <proj.h>

#include <cmath>

#include <fmt/format.h>

#include "base/numfmt.hpp"

namespace vekt::geo {
namespace {

// One PROJ context per thread. PROJ's own log output is captured rather than printed, so that a
// failure can carry its reason.
struct Context {
  PJ_CONTEXT* c = nullptr;
  std::string last_log;

  Context() {
    c = proj_context_create();
    if (c == nullptr) throw ProjError("cannot create a PROJ context");
    proj_log_func(c, this, [](void* self, int, const char* msg) {
      static_cast<Context*>(self)->last_log = msg ? msg : "";
    });
  }
  ~Context() { proj_context_destroy(c); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};

Context& ctx() {
  thread_local Context c;
  return c;
}

[[noreturn]] void fail(const std::string& what) {
  auto& c = ctx();
  const int err = proj_context_errno(c.c);
  std::string reason;
  if (err != 0) reason = proj_context_errno_string(c.c, err);
  if (reason.empty()) reason = c.last_log;
  c.last_log.clear();
  throw ProjError(reason.empty() ? what : what + ": " + reason);
}

}  // namespace

void detail::PjDeleter::operator()(PJ* p) const noexcept { proj_destroy(p); }

Crs Crs::from_user_input(std::string_view text) {
  const std::string s(text);
  PJ* p = proj_create(ctx().c, s.c_str());
  if (p == nullptr) fail("cannot build the coordinate reference system " + s);
  if (!proj_is_crs(p)) {
    proj_destroy(p);
    throw ProjError(s + " is not a coordinate reference system");
  }
  return Crs(p);
}

std::string Crs::name() const {
  const char* n = proj_get_name(pj_.get());
  return n ? n : "";
}

bool Crs::equivalent_to(const Crs& other) const {
  return proj_is_equivalent_to_with_ctx(ctx().c, pj_.get(), other.pj_.get(), PJ_COMP_EQUIVALENT) != 0;
}

Transformer Transformer::from_crs(const Crs& src, const Crs& dst, bool always_xy) {
  PJ* p = proj_create_crs_to_crs_from_pj(ctx().c, src.raw(), dst.raw(), nullptr, nullptr);
  if (p == nullptr) fail("cannot build a transformation from " + src.name() + " to " + dst.name());
  if (always_xy) {
    PJ* n = proj_normalize_for_visualization(ctx().c, p);
    proj_destroy(p);
    if (n == nullptr) fail("cannot normalise the axis order of a transformation");
    p = n;
  }
  return Transformer(p);
}

XY Transformer::transform(double x, double y) const {
  proj_errno_reset(pj_.get());
  const PJ_COORD out = proj_trans(pj_.get(), PJ_FWD, proj_coord(x, y, 0, 0));
  if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y)) {
    const int err = proj_errno(pj_.get());
    std::string reason = err ? proj_context_errno_string(ctx().c, err) : "result is not finite";
    proj_errno_reset(pj_.get());
    throw ProjError(fmt::format("cannot transform the point ({}, {}): {}", base::py_float_str(x),
                                base::py_float_str(y), reason));
  }
  return {out.xy.x, out.xy.y};
}

Geometry Transformer::transform(GeometryRef g) const {
  return g.transform_xy([this](double x, double y) { return transform(x, y); });
}

}  // namespace vekt::geo
