// make-raster KIND FILE
//
// Writes a CUPS raster file for the end-to-end tests:
//   text     one A4 page at 600 dpi with a few black bars
//   hostile  a page whose line length is far smaller than its width needs
//   seed-v1 / seed-v2 / seed-v3 / seed-pwg
//            two small pages with runs, literals and white lines, for the
//            fuzzers' corpus, with each sync word libcups writes

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
  } else if (!std::strncmp(argv[1], "seed-", 5)) {
    RasterPage a = WhitePage(61, 9, 10, 12);
    a.header.cupsPageSize[0] = 10;
    a.header.cupsPageSize[1] = 12;
    for (unsigned y = 1; y < 9; y += 2)
      for (unsigned x = 0; x < 8; ++x) a.lines[y][x] = static_cast<std::uint8_t>(x < 4 ? 0 : y * 37 + x);
    RasterPage b = a;
    b.header.NumCopies = 3;
    b.lines[0][0] = 0x7F;
    const std::string kind = argv[1] + 5;
    cups_mode_t mode = kind == "v2"    ? CUPS_RASTER_WRITE_COMPRESSED
                       : kind == "pwg" ? CUPS_RASTER_WRITE_PWG
                                       : CUPS_RASTER_WRITE;
    WriteRaster(argv[2], {a, b}, mode);
    if (kind == "v1") {
      // libcups writes no version 1 stream; relabelled, the same bytes are
      // read with the shorter version 1 header, which is what a seed needs.
      Bytes data = ReadFile(argv[2]);
      data[0] = 't';
      WriteFile(argv[2], data);
    }
  } else {
    return 2;
  }
  return 0;
}
