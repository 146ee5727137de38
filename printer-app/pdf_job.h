//
// PDF jobs: Ghostscript renders the pages into a pipe, and they go on to
// the filter as they come.
//

#ifndef TAMSEL_PRINTER_APP_PDF_JOB_H
#define TAMSEL_PRINTER_APP_PDF_JOB_H

#include <pappl/pappl.h>

#include <string>

namespace tamsel {

// The filter callback PAPPL calls for application/pdf.
bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void *data);

// The filter's options for a job ("PrintDensity=3 PaperWeight=1").
std::string FilterOptionsFor(const pappl_pr_options_t *options);

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_PDF_JOB_H
