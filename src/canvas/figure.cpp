#include "canvas/figure.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <png.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>

#include "base/c_handle.hpp"
#include "canvas/font.hpp"
#include "canvas/text_engine.hpp"

namespace vekt::canvas {
namespace {

constexpr int kMaxPixels = 32767;  // Cairo's limit for an image side

double pt_to_px(double pt, double dpi) { return pt * dpi / 72.0; }

// Axis-parallel outlines land on whole pixels (or pixel centres for odd widths) so that thin
// rules and bar blocks stay crisp, as raster plotting back ends do.
void snap_if_rectilinear(std::vector<XY>& px, double lw_px) {
  if (px.size() < 2 || px.size() > 1024) return;
  for (std::size_t i = 1; i < px.size(); ++i) {
    const double dx = px[i].x - px[i - 1].x;
    const double dy = px[i].y - px[i - 1].y;
    if (!(std::fabs(dx) < 1e-4 || std::fabs(dy) < 1e-4)) return;
  }
  const double offset = (static_cast<long long>(std::floor(lw_px + 0.5)) % 2) != 0 ? 0.5 : 0.0;
  for (auto& p : px) {
    p.x = std::floor(p.x + 0.5) + offset;
    p.y = std::floor(p.y + 0.5) + offset;
  }
}

void set_color(cairo_t* cr, const Color& c) { cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a); }

void path_through(cairo_t* cr, const std::vector<XY>& px, bool close) {
  cairo_new_path(cr);
  cairo_move_to(cr, px[0].x, px[0].y);
  for (std::size_t i = 1; i < px.size(); ++i) cairo_line_to(cr, px[i].x, px[i].y);
  if (close) cairo_close_path(cr);
}

cairo_line_cap_t cairo_cap(CapStyle c) {
  switch (c) {
    case CapStyle::Butt: return CAIRO_LINE_CAP_BUTT;
    case CapStyle::Round: return CAIRO_LINE_CAP_ROUND;
    case CapStyle::Projecting: return CAIRO_LINE_CAP_SQUARE;
  }
  return CAIRO_LINE_CAP_BUTT;
}

cairo_line_join_t cairo_join(JoinStyle j) {
  switch (j) {
    case JoinStyle::Miter: return CAIRO_LINE_JOIN_MITER;
    case JoinStyle::Round: return CAIRO_LINE_JOIN_ROUND;
    case JoinStyle::Bevel: return CAIRO_LINE_JOIN_BEVEL;
  }
  return CAIRO_LINE_JOIN_MITER;
}

// Where a text's pen stands: the frame is moved to `origin` and turned by `theta` (counter-
// clockwise on paper), and the baseline starts at `pen` in that frame (pixels, y down).
struct TextFrame {
  XY origin;
  double theta = 0;
  XY pen;
};

TextFrame text_frame(XY a, const TextMetrics& m, const TextStyle& style) {
  const double theta = style.rotation * (std::numbers::pi / 180.0);
  const double offx = style.ha == HAlign::Left ? 0.0 : style.ha == HAlign::Center ? m.width / 2.0 : m.width;
  double offy = 0;  // from the bottom of the box, upwards
  switch (style.va) {
    case VAlign::Bottom: offy = 0; break;
    case VAlign::Center: offy = m.height / 2.0; break;
    case VAlign::Top: offy = m.height; break;
    case VAlign::Baseline: offy = m.descent; break;
  }
  if (style.rotation_mode == RotationMode::Anchor || style.rotation == 0) return {a, theta, {-offx, offy - m.descent}};
  // Turn the box first, then align its turned bounding box on the anchor (y up here).
  const double c = std::cos(theta), s = std::sin(theta);
  const XY corners[4] = {{0, 0}, {m.width, 0}, {m.width, m.height}, {0, m.height}};
  double xmin = 1e300, xmax = -1e300, ymin = 1e300, ymax = -1e300;
  for (const auto& p : corners) {
    const double x = p.x * c - p.y * s, y = p.x * s + p.y * c;
    xmin = std::min(xmin, x), xmax = std::max(xmax, x), ymin = std::min(ymin, y), ymax = std::max(ymax, y);
  }
  const double ax = style.ha == HAlign::Left ? xmin : style.ha == HAlign::Center ? (xmin + xmax) / 2 : xmax;
  double ay = ymin;
  switch (style.va) {
    case VAlign::Bottom: ay = ymin; break;
    case VAlign::Center: ay = (ymin + ymax) / 2; break;
    case VAlign::Top: ay = ymax; break;
    case VAlign::Baseline: ay = m.descent * c; break;
  }
  // Pen origin: the box's lower-left corner moved up to the baseline.
  const double px = -ax - m.descent * s;
  const double py = -ay + m.descent * c;
  return {{a.x + px, a.y - py}, theta, {0, 0}};
}

class Renderer {
 public:
  Renderer(const Figure& fig, cairo_t* cr) : fig_(fig), cr_(cr), text_(fig.dpi()) {}

