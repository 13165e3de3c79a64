#include "brellow/errors.hpp"

#include <utility>

#include <fmt/format.h>

namespace vekt::brellow {

PlotNotFound::PlotNotFound(std::int64_t id) : Error(fmt::format("Plot {} not found", id)), plot_id(id) {}

ParcelHasNoGeometry::ParcelHasNoGeometry(std::int64_t id)
    : Error(fmt::format("Plot {} has no geometry", id)), plot_id(id) {}

ParcelHasNoBoundary::ParcelHasNoBoundary(std::int64_t id)
    : Error(fmt::format("Plot {} has no boundary beacons", id)), plot_id(id) {}

BoundaryDataError::BoundaryDataError(std::int64_t plot, std::int64_t leg, std::int64_t beacon)
    : Error(fmt::format("Plot {}: boundary leg {} names beacon {}, which does not exist", plot, leg, beacon)),
      plot_id(plot),
      leg_id(leg),
      beacon_id(beacon) {}

ReadTimeout::ReadTimeout(std::string r, std::chrono::milliseconds limit)
    : Error(fmt::format("the read of {} took longer than its time limit of {:g} s", r,
                        static_cast<double>(limit.count()) / 1000.0)),
      read(std::move(r)) {}

ClientGone::ClientGone(std::string s)
    : Error(fmt::format("the client had gone before its {}", s)), step(std::move(s)) {}

ImpossibleSurveyRecord::ImpossibleSurveyRecord(std::int64_t plot, std::string rec, std::string col,
                                               const std::string& why)
    : UndrawablePlan(fmt::format("Plot {}: {} {}: {}", plot, rec, col, why)),
      plot_id(plot),
      record(std::move(rec)),
      field(std::move(col)) {}

FrameMissesParcel::FrameMissesParcel(std::int64_t plot)
    : UndrawablePlan(fmt::format("Plot {}: the bounding box holds no part of the parcel", plot)), plot_id(plot) {}

TemplateError::TemplateError(std::filesystem::path p, const std::string& why)
    : Error(fmt::format("Template {}: {}", p.string(), why)), path(std::move(p)) {}

}  // namespace vekt::brellow
