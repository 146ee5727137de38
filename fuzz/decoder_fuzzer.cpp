// tamsel-decode's stream reader on arbitrary bytes: it returns, valid or
// not, without reading out of bounds or allocating without bound.

#include "page_image.h"
#include "tamsel_stream.h"

#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  tamsel::StreamSummary summary;
  tamsel::DecodeStream(in, summary, [](const tamsel::JobSettings& s, const tamsel::Page& p) {
    tamsel::PageCanvas(s, p);
    tamsel::PageLargerThanPaper(s, p);
  });
  return 0;
}
