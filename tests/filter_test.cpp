// The whole filter, run as the spooler runs it: arguments, PPD in the
// environment, raster on standard input or as a file, bytes compared exactly.

#include "expected_stream.h"
#include "tamsel_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tamsel::test {
namespace {

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  std::size_t n = std::min(actual.size(), expected.size());
  for (std::size_t i = 0; i < n; ++i)
    if (actual[i] != expected[i])
      return ::testing::AssertionFailure()
             << "first difference at offset " << i << ": got " << int(actual[i]) << ", expected "
             << int(expected[i]) << " (sizes " << actual.size() << " and " << expected.size()
             << ")";
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected "
                                         << expected.size();
  return ::testing::AssertionSuccess();
}

StreamSummary Decode(const Bytes& out) {
  DecodedJob job = DecodeJob(out);
  EXPECT_FALSE(job.error) << job.error->Message();
  return job.summary;
}

class Filter : public ::testing::Test {
 protected:
  void SetUp() override {
    ppd_ = dir_.File("tamsel.ppd");
    WriteFile(ppd_, TestPpd());
  }
  FilterRun Run(const std::vector<RasterPage>& pages, const std::string& options = "",
                cups_mode_t mode = CUPS_RASTER_WRITE, bool raw = false) {
    std::string ras = dir_.File("job.ras");
    WriteRaster(ras, pages, mode, raw);
    return RunFilter(FilterArgs(options), ppd_, ras);
  }
  static Bytes Preamble() { return ExpectedStream().Preamble().bytes(); }

  TempDir dir_;
  std::string ppd_;
};

// A small page off the paper table: 2 x 10 points is 16 x 83 dots, which
// gives no left margin and a top margin of ((83 - height) >> 4) * 3 lines.
RasterPage SmallPage(unsigned width, unsigned height) {
  RasterPage p = WhitePage(width, height, 2, 10);
  p.header.cupsPageSize[0] = 2;
  p.header.cupsPageSize[1] = 10;
  return p;
}

TEST_F(Filter, EmptyStreamSendsOnlyThePreamble) {
  FilterRun run = RunFilter(FilterArgs(), ppd_);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(SameBytes(run.out, Preamble()));
  EXPECT_TRUE(run.err.empty());
}

TEST_F(Filter, RoadOfOneJob) {
  RasterPage page = SmallPage(13, 4);
  page.lines[1] = {0x12, 0x30};
  page.lines[2] = {0x00, 0x00};
  // Line 4's only ink lies beyond pixel 13: it is white.
  page.lines[3] = {0xFF, 0xF8};
  FilterRun run = Run({page});
  EXPECT_EQ(run.status, 0);
  const int top = ((83 - 4) >> 4) * 3;
  Bytes expected = ExpectedStream()
                       .Preamble()
                       .Settings(1, 3, 16, 83)
                       .StartPage()
                       .Blank(top + 1)
                       .Record({0x01, 0xED, 0xC8, 0xFF, 0x00})  // pad bits forced white
                       .Record({0x01, 0xFF, 0xF8, 0xFF, 0x00})
                       .Blank(1)
                       .EndPage()
                       .bytes();
  EXPECT_TRUE(SameBytes(run.out, expected));
  EXPECT_EQ(run.out.size(), 1036u + 43 + 9 + 5 * (top + 1) + 11 + 11 + 5 + 3);
}

TEST_F(Filter, PlainA4SettingsBlock) {
  WriteFile(ppd_, TestPpd(""));
  RasterPage page = WhitePage(4936, 1);  // A4, no margins to the side
  FilterRun run = Run({page});
  EXPECT_EQ(run.status, 0);
  const Bytes block = {0x1C, 0x16, 0x01, 0x42, 0x11, 0x1C, 0x16, 0x02, 0x42, 0x12, 0x1C,
                       0x16, 0x03, 0x42, 0x10, 0x1B, 0x26, 0x41, 0x01, 0x00, 0x01, 0x1B,
                       0x78, 0x60, 0x13, 0x1B, 0x79, 0x68, 0x1B, 0x1B, 0x26, 0x41, 0x03,
                       0x00, 0x00, 0x00, 0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25};
  ASSERT_GE(run.out.size(), 1036u + 43u);
  EXPECT_EQ(Bytes(run.out.begin() + 1036, run.out.begin() + 1036 + 43), block);
}

TEST_F(Filter, JobOptionsReachTheSettingsBlock) {
  FilterRun run = Run({SmallPage(8, 1)}, "PrintDensity=5 PaperWeight=2");
  EXPECT_EQ(run.status, 0);
  StreamSummary s = Decode(run.out);
  EXPECT_EQ(s.settings.density, 5);
  EXPECT_EQ(s.settings.paper_weight, 2);
}

TEST_F(Filter, WhitePageIsOnlyBlankLines) {
  FilterRun run = Run({SmallPage(20, 30)});
  EXPECT_EQ(run.status, 0);
  const int top = ((83 - 30) >> 4) * 3;
  Bytes expected =
      ExpectedStream().Preamble().Settings(1, 3, 16, 83).StartPage().Blank(top + 30).EndPage().bytes();
  EXPECT_TRUE(SameBytes(run.out, expected));
}

