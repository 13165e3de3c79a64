// Both plan documents rendered to PDF through the worker pool, read back with poppler's tools.
// The PDFs and pictures of their pages stay under <build>/test-output/plan-pages for a person to
// look at.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/base64.hpp"
#include "brellow/page.hpp"
#include "brellow/sheet_style.hpp"
#include "pdf/pool.hpp"
#include "support/command.hpp"
#include "support/run.hpp"

namespace {

using namespace vekt;
using brellow::Placeholder;
namespace fs = std::filesystem;

const fs::path SOURCE = VEKT_SOURCE_DIR;
const fs::path OUT = fs::path(VEKT_BINARY_DIR) / "test-output" / "plan-pages";

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a poppler tool and returns what it printed; the test fails if it did not exit with 0.
std::string tool(const std::string& command) {
  const vekt::testing::CommandResult r = vekt::testing::run_command(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.output;
  return r.output;
}

// The page text with every run of blanks and line ends as one blank.
std::string words(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
    if (!blank)
      out += c;
    else if (!out.empty() && out.back() != ' ')
      out += ' ';
  }
  return out;
}

// The page's words as laid out (table rows stay on one line) followed by the words in reading
// order (a value that wraps in its box stays whole).
std::string page_text(const std::filesystem::path& pdf) {
  return words(tool("pdftotext -layout " + pdf.string() + " -")) + " || " + words(tool("pdftotext " + pdf.string() + " -"));
}

// The number after `name="` in the tag that holds the word `word` (pdftotext -bbox output).
double bbox_of(const std::string& bbox, const std::string& word, const std::string& name) {
  const auto at = bbox.find(">" + word + "<");
  if (at == std::string::npos) return -1;
  const auto tag = bbox.rfind("<word", at);
  const auto attr = bbox.find(name + "=\"", tag);
  if (tag == std::string::npos || attr == std::string::npos || attr > at) return -1;
  return std::stod(bbox.substr(attr + name.size() + 2));
}

std::vector<plots::ScheduleItem> short_legs(int n) {
  std::vector<plots::ScheduleItem> legs;
  for (int i = 1; i <= n; ++i)
    legs.push_back({"PB" + std::to_string(i), "PB" + std::to_string(i + 1), "225° 07'", "4.24"});
  return legs;
}

// The sheets' geometry as the layout writes it for a first sheet of ordinary texts.
std::string sheet_style(const brellow::sheets::geometry::Particulars& particulars) {
  return brellow::sheets::sheet_style(particulars, brellow::sheets::Layout{});
}

struct DeedValues {
  std::string parcel_number = "PLOT 12A";
  std::string district = "IKEJA";
  std::string cadzone = "C05";
  std::string file_no = "LKN/9999";
  std::string person_name = "ADÉ BÍSÍ";
  std::string tracing_no = "TP/55/2019";
  std::string beacon_number = "PB1";
  std::string surveyed_by = "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE";
  std::string address = "12A OBA AKRAN STRASSE";
  std::vector<plots::ScheduleItem> schedule = {{"PB4", "PB5", "225° 07'", "4.24"}};
};

class PlanPages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::create_directories(OUT);
    pdf::PoolConfig config;
    config.workers = 2;
    pool_ = new pdf::Pool(config);
    figure_ = base::base64_encode(slurp(SOURCE / "tests/data/plan_figure.png"));
  }
  static void TearDownTestSuite() {
    delete pool_;
    pool_ = nullptr;
  }

  static std::string read(const std::string& relative) {
    return vekt::testing::run([&] { return brellow::read_template(SOURCE, relative); });
  }

  static std::string image() {
    EXPECT_TRUE(brellow::is_base64_text(figure_));
    return figure_;
  }

  static std::string deed_page(const DeedValues& v, const std::string& page = read("templates/deedplan.html")) {
    return brellow::fill_placeholders(page, {{"{{parcel_number}}", v.parcel_number},
                                             {"{{image}}", image(), true},
                                             {"{{width}}", "190"},
                                             {"{{height}}", "160"},
                                             {"{{district}}", v.district},
                                             {"{{cadzone}}", v.cadzone},
                                             {"{{file_no}}", v.file_no},
                                             {"{{person_name}}", v.person_name},
                                             {"{{date}}", "(10 December 2026)", true},
                                             {"{{tracing_no}}", v.tracing_no},
                                             {"{{beacon_number}}", v.beacon_number},
                                             {"{{beacon_longitude}}", "345678.124"},
                                             {"{{beacon_latitude}}", "7.000"},
                                             {"{{surveyed_by}}", v.surveyed_by},
                                             {"{{scale}}", "500"},
                                             {"{{address}}", v.address},
                                             {"{{surveyor_general}}", "SURV. DALMO RENFIK .K.Mnis"},
                                             {"{{schedule_table}}", brellow::schedule_table_html(v.schedule), true},
                                             {"{{schedule_note}}", "", true},
                                             {"{{sheet_number}}", "1"},
                                             {"{{sheet_count}}", "1"},
                                             {"{{continuation_sheets}}", "", true},
                                             {"{{sheet_style}}", sheet_style(brellow::sheets::geometry::DEED_PARTICULARS), true}});
  }

  static std::string site_page(const std::vector<plots::ScheduleItem>& schedule) {
    return brellow::fill_placeholders(read("templates/siteplan.html"),
                                      {{"{{file_no}}", "LKN/1234"},
                                       {"{{image}}", image(), true},
                                       {"{{width}}", "190"},
                                       {"{{height}}", "160"},
                                       {"{{scale}}", "500"},
                                       {"{{parcel_number}}", "PLOT 12A"},
                                       {"{{date}}", "(10 December 2026)", true},
                                       {"{{beacon_number}}", "PB1"},
                                       {"{{beacon_longitude}}", "345678.124"},
                                       {"{{beacon_latitude}}", "7.000"},
                                       {"{{surveyor_general}}", "SURV. DALMO RENFIK .K.Mnis"},
                                       {"{{surveyed_by}}", "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE"},
                                       {"{{schedule_table}}", brellow::schedule_table_html(schedule), true},
                                       {"{{schedule_note}}", "", true},
                                       {"{{sheet_number}}", "1"},
                                       {"{{sheet_count}}", "1"},
                                       {"{{continuation_sheets}}", "", true},
                                       {"{{sheet_style}}", sheet_style(brellow::sheets::geometry::SITE_PARTICULARS), true}});
  }

  // Renders the page, keeps the PDF and a 100 dpi picture of its page under OUT, and returns the
  // PDF's path.
  static fs::path render(const std::string& name, std::string css, std::string html) {
    const std::string pdf = vekt::testing::run([&] { return pool_->render(css, html); });
    const fs::path path = OUT / (name + ".pdf");
    std::ofstream(path, std::ios::binary) << pdf;
    tool("pdftoppm -r 100 -png " + path.string() + " " + (OUT / name).string());
    return path;
  }

  static void expect_one_a4_page_with_the_figure(const fs::path& pdf) {
    const std::string info = tool("pdfinfo " + pdf.string());
    EXPECT_NE(info.find("Pages:           1\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Page size:       595.276 x 841.89 pts (A4)"), std::string::npos) << info;
    // page num  type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
    std::istringstream images(tool("pdfimages -list " + pdf.string()));
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(images, line))
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line.find_first_not_of(' ') == std::string::npos ? 'x' : line[line.find_first_not_of(' ')])))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 1u) << "the figure is the one image of the page";
    std::istringstream row(rows[0]);
    std::string page, num, type, width, height, color, comp, bpc, enc, interp, object, id, xppi, yppi;
    row >> page >> num >> type >> width >> height >> color >> comp >> bpc >> enc >> interp >> object >> id >> xppi >> yppi;
    EXPECT_EQ(width, "2244");
    EXPECT_EQ(height, "1889");
    EXPECT_NEAR(std::stod(xppi), 300, 1);
    EXPECT_NEAR(std::stod(yppi), 300, 1);
  }

  static inline pdf::Pool* pool_ = nullptr;
  static inline std::string figure_;
};

