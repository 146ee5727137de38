// Staging buffer under random append sequences: standard output carries
// exactly the concatenation, and every write before the final flush is a
// whole number of 512-byte blocks.

#include "output/staging.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int OutputFd() {
  static int fd = [] {
    int m = memfd_create("tamsel-staging", 0);
    dup2(m, 1);
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // one write per fwrite
    return m;
  }();
  return fd;
}

off_t OutputSize() {
  struct stat st {};
  fstat(1, &st);
  return st.st_size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OutputFd();
  ftruncate(1, 0);
  lseek(1, 0, SEEK_SET);
  gJobFinishFlag = 0;
  gImageCacheBufSize = 0;

  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> chunk;
  std::uint8_t counter = 0;
  // Each pair of bytes is one append; a set top bit asks for a large one.
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    std::size_t len = ((data[i] & 0x7F) << 8) | data[i + 1];
    if (data[i] & 0x80) len *= 3;
    chunk.resize(len);
    for (auto& b : chunk) b = ++counter;
    ImageDataCpy(chunk.data(), static_cast<unsigned>(len));
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    if (gImageCacheBufSize > kImageCacheBufSize) std::abort();
    if (OutputSize() % kOutputBlockSize != 0) std::abort();
  }
  gJobFinishFlag = 1;
  ImageDataCpy(nullptr, 0);

  std::vector<std::uint8_t> out(static_cast<std::size_t>(OutputSize()));
  if (pread(1, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) std::abort();
  if (out != sent) std::abort();
  return 0;
}
