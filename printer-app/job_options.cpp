//
// IPP options to rastertotamsel's page header and PPD options.
//

#include "job_options.h"

#include <cmath>
#include <cstring>

namespace tamsel {

const Media kMedia[] = {
  { "iso_a4_210x297mm",   { 595, 842 } },
  { "iso_a5_148x210mm",   { 420, 595 } },
  { "iso_b5_176x250mm",   { 498, 708 } },
  { "na_letter_8.5x11in", { 612, 792 } },
  { "na_legal_8.5x14in",  { 612, 1008 } },
  // IPP has no name for A5 across; the PPD's A5Rotated.
  { "om_a5-landscape_210x148mm", { 595, 420 } }
};
const size_t kNumMedia = sizeof(kMedia) / sizeof(kMedia[0]);

const char * const kMediaTypes[3] = { "stationery", "stationery-heavyweight", "cardstock" };

int DensityFor(int darkness_configured, int print_darkness, ipp_quality_t quality)
{
  int darkness = darkness_configured + print_darkness;

  if (quality == IPP_QUALITY_DRAFT)
    darkness -= 25;
  else if (quality == IPP_QUALITY_HIGH)
    darkness += 25;

  if (darkness < 0)
    darkness = 0;
  if (darkness > 100)
    darkness = 100;
  return (1 + (darkness * 4 + 50) / 100);
}

int PaperWeightFor(const char *media_type)
{
  for (int i = 0; i < 3; i ++)
    if (media_type && !strcmp(media_type, kMediaTypes[i]))
      return (i + 1);
  return (1);
}

std::string FilterOptions(int density, int paper_weight)
{
  return ("PrintDensity=" + std::to_string(density) + " PaperWeight=" + std::to_string(paper_weight));
}

cups_page_header2_t FilterHeader(const char *size_name, int width_hmm, int length_hmm,
                                 unsigned width, unsigned height)
{
  cups_page_header2_t h;

  memset(&h, 0, sizeof(h));
  strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0]  = h.HWResolution[1] = 600;
  h.NumCopies        = 1;
  h.cupsWidth        = width;
  h.cupsHeight       = height;
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = (width + 7) / 8;
  h.cupsColorOrder   = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace   = CUPS_CSPACE_W;
  h.cupsNumColors    = 1;

  for (size_t i = 0; i < kNumMedia; i ++)
    if (size_name && !strcmp(size_name, kMedia[i].pwg))
    {
      h.PageSize[0]     = kMedia[i].points[0];
      h.PageSize[1]     = kMedia[i].points[1];
      h.cupsPageSize[0] = (float)kMedia[i].points[0];
      h.cupsPageSize[1] = (float)kMedia[i].points[1];
      return (h);
    }

  h.cupsPageSize[0] = width_hmm * 72.0f / 2540.0f;
  h.cupsPageSize[1] = length_hmm * 72.0f / 2540.0f;
  h.PageSize[0]     = (unsigned)lroundf(h.cupsPageSize[0]);
  h.PageSize[1]     = (unsigned)lroundf(h.cupsPageSize[1]);
  return (h);
}

bool DeviceUriAllowed(const char *uri)
{
  static const char * const schemes[] = { "socket://", "usb://", "dnssd://", "snmp://" };

  if (!uri)
    return (false);
  for (const char *scheme : schemes)
    if (!strncmp(uri, scheme, strlen(scheme)) && uri[strlen(scheme)])
      return (true);
  return (false);
}

}  // namespace tamsel
