// Staging buffer: thresholds, carries, the final flush and appends larger
// than the buffer, observed on a real standard output.

#include "output/staging.h"
#include "test_support.h"

#include <unistd.h>

#include <random>

using tamsel::test::Bytes;
using tamsel::test::StdoutCapture;

namespace {

class Staging : public ::testing::Test {
 protected:
  void SetUp() override { gJobFinishFlag = gImageCacheBufSize = gWriteError = 0; }
  void TearDown() override { gJobFinishFlag = gImageCacheBufSize = gWriteError = 0; }

  // Distinct bytes, so that any reordering shows.
  void Append(std::size_t n) {
    Bytes b(n + 1);  // never empty: a null pointer asks for a flush
    for (auto& x : b) x = static_cast<std::uint8_t>(counter_++ * 7 + 1);
    ImageDataCpy(b.data(), static_cast<unsigned>(n));
    sent_.insert(sent_.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  }
  void Finish() {
    gJobFinishFlag = 1;
    ImageDataCpy(nullptr, 0);
  }

  Bytes sent_;
  unsigned counter_ = 0;
};

TEST_F(Staging, FlushesWholeBlocksWhenAnAppendWouldReach5120) {
  struct {
    std::size_t first, second, written, staged;
  } cases[] = {
      {5000, 119, 0, 5119},               // reaching 5,119: nothing written
      {5000, 120, 4608, 392 + 120},       // reaching 5,120: the 5,000 go first
      {5118, 5, 4608, 515},               // the tail is carried to the front
      {1536, 0, 0, 1536},                 // whole blocks wait for the end
  };
  for (const auto& c : cases) {
    SetUp();
    sent_.clear();
    StdoutCapture out;
    Append(c.first);
    Append(c.second);
    EXPECT_EQ(out.Size(), c.written) << c.first << " + " << c.second;
    EXPECT_EQ(gImageCacheBufSize, c.staged) << c.first << " + " << c.second;
    Finish();
    EXPECT_EQ(out.Stop(), sent_) << c.first << " + " << c.second;
  }
}

// Random sequences, with appends far beyond one buffer: the output is the
// concatenation, and every write before the final flush is whole blocks.
TEST_F(Staging, RandomAppendsKeepOrderAndBlockSize) {
  const unsigned seed = 5120;
  std::mt19937 rng(seed);
  StdoutCapture out;
  for (int i = 0; i < 3000; ++i) {
    int kind = std::uniform_int_distribution<int>(0, 20)(rng);
    Append(kind == 0  ? std::uniform_int_distribution<std::size_t>(4610, 70000)(rng)
           : kind < 4 ? std::uniform_int_distribution<std::size_t>(0, 4609)(rng)
                      : std::uniform_int_distribution<std::size_t>(0, 12)(rng));
    ASSERT_LE(gImageCacheBufSize, 5120u);
    ASSERT_EQ(out.Size() % 512, 0u) << "seed " << seed << " append " << i;
  }
  Finish();
  EXPECT_EQ(out.Stop(), sent_) << "seed " << seed;
}

// After a failed write nothing more is tried: the reader is gone.
TEST_F(Staging, FailedWriteIsRememberedAndEndsWriting) {
  StdoutCapture out;
  Append(600);
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "/dev/full is missing";
  int saved = dup(1);
  dup2(fileno(full), 1);
  Append(5000);
  EXPECT_EQ(gWriteError, 1);
  dup2(saved, 1);
  ::close(saved);
  std::fclose(full);
  Append(6000);
  Finish();
  EXPECT_TRUE(out.Stop().empty()) << "wrote again after a failed write";
}

}  // namespace
