// End to end with the real CUPS programs, on loopback only: cupstestppd on
// the built PPD, PDF jobs through cupsfilter's conversion chain, and jobs
// through a private cupsd to a stand-in for the printer's raw port.

#include "test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

  std::string MakePdf(const std::string& name, const std::string& ps) {
    WriteFile(dir_.File(name + ".ps"), ps);
    std::string pdf = dir_.File(name + ".pdf");
    Command c = Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + pdf + " " +
                   dir_.File(name + ".ps"));
    EXPECT_EQ(c.status, 0) << c.out;
    chmod(pdf.c_str(), 0644);
    return pdf;
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
  std::string pdf = MakePdf("two", kTwoPagePs);
  std::string prn = dir_.File("two.prn");
  // -e: the PPD's filters; without it cupsfilter makes PostScript and succeeds.
  Command c = Sh("CUPS_SERVERBIN=" + serverbin_ + " cupsfilter -e -p " + ppd_ +
                 " -m printer/tamsel -o PrintDensity=4 -o PaperWeight=2 -o media=A5 " + pdf +
                 " > " + prn);
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
  std::string serverbin = Sh("cups-config --serverbin").out;
  std::string datadir = Sh("cups-config --datadir").out;
  serverbin.erase(serverbin.find_last_not_of('\n') + 1);
  datadir.erase(datadir.find_last_not_of('\n') + 1);
  struct stat st {};
  ASSERT_EQ(stat((root.path() + serverbin + "/filter/rastertotamsel").c_str(), &st), 0) << c.out;
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "CUPS refuses a filter that others may write";
  EXPECT_TRUE(fs::exists(root.path() + datadir + "/model/tamsel/tamsel.ppd")) << c.out;
  EXPECT_TRUE(fs::exists(root.path() + "/usr/bin/tamsel-decode")) << c.out;
}

// A private cupsd in a temporary directory, with a queue whose device is a
// stand-in for the printer's port 9100 on loopback.
class SpoolerTest : public CupsTest {
 protected:
  void SetUp() override {
    CupsTest::SetUp();
    if (IsSkipped()) return;
    if (geteuid() != 0) GTEST_SKIP() << "cupsd runs filters as lp only when started as root";
    if (!Have("cupsd") || !Have("lpadmin")) GTEST_SKIP() << "cups is not installed";

    for (const char* d : {"root", "spool", "spool/tmp", "cache", "state", "log", "capture"})
      fs::create_directories(dir_.File(d));
    chmod(dir_.File("spool").c_str(), 0710);
    Sh("chgrp lp " + dir_.File("spool") + " " + dir_.File("spool/tmp") + "; chmod 1770 " +
       dir_.File("spool/tmp"));
    socket_ = dir_.File("cups.sock");
    WriteFile(dir_.File("cups-files.conf"),
              "ServerRoot " + dir_.File("root") + "\nRequestRoot " + dir_.File("spool") +
                  "\nTempDir " + dir_.File("spool/tmp") + "\nCacheDir " + dir_.File("cache") +
                  "\nStateDir " + dir_.File("state") + "\nAccessLog " + dir_.File("log/access_log") +
                  "\nErrorLog " + dir_.File("log/error_log") + "\nPageLog " +
                  dir_.File("log/page_log") + "\nPrintcap " + dir_.File("printcap") +
                  "\nServerBin " + serverbin_ + "\nSystemGroup root\n");
    WriteFile(dir_.File("cupsd.conf"),
              "Listen " + socket_ +
                  "\nBrowsing No\nWebInterface No\nLogLevel debug\nDefaultAuthType None\n"
                  "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                  "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                  "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n"
                  "  </Limit>\n</Policy>\n");

    capture_pid_ = Spawn({TCP_CAPTURE_PATH, dir_.File("capture")});
    cupsd_pid_ = Spawn({"/usr/sbin/cupsd", "-f", "-c", dir_.File("cupsd.conf"), "-s",
                        dir_.File("cups-files.conf")});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(socket_) && fs::exists(dir_.File("capture/port")); },
                        10))
        << "cupsd did not start:\n" << Slurp(dir_.File("log/error_log"));
    port_ = Slurp(dir_.File("capture/port"));
    port_.erase(port_.find_last_not_of("\n") + 1);
    Command c = Lp("lpadmin -p tamsel -E -v 'socket://127.0.0.1:" + port_ +
                   "/?snmp=false' -P " + ppd_);
    ASSERT_EQ(c.status, 0) << c.out;
  }

  void TearDown() override {
    for (pid_t pid : {cupsd_pid_, capture_pid_}) {
      if (pid <= 0) continue;
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (HasFailure()) std::cerr << "error_log:\n" << Slurp(dir_.File("log/error_log"));
  }

  Command Lp(const std::string& cmd) { return Sh("CUPS_SERVER=" + socket_ + " " + cmd); }

  // Waits until the error_log says how job N ended.
  std::string WaitForJob(int n, double seconds) {
    std::string id = "[Job " + std::to_string(n) + "] ";
    std::string log;
    WaitFor([&] {
      log = Slurp(dir_.File("log/error_log"));
      return log.find(id + "Job completed.") != std::string::npos ||
             log.find(id + "Job stopped") != std::string::npos ||
             log.find(id + "Job aborted") != std::string::npos;
    }, seconds);
    return log;
  }

  std::string socket_, port_;
  pid_t cupsd_pid_ = -1, capture_pid_ = -1;
};

