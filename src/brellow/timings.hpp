#pragma once
// Where the time of one plan document went: reading the parcel and its neighbourhood, drawing the
// figure (time in line for a figure worker included), rendering the PDF (time in line for a PDF
// worker included). The rest (template, page, answer) is what the whole took beyond these.
#include <chrono>

namespace vekt::brellow {

struct DocumentTimings {
  std::chrono::steady_clock::duration data{};
  std::chrono::steady_clock::duration figure{};
  std::chrono::steady_clock::duration pdf{};
};

}  // namespace vekt::brellow
