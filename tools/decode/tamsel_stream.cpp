// Reader for the Tamsel printer stream.

#include "tamsel_stream.h"

#include <array>
#include <cstdio>
#include <sstream>

namespace tamsel {
namespace {

constexpr std::size_t kPreambleZeros = 1024;
constexpr std::array<std::uint8_t, 12> kInit = {0x1B, '&', 'B', 0x1B, '%', '-',
                                                '9',  '8', '7', '6',  '5', 'X'};
constexpr std::array<std::uint8_t, 9> kStartPage = {0x1B, '$', 'A', 0x1B, '!',
                                                    'A',  0,   0,   0};
constexpr std::array<std::uint8_t, 3> kEndPage = {0x1B, '$', 'B'};
constexpr std::array<std::uint8_t, 5> kBlankLine = {0x1B, '*', 'B', 0x01, 0x00};
constexpr std::array<std::uint8_t, 4> kLineRecord = {0x1B, '*', 'A', 0x02};

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  return out;
}

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& a) {
  return Hex(a.data(), N);
}

// Sequential reader that knows its offset and can look ahead a few bytes.
class Reader {
 public:
  explicit Reader(std::istream& in) : in_(in) {}

  std::size_t offset() const { return offset_; }

  // Fills up to n bytes of look-ahead; returns how many are available.
  std::size_t Peek(std::size_t n) {
    while (ahead_.size() < n) {
      int c = in_.get();
      if (c == EOF) break;
      ahead_.push_back(static_cast<std::uint8_t>(c));
    }
    return ahead_.size() < n ? ahead_.size() : n;
  }
  const std::uint8_t* ahead() const { return ahead_.data(); }

  void Skip(std::size_t n) {
    ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(n));
    offset_ += n;
  }

  // Reads exactly n bytes into out (n is bounded by the caller: at most a
  // 16-bit length).  Returns false at the end of the stream.
  bool Read(std::size_t n, std::vector<std::uint8_t>& out) {
    Peek(n);
    if (ahead_.size() < n) return false;
    out.assign(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(n));
    Skip(n);
    return true;
  }

  bool AtEnd() { return Peek(1) == 0; }

  // Describes what lies at the current offset, for error messages.
  std::string Found(std::size_t n) {
    std::size_t got = Peek(n);
    if (got == 0) return "end of stream";
    std::string s = Hex(ahead(), got);
    if (got < n) s += " then end of stream";
    return s;
  }

 private:
  std::istream& in_;
  std::vector<std::uint8_t> ahead_;
  std::size_t offset_ = 0;
};

StreamError Error(std::size_t offset, std::string expected, std::string found) {
  return StreamError{offset, std::move(expected), std::move(found)};
}

template <std::size_t N>
bool Matches(Reader& r, const std::array<std::uint8_t, N>& cmd) {
  if (r.Peek(N) < N) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (r.ahead()[i] != cmd[i]) return false;
  return true;
}

// Expects fixed bytes, or a fixed prefix followed by variable bytes.
std::optional<StreamError> Expect(Reader& r, const std::vector<int>& pattern,
                                  const std::string& what,
                                  std::vector<std::uint8_t>& got) {
  std::size_t n = pattern.size();
  std::size_t have = r.Peek(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i >= have || (pattern[i] >= 0 && r.ahead()[i] != pattern[i])) {
      std::string want;
      for (std::size_t j = 0; j < n; ++j) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", pattern[j]);
        want += (j ? " " : "") + (pattern[j] >= 0 ? std::string(buf) : std::string("??"));
      }
      return Error(r.offset(), what + " (" + want + ")", r.Found(n));
    }
  }
  r.Read(n, got);
  return std::nullopt;
}

std::optional<StreamError> ReadSettings(Reader& r, JobSettings& s) {
  std::vector<std::uint8_t> b;
  s.offset = r.offset();
  if (auto e = Expect(r, {0x1C, 0x16, 0x01, 'B', -1}, "paper weight command", b)) return e;
  s.paper_weight = b[4] - 0x10;
  if (auto e = Expect(r, {0x1C, 0x16, 0x02, 'B', -1}, "darkness command", b)) return e;
  s.density = b[4] - 0x10;
  if (auto e = Expect(r, {0x1C, 0x16, 0x03, 'B', 0x10}, "render type command", b)) return e;
  if (auto e = Expect(r, {0x1B, '&', 'A', 0x01, 0x00, 0x01}, "input bin command", b)) return e;
  if (auto e = Expect(r, {0x1B, 'x', -1, -1, 0x1B, 'y', -1, -1}, "paper size command", b))
    return e;
  s.width_dots = b[2] | (b[3] << 8);
  s.length_dots = b[6] | (b[7] << 8);
  if (auto e = Expect(r, {0x1B, '&', 'A', 0x03, 0x00, 0x00, 0x00}, "resolution command", b))
    return e;
  std::size_t copies_at = r.offset();
  if (auto e = Expect(r, {0x1B, '&', 'l', -1, -1, -1, -1}, "copies command", b)) return e;
  s.copies = b[3] | (b[4] << 8);
  std::uint16_t want = Crc16Xmodem(b.data(), 5);
  std::uint16_t got = static_cast<std::uint16_t>(b[5] | (b[6] << 8));
  if (want != got) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "copies CRC-16 %02X %02X", want & 0xFF, want >> 8);
    return Error(copies_at + 5, buf, Hex(b.data() + 5, 2));
  }
  return std::nullopt;
}

