// make-raster seed-v1|seed-v2|seed-v3|seed-pwg FILE
//
// Writes two small pages with runs, literals and white lines in each raster
// format libcups reads, as seeds for the fuzzers' corpus.

#include "test_support.h"

#include <cstdio>
#include <cstring>

using namespace tamsel::test;

int main(int argc, char* argv[]) {
  if (argc != 3 || std::strncmp(argv[1], "seed-", 5) != 0) {
    std::fprintf(stderr, "usage: make-raster seed-v1|seed-v2|seed-v3|seed-pwg FILE\n");
    return 2;
  }
  RasterPage a = WhitePage(61, 9, 10, 12);
  for (unsigned y = 1; y < 9; y += 2)
    for (unsigned x = 0; x < 8; ++x) a.lines[y][x] = static_cast<std::uint8_t>(x < 4 ? 0 : y * 37 + x);
  RasterPage b = a;
  b.header.NumCopies = 3;
  b.lines[0][0] = 0x7F;
  const std::string kind = argv[1] + 5;
  WriteRaster(argv[2], {a, b},
              kind == "v2" ? CUPS_RASTER_WRITE_COMPRESSED
                           : kind == "pwg" ? CUPS_RASTER_WRITE_PWG : CUPS_RASTER_WRITE);
  if (kind == "v1") {
    // libcups writes no version 1 stream; relabelled, the same bytes are
    // read with the shorter version 1 header, which is what a seed needs.
    Bytes data = ReadFile(argv[2]);
    data[0] = 't';
    WriteFile(argv[2], data);
  }
  return 0;
}
