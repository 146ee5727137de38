// Page images of a decoded Tamsel page, black where the printer puts toner.

#ifndef TAMSEL_TOOLS_PAGE_IMAGE_H
#define TAMSEL_TOOLS_PAGE_IMAGE_H

#include "tamsel_stream.h"

#include <string>

namespace tamsel {

enum class ImageFormat { kPng, kPbm };

// Canvas of a page: the paper from the settings block, grown to hold lines
// wider or longer than the paper, which are kept rather than cut.  Pages
// beyond kMaxCanvasWidth dots across or kMaxCanvasDots in all are not
// rendered: a 66 KB stream can claim a canvas of hundreds of gigabytes.
struct Canvas {
  std::size_t width = 0;   // pixels
  std::size_t height = 0;  // lines
};
constexpr std::size_t kMaxCanvasWidth = 65536;
constexpr std::size_t kMaxCanvasDots = std::size_t(1) << 28;  // A3 is 70 million

// Whether --png works: libpng is optional.
bool PngAvailable();

// What a renderer needs DecodeStream to keep of each page.
DecodeLimits RenderLimits();

Canvas PageCanvas(const JobSettings& settings, const Page& page);
bool PageLargerThanPaper(const JobSettings& settings, const Page& page);

// Writes one image, row by row, so memory stays that of the page's printed
// lines.  PNG is 1-bit greyscale (when built with libpng); PBM is the
// binary (P4) form.
bool WritePageImage(const JobSettings& settings, const Page& page, ImageFormat format,
                    const std::string& path, std::string* why);

}  // namespace tamsel

#endif  // TAMSEL_TOOLS_PAGE_IMAGE_H