TEST_F(SpoolerTest, PrintsAPdfToThePrinterPort) {
  std::string pdf = MakePdf("two", kTwoPagePs);
  Command c = Lp("lp -d tamsel -o PrintDensity=2 -o media=A5 " + pdf);
  ASSERT_EQ(c.status, 0) << c.out;
  std::string log = WaitForJob(1, 60);
  ASSERT_NE(log.find("[Job 1] Job completed."), std::string::npos) << "job did not complete";
  std::string prn = dir_.File("capture/conn-1.prn");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(prn); }, 10));
  DecodedJob job = DecodeJob(ReadFile(prn));
  EXPECT_EQ(job.summary.settings.density, 2);
  EXPECT_EQ(job.summary.settings.width_dots, 3512u);
  EXPECT_EQ(job.summary.settings.length_dots, 4958u);
  ExpectBoxes(job);
}

TEST_F(SpoolerTest, MalformedRasterFailsTheJob) {
  // A line far shorter than the width needs: the filter refuses the page.
  std::string ras = dir_.File("bad.ras");
  RasterPage page = WhitePage(16, 4);
  page.header.cupsWidth = 4000;
  page.header.cupsBytesPerLine = 8;
  page.lines.assign(4, Bytes(8, 0x00));
  WriteRaster(ras, {page}, CUPS_RASTER_WRITE, true);
  Command c = Sh("chmod 644 " + ras);
  c = Lp("lp -d tamsel -o document-format=application/vnd.cups-raster " + ras);
  ASSERT_EQ(c.status, 0) << c.out;
  std::string log = WaitForJob(1, 60);
  EXPECT_NE(log.find("rastertotamsel) stopped with status 1."), std::string::npos)
      << "filter failure not reported";
  EXPECT_NE(log.find("[Job 1] Job stopped due to filter errors"), std::string::npos);
  EXPECT_EQ(log.find("[Job 1] Job completed."), std::string::npos);
  // Whatever reached the printer holds no page of the job.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const auto& entry : fs::directory_iterator(dir_.File("capture"))) {
    if (entry.path().extension() != ".prn") continue;
    DecodedJob job = DecodeJob(ReadFile(entry.path()));
    EXPECT_TRUE(job.pages.empty()) << entry.path();
  }
}

}  // namespace
}  // namespace tamsel::test
