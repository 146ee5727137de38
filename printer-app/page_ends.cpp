//
// Where pages end in the printer stream.
//

#include "page_ends.h"

#include <cstring>

namespace tamsel {
namespace {

// Preamble zeros, init, and the settings block: fixed lengths.
constexpr size_t kHeaderBytes = 1024 + 12 + 5 + 5 + 5 + 6 + 8 + 7 + 7;

// Page commands, told apart by their first three bytes.
const unsigned char kStartPage[3] = { 0x1B, '$', 'A' };	// 9 bytes
const unsigned char kEndPage[3]   = { 0x1B, '$', 'B' };	// 3 bytes
const unsigned char kBlankLine[3] = { 0x1B, '*', 'B' };	// 5 bytes
const unsigned char kLine[3]      = { 0x1B, '*', 'A' };	// 6 bytes, then the payload

}  // namespace

PageEnds::PageEnds() : skip_(kHeaderBytes) {}

void PageEnds::Feed(const unsigned char *data, size_t length, std::vector<size_t> *ends)
{
  size_t i = 0;

  while (i < length && !lost_)
  {
    if (skip_)
    {
      size_t n = length - i < skip_ ? length - i : skip_;

      skip_ -= n;
      i     += n;
      continue;
    }

    cmd_[have_ ++] = data[i ++];
    if (have_ == 3)
    {
      if (!memcmp(cmd_, kEndPage, 3))
        need_ = 3;
      else if (!memcmp(cmd_, kStartPage, 3))
        need_ = 9;
      else if (!memcmp(cmd_, kBlankLine, 3))
        need_ = 5;
      else if (!memcmp(cmd_, kLine, 3))
        need_ = 6;
      else
        lost_ = true;
    }
    if (have_ < 3 || have_ < need_)
      continue;

    if (need_ == 3)
      ends->push_back(offset_ + i);
    else if (need_ == 6)
      skip_ = cmd_[4] | (size_t)cmd_[5] << 8;
    have_ = 0;
  }
  offset_ += length;
}

}  // namespace tamsel
