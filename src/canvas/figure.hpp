#pragma once
// A figure sized in millimetres at a given resolution (300 dpi for plans), white and opaque, with
// one axes covering it. Drawing is recorded on the axes and rendered with Cairo and Pango when the
// image is asked for. A figure owns everything it uses; nothing is shared between figures, so
// figures on different threads do not interfere.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "canvas/axes.hpp"

namespace vekt::canvas {

class RenderError : public base::Error {
 public:
  using base::Error::Error;
};

// Opaque 8-bit RGB pixels, rows top to bottom.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3

  struct Pixel {
    std::uint8_t r, g, b;
    friend bool operator==(const Pixel&, const Pixel&) = default;
  };
  Pixel at(int x, int y) const {
    const auto i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

// How hard the PNG encoder works: zlib's level (0 to 9) and whether rows go through the adaptive
// filters first. The defaults suit plan figures, which are read once (by the PDF renderer).
struct PngOptions {
  int compression_level = 3;
  bool adaptive_filters = false;
};

// PNG of the image: 8-bit opaque RGB, with its resolution recorded (pHYs, pixels per metre).
std::string encode_png(const Image& img, double dpi, const PngOptions& options = {});
// The pixels of a PNG (any colour type libpng can turn into 8-bit RGB; alpha is dropped), and
// its pHYs pixels per metre (0 when absent).
Image decode_png(std::string_view png, std::uint32_t* pixels_per_metre = nullptr);

// The box a line of text is aligned on, in pixels of a figure at `dpi`: its ink width and, in
// height, the ink of the text joined with the ink of "lp" in the same font, so that texts of one
// size share their vertical extent.
struct TextMetrics {
  double width = 0;     // ink width of the text
  double height = 0;    // box height: max(ink height of the text, of "lp")
  double descent = 0;   // box depth below the baseline: max(ink depth of the text, of "lp")
  double ink_x = 0;     // where the ink starts, right of the pen position
  double ink_ascent = 0;   // ink of the text above the baseline
  double ink_descent = 0;  // ink of the text below the baseline
};
TextMetrics measure_text(std::string_view text, double fontsize_pt, Weight weight, double dpi = 300);

// A quadrilateral in pixels (y down).
using Quad = std::array<XY, 4>;

class Figure;
// Where a text item lies on the figure as it is drawn: the box it is aligned on joined with its
// ink, turned as the text is, in pixels; corners lower left, lower right, upper right, upper left
// of the text as it reads. An empty text has the box of its alignment, zero wide.
Quad text_box(const Figure& fig, const TextItem& item);

class Figure {
 public:
  // ValueError for a size that is not finite and positive or that makes an image wider or taller
  // than 32767 pixels.
  Figure(double width_mm, double height_mm, double dpi = 300);

  RecordingAxes& axes() { return axes_; }
  const RecordingAxes& axes() const { return axes_; }

  // Pixel size: the size in inches times the resolution, truncated.
  int width_px() const { return width_px_; }
  int height_px() const { return height_px_; }
  double dpi() const { return dpi_; }

  // Pixel position of a point in data coordinates and in axes fractions (y down from the top).
  XY data_to_pixel(XY p) const;
  XY fraction_to_pixel(XY p) const;
  // The point in data coordinates at a pixel position.
  XY pixel_to_data(XY p) const;

  Image render() const;
  // The PNG of render(), written straight from the drawing surface (no intermediate image).
  std::string to_png(const PngOptions& options = {}) const;

 private:
  double dpi_;
  double width_f_;   // exact pixel width before truncation
  double height_f_;
  int width_px_;
  int height_px_;
  RecordingAxes axes_;
};

}  // namespace vekt::canvas
