// Realistic 600-dpi page content for the benchmarks: text-like lines,
// dithered grey that defeats run-length coding, and blank lines.  Lines
// are in raster polarity: a set bit is white.

#ifndef TAMSEL_BENCH_PAGES_H
#define TAMSEL_BENCH_PAGES_H

#include <cstdint>
#include <string>
#include <vector>

namespace tamsel::bench {

enum class PageKind { kText, kDithered, kBlank };

PageKind ParseKind(const std::string& name);

// Line y of a page bytes_per_line wide.
void MakeLine(PageKind kind, unsigned y, std::vector<std::uint8_t>& line);

}  // namespace tamsel::bench

#endif  // TAMSEL_BENCH_PAGES_H
