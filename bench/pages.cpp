// Realistic 600-dpi page content for the benchmarks.

#include "pages.h"

#include <algorithm>
#include <stdexcept>

namespace tamsel::bench {

PageKind ParseKind(const std::string& name) {
  if (name == "text") return PageKind::kText;
  if (name == "dithered") return PageKind::kDithered;
  if (name == "blank") return PageKind::kBlank;
  throw std::invalid_argument("page kind must be text, dithered or blank: " + name);
}

void MakeLine(PageKind kind, unsigned y, std::vector<std::uint8_t>& line) {
  std::fill(line.begin(), line.end(), 0xFF);
  if (kind == PageKind::kBlank) return;

  if (kind == PageKind::kDithered) {
    // A 50% ordered dither with a slow drift: no three equal bytes in a row.
    for (std::size_t x = 0; x < line.size(); ++x)
      line[x] = static_cast<std::uint8_t>(((x + y) & 1 ? 0xAA : 0x55) ^ ((x * 7 + y) % 5 == 0 ? 0x10 : 0));
    return;
  }

  // Text: 11-point lines of words between 1-inch margins, 100 lines of
  // raster per text line of which the glyphs fill 62.  A glyph is 5 bytes
  // (40 pixels) wide: two stems, with a bowl or bar across on some rows;
  // words of 2 to 9 glyphs are 3 bytes apart.
  const unsigned line_pitch = 100, glyph_rows = 62;
  unsigned text_line = y / line_pitch, row = y % line_pitch;
  if (y < 600 || y > 6400 || row >= glyph_rows) return;

  const std::size_t left = 75, right = line.size() - 75;  // 1 inch at 600 dpi
  std::uint32_t seed = text_line * 2654435761u + 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  bool descender_row = row >= 48, ascender_row = row < 14;
  std::size_t x = left;
  while (x + 5 < right) {
    unsigned glyphs = 2 + next() % 8;
    for (unsigned g = 0; g < glyphs && x + 5 < right; ++g, x += 5) {
      unsigned shape = next();
      if ((ascender_row && !(shape & 8)) || (descender_row && !(shape & 16))) continue;
      line[x] = static_cast<std::uint8_t>(0xFF ^ (0x70 >> (shape & 3)));      // left stem
      line[x + 3] = static_cast<std::uint8_t>(0xFF ^ (0x1C << (shape >> 2 & 1))); // right stem
      if (row % 29 < 6 || (shape & 32 && row % 31 < 5)) {                      // bar or bowl
        line[x + 1] = 0x00;
        line[x + 2] = static_cast<std::uint8_t>(0x0F | (shape << 4));
      }
    }
    x += 3;
  }
}

}  // namespace tamsel::bench
