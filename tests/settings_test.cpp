// Job settings: CRC, density and weight from the PPD and the options,
// copies, paper size and margins.

#include "output/commands.h"
#include "settings/settings.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using tamsel::test::Bytes;
using tamsel::test::MakeHeader;
using tamsel::test::TempDir;
using tamsel::test::TestPpd;

namespace {

Bytes Template(const unsigned char* p, std::size_t n) { return Bytes(p, p + n); }

TEST(Crc16, MatchesTheXmodemCheckValue) {
  const char* digits = "123456789";
  EXPECT_EQ(cyg_crc16(reinterpret_cast<const unsigned char*>(digits), 9), 0x31C3);
  EXPECT_EQ(cyg_crc16(reinterpret_cast<const unsigned char*>(digits), 0), 0);
  EXPECT_EQ(cyg_crc16(reinterpret_cast<const unsigned char*>(digits), -5), 0);
  EXPECT_EQ(crc16_tab[1], 0x1021);
  EXPECT_EQ(crc16_tab[255], 0x1EF0);
}

// Opens a PPD written from text and runs the settings for one header.
class Settings : public ::testing::Test {
 protected:
  void Parse(const cups_page_header2_t& header, const char* options = "",
             const std::string& ppd_text = TestPpd()) {
    tamsel::test::WriteFile(dir_.File("test.ppd"), ppd_text);
    ppd_file_t* ppd = ppdOpenFile(dir_.File("test.ppd").c_str());
    ASSERT_NE(ppd, nullptr);
    cups_page_header2_t h = header;
    std::string opts = options;
    parsePrinterSettings(ppd, opts.data(), &h);
    ppdClose(ppd);
  }
  Bytes Copies() { return Template(szPrintNumCopiesCmd, kPrintNumCopiesCmdLen); }
  Bytes PaperSize() { return Template(szPaperSizeSelfdefCmd, kPaperSizeSelfdefCmdLen); }
  unsigned Width() { return szPaperSizeSelfdefCmd[2] | (szPaperSizeSelfdefCmd[3] << 8); }
  unsigned Length() { return szPaperSizeSelfdefCmd[6] | (szPaperSizeSelfdefCmd[7] << 8); }

