// Helpers for the tests: raster files written with libcups, PPD files from
// text, and the built filter run as the spooler runs it.

#ifndef TAMSEL_TESTS_SUPPORT_H
#define TAMSEL_TESTS_SUPPORT_H

#include "tamsel_stream.h"

#include <cups/raster.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamsel::test {

using Bytes = std::vector<std::uint8_t>;

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A 1-bit, set-bit-white page header of the kind the driver's PPD produces.
cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned page_w_pt = 595,
                               unsigned page_l_pt = 842);

struct RasterPage {
  cups_page_header2_t header;
  std::vector<Bytes> lines;  // each cupsBytesPerLine long (unless raw)
};

// All lines white (0xFF).
RasterPage WhitePage(unsigned width, unsigned height, unsigned page_w_pt = 595,
                     unsigned page_l_pt = 842);

// Writes pages with libcups in the given mode.  With raw = true (only for
// CUPS_RASTER_WRITE) the line bytes are written as they are, after the
// header, so that hostile headers can be followed by any data.
void WriteRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE, bool raw = false);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& text);

// PrintDensity 1-5 (default 3) and PaperWeight 1-3 (default 1) as UI options.
std::string DefaultPpdOptions();
// A PPD whose options are the given PPD lines.
std::string TestPpd(const std::string& options = DefaultPpdOptions());

struct FilterRun {
  int status = -1;         // exit status, or -1 if killed
  int signal = 0;          // terminating signal
  Bytes out;               // standard output
  std::string err;         // standard error
  long max_rss_kib = 0;    // peak resident set size of the child
  double seconds = 0;      // wall time, for reporting only
};

// Runs the built filter with the given arguments (argv[0] is added), PPD in
// the environment (unset when ppd is empty), and stdin from stdin_path (or
// /dev/null).
FilterRun RunFilter(const std::vector<std::string>& args, const std::string& ppd,
                    const std::string& stdin_path = "");

// The standard spooler command line: job-id user title copies options [file].
std::vector<std::string> FilterArgs(const std::string& options = "", const std::string& file = "");

// A printer stream read back with the stream reader, every page kept.
struct DecodedJob {
  std::optional<StreamError> error;
  StreamSummary summary;
  std::vector<Page> pages;
};
DecodedJob DecodeJob(const Bytes& stream);

std::string FilterPath();
std::string DecoderPath();

}  // namespace tamsel::test

#endif  // TAMSEL_TESTS_SUPPORT_H
