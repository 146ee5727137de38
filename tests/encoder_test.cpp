// Line encoder: the worked examples and edge cases, and random lines
// compared with a byte-at-a-time reference and with the stream reader's
// independent decoder.

#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "test_support.h"

#include <cstdlib>
#include <random>
#include <vector>

using tamsel::test::Bytes;

namespace {

// Encodes one line with a compression buffer sized as a page of that line
// length has it, and returns the staged record.
Bytes EncodeRecord(const Bytes& line) {
  std::size_t n = line.size();
  szCompressBuf = static_cast<unsigned char*>(std::malloc(2 * n + 2));
  // The line sits in a buffer of its own size: AddressSanitizer catches
  // any read past it.
  auto* data = static_cast<unsigned char*>(std::malloc(n ? n : 1));
  std::copy(line.begin(), line.end(), data);
  gJobFinishFlag = gImageCacheBufSize = 0;
  tamsel::test::StdoutCapture capture;
  CompressDataAndSend(data, static_cast<unsigned>(n), 3);
  gJobFinishFlag = 1;
  ImageDataCpy(nullptr, 0);
  Bytes out = capture.Stop();
  gJobFinishFlag = gImageCacheBufSize = 0;
  EXPECT_TRUE(std::equal(line.begin(), line.end(), data)) << "the encoder wrote into the line";
  std::free(data);
  std::free(szCompressBuf);
  szCompressBuf = nullptr;
  // The header's length field must match what follows it.
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x1B, 0x2A, 0x41, 0x02}));
  EXPECT_EQ(out[4] | (out[5] << 8), static_cast<int>(out.size() - 6));
  return Bytes(out.begin() + 6, out.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// No two neighbours equal; complemented when inverted is set.
Bytes Alternating(std::size_t n, bool inverted = false) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i % 2) != inverted ? 0x55 : 0xAA);
  return b;
}

// The one-pass, byte-at-a-time encoding as the printer's documentation
// describes it: the reference the fast encoder must match byte for byte.
Bytes ReferencePayload(const Bytes& line) {
  Bytes out;
  std::size_t litpos = 0, pos = 1;
  std::uint8_t last = line[0];
  int pack = 1;
  auto literals = [&](std::size_t lit) {
    for (std::size_t n; lit > 0; lit -= n) {
      n = std::min<std::size_t>(lit, 128);
      out.push_back(static_cast<std::uint8_t>(n - 1));
      for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(~line[litpos++]));
    }
  };
  auto repeat = [&](int n) {
    out.push_back(static_cast<std::uint8_t>(1 - n));
    out.push_back(static_cast<std::uint8_t>(~last));
    litpos += static_cast<std::size_t>(n);
  };
  while (pos < line.size()) {
    std::uint8_t c = line[pos++];
    if (c == last) {
      if (++pack == 3) literals(pos - litpos - 3);
      continue;
    }
    for (; pack >= 128; pack -= 128) repeat(128);
    if (pack >= 3) repeat(pack);
    pack = 1;
    last = c;
  }
  for (; pack >= 128; pack -= 128) repeat(128);
  if (pack >= 3)
    repeat(pack);
  else
    literals(pos - litpos);
  return Cat({out, {0xFF, 0x00}});
}

TEST(LineEncoder, WorkedExamplesAndEdgeCases) {
  struct {
    const char* name;
    Bytes line, payload;
  } cases[] = {
      {"ten white", Bytes(10, 0xFF), {0xF7, 0x00, 0xFF, 0x00}},
      {"one byte", {0x80}, {0x00, 0x7F, 0xFF, 0x00}},
      {"two equal stay literal", {0x00, 0x00}, {0x01, 0xFF, 0xFF, 0xFF, 0x00}},
      {"three equal repeat", {0x00, 0x00, 0x00}, {0xFE, 0xFF, 0xFF, 0x00}},
      {"literal run literal", {0x01, 0x02, 0x03, 0x03, 0x03, 0x03, 0x04},
       {0x01, 0xFE, 0xFD, 0xFD, 0xFC, 0x00, 0xFB, 0xFF, 0x00}},
      {"run run literal", {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x0F},
       {0xFD, 0x00, 0xFD, 0xFF, 0x00, 0xF0, 0xFF, 0x00}},
      {"run of 128", Bytes(128, 0x00), {0x81, 0xFF, 0xFF, 0x00}},
      {"run of 129 leaves one literal", Bytes(129, 0x00), {0x81, 0xFF, 0x00, 0xFF, 0xFF, 0x00}},
      {"run of 130 leaves two literals", Bytes(130, 0x00), {0x81, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0x00}},
      {"run of 131 is two repeats", Bytes(131, 0x00), {0x81, 0xFF, 0xFE, 0xFF, 0xFF, 0x00}},
      {"literal of 129 is cut", Alternating(129),
       Cat({{0x7F}, Alternating(128, true), {0x00, 0x55, 0xFF, 0x00}})},
      {"only the last byte inked", Cat({Bytes(620, 0xFF), {0xFE}}),
       {0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0x81, 0x00, 0x95, 0x00, 0x00, 0x01, 0xFF, 0x00}},
      {"empty line is the end marker alone", {}, {0xFF, 0x00}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeRecord(c.line), c.payload) << c.name;
    if (!c.line.empty()) {
      EXPECT_EQ(ReferencePayload(c.line), c.payload) << "reference: " << c.name;
    }
  }
  // Worst case: n + ceil(n / 128) + 2, with a length above 255.
  EXPECT_EQ(EncodeRecord(Alternating(620)).size(), 627u);
}

// Random lines of runs whose lengths sit near the 3- and 128-byte limits
// and the 16-byte steps of the vector search.
// Every encoder this build can choose: the baseline one, and AVX2 where the
// CPU has it.
std::vector<int> EncoderPaths() {
  SelectLineEncoder();
  std::vector<int> paths = {0};
  if (gEncoderAvx2) paths.push_back(1);
  return paths;
}

TEST(LineEncoder, RandomLinesMatchTheReferenceAndDecodeBack) {
  for (int avx2 : EncoderPaths()) {
    SCOPED_TRACE(avx2 ? "AVX2" : "baseline");
    gEncoderAvx2 = avx2;
    const unsigned seed = 1998;
    std::mt19937 rng(seed);
    const std::size_t lengths[] = {1, 2, 3, 4, 15, 16, 17, 18, 127, 128, 129, 130, 131, 255, 256, 257, 400};
    for (int iteration = 0; iteration < 3000; ++iteration) {
      Bytes line;
      std::size_t n = std::uniform_int_distribution<std::size_t>(1, iteration % 10 ? 700 : 6000)(rng);
      while (line.size() < n) {
        std::size_t run = lengths[rng() % (sizeof lengths / sizeof lengths[0])];
        bool literal = rng() % 2;
        for (std::size_t i = 0; i < run && line.size() < n; ++i)
          line.push_back(literal ? static_cast<std::uint8_t>(rng() % 3)
                                 : static_cast<std::uint8_t>(0xF0 | (iteration & 15)));
      }
      Bytes payload = EncodeRecord(line);
      ASSERT_EQ(payload, ReferencePayload(line)) << "seed " << seed << " line " << iteration;
      auto decoded = tamsel::DecodeLinePayload(payload.data(), payload.size());
      ASSERT_EQ(decoded.bytes, line) << "seed " << seed << " line " << iteration;
    }
  }
  gEncoderAvx2 = 0;
}

}  // namespace
