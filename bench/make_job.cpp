// make-bench-job KIND PAGES FILE [compressed]
//
// Writes an A4 600-dpi job (4,960 x 7,016 at 1 bit) of PAGES pages of one
// kind (text, dithered, blank) as a CUPS raster file, uncompressed unless
// "compressed" is given.

#include "pages.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make-bench-job text|dithered|blank PAGES FILE [compressed]\n");
    return 2;
  }
  auto kind = tamsel::bench::ParseKind(argv[1]);
  int pages = std::atoi(argv[2]);
  bool compressed = argc > 4 && !std::strcmp(argv[4], "compressed");

  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  h.HWResolution[0] = h.HWResolution[1] = 600;
  h.PageSize[0] = 595;
  h.PageSize[1] = 842;
  h.cupsPageSize[0] = 595;
  h.cupsPageSize[1] = 842;
  h.NumCopies = 1;
  h.cupsWidth = 4960;
  h.cupsHeight = 7016;
  h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = 620;
  h.cupsColorSpace = CUPS_CSPACE_W;
  h.cupsNumColors = 1;

  int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t* ras = cupsRasterOpen(fd, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
  std::vector<std::uint8_t> line(h.cupsBytesPerLine);
  for (int p = 0; p < pages; ++p) {
    cupsRasterWriteHeader2(ras, &h);
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
      tamsel::bench::MakeLine(kind, y, line);
      cupsRasterWritePixels(ras, line.data(), h.cupsBytesPerLine);
    }
  }
  cupsRasterClose(ras);
  close(fd);
  return 0;
}
