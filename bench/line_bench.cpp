// Micro-benchmarks of the filter's per-line path: the encoder on typical
// lines, the shifted-memcmp white test, and the staging buffer.

#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "pages.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using tamsel::bench::PageKind;

constexpr std::size_t kLineBytes = 620;  // A4 at 600 dpi

// Sends standard output to /dev/null for the life of a benchmark.
class DiscardStdout {
 public:
  DiscardStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~DiscardStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

// Lines of a page, cycled through by the encoder benchmarks.
std::vector<std::vector<std::uint8_t>> PageLines(PageKind kind, unsigned first, unsigned count) {
  std::vector<std::vector<std::uint8_t>> lines;
  std::vector<std::uint8_t> line(kLineBytes);
  for (unsigned y = first; y < first + count; ++y) {
    tamsel::bench::MakeLine(kind, y, line);
    lines.push_back(line);
  }
  return lines;
}

void EncodeLines(benchmark::State& state, const std::vector<std::vector<std::uint8_t>>& lines) {
  // Argument 0: the encoder this CPU gets, as a job selects it; 1: SSE2
  // whatever the CPU has.
  SelectLineEncoder();
  if (state.range(0) == 1) gEncoderAvx2 = 0;
  state.SetLabel(gEncoderAvx2 ? "AVX2" : "baseline");
  DiscardStdout discard;
  std::vector<unsigned char> compress(2 * kLineBytes + 2);
  szCompressBuf = compress.data();
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    auto& line = lines[i++ % lines.size()];
    CompressDataAndSend(const_cast<unsigned char*>(line.data()), kLineBytes, 3);
  }
  szCompressBuf = nullptr;
  gImageCacheBufSize = 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLineBytes));
}

void BM_EncodeText(benchmark::State& state) {
  auto lines = PageLines(PageKind::kText, 1000, 70);  // the inked rows of a text line
  EncodeLines(state, lines);
}
BENCHMARK(BM_EncodeText)->Arg(0)->Arg(1);

void BM_EncodeHalftone(benchmark::State& state) {
  EncodeLines(state, PageLines(PageKind::kDithered, 0, 64));
}
BENCHMARK(BM_EncodeHalftone)->Arg(0)->Arg(1);

void BM_EncodeLongRuns(benchmark::State& state) {
  std::vector<std::uint8_t> line(kLineBytes, 0xFF);
  std::fill(line.begin() + 100, line.begin() + 400, 0x00);
  line[kLineBytes - 1] = 0xFE;
  EncodeLines(state, {line});
}
BENCHMARK(BM_EncodeLongRuns)->Arg(0)->Arg(1);

void BM_EncodeAllWhite(benchmark::State& state) {
  EncodeLines(state, {std::vector<std::uint8_t>(kLineBytes, 0xFF)});
}
BENCHMARK(BM_EncodeAllWhite)->Arg(0)->Arg(1);

// The white test as the job loop does it: the line equals itself shifted
// by one byte, and its first byte is white.
void BM_WhiteTest(benchmark::State& state) {
  std::vector<unsigned char> buf(kLineBytes + 1, 0xFF);
  for (auto _ : state) {
    benchmark::DoNotOptimize(buf.data());
    bool white = std::memcmp(buf.data(), buf.data() + 1, kLineBytes - 1) == 0 && buf[0] == 0xFF;
    benchmark::DoNotOptimize(white);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLineBytes));
}
BENCHMARK(BM_WhiteTest);

void BM_StageBlankLines(benchmark::State& state) {
  DiscardStdout discard;
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  for (auto _ : state) ImageDataCpy(szBlankLineCmd, kBlankLineCmdLen);
  gImageCacheBufSize = 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlankLineCmdLen));
}
BENCHMARK(BM_StageBlankLines);

void BM_StageRecords(benchmark::State& state) {
  DiscardStdout discard;
  std::vector<unsigned char> record(static_cast<std::size_t>(state.range(0)), 0x5A);
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  for (auto _ : state) ImageDataCpy(record.data(), static_cast<unsigned>(record.size()));
  gImageCacheBufSize = 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * record.size()));
}
BENCHMARK(BM_StageRecords)->Arg(64)->Arg(627)->Arg(4609);

}  // namespace

BENCHMARK_MAIN();
