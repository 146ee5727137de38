// End to end with the real CUPS programs: cupstestppd on the built PPD, PDF
// jobs through cupsfilter's conversion chain, and the install layout.  The
// system's cupsd printing to a stand-in printer is the package test's.

#include "test_support.h"

#include <sys/stat.h>

#include <filesystem>

namespace tamsel::test {
namespace {

namespace fs = std::filesystem;

class CupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* p : {"gs", "cupsfilter", "cupstestppd"})
      if (!Have(p)) GTEST_SKIP() << p << " is not installed";
    // Everything a filter run as user lp reads must be reachable by lp.
    chmod(dir_.path().c_str(), 0755);
    serverbin_ = dir_.File("serverbin");
    Command c = Sh("sh " TAMSEL_SOURCE_DIR "/scripts/cups-serverbin.sh " + serverbin_ + " " +
                   RASTERTOTAMSEL_PATH);
    ASSERT_EQ(c.status, 0) << c.out;
    ppd_ = dir_.File("tamsel.ppd");
    fs::copy_file(TAMSEL_PPD_PATH, ppd_);
    chmod(ppd_.c_str(), 0644);
  }

  TempDir dir_;
  std::string serverbin_, ppd_;
};

TEST_F(CupsTest, PpdPassesCupstestppd) {
  Command c = Sh("CUPS_SERVERBIN=" + serverbin_ + " cupstestppd " + ppd_);
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("PASS"), std::string::npos) << c.out;
}

TEST_F(CupsTest, PdfThroughTheCupsfilterChain) {
  WriteFile(dir_.File("two.ps"), kTwoPagePs);
  std::string pdf = dir_.File("two.pdf"), prn = dir_.File("two.prn");
  // -e: the PPD's filters; without it cupsfilter makes PostScript and succeeds.
  Command c = Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + pdf + " " +
                 dir_.File("two.ps") + " && chmod 644 " + pdf + " && CUPS_SERVERBIN=" + serverbin_ +
                 " cupsfilter -e -p " + ppd_ + " -m printer/tamsel -o PrintDensity=4 -o PaperWeight=2" +
                 " -o media=A5 " + pdf + " > " + prn);
  ASSERT_EQ(c.status, 0) << c.out;
  DecodedJob job = DecodeJob(ReadFile(prn));
  EXPECT_EQ(job.summary.settings.density, 4);
  EXPECT_EQ(job.summary.settings.paper_weight, 2);
  EXPECT_EQ(job.summary.settings.width_dots, 3512u);
  EXPECT_EQ(job.summary.settings.length_dots, 4958u);
  EXPECT_EQ(job.summary.settings.copies, 1u);
  ExpectBoxes(job);
}

// Installed under the prefix, at CUPS's paths below /usr.
TEST(Install, PutsFilesWhereCupsLooks) {
  if (!Have("cmake") || !Have("cups-config")) GTEST_SKIP() << "cmake or cups-config missing";
  TempDir root;
  Command c = Sh("cmake --install " TAMSEL_BINARY_DIR " --prefix " + root.path() + "/usr");
  ASSERT_EQ(c.status, 0) << c.out;
  auto dir = [](const char* which) { return Sh(std::string("cups-config --") + which + " | tr -d '\\n'").out; };
  std::string serverbin = dir("serverbin"), datadir = dir("datadir");
  struct stat st {};
  ASSERT_EQ(stat((root.path() + serverbin + "/filter/rastertotamsel").c_str(), &st), 0) << c.out;
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "CUPS refuses a filter that others may write";
  EXPECT_TRUE(fs::exists(root.path() + datadir + "/model/tamsel/tamsel.ppd")) << c.out;
  EXPECT_TRUE(fs::exists(root.path() + "/usr/bin/tamsel-decode")) << c.out;
}

}  // namespace
}  // namespace tamsel::test
