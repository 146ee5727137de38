// Page images of a decoded Tamsel page.

#include "page_image.h"

#ifdef TAMSEL_HAVE_PNG
#  include <png.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tamsel {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Row y of the page in raster polarity (a set bit is white), padded white.
void FillRow(const Page& page, unsigned long y, std::vector<std::uint8_t>& row) {
  std::fill(row.begin(), row.end(), 0xFF);
  auto it = page.printed.find(y);
  if (it != page.printed.end()) std::copy(it->second.begin(), it->second.end(), row.begin());
}

bool WritePbm(const Page& page, const Canvas& c, std::FILE* f) {
  std::vector<std::uint8_t> row((c.width + 7) / 8);
  std::fprintf(f, "P4\n%zu %zu\n", c.width, c.height);
  for (unsigned long y = 0; y < c.height; ++y) {
    FillRow(page, y, row);
    for (auto& b : row) b = static_cast<std::uint8_t>(~b);  // PBM: 1 is black
    if (std::fwrite(row.data(), 1, row.size(), f) != row.size()) return false;
  }
  return true;
}

#ifdef TAMSEL_HAVE_PNG
// libpng reports errors by longjmp: no C++ object may live in this frame.
bool WritePngRows(png_structp png, png_infop info, const Page& page, const Canvas& c,
                  std::FILE* f, std::vector<std::uint8_t>& row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(c.width), static_cast<png_uint_32>(c.height),
               1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, 23622, 23622, PNG_RESOLUTION_METER);  // 600 dpi
  png_write_info(png, info);
  for (unsigned long y = 0; y < c.height; ++y) {
    FillRow(page, y, row);  // greyscale 1 is white, as in the raster
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  return true;
}

bool WritePng(const Page& page, const Canvas& c, std::FILE* f, std::string* why) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  std::vector<std::uint8_t> row((c.width + 7) / 8);
  bool ok = info && WritePngRows(png, info, page, c, f, row);
  png_destroy_write_struct(&png, info ? &info : nullptr);
  if (!ok && why) *why = "libpng failed";
  return ok;
}
#else
bool WritePng(const Page&, const Canvas&, std::FILE*, std::string* why) {
  if (why) *why = "PNG output is unavailable (built without libpng); use --pbm";
  return false;
}
#endif

}  // namespace

bool PngAvailable() {
#ifdef TAMSEL_HAVE_PNG
  return true;
#else
  return false;
#endif
}

DecodeLimits RenderLimits() {
  DecodeLimits limits;
  limits.max_line_bytes = kMaxCanvasWidth / 8;
  // Enough for any canvas within the limits, a little less than 64 MiB.
  limits.max_page_bytes = kMaxCanvasDots / 8 * 2;
  return limits;
}

Canvas PageCanvas(const JobSettings& settings, const Page& page) {
  Canvas c;
  c.width = std::max<std::size_t>(settings.width_dots, page.widest_line * 8);
  c.height = std::max<std::size_t>(settings.length_dots, page.lines);
  if (c.width == 0) c.width = 1;
  if (c.height == 0) c.height = 1;
  return c;
}

bool PageLargerThanPaper(const JobSettings& settings, const Page& page) {
  return page.widest_line * 8 > settings.width_dots + 7 || page.lines > settings.length_dots;
}

bool WritePageImage(const JobSettings& settings, const Page& page, ImageFormat format,
                    const std::string& path, std::string* why) {
  Canvas c = PageCanvas(settings, page);
  if (page.lines_dropped || c.width > kMaxCanvasWidth || c.height > kMaxCanvasDots / c.width) {
    if (why)
      *why = "page of " + std::to_string(c.width) + " x " + std::to_string(c.height) +
             " dots not rendered: the limit is 65536 dots across and 268435456 dots in all";
    return false;
  }
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    if (why) *why = std::strerror(errno);
    return false;
  }
  bool ok = format == ImageFormat::kPng ? WritePng(page, c, f.get(), why) : WritePbm(page, c, f.get());
  if (std::fflush(f.get()) != 0) ok = false;
  if (!ok && why && why->empty()) *why = "write failed";
  return ok;
}

}  // namespace tamsel
