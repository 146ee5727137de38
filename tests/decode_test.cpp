// tamsel-decode: random pages through the real filter come back pixel for
// pixel, and every kind of broken stream is caught at its offset.

#include "expected_stream.h"
#include "tamsel_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>

namespace tamsel::test {
namespace {

// A random page: a width that is rarely a multiple of 8, white lines, long
// runs, long stretches without runs, and ink in the pad bits.
RasterPage RandomPage(std::mt19937& rng) {
  unsigned width = std::uniform_int_distribution<unsigned>(1, 5200)(rng);
  unsigned height = std::uniform_int_distribution<unsigned>(1, 120)(rng);
  unsigned pw = std::uniform_int_distribution<unsigned>(50, 700)(rng);
  unsigned pl = std::uniform_int_distribution<unsigned>(50, 900)(rng);
  RasterPage page = WhitePage(width, height, pw, pl);
  for (auto& line : page.lines) {
    int kind = std::uniform_int_distribution<int>(0, 4)(rng);
    if (kind == 0) continue;  // white
    std::size_t x = 0;
    while (x < line.size()) {
      std::size_t run = std::uniform_int_distribution<std::size_t>(1, kind == 1 ? 3 : 300)(rng);
      std::uint8_t b = kind == 4 ? static_cast<std::uint8_t>(rng())
                                 : static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 2)(rng) * 0x7F);
      for (std::size_t i = 0; i < run && x < line.size(); ++i, ++x)
        line[x] = kind == 4 ? static_cast<std::uint8_t>(rng()) : b;
    }
  }
  return page;
}

TEST(DecodeRoundTrip, RandomJobsComeBackPixelForPixel) {
  TempDir dir;
  std::string ppd = dir.File("tamsel.ppd");
  WriteFile(ppd, TestPpd());
  const unsigned seed = 8675309;
  std::mt19937 rng(seed);

  for (int job = 0; job < 12; ++job) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " job " + std::to_string(job));
    std::vector<RasterPage> pages;
    int count = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int i = 0; i < count; ++i) pages.push_back(RandomPage(rng));
    unsigned copies = std::uniform_int_distribution<unsigned>(1, 40)(rng);
    pages[0].header.NumCopies = copies;
    int density = std::uniform_int_distribution<int>(1, 5)(rng);

    std::string ras = dir.File("job.ras");
    WriteRaster(ras, pages, job % 2 ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    FilterRun run = RunFilter(FilterArgs("PrintDensity=" + std::to_string(density)), ppd, ras);
    ASSERT_EQ(run.status, 0);

    DecodedJob result = DecodeJob(run.out);
    ASSERT_FALSE(result.error) << result.error->Message();
    const StreamSummary& s = result.summary;
    const std::vector<Page>& decoded = result.pages;
    EXPECT_EQ(s.settings.density, density);
    EXPECT_EQ(s.settings.copies, copies);
    ASSERT_EQ(decoded.size(), pages.size());

    // The margins follow from the first page and the paper the stream names.
    const auto& first = pages[0].header;
    unsigned image_width = s.settings.width_dots > 24 ? s.settings.width_dots - 24 : 0;
    unsigned left = first.cupsWidth < image_width ? (image_width - first.cupsWidth) >> 5 : 0;
    unsigned top = first.cupsHeight < s.settings.length_dots
                       ? ((s.settings.length_dots - first.cupsHeight) >> 4) * 3
                       : 0;

    for (std::size_t p = 0; p < pages.size(); ++p) {
      const RasterPage& page = pages[p];
      ASSERT_EQ(decoded[p].lines, top + page.header.cupsHeight) << "page " << p;
      for (unsigned y = 0; y < page.header.cupsHeight; ++y) {
        Bytes expected(left, 0xFF);
        expected.insert(expected.end(), page.lines[y].begin(), page.lines[y].end());
        if (page.header.cupsWidth & 7) expected.back() |= 0xFF >> (page.header.cupsWidth & 7);
        bool white = std::all_of(expected.begin(), expected.end(), [](auto b) { return b == 0xFF; });
        auto it = decoded[p].printed.find(top + y);
        if (white) {
          EXPECT_TRUE(it == decoded[p].printed.end()) << "page " << p << " line " << y;
        } else {
          ASSERT_TRUE(it != decoded[p].printed.end()) << "page " << p << " line " << y;
          ASSERT_EQ(it->second, expected) << "page " << p << " line " << y;
        }
      }
    }
  }
}

// A small valid job to break in different ways.
Bytes ValidJob() {
  return ExpectedStream()
      .Preamble()
      .Settings(1, 3, 4960, 7016, 2)
      .StartPage()
      .Blank(2)
      .Record({0x01, 0xED, 0xC8, 0xFF, 0x00})
      .EndPage()
      .bytes();
}

constexpr std::size_t kSettings = 1036;
constexpr std::size_t kPage = kSettings + 43;
constexpr std::size_t kRecord = kPage + 9 + 10;

struct Breakage {
  const char* name;
  Bytes stream;
  std::size_t offset;
  const char* expected_words;
};

void PrintTo(const Breakage& b, std::ostream* os) { *os << b.name; }

