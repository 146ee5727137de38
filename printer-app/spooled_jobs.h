//
// Documents printed from the spool by the application itself: PDF, which
// Ghostscript renders page by page into a pipe, and PWG or Apple raster
// that came while the printer was busy.
//

#ifndef TAMSEL_PRINTER_APP_SPOOLED_JOBS_H
#define TAMSEL_PRINTER_APP_SPOOLED_JOBS_H

#include <pappl/pappl.h>

namespace tamsel {

// The filter callbacks PAPPL calls for application/pdf, and for
// image/pwg-raster and image/urf documents in the spool.
bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void *data);
bool PrintRasterFile(pappl_job_t *job, pappl_device_t *device, void *data);

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_SPOOLED_JOBS_H