std::optional<StreamError> ReadPage(Reader& r, Page& page, const DecodeLimits& limits) {
  std::vector<std::uint8_t> payload;
  std::size_t kept = 0;
  for (;;) {
    if (Matches(r, kBlankLine)) {
      r.Skip(kBlankLine.size());
      ++page.blank_lines;
      ++page.lines;
    } else if (Matches(r, kLineRecord)) {
      std::size_t at = r.offset();
      if (r.Peek(6) < 6) return Error(at + 4, "2-byte line record length", "end of stream");
      std::size_t len = r.ahead()[4] | (r.ahead()[5] << 8);
      r.Skip(6);
      if (!r.Read(len, payload)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%zu payload bytes", len);
        return Error(r.offset(), buf, "only " + std::to_string(r.Peek(len)) +
                                          " bytes before the end of stream");
      }
      LineDecode line = DecodeLinePayload(payload.data(), payload.size());
      if (line.error) {
        line.error->offset += at + 6;
        return line.error;
      }
      page.payload_bytes += len;
      if (line.bytes.size() > page.widest_line) page.widest_line = line.bytes.size();
      if (limits.keep_lines && !page.lines_dropped) {
        if (line.bytes.size() > limits.max_line_bytes)  // a copy: resize keeps the capacity
          line.bytes = std::vector<std::uint8_t>(
              line.bytes.begin(), line.bytes.begin() + static_cast<std::ptrdiff_t>(limits.max_line_bytes));
        kept += line.bytes.size() + 64;
        if (kept > limits.max_page_bytes) {
          page.printed.clear();
          page.lines_dropped = true;
        } else {
          page.printed.emplace(page.lines, std::move(line.bytes));
        }
      }
      ++page.records;
      ++page.lines;
    } else if (Matches(r, kEndPage)) {
      r.Skip(kEndPage.size());
      return std::nullopt;
    } else {
      return Error(r.offset(), "blank line, line record or end of page", r.Found(6));
    }
  }
}

}  // namespace

std::string StreamError::Message() const {
  return "offset " + std::to_string(offset) + ": expected " + expected + ", found " + found;
}

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

LineDecode DecodeLinePayload(const std::uint8_t* p, std::size_t size) {
  LineDecode out;
  std::size_t i = 0;
  auto fail = [&](std::size_t at, std::string expected, std::string found) {
    out.error = Error(at, std::move(expected), std::move(found));
    out.bytes.clear();
    return out;
  };
  while (i < size) {
    std::uint8_t k = p[i];
    if (k == 0xFF) {
      if (i + 1 >= size) return fail(i + 1, "00 after the end marker FF", "end of payload");
      if (p[i + 1] != 0x00)
        return fail(i + 1, "00 after the end marker FF", Hex(p + i + 1, 1) +
                                                             " (a repeat of 2 is not allowed)");
      if (i + 2 != size)
        return fail(i + 2, "end of payload after FF 00",
                    std::to_string(size - i - 2) + " more bytes");
      return out;
    }
    if (k == 0x80) return fail(i, "control byte", "80 (never valid)");
    if (k < 0x80) {
      std::size_t n = k + 1u;
      if (size - i - 1 < n)
        return fail(i + 1, std::to_string(n) + " literal bytes",
                    std::to_string(size - i - 1) + " bytes left in the payload");
      for (std::size_t j = 0; j < n; ++j)
        out.bytes.push_back(static_cast<std::uint8_t>(~p[i + 1 + j]));
      i += 1 + n;
    } else {
      std::size_t n = 257u - k;  // 3 to 128
      if (i + 1 >= size) return fail(i + 1, "repeated byte", "end of payload");
      out.bytes.insert(out.bytes.end(), n, static_cast<std::uint8_t>(~p[i + 1]));
      i += 2;
    }
  }
  return fail(size, "end marker FF 00", "end of payload");
}

std::optional<StreamError> DecodeStream(std::istream& in, StreamSummary& summary,
                                        const PageSink& on_page, const DecodeLimits& limits) {
  Reader r(in);
  summary = StreamSummary{};
  auto finish = [&](std::optional<StreamError> e) {
    summary.stream_bytes = r.offset();
    return e;
  };

  std::size_t zeros = 0;
  while (zeros < kPreambleZeros && r.Peek(1) == 1 && r.ahead()[0] == 0) {
    r.Skip(1);
    ++zeros;
  }
  if (zeros < kPreambleZeros)
    return finish(Error(r.offset(), "1024 zero bytes of preamble", r.Found(4)));

  if (!Matches(r, kInit))
    return finish(Error(r.offset(), "init command (" + Hex(kInit) + ")", r.Found(kInit.size())));
  r.Skip(kInit.size());

  if (r.AtEnd()) return finish(std::nullopt);  // a job without pages

  if (auto e = ReadSettings(r, summary.settings)) return finish(e);
  summary.has_settings = true;

  do {
    if (!Matches(r, kStartPage))
      return finish(Error(r.offset(),
                          summary.pages.empty() ? "start of page" : "start of page or end of stream",
                          r.Found(kStartPage.size())));
    Page page;
    page.offset = r.offset();
    r.Skip(kStartPage.size());
    if (auto e = ReadPage(r, page, limits)) return finish(e);
    if (on_page) on_page(summary.settings, page);
    page.printed.clear();
    summary.pages.push_back(std::move(page));
  } while (!r.AtEnd());

  return finish(std::nullopt);
}

}  // namespace tamsel