TEST_F(Filter, MarginsOffsetEveryLine) {
  // A4 with a raster 4760 x 6816: 5 margin bytes, 36 top lines.
  RasterPage page = WhitePage(4760, 3);
  page.header.cupsHeight = 6816;
  page.lines[0][0] = 0x00;
  FilterRun run = Run({page});
  EXPECT_EQ(run.status, 0);  // the stream ends early: the page is closed
  Bytes expected = ExpectedStream()
                       .Preamble()
                       .Settings(1, 3, 4960, 7016)
                       .StartPage()
                       .Blank(36)
                       .Record({0xFC, 0x00, 0x00, 0xFF, 0x81, 0x00, 0x81, 0x00, 0x81, 0x00,
                                0x81, 0x00, 0xAF, 0x00, 0xFF, 0x00})
                       .Blank(2)
                       .EndPage()
                       .bytes();
  EXPECT_TRUE(SameBytes(run.out, expected));
}

TEST_F(Filter, StreamEndingMidPageClosesThePage) {
  RasterPage page = SmallPage(16, 10);
  page.lines.resize(3);
  page.lines[2] = {0x0F, 0xF0};
  FilterRun run = Run({page});
  EXPECT_EQ(run.status, 0);
  const int top = ((83 - 10) >> 4) * 3;
  Bytes expected = ExpectedStream()
                       .Preamble()
                       .Settings(1, 3, 16, 83)
                       .StartPage()
                       .Blank(top + 2)
                       .Record({0x01, 0xF0, 0x0F, 0xFF, 0x00})
                       .EndPage()
                       .bytes();
  EXPECT_TRUE(SameBytes(run.out, expected));
}

TEST_F(Filter, LineCutShortEndsThePage) {
  RasterPage page = SmallPage(16, 2);
  page.lines[1] = {0x00};  // half a line, then the end of the stream
  FilterRun run = Run({page}, "", CUPS_RASTER_WRITE, true);
  EXPECT_EQ(run.status, 0);
  StreamSummary s = Decode(run.out);
  ASSERT_EQ(s.pages.size(), 1u);
  EXPECT_EQ(s.pages[0].records, 0u);
}

TEST_F(Filter, SecondPageKeepsTheFirstPagesSettings) {
  RasterPage first = SmallPage(16, 2);
  first.lines[0] = {0x00, 0x00};
  RasterPage second = WhitePage(4760, 2);  // A4 would give margins of its own
  second.header.NumCopies = 5;
  second.lines[1] = Bytes(595, 0xFF);
  second.lines[1][594] = 0x7F;
  FilterRun run = Run({first, second});
  EXPECT_EQ(run.status, 0);
  const int top = ((83 - 2) >> 4) * 3;
  Bytes expected = ExpectedStream()
                       .Preamble()
                       .Settings(1, 3, 16, 83)
                       .StartPage()
                       .Blank(top)
                       .Record({0x01, 0xFF, 0xFF, 0xFF, 0x00})
                       .Blank(1)
                       .EndPage()
                       .StartPage()
                       .Blank(top + 1)
                       .Record({0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0xAF, 0x00,
                                0x00, 0x80, 0xFF, 0x00})
                       .EndPage()
                       .bytes();
  EXPECT_TRUE(SameBytes(run.out, expected));
}

TEST_F(Filter, ReadsAllThreeRasterFormats) {
  RasterPage page = SmallPage(50, 40);
  for (unsigned y = 0; y < 40; y += 3)
    for (unsigned x = 0; x < 7; ++x) page.lines[y][x] = static_cast<std::uint8_t>(y * 31 + x * 17);
  FilterRun plain = Run({page, page}, "", CUPS_RASTER_WRITE);
  FilterRun compressed = Run({page, page}, "", CUPS_RASTER_WRITE_COMPRESSED);
  FilterRun pwg = Run({page, page}, "", CUPS_RASTER_WRITE_PWG);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(Decode(plain.out).pages.size(), 2u);
  EXPECT_TRUE(SameBytes(compressed.out, plain.out));
  EXPECT_EQ(pwg.status, 0);
  // PWG raster carries no cupsPageSize, so only the paper size may differ.
  StreamSummary s = Decode(pwg.out);
  EXPECT_EQ(s.pages.size(), 2u);
  EXPECT_EQ(s.pages[0].records, Decode(plain.out).pages[0].records);
}

TEST_F(Filter, RasterFileArgumentGivesTheSameStream) {
  RasterPage page = SmallPage(16, 3);
  page.lines[1] = {0x01, 0x02};
  std::string ras = dir_.File("named.ras");
  WriteRaster(ras, {page});
  FilterRun from_file = RunFilter(FilterArgs("", ras), ppd_);
  FilterRun from_stdin = RunFilter(FilterArgs(), ppd_, ras);
  EXPECT_EQ(from_file.status, 0);
  EXPECT_TRUE(SameBytes(from_file.out, from_stdin.out));
}

