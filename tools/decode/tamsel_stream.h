// Reader for the Tamsel printer stream: walks the job grammar, checks every
// command and line record, and hands back each page as the printer would
// image it.  Written from the printer's command set, independently of the
// filter's encoder, so that it can catch the filter's mistakes.

#ifndef TAMSEL_TOOLS_STREAM_H
#define TAMSEL_TOOLS_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tamsel {

// Job settings as the settings block carries them.
struct JobSettings {
  int paper_weight = 0;       // value byte - 0x10
  int density = 0;            // value byte - 0x10
  unsigned width_dots = 0;    // 600-dpi dots, 16 bits as sent
  unsigned length_dots = 0;
  unsigned copies = 0;
  std::size_t offset = 0;     // where the block starts
};

// One page, as far as the printer is concerned.  Lines are stored sparsely:
// blank-line commands cost nothing, so an endless run of them cannot
// exhaust memory.  Line bytes are in raster polarity (a set bit is white).
struct Page {
  std::size_t offset = 0;            // of the start-page command
  unsigned long lines = 0;           // blank-line commands + line records
  unsigned long blank_lines = 0;
  unsigned long records = 0;
  std::size_t widest_line = 0;       // bytes
  std::size_t payload_bytes = 0;
  std::map<unsigned long, std::vector<std::uint8_t>> printed;  // line -> bytes
  bool lines_dropped = false;        // printed lines exceeded DecodeLimits
};

// What DecodeStream keeps of a page's printed lines.  A line record can
// expand to 4 MB, so a reader that renders keeps lines cut to what it can
// draw, and gives up on a page beyond its budget instead of growing with
// the input.
struct DecodeLimits {
  bool keep_lines = true;
  std::size_t max_line_bytes = SIZE_MAX;  // longer lines are cut
  std::size_t max_page_bytes = SIZE_MAX;  // kept bytes, 64 more a line
};

struct StreamError {
  std::size_t offset = 0;
  std::string expected;
  std::string found;
  std::string Message() const;
};

struct StreamSummary {
  bool has_settings = false;
  JobSettings settings;
  std::vector<Page> pages;  // summaries only: printed lines are dropped
  std::size_t stream_bytes = 0;
};

// Result of decoding one payload.
struct LineDecode {
  std::vector<std::uint8_t> bytes;   // raster polarity
  std::optional<StreamError> error;  // offset relative to the payload start
};

// Decodes one line-record payload (literal and repeat records closed by
// FF 00, data complemented).  Never reads beyond the payload.
LineDecode DecodeLinePayload(const std::uint8_t* payload, std::size_t size);

// CRC-16 with polynomial 0x1021, initial value 0, computed bit by bit.
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size);

// Walks the whole stream.  on_page is called for every complete page, with
// the printed lines that limits let it keep, before the next page is read;
// the returned summary keeps only the counts.  Returns the first violation,
// if any.
using PageSink = std::function<void(const JobSettings&, const Page&)>;
std::optional<StreamError> DecodeStream(std::istream& in, StreamSummary& summary,
                                        const PageSink& on_page = nullptr,
                                        const DecodeLimits& limits = DecodeLimits());

}  // namespace tamsel

#endif  // TAMSEL_TOOLS_STREAM_H
