// The printer application's pure parts: IPP options to the filter's page
// header and options, device URIs, and the child processes it owns.

#include "child_process.h"
#include "job_options.h"
#include "page_ends.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tamsel {
namespace {

TEST(AppOptions, DarknessAndMediaTypeBecomeThePpdOptions) {
  // Configured darkness 50 is Normal; the job's print-darkness moves it,
  // clamped to the five levels.
  const ipp_quality_t normal = IPP_QUALITY_NORMAL;
  EXPECT_EQ(FilterOptions(DensityFor(50, 0, normal), PaperWeightFor("stationery")),
            "PrintDensity=3 PaperWeight=1");
  // Draft is a level lighter, high a level darker, within the five.
  const ipp_quality_t draft = IPP_QUALITY_DRAFT, high = IPP_QUALITY_HIGH;
  const struct { int configured, job; ipp_quality_t quality; int density; } cases[] = {
      {50, 50, normal, 5}, {50, -50, normal, 1}, {0, -100, normal, 1}, {100, 100, normal, 5},
      {50, 12, normal, 3}, {50, 13, normal, 4}, {50, 0, draft, 2},     {50, 0, high, 4},
      {0, 0, draft, 1},    {100, 0, high, 5}};
  for (const auto& c : cases)
    EXPECT_EQ(DensityFor(c.configured, c.job, c.quality), c.density) << c.configured << " " << c.job;
  EXPECT_EQ(PaperWeightFor("stationery-heavyweight"), 2);
  EXPECT_EQ(PaperWeightFor("cardstock"), 3);
  EXPECT_EQ(PaperWeightFor("transparency"), 1);
  EXPECT_EQ(PaperWeightFor(nullptr), 1);
}

TEST(AppOptions, HeaderCarriesThePaperTheFilterKnows) {
  cups_page_header2_t h = FilterHeader("iso_b5_176x250mm", 17600, 25000, 4157, 5905);
  EXPECT_EQ(h.PageSize[0], 498u);  // the printer's own B5, not ISO's 499
  EXPECT_EQ(h.PageSize[1], 708u);
  EXPECT_EQ(h.cupsBytesPerLine, 520u);
  EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_W);
  EXPECT_EQ(h.NumCopies, 1u);

  // A size off the table, from hundredths of millimetres.
  h = FilterHeader("custom_100x200mm", 10000, 20000, 2362, 4724);
  EXPECT_EQ(h.PageSize[0], 283u);
  EXPECT_EQ(h.PageSize[1], 567u);
  EXPECT_FLOAT_EQ(h.cupsPageSize[0], 10000 * 72.0f / 2540.0f);
}

TEST(AppOptions, OnlyPrinterDeviceUris) {
  for (const char* uri : {"socket://10.0.0.5", "socket://printer:9100", "usb://Tamsel/Laser?serial=1",
                          "dnssd://Tamsel._pdl-datastream._tcp.local/", "snmp://10.0.0.5"})
    EXPECT_TRUE(DeviceUriAllowed(uri)) << uri;
  const char* const refused[] = {"file:///etc/shadow", "file:/tmp/x", "socket://", "SOCKET://host",
                                 "ipp://host/ipp/print", "", nullptr};
  for (const char* uri : refused)
    EXPECT_FALSE(DeviceUriAllowed(uri)) << (uri ? uri : "(null)");
}

TEST(AppChild, OwnerEndsEvenAChildThatIgnoresSigterm) {
  pid_t pid;
  {
    ChildProcess child;
    ASSERT_EQ(child.Start("/bin/sh", {"sh", "-c", "trap '' TERM; sleep 30"}, {}, -1, -1, -1), 0);
    pid = child.pid();
    EXPECT_FALSE(child.Wait(0.2));
  }
  // Killed and reaped: the pid is no child of ours any more.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);

  ChildProcess failing;
  ASSERT_EQ(failing.Start("/bin/sh", {"sh", "-c", "exit 3"}, {}, -1, -1, -1), 0);
  ASSERT_TRUE(failing.Wait(10));
  EXPECT_EQ(failing.Describe(), "exited with status 3");
  EXPECT_EQ(ChildProcess().Start("/nonexistent", {"x"}, {}, -1, -1, -1), ENOENT);
}

TEST(PageEnds, FindsEveryPageEndOfTheFiltersStreamInAnyChunking) {
  using namespace test;
  // Pages whose line records carry bytes that look like commands: the
  // count must skip payloads, not search for end-of-page bytes.
  TempDir dir;
  std::vector<RasterPage> pages;
  for (int i = 0; i < 3; ++i) {
    RasterPage page = WhitePage(4961, 40);
    for (unsigned y = 5; y < 40; y += 3)
      for (size_t x = 0; x < page.lines[y].size(); ++x)
        page.lines[y][x] = static_cast<unsigned char>(x % 7 ? ~"\x1b$B"[x % 3] : x * y + i);
    pages.push_back(page);
  }
  WriteRaster(dir.File("in.ras"), pages);
  WriteFile(dir.File("tamsel.ppd"), TestPpd());
  FilterRun run = RunFilter(FilterArgs("", dir.File("in.ras")), dir.File("tamsel.ppd"));
  ASSERT_EQ(run.status, 0) << run.err;

  // Each page ends where the next one starts, the last at the stream's end.
  DecodedJob job = DecodeJob(run.out);
  ASSERT_FALSE(job.error) << job.error->Message();
  ASSERT_EQ(job.pages.size(), 3u);
  std::vector<size_t> want = {job.pages[1].offset, job.pages[2].offset, run.out.size()};

  for (size_t chunk : {size_t(1), size_t(7), size_t(4096), run.out.size()}) {
    PageEnds counter;
    std::vector<size_t> ends;
    for (size_t at = 0; at < run.out.size(); at += chunk)
      counter.Feed(run.out.data() + at, std::min(chunk, run.out.size() - at), &ends);
    EXPECT_EQ(ends, want) << "chunks of " << chunk;
  }
}

}  // namespace
}  // namespace tamsel
