// Line encoder: any line encodes to a record whose payload stays within its
// bound and decodes back to the line, and every encoder this machine can
// choose (baseline x86-64, AVX2) writes the same bytes as the portable one.

#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "tamsel_stream.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

void CompressDataAndSendPortable(unsigned char* dataLine, unsigned int length, unsigned int type);

namespace {

// The record as written out, long lines flushed through the staging
// buffer as in a job.
std::vector<std::uint8_t> Encode(void (*encode)(unsigned char*, unsigned int, unsigned int),
                                 std::vector<std::uint8_t>& line) {
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* saved = stdout;
  stdout = open_memstream(&buf, &len);
  if (!stdout) std::abort();
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  encode(line.data(), static_cast<unsigned>(line.size()), 3);
  gJobFinishFlag = 1;
  ImageDataCpy(nullptr, 0);
  std::fclose(stdout);
  stdout = saved;
  std::vector<std::uint8_t> out(buf, buf + len);
  std::free(buf);
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxEncodedLine) size = kMaxEncodedLine;

  std::vector<std::uint8_t> line(data, data + size);
  szCompressBuf = static_cast<unsigned char*>(std::malloc(2 * size + 2));

  std::vector<std::uint8_t> rec = Encode(CompressDataAndSendPortable, line);
  SelectLineEncoder();
  for (int avx2 = gEncoderAvx2; avx2 >= 0; --avx2) {
    gEncoderAvx2 = avx2;
    if (Encode(CompressDataAndSend, line) != rec) std::abort();
  }
  if (size && std::memcmp(line.data(), data, size) != 0) std::abort();  // wrote into the line

  if (rec.size() < 6 + 2) std::abort();
  if (rec[0] != 0x1B || rec[1] != '*' || rec[2] != 'A' || rec[3] != 0x02) std::abort();
  std::size_t len = rec[4] | (rec[5] << 8);
  if (len != rec.size() - 6) std::abort();
  if (len > size + (size + 127) / 128 + 2) std::abort();

  tamsel::LineDecode decoded = tamsel::DecodeLinePayload(rec.data() + 6, len);
  if (decoded.error || decoded.bytes != line) std::abort();

  std::free(szCompressBuf);
  szCompressBuf = nullptr;
  return 0;
}
