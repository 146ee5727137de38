// Line encoder: the worked examples, the edge cases, and a round trip
// through the stream reader's independent decoder.

#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "stdout_capture.h"
#include "tamsel_stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using tamsel::test::Bytes;

namespace {

// Encodes one line into a compression buffer sized exactly as a page with
// that line length would have it, and returns the staged record.
Bytes EncodeRecord(const Bytes& line) {
  std::size_t n = line.size();
  szCompressBuf = static_cast<unsigned char*>(std::malloc(2 * n + 2));
  // The line sits in a buffer of its own size: any read past it is caught
  // by AddressSanitizer.
  auto* data = static_cast<unsigned char*>(std::malloc(n ? n : 1));
  std::copy(line.begin(), line.end(), data);

  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  tamsel::test::StdoutCapture capture;
  CompressDataAndSend(data, static_cast<unsigned>(n), 3);
  gJobFinishFlag = 1;
  ImageDataCpy(nullptr, 0);
  Bytes out = capture.Stop();
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;

  EXPECT_TRUE(std::equal(line.begin(), line.end(), data)) << "the encoder wrote into the line";
  std::free(data);
  std::free(szCompressBuf);
  szCompressBuf = nullptr;
  return out;
}

Bytes Payload(const Bytes& record) {
  EXPECT_GE(record.size(), 6u);
  return Bytes(record.begin() + 6, record.end());
}

Bytes Repeat(std::size_t n, std::uint8_t b) { return Bytes(n, b); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// No two neighbours equal.
Bytes Alternating(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 2 ? 0x55 : 0xAA);
  return b;
}

Bytes Complement(Bytes b) {
  for (auto& x : b) x = static_cast<std::uint8_t>(~x);
  return b;
}

Bytes ReferencePayload(const Bytes& line);

struct Vector {
  const char* name;
  Bytes line;
  Bytes payload;
};

class EncoderVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(EncoderVectors, PayloadIsExact) {
  const Vector& v = GetParam();
  Bytes record = EncodeRecord(v.line);
  ASSERT_GE(record.size(), 6u);
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x1B, 0x2A, 0x41, 0x02}));
  EXPECT_EQ(record[4] | (record[5] << 8), static_cast<int>(record.size() - 6));
  EXPECT_EQ(Payload(record), v.payload);
  if (!v.line.empty()) {
    EXPECT_EQ(ReferencePayload(v.line), v.payload) << "reference disagrees";
  }
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EncoderVectors,
    ::testing::Values(
        Vector{"TenWhite", Repeat(10, 0xFF), {0xF7, 0x00, 0xFF, 0x00}},
        Vector{"OneByte", {0x80}, {0x00, 0x7F, 0xFF, 0x00}},
        Vector{"TwoEqualStayLiteral", {0x00, 0x00}, {0x01, 0xFF, 0xFF, 0xFF, 0x00}},
        Vector{"ThreeEqualRepeat", {0x00, 0x00, 0x00}, {0xFE, 0xFF, 0xFF, 0x00}},
        Vector{"PairsOfTwo", {0xAA, 0xAA, 0x55, 0x55}, {0x03, 0x55, 0x55, 0xAA, 0xAA, 0xFF, 0x00}},
        Vector{"LiteralRunLiteral",
               {0x01, 0x02, 0x03, 0x03, 0x03, 0x03, 0x04},
               {0x01, 0xFE, 0xFD, 0xFD, 0xFC, 0x00, 0xFB, 0xFF, 0x00}},
        Vector{"RunRunLiteral",
               {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x0F},
               {0xFD, 0x00, 0xFD, 0xFF, 0x00, 0xF0, 0xFF, 0x00}},
        Vector{"Run128", Repeat(128, 0x00), {0x81, 0xFF, 0xFF, 0x00}},
        Vector{"Run129LeavesOneForALiteral", Repeat(129, 0x00),
               {0x81, 0xFF, 0x00, 0xFF, 0xFF, 0x00}},
        Vector{"Run130LeavesTwoForALiteral", Repeat(130, 0x00),
               {0x81, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0x00}},
        Vector{"Run131IsTwoRepeats", Repeat(131, 0x00), {0x81, 0xFF, 0xFE, 0xFF, 0xFF, 0x00}},
        Vector{"Run256ThenOther", Concat({Repeat(256, 0xF0), {0x0F}}),
               {0x81, 0x0F, 0x81, 0x0F, 0x00, 0xF0, 0xFF, 0x00}},
        Vector{"LiteralOf129IsCut", Alternating(129),
               Concat({{0x7F}, Complement(Alternating(128)), {0x00, 0x55}, {0xFF, 0x00}})},
        Vector{"OnlyLastByteInked", Concat({Repeat(620, 0xFF), {0xFE}}),
               {0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0x95, 0x00, 0x00, 0x01, 0xFF,
                0x00}},
        Vector{"EmptyLineIsOnlyTheEndMarker", {}, {0xFF, 0x00}}),
    [](const auto& info) { return info.param.name; });