TEST_F(PlanPages, DeedPlanIsOneA4PageWithTheFigureAndTheValues) {
  const auto pdf = render("deedplan", std::string(brellow::DEEDPLAN_CSS), deed_page({}));
  expect_one_a4_page_with_the_figure(pdf);
  const std::string text = page_text(pdf);
  for (const char* value : {"DEED PLAN", "PLOT 12A", "IKEJA", "C05", "LKN/9999", "ADÉ BÍSÍ", "(10 December 2026)",
                            "TP/55/2019", "PB1", "EASTING 345678.124 m", "NORTHING 7.000 m", "1:500",
                            "12A OBA AKRAN STRASSE", "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE",
                            "SURV. DALMO RENFIK .K.Mnis", "From To Bearing Dist(m)", "PB4 PB5 225° 07' 4.24"})
    EXPECT_NE(text.find(value), std::string::npos) << value << "\n" << text;
  EXPECT_EQ(text.find("{{"), std::string::npos) << text;
}

TEST_F(PlanPages, TwentyFiveShortLegsStayOnThePage) {
  DeedValues v;
  v.schedule = short_legs(25);
  const auto pdf = render("deedplan-25-legs", std::string(brellow::DEEDPLAN_CSS), deed_page(v));
  expect_one_a4_page_with_the_figure(pdf);
  const std::string text = page_text(pdf);
  for (const char* row : {"PB1 PB2 225° 07' 4.24", "PB13 PB14 225° 07' 4.24", "PB25 PB26 225° 07' 4.24"})
    EXPECT_NE(text.find(row), std::string::npos) << row << "\n" << text;
}

