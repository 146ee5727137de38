// make-raster KIND FILE
//
// Writes a CUPS raster file for the end-to-end tests:
//   text     one A4 page at 600 dpi with a few black bars
//   hostile  a page whose line length is far smaller than its width needs

#include "test_support.h"

#include <cstdio>
#include <cstring>

using namespace tamsel::test;

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-raster text|hostile FILE\n");
    return 2;
  }
  if (!std::strcmp(argv[1], "text")) {
    RasterPage page = WhitePage(4758, 6817);
    for (unsigned y = 300; y < 6817; y += 200)
      for (unsigned x = 50; x < 400; ++x) page.lines[y][x] = 0x00;
    WriteRaster(argv[2], {page});
  } else if (!std::strcmp(argv[1], "hostile")) {
    RasterPage page = WhitePage(16, 4);
    page.header.cupsWidth = 4000;
    page.header.cupsBytesPerLine = 8;
    page.lines.assign(4, Bytes(8, 0x00));
    WriteRaster(argv[2], {page}, CUPS_RASTER_WRITE, true);
  } else {
    return 2;
  }
  return 0;
}
