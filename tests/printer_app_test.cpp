// tamsel-printer-app end to end, on loopback: a server of the test's own,
// a printer whose device is a stand-in for port 9100, and PWG raster, PNG
// and PDF jobs whose bytes must decode to the pages and settings asked for.

#include "test_support.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <png.h>
#include <zlib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace tamsel::test {
namespace {

namespace fs = std::filesystem;

// A TCP socket, bound (port 0: any free one) or connected to loopback.
int Loopback(int port, bool connect_to) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  (connect_to ? connect : bind)(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return s;
}

int FreePort() {
  int s = Loopback(0, false);
  sockaddr_in addr{};
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
    // Other users reach the control socket and the documents.
    for (const std::string& d : {dir_.path(), dir_.File("state")}) chmod(d.c_str(), 0755);

    // The filter fails on demand, to show that a failed filter aborts the
    // job, and records what it was given.
    filter_ = dir_.File("filter.sh");
    WriteFile(filter_, "#!/bin/sh\nenv > " + dir_.File("filter.env") + "\nls /proc/self/fd > " +
                           dir_.File("filter.fds") + "\n[ -e " + dir_.File("fail") +
                           " ] && exit 1\n[ -e " + dir_.File("hang") + " ] && exec sleep 600\n" +
                           // Takes the whole job, then waits: output starts late.
                           "if [ -e " + dir_.File("hold") + " ]; then cat > " + dir_.File("held.ras") +
                           "; : > " + dir_.File("held.done") + "; while [ -e " + dir_.File("hold") +
                           " ]; do sleep 0.1; done; exec < " + dir_.File("held.ras") + "; fi\nexec " +
                           RASTERTOTAMSEL_PATH + " \"$@\"\n");
    chmod(filter_.c_str(), 0755);

    // The icons and test page, in the temporary directory, where PAPPL
    // deletes the files of finished jobs.
    fs::create_directories(dir_.File("data"));
    for (const char* f : {"icon-48.png", "icon-128.png", "icon-512.png", "testpage.pdf"})
      fs::copy_file(std::string(PRINTER_APP_DATA "/") + f, dir_.File(std::string("data/") + f));

    // SNAP_COMMON keeps PAPPL's state file and control socket in our
    // directory instead of /var/lib and /run.
    env_ = {"SNAP_COMMON=" + dir_.File("state"), "TAMSEL_FILTER=" + filter_,
            "TAMSEL_PPD=" TAMSEL_PPD_PATH, "TAMSEL_APP_DATA=" + dir_.File("data"), "TAMSEL_STALL_SECONDS=5", "TAMSEL_MAX_IMPRESSIONS=30"};
    capture_pid_ = Spawn({TCP_CAPTURE_PATH, dir_.File("capture")});
    port_ = FreePort();
    StartServer();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_.File("capture/port")); }, 10));
    std::string port = Slurp(dir_.File("capture/port"));
    device_ = "socket://127.0.0.1:" + port.substr(0, port.find('\n'));
    Command c = App("add -d tamsel -v " + device_ + " -m tamsel");
    ASSERT_EQ(c.status, 0) << c.out;
  }

  void TearDown() override {
    StopServer();
    if (capture_pid_ > 0) {
      kill(capture_pid_, SIGTERM);
      waitpid(capture_pid_, nullptr, 0);
    }
    if (HasFailure()) std::cerr << "server log (tail):\n" << Tail(Slurp(dir_.File("log")), 60);
  }

  void StartServer() {
    server_pid_ = Spawn({PRINTER_APP_PATH, "server", "-o", "server-port=" + std::to_string(port_),
                         "-o", "spool-directory=" + dir_.File("spool"), "-o",
                         "log-file=" + dir_.File("log"), "-o", "log-level=debug"},
                        SpawnOptions{env_, "", -1, -1, -1});
    ASSERT_TRUE(WaitFor([&] { return App("printers").status == 0; }, 10))
        << "the server did not start";
  }

  // Returns whether the server ended by itself after "shutdown".
  bool StopServer() {
    if (server_pid_ <= 0) return true;
    // A pending job blocks shutdown, so cancel first.
    App("cancel -d tamsel -a");
    App("shutdown");
    bool clean = WaitFor([&] { return waitpid(server_pid_, nullptr, WNOHANG) == server_pid_; }, 10);
    if (!clean) {
      kill(server_pid_, SIGKILL);
      waitpid(server_pid_, nullptr, 0);
    }
    server_pid_ = -1;
    return clean;
  }

  // For the next server started.
  void StallSeconds(int seconds) {
    for (auto& e : env_)
      if (e.rfind("TAMSEL_STALL_SECONDS=", 0) == 0) e = "TAMSEL_STALL_SECONDS=" + std::to_string(seconds);
  }

  bool HasChildren() { return Sh("pgrep -P " + std::to_string(server_pid_)).status == 0; }

  bool ServerAlive() { return server_pid_ > 0 && waitpid(server_pid_, nullptr, WNOHANG) == 0; }

  static std::string Tail(const std::string& text, int lines) {
    std::size_t at = text.size();
    while (lines-- > 0 && at > 0) at = text.rfind('\n', at - 1);
    return text.substr(at == std::string::npos ? 0 : at);
  }

  // The command line, as root or as an unprivileged user.
  Command App(const std::string& args, bool as_nobody = false) {
    std::string env;
    for (const auto& e : env_) env += e + " ";
    return Sh(std::string(as_nobody ? kNobody : "") + "env " + env + PRINTER_APP_PATH " " + args);
  }

  // HTTP status of a request to the server's web interface.
  std::string Http(const std::string& args, bool as_nobody = false) {
    return Sh(std::string(as_nobody ? kNobody : "") + "curl -s -o /dev/null -w '%{http_code}' " +
              args).out;
  }
  std::string Url(const std::string& path) {
    return "http://localhost:" + std::to_string(port_) + path;
  }

  // The form token of a page, fetched with the cookies in a jar.
  std::string FormToken(const std::string& path, const std::string& jar) {
    std::string html = Sh("curl -s -b " + jar + " -c " + jar + " " + Url(path)).out;
    const std::string field = "name=\"session\" value=\"";
    std::size_t at = html.find(field);
    EXPECT_NE(at, std::string::npos) << html;
    return at == std::string::npos ? "" : html.substr(at + field.size(), 64);
  }

  // Posts a form of the web interface with the session its page gave.
  void PostForm(const std::string& path, const std::string& fields) {
    std::string jar = dir_.File("cookies");
    Sh("curl -s -b " + jar + " -d 'session=" + FormToken(path, jar) + "&" + fields + "' " + Url(path));
  }

  // Job id from submit's "tamsel-N".
  static std::string JobId(const Command& c) {
    std::string id = c.out.substr(c.out.rfind('-') + 1);
    return id.substr(0, id.find('\n'));
  }

  // "id state" lines of every job the server knows.
  std::map<std::string, std::string> Jobs() {
    std::map<std::string, std::string> jobs;
    std::istringstream lines(App("jobs -d tamsel").out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string id, state;
      fields >> id >> state;
      jobs[id.substr(id.rfind('-') + 1)] = state;
    }
    return jobs;
  }

  // One IPP request to a printer (or one of its jobs), the operation
  // attributes every request carries added: ipptool's verbose output.
  Command Ipp(const std::string& operation, const std::string& attrs, const std::string& path = "tamsel",
              const std::string& file = "", int seconds = 120) {
    WriteFile(dir_.File("request.test"),
              "{ OPERATION " + operation + " GROUP operation-attributes-tag\n"
              "ATTR charset attributes-charset utf-8 ATTR naturalLanguage attributes-natural-language en\n"
              "ATTR uri printer-uri $uri ATTR name requesting-user-name root\n" + attrs + " }\n");
    return Sh("timeout -s KILL " + std::to_string(seconds) + " ipptool -tv " + (file.empty() ? "" : "-f " + file + " ") + "ipp://localhost:" +
              std::to_string(port_) + "/ipp/print/" + path + " " + dir_.File("request.test"));
  }

  std::string JobAttribute(const std::string& id, const std::string& name) {
    std::string out = Ipp("Get-Job-Attributes", "ATTR integer job-id " + id).out;
    std::size_t at = out.find(name + " (");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
  }

  // The stream the printer got on its n-th connection, once it has ended.
  Bytes Connection(int n) {
    std::string path = dir_.File("capture/conn-" + std::to_string(n) + ".prn");
    EXPECT_TRUE(WaitFor([&] { return fs::exists(path); }, 30)) << "no connection " << n;
    return fs::exists(path) ? ReadFile(path) : Bytes();
  }

  static constexpr const char* kNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

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
    std::string state = WaitForJob(JobId(c));
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

  std::string WaitForJob(const std::string& id, double seconds = 60) {
    std::string state;
    WaitFor([&] {
      state = Jobs()[id];
      return state == "completed" || state == "aborted" || state == "canceled";
    }, seconds);
    return state;
  }

  TempDir dir_;
  int port_ = 0;
  std::string filter_, device_;
  std::vector<std::string> env_;
  pid_t server_pid_ = -1, capture_pid_ = -1;
};

