//
// What a Tamsel job's IPP options become for rastertotamsel: the page
// header it reads and its PPD options.  Pure functions, so that the
// mapping is tested without a server.
//

#ifndef TAMSEL_PRINTER_APP_JOB_OPTIONS_H
#define TAMSEL_PRINTER_APP_JOB_OPTIONS_H

#include <cups/ipp.h>
#include <cups/raster.h>

#include <cstddef>

#include <string>

namespace tamsel {

// The filter's paper table knows these by their own point sizes.
struct Media {
  const char *pwg;
  unsigned   points[2];
};

extern const Media	kMedia[];
extern const size_t	kNumMedia;

// Media types, in the order of the PaperWeight choices 1 to 3.
extern const char * const kMediaTypes[3];

// PrintDensity 1 to 5 from the printer's configured darkness (0 to 100,
// 50 being Normal) plus the job's print-darkness (-100 to 100), one level
// lighter for print-quality draft (toner saving) and one darker for high:
// print-quality is the one such choice every driverless client offers.
int DensityFor(int darkness_configured, int print_darkness, ipp_quality_t quality);

// PaperWeight 1 to 3 from media-type; anything else is plain paper.
int PaperWeightFor(const char *media_type);

// The filter's command-line options for a job.
std::string FilterOptions(int density, int paper_weight);

// The page header the filter reads: 1 bit, set bit white, 600 dpi, the
// paper size in points its paper table knows (a custom size from
// hundredths of millimetres otherwise), one copy.
cups_page_header2_t FilterHeader(const char *size_name, int width_hmm, int length_hmm,
                                 unsigned width, unsigned height);

// Device URIs that reach a printer.  Anything else (file:, a program) would
// let whoever adds a printer write where the server may write.
bool DeviceUriAllowed(const char *uri);

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_JOB_OPTIONS_H