  TempDir dir_;
};

TEST_F(Settings, PpdDefaultsAndJobOptions) {
  Parse(MakeHeader(4760, 6816));
  EXPECT_EQ(szDarknessCmd[4], 0x13);  // default choice 3
  EXPECT_EQ(szPaperWeightCmd[4], 0x11);
  Parse(MakeHeader(4760, 6816), "PrintDensity=4 PaperWeight=3");
  EXPECT_EQ(szDarknessCmd[4], 0x14);
  EXPECT_EQ(szPaperWeightCmd[4], 0x13);
  // A later job without options gets the defaults again.
  Parse(MakeHeader(4760, 6816), "");
  EXPECT_EQ(szDarknessCmd[4], 0x13);
}

TEST_F(Settings, MissingOptionsUseTheFilterDefaults) {
  Parse(MakeHeader(4760, 6816), "PrintDensity=4", TestPpd(""));
  EXPECT_EQ(szDarknessCmd[4], 0x12);
  EXPECT_EQ(szPaperWeightCmd[4], 0x11);
}

TEST_F(Settings, ChoiceValuesAreUsedWithoutRangeCheck) {
  const std::string ppd = TestPpd(
      "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 240\n"
      "*PrintDensity 240: \"\"\n*PrintDensity -2: \"\"\n*PrintDensity Dark: \"\"\n"
      "*CloseUI: *PrintDensity\n"
      "*OpenUI *PaperWeight: PickOne\n*DefaultPaperWeight: Heavy\n*PaperWeight Heavy: \"\"\n"
      "*CloseUI: *PaperWeight\n");
  Parse(MakeHeader(100, 100), "", ppd);
  EXPECT_EQ(szDarknessCmd[4], 0x00);     // 240 + 16 wraps
  EXPECT_EQ(szPaperWeightCmd[4], 0x10);  // no leading number reads as 0
  Parse(MakeHeader(100, 100), "PrintDensity=-2", ppd);
  EXPECT_EQ(szDarknessCmd[4], 0x0E);
  Parse(MakeHeader(100, 100), "PrintDensity=Dark", ppd);
  EXPECT_EQ(szDarknessCmd[4], 0x10);
}

TEST_F(Settings, CopiesAreTheLow16BitsWithTheirCrc) {
  struct {
    unsigned num_copies;
    Bytes command;
  } cases[] = {
      {1, {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25}},
      {2, {0x1B, 0x26, 0x6C, 0x02, 0x00, 0x1A, 0x70}},
      {0, {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25}},
      {32768, {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25}},
      {65536, {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25}},
      {65538, {0x1B, 0x26, 0x6C, 0x02, 0x00, 0x1A, 0x70}},
      {0xFFFFFFFFu, {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25}},
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = MakeHeader(100, 100);
    h.NumCopies = c.num_copies;
    Parse(h);
    EXPECT_EQ(Copies(), c.command) << c.num_copies << " copies";
  }
  cups_page_header2_t h = MakeHeader(100, 100);
  h.NumCopies = 32767;
  Parse(h);
  EXPECT_EQ(szPrintNumCopiesCmd[3], 0xFF);
  EXPECT_EQ(szPrintNumCopiesCmd[4], 0x7F);
  const std::uint8_t prefix[] = {0x1B, 0x26, 0x6C, 0xFF, 0x7F};
  EXPECT_EQ(szPrintNumCopiesCmd[5] | (szPrintNumCopiesCmd[6] << 8), cyg_crc16(prefix, 5));
}

TEST_F(Settings, PaperTableAndComputedSizes) {
  struct {
    unsigned w_pt, l_pt;
    float w_size, l_size;
    unsigned width, length;
  } cases[] = {
      {595, 842, 1.0f, 1.0f, 4960, 7016},  // table wins over cupsPageSize
      {420, 595, 420, 595, 3512, 4958},
      {595, 420, 595, 420, 4958, 3512},
      {498, 708, 498, 708, 4176, 5908},
      {596, 842, 596, 842, 4966, 7016},    // near miss: computed
      {612, 792, 612, 792, 5100, 6600},
      {595, 841, 595.2756f, 841.8898f, 4960, 7015},
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = MakeHeader(100, 100, c.w_pt, c.l_pt);
    h.cupsPageSize[0] = c.w_size;
    h.cupsPageSize[1] = c.l_size;
    Parse(h);
    EXPECT_EQ(Width(), c.width) << c.w_pt << "x" << c.l_pt;
    EXPECT_EQ(Length(), c.length) << c.w_pt << "x" << c.l_pt;
  }
}

TEST_F(Settings, A4PaperSizeCommand) {
  Parse(MakeHeader(4760, 6816));
  EXPECT_EQ(PaperSize(), (Bytes{0x1B, 0x78, 0x60, 0x13, 0x1B, 0x79, 0x68, 0x1B}));
}

TEST_F(Settings, MarginsCentreTheRaster) {
  struct {
    unsigned width, height;
    unsigned left;
    int top;
  } cases[] = {
      {4760, 6816, 5, 36},
      {4936 - 31, 7016 - 15, 0, 0},
      {4936 - 32, 7016 - 16, 1, 3},
      {4936, 7016 - 200, 0, 36},
      {6000, 8000, 0, 0},
  };
  for (const auto& c : cases) {
    Parse(MakeHeader(c.width, c.height));
    EXPECT_EQ(gMarginLeft, c.left) << c.width;
    EXPECT_EQ(gMarginTop, c.top) << c.height;
  }
}

TEST_F(Settings, LargePaperIsSentAsLow16BitsButMarginsUseAll) {
  cups_page_header2_t h = MakeHeader(1000, 1000, 8000, 8000);
  h.cupsPageSize[0] = h.cupsPageSize[1] = 8000;  // 66,666 dots
  Parse(h);
  EXPECT_EQ(Width(), 66666u & 0xFFFF);
  EXPECT_EQ(gMarginLeft, (66666u - 24 - 1000) >> 5);
  EXPECT_EQ(gMarginTop, static_cast<int>(((66666u - 1000) >> 4) * 3));
}

TEST_F(Settings, HostilePageSizesKeepMarginsBounded) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float size : {-1.0f, -inf, nan, inf, 1e30f, 2.0f, 0.0f}) {
    cups_page_header2_t h = MakeHeader(1, 1, 1, 1);
    h.cupsPageSize[0] = h.cupsPageSize[1] = size;
    Parse(h);
    EXPECT_LE(gMarginLeft, static_cast<unsigned>(kMaxPaperDots) / 32) << size;
    EXPECT_GE(gMarginTop, 0) << size;
    EXPECT_LE(gMarginTop, kMaxPaperDots / 16 * 3) << size;
  }
  // A paper narrower than the inset has no margin, rather than a wrapped one.
  cups_page_header2_t h = MakeHeader(1, 1, 2, 2);
  h.cupsPageSize[0] = h.cupsPageSize[1] = 2.0f;  // 16 dots
  Parse(h);
  EXPECT_EQ(gMarginLeft, 0u);
  EXPECT_EQ(pointsToDots(-5.0f), 0u);
  EXPECT_EQ(pointsToDots(std::nanf("")), 0u);
  EXPECT_EQ(pointsToDots(1e30f), static_cast<unsigned>(kMaxPaperDots));
}

}  // namespace