// A grey PNG of the given bit depth, white with a black square.
void GreyPng(const std::string& path, int depth) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 200, 200, depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_packing(png);  // a byte a pixel in, packed to the depth
  std::vector<png_byte> row(200);
  for (unsigned y = 0; y < 200; ++y) {
    for (unsigned x = 0; x < 200; ++x)
      row[x] = static_cast<png_byte>(x >= 50 && x < 100 && y >= 50 && y < 100 ? 0 : (1 << depth) - 1);
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

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

  // The filter gets only what the job needs: environment and descriptors.
  std::istringstream env(Slurp(dir_.File("filter.env")));
  std::set<std::string> names;
  for (std::string line; std::getline(env, line);) names.insert(line.substr(0, line.find('=')));
  // PWD, SHLVL and _ are the recording shell's own.
  for (const char* own : {"PWD", "SHLVL", "_", "OLDPWD"}) names.erase(own);
  EXPECT_EQ(names, (std::set<std::string>{"HOME", "LC_ALL", "PATH", "PPD", "TMPDIR"}));
  std::istringstream fds(Slurp(dir_.File("filter.fds")));
  std::set<std::string> open_fds{std::istream_iterator<std::string>(fds), {}};
  // ls inherits the shell's descriptors and reads the list through 3.
  EXPECT_EQ(open_fds, (std::set<std::string>{"0", "1", "2", "3"}));

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
  // Each page the printer got counts once.
  int last = 0;
  for (const auto& j : Jobs()) last = std::max(last, std::atoi(j.first.c_str()));
  EXPECT_EQ(JobAttribute(std::to_string(last), "job-impressions-completed"),
            "job-impressions-completed (integer) = 2");

  // Grey PNGs of every bit depth print the same page, a square on white.
  std::vector<Page> grey;
  for (int depth : {8, 4, 2, 1}) {
    GreyPng(dir_.File("grey.png"), depth);
    ASSERT_EQ(Print(dir_.File("grey.png"), "-o media=iso_a5_148x210mm", &out), "completed");
    job = DecodeJob(out);
    ASSERT_EQ(job.pages.size(), 1u) << depth << "-bit grey";
    grey.push_back(job.pages[0]);
    EXPECT_TRUE(grey.back().printed == grey[0].printed) << depth << "-bit grey prints another page";
  }
  double ink = Ink(grey[0], 0, 0, Dots(420), Dots(595));
  EXPECT_TRUE(ink > 0.005 && ink < 0.1) << ink << " of the page inked";

  // The app's own icons, and its test page from the printer's web page.
  EXPECT_EQ(Sh("curl -s " + Url("/tamsel/icon-lg.png") + " | cmp - " + dir_.File("data/icon-512.png")).status, 0);
  EXPECT_EQ(Sh("curl -s " + Url("/navicon.png") + " | cmp - " + dir_.File("data/icon-48.png")).status, 0);
  for (int n = 4; n <= 5; ++n) {  // the second finds the page still there
    PostForm("/tamsel/", "action=print-test-page");
    EXPECT_EQ(DecodeJob(Connection(n)).pages.size(), 1u) << "test page " << n;
  }
}

// A PDF of pages with a box each, slow enough to render that a job can be
// watched while it prints.
std::string BoxesPdf(const TempDir& dir, int pages) {
  std::string ps = dir.File("boxes.ps"), pdf = dir.File("boxes-" + std::to_string(pages) + ".pdf");
  WriteFile(ps, "%!PS\n1 1 " + std::to_string(pages) +
                    " { pop 0 1 400 { dup 72 add 72 moveto 0 600 rlineto stroke } for"
                    " 100 100 200 200 rectfill showpage } for\n");
  Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 -sOutputFile=" + pdf + " " + ps);
  return pdf;
}

// A small PNG; PAPPL spools it, so that it waits while the printer is paused.
std::string Png(const TempDir& dir) {
  std::string path = dir.File("page.png");
  if (!fs::exists(path)) {
    Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r20 -sOutputFile=" + path +
       " -c '0 0 100 100 rectfill showpage'");
    chmod(path.c_str(), 0644);
  }
  return path;
}

// A small black-1 PWG raster page on the given paper (points).
std::string PwgPage(const TempDir& dir, const std::string& name, unsigned w_pt, unsigned l_pt) {
  RasterPage page = WhitePage(w_pt * 600 / 72, 64, w_pt, l_pt);
  page.header.cupsColorSpace = CUPS_CSPACE_K;
  for (auto& line : page.lines) std::fill(line.begin(), line.end(), 0x0F);
  std::string path = dir.File(name);
  WriteRaster(path, {page}, CUPS_RASTER_WRITE_PWG);
  chmod(path.c_str(), 0644);
  return path;
}

// Refusals seen by another user prove nothing if that user cannot run the
// program at all (exit 126 under a home closed to others).
#define REQUIRE_ANOTHER_USER()                                                   \
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";       \
  ASSERT_EQ(App("--help", true).status, 0) << "uid 65534 cannot run " PRINTER_APP_PATH \
                                           "; let others into the directories above it"

