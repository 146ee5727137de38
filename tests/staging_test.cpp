// Staging buffer: thresholds, carries, the final flush and appends larger
// than the buffer, observed on a real standard output.

#include "output/staging.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

using tamsel::test::Bytes;
using tamsel::test::StdoutCapture;

namespace {

class Staging : public ::testing::Test {
 protected:
  void SetUp() override {
    gJobFinishFlag = 0;
    gImageCacheBufSize = 0;
    gWriteError = 0;
  }
  void TearDown() override {
    gJobFinishFlag = 0;
    gImageCacheBufSize = 0;
  }

  // Distinct bytes, so that any reordering shows.
  Bytes Next(std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(counter_++ * 7 + 1);
    return b;
  }
  void Append(const Bytes& b) {
    ImageDataCpy(b.data(), static_cast<unsigned>(b.size()));
    sent_.insert(sent_.end(), b.begin(), b.end());
  }
  void Finish() {
    gJobFinishFlag = 1;
    ImageDataCpy(nullptr, 0);
  }

  Bytes sent_;
  unsigned counter_ = 0;
};

TEST_F(Staging, AppendReaching5119WritesNothing) {
  StdoutCapture out;
  Append(Next(5000));
  Append(Next(119));
  EXPECT_EQ(out.Size(), 0u);
  EXPECT_EQ(gImageCacheBufSize, 5119u);
}

TEST_F(Staging, AppendReaching5120FlushesFirst) {
  StdoutCapture out;
  Append(Next(5000));
  Append(Next(120));
  // The 5,000 staged bytes go out as 9 blocks; the new bytes are not counted.
  EXPECT_EQ(out.Size(), 4608u);
  EXPECT_EQ(gImageCacheBufSize, 5000u - 4608u + 120u);
}

TEST_F(Staging, CarriesTheTailToTheFront) {
  StdoutCapture out;
  Append(Next(5118));
  Append(Next(5));
  EXPECT_EQ(out.Size(), 4608u);
  ASSERT_EQ(gImageCacheBufSize, 515u);
  EXPECT_TRUE(std::equal(sent_.begin() + 4608, sent_.end(), szImageCacheBuf));
  // The rest of the buffer is cleared behind the carried bytes.
  EXPECT_EQ(szImageCacheBuf[515], 0);
  Finish();
  EXPECT_EQ(out.Stop(), sent_);
}

TEST_F(Staging, FinalFlushWritesTheRemainder) {
  StdoutCapture out;
  Append(Bytes(1024, 0));
  Append(Next(12));
  EXPECT_EQ(out.Size(), 0u);
  Finish();
  EXPECT_EQ(out.Stop(), sent_);
  EXPECT_EQ(gWriteError, 0);
}

TEST_F(Staging, FinalFlushOfWholeBlocks) {
  StdoutCapture out;
  Append(Next(1536));
  Finish();
  EXPECT_EQ(out.Stop(), sent_);
}

TEST_F(Staging, FinalFlushWithNothingStagedWritesNothing) {
  StdoutCapture out;
  Finish();
  EXPECT_TRUE(out.Stop().empty());
}

// Random sequences, including appends far beyond one buffer: the output is
// the concatenation, and every write before the final flush is whole blocks.
TEST_F(Staging, RandomAppendsKeepOrderAndBlockSize) {
  const unsigned seed = 5120;
  std::mt19937 rng(seed);
  StdoutCapture out;
  for (int i = 0; i < 3000; ++i) {
    int kind = std::uniform_int_distribution<int>(0, 20)(rng);
    std::size_t len = kind == 0   ? std::uniform_int_distribution<std::size_t>(4610, 70000)(rng)
                      : kind < 4 ? std::uniform_int_distribution<std::size_t>(0, 4609)(rng)
                                  : std::uniform_int_distribution<std::size_t>(0, 12)(rng);
    Append(Next(len));
    ASSERT_LE(gImageCacheBufSize, 5120u);
    ASSERT_EQ(out.Size() % 512, 0u) << "seed " << seed << " append " << i;
  }
  Finish();
  EXPECT_EQ(out.Stop(), sent_) << "seed " << seed;
}

TEST_F(Staging, FailedWriteIsRemembered) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "/dev/full is missing";
  std::fflush(stdout);
  int saved = dup(1);
  dup2(fileno(full), 1);
  Append(Next(100));
  Finish();
  std::fflush(stdout);
  std::clearerr(stdout);
  dup2(saved, 1);
  ::close(saved);
  std::fclose(full);
  EXPECT_EQ(gWriteError, 1);
}

}  // namespace