  void operator()(const LineItem& it) {
    const double lw = pt_to_px(it.style.linewidth, fig_.dpi());
    // A point that is not finite breaks the line there, as plotting libraries do.
    std::vector<XY> run;
    for (const auto& p : to_px(it.pts, Coords::Data)) {
      if (std::isfinite(p.x) && std::isfinite(p.y)) {
        run.push_back(p);
      } else {
        stroke(std::move(run), it.style, lw);
        run.clear();
      }
    }
    stroke(std::move(run), it.style, lw);
  }

  void operator()(const MarkerItem& it) {
    const XY c = fig_.data_to_pixel(it.at);
    if (!std::isfinite(c.x) || !std::isfinite(c.y)) return;
    // Marker centres sit on whole pixels.
    const double cx = std::floor(c.x + 0.5);
    const double cy = std::floor(c.y + 0.5);
    cairo_new_path(cr_);
    cairo_arc(cr_, cx, cy, pt_to_px(it.style.markersize / 2.0, fig_.dpi()), 0, 2 * std::numbers::pi);
    // Closed, so its edge has no ends for whatever line cap an earlier stroke left to draw on.
    cairo_close_path(cr_);
    set_color(cr_, it.style.color);
    cairo_fill_preserve(cr_);
    const double mew = pt_to_px(it.style.markeredgewidth, fig_.dpi());
    if (mew > 0) {
      cairo_set_line_width(cr_, mew);
      cairo_stroke(cr_);
    }
    cairo_new_path(cr_);
  }

  void operator()(const PolygonItem& it) {
    if (it.ring.size() < 2) return;
    if (it.holes.empty()) {
      patch(to_px(it.ring, Coords::Data), it.style);
      return;
    }
    // The face lies between the ring and its holes (even-odd, whatever way each ring runs);
    // every ring is outlined alike.
    const bool edge = it.style.edgecolor.has_value() && it.style.linewidth > 0;
    const double lw = edge ? pt_to_px(it.style.linewidth, fig_.dpi()) : 0.0;
    std::vector<std::vector<XY>> rings{to_px(it.ring, Coords::Data)};
    for (const auto& h : it.holes)
      if (h.size() >= 2) rings.push_back(to_px(h, Coords::Data));
    for (auto& r : rings) {
      snap_if_rectilinear(r, lw);
      for (const auto& p : r)
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
    }
    cairo_new_path(cr_);
    for (const auto& r : rings) {
      cairo_move_to(cr_, r[0].x, r[0].y);
      for (std::size_t i = 1; i < r.size(); ++i) cairo_line_to(cr_, r[i].x, r[i].y);
      cairo_close_path(cr_);
    }
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_EVEN_ODD);
    paint_path(it.style);
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
  }

