//
// Where pages end in the printer stream.
//

#include "page_ends.h"
#include "output/commands.h"
#include "output/encoder.h"

#include <cstring>

namespace tamsel {
namespace {

// Preamble zeros, init, and the settings block: the filter's fixed lengths.
constexpr size_t kHeaderBytes = kZeroCmdLen + kInitCmdLen + kPaperWeightCmdLen + kDarknessCmdLen +
                                kRenderTypeCmdLen + kInputBinCmdLen + kPaperSizeSelfdefCmdLen +
                                kResolutionCmdLen + kPrintNumCopiesCmdLen;

// Page commands, told apart by their first three bytes.
const unsigned char kStartPage[3] = { 0x1B, '$', 'A' };
const unsigned char kEndPage[3]   = { 0x1B, '$', 'B' };
const unsigned char kBlankLine[3] = { 0x1B, '*', 'B' };
const unsigned char kLine[3]      = { 0x1B, '*', 'A' };	// then the 16-bit payload length

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
        need_ = kEndPageCmdLen;
      else if (!memcmp(cmd_, kStartPage, 3))
        need_ = kStartPageCmdLen;
      else if (!memcmp(cmd_, kBlankLine, 3))
        need_ = kBlankLineCmdLen;
      else if (!memcmp(cmd_, kLine, 3))
        need_ = kLineRecordHeaderLen;
      else
        lost_ = true;
    }
    if (have_ < 3 || have_ < need_)
      continue;

    if (need_ == kEndPageCmdLen)
      ends->push_back(offset_ + i);
    else if (need_ == kLineRecordHeaderLen)
      skip_ = cmd_[4] | (size_t)cmd_[5] << 8;
    have_ = 0;
  }
  offset_ += length;
}

}  // namespace tamsel
