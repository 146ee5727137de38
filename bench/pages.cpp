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

  // Text: 12-point lines of glyph-like strokes between 1-inch margins,
  // with the leading between text lines blank.
  const unsigned line_pitch = 100, glyph_height = 70;
  if (y < 600 || y > 6400 || (y % line_pitch) >= glyph_height) return;
  std::size_t left = 75, right = line.size() - 75;  // 1 inch at 600 dpi
  unsigned row = y % line_pitch;
  for (std::size_t x = left; x < right; ++x) {
    unsigned glyph = static_cast<unsigned>((x * 2654435761u) >> 28);  // varied widths
    if ((x % 6) == 5) continue;                                         // space between glyphs
    if (((glyph + row / 9) & 3) == 0) line[x] = 0x00;                   // vertical stem
    else if (((glyph ^ row) & 7) == 1) line[x] = static_cast<std::uint8_t>(0x81 | (glyph << 2));
  }
}

}  // namespace tamsel::bench
