#include "brellow/plan_request.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/numfmt.hpp"
#include "base/pyconv.hpp"
#include "host/utils.hpp"
#include "web/validation.hpp"

namespace vekt::brellow {

using web::Json;

namespace {

web::FieldError entry(Json loc, std::string msg, std::string type) {
  return {std::move(loc), std::move(msg), std::move(type)};
}

using FieldErrors = std::vector<web::FieldError>;

[[noreturn]] void refuse(Json loc, std::string msg, std::string type) {
  throw web::ValidationError({entry(std::move(loc), std::move(msg), std::move(type))});
}

// A box read from the body ("body", "bounding_box") or the query ("query", "bbox"); errors are
// appended to `errors`.
std::optional<plots::BoundingBox> read_box(const Json& value, const Json& loc, FieldErrors& errors) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_array()) {
    errors.push_back(entry(loc, "value is not a valid list", "type_error.list"));
    return std::nullopt;
  }
  if (value.size() != 4) {
    errors.push_back(entry(loc, "ensure this value has exactly 4 items: [minx, miny, maxx, maxy]",
                           value.size() < 4 ? "value_error.list.min_items" : "value_error.list.max_items"));
    return std::nullopt;
  }
  plots::BoundingBox box{};
  bool ok = true;
  for (std::size_t i = 0; i < 4; ++i) {
    const Json& v = value[i];
    if (!v.is_number()) {
      Json item_loc = loc;
      item_loc.push_back(i);
      errors.push_back(entry(std::move(item_loc), "value is not a valid float", "type_error.float"));
      ok = false;
      continue;
    }
    box[i] = v.get<double>();
  }
  if (!ok) return std::nullopt;
  if (auto fault = bounding_box_fault(box)) {
    errors.push_back(entry(loc, *fault, "value_error"));
    return std::nullopt;
  }
  return box;
}

// The parser's own tree builder, told where in the document each value stands, so a number too
// large for a double can be refused with its place ("body", "bounding_box", 2) rather than as a
// fault of ours.
class PlacedParser {
 public:
  using Dom = nlohmann::detail::json_sax_dom_parser<Json>;
  explicit PlacedParser(Json& out) : dom_(out) {}

  bool null() { return value(), dom_.null(); }
  bool boolean(bool v) { return value(), dom_.boolean(v); }
  bool number_integer(Json::number_integer_t v) { return value(), dom_.number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return value(), dom_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const Json::string_t& s) { return value(), dom_.number_float(v, s); }
  bool string(Json::string_t& v) { return value(), dom_.string(v); }
  bool binary(Json::binary_t& v) { return value(), dom_.binary(v); }
  bool start_object(std::size_t n) {
    value();
    frames_.push_back({false, 0, {}});
    return dom_.start_object(n);
  }
  bool key(Json::string_t& k) {
    frames_.back().key = k;
    return dom_.key(k);
  }
  bool end_object() {
    frames_.pop_back();
    return dom_.end_object();
  }
  bool start_array(std::size_t n) {
    value();
    frames_.push_back({true, 0, {}});
    return dom_.start_array(n);
  }
  bool end_array() {
    frames_.pop_back();
    return dom_.end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
    if constexpr (std::is_same_v<Exception, nlohmann::detail::out_of_range>) {
      // The value that failed is the next one: its array index has not been counted yet.
      Json loc = Json::array({"body"});
      for (std::size_t i = 0; i < frames_.size(); ++i) {
        if (!frames_[i].array)
          loc.push_back(frames_[i].key);
        else
          loc.push_back(frames_[i].items - (i + 1 == frames_.size() ? 0 : 1));
      }
      refuse(std::move(loc), "the number " + token + " is too large to be represented", "value_error.number.overflow");
    }
    return dom_.parse_error(position, token, ex);
  }

 private:
  struct Frame {
    bool array;
    std::size_t items;  // values begun so far in an array
    std::string key;    // the member being read in an object
  };
  void value() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().items;
  }
  Dom dom_;
  std::vector<Frame> frames_;
};

