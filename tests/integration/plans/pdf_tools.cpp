#include "pdf_tools.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace plans_test {

std::string output_dir() {
  std::string dir = std::string(VEKT_BINARY_DIR) + "/test-output/plans";
  std::filesystem::create_directories(dir);
  return dir;
}

std::string keep(const std::string& name, const std::string& bytes) {
  std::string path = output_dir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

namespace {

std::string command_output(const std::string& cmd) {
  std::string out;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) throw std::runtime_error("popen " + cmd);
  std::array<char, 4096> buf;
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;) out.append(buf.data(), n);
  ::pclose(f);
  return out;
}

std::string scratch(const std::string& bytes) {
  static int counter = 0;
  std::string path = output_dir() + "/scratch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".pdf";
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string folded(const std::string& raw) {
  std::string folded;
  bool blank = false;
  for (char c : raw) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f') {
      blank = !folded.empty();
      continue;
    }
    if (blank) folded += ' ';
    blank = false;
    folded += c;
  }
  return folded;
}

}  // namespace

std::string pdf_text(const std::string& pdf_bytes, bool layout) {
  std::string path = scratch(pdf_bytes);
  std::string raw =
      command_output(std::string("pdftotext -enc UTF-8 ") + (layout ? "-layout '" : "'") + path + "' - 2>/dev/null");
  std::filesystem::remove(path);
  return folded(raw);
}

std::string pdf_info(const std::string& pdf_bytes) {
  std::string path = scratch(pdf_bytes);
  std::string out = command_output("pdfinfo '" + path + "' 2>/dev/null");
  std::filesystem::remove(path);
  return folded(out);
}

std::string pictures_of(const std::string& pdf_path) {
  std::string stem = pdf_path.substr(0, pdf_path.size() - 4);
  command_output("pdftoppm -r 100 -png '" + pdf_path + "' '" + stem + "' 2>&1");
  for (const char* suffix : {"-1.png", "-01.png"})
    if (std::filesystem::exists(stem + suffix)) return stem + suffix;
  return "";
}

}  // namespace plans_test