  void operator()(const RectItem& it) {
    const std::vector<XY> ring = {it.xy,
                                  {it.xy.x + it.width, it.xy.y},
                                  {it.xy.x + it.width, it.xy.y + it.height},
                                  {it.xy.x, it.xy.y + it.height}};
    patch(to_px(ring, Coords::Data), it.style);
  }

  void operator()(const TextItem& it) {
    if (it.text.empty()) return;
    const XY a = it.style.coords == Coords::Data ? fig_.data_to_pixel(it.at) : fig_.fraction_to_pixel(it.at);
    if (!std::isfinite(a.x) || !std::isfinite(a.y)) return;
    auto layout = text_.layout(it.text, it.style.fontsize, it.style.fontweight);
    const TextMetrics m = text_.metrics(layout.get(), it.style.fontsize, it.style.fontweight);
    const TextFrame f = text_frame(a, m, it.style);
    cairo_save(cr_);
    cairo_translate(cr_, f.origin.x, f.origin.y);
    cairo_rotate(cr_, -f.theta);
    cairo_move_to(cr_, f.pen.x, f.pen.y);
    set_color(cr_, it.style.color);
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout.get(), 0);
    // Glyphs go in as outlines: the image back end would put glyph bitmaps on whole pixels,
    // moving texts by up to half a pixel off their anchors.
    if (line != nullptr) {
      pango_cairo_layout_line_path(cr_, line);
      cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
      cairo_fill(cr_);
    }
    cairo_restore(cr_);
  }

  void operator()(const ArrowItem& it) {
    const XY t = it.coords == Coords::Data ? fig_.data_to_pixel(it.tail) : fig_.fraction_to_pixel(it.tail);
    const XY h = it.coords == Coords::Data ? fig_.data_to_pixel(it.head) : fig_.fraction_to_pixel(it.head);
    const double dx = h.x - t.x, dy = h.y - t.y;
    const double len = std::sqrt(dx * dx + dy * dy);
    if (!(len > 0) || !std::isfinite(len)) return;
    const XY u{dx / len, dy / len};
    const XY n{-u.y, u.x};
    const double dpi = fig_.dpi();
    const double half_w = pt_to_px(it.props.width, dpi) / 2.0;
    const double half_head = pt_to_px(it.props.headwidth, dpi) / 2.0;
    const double head_len = pt_to_px(it.props.headlength, dpi);
    const XY b{h.x - head_len * u.x, h.y - head_len * u.y};
    auto at = [](XY p, XY dir, double k) { return XY{p.x + k * dir.x, p.y + k * dir.y}; };
    const std::vector<XY> poly = {at(t, n, half_w),  at(b, n, half_w),   at(b, n, half_head), h,
                                  at(b, n, -half_head), at(b, n, -half_w), at(t, n, -half_w)};
    PatchStyle st;
    st.facecolor = it.props.facecolor;
    st.edgecolor = it.props.edgecolor;
    st.linewidth = it.props.edgewidth;
    patch_px(poly, st);
  }

 private:
  void stroke(std::vector<XY> px, const LineStyle& style, double lw) {
    if (px.size() < 2) return;
    snap_if_rectilinear(px, lw);
    path_through(cr_, px, false);
    const bool dashed = !style.dashes.empty();
    if (dashed) {
      // Dash lengths are in units of the line width.
      std::vector<double> d;
      for (double v : style.dashes) d.push_back(pt_to_px(v * style.linewidth, fig_.dpi()));
      cairo_set_dash(cr_, d.data(), static_cast<int>(d.size()), 0);
    } else {
      cairo_set_dash(cr_, nullptr, 0, 0);
    }
    cairo_set_line_cap(cr_, cairo_cap(style.cap.value_or(dashed ? CapStyle::Butt : CapStyle::Projecting)));
    cairo_set_line_join(cr_, cairo_join(style.join.value_or(JoinStyle::Round)));
    cairo_set_miter_limit(cr_, lw);
    cairo_set_line_width(cr_, lw);
    set_color(cr_, style.color);
    cairo_stroke(cr_);
    cairo_set_dash(cr_, nullptr, 0, 0);
  }

  std::vector<XY> to_px(const std::vector<XY>& pts, Coords coords) const {
    std::vector<XY> out;
    out.reserve(pts.size());
    for (const auto& p : pts) out.push_back(coords == Coords::Data ? fig_.data_to_pixel(p) : fig_.fraction_to_pixel(p));
    return out;
  }

  void patch(std::vector<XY> px, const PatchStyle& st) {
    const bool edge = st.edgecolor.has_value() && st.linewidth > 0;
    snap_if_rectilinear(px, edge ? pt_to_px(st.linewidth, fig_.dpi()) : 0.0);
    patch_px(px, st);
  }

  void patch_px(const std::vector<XY>& px, const PatchStyle& st) {
    for (const auto& p : px)
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
    path_through(cr_, px, true);
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    paint_path(st);
  }

  // Fills then outlines the current path as the style says, and clears it.
  void paint_path(const PatchStyle& st) {
    if (st.facecolor) {
      set_color(cr_, *st.facecolor);
      cairo_fill_preserve(cr_);
    }
    if (st.edgecolor && st.linewidth > 0) {
      const double lw = pt_to_px(st.linewidth, fig_.dpi());
      cairo_set_line_width(cr_, lw);
      cairo_set_line_join(cr_, cairo_join(st.join));
      cairo_set_line_cap(cr_, cairo_cap(st.cap));
      cairo_set_miter_limit(cr_, lw);
      set_color(cr_, *st.edgecolor);
      cairo_stroke(cr_);
    }
    cairo_new_path(cr_);
  }

  const Figure& fig_;
  cairo_t* cr_;
  TextEngine text_;
};

