// Printer streams written out by hand, byte for byte, for comparison with
// what the filter produces.

#ifndef TAMSEL_TESTS_EXPECTED_STREAM_H
#define TAMSEL_TESTS_EXPECTED_STREAM_H

#include "tamsel_stream.h"
#include "test_support.h"

namespace tamsel::test {

class ExpectedStream {
 public:
  ExpectedStream& Preamble() {
    bytes_.insert(bytes_.end(), 1024, 0x00);
    return Add({0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D, 0x39, 0x38, 0x37, 0x36, 0x35, 0x58});
  }
  ExpectedStream& Settings(std::uint8_t weight, std::uint8_t density, unsigned width_dots,
                           unsigned length_dots, unsigned copies = 1) {
    Add({0x1C, 0x16, 0x01, 0x42, static_cast<std::uint8_t>(0x10 + weight)});
    Add({0x1C, 0x16, 0x02, 0x42, static_cast<std::uint8_t>(0x10 + density)});
    Add({0x1C, 0x16, 0x03, 0x42, 0x10});
    Add({0x1B, 0x26, 0x41, 0x01, 0x00, 0x01});
    Add({0x1B, 0x78, Lo(width_dots), Hi(width_dots), 0x1B, 0x79, Lo(length_dots),
         Hi(length_dots)});
    Add({0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00});
    Bytes c = {0x1B, 0x26, 0x6C, Lo(copies), Hi(copies)};
    std::uint16_t crc = Crc16Xmodem(c.data(), c.size());
    c.push_back(Lo(crc));
    c.push_back(Hi(crc));
    return Add(c);
  }
  ExpectedStream& StartPage() { return Add({0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0, 0, 0}); }
  ExpectedStream& EndPage() { return Add({0x1B, 0x24, 0x42}); }
  ExpectedStream& Blank(int n = 1) {
    for (int i = 0; i < n; ++i) Add({0x1B, 0x2A, 0x42, 0x01, 0x00});
    return *this;
  }
  ExpectedStream& Record(const Bytes& payload) {
    Add({0x1B, 0x2A, 0x41, 0x02, Lo(static_cast<unsigned>(payload.size())),
         Hi(static_cast<unsigned>(payload.size()))});
    return Add(payload);
  }
  ExpectedStream& Add(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  static std::uint8_t Lo(unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); }
  static std::uint8_t Hi(unsigned v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
  Bytes bytes_;
};

}  // namespace tamsel::test

#endif  // TAMSEL_TESTS_EXPECTED_STREAM_H
