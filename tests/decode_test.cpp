// tamsel-decode: random pages through the real filter come back pixel for
// pixel, every kind of broken stream is caught at its offset, and hostile
// streams cannot make it use memory or disk out of proportion.

#include "expected_stream.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <random>

namespace tamsel::test {
namespace {

// A random page: a width that is rarely a multiple of 8, white lines, long
// runs, long stretches without runs, and ink in the pad bits.
RasterPage RandomPage(std::mt19937& rng) {
  auto pick = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
  RasterPage page = WhitePage(pick(1, 5200), pick(1, 120), pick(50, 700), pick(50, 900));
  for (auto& line : page.lines) {
    unsigned kind = pick(0, 4);
    for (std::size_t x = 0; kind && x < line.size();) {
      std::size_t run = pick(1, kind == 1 ? 3 : 300);
      auto b = static_cast<std::uint8_t>(pick(0, 2) * 0x7F);
      for (std::size_t i = 0; i < run && x < line.size(); ++i, ++x)
        line[x] = kind == 4 ? static_cast<std::uint8_t>(rng()) : b;
    }
  }
  return page;
}

TEST(DecodeRoundTrip, RandomJobsComeBackPixelForPixel) {
  TempDir dir;
  WriteFile(dir.File("tamsel.ppd"), TestPpd());
  const unsigned seed = 8675309;
  std::mt19937 rng(seed);
  for (int n = 0; n < 12; ++n) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " job " + std::to_string(n));
    std::vector<RasterPage> pages(std::uniform_int_distribution<int>(1, 4)(rng));
    for (auto& p : pages) p = RandomPage(rng);
    unsigned copies = pages[0].header.NumCopies = std::uniform_int_distribution<unsigned>(1, 40)(rng);
    int density = std::uniform_int_distribution<int>(1, 5)(rng);
    WriteRaster(dir.File("job.ras"), pages, n % 2 ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    FilterRun run = RunFilter(FilterArgs("PrintDensity=" + std::to_string(density)),
                              dir.File("tamsel.ppd"), dir.File("job.ras"));
    ASSERT_EQ(run.status, 0);
    DecodedJob job = DecodeJob(run.out);
    ASSERT_FALSE(job.error) << job.error->Message();
    const JobSettings& s = job.summary.settings;
    EXPECT_EQ(s.density, density);
    EXPECT_EQ(s.copies, copies);
    ASSERT_EQ(job.pages.size(), pages.size());
    std::string accounting;  // CUPS counts pages and copies from these lines
    for (std::size_t p = 1; p <= pages.size(); ++p)
      accounting += "PAGE: " + std::to_string(p) + " " + std::to_string(copies) + "\n";
    EXPECT_EQ(run.err, accounting);

    // The margins follow from the first page and the paper the stream names.
    const auto& first = pages[0].header;
    unsigned image_width = s.width_dots > 24 ? s.width_dots - 24 : 0;
    unsigned left = first.cupsWidth < image_width ? (image_width - first.cupsWidth) >> 5 : 0;
    unsigned top = first.cupsHeight < s.length_dots ? ((s.length_dots - first.cupsHeight) >> 4) * 3 : 0;
    for (std::size_t p = 0; p < pages.size(); ++p) {
      const RasterPage& page = pages[p];
      ASSERT_EQ(job.pages[p].lines, top + page.header.cupsHeight) << "page " << p;
      for (unsigned y = 0; y < page.header.cupsHeight; ++y) {
        Bytes expected(left, 0xFF);
        expected.insert(expected.end(), page.lines[y].begin(), page.lines[y].end());
        if (page.header.cupsWidth & 7) expected.back() |= 0xFF >> (page.header.cupsWidth & 7);
        bool white = std::all_of(expected.begin(), expected.end(), [](auto b) { return b == 0xFF; });
        auto it = job.pages[p].printed.find(top + y);
        ASSERT_EQ(it == job.pages[p].printed.end(), white) << "page " << p << " line " << y;
        if (!white) {
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

constexpr std::size_t kSettings = 1036, kPage = kSettings + 43, kRecord = kPage + 9 + 10;

Bytes With(Bytes b, std::size_t at, std::uint8_t value) {
  b[at] = value;
  return b;
}

TEST(DecodeStream, FindsEachViolationAtItsOffset) {
  const Bytes valid = ValidJob();
  struct {
    const char* name;
    Bytes stream;
    std::size_t offset;
    const char* words;
  } cases[] = {
      {"truncated preamble", Bytes(valid.begin(), valid.begin() + 700), 700, "1024 zero bytes"},
      {"bad init", With(valid, 1030, 'Y'), 1024, "init command"},
      {"bad CRC", With(valid, kSettings + 41, 0x00), kSettings + 41, "CRC"},
      {"settings without a page", Bytes(valid.begin(), valid.begin() + kPage), kPage, "start of page"},
      {"missing end of page", Bytes(valid.begin(), valid.end() - 3), valid.size() - 3, "end of page"},
      {"length one too long", With(valid, kRecord + 4, 6), kRecord + 11, "end of payload after FF 00"},
      {"length one too short", With(valid, kRecord + 4, 4), kRecord + 10, "end marker"},
      {"control byte 80", With(valid, kRecord + 6, 0x80), kRecord + 6, "80"},
      {"repeat of two", With(valid, kRecord + 10, 0x01), kRecord + 10, "repeat of 2"},
      {"huge length field", With(With(valid, kRecord + 4, 0xFF), kRecord + 5, 0xFF), kRecord + 6,
       "65535 payload bytes"},
      {"unknown command in a page", With(valid, kPage + 11, 'C'), kPage + 9, "blank line, line record"},
  };
  for (const auto& c : cases) {
    auto err = DecodeJob(c.stream).error;
    ASSERT_TRUE(err) << c.name << " not detected";
    EXPECT_EQ(err->offset, c.offset) << c.name << ": " << err->Message();
    EXPECT_NE(err->Message().find(c.words), std::string::npos) << c.name << ": " << err->Message();
  }
  EXPECT_FALSE(DecodeJob(ExpectedStream().Preamble().bytes()).error) << "a job without pages is valid";
}

class DecodeTool : public ::testing::Test {
 protected:
  // Runs tamsel-decode under peak-rss; standard error goes to dir_/err.
  Command Run(const std::string& args, long* rss_kib = nullptr) {
    Command c = Sh("ASAN_OPTIONS=quarantine_size_mb=16 " PEAK_RSS_PATH " " + dir_.File("rss") + " " +
                   TAMSEL_DECODE_PATH " " + args + " 2>" + dir_.File("err"));
    std::istringstream report(Slurp(dir_.File("rss")));
    int signal = 0;
    report >> c.status >> signal;
    if (rss_kib) report >> *rss_kib;
    return c;
  }
  TempDir dir_;
};

TEST_F(DecodeTool, SummarisesChecksAndRenders) {
  WriteFile(dir_.File("job.prn"), ValidJob());
  Command c = Run("--json " + dir_.File("job.prn"));
  ASSERT_EQ(c.status, 0) << c.out;
  for (const char* want : {"\"valid\": true", "\"copies\": 2", "\"density\": 3", "\"width_mm\": 210.0",
                           "\"lines\": 3, \"blank_lines\": 2, \"records\": 1"})
    EXPECT_NE(c.out.find(want), std::string::npos) << want << " in " << c.out;
  // Built without libpng, --png says so and fails.
  c = Run("--png " + dir_.File("page") + " " + dir_.File("job.prn"));
  if (Slurp(dir_.File("err")).find("unavailable") == std::string::npos) {
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(Slurp(dir_.File("page-1.png")).substr(0, 4), "\x89PNG");
  } else {
    EXPECT_EQ(c.status, 2);
  }

  ASSERT_EQ(Run("--pbm " + dir_.File("page") + " " + dir_.File("job.prn")).status, 0);
  Bytes pbm = ReadFile(dir_.File("page-1.pbm"));
  const std::size_t header = std::string("P4\n4960 7016\n").size();
  ASSERT_EQ(pbm.size(), header + 620u * 7016);
  // Line 2 is the record ED C8 complemented back to 12 37: black where 0.
  EXPECT_EQ(pbm[header + 2 * 620], static_cast<std::uint8_t>(~0x12));
  EXPECT_EQ(pbm[header + 2 * 620 + 1], static_cast<std::uint8_t>(~0x37));
  EXPECT_EQ(pbm[header + 620], 0x00);  // blank line 1: white

  WriteFile(dir_.File("bad.prn"), With(ValidJob(), kSettings + 41, 0x00));
  EXPECT_EQ(Run(dir_.File("bad.prn")).status, 1);
  EXPECT_EQ(Slurp(dir_.File("err")),
            "tamsel-decode: offset 1077: expected copies CRC-16 1A 70, found 00 70\n");
  // Not a printer stream: the error, and no summary of a job.
  WriteFile(dir_.File("note.txt"), std::string("Meeting at noon.\n"));
  c = Run(dir_.File("note.txt"));
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "");
}

// 200 records of 4,194,048 bytes each (32,766 repeats of 128), 13 MB of
// stream, on paper of 65,535 x 65,535 dots.
TEST_F(DecodeTool, HugeLinesAndPaperStayWithinBounds) {
  Bytes payload;
  for (int i = 0; i < 32766; ++i) payload.insert(payload.end(), {0x81, 0x00});
  payload.insert(payload.end(), {0xFF, 0x00});
  ExpectedStream job;
  job.Preamble().Settings(1, 3, 65535, 65535).StartPage();
  for (int i = 0; i < 200; ++i) job.Record(payload);
  WriteFile(dir_.File("huge.prn"), job.EndPage().bytes());

  long summary_kib = 0, render_kib = 0;
  EXPECT_EQ(Run(dir_.File("huge.prn"), &summary_kib).status, 0);
  Command c = Run("--pbm " + dir_.File("page") + " " + dir_.File("huge.prn"), &render_kib);
  EXPECT_EQ(c.status, 2) << "a canvas beyond the limit must be refused";
  EXPECT_NE(Slurp(dir_.File("err")).find("not rendered"), std::string::npos) << Slurp(dir_.File("err"));
  EXPECT_LT(std::filesystem::exists(dir_.File("page-1.pbm")) ? std::filesystem::file_size(dir_.File("page-1.pbm")) : 0, 1u << 20);
  EXPECT_LT(summary_kib, 128 * 1024);
  EXPECT_LT(render_kib, 128 * 1024);
}

}  // namespace
}  // namespace tamsel::test
