// Helpers for the tests.

#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
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

void WriteRaster(const std::string& path, const std::vector<RasterPage>& pages, cups_mode_t mode,
                 bool raw) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  cups_raster_t* ras = cupsRasterOpen(fd, mode);
  if (!ras) throw std::runtime_error("cupsRasterOpen failed");
  for (const auto& page : pages) {
    cups_page_header2_t h = page.header;
    if (!cupsRasterWriteHeader2(ras, &h)) throw std::runtime_error("cupsRasterWriteHeader2 failed");
    for (const auto& line : page.lines) {
      if (raw) {
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
          throw std::runtime_error("write failed");
      } else {
        Bytes copy = line;
        if (cupsRasterWritePixels(ras, copy.data(), static_cast<unsigned>(copy.size())) == 0)
          throw std::runtime_error("cupsRasterWritePixels failed");
      }
    }
  }
  cupsRasterClose(ras);
  ::close(fd);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

std::string DefaultPpdOptions() {
  return "*OpenUI *PrintDensity/Print Density: PickOne\n"
         "*OrderDependency: 10 AnySetup *PrintDensity\n"
         "*DefaultPrintDensity: 3\n"
         "*PrintDensity 1/Lightest: \"\"\n"
         "*PrintDensity 2/Light: \"\"\n"
         "*PrintDensity 3/Normal: \"\"\n"
         "*PrintDensity 4/Dark: \"\"\n"
         "*PrintDensity 5/Darkest: \"\"\n"
         "*CloseUI: *PrintDensity\n"
         "*OpenUI *PaperWeight/Paper Weight: PickOne\n"
         "*OrderDependency: 10 AnySetup *PaperWeight\n"
         "*DefaultPaperWeight: 1\n"
         "*PaperWeight 1/Plain: \"\"\n"
         "*PaperWeight 2/Thick: \"\"\n"
         "*PaperWeight 3/Thicker: \"\"\n"
         "*CloseUI: *PaperWeight\n";
}

std::string TestPpd(const std::string& options) {
  return "*PPD-Adobe: \"4.3\"\n"
         "*FormatVersion: \"4.3\"\n"
         "*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n"
         "*LanguageEncoding: ISOLatin1\n"
         "*PCFileName: \"TAMSELT.PPD\"\n"
         "*Manufacturer: \"Tamsel\"\n"
         "*Product: \"(Tamsel Test)\"\n"
         "*ModelName: \"Tamsel Test\"\n"
         "*ShortNickName: \"Tamsel Test\"\n"
         "*NickName: \"Tamsel Test\"\n"
         "*PSVersion: \"(3010.000) 0\"\n"
         "*LanguageLevel: \"3\"\n"
         "*ColorDevice: False\n"
         "*DefaultColorSpace: Gray\n"
         "*cupsFilter: \"application/vnd.cups-raster 0 rastertotamsel\"\n" +
         options;
}

std::vector<std::string> FilterArgs(const std::string& options, const std::string& file) {
  std::vector<std::string> a = {"1", "user", "title", "1", options};
  if (!file.empty()) a.push_back(file);
  return a;
}

DecodedJob DecodeJob(const Bytes& stream) {
  DecodedJob job;
  std::istringstream in(std::string(stream.begin(), stream.end()));
  job.error = DecodeStream(in, job.summary,
                           [&](const JobSettings&, const Page& p) { job.pages.push_back(p); });
  return job;
}

std::string FilterPath() { return RASTERTOTAMSEL_PATH; }
std::string DecoderPath() { return TAMSEL_DECODE_PATH; }

FilterRun RunFilter(const std::vector<std::string>& args, const std::string& ppd,
                    const std::string& stdin_path) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");

  // posix_spawn, not fork: a forked copy of this process would count
  // towards the child's peak RSS.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "PPD=", 4) != 0) env_strings.emplace_back(*e);
  if (!ppd.empty()) env_strings.push_back("PPD=" + ppd);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  TempDir report_dir;
  std::string report = report_dir.File("rss");
  std::string wrapper = PEAK_RSS_PATH;
  std::string prog = FilterPath();
  std::vector<std::string> copy = args;
  std::vector<char*> argv = {wrapper.data(), report.data(), prog.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = posix_spawn(&pid, wrapper.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  FilterRun run;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (auto& p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open_fds;
      } else if (p.fd == out_pipe[0]) {
        run.out.insert(run.out.end(), buf, buf + n);
      } else {
        run.err.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::ifstream rss(report);
  if (!(rss >> run.status >> run.signal >> run.max_rss_kib)) run.status = -1;
  return run;
}

}  // namespace tamsel::test