TEST_F(PrinterApp, OnlyPrinterDevicesAndOnlyAdministratorsChangeThem) {
  REQUIRE_ANOTHER_USER();
  // Not even root may add a printer that writes to a file.
  Command c = App("add -d bad -v file://" + dir_.File("written") + " -m tamsel");
  EXPECT_NE(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("the schemes supported are dnssd:, snmp:, socket:, usb:"), std::string::npos) << c.out;
  EXPECT_FALSE(fs::exists(dir_.File("written")));

  // Another local user, on the control socket, over IPP and on the web.
  c = App("add -d evil -v " + device_ + " -m tamsel", true);
  EXPECT_NE(c.status, 0) << c.out;
  c = App("add -u ipp://localhost:" + std::to_string(port_) + "/ipp/system -d evil -v " + device_ +
          " -m tamsel", true);
  EXPECT_NE(c.status, 0) << c.out;
  EXPECT_EQ(Http(Url("/addprinter"), true), "403");
  EXPECT_EQ(Http("-X POST -d action=delete-printer " + Url("/tamsel/delete"), true), "403");
  EXPECT_EQ(App("printers").out, "tamsel\n");

  // Root opens the page that lists devices, with no DNS-SD daemon around.
  EXPECT_EQ(Http(Url("/addprinter")), "200");
  // The printer's B5 is ISO B5, not an envelope.
  EXPECT_NE(Sh("curl -s " + Url("/tamsel/media")).out.find("B5 (176 x 250 mm)"), std::string::npos);
  // A name that only starts with a digit is not this host (DNS rebinding).
  EXPECT_EQ(Http("-H 'Host: 1rebind.attacker.example' " + Url("/")), "400");
  EXPECT_EQ(Http(Url("/")), "200");

  // Forged forms: a token from another browser's session, one without its
  // cookie, and the right session posted from another site's page.
  std::string jar = dir_.File("admin.jar"), other = dir_.File("other.jar");
  std::string token = FormToken("/tamsel/delete", jar), post = "-d 'session=" + token + "&action=delete-printer' ";
  FormToken("/", other);
  Http("-b " + other + " " + post + Url("/tamsel/delete"));
  Http(post + Url("/tamsel/delete"));
  Http("-b " + jar + " -H 'Origin: http://evil.example' " + post + Url("/tamsel/delete"));
  EXPECT_EQ(App("printers").out, "tamsel\n");
  Http("-b " + jar + " -H 'Origin: " + Url("") + "' " + post + Url("/tamsel/delete"));
  EXPECT_EQ(App("printers").out, "");
  EXPECT_TRUE(ServerAlive());
}

TEST_F(PrinterApp, JobsAreControlledByTheirOwners) {
  REQUIRE_ANOTHER_USER();
  std::string page = Png(dir_);
  ASSERT_EQ(App("pause -d tamsel").status, 0);
  std::string roots = JobId(App("submit -d tamsel " + page));
  Command c = App("submit -d tamsel " + page, true);
  ASSERT_EQ(c.status, 0) << c.out;
  std::string nobodys = JobId(c);

  // requesting-user-name does not make anyone the owner.
  EXPECT_NE(App("cancel -d tamsel -j " + roots, true).status, 0);
  EXPECT_NE(App("-o requesting-user-name=root cancel -d tamsel -j " + roots, true).status, 0);
  EXPECT_NE(App("pause -d tamsel", true).status, 0);
  EXPECT_NE(App("cancel -d tamsel -a", true).status, 0);
  EXPECT_EQ(App("cancel -d tamsel -j " + nobodys, true).status, 0);
  EXPECT_EQ(Jobs()[nobodys], "canceled");
  EXPECT_EQ(Jobs()[roots], "pending");
}

TEST_F(PrinterApp, JobsPrintInOrderAndTheHistorySurvivesRestarts) {
  // Accepted while paused: A4, A5, Letter, B5, A5 landscape, and a custom
  // 4 x 6 inches as a driverless client asks for it.
  ASSERT_EQ(App("pause -d tamsel").status, 0);
  std::vector<std::string> ids;
  for (const char* media : {"iso_a4_210x297mm", "iso_a5_148x210mm", "na_letter_8.5x11in",
                            "iso_b5_176x250mm", "om_a5-landscape_210x148mm"})
    ids.push_back(JobId(App("submit -d tamsel -o media=" + std::string(media) + " " + Png(dir_))));
  std::string custom = Ipp("Print-Job", "ATTR mimeMediaType document-format image/png GROUP job-attributes-tag "
                           "ATTR collection media-col { MEMBER collection media-size { MEMBER integer x-dimension "
                           "10160 MEMBER integer y-dimension 15240 } } FILE $filename", "tamsel", Png(dir_)).out;
  ids.push_back(std::regex_replace(custom, std::regex("[^]*job-id \\(integer\\) = ([0-9]+)[^]*"), "$1"));
  // And one without a document, cancelled.
  Command c = Ipp("Create-Job", "STATUS successful-ok");
  ASSERT_EQ(c.status, 0) << c.out;
  std::string empty = std::to_string(std::stoi(ids.back()) + 1);
  ASSERT_EQ(App("cancel -d tamsel -j " + empty).status, 0);
  ASSERT_EQ(App("resume -d tamsel").status, 0);
  for (const std::string& id : ids) ASSERT_EQ(WaitForJob(id), "completed");

  // First in, first out; one connection per job; the paper in the dots a
  // CUPS queue sends for the same size.
  const unsigned dots[][2] = {{4960, 7016}, {3512, 4958}, {5100, 6600}, {4176, 5908}, {4958, 3512},
                              {2400, 3600}};
  for (int n = 1; n <= 6; ++n) {
    DecodedJob job = DecodeJob(Connection(n));
    ASSERT_FALSE(job.error) << job.error->Message();
    EXPECT_EQ(job.summary.settings.width_dots, dots[n - 1][0]) << "job " << n;
    EXPECT_EQ(job.summary.settings.length_dots, dots[n - 1][1]) << "job " << n;
  }

  // Killed while saving its state, again and again: every printer and
  // every job is there after the restart, and new ids go on upwards.
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 10; ++i) App("modify -d tamsel -o printer-location=room-" + std::to_string(i));
    kill(server_pid_, SIGKILL);
    waitpid(server_pid_, nullptr, 0);
    StartServer();
    ASSERT_EQ(App("printers").out, "tamsel\n") << "round " << round;
  }
  std::map<std::string, std::string> jobs = Jobs();
  for (const std::string& id : ids) EXPECT_EQ(jobs[id], "completed") << "job " << id;
  EXPECT_EQ(jobs[empty], "canceled");
  std::string next = JobId(App("submit -d tamsel " + PwgPage(dir_, "next.pwg", 420, 595)));
  EXPECT_GT(std::stoi(next), std::stoi(empty));

  // One server per state, and no private servers for sub-commands.
  Command second = App("server -o server-port=" + std::to_string(FreePort()));
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("already running"), std::string::npos) << second.out;
  EXPECT_EQ(App("printers").out, "tamsel\n");
  EXPECT_TRUE(StopServer()) << "shutdown did not end the server";
  c = App("printers");
  EXPECT_NE(c.status, 0);
  EXPECT_NE(c.out.find("not running"), std::string::npos) << c.out;
  EXPECT_NE(App("printers").status, 0) << "a sub-command started a server of its own";
  // A listen name that is not this machine's: refused, naming it.
  c = Sh("timeout 30 env SNAP_COMMON=" + dir_.File("state") + " " PRINTER_APP_PATH " server -o server-port=" +
         std::to_string(FreePort()) + " -o listen-hostname=nowhere.invalid");
  EXPECT_EQ(c.status, 1) << c.out;
  EXPECT_NE(c.out.find("\"nowhere.invalid\""), std::string::npos) << c.out;
}