TEST_F(Filter, CommandLineAndPpdErrorsLeaveOutputEmpty) {
  std::string ras = dir_.File("job.ras");
  WriteRaster(ras, {SmallPage(8, 1)});
  struct {
    const char* what;
    std::vector<std::string> args;
    std::string ppd;
  } cases[] = {
      {"four arguments", {"1", "user", "title", "1"}, ppd_},
      {"seven arguments", {"1", "user", "title", "1", "", ras, "extra"}, ppd_},
      {"missing raster file", FilterArgs("", dir_.File("missing.ras")), ppd_},
      {"PPD unset", FilterArgs(), ""},
      {"PPD missing", FilterArgs(), dir_.File("missing.ppd")},
  };
  for (const auto& c : cases) {
    FilterRun run = RunFilter(c.args, c.ppd, ras);
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_TRUE(run.out.empty()) << c.what;
    EXPECT_TRUE(run.err.empty()) << c.what;
  }
}

// Headers that libcups hands over but that would overrun the page buffers
// or the record format.  Each ends the usable input: the pages before it are
// complete, nothing of it is sent, and the job fails.
struct HostileHeader {
  const char* name;
  unsigned width, bytes_per_line;
  std::size_t data_bytes;
};

void PrintTo(const HostileHeader& h, std::ostream* os) { *os << h.name; }

class FilterHostileHeader : public Filter, public ::testing::WithParamInterface<HostileHeader> {};

TEST_P(FilterHostileHeader, EndsTheJobAfterTheGoodPages) {
  const HostileHeader& h = GetParam();
  RasterPage good = SmallPage(16, 2);
  good.lines[0] = {0x00, 0x00};
  RasterPage bad = SmallPage(16, 2);
  bad.header.cupsWidth = h.width;
  bad.header.cupsBytesPerLine = h.bytes_per_line;
  bad.lines = {Bytes(h.data_bytes, 0x00)};

  FilterRun alone = Run({bad}, "", CUPS_RASTER_WRITE, true);
  EXPECT_EQ(alone.status, 1);
  EXPECT_TRUE(SameBytes(alone.out, Preamble())) << "no settings block for a bad first page";
  EXPECT_LT(alone.max_rss_kib, 64 * 1024);

  FilterRun after = Run({good, bad}, "", CUPS_RASTER_WRITE, true);
  FilterRun good_only = Run({good});
  EXPECT_EQ(after.status, 1);
  EXPECT_TRUE(SameBytes(after.out, good_only.out));
  EXPECT_LT(after.max_rss_kib, 64 * 1024);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FilterHostileHeader,
    ::testing::Values(HostileHeader{"BytesPerLineTooSmall", 4000, 8, 64},
                      HostileHeader{"BytesPerLineOneGiB", 16, 1u << 30, 4096},
                      HostileHeader{"WidthZero", 0, 2, 4},
                      HostileHeader{"WidthAllOnes", 0xFFFFFFFFu, 2, 4},
                      HostileHeader{"LineTooWideForARecord", 560000, 70000, 70000},
                      HostileHeader{"SizesOverflow32Bits", 16, 0x7FFFFFFFu, 16}),
    [](const auto& info) { return info.param.name; });

TEST_F(Filter, WideLinesTravelWholeThroughTheStagingBuffer) {
  // 6,000 bytes without runs: a payload of 6,049 bytes, above one append.
  RasterPage page = SmallPage(48000, 3);
  for (unsigned y = 0; y < 3; ++y)
    for (std::size_t x = 0; x < page.lines[y].size(); ++x)
      page.lines[y][x] = static_cast<std::uint8_t>(x % 2 ? 0x55 : 0xAA);
  FilterRun run = Run({page});
  EXPECT_EQ(run.status, 0);
  StreamSummary s = Decode(run.out);
  ASSERT_EQ(s.pages.size(), 1u);
  EXPECT_EQ(s.pages[0].records, 3u);
  EXPECT_EQ(s.pages[0].payload_bytes, 3u * (6000 + 47 + 2));
}

TEST_F(Filter, MemoryIsFlatInTheNumberOfPages) {
  // A4 at 600 dpi with a little ink on every tenth line.
  RasterPage page = WhitePage(4960, 7016);
  for (unsigned y = 0; y < 7016; y += 10)
    for (unsigned x = 100; x < 500; x += 3) page.lines[y][x] = 0x00;
  FilterRun one = Run({page}, "", CUPS_RASTER_WRITE_COMPRESSED);
  FilterRun many = Run(std::vector<RasterPage>(12, page), "", CUPS_RASTER_WRITE_COMPRESSED);
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(many.status, 0);
  EXPECT_EQ(Decode(many.out).pages.size(), 12u);
  EXPECT_LT(many.max_rss_kib, one.max_rss_kib + 1024) << "peak RSS grew with the page count";
}

}  // namespace
}  // namespace tamsel::test
