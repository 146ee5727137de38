// Line encoder: any line encodes to a record whose payload stays within its
// bound and decodes back to the line.

#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "tamsel_stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Lines up to this length are staged whole, so the record can be read
  // back from the staging buffer.
  if (size > 4571) size = 4571;

  std::vector<std::uint8_t> line(data, data + size);
  szCompressBuf = static_cast<unsigned char*>(std::malloc(2 * size + 2));
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;

  CompressDataAndSend(line.data(), static_cast<unsigned>(size), 3);

  if (size && std::memcmp(line.data(), data, size) != 0) std::abort();  // wrote into the line
  if (gImageCacheBufSize < 6 + 2) std::abort();
  const unsigned char* rec = szImageCacheBuf;
  if (rec[0] != 0x1B || rec[1] != '*' || rec[2] != 'A' || rec[3] != 0x02) std::abort();
  std::size_t len = rec[4] | (rec[5] << 8);
  if (len != gImageCacheBufSize - 6) std::abort();
  if (len > size + (size + 127) / 128 + 2) std::abort();

  tamsel::LineDecode decoded = tamsel::DecodeLinePayload(rec + 6, len);
  if (decoded.error || decoded.bytes != line) std::abort();

  std::free(szCompressBuf);
  szCompressBuf = nullptr;
  gImageCacheBufSize = 0;
  return 0;
}