TEST_F(PrinterApp, HostileDocumentsEndOnlyTheirOwnJob) {
  // 8-bit grey PWG raster far wider than the page, and one whose width
  // wraps the line length around in 32 bits.
  RasterPage wide = WhitePage(8, 4, 420, 595);
  wide.header.cupsBitsPerColor = wide.header.cupsBitsPerPixel = 8;
  wide.header.cupsColorSpace = CUPS_CSPACE_SW;
  wide.header.cupsWidth = 200000;
  wide.header.cupsBytesPerLine = 200000;
  for (auto& line : wide.lines) line.assign(200000, 0x00);
  WriteRaster(dir_.File("wide.pwg"), {wide}, CUPS_RASTER_WRITE_PWG);

  // PNGs: cut short, one 0 and one 60,000 pixels wide and high.
  Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r50 -sOutputFile=" + dir_.File("ok.png") +
     " -c 'showpage'");
  Bytes png = ReadFile(dir_.File("ok.png"));
  ASSERT_GT(png.size(), 100u);
  WriteFile(dir_.File("short.png"), std::string(png.begin(), png.begin() + 60));
  auto with_size = [&](const char* name, std::uint8_t hi, std::uint8_t lo) {
    Bytes b = png;  // IHDR width and height at 16, 20; its CRC at 29
    for (int at : {16, 20}) b[at] = b[at + 1] = 0, b[at + 2] = hi, b[at + 3] = lo;
    auto crc = crc32(0, b.data() + 12, 17);
    for (int k = 0; k < 4; ++k) b[29 + k] = static_cast<std::uint8_t>(crc >> (24 - 8 * k));
    WriteFile(dir_.File(name), std::string(b.begin(), b.end()));
  };
  with_size("zero.png", 0, 0);
  with_size("huge.png", 0xEA, 0x60);
  WriteFile(dir_.File("garbage.pdf"), std::string("%PDF-1.4\n") + std::string(5000, 'x'));
  Bytes pdf = ReadFile(BoxesPdf(dir_, 2));
  WriteFile(dir_.File("short.pdf"), std::string(pdf.begin(), pdf.begin() + pdf.size() / 2));
  Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=jpeggray -r50 -sOutputFile=" + dir_.File("ok.jpg") +
     " -c 'showpage'");
  Bytes jpg = ReadFile(dir_.File("ok.jpg"));
  WriteFile(dir_.File("short.jpg"), std::string(jpg.begin(), jpg.begin() + jpg.size() / 3));
  for (std::size_t i = 0; i + 9 < jpg.size(); ++i)  // SOF0: height and width 65,000
    if (jpg[i] == 0xFF && jpg[i + 1] == 0xC0) {
      jpg[i + 5] = jpg[i + 7] = 0xFD, jpg[i + 6] = jpg[i + 8] = 0xE8;
      break;
    }
  WriteFile(dir_.File("huge.jpg"), std::string(jpg.begin(), jpg.end()));

  // Four billion lines claimed, fifty sent; colour; Apple raster as wide.
  RasterPage tall = WhitePage(3496, 50, 420, 595);
  tall.header.cupsColorSpace = CUPS_CSPACE_K;
  tall.header.cupsHeight = 4000000000u;
  WriteRaster(dir_.File("tall.pwg"), {tall}, CUPS_RASTER_WRITE_PWG);
  RasterPage rgb = wide;
  rgb.header.cupsWidth = 2000;
  rgb.header.cupsBitsPerPixel = 24;
  rgb.header.cupsBytesPerLine = 6000;
  rgb.header.cupsColorSpace = CUPS_CSPACE_SRGB;
  rgb.header.cupsNumColors = 3;
  for (auto& line : rgb.lines) line.assign(6000, 0x00);
  WriteRaster(dir_.File("rgb.pwg"), {rgb}, CUPS_RASTER_WRITE_PWG);
  WriteRaster(dir_.File("wide.urf"), {wide}, CUPS_RASTER_WRITE_APPLE);

  Bytes out;
  for (const char* doc : {"wide.pwg", "wide.urf", "tall.pwg", "rgb.pwg", "short.png", "zero.png",
                          "huge.png", "short.jpg", "huge.jpg", "garbage.pdf", "short.pdf"}) {
    std::string state = Print(dir_.File(doc), "-o media=iso_a5_148x210mm", &out);
    EXPECT_TRUE(state == "aborted" || state == "completed") << doc << ": " << state;
    ASSERT_TRUE(ServerAlive()) << doc << " ended the server";
  }
  EXPECT_LT(fs::file_size(dir_.File("log")), 1u << 20) << "the log filled up";

  // Plain text, which nothing here prints: refused when sent, not queued.
  WriteFile(dir_.File("note.txt"), std::string("Meeting at noon.\n"));
  std::size_t jobs_before = Jobs().size();
  Command text = App("submit -d tamsel " + dir_.File("note.txt"));
  EXPECT_NE(text.status, 0) << text.out;
  EXPECT_EQ(Jobs().size(), jobs_before) << "a job was made of it";

  // At a resolution the printer does not offer, sent to a printer ready or
  // paused (then spooled): aborted with the reason, nothing printed.
  RasterPage low = WhitePage(1748, 64, 420, 595);
  low.header.cupsColorSpace = CUPS_CSPACE_K;
  low.header.HWResolution[0] = low.header.HWResolution[1] = 300;
  WriteRaster(dir_.File("300.pwg"), {low}, CUPS_RASTER_WRITE_PWG);
  for (const char* how : {"ready", "paused"}) {
    std::size_t before = Received().size();
    App(how[0] == 'p' ? "pause -d tamsel" : "status");
    std::string id = JobId(App("submit -d tamsel " + dir_.File("300.pwg")));
    App("resume -d tamsel");
    EXPECT_EQ(WaitForJob(id), "aborted") << how;
    EXPECT_NE(JobAttribute(id, "job-state-message").find("dpi"), std::string::npos) << how;
    Bytes all = Received();
    EXPECT_TRUE(DecodeJob(Bytes(all.begin() + before, all.end())).pages.empty()) << how;
  }

  // A raster for a paused printer waits, and the printer stays paused.
  ASSERT_EQ(App("pause -d tamsel").status, 0);
  std::string waiting = JobId(App("submit -d tamsel " + PwgPage(dir_, "paused.pwg", 420, 595)));
  EXPECT_EQ(Jobs()[waiting], "pending");
  EXPECT_NE(Ipp("Get-Printer-Attributes", "").out.find("printer-state (enum) = stopped"), std::string::npos);
  App("resume -d tamsel");
  EXPECT_EQ(WaitForJob(waiting), "completed");

  // Request lines logged at every length around the log line's end.
  Command sweep = Sh("for n in $(seq 880 1060); do curl -s -o /dev/null -H \"Host: $(printf %${n}s | "
                     "tr ' ' h)\" " + Url("/") + "$(printf %1000s | tr ' ' u); done");
  ASSERT_TRUE(ServerAlive()) << sweep.out;
  EXPECT_EQ(Print(PwgPage(dir_, "next.pwg", 420, 595), "", &out), "completed");
  EXPECT_EQ(DecodeJob(out).pages.size(), 1u);
}