void png_append(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char*>(data), n);
}
void png_no_flush(png_structp) {}

// How the rows handed to the PNG writer hold their pixels: 8-bit RGB, or Cairo's native-endian
// 32-bit words with an unused top byte (the writer reorders the bytes and drops the filler).
enum class RowLayout { Rgb, Xrgb32 };

// libpng reports errors by longjmp; this function holds nothing that needs a destructor.
bool write_png(png_structp png, png_infop info, int width, int height, png_bytep* rows, RowLayout layout,
               png_uint_32 ppm, const PngOptions* opts, std::string* out) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, out, png_append, png_no_flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  // Line art with large flat areas: unfiltered rows at a low level compress about as small as
  // the adaptive filters and several times faster (plots_bench measures the settings).
  png_set_compression_level(png, opts->compression_level);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, opts->adaptive_filters ? PNG_ALL_FILTERS : PNG_FILTER_NONE);
  png_write_info(png, info);
  if (layout == RowLayout::Xrgb32) {
    static_assert(std::endian::native == std::endian::little, "Cairo's words are read as little-endian bytes");
    png_set_bgr(png);                              // B, G, R in memory
    png_set_filler(png, 0, PNG_FILLER_AFTER);      // then the unused byte, dropped
  }
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

std::string write_png_rows(int width, int height, std::vector<png_bytep>& rows, RowLayout layout, double dpi,
                           const PngOptions& options) {
  if (width <= 0 || height <= 0) throw RenderError("cannot write an empty image");
  if (options.compression_level < 0 || options.compression_level > 9)
    throw base::ValueError("PNG compression level must be from 0 to 9");
  std::string out;
  out.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) / 16);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) throw RenderError("cannot create a PNG writer");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw RenderError("cannot create a PNG writer");
  }
  const auto ppm = static_cast<png_uint_32>(std::lround(dpi / 0.0254));
  const bool ok = write_png(png, info, width, height, rows.data(), layout, ppm, &options, &out);
  png_destroy_write_struct(&png, &info);
  if (!ok) throw RenderError("writing the PNG failed");
  return out;
}

using SurfacePtr = base::CHandle<cairo_surface_t, cairo_surface_destroy>;

}  // namespace

