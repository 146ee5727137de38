// Hostile and broken input to the whole filter, failed writes, and
// cancellation by the spooler.  Every case has a defined exit status, a
// stream that the decoder accepts, and a small peak RSS.

#include "tamsel_stream.h"
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <thread>

extern char** environ;

namespace tamsel::test {
namespace {

constexpr long kMaxRssKib = 64 * 1024;

RasterPage SmallPage(unsigned width, unsigned height) {
  RasterPage p = WhitePage(width, height, 2, 10);
  p.header.cupsPageSize[0] = 2;
  p.header.cupsPageSize[1] = 10;
  return p;
}

RasterPage InkedPage(unsigned width, unsigned height) {
  RasterPage p = SmallPage(width, height);
  for (auto& line : p.lines) line[0] = 0x0F;
  return p;
}

struct HostileCase {
  const char* name;
  std::function<void(const std::string& path)> write;  // writes the raster file
  int status;                                          // expected exit status
  long pages;                                          // pages in the output, -1: any
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

void Truncate(const std::string& path, std::size_t size) {
  std::filesystem::resize_file(path, size);
}

RasterPage WithPageSize(float size) {
  RasterPage p = InkedPage(16, 2);
  p.header.PageSize[0] = p.header.PageSize[1] = 1;  // off the paper table
  p.header.cupsPageSize[0] = p.header.cupsPageSize[1] = size;
  return p;
}

const HostileCase kCases[] = {
    {"BytesPerLineZero",
     [](const std::string& f) {
       RasterPage p = SmallPage(16, 2);
       p.header.cupsBytesPerLine = 0;
       p.lines.clear();
       WriteRaster(f, {p}, CUPS_RASTER_WRITE, true);
     },
     1, 0},
    {"CompressedStreamWithHugeLineLength",
     [](const std::string& f) {
       // libcups sizes its line buffer from this header before the filter
       // sees it; the filter must still refuse the page.
       RasterPage bad = SmallPage(16, 2);
       bad.header.cupsBytesPerLine = 0x7FFFFFFF;
       bad.lines.clear();
       WriteRaster(f, {bad}, CUPS_RASTER_WRITE_COMPRESSED);
     },
     1, 0},
    {"HeightAllOnesWithAShortStream",
     [](const std::string& f) {
       RasterPage p = InkedPage(16, 5);
       p.header.cupsHeight = 0xFFFFFFFFu;
       WriteRaster(f, {p}, CUPS_RASTER_WRITE, true);
     },
     0, 1},
    {"PageSizeNegative", [](const std::string& f) { WriteRaster(f, {WithPageSize(-100)}); }, 0, 1},
    {"PageSizeNaN",
     [](const std::string& f) {
       WriteRaster(f, {WithPageSize(std::numeric_limits<float>::quiet_NaN())});
     },
     0, 1},
    {"PageSizeInfinite",
     [](const std::string& f) {
       WriteRaster(f, {WithPageSize(std::numeric_limits<float>::infinity())});
     },
     0, 1},
    {"PageSize1e30", [](const std::string& f) { WriteRaster(f, {WithPageSize(1e30f)}); }, 0, 1},
    {"CopiesAllOnes",
     [](const std::string& f) {
       RasterPage p = InkedPage(16, 2);
       p.header.NumCopies = 0xFFFFFFFFu;
       WriteRaster(f, {p});
     },
     0, 1},
    {"SyncWordThenGarbage",
     [](const std::string& f) {
       Bytes b = {'3', 'S', 'a', 'R'};
       for (int i = 0; i < 5000; ++i) b.push_back(static_cast<std::uint8_t>(i * 7919 >> 3));
       WriteFile(f, b);
     },
     -1, -1},
    {"CutInsideTheHeader",
     [](const std::string& f) {
       WriteRaster(f, {InkedPage(16, 2)});
       Truncate(f, 4 + 900);
     },
     1, 0},
    {"CutInsideALine",
     [](const std::string& f) {
       WriteRaster(f, {InkedPage(160, 4)});
       Truncate(f, 4 + 1796 + 20 * 2 + 7);
     },
     0, 1},
    {"CutInsideTheSecondHeader",
     [](const std::string& f) {
       WriteRaster(f, {InkedPage(16, 2), InkedPage(16, 2)});
       Truncate(f, 4 + 1796 + 4 + 1000);
     },
     0, 1},
    {"TenThousandOneLinePages",
     [](const std::string& f) {
       WriteRaster(f, std::vector<RasterPage>(10000, SmallPage(8, 1)));
     },
     0, 10000},
};

// The sanitizer build caps allocations, and says so when libcups asks for
// more; the filter itself prints nothing.
std::string WithoutAllocatorWarnings(const std::string& err) {
  std::istringstream in(err);
  std::string line, rest;
  while (std::getline(in, line))
    if (line.find("AddressSanitizer failed to allocate") == std::string::npos && !line.empty())
      rest += line + "\n";
  return rest;
}

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, HasADefinedOutcome) {
  const HostileCase& c = GetParam();
  TempDir dir;
  WriteFile(dir.File("tamsel.ppd"), TestPpd());
  c.write(dir.File("job.ras"));
  FilterRun run = RunFilter(FilterArgs(), dir.File("tamsel.ppd"), dir.File("job.ras"));

  EXPECT_EQ(run.signal, 0);
  if (c.status >= 0)
    EXPECT_EQ(run.status, c.status);
  else
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
  EXPECT_LT(run.max_rss_kib, kMaxRssKib);
  EXPECT_TRUE(WithoutAllocatorWarnings(run.err).empty()) << run.err;

  DecodedJob job = DecodeJob(run.out);
  ASSERT_FALSE(job.error) << job.error->Message();
  const StreamSummary& s = job.summary;
  if (c.pages >= 0) {
    EXPECT_EQ(static_cast<long>(s.pages.size()), c.pages);
  }
  if (s.has_settings) {
    EXPECT_GE(s.settings.copies, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Rasters, Hostile, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// Inputs that once broke something, kept as they were found.
TEST(Regressions, ReplayWithoutCrashing) {
  namespace fs = std::filesystem;
  TempDir dir;
  WriteFile(dir.File("tamsel.ppd"), TestPpd());
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(TAMSEL_REGRESSIONS_DIR)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() == ".ras") {
      FilterRun run = RunFilter(FilterArgs(), dir.File("tamsel.ppd"), path);
      EXPECT_EQ(run.signal, 0) << path;
      EXPECT_TRUE(run.status == 0 || run.status == 1) << path;
      EXPECT_LT(run.max_rss_kib, kMaxRssKib) << path;
      DecodedJob job = DecodeJob(run.out);
      EXPECT_FALSE(job.error) << path << ": " << job.error->Message();
    } else if (entry.path().extension() == ".prn") {
      DecodeJob(ReadFile(path));  // must return, valid or not
    } else {
      continue;
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

// Starts the filter itself (no wrapper), so that signals reach it.
pid_t StartFilter(const std::string& ppd, int in_fd, int out_fd) {
  std::vector<std::string> args = {FilterPath(), "1", "user", "title", "1", ""};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = {"PPD=" + ppd};
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "PPD=", 4)) env_strings.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  // The test's own SIGPIPE disposition must not decide the outcome.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

struct Exit {
  int status = -1;
  int signal = 0;
};

Exit WaitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  Exit e;
  if (WIFEXITED(status)) e.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
  return e;
}

class Output : public ::testing::Test {
 protected:
  void SetUp() override {
    ppd_ = dir_.File("tamsel.ppd");
    WriteFile(ppd_, TestPpd());
    // Enough pages that the output is far larger than any pipe buffer.
    ras_ = dir_.File("job.ras");
    WriteRaster(ras_, std::vector<RasterPage>(20, InkedPage(800, 200)));
  }
  TempDir dir_;
  std::string ppd_, ras_;
};

TEST_F(Output, FullDiskFailsTheJob) {
  int in = open(ras_.c_str(), O_RDONLY);
  int out = open("/dev/full", O_WRONLY);
  if (out < 0) GTEST_SKIP() << "/dev/full is missing";
  Exit e = WaitFor(StartFilter(ppd_, in, out));
  close(in);
  close(out);
  EXPECT_EQ(e.signal, 0);
  EXPECT_EQ(e.status, 1);
}

TEST_F(Output, ReaderGoneFailsTheJobWithoutSigpipe) {
  int in = open(ras_.c_str(), O_RDONLY);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  Exit e = WaitFor(StartFilter(ppd_, in, p[1]));
  close(in);
  close(p[1]);
  EXPECT_EQ(e.signal, 0) << "killed by a signal";
  EXPECT_EQ(e.status, 1);
}

// The spooler cancels with SIGTERM.  The page being printed is closed, the
// staged bytes are sent, and no further page starts.
TEST_F(Output, CancelClosesThePageAndFlushes) {
  RasterPage page = InkedPage(800, 400);
  std::string ras = dir_.File("slow.ras");
  WriteRaster(ras, {page, page, page});
  Bytes raster = ReadFile(ras);

  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = StartFilter(ppd_, in[0], out[1]);
  close(in[0]);
  close(out[1]);

  Bytes received;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) received.insert(received.end(), buf, buf + n);
  });

  // The first page and a half, then a pause in which the spooler cancels.
  std::size_t sent = 4 + 1796 + 400 * 100 + 1796 + 150 * 100;
  ASSERT_EQ(write(in[1], raster.data(), sent), static_cast<ssize_t>(sent));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGTERM);
  // The rest arrives slowly; the filter stops at its next line.
  signal(SIGPIPE, SIG_IGN);
  for (std::size_t at = sent; at < raster.size(); at += 100) {
    if (write(in[1], raster.data() + at, std::min<std::size_t>(100, raster.size() - at)) < 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (at > sent + 50000) break;
  }
  close(in[1]);
  Exit e = WaitFor(pid);
  reader.join();
  close(out[0]);

  EXPECT_EQ(e.signal, 0);
  EXPECT_EQ(e.status, 0);
  DecodedJob job = DecodeJob(received);
  ASSERT_FALSE(job.error) << job.error->Message();
  const StreamSummary& summary = job.summary;
  ASSERT_EQ(summary.pages.size(), 2u) << "the cancelled page must be closed, no further page";
  EXPECT_LT(summary.pages[1].records, 400u);
  EXPECT_GE(summary.pages[1].records, 150u);
}

}  // namespace
}  // namespace tamsel::test