TEST_F(PrinterApp, RequestsThatCostMuchOrLieAreAnsweredCheaply) {
  // "all" requested a thousand times is "all" once; more values are refused.
  std::string all = "all";
  for (int i = 1; i < 1024; ++i) all += ",all";
  // (Answered in milliseconds; it took 16 s of server CPU.)
  std::string attrs = Ipp("Get-Printer-Attributes", "ATTR keyword requested-attributes " + all, "tamsel", "", 10).out;
  EXPECT_NE(attrs.find("printer-name (nameWithoutLanguage) = tamsel"), std::string::npos) << attrs;
  EXPECT_NE(Ipp("Get-Printer-Attributes", "ATTR keyword requested-attributes " + all + ",all").out
                .find("client-error-bad-request"), std::string::npos);

  // Requests that stall half-sent: the server serves 64 connections at
  // once, and drops stalled ones in seconds (not a minute).
  auto threads = [&] {
    std::string status = Slurp("/proc/" + std::to_string(server_pid_) + "/status");
    return std::stoi(status.substr(status.find("Threads:") + 8));
  };
  const int idle_threads = threads();
  std::vector<int> stalled;
  for (int i = 0; i < 70; ++i) {
    stalled.push_back(Loopback(port_, true));
    EXPECT_GT(write(stalled.back(), "GET / HTTP/1.1\r\nHost: local", 27), 0);
  }
  WaitFor([&] { return threads() - idle_threads >= 64; }, 10);
  EXPECT_LE(threads() - idle_threads, 64);
  attrs = Ipp("Get-Printer-Attributes", "", "tamsel", "", 30).out;
  EXPECT_NE(attrs.find("printer-name (nameWithoutLanguage) = tamsel"), std::string::npos) << attrs;
  for (int fd : stalled) close(fd);

  // The lowest job id, looked for among the jobs there are.
  ASSERT_EQ(App("pause -d tamsel").status, 0);
  ASSERT_EQ(App("submit -d tamsel " + Png(dir_)).status, 0);
  EXPECT_NE(Ipp("Get-Job-Attributes", "ATTR integer job-id -2147483648").out.find("not-found"),
            std::string::npos);

  // Settings are kept, and saved; a device cannot be changed silently.
  ASSERT_EQ(App("modify -d tamsel -o printer-location=Hall").status, 0);
  Ipp("Set-Printer-Attributes", "GROUP printer-attributes-tag ATTR text printer-organization Acme "
      "ATTR text printer-organizational-unit Ops");
  EXPECT_NE(App("modify -d tamsel -v socket://127.0.0.1:1").status, 0);
  StopServer();
  StartServer();
  attrs = Ipp("Get-Printer-Attributes", "").out;
  for (const char* kept : {"printer-location (textWithoutLanguage) = Hall",
                           "printer-organization (textWithoutLanguage) = Acme",
                           "printer-organizational-unit (textWithoutLanguage) = Ops", device_.c_str()})
    EXPECT_NE(attrs.find(kept), std::string::npos) << kept;
}

TEST_F(PrinterApp, CancelStopsTheJobAtAPageBoundary) {
  std::string id = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 25)));
  ASSERT_TRUE(WaitFor([&] { return Received().size() > 200000; }, 30)) << "nothing reached the printer";
  ASSERT_EQ(App("cancel -d tamsel -j " + id).status, 0);
  EXPECT_EQ(WaitForJob(id, 10), "canceled");
  // The filter closed its page; Ghostscript and the filter are gone.
  DecodedJob job = DecodeJob(Connection(1));
  EXPECT_FALSE(job.error) << job.error->Message();
  EXPECT_LT(job.pages.size(), 25u);
  EXPECT_FALSE(HasChildren()) << "a child outlived the job";
}

// Bytes the app has queued in its open connections to the printer, as
// /proc/net/tcp tells them.
long QueuedToPrinter(const std::string& device) {
  char port[8];
  std::snprintf(port, sizeof port, ":%04X ", std::stoi(device.substr(device.rfind(':') + 1)));
  std::istringstream lines(Slurp("/proc/net/tcp"));
  long queued = 0;
  for (std::string line; std::getline(lines, line);)  // "n: local remote 01 tx:rx ..."
    if (std::size_t at = line.find(port); at != std::string::npos && line.substr(at + 6, 3) == "01 ")
      queued += std::stol(line.substr(at + 9, 8), nullptr, 16);
  return queued;
}

TEST_F(PrinterApp, ASlowOrStalledPrinterNeverHoldsTheQueue) {
  // A printer that reads 20 KB a second: at most about 256 KB wait for it
  // in the app's socket, a cancel ends the job within seconds, and the
  // next job prints.  (A stall time of 10 s: under ThreadSanitizer on a
  // busy machine such a printer's acknowledgements can come seconds apart.)
  StopServer();
  StallSeconds(10);
  StartServer();
  WriteFile(dir_.File("capture/read-rate"), std::string("20000"));
  std::string slow = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 25)));
  std::string next = JobId(App("submit -d tamsel " + Png(dir_)));
  ASSERT_TRUE(WaitFor([&] { return Received().size() > 60000; }, 60)) << "nothing reached the printer";
  fs::remove(dir_.File("capture/read-rate"));
  long most = 0;
  for (int i = 0; i < 30; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
    most = std::max(most, QueuedToPrinter(device_));
  EXPECT_GT(most, 0);
  EXPECT_LE(most, 300 * 1024);
  ASSERT_EQ(App("cancel -d tamsel -j " + slow).status, 0) << JobAttribute(slow, "job-state-message");
  EXPECT_EQ(WaitForJob(slow, 10), "canceled");
  EXPECT_EQ(WaitForJob(next), "completed");

  // A printer that takes nothing: the job ends after the stall time,
  // saying why.
  WriteFile(dir_.File("capture/stall"), std::string());
  std::string stuck = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 25)));
  EXPECT_EQ(WaitForJob(stuck), "aborted");
  EXPECT_NE(JobAttribute(stuck, "job-state-message").find("took no data"), std::string::npos) << JobAttribute(stuck, "job-state-message");

  // With no stall time to end it: a cancel still does, and a shutdown ends
  // the server in seconds, the job printing after the next start.
  StopServer();
  StallSeconds(600);
  StartServer();
  std::string kept;
  for (const char* how : {"cancel", "shutdown"}) {
    kept = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 3)));
    ASSERT_TRUE(WaitFor([&] { return QueuedToPrinter(device_) > 100000; }, 60)) << how;
    if (*how == 'c') {
      App("cancel -d tamsel -j " + kept);
      EXPECT_EQ(WaitForJob(kept, 10), "canceled");
    }
  }
  App("shutdown");
  EXPECT_TRUE(WaitFor([&] { return waitpid(server_pid_, nullptr, WNOHANG) == server_pid_; }, 10));
  server_pid_ = -1;
  fs::remove(dir_.File("capture/stall"));
  StartServer();
  EXPECT_EQ(WaitForJob(kept), "completed");
}