std::string encode_png(const Image& img, double dpi, const PngOptions& options) {
  std::vector<png_bytep> rows(static_cast<std::size_t>(std::max(img.height, 0)));
  for (int y = 0; y < img.height; ++y)
    rows[static_cast<std::size_t>(y)] =
        const_cast<png_bytep>(img.rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(img.width) * 3);
  return write_png_rows(img.width, img.height, rows, RowLayout::Rgb, dpi, options);
}

Image decode_png(std::string_view data, std::uint32_t* pixels_per_metre) {
  png_image im;
  std::memset(&im, 0, sizeof im);
  im.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&im, data.data(), data.size()))
    throw RenderError(std::string("cannot read the PNG: ") + im.message);
  im.format = PNG_FORMAT_RGB;
  Image out;
  out.width = static_cast<int>(im.width);
  out.height = static_cast<int>(im.height);
  out.rgb.resize(PNG_IMAGE_SIZE(im));
  png_color white{255, 255, 255};
  if (!png_image_finish_read(&im, &white, out.rgb.data(), 0, nullptr)) {
    png_image_free(&im);
    throw RenderError(std::string("cannot read the PNG: ") + im.message);
  }
  if (pixels_per_metre != nullptr) {
    *pixels_per_metre = 0;
    // Walk the chunks for pHYs: 8-byte signature, then length, type, data, CRC.
    std::size_t pos = 8;
    auto be32 = [&](std::size_t at) {
      const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
      return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
    };
    while (pos + 12 <= data.size()) {
      const std::uint32_t len = be32(pos);
      const std::string_view type = data.substr(pos + 4, 4);
      if (type == "pHYs" && len == 9 && pos + 8 + 9 <= data.size()) {
        if (data[pos + 16] == 1) *pixels_per_metre = be32(pos + 8);
        break;
      }
      if (type == "IDAT") break;
      pos += 12 + len;
    }
  }
  return out;
}

TextMetrics measure_text(std::string_view text, double fontsize_pt, Weight weight, double dpi) {
  TextEngine te(dpi);
  auto l = te.layout(text, fontsize_pt, weight);
  return te.metrics(l.get(), fontsize_pt, weight);
}

Quad text_box(const Figure& fig, const TextItem& item) {
  const XY a = item.style.coords == Coords::Data ? fig.data_to_pixel(item.at) : fig.fraction_to_pixel(item.at);
  // One engine per thread, resolution and family: a figure's texts are measured many times over.
  thread_local std::map<std::pair<double, std::string>, std::unique_ptr<TextEngine>> engines;
  auto& te = engines[{fig.dpi(), font_family()}];
  if (!te) te = std::make_unique<TextEngine>(fig.dpi());
  // A text is often tried at several places in a row: its last measure is kept.
  struct Last {
    std::string text, family;
    double size = 0, dpi = 0;
    Weight weight = Weight::Normal;
    TextMetrics m;
  };
  thread_local Last last;
  if (last.text != item.text || last.size != item.style.fontsize || last.weight != item.style.fontweight ||
      last.dpi != fig.dpi() || last.family != font_family() || last.family.empty()) {
    auto l = te->layout(item.text, item.style.fontsize, item.style.fontweight);
    last = {item.text, font_family(), item.style.fontsize, fig.dpi(), item.style.fontweight,
            te->metrics(l.get(), item.style.fontsize, item.style.fontweight)};
  }
  const TextMetrics& m = last.m;
  const TextFrame f = text_frame(a, m, item.style);
  // The box the text is aligned on joined with its ink, in the turned frame.
  const double x0 = f.pen.x + std::min(0.0, m.ink_x);
  const double x1 = f.pen.x + std::max(m.width, m.ink_x + m.width);
  const double y0 = f.pen.y - std::max(m.height - m.descent, m.ink_ascent);
  const double y1 = f.pen.y + std::max(m.descent, m.ink_descent);
  const double c = std::cos(f.theta), s = std::sin(f.theta);
  auto at = [&](double u, double v) { return XY{f.origin.x + u * c + v * s, f.origin.y - u * s + v * c}; };
  return {at(x0, y1), at(x1, y1), at(x1, y0), at(x0, y0)};
}

