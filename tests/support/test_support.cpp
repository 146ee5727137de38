// Helpers for the tests.

#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tamsel::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tamsel-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned page_w_pt,
                               unsigned page_l_pt) {
  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  std::strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = h.HWResolution[1] = 600;
  h.PageSize[0] = page_w_pt;
  h.PageSize[1] = page_l_pt;
  h.cupsPageSize[0] = static_cast<float>(page_w_pt);
  h.cupsPageSize[1] = static_cast<float>(page_l_pt);
  h.NumCopies = 1;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = (width + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_W;
  h.cupsNumColors = 1;
  return h;
}

RasterPage WhitePage(unsigned width, unsigned height, unsigned page_w_pt, unsigned page_l_pt) {
  RasterPage p{MakeHeader(width, height, page_w_pt, page_l_pt), {}};
  p.lines.assign(height, Bytes(p.header.cupsBytesPerLine, 0xFF));
  return p;
}

RasterPage SmallPage(unsigned width, unsigned height) { return WhitePage(width, height, 2, 10); }

void WriteRaster(const std::string& path, const std::vector<RasterPage>& pages, cups_mode_t mode,
                 bool raw) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  auto put = [&](const void* data, std::size_t size) {
    if (size && ::write(fd, data, size) != static_cast<ssize_t>(size))
      throw std::runtime_error("writing " + path + " failed");
  };
  // Byte for byte, without libcups: newer versions refuse to write the
  // hostile headers whose reading the tests are about.
  if (raw) {
    std::uint32_t sync = mode == CUPS_RASTER_WRITE_COMPRESSED ? CUPS_RASTER_SYNCv2 : CUPS_RASTER_SYNC;
    put(&sync, sizeof sync);
    for (const auto& page : pages) {
      put(&page.header, sizeof page.header);
      for (const auto& line : page.lines) put(line.data(), line.size());
    }
    ::close(fd);
    return;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, mode);
  if (!ras) throw std::runtime_error("cupsRasterOpen failed");
  for (const auto& page : pages) {
    cups_page_header2_t h = page.header;
    if (!cupsRasterWriteHeader2(ras, &h)) throw std::runtime_error("cupsRasterWriteHeader2 failed");
    for (const auto& line : page.lines) {
      Bytes copy = line;
      if (cupsRasterWritePixels(ras, copy.data(), static_cast<unsigned>(copy.size())) == 0)
        throw std::runtime_error("writing a raster line failed");
    }
  }
  cupsRasterClose(ras);
  ::close(fd);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Slurp(const std::string& path) {
  Bytes b = ReadFile(path);
  return std::string(b.begin(), b.end());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

std::string TestPpd() {
  return TestPpd(
      "*OpenUI *PrintDensity/Print Density: PickOne\n*DefaultPrintDensity: 3\n"
      "*PrintDensity 1/Lightest: \"\"\n*PrintDensity 2/Light: \"\"\n*PrintDensity 3/Normal: \"\"\n"
      "*PrintDensity 4/Dark: \"\"\n*PrintDensity 5/Darkest: \"\"\n*CloseUI: *PrintDensity\n"
      "*OpenUI *PaperWeight/Paper Weight: PickOne\n*DefaultPaperWeight: 1\n"
      "*PaperWeight 1/Plain: \"\"\n*PaperWeight 2/Thick: \"\"\n*PaperWeight 3/Thicker: \"\"\n"
      "*CloseUI: *PaperWeight\n");
}

std::string TestPpd(const std::string& options) {
  return "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TAMSELT.PPD\"\n"
         "*Manufacturer: \"Tamsel\"\n*Product: \"(Tamsel Test)\"\n*ModelName: \"Tamsel Test\"\n"
         "*ShortNickName: \"Tamsel Test\"\n*NickName: \"Tamsel Test\"\n"
         "*cupsFilter: \"application/vnd.cups-raster 0 rastertotamsel\"\n" +
         options;
}

pid_t Spawn(const std::vector<std::string>& args, const SpawnOptions& o) {
  // An entry without '=' removes that variable.
  std::vector<std::string> env;
  for (const auto& mine : o.env)
    if (mine.find('=') != std::string::npos) env.push_back(mine);
  for (char** e = environ; *e; ++e) {
    std::string name(*e, std::strcspn(*e, "="));
    bool replaced = false;
    for (const auto& mine : o.env) replaced |= mine.substr(0, mine.find('=')) == name;
    if (!replaced) env.emplace_back(*e);
  }
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (o.in_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, o.in_fd, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, o.in_path.empty() ? "/dev/null" : o.in_path.c_str(),
                                     O_RDONLY, 0);
  if (o.out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, o.out_fd, 1);
  if (o.err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, o.err_fd, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

Exit Wait(pid_t pid) {
  int status = 0;
  Exit e;
  if (waitpid(pid, &status, 0) != pid) return e;
  if (WIFEXITED(status)) e.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
  return e;
}

Command Sh(const std::string& cmd) {
  Command c{-1, {}};
  std::FILE* p = popen(("{ " + cmd + " ; } 2>&1").c_str(), "r");
  if (!p) return c;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) c.out.append(buf, n);
  int status = pclose(p);
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

bool Have(const std::string& program) {
  return Sh("command -v " + program + " >/dev/null").status == 0;
}

std::vector<std::string> FilterArgs(const std::string& options, const std::string& file) {
  std::vector<std::string> a = {"1", "user", "title", "1", options};
  if (!file.empty()) a.push_back(file);
  return a;
}

FilterRun RunFilter(const std::vector<std::string>& args, const std::string& ppd,
                    const std::string& stdin_path) {
  // Started from peak-rss: a child's peak RSS counts this process's memory
  // until exec.
  TempDir dir;
  std::vector<std::string> argv = {PEAK_RSS_PATH, dir.File("rss"), RASTERTOTAMSEL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  int out = ::open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int err = ::open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  Wait(Spawn(argv, {{ppd.empty() ? "PPD" : "PPD=" + ppd}, stdin_path, -1, out, err}));
  ::close(out);
  ::close(err);
  FilterRun run;
  run.out = ReadFile(dir.File("out"));
  run.err = Slurp(dir.File("err"));
  std::ifstream rss(dir.File("rss"));
  if (!(rss >> run.status >> run.signal >> run.max_rss_kib)) run.status = -1;
  return run;
}

DecodedJob DecodeJob(const Bytes& stream) {
  DecodedJob job;
  std::istringstream in(std::string(stream.begin(), stream.end()));
  job.error = DecodeStream(in, job.summary,
                           [&](const JobSettings&, const Page& p) { job.pages.push_back(p); });
  return job;
}

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  std::size_t n = std::min(actual.size(), expected.size());
  for (std::size_t i = 0; i < n; ++i)
    if (actual[i] != expected[i])
      return ::testing::AssertionFailure()
             << "first difference at offset " << i << ": got " << int(actual[i]) << ", expected "
             << int(expected[i]) << " (sizes " << actual.size() << " and " << expected.size() << ")";
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected "
                                         << expected.size();
  return ::testing::AssertionSuccess();
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  saved_ = dup(1);
  if (!std::freopen(dir_.File("out").c_str(), "wb", stdout)) throw std::runtime_error("freopen");
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

std::size_t StdoutCapture::Size() const {
  struct stat st {};
  return ::stat(dir_.File("out").c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

Bytes StdoutCapture::Stop() {
  if (saved_ >= 0) {
    std::fflush(stdout);
    dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
    std::clearerr(stdout);
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    data_ = ReadFile(dir_.File("out"));
  }
  return data_;
}

double Ink(const Page& page, unsigned x0, unsigned y0, unsigned x1, unsigned y1) {
  std::size_t black = 0, total = 0;
  for (unsigned y = y0; y < y1; ++y) {
    auto it = page.printed.find(y);
    for (unsigned x = x0; x < x1; ++x, ++total)
      if (it != page.printed.end() && x / 8 < it->second.size() &&
          !(it->second[x / 8] & (0x80 >> (x % 8))))
        ++black;
  }
  return total ? static_cast<double>(black) / total : 0;
}

const char* const kTwoPagePs =
    "%!PS\n<< /PageSize [420 595] >> setpagedevice\n"
    "/box { newpath moveto 150 0 rlineto 0 150 rlineto -150 0 rlineto closepath fill } def\n"
    "60 385 box showpage\n210 60 box showpage\n";

void ExpectBoxes(const DecodedJob& job) {
  ASSERT_FALSE(job.error) << job.error->Message();
  ASSERT_EQ(job.pages.size(), 2u);
  // Page 1's box spans 60..210 pt across and 60..210 pt down from the top.
  const unsigned a = Dots(100), b = Dots(170), c = Dots(250), d = Dots(320);
  const unsigned top = Dots(100), bottom_a = Dots(595 - 170), bottom_b = Dots(595 - 100);
  EXPECT_GT(Ink(job.pages[0], a, top, b, Dots(170)), 0.95) << "box missing on page 1";
  EXPECT_LT(Ink(job.pages[0], c, bottom_a, d, bottom_b), 0.01) << "ink where page 1 is white";
  EXPECT_GT(Ink(job.pages[1], c, bottom_a, d, bottom_b), 0.95) << "box missing on page 2";
  EXPECT_LT(Ink(job.pages[1], a, top, b, Dots(170)), 0.01) << "ink where page 2 is white";
}

}  // namespace tamsel::test
