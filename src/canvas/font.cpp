#include "canvas/font.hpp"

#include <fontconfig/fontconfig.h>

#include <memory>
#include <mutex>

#include "base/c_handle.hpp"
#include "base/error.hpp"

namespace vekt::canvas {
namespace {

std::mutex g_mu;
std::string g_family = "DejaVu Sans";

bool installed(const std::string& family) {
  base::CHandle<FcPattern, FcPatternDestroy> pat(FcPatternCreate());
  if (!pat) return false;
  FcPatternAddString(pat.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  base::CHandle<FcObjectSet, FcObjectSetDestroy> os(FcObjectSetBuild(FC_FAMILY, nullptr));
  // FcFontList matches the pattern's family against every family name of a font, exactly
  // (case-insensitively), without applying the configuration's substitutions.
  base::CHandle<FcFontSet, FcFontSetDestroy> fs(FcFontList(nullptr, pat.get(), os.get()));
  return fs && fs->nfont > 0;
}

}  // namespace

std::string resolve_font_family(std::span<const std::string> families) {
  if (!FcInit()) throw base::Error("fontconfig cannot be initialised");
  for (const auto& f : families) {
    if (f == "sans-serif" || f == "serif" || f == "monospace") return f;
    if (installed(f)) return f;
  }
  throw base::ValueError("none of the font families is installed");
}

void set_font_family(std::string family) {
  std::lock_guard lock(g_mu);
  g_family = std::move(family);
}

std::string font_family() {
  std::lock_guard lock(g_mu);
  return g_family;
}

}  // namespace vekt::canvas

#if defined(__SANITIZE_ADDRESS__)
// fontconfig and Pango keep process-wide caches (font lists, patterns) that they never free;
// the leak checker of sanitizer builds is told to ignore them.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libpango-1.0.so\nleak:libpangoft2-1.0.so\nleak:libpangocairo-1.0.so\n"
         "leak:libharfbuzz.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libcairo.so\n";
}
#endif
