// One support library for the tests: rasters written with libcups, PPDs
// from text, programs spawned as the spooler spawns them, printer streams
// read back, and in-process capture of standard output.

#ifndef TAMSEL_TESTS_SUPPORT_H
#define TAMSEL_TESTS_SUPPORT_H

#include "tamsel_stream.h"

#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
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
// On a 2 x 10 point paper off the table: 16 x 83 dots, no left margin, and
// a top margin of ((83 - height) >> 4) * 3 lines.
RasterPage SmallPage(unsigned width, unsigned height);

// Writes pages with libcups in the given mode.  With raw = true (only for
// CUPS_RASTER_WRITE and CUPS_RASTER_WRITE_COMPRESSED) the sync word, header
// and line bytes are written as they are, so that any header can be
// followed by any data.
void WriteRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE, bool raw = false);

Bytes ReadFile(const std::string& path);
std::string Slurp(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& text);

// A PPD with PrintDensity 1-5 (default 3) and PaperWeight 1-3 (default 1),
// or with the given option lines instead.
std::string TestPpd();
std::string TestPpd(const std::string& options);

// Starts a program with the test's environment plus env (VAR=value entries
// replace the test's, a bare VAR removes it), standard input from in_path ("" is /dev/null) or
// in_fd, and standard output and error to out_fd and err_fd (-1: inherit).
// SIGPIPE and SIGTERM are reset to their defaults in the child.
struct SpawnOptions {
  std::vector<std::string> env;
  std::string in_path;
  int in_fd = -1, out_fd = -1, err_fd = -1;
};
pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});

struct Exit {
  int status = -1;  // exit status, or -1 if killed
  int signal = 0;   // terminating signal
};
Exit Wait(pid_t pid);

// Runs a shell command, standard error folded into the output.
struct Command {
  int status;
  std::string out;
};
Command Sh(const std::string& cmd);
bool Have(const std::string& program);

struct FilterRun : Exit {
  Bytes out;             // standard output
  std::string err;       // standard error
  long max_rss_kib = 0;  // peak resident set size of the child
};

// Runs the built filter as the spooler does: the arguments (argv[0] added),
// PPD in the environment (unset when ppd is empty), stdin from stdin_path.
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

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected);

// Captures what this process writes to standard output, unbuffered so that
// each fwrite is one write.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture() { Stop(); }
  std::size_t Size() const;  // bytes written so far
  Bytes Stop();              // restores stdout, returns everything written

 private:
  TempDir dir_;
  int saved_ = -1;
  Bytes data_;
};

// Fraction of black pixels in a rectangle of a decoded page, in dots.
double Ink(const Page& page, unsigned x0, unsigned y0, unsigned x1, unsigned y1);
inline unsigned Dots(double points) { return static_cast<unsigned>(points * 600 / 72); }

// Two A5 pages: a black box near the top left on the first, near the bottom
// right on the second; large against the printer's centring.
extern const char* const kTwoPagePs;
void ExpectBoxes(const DecodedJob& job);

template <typename F>
bool WaitFor(F ready, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ready();
}

}  // namespace tamsel::test

#endif  // TAMSEL_TESTS_SUPPORT_H