Bytes With(Bytes b, std::size_t at, std::uint8_t value) {
  b[at] = value;
  return b;
}
Bytes Cut(Bytes b, std::size_t size) {
  b.resize(size);
  return b;
}
Bytes Append(Bytes b, const Bytes& tail) {
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

class DecodeErrors : public ::testing::TestWithParam<Breakage> {};

TEST_P(DecodeErrors, AreFoundAtTheirOffset) {
  const Breakage& b = GetParam();
  auto err = DecodeJob(b.stream).error;
  ASSERT_TRUE(err) << "not detected";
  EXPECT_EQ(err->offset, b.offset) << err->Message();
  EXPECT_NE(err->Message().find(b.expected_words), std::string::npos) << err->Message();
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DecodeErrors,
    ::testing::Values(
        Breakage{"TruncatedPreamble", Cut(ValidJob(), 700), 700, "1024 zero bytes"},
        Breakage{"BadInit", With(ValidJob(), 1030, 'Y'), 1024, "init command"},
        Breakage{"BadCrc", With(ValidJob(), kSettings + 41, 0x00), kSettings + 41, "CRC"},
        Breakage{"BadRenderType", With(ValidJob(), kSettings + 14, 0x11), kSettings + 10,
                 "render type"},
        Breakage{"MissingEndPage", Cut(ValidJob(), ValidJob().size() - 3), ValidJob().size() - 3,
                 "end of page"},
        Breakage{"LengthOneTooLong", With(ValidJob(), kRecord + 4, 6), kRecord + 6 + 5,
                 "end of payload after FF 00"},
        Breakage{"LengthOneTooShort", With(ValidJob(), kRecord + 4, 4), kRecord + 6 + 4,
                 "end marker"},
        Breakage{"PayloadWithoutEndMarker", With(With(ValidJob(), kRecord + 9, 0xFE), kRecord + 10, 0xAA),
                 kRecord + 6 + 5, "end marker"},
        Breakage{"ControlByte80", With(ValidJob(), kRecord + 6, 0x80), kRecord + 6, "80"},
        Breakage{"RepeatOfTwo", With(ValidJob(), kRecord + 10, 0x01), kRecord + 10,
                 "repeat of 2"},
        Breakage{"HugeLengthField", With(With(ValidJob(), kRecord + 4, 0xFF), kRecord + 5, 0xFF),
                 kRecord + 6, "65535 payload bytes"},
        Breakage{"TrailingBytes", Append(ValidJob(), {0x00, 0x01}), ValidJob().size(),
                 "start of page or end of stream"},
        Breakage{"UnknownCommandInPage", With(ValidJob(), kPage + 9 + 2, 'C'), kPage + 9,
                 "blank line, line record or end of page"}),
    [](const auto& info) { return info.param.name; });

TEST(DecodeStream, AcceptsAJobWithoutPages) {
  DecodedJob job = DecodeJob(ExpectedStream().Preamble().bytes());
  EXPECT_FALSE(job.error);
  EXPECT_FALSE(job.summary.has_settings);
  EXPECT_TRUE(job.pages.empty());
}

TEST(DecodeStream, SettingsWithoutAPageAreAnError) {
  auto err = DecodeJob(ExpectedStream().Preamble().Settings(1, 2, 10, 10).bytes()).error;
  ASSERT_TRUE(err);
  EXPECT_EQ(err->offset, kPage);
}

// The command-line tool, on a stream from the filter.
class DecodeTool : public ::testing::Test {
 protected:
  int Run(const std::string& args, std::string* out) {
    std::string cmd = DecoderPath() + " " + args + " 2>" + dir_.File("err");
    std::FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  TempDir dir_;
};

TEST_F(DecodeTool, SummarisesChecksAndRenders) {
  WriteFile(dir_.File("job.prn"), ValidJob());
  std::string out;
  ASSERT_EQ(Run("--json --png " + dir_.File("page") + " " + dir_.File("job.prn"), &out), 0);
  EXPECT_NE(out.find("\"valid\": true"), std::string::npos) << out;
  EXPECT_NE(out.find("\"copies\": 2"), std::string::npos) << out;
  EXPECT_NE(out.find("\"density\": 3"), std::string::npos) << out;
  EXPECT_NE(out.find("\"width_mm\": 210.0"), std::string::npos) << out;
  EXPECT_NE(out.find("\"lines\": 3, \"blank_lines\": 2, \"records\": 1"), std::string::npos) << out;
  Bytes png = ReadFile(dir_.File("page-1.png"));
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(Bytes(png.begin(), png.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));

  out.clear();
  ASSERT_EQ(Run("--pbm " + dir_.File("page") + " " + dir_.File("job.prn"), &out), 0);
  Bytes pbm = ReadFile(dir_.File("page-1.pbm"));
  const std::string header = "P4\n4960 7016\n";
  ASSERT_EQ(pbm.size(), header.size() + 620u * 7016);
  // Line 2 is the record ED C8 complemented back to 12 37: black where 0.
  EXPECT_EQ(pbm[header.size() + 2 * 620], static_cast<std::uint8_t>(~0x12));
  EXPECT_EQ(pbm[header.size() + 2 * 620 + 1], static_cast<std::uint8_t>(~0x37));
  EXPECT_EQ(pbm[header.size() + 620], 0x00);  // blank line 1: white
}

TEST_F(DecodeTool, ReportsTheFirstViolationOnOneLine) {
  WriteFile(dir_.File("bad.prn"), With(ValidJob(), kSettings + 41, 0x00));
  std::string out;
  EXPECT_EQ(Run(dir_.File("bad.prn"), &out), 1);
  Bytes e = ReadFile(dir_.File("err"));
  std::string line(e.begin(), e.end());
  EXPECT_EQ(line, "tamsel-decode: offset 1077: expected copies CRC-16 1A 70, found 00 70\n");
}

}  // namespace
}  // namespace tamsel::test