TEST_F(PlanPages, SitePlanWithoutShortLegsHasNoTable) {
  const auto pdf = render("siteplan", std::string(brellow::SITEPLAN_CSS), site_page({}));
  expect_one_a4_page_with_the_figure(pdf);
  const std::string text = page_text(pdf);
  for (const char* value : {"SITE PLAN", "PLOT 12A", "LKN/1234", "(10 December 2026)", "PB1", "EASTING 345678.124 m",
                            "NORTHING 7.000 m", "1:500", "SURV. DALMO RENFIK .K.Mnis",
                            "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE"})
    EXPECT_NE(text.find(value), std::string::npos) << value << "\n" << text;
  EXPECT_EQ(text.find("Dist(m)"), std::string::npos) << text;
  EXPECT_EQ(text.find("{{"), std::string::npos) << text;
}

TEST_F(PlanPages, SitePlanWithShortLegs) {
  const auto pdf = render("siteplan-short-legs", std::string(brellow::SITEPLAN_CSS), site_page(short_legs(4)));
  expect_one_a4_page_with_the_figure(pdf);
  const std::string text = page_text(pdf);
  EXPECT_NE(text.find("PB4 PB5 225° 07' 4.24"), std::string::npos) << text;
}

// Something placed 2 mm from the sheet's corner lands there: the page has no margin of its own.
TEST_F(PlanPages, PageHasNoMargin) {
  std::string page = deed_page({});
  const auto body_end = page.rfind("</body>");
  ASSERT_NE(body_end, std::string::npos);
  page.insert(body_end, R"(<div style="position: absolute; left: 2mm; top: 2mm; font-size: 6pt; line-height: 1">CORNERMARK</div>)");
  const auto pdf = render("deedplan-corner-mark", std::string(brellow::DEEDPLAN_CSS), page);
  const std::string bbox = tool("pdftotext -bbox " + pdf.string() + " -");
  const double mm = 72.0 / 25.4;
  EXPECT_NEAR(bbox_of(bbox, "CORNERMARK", "xMin") / mm, 2.0, 1.0) << bbox;
  EXPECT_NEAR(bbox_of(bbox, "CORNERMARK", "yMin") / mm, 2.0, 1.0) << bbox;
}

// Values that look like markup print as text; a page can neither show nor attach a local file.
TEST_F(PlanPages, ValuesCannotAddMarkupOrReadFiles) {
  DeedValues v;
  v.parcel_number = "<b>X</b> & {{scale}}";
  v.address = R"(<img src="file:///etc/hostname">)";
  v.surveyed_by = R"(<link rel="attachment" href="file:///etc/passwd">)";
  v.schedule = {{"<i>PB1</i>", "PB2", "05° 07'", "A&B"}};
  const auto pdf = render("deedplan-injection", std::string(brellow::DEEDPLAN_CSS), deed_page(v));
  expect_one_a4_page_with_the_figure(pdf);  // the file:// image is not among the images
  const std::string text = page_text(pdf);
  for (const char* literal : {"<b>X</b> & {{scale}}", R"(<img src="file:///etc/hostname">)",
                              "<i>PB1</i> PB2 05° 07' A&B"})
    EXPECT_NE(text.find(literal), std::string::npos) << literal << "\n" << text;
  EXPECT_NE(words(text).find("file:///etc/passwd"), std::string::npos) << text;
  EXPECT_NE(tool("pdfdetach -list " + pdf.string()).find("0 embedded files"), std::string::npos);
  const std::string bytes = slurp(pdf);
  EXPECT_EQ(bytes.find("root:x:0:0"), std::string::npos);
  EXPECT_EQ(text.find("root:"), std::string::npos);

  // The same markup written straight into a page (as a template could) loads nothing either.
  std::string page = deed_page({});
  page.insert(page.rfind("</body>"), R"(<img src="file:///etc/hostname"><link rel="attachment" href="file:///etc/passwd">)");
  const auto raw = render("deedplan-raw-file-urls", std::string(brellow::DEEDPLAN_CSS), page);
  expect_one_a4_page_with_the_figure(raw);
  EXPECT_NE(tool("pdfdetach -list " + raw.string()).find("0 embedded files"), std::string::npos);
}

// A template saved with CRLF line ends is read, and so rendered, exactly as the LF original.
TEST_F(PlanPages, CrlfTemplateRendersTheSame) {
  const fs::path root = fs::temp_directory_path() / ("vekt-crlf-" + std::to_string(::getpid()));
  fs::create_directories(root / "templates");
  const std::string lf = slurp(SOURCE / "templates/deedplan.html");
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::ofstream(root / "templates/deedplan.html", std::ios::binary) << crlf;
  const std::string read_crlf = vekt::testing::run([&] { return brellow::read_template(root, "templates/deedplan.html"); });
  fs::remove_all(root);
  EXPECT_EQ(read_crlf, read("templates/deedplan.html"));
  const auto a = render("deedplan-crlf", std::string(brellow::DEEDPLAN_CSS), deed_page({}, read_crlf));
  const auto b = render("deedplan-lf", std::string(brellow::DEEDPLAN_CSS), deed_page({}));
  EXPECT_EQ(tool("pdftotext -bbox " + a.string() + " -"), tool("pdftotext -bbox " + b.string() + " -"));
}

}  // namespace
