#pragma once
// The one place texts are laid out with Pango, for the figure's labels and for the measurements
// of the plan pages' texts (canvas/paragraph.hpp). Internal to the canvas library.
#include <pango/pangocairo.h>

#include <cmath>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "base/c_handle.hpp"
#include "canvas/axes.hpp"
#include "canvas/figure.hpp"
#include "canvas/font.hpp"

namespace vekt::canvas {

using LayoutPtr = base::CHandle<PangoLayout, g_object_unref>;

// Lays out and measures texts at `dpi` (at 72 dpi its units are points); Pango's default font map
// is per thread. Glyph positions are not rounded and metrics not hinted, as a PDF sets them.
class TextEngine {
 public:
  explicit TextEngine(double dpi) : dpi_(dpi), family_(font_family()) {
    ctx_.reset(pango_font_map_create_context(pango_cairo_font_map_get_default()));
    if (!ctx_) throw RenderError("cannot create a Pango context");
    pango_cairo_context_set_resolution(ctx_.get(), dpi);
    base::CHandle<cairo_font_options_t, cairo_font_options_destroy> opts(cairo_font_options_create());
    cairo_font_options_set_antialias(opts.get(), CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(opts.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(opts.get(), CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(ctx_.get(), opts.get());
    pango_context_set_round_glyph_positions(ctx_.get(), FALSE);
  }

  // One paragraph of `text` in the figure's family, or in `families` (a comma-separated list, the
  // first that has a glyph setting it, as a CSS font stack does).
  LayoutPtr layout(std::string_view text, double size_pt, Weight weight, const std::string* families = nullptr) const {
    LayoutPtr l(pango_layout_new(ctx_.get()));
    base::CHandle<PangoFontDescription, pango_font_description_free> desc(pango_font_description_new());
    pango_font_description_set_family(desc.get(), (families ? *families : family_).c_str());
    pango_font_description_set_size(desc.get(), static_cast<gint>(std::lround(size_pt * PANGO_SCALE)));
    pango_font_description_set_weight(desc.get(), weight == Weight::Bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_font_description(l.get(), desc.get());
    pango_layout_set_single_paragraph_mode(l.get(), TRUE);
    pango_layout_set_text(l.get(), text.data(), static_cast<int>(text.size()));
    return l;
  }

  struct Ink {
    double x = 0, w = 0, ascent = 0, descent = 0;
  };

  static Ink ink_of(PangoLayout* l) {
    PangoRectangle ink;
    pango_layout_get_extents(l, &ink, nullptr);
    const double baseline = pango_units_to_double(pango_layout_get_baseline(l));
    Ink r;
    r.x = pango_units_to_double(ink.x);
    r.w = pango_units_to_double(ink.width);
    const double top = pango_units_to_double(ink.y);
    const double bottom = pango_units_to_double(ink.y + ink.height);
    if (ink.height > 0) {
      r.ascent = baseline - top;
      r.descent = bottom - baseline;
    }
    return r;
  }

  TextMetrics metrics(PangoLayout* l, double size_pt, Weight weight) {
    const Ink s = ink_of(l);
    const Ink& lp = lp_ink(size_pt, weight);
    TextMetrics m;
    m.width = s.w;
    m.ink_x = s.x;
    m.ink_ascent = s.ascent;
    m.ink_descent = s.descent;
    m.height = std::max(s.ascent + s.descent, lp.ascent + lp.descent);
    m.descent = std::max(s.descent, lp.descent);
    return m;
  }

  double dpi() const { return dpi_; }

 private:
  const Ink& lp_ink(double size_pt, Weight weight) {
    const auto key = std::make_pair(size_pt, weight);
    auto it = lp_.find(key);
    if (it == lp_.end()) {
      auto l = layout("lp", size_pt, weight);
      it = lp_.emplace(key, ink_of(l.get())).first;
    }
    return it->second;
  }

  double dpi_;
  std::string family_;
  base::CHandle<PangoContext, g_object_unref> ctx_;
  std::map<std::pair<double, Weight>, Ink> lp_;
};

}  // namespace vekt::canvas
