//
// PWG and Apple raster documents that were spooled because the printer was
// busy when they came: read back with libcups, brought to the printer's
// 1-bit page and written to the filter.
//

#include "spooled_jobs.h"

#include "filter_pipeline.h"
#include "job_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace tamsel {
namespace {

// Client lines this long or longer are refused: the printer's widest paper
// is 5,100 dots, and no reader should size buffers from a client's number.
const unsigned kMaxClientBytesPerLine = 1u << 20;

// Refuses what cannot be printed in monochrome, at the printer's
// resolution, or would size buffers from the client's numbers.
const char *UnusableHeader(const cups_page_header2_t &h)
{
  if (h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsColorOrder != CUPS_ORDER_CHUNKED ||
      (h.cupsBitsPerPixel != 1 && h.cupsBitsPerPixel != 8) || h.cupsBitsPerColor != h.cupsBitsPerPixel)
    return ("Only 1-bit and 8-bit grey raster can be printed.");
  // At another resolution the page would print at the wrong size.
  if (h.HWResolution[0] != 600 || h.HWResolution[1] != 600)
    return ("Only 600-dpi raster can be printed.");
  if (h.cupsBytesPerLine >= kMaxClientBytesPerLine ||
      h.cupsBytesPerLine != ((unsigned long long)h.cupsWidth * h.cupsBitsPerPixel + 7) / 8)
    return ("The raster's line length does not match its width.");
  return (nullptr);
}

// One client line to the filter's polarity (set bit white), cut or padded
// to the printer's line.  8-bit grey is dithered with the job's matrix.
void ConvertLine(const cups_page_header2_t &in, const unsigned char *pixels, unsigned y,
                 const pappl_pr_options_t *options, std::vector<unsigned char> *out)
{
  unsigned	width = in.cupsWidth < out->size() * 8 ? in.cupsWidth : (unsigned)out->size() * 8;
  // In black (K) a value is ink and zero is white; in grey zero is black.
  bool		zero_white = in.cupsColorSpace == CUPS_CSPACE_K;

  std::fill(out->begin(), out->end(), 0xff);
  if (in.cupsBitsPerPixel == 1)
  {
    for (unsigned i = 0; i < (width + 7) / 8; i ++)
      (*out)[i] = zero_white ? (unsigned char)~pixels[i] : pixels[i];
    if (width % 8)
      (*out)[width / 8] |= (unsigned char)(0xff >> (width % 8));
    return;
  }

  const unsigned char *dither = options->dither[y & 15];

  for (unsigned x = 0; x < width; x ++)
  {
    bool black = zero_white ? pixels[x] > dither[x & 15] : pixels[x] <= dither[x & 15];

    if (black)
      (*out)[x / 8] &= (unsigned char)~(0x80 >> (x % 8));
  }
}

// One copy of a spooled raster.
bool RasterCopy(pappl_job_t *job, const char *filename, const pappl_pr_options_t *options,
                FilterPipeline *pipeline)
{
  cups_page_header2_t	page = FilterHeader(options->media.size_name, options->media.size_width,
                                            options->media.size_length, options->header.cupsWidth,
                                            options->header.cupsHeight);
  std::vector<unsigned char> pixels, line(page.cupsBytesPerLine);
  int			fd = open(filename, O_RDONLY | O_CLOEXEC);
  cups_raster_t		*in = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
  cups_page_header2_t	h;
  int			pages = 0;
  bool			ok = in != nullptr;

  if (!in)
    pipeline->Fail(std::string("Unable to read the spooled raster: ") + strerror(errno));

  while (ok && cupsRasterReadHeader2(in, &h))
  {
    if (const char *problem = UnusableHeader(h))
    {
      pipeline->Fail(problem);
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
      ok = false;
      break;
    }

    pixels.resize(h.cupsBytesPerLine);
    ok = pipeline->StartPage(page);

    // The printer's page: client lines beyond it are read and dropped, a
    // client page that ends early is filled with white.
    unsigned y = 0;

    for (; ok && y < h.cupsHeight && cupsRasterReadPixels(in, pixels.data(), h.cupsBytesPerLine); y ++)
    {
      if (y >= page.cupsHeight)
        continue;
      ConvertLine(h, pixels.data(), y, options, &line);
      ok = pipeline->WriteLine(line.data(), line.size());
    }
    std::fill(line.begin(), line.end(), 0xff);
    for (unsigned blank = y < page.cupsHeight ? y : page.cupsHeight; ok && blank < page.cupsHeight; blank ++)
      ok = pipeline->WriteLine(line.data(), line.size());
    if (ok)
      pages ++;
    if (y < h.cupsHeight)
      break;				// the data ended inside the page
  }
  if (in)
    cupsRasterClose(in);
  if (fd >= 0)
    close(fd);
  if (ok && pages == 0)
  {
    pipeline->Fail("The raster has no pages.");
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    ok = false;
  }
  return (ok);
}

}  // namespace

bool PrintRasterFile(pappl_job_t *job, pappl_device_t *device, void *)
{
  return (PrintCopies(job, device, RasterCopy));
}

}  // namespace tamsel
