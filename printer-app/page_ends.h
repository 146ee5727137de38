//
// Where pages end in the printer stream, found as the stream passes on
// its way to the device, so that a job counts only the pages the printer
// was sent in full.
//

#ifndef TAMSEL_PRINTER_APP_PAGE_ENDS_H
#define TAMSEL_PRINTER_APP_PAGE_ENDS_H

#include <cstddef>
#include <vector>

namespace tamsel {

class PageEnds {
 public:
  PageEnds();

  // Reads the next bytes of the stream and appends, for each end-of-page
  // command they complete, the stream offset just past it.  A stream that
  // stops making sense stops the count; the filter is trusted, not checked.
  void Feed(const unsigned char *data, size_t length, std::vector<size_t> *ends);

 private:
  size_t	offset_ = 0;		// of data[0]
  size_t	skip_;			// header or line payload left to pass
  unsigned char	cmd_[9];		// command read so far
  size_t	have_ = 0, need_ = 0;
  bool		lost_ = false;
};

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_PAGE_ENDS_H