TEST_F(PrinterApp, FailedOrHungFilterLostPrinterAndHugeJobsAbortWithAReason) {
  Bytes out;
  // A filter that fails: nothing of the job reaches the printer.
  WriteFile(dir_.File("fail"), std::string("1"));
  EXPECT_EQ(Print(PwgPage(dir_, "job.pwg", 420, 595), "", &out), "aborted");
  EXPECT_TRUE(DecodeJob(out).pages.empty());
  fs::remove(dir_.File("fail"));

  // A filter that stops reading is stopped after the stall time.
  WriteFile(dir_.File("hang"), std::string("1"));
  EXPECT_EQ(Print(BoxesPdf(dir_, 2), "", &out), "aborted");
  EXPECT_NE(Slurp(dir_.File("log")).find("made no progress"), std::string::npos);
  EXPECT_FALSE(HasChildren()) << "the hung filter was not killed";
  fs::remove(dir_.File("hang"));

  // A printer that drops the connection mid-job.
  WriteFile(dir_.File("capture/close-after"), std::string("100000"));
  EXPECT_EQ(Print(BoxesPdf(dir_, 4), "", &out), "aborted");
  EXPECT_NE(Slurp(dir_.File("log")).find("Lost the connection to the printer"), std::string::npos);
  fs::remove(dir_.File("capture/close-after"));

  // More than 30 pages, copies included, is over this server's limit.
  EXPECT_EQ(Print(BoxesPdf(dir_, 2), "-o copies=16", &out), "aborted");
  EXPECT_NE(Slurp(dir_.File("log")).find("which is the limit for one job"), std::string::npos);
  EXPECT_EQ(Print(BoxesPdf(dir_, 2), "-o copies=15", &out), "completed");
  EXPECT_EQ(DecodeJob(out).pages.size(), 30u);
}


// Resident memory of a process, in KiB.
long RssKiB(pid_t pid) {
  std::istringstream status(Slurp("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(PrinterApp, SoakOfConcurrentClientsWithCancels) {
  // 40 jobs from 4 clients: PDF, PNG and PWG raster, a quarter cancelled.
  // Job i is told apart at the printer by its paper, density and weight.
  const char* media[] = {"iso_a5_148x210mm", "iso_a4_210x297mm", "iso_b5_176x250mm",
                         "na_letter_8.5x11in", "na_legal_8.5x14in"};
  const char* types[] = {"stationery", "stationery-heavyweight"};
  struct Job {
    std::string id, doc;
    unsigned pages = 1;
    int density = 0, weight = 0;
    bool cancel = false;
  };
  std::vector<Job> jobs(40);
  std::string pdf2 = BoxesPdf(dir_, 2);
  for (int i = 0; i < 40; ++i) {
    Job& j = jobs[i];
    j.density = (i / 5) % 5 + 1;
    j.weight = i / 25 + 1;
    j.cancel = i % 4 == 3;
    j.doc = i % 3 == 0 ? pdf2 : i % 3 == 1 ? Png(dir_) : PwgPage(dir_, "soak.pwg", 420, 595);
    j.pages = i % 3 == 0 ? 2 : 1;
  }
  long rss_after_10 = -1;
  std::atomic<int> finished{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(c);
      for (int i = c; i < 40; i += 4) {
        Job& j = jobs[i];
        std::string options = "-o media=" + std::string(media[i % 5]) + " -o media-type=" +
                              types[j.weight - 1] + " -o print-darkness=" +
                              std::to_string((j.density - 1) * 25 - 50);
        // A raster sent while another job prints waits its turn too.
        Command sub = App("submit -d tamsel " + options + " " + j.doc);
        EXPECT_EQ(sub.status, 0) << sub.out;
        j.id = JobId(sub);
        if (j.cancel) {
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
          App("cancel -d tamsel -j " + j.id);
        }
        if (++finished == 10) rss_after_10 = RssKiB(server_pid_);
      }
    });
  }
  for (auto& t : clients) t.join();
  std::map<std::string, std::string> states;
  WaitFor([&] {
    states = Jobs();
    for (const Job& j : jobs)
      if (states[j.id] != "completed" && states[j.id] != "aborted" && states[j.id] != "canceled")
        return false;
    return true;
  }, 90);
  for (Job& j : jobs) {
    std::string state = states[j.id];
    EXPECT_TRUE(j.cancel ? state == "canceled" || state == "completed" : state == "completed")
        << "job " << j.id << ": " << state;
    if (state == "completed") j.cancel = false;  // cancelled too late: it printed
  }

  // Every printed job arrived once, complete, in the order it was accepted;
  // a cancelled job that had started ends at a page boundary.
  const unsigned size_pt[][2] = {{420, 595}, {595, 842}, {498, 708}, {612, 792}, {612, 1008}};
  std::map<int, int> connection;  // job index -> connection
  for (int n = 1; fs::exists(dir_.File("capture/conn-" + std::to_string(n) + ".prn")); ++n) {
    Bytes bytes = ReadFile(dir_.File("capture/conn-" + std::to_string(n) + ".prn"));
    DecodedJob d = DecodeJob(bytes);
    ASSERT_TRUE(bytes.empty() || !d.error) << "connection " << n << ": " << d.error->Message();
    if (d.pages.empty()) continue;  // a job cancelled before its first page
    const auto& set = d.summary.settings;
    int match = -1;
    for (int i = 0; i < 40; ++i)
      if (set.density == jobs[i].density && set.paper_weight == jobs[i].weight &&
          std::abs(int(set.width_dots * 72 / 600) - int(size_pt[i % 5][0])) <= 5 &&
          std::abs(int(set.length_dots * 72 / 600) - int(size_pt[i % 5][1])) <= 5)
        match = i;
    ASSERT_GE(match, 0) << "connection " << n << " belongs to no job: density " << set.density
                        << ", weight " << set.paper_weight << ", " << set.width_dots << " x "
                        << set.length_dots << " dots";
    EXPECT_EQ(connection.count(match), 0u) << "job " << jobs[match].id << " arrived twice";
    connection[match] = n;
    if (!jobs[match].cancel) {
      EXPECT_EQ(d.pages.size(), jobs[match].pages) << "job " << jobs[match].id;
    }
  }
  int last = 0;
  std::map<int, int> by_id;  // job id -> connection, printed jobs only
  for (int i = 0; i < 40; ++i) {
    if (jobs[i].cancel) continue;
    ASSERT_EQ(connection.count(i), 1u) << "job " << jobs[i].id << " never arrived";
    by_id[std::stoi(jobs[i].id)] = connection[i];
  }
  for (const auto& [id, n] : by_id) {
    EXPECT_GT(n, last) << "job " << id << " overtook an earlier one";
    last = n;
  }
  EXPECT_TRUE(ServerAlive());
  EXPECT_FALSE(HasChildren());
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine holds freed memory
  EXPECT_LE(RssKiB(server_pid_), rss_after_10 * 6 / 5) << "after 10 jobs: " << rss_after_10 << " KiB";
#endif
}


