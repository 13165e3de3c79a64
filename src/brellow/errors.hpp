#pragma once
// What can go wrong while a plan document is made. Each error carries the ids it is about, so the
// routes can answer a client's request for a parcel that cannot be drawn apart from a fault of
// our own, and the log can name the record to mend.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/error.hpp"

namespace vekt::brellow {

class Error : public base::Error {
 public:
  using base::Error::Error;
};

// The parcel does not exist (or no longer does: deleted while its document was being read).
class PlotNotFound : public Error {
 public:
  explicit PlotNotFound(std::int64_t plot_id);
  std::int64_t plot_id;
};

// The parcel exists but has no outline (NULL or empty geometry): it cannot be drawn.
class ParcelHasNoGeometry : public Error {
 public:
  explicit ParcelHasNoGeometry(std::int64_t plot_id);
  std::int64_t plot_id;
};

// The parcel has no boundary legs, so it has no beacons to print.
class ParcelHasNoBoundary : public Error {
 public:
  explicit ParcelHasNoBoundary(std::int64_t plot_id);
  std::int64_t plot_id;
};

// A boundary leg names a beacon that does not exist: the survey record is broken.
class BoundaryDataError : public Error {
 public:
  BoundaryDataError(std::int64_t plot_id, std::int64_t leg_id, std::int64_t beacon_id);
  std::int64_t plot_id;
  std::int64_t leg_id;
  std::int64_t beacon_id;
};

// A statement of a plan read did not finish within its time limit (a table locked by a long
// update, an overloaded database). `read` names the table it read.
class ReadTimeout : public Error {
 public:
  ReadTimeout(std::string read, std::chrono::milliseconds limit);
  std::string read;
};

// The client hung up before its figure was drawn or its PDF rendered; nothing more is made for it.
class ClientGone : public Error {
 public:
  explicit ClientGone(std::string step);
  std::string step;  // what was not finished: "figure was drawn", "PDF was rendered"
};

// A parcel that no plan may be drawn of as asked: the client's request or the parcel's survey
// record makes a plan that would show nothing true. Answered 422 with the message.
class UndrawablePlan : public Error {
 public:
  using Error::Error;
};

// A survey record of the parcel holds a value no plan may print: a leg length that is not a
// finite number of metres (0 or more), a bearing outside 0°00' to 359°59', a negative area, a
// boundary beacon without its point or number, an origin beacon without its coordinates, or legs
// that close no ring. `record` names the row ("leg 12", "beacon 40", "plot 7"), `field` its column.
class ImpossibleSurveyRecord : public UndrawablePlan {
 public:
  ImpossibleSurveyRecord(std::int64_t plot_id, std::string record, std::string field, const std::string& why);
  std::int64_t plot_id;
  std::string record;
  std::string field;
};

// The bounding box asked for holds no part of the parcel: the plan would be an empty map.
class FrameMissesParcel : public UndrawablePlan {
 public:
  explicit FrameMissesParcel(std::int64_t plot_id);
  std::int64_t plot_id;
};

// A page template is missing, unreadable or not UTF-8.
class TemplateError : public Error {
 public:
  TemplateError(std::filesystem::path path, const std::string& why);
  std::filesystem::path path;
};

}  // namespace vekt::brellow
