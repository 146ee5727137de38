// Job settings: CRC, density and weight from the PPD and the options,
// copies, paper size and margins.  Also built with x87 arithmetic, where
// paper sizes must still come out in single precision.

#include "output/commands.h"
#include "settings/settings.h"
#include "test_support.h"

#include <cmath>
#include <limits>

using namespace tamsel::test;

namespace {

TEST(Crc16, MatchesTheXmodemCheckValue) {
  const auto* digits = reinterpret_cast<const unsigned char*>("123456789");
  EXPECT_EQ(cyg_crc16(digits, 9), 0x31C3);
  EXPECT_EQ(cyg_crc16(digits, 0), 0);
  EXPECT_EQ(crc16_tab[255], 0x1EF0);
}

// Opens a PPD written from text and runs the settings for one header.
class Settings : public ::testing::Test {
 protected:
  void Parse(const cups_page_header2_t& header, const char* options = "",
             const std::string& ppd_text = TestPpd()) {
    WriteFile(dir_.File("test.ppd"), ppd_text);
    ppd_file_t* ppd = ppdOpenFile(dir_.File("test.ppd").c_str());
    ASSERT_NE(ppd, nullptr);
    cups_page_header2_t h = header;
    std::string opts = options;
    parsePrinterSettings(ppd, opts.data(), &h);
    ppdClose(ppd);
  }
  Bytes Copies() { return Bytes(szPrintNumCopiesCmd, szPrintNumCopiesCmd + kPrintNumCopiesCmdLen); }
  unsigned Width() { return szPaperSizeSelfdefCmd[2] | (szPaperSizeSelfdefCmd[3] << 8); }
  unsigned Length() { return szPaperSizeSelfdefCmd[6] | (szPaperSizeSelfdefCmd[7] << 8); }

  TempDir dir_;
};

TEST_F(Settings, DensityAndWeightFromThePpdAndTheOptions) {
  struct {
    const char* options;
    std::string ppd;
    unsigned char density, weight;
  } cases[] = {
      {"", TestPpd(), 0x13, 0x11},
      {"PrintDensity=4 PaperWeight=3", TestPpd(), 0x14, 0x13},
      {"", TestPpd(), 0x13, 0x11},  // a later job gets the defaults again
      {"PrintDensity=4", TestPpd(""), 0x12, 0x11},  // no such options: 2 and 1
  };
  for (const auto& c : cases) {
    Parse(MakeHeader(4760, 6816), c.options, c.ppd);
    EXPECT_EQ(szDarknessCmd[4], c.density) << c.options;
    EXPECT_EQ(szPaperWeightCmd[4], c.weight) << c.options;
  }
  // Choices are read as numbers without a range check.
  const std::string odd = TestPpd(
      "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 240\n"
      "*PrintDensity 240: \"\"\n*PrintDensity -2: \"\"\n*CloseUI: *PrintDensity\n"
      "*OpenUI *PaperWeight: PickOne\n*DefaultPaperWeight: Heavy\n*PaperWeight Heavy: \"\"\n"
      "*CloseUI: *PaperWeight\n");
  Parse(MakeHeader(100, 100), "", odd);
  EXPECT_EQ(szDarknessCmd[4], 0x00);     // 240 + 16 wraps
  EXPECT_EQ(szPaperWeightCmd[4], 0x10);  // no leading number reads as 0
  Parse(MakeHeader(100, 100), "PrintDensity=-2", odd);
  EXPECT_EQ(szDarknessCmd[4], 0x0E);
}

TEST_F(Settings, CopiesAreTheLow16BitsWithTheirCrc) {
  const Bytes one = {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x49, 0x25};
  const Bytes two = {0x1B, 0x26, 0x6C, 0x02, 0x00, 0x1A, 0x70};
  const Bytes max = {0x1B, 0x26, 0x6C, 0xFF, 0x7F, 0xFF, 0x9A};
  const std::pair<unsigned, Bytes> cases[] = {{1, one},     {2, two},         {0, one},
                                              {32767, max}, {32768, one},     {65536, one},
                                              {65538, two}, {0xFFFFFFFFu, one}};
  for (const auto& [copies, command] : cases) {
    cups_page_header2_t h = MakeHeader(100, 100);
    h.NumCopies = copies;
    Parse(h);
    EXPECT_EQ(Copies(), command) << copies << " copies";
  }
}

TEST_F(Settings, PaperSizesFromTheTableOrComputedInSinglePrecision) {
  struct {
    unsigned w_pt, l_pt;
    float w_size, l_size;
    unsigned width, length;
  } cases[] = {
      {595, 842, 1.0f, 1.0f, 4960, 7016},  // the table wins over cupsPageSize
      {420, 595, 420, 595, 3512, 4958},
      {595, 420, 595, 420, 4958, 3512},
      {498, 708, 498, 708, 4176, 5908},
      {596, 842, 596, 842, 4966, 7016},    // near miss: computed
      {595, 841, 595.2756f, 841.8898f, 4960, 7015},
      // Double or x87 extended precision gives one dot less for these,
      {72, 200, 72.24f, 200.28f, 602, 1669},
      {4, 1180, 4.2f, 1180.08f, 35, 9834},
      // and x87 rounded to float only at the end one dot more for these.
      {52, 71, 52.92f, 71.52f, 440, 595},
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = MakeHeader(100, 100, c.w_pt, c.l_pt);
    h.cupsPageSize[0] = c.w_size;
    h.cupsPageSize[1] = c.l_size;
    Parse(h);
    EXPECT_EQ(Width(), c.width) << c.w_size << " x " << c.l_size;
    EXPECT_EQ(Length(), c.length) << c.w_size << " x " << c.l_size;
  }
}

TEST_F(Settings, MarginsCentreTheRaster) {
  struct {
    unsigned width, height, page_pt;
    unsigned left;
    int top;
  } cases[] = {
      {4760, 6816, 0, 5, 36},
      {4936 - 31, 7016 - 15, 0, 0, 0},
      {4936 - 32, 7016 - 16, 0, 1, 3},
      {6000, 8000, 0, 0, 0},
      {1, 1, 2, 0, 0},  // paper narrower than the inset: no margin
      // 66,666 dots: the command carries the low 16 bits, margins use all.
      {1000, 1000, 8000, (66666 - 24 - 1000) >> 5, ((66666 - 1000) >> 4) * 3},
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = c.page_pt ? MakeHeader(c.width, c.height, 1, 1) : MakeHeader(c.width, c.height);
    if (c.page_pt) h.cupsPageSize[0] = h.cupsPageSize[1] = static_cast<float>(c.page_pt);
    Parse(h);
    EXPECT_EQ(gMarginLeft, c.left) << c.width;
    EXPECT_EQ(gMarginTop, c.top) << c.height;
  }
  EXPECT_EQ(Width(), 66666u & 0xFFFF);
}

TEST_F(Settings, HostilePageSizesKeepMarginsBounded) {
  const float inf = std::numeric_limits<float>::infinity();
  for (float size : {-1.0f, -inf, std::nanf(""), inf, 1e30f}) {
    cups_page_header2_t h = MakeHeader(1, 1, 1, 1);
    h.cupsPageSize[0] = h.cupsPageSize[1] = size;
    Parse(h);
    EXPECT_LE(gMarginLeft, 1u << 15) << size;
    EXPECT_GE(gMarginTop, 0) << size;
    EXPECT_LE(gMarginTop, 1 << 18) << size;
  }
}

}  // namespace
