// tamsel-printer-app end to end, on loopback: a server of the test's own,
// a printer whose device is a stand-in for port 9100, and PWG raster, PNG
// and PDF jobs whose bytes must decode to the pages and settings asked for.

#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace tamsel::test {
namespace {

namespace fs = std::filesystem;

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  return ntohs(addr.sin_port);
}

class PrinterApp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("gs")) GTEST_SKIP() << "ghostscript is not installed";
    for (const char* d : {"state", "spool", "capture"}) fs::create_directories(dir_.File(d));

    // The filter fails on demand, to show that a failed filter aborts the job.
    filter_ = dir_.File("filter.sh");
    WriteFile(filter_, "#!/bin/sh\n[ -e " + dir_.File("fail") + " ] && exit 1\nexec " +
                           RASTERTOTAMSEL_PATH + " \"$@\"\n");
    chmod(filter_.c_str(), 0755);

    // SNAP_COMMON keeps PAPPL's state file and control socket in our
    // directory instead of /var/lib and /run.
    env_ = {"SNAP_COMMON=" + dir_.File("state"), "TAMSEL_FILTER=" + filter_,
            "TAMSEL_PPD=" TAMSEL_PPD_PATH};
    capture_pid_ = Spawn({TCP_CAPTURE_PATH, dir_.File("capture")});
    server_pid_ = Spawn({PRINTER_APP_PATH, "server", "-o", "server-port=" + std::to_string(FreePort()),
                         "-o", "spool-directory=" + dir_.File("spool"), "-o",
                         "log-file=" + dir_.File("log"), "-o", "log-level=debug"},
                        SpawnOptions{env_, "", -1, -1, -1});
    ASSERT_TRUE(WaitFor([&] {
      return fs::exists(dir_.File("state/tamsel-printer-app.sock")) &&
             fs::exists(dir_.File("capture/port"));
    }, 10)) << "the server did not start";
    std::string port = Slurp(dir_.File("capture/port"));
    port.erase(port.find_last_not_of('\n') + 1);
    Command c = App("add -d tamsel -v socket://127.0.0.1:" + port + " -m tamsel");
    ASSERT_EQ(c.status, 0) << c.out;
  }

  void TearDown() override {
    if (server_pid_ > 0) {
      // A pending job blocks shutdown, so cancel first; PAPPL then notices
      // the shutdown only at its next wake-up, which SIGTERM brings forward.
      App("cancel -d tamsel -a");
      App("shutdown");
      kill(server_pid_, SIGTERM);
      if (!WaitFor([&] { return waitpid(server_pid_, nullptr, WNOHANG) == server_pid_; }, 10)) {
        kill(server_pid_, SIGKILL);
        waitpid(server_pid_, nullptr, 0);
      }
    }
    if (capture_pid_ > 0) {
      kill(capture_pid_, SIGTERM);
      waitpid(capture_pid_, nullptr, 0);
    }
    if (HasFailure()) std::cerr << "server log (tail):\n" << Tail(Slurp(dir_.File("log")), 60);
  }

  static std::string Tail(const std::string& text, int lines) {
    std::size_t at = text.size();
    while (lines-- > 0 && at > 0) at = text.rfind('\n', at - 1);
    return text.substr(at == std::string::npos ? 0 : at);
  }

  Command App(const std::string& args) {
    std::string env;
    for (const auto& e : env_) env += e + " ";
    return Sh(env + PRINTER_APP_PATH " " + args);
  }

  // Everything the printer has received so far, connections in order.
  Bytes Received() {
    Bytes all;
    for (int n = 1;; ++n) {
      std::string base = dir_.File("capture/conn-" + std::to_string(n));
      std::string path = fs::exists(base + ".prn") ? base + ".prn" : base + ".part";
      if (!fs::exists(path)) break;
      Bytes b = ReadFile(path);
      all.insert(all.end(), b.begin(), b.end());
    }
    return all;
  }

  // Submits a file, waits until the job ends, and returns its state and the
  // bytes the printer received for it.
  std::string Print(const std::string& file, const std::string& options, Bytes* bytes) {
    std::size_t before = Received().size();
    Command c = App("submit -d tamsel " + options + " " + file);
    EXPECT_EQ(c.status, 0) << c.out;
    std::string id = c.out.substr(c.out.rfind('-') + 1);
    id.erase(id.find_last_not_of('\n') + 1);
    std::string state;
    WaitFor([&] {
      std::istringstream jobs(App("jobs -d tamsel").out);
      std::string line;
      while (std::getline(jobs, line)) {
        std::istringstream fields(line);
        std::string job_id, job_state;
        fields >> job_id >> job_state;
        if (job_id == id && (job_state == "completed" || job_state == "aborted" ||
                             job_state == "canceled"))
          state = job_state;
      }
      return !state.empty();
    }, 60);
    // The device may still be delivering the last bytes: wait until the
    // capture has stopped growing for a moment.
    std::size_t size = Received().size();
    for (int quiet = 0; quiet < 3;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::size_t now = Received().size();
      quiet = now == size ? quiet + 1 : 0;
      size = now;
    }
    Bytes all = Received();
    bytes->assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
    return state;
  }

  TempDir dir_;
  std::string filter_;
  std::vector<std::string> env_;
  pid_t server_pid_ = -1, capture_pid_ = -1;
};