// Ten clients at once, a thousand requests each: the printer's attributes
// (all of them, and the media database), the job list and small jobs.
// Every one is answered; responses that shared the printer's collections
// once garbled each other.
TEST_F(PrinterApp, TenClientsAtOnceAreEachAnswered) {
  const std::string head = " GROUP operation-attributes-tag ATTR charset attributes-charset utf-8"
                           " ATTR naturalLanguage attributes-natural-language en ATTR uri printer-uri $uri"
                           " ATTR name requesting-user-name root ";
  const std::string requests[] = {"Get-Printer-Attributes" + head + "ATTR keyword requested-attributes all",
                                  "Get-Printer-Attributes" + head +
                                      "ATTR keyword requested-attributes media-col-database",
                                  "Get-Jobs" + head + "ATTR keyword which-jobs all"};
  std::string test;
  for (int i = 0; i < 49; ++i) test += "{ OPERATION " + requests[i % 3] + " STATUS successful-ok }\n";
  WriteFile(dir_.File("mix.test"), test + "{ OPERATION Print-Job" + head +
                                       "ATTR mimeMediaType document-format image/pwg-raster FILE $filename"
                                       " STATUS successful-ok }\n");
  Command c = Sh("for c in $(seq 10); do for i in $(seq 20); do ipptool -t -T 60 -f " +
                 PwgPage(dir_, "page.pwg", 420, 595) + " ipp://localhost:" + std::to_string(port_) +
                 "/ipp/print/tamsel " + dir_.File("mix.test") + "; done >" + dir_.File("client") +
                 "$c & done; wait; cat " + dir_.File("client") + "* | grep -c '\\[PASS\\]'");
  EXPECT_EQ(c.out, "10000\n") << Sh("cat " + dir_.File("client") + "* | grep -A4 FAIL | head -20").out;
  EXPECT_TRUE(ServerAlive());
}

TEST_F(PrinterApp, KilledWhilePrintingThePrinterGetsTheJobAgain) {
  std::string id = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 25)));
  ASSERT_TRUE(WaitFor([&] { return Received().size() > 100000; }, 30));
  kill(server_pid_, SIGKILL);
  waitpid(server_pid_, nullptr, 0);
  ASSERT_TRUE(WaitFor([&] { return !HasChildren(); }, 10)) << "children outlived the server";
  WriteFile(dir_.File("spool/p00001j000000999-lost.pdf"), std::string("%PDF"));
  StartServer();
  EXPECT_EQ(WaitForJob(id), "completed") << "a job was left processing";
  EXPECT_FALSE(fs::exists(dir_.File("spool/p00001j000000999-lost.pdf")));
  EXPECT_EQ(DecodeJob(Connection(2)).pages.size(), 25u);
}

// A printer deleted while it prints goes once its job is done, and the
// server, which once used the printer after freeing it, goes on.
// The state as the release before this one (on PAPPL 1.3.1) wrote it
// (tests/data), and the job options file it kept beside each waiting job:
// upgrading the package must keep every printer, default and job.
TEST_F(PrinterApp, StateOfTheEarlierReleaseLoads) {
  ASSERT_TRUE(StopServer());
  const std::string spool = dir_.File("spool");
  fs::remove_all(spool);
  fs::create_directories(spool);
  struct Kept { int id; const char* name; const char* file; };
  for (Kept job : {Kept{2, "testpage.pdf", "testpage_pdf"}, Kept{3, "Kept report", "kept_report"}}) {
    std::string base = spool + "/p00001j00000000" + std::to_string(job.id) + "-" + job.file;
    fs::copy_file(dir_.File("data/testpage.pdf"), base + ".pdf");
    ipp_t* attrs = ippNew();
    ippAddString(attrs, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, job.name);
    ippAddString(attrs, IPP_TAG_JOB, IPP_TAG_MIMETYPE, "document-format-detected", nullptr,
                 "application/pdf");
    ippAddString(attrs, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-user-name", nullptr, "root");
    ippAddInteger(attrs, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", job.id);
    int fd = open((base + ".ipp").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ippSetState(attrs, IPP_STATE_IDLE);
    ASSERT_EQ(ippWriteFile(fd, attrs), IPP_STATE_DATA);
    close(fd);
    ippDelete(attrs);
  }
  std::string state = Slurp(TAMSEL_TEST_DATA "/pappl-1.3.1.state");
  state = std::regex_replace(std::regex_replace(state, std::regex("@SPOOL@"), spool), std::regex("@DEVICE@"),
                             device_);
  WriteFile(dir_.File("state/tamsel-printer-app.state"), state);
  StartServer();

  std::string attrs = Ipp("Get-Printer-Attributes",
                          "ATTR keyword requested-attributes printer-darkness-configured,"
                          "print-quality-default,media-col-default,printer-location").out;
  EXPECT_NE(attrs.find("printer-darkness-configured (integer) = 75"), std::string::npos) << attrs;
  EXPECT_NE(attrs.find("print-quality-default (enum) = high"), std::string::npos) << attrs;
  EXPECT_NE(attrs.find("media-size-name=iso_a5_148x210mm"), std::string::npos) << attrs;
  EXPECT_NE(attrs.find("media-type=cardstock"), std::string::npos) << attrs;
  EXPECT_NE(attrs.find("printer-location (textWithoutLanguage) = Room 12"), std::string::npos) << attrs;
  // The waiting job prints with those defaults, the held one stays held,
  // the finished one stays in the history, and new ids go on from 4.
  EXPECT_EQ(WaitForJob("3"), "completed");
  DecodedJob kept = DecodeJob(Connection(1));
  EXPECT_EQ(kept.summary.settings.density, 5) << "darkness 75, a level darker for high quality";
  EXPECT_EQ(kept.summary.settings.paper_weight, 3);
  EXPECT_LT(kept.summary.settings.width_dots, 4000u) << "A5, not the A4 default";
  std::map<std::string, std::string> jobs = Jobs();
  EXPECT_EQ(jobs["2"], "pending-held");
  EXPECT_EQ(jobs["1"], "completed");
  EXPECT_EQ(JobAttribute("3", "job-name"), "job-name (nameWithoutLanguage) = Kept report");
  Command all = Ipp("Get-Jobs", "ATTR keyword which-jobs all ATTR keyword requested-attributes all STATUS successful-ok");
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_EQ(JobId(App("submit -d tamsel " + dir_.File("data/testpage.pdf"))), "4");
}

TEST_F(PrinterApp, PrinterDeletedWhilePrintingGoesAfterItsJob) {
  ASSERT_EQ(App("add -d doomed -v " + device_ + " -m tamsel").status, 0);
  ASSERT_EQ(App("submit -d doomed " + BoxesPdf(dir_, 10)).status, 0);
  ASSERT_TRUE(WaitFor([&] { return Received().size() > 100000; }, 30)) << "nothing printed";
  EXPECT_EQ(App("delete -d doomed").status, 0);
  EXPECT_TRUE(WaitFor([&] { return App("printers").out == "tamsel\n"; }, 60));
  ASSERT_TRUE(ServerAlive());
  Bytes out;
  EXPECT_EQ(Print(PwgPage(dir_, "next.pwg", 420, 595), "", &out), "completed");
}

TEST_F(PrinterApp, DarknessFromTheDefaultsPrintQualityAndCupsRawQueues) {
  // The options sub-command lists copies as submit takes them.
  std::string listed = App("options -d tamsel").out;
  EXPECT_NE(listed.find("-n COPIES"), std::string::npos) << listed;
  // The default, as the options sub-command spells it, and reported.
  ASSERT_EQ(App("modify -d tamsel -o printer-darkness=75").status, 0);
  std::string attrs =
      Ipp("Get-Printer-Attributes",
          "ATTR keyword requested-attributes printer-darkness-configured,print-darkness-default").out;
  EXPECT_NE(attrs.find("printer-darkness-configured (integer) = 75"), std::string::npos);
  EXPECT_NE(attrs.find("print-darkness-default (integer) = 0"), std::string::npos) << attrs;
  Bytes out;
  std::string page = PwgPage(dir_, "page.pwg", 420, 595);
  ASSERT_EQ(Print(page, "", &out), "completed");
  EXPECT_EQ(DecodeJob(out).summary.settings.density, 4);
  // Draft, what every driverless client offers, is a level lighter.
  ASSERT_EQ(Print(page, "-o print-quality=draft", &out), "completed");
  EXPECT_EQ(DecodeJob(out).summary.settings.density, 3);
  // A CUPS raw queue sends the options CUPS 2.4 does not know as names.
  Command c = Ipp("Print-Job",
                  "ATTR mimeMediaType document-format image/pwg-raster GROUP job-attributes-tag\n"
                  "ATTR name print-darkness \"-75\" ATTR keyword media-type cardstock\n"
                  "ATTR uri job-uuid urn:uuid:5e2c1a3e-8c51-3a34-6e1f-0d2f4b1a9c11\n"
                  "FILE $filename STATUS successful-ok",
                  "tamsel", page);
  ASSERT_EQ(c.status, 0) << c.out;
  // It sent a job-uuid, as CUPS does: the job still has one, the printer's.
  c = Ipp("Get-Jobs", "ATTR keyword which-jobs all ATTR keyword requested-attributes all STATUS successful-ok");
  EXPECT_EQ(c.status, 0) << c.out;
  DecodedJob named = DecodeJob(Connection(3));
  EXPECT_EQ(named.summary.settings.density, 1);
  EXPECT_EQ(named.summary.settings.paper_weight, 3);
  // A darkness of 0 is a setting like any other: kept across a restart.
  ASSERT_EQ(App("modify -d tamsel -o printer-darkness=0").status, 0);
  ASSERT_TRUE(StopServer());
  StartServer();
  attrs = Ipp("Get-Printer-Attributes",
              "ATTR keyword requested-attributes printer-darkness-configured").out;
  EXPECT_NE(attrs.find("printer-darkness-configured (integer) = 0"), std::string::npos) << attrs;
}

TEST_F(PrinterApp, ThePrinterIsConnectedForOutputOnlyAndPagesCountWhenSent) {
  // A filter that takes the whole job before writing: nothing connects to
  // the printer meanwhile and no page counts as printed.
  WriteFile(dir_.File("hold"), std::string("1"));
  std::string id = JobId(App("submit -d tamsel " + BoxesPdf(dir_, 3)));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_.File("held.done")); }, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(dir_.File("capture/conn-1.part"))) << "connected with nothing to send";
  EXPECT_EQ(JobAttribute(id, "job-impressions-completed"), "job-impressions-completed (integer) = 0");
  fs::remove(dir_.File("hold"));
  EXPECT_EQ(WaitForJob(id), "completed");
  EXPECT_EQ(JobAttribute(id, "job-impressions-completed"), "job-impressions-completed (integer) = 3");
  // A streamed raster counts its pages the same way.
  std::string raster = JobId(App("submit -d tamsel " + PwgPage(dir_, "page.pwg", 420, 595)));
  ASSERT_EQ(WaitForJob(raster), "completed");
  EXPECT_EQ(JobAttribute(raster, "job-impressions-completed"), "job-impressions-completed (integer) = 1");

  // A printer that fails after the last byte: the job does not pass for
  // printed.
  WriteFile(dir_.File("capture/reset-at-end"), std::string("1"));
  Bytes out;
  EXPECT_EQ(Print(BoxesPdf(dir_, 1), "", &out), "aborted");
  EXPECT_NE(Slurp(dir_.File("log")).find("closed the connection before confirming"), std::string::npos);
}