// Characters of UTF-8 text: every byte that does not continue a sequence.
std::size_t code_points(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::optional<std::string> bounding_box_fault(const plots::BoundingBox& b) {
  for (double v : b)
    if (!std::isfinite(v)) return "the bounding box must be four finite numbers [minx, miny, maxx, maxy]";
  const double minx = b[0], miny = b[1], maxx = b[2], maxy = b[3];
  if (!(minx < maxx) || !(miny < maxy)) return "the bounding box needs minx < maxx and miny < maxy";
  if (std::fabs(minx) <= 180 && std::fabs(miny) <= 90) {
    // Read as longitude and latitude: the other corner must be one too, on the part of the globe
    // that Web Mercator can show.
    constexpr double MAX_LATITUDE = 85.0511287798066;
    if (maxx > 180 || std::fabs(miny) > MAX_LATITUDE || std::fabs(maxy) > MAX_LATITUDE)
      return "a bounding box in degrees needs longitudes within ±180 and latitudes within ±85.05";
    if (maxx - minx > MAX_BOX_DEGREES || maxy - miny > MAX_BOX_DEGREES)
      return fmt::format("the bounding box spans more than {} degrees; a plan shows a smaller area",
                         base::py_float_str(MAX_BOX_DEGREES));
    return std::nullopt;
  }
  const double lim = host::WEB_MERCATOR_HALF_EXTENT;
  for (double v : b)
    if (std::fabs(v) > lim) return "a bounding box in metres must lie within the EPSG:3857 plane";
  if (maxx - minx > MAX_BOX_METRES || maxy - miny > MAX_BOX_METRES)
    return fmt::format("the bounding box spans more than {} metres; a plan shows a smaller area",
                       static_cast<long long>(MAX_BOX_METRES));
  return std::nullopt;
}

DeedPlanParticulars parse_deed_plan_body(std::string_view body) {
  auto not_json = [](std::size_t byte) {
    refuse(Json::array({"body"}), fmt::format("the body is not valid JSON (at byte {})", byte), "value_error.jsondecode");
  };
  Json doc;
  try {
    PlacedParser parser(doc);
    Json::sax_parse(body, &parser);
  } catch (const Json::parse_error& e) {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos)
      refuse(Json::array({"body"}), "field required", "value_error.missing");
    not_json(e.byte);
  }
  // The parser takes a NUL byte for the end of its input: one after the value would hide what
  // follows it, which is trailing data like any other (a NUL inside the value fails above).
  if (const std::size_t nul = body.find('\0'); nul != std::string_view::npos) not_json(nul + 1);
  if (!doc.is_object()) refuse(Json::array({"body"}), "value is not a valid dict", "type_error.dict");

  FieldErrors errors;
  DeedPlanParticulars p;
  auto text = [&](const char* name, std::string& out, std::size_t limit) {
    auto it = doc.find(name);
    if (it == doc.end() || it->is_null()) {
      errors.push_back(entry(Json::array({"body", name}), "field required", "value_error.missing"));
    } else if (!it->is_string()) {
      errors.push_back(entry(Json::array({"body", name}), "str type expected", "type_error.str"));
    } else if (code_points(it->get_ref<const std::string&>()) > limit) {
      errors.push_back(entry(Json::array({"body", name}), fmt::format("ensure this value has at most {} characters", limit),
                             "value_error.any_str.max_length"));
    } else {
      out = it->get<std::string>();
    }
  };
  text("district", p.district, MAX_DISTRICT_CHARS);
  text("cadzone", p.cadzone, MAX_CADZONE_CHARS);
  text("file_no", p.file_no, MAX_FILE_NO_CHARS);
  text("person_name", p.person_name, MAX_PERSON_NAME_CHARS);
  if (auto it = doc.find("bounding_box"); it != doc.end())
    p.bounding_box = read_box(*it, Json::array({"body", "bounding_box"}), errors);
  if (!errors.empty()) throw web::ValidationError(std::move(errors));
  return p;
}

std::optional<plots::BoundingBox> parse_bbox_query(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const Json loc = Json::array({"query", "bbox"});
  Json values = Json::array();
  std::string_view rest = *text;
  for (;;) {
    auto comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    auto v = base::py_float(item);
    if (!v) refuse(loc, "bbox must be four numbers: minx,miny,maxx,maxy", "type_error.float");
    values.push_back(*v);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  // A NaN or an infinity stays a number here, so the box check names it.
  plots::BoundingBox box{};
  if (values.size() != 4) refuse(loc, "bbox must be four numbers: minx,miny,maxx,maxy", "value_error");
  for (std::size_t i = 0; i < 4; ++i) box[i] = values[i].get<double>();
  if (auto fault = bounding_box_fault(box)) refuse(loc, *fault, "value_error");
  return box;
}

std::int64_t plot_id_of(const web::Request& request) {
  const web::IntValue& v = request.integer("plot_id");
  if (v.huge()) {
    if (v.text.starts_with("-"))
      refuse(Json::array({"path", "plot_id"}),
             fmt::format("ensure this value is greater than or equal to {}", std::numeric_limits<std::int64_t>::min()),
             "value_error.number.not_ge");
    refuse(Json::array({"path", "plot_id"}),
           fmt::format("ensure this value is less than or equal to {}", std::numeric_limits<std::int64_t>::max()),
           "value_error.number.not_le");
  }
  return *v.value;
}

}  // namespace vekt::brellow