XY Figure::pixel_to_data(XY p) const {
  const auto [x0, x1] = axes_.get_xlim();
  const auto [y0, y1] = axes_.get_ylim();
  return {x0 + p.x / width_f_ * (x1 - x0), y0 + (height_px_ - p.y) / height_f_ * (y1 - y0)};
}

Figure::Figure(double width_mm, double height_mm, double dpi) : dpi_(dpi) {
  if (!std::isfinite(dpi) || dpi <= 0) throw base::ValueError("figure resolution must be a positive number");
  if (!std::isfinite(width_mm) || !std::isfinite(height_mm) || width_mm <= 0 || height_mm <= 0)
    throw base::ValueError("figure size must be positive and finite");
  width_f_ = width_mm / 25.4 * dpi;
  height_f_ = height_mm / 25.4 * dpi;
  if (width_f_ < 1 || height_f_ < 1 || width_f_ > kMaxPixels || height_f_ > kMaxPixels)
    throw base::ValueError("figure size must give between 1 and 32767 pixels per side");
  width_px_ = static_cast<int>(width_f_);
  height_px_ = static_cast<int>(height_f_);
}

XY Figure::data_to_pixel(XY p) const {
  const auto [x0, x1] = axes_.get_xlim();
  const auto [y0, y1] = axes_.get_ylim();
  return {(p.x - x0) / (x1 - x0) * width_f_, height_px_ - (p.y - y0) / (y1 - y0) * height_f_};
}

XY Figure::fraction_to_pixel(XY p) const { return {p.x * width_f_, height_px_ - p.y * height_f_}; }

namespace {

// The figure drawn on a new opaque surface.
SurfacePtr draw_surface(const Figure& fig) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, fig.width_px(), fig.height_px()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    throw RenderError(std::string("cannot create the image: ") + cairo_status_to_string(cairo_surface_status(surface.get())));
  base::CHandle<cairo_t, cairo_destroy> cr(cairo_create(surface.get()));
  cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_GRAY);
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_paint(cr.get());

  Renderer r(fig, cr.get());
  const auto& items = fig.axes().items();
  for (std::size_t i : fig.axes().drawing_order()) std::visit(r, items[i]);
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
    throw RenderError(std::string("drawing failed: ") + cairo_status_to_string(cairo_status(cr.get())));
  cairo_surface_flush(surface.get());
  return surface;
}

}  // namespace

std::string Figure::to_png(const PngOptions& options) const {
  const SurfacePtr surface = draw_surface(*this);
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  std::vector<png_bytep> rows(static_cast<std::size_t>(height_px_));
  for (int y = 0; y < height_px_; ++y) rows[static_cast<std::size_t>(y)] = data + static_cast<std::ptrdiff_t>(y) * stride;
  return write_png_rows(width_px_, height_px_, rows, RowLayout::Xrgb32, dpi_, options);
}

Image Figure::render() const {
  const SurfacePtr surface = draw_surface(*this);

  Image img;
  img.width = width_px_;
  img.height = height_px_;
  img.rgb.resize(static_cast<std::size_t>(width_px_) * static_cast<std::size_t>(height_px_) * 3);
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  std::uint8_t* out = img.rgb.data();
  for (int y = 0; y < height_px_; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < width_px_; ++x) {
      const std::uint32_t v = row[x];
      *out++ = static_cast<std::uint8_t>((v >> 16) & 0xFF);
      *out++ = static_cast<std::uint8_t>((v >> 8) & 0xFF);
      *out++ = static_cast<std::uint8_t>(v & 0xFF);
    }
  }
  return img;
}

}  // namespace vekt::canvas
