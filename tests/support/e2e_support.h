// Helpers for the end-to-end tests: shell commands, decoded jobs, and
// where a decoded page has ink.

#ifndef TAMSEL_TESTS_E2E_SUPPORT_H
#define TAMSEL_TESTS_E2E_SUPPORT_H

#include "tamsel_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tamsel::test {

struct Command {
  int status;
  std::string out;
};

inline Command Sh(const std::string& cmd) {
  Command c{-1, {}};
  std::FILE* p = popen(("{ " + cmd + " ; } 2>&1").c_str(), "r");
  if (!p) return c;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) c.out.append(buf, n);
  int status = pclose(p);
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

inline bool Have(const std::string& program) {
  return Sh("command -v " + program + " >/dev/null").status == 0;
}

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

using Job = DecodedJob;

inline Job DecodeFile(const std::string& path) { return DecodeJob(ReadFile(path)); }

// Fraction of black pixels in a rectangle of the page, in printer dots.
inline double Ink(const Page& page, unsigned x0, unsigned y0, unsigned x1, unsigned y1) {
  std::size_t black = 0, total = 0;
  for (unsigned y = y0; y < y1; ++y) {
    auto it = page.printed.find(y);
    for (unsigned x = x0; x < x1; ++x, ++total) {
      if (it == page.printed.end() || x / 8 >= it->second.size()) continue;
      if (!(it->second[x / 8] & (0x80 >> (x % 8)))) ++black;
    }
  }
  return total ? static_cast<double>(black) / total : 0;
}

inline unsigned Dots(double points) { return static_cast<unsigned>(points * 600 / 72); }

// Two A5 pages: a black box near the top left on the first, near the bottom
// right on the second.  Boxes are large against the few millimetres that
// the printer's centring moves the image.
inline const char* kTwoPagePs =
    "%!PS\n<< /PageSize [420 595] >> setpagedevice\n"
    "/box { newpath moveto 150 0 rlineto 0 150 rlineto -150 0 rlineto closepath fill } def\n"
    "60 385 box showpage\n"
    "210 60 box showpage\n";

// Page 1's box spans 60..210 pt across and 60..210 pt down from the top.
inline void ExpectBoxes(const Job& job) {
  ASSERT_EQ(job.pages.size(), 2u);
  const unsigned a = Dots(100), b = Dots(170), c = Dots(250), d = Dots(320);
  const unsigned down_top = Dots(100), down_bottom_a = Dots(595 - 170), down_bottom_b = Dots(595 - 100);
  EXPECT_GT(Ink(job.pages[0], a, down_top, b, Dots(170)), 0.95) << "box missing on page 1";
  EXPECT_LT(Ink(job.pages[0], c, down_bottom_a, d, down_bottom_b), 0.01) << "ink where page 1 is white";
  EXPECT_GT(Ink(job.pages[1], c, down_bottom_a, d, down_bottom_b), 0.95) << "box missing on page 2";
  EXPECT_LT(Ink(job.pages[1], a, down_top, b, Dots(170)), 0.01) << "ink where page 2 is white";
}

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

#endif  // TAMSEL_TESTS_E2E_SUPPORT_H