TEST_F(PrinterApp, WebInterfaceInABrowser) {
  if (!Have("chromium")) GTEST_SKIP() << "chromium is not installed";
  fs::create_directories(PRINTER_APP_SCREENSHOTS);
  // Headless Chromium on a page, scripts run: a screenshot for the README,
  // or the page's text.
  const std::string browser = "timeout 60 chromium --headless=new --no-sandbox --disable-gpu "
                              "--window-size=1100,900 --user-data-dir=" + dir_.File("profile") + " ";
  auto shot = [&](const std::string& path, const std::string& file) {
    Sh(browser + "--screenshot=" PRINTER_APP_SCREENSHOTS "/" + file + " " + Url(path));
  };
  auto dom = [&](const std::string& path) { return Sh(browser + "--dump-dom " + Url(path)).out; };
  auto text = [](const std::string& html) { return std::regex_replace(html, std::regex("<[^>]*>"), ""); };
  shot("/", "home.png");
  EXPECT_NE(text(dom("/")).find("tamsel"), std::string::npos);

  // The printer's darkness through its defaults form: 100 % is Darkest.
  PostForm("/tamsel/printing", "print-darkness=100");
  Bytes out;
  ASSERT_EQ(Print(PwgPage(dir_, "page.pwg", 420, 595), "", &out), "completed");
  EXPECT_EQ(DecodeJob(out).summary.settings.density, 5);

  // The printer's page, and a paused printer saying so, with the button
  // that resumes it.
  shot("/tamsel/", "printer.png");
  ASSERT_EQ(App("pause -d tamsel").status, 0);
  shot("/tamsel/", "printer-paused.png");
  std::string page = dom("/tamsel/");
  EXPECT_NE(text(page).find("Stopped,"), std::string::npos) << text(page);
  EXPECT_NE(page.find("value=\"resume-printer\""), std::string::npos) << page;
  EXPECT_NE(text(page).find("Device:" + device_), std::string::npos) << text(page);
}

TEST_F(PrinterApp, UnreachablePrinterIsOfflineNotStopped) {
  ASSERT_EQ(App("add -d away -v socket://127.0.0.1:1 -m tamsel").status, 0);
  ASSERT_EQ(App("submit -d away " + Png(dir_)).status, 0);
  std::string attrs;
  WaitFor([&] {
    attrs = Ipp("Get-Printer-Attributes", "", "away").out;
    return attrs.find("offline") != std::string::npos;
  }, 10);
  EXPECT_NE(attrs.find("printer-state-reasons (keyword) = offline"), std::string::npos) << attrs;
  EXPECT_NE(attrs.find("Cannot connect to socket://127.0.0.1:1"), std::string::npos);
  EXPECT_EQ(attrs.find("printer-state (enum) = stopped"), std::string::npos);
  EXPECT_NE(App("status -d away").out.find("; offline."), std::string::npos);
  // Where the server is, for an administrator.
  std::string status = App("status").out, at = "localhost:" + std::to_string(port_);
  EXPECT_NE(status.find("Web interface: http://" + at + "/\n"), std::string::npos) << status;
  EXPECT_NE(status.find("Printer: ipp://" + at + "/ipp/print/away\n"), std::string::npos) << status;
  App("cancel -d away -a");
}

}  // namespace
}  // namespace tamsel::test
