// read-floor [--blocks] [FILE]
//
// The floor a raster filter is measured against: opens the raster stream
// with libcups and reads every line of every page into a buffer, doing
// nothing else.  libcups reads an uncompressed stream with one read(2) per
// line, as a classic filter does; with --blocks it is served through the
// filter's own 64 KB reads instead.

#include "rastertotamsel.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

int main(int argc, char* argv[]) {
  bool blocks = argc > 1 && !strcmp(argv[1], "--blocks");
  if (blocks) --argc, ++argv;
  int fd = argc > 1 ? open(argv[1], O_RDONLY) : 0;
  if (fd < 0) return 1;
  cups_raster_t* ras = blocks ? cupsRasterOpenIO(ReadRaster, &fd, CUPS_RASTER_READ)
                              : cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  std::vector<unsigned char> line;
  unsigned long sum = 0;
  while (cupsRasterReadHeader2(ras, &header)) {
    line.resize(header.cupsBytesPerLine + 1);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
      if (!cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine)) break;
      sum += line[0];
    }
  }
  cupsRasterClose(ras);
  return sum == 0xFFFFFFFFFFFFull ? 2 : 0;  // keeps the reads from being dropped
}
