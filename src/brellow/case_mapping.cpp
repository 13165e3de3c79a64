#include "brellow/case_mapping.hpp"

#include <memory>
#include <stdexcept>

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>


namespace vekt::brellow {

namespace {

struct CaseMapFree {
  void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

// The root locale's mapping: no language's special rules (Turkish dotted i and the like).
UCaseMap* root_case_map() {
  thread_local std::unique_ptr<UCaseMap, CaseMapFree> map = [] {
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, CaseMapFree> m(ucasemap_open("", 0, &err));
    if (U_FAILURE(err)) throw std::runtime_error(std::string("ICU case map: ") + u_errorName(err));
    return m;
  }();
  return map.get();
}

}  // namespace

std::string upper_case(std::string_view text) {
  if (text.empty()) return {};
  UCaseMap* map = root_case_map();
  // Upper case can grow a text (ß to SS, ŉ to ʼN): try a little more room, then exactly enough.
  std::string out(text.size() + text.size() / 2 + 8, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode err = U_ZERO_ERROR;
    const int32_t n = ucasemap_utf8ToUpper(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                           static_cast<int32_t>(text.size()), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(n), '\0');
      continue;
    }
    if (U_FAILURE(err)) throw std::runtime_error(std::string("ICU upper case: ") + u_errorName(err));
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  throw std::runtime_error("ICU upper case: the text kept growing");
}

}  // namespace vekt::brellow