TEST(LineEncoder, LongPayloadHasHighLengthByte) {
  Bytes record = EncodeRecord(Alternating(300));
  ASSERT_EQ(record.size(), 6u + 305u);
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 6),
            (Bytes{0x1B, 0x2A, 0x41, 0x02, 0x31, 0x01}));
}

TEST(LineEncoder, WorstCaseLineReachesTheBound) {
  EXPECT_EQ(Payload(EncodeRecord(Alternating(620))).size(), 627u);
}

// Random lines built from runs of random lengths, so that every boundary
// between literals, short runs and long runs is crossed.
TEST(LineEncoder, RoundTripsRandomLinesWithinTheBound) {
  const unsigned seed = 20261206;
  std::mt19937 rng(seed);
  for (int iteration = 0; iteration < 400; ++iteration) {
    std::size_t n = std::uniform_int_distribution<std::size_t>(1, 6000)(rng);
    Bytes line;
    while (line.size() < n) {
      std::size_t run = std::uniform_int_distribution<int>(0, 3)(rng) == 0
                            ? std::uniform_int_distribution<std::size_t>(1, 400)(rng)
                            : std::uniform_int_distribution<std::size_t>(1, 3)(rng);
      std::uint8_t b = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 3)(rng) * 0x55);
      line.insert(line.end(), std::min(run, n - line.size()), b);
    }
    Bytes payload = Payload(EncodeRecord(line));
    ASSERT_LE(payload.size(), n + (n + 127) / 128 + 2) << "seed " << seed << " line " << iteration;
    auto decoded = tamsel::DecodeLinePayload(payload.data(), payload.size());
    ASSERT_FALSE(decoded.error) << decoded.error->Message() << " seed " << seed;
    ASSERT_EQ(decoded.bytes, line) << "seed " << seed << " line " << iteration;
  }
}

// The one-pass, byte-at-a-time encoding as the printer's documentation
// describes it, kept here as the reference the fast encoder must match
// byte for byte.
Bytes ReferencePayload(const Bytes& line) {
  Bytes out;
  std::size_t litpos = 0, pos = 1;
  std::uint8_t last = line[0];
  int pack = 1;
  auto literals = [&](std::size_t lit) {
    while (lit > 0) {
      std::size_t n = std::min<std::size_t>(lit, 128);
      out.push_back(static_cast<std::uint8_t>(n - 1));
      for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(~line[litpos++]));
      lit -= n;
    }
  };
  auto repeats = [&] {
    while (pack >= 128) {
      out.push_back(0x81);
      out.push_back(static_cast<std::uint8_t>(~last));
      litpos += 128;
      pack -= 128;
    }
  };
  while (pos < line.size()) {
    std::uint8_t c = line[pos++];
    if (c == last) {
      if (++pack == 3) literals(pos - litpos - 3);
    } else {
      repeats();
      if (pack >= 3) {
        out.push_back(static_cast<std::uint8_t>(1 - pack));
        out.push_back(static_cast<std::uint8_t>(~last));
        litpos += static_cast<std::size_t>(pack);
      }
      pack = 1;
      last = c;
    }
  }
  repeats();
  if (pack >= 3) {
    out.push_back(static_cast<std::uint8_t>(1 - pack));
    out.push_back(static_cast<std::uint8_t>(~last));
  } else {
    literals(pos - litpos);
  }
  out.push_back(0xFF);
  out.push_back(0x00);
  return out;
}

TEST(LineEncoder, MatchesTheByteAtATimeReference) {
  const unsigned seed = 1998;
  std::mt19937 rng(seed);
  // Run lengths near the 3- and 128-byte boundaries, and stretches without
  // runs near the 16-byte steps of the fast search.
  const std::size_t lengths[] = {1, 2, 3, 4, 15, 16, 17, 18, 127, 128, 129, 130, 131, 255, 256, 257, 259};
  for (int iteration = 0; iteration < 3000; ++iteration) {
    Bytes line;
    std::size_t n = std::uniform_int_distribution<std::size_t>(1, 700)(rng);
    while (line.size() < n) {
      std::size_t run = lengths[rng() % (sizeof lengths / sizeof lengths[0])];
      bool literal = rng() % 2;
      for (std::size_t i = 0; i < run && line.size() < n; ++i)
        line.push_back(literal ? static_cast<std::uint8_t>(rng() % 3)
                               : static_cast<std::uint8_t>(0xF0 | (iteration & 15)));
    }
    ASSERT_EQ(Payload(EncodeRecord(line)), ReferencePayload(line))
        << "seed " << seed << " line " << iteration << " of " << line.size() << " bytes";
  }
}

}  // namespace
