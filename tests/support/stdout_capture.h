// Captures what the filter's output code writes to standard output, in
// this process, with stdout unbuffered so that each fwrite is one write.

#ifndef TAMSEL_TESTS_STDOUT_CAPTURE_H
#define TAMSEL_TESTS_STDOUT_CAPTURE_H

#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tamsel::test {

class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    std::FILE* f = std::freopen(dir_.File("out").c_str(), "wb", stdout);
    (void)f;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  }
  ~StdoutCapture() { Stop(); }

  // Bytes written so far.
  std::size_t Size() const {
    struct stat st {};
    return ::stat(dir_.File("out").c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
  }

  // Restores stdout and returns everything written.
  Bytes Stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
      std::clearerr(stdout);
      std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
      data_ = ReadFile(dir_.File("out"));
    }
    return data_;
  }

 private:
  TempDir dir_;
  int saved_ = -1;
  Bytes data_;
};

}  // namespace tamsel::test

#endif  // TAMSEL_TESTS_STDOUT_CAPTURE_H