TEST_F(PrinterApp, PrintsPwgRasterPngAndPdf) {
  // PWG raster, black 1 bit at 600 dpi on A5: a box on the left, drawn in
  // the raster's own polarity (set bit black).
  RasterPage pwg = WhitePage(3496, 4960, 420, 595);
  pwg.header.cupsColorSpace = CUPS_CSPACE_K;
  for (auto& line : pwg.lines) std::fill(line.begin(), line.end(), 0x00);
  for (unsigned y = 1000; y < 2000; ++y)
    std::fill(pwg.lines[y].begin() + 100, pwg.lines[y].begin() + 200, 0xFF);
  std::string pwg_file = dir_.File("box.pwg");
  WriteRaster(pwg_file, {pwg}, CUPS_RASTER_WRITE_PWG);

  Bytes out;
  ASSERT_EQ(Print(pwg_file, "-o media=iso_a5_148x210mm", &out), "completed");
  DecodedJob job = DecodeJob(out);
  ASSERT_FALSE(job.error) << job.error->Message();
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_EQ(job.summary.settings.density, 3) << "default darkness is Normal";
  EXPECT_EQ(job.summary.settings.paper_weight, 1);
  EXPECT_EQ(job.summary.settings.width_dots, 3512u);
  EXPECT_EQ(job.summary.settings.copies, 1u);
  EXPECT_GT(Ink(job.pages[0], 850, 1050, 1550, 1950), 0.99) << "polarity or placement wrong";
  EXPECT_LT(Ink(job.pages[0], 2000, 1050, 3000, 1950), 0.01);

  // Two A5 pages from a PDF, rendered with Ghostscript, darker and on card.
  WriteFile(dir_.File("two.ps"), kTwoPagePs);
  Command c = Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=" +
                 dir_.File("two.pdf") + " " + dir_.File("two.ps"));
  ASSERT_EQ(c.status, 0) << c.out;
  ASSERT_EQ(Print(dir_.File("two.pdf"),
                  "-o print-darkness=50 -o media=iso_a5_148x210mm -o media-type=cardstock", &out),
            "completed");
  job = DecodeJob(out);
  EXPECT_EQ(job.summary.settings.density, 5);
  EXPECT_EQ(job.summary.settings.paper_weight, 3);
  EXPECT_EQ(job.summary.settings.length_dots, 4958u);
  ExpectBoxes(job);

  // A PNG of the first page, twice: PAPPL repeats the page, the printer's
  // own copy count stays 1.
  c = Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r100 -dLastPage=1 -sOutputFile=" +
         dir_.File("one.png") + " " + dir_.File("two.ps"));
  ASSERT_EQ(c.status, 0) << c.out;
  ASSERT_EQ(Print(dir_.File("one.png"), "-o print-darkness=-50 -o media=iso_a5_148x210mm -o copies=2",
                  &out),
            "completed");
  job = DecodeJob(out);
  ASSERT_FALSE(job.error) << job.error->Message();
  EXPECT_EQ(job.summary.settings.density, 1);
  EXPECT_EQ(job.summary.settings.copies, 1u);
  ASSERT_EQ(job.pages.size(), 2u);
  for (const Page& page : job.pages)
    EXPECT_GT(Ink(page, Dots(100), Dots(100), Dots(170), Dots(170)), 0.9) << "box missing";
}

TEST_F(PrinterApp, FailedFilterAbortsTheJob) {
  WriteFile(dir_.File("fail"), std::string("1"));
  RasterPage page = WhitePage(3496, 100, 420, 595);
  page.header.cupsColorSpace = CUPS_CSPACE_K;
  for (auto& line : page.lines) std::fill(line.begin(), line.end(), 0x0F);
  WriteRaster(dir_.File("job.pwg"), {page}, CUPS_RASTER_WRITE_PWG);
  Bytes out;
  EXPECT_EQ(Print(dir_.File("job.pwg"), "-o media=iso_a5_148x210mm", &out), "aborted");
  EXPECT_TRUE(DecodeJob(out).pages.empty());
}

}  // namespace
}  // namespace tamsel::test
