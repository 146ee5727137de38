//
// One job's way to the printer: rastertotamsel as a child process, the
// job's pages written into it as a CUPS raster stream, and its output sent
// to the device as it comes, by a thread of its own.  Children's error
// output goes to the job's log.
//

#ifndef TAMSEL_PRINTER_APP_FILTER_PIPELINE_H
#define TAMSEL_PRINTER_APP_FILTER_PIPELINE_H

#include "child_process.h"
#include "page_ends.h"

#include <pappl/pappl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tamsel {

// Paths and limits, from the environment the server was started with.
struct PipelineConfig {
  std::string	filter;			// rastertotamsel
  std::string	ppd;			// the driver's PPD
  std::string	ghostscript;		// gs, for PDF
  std::string	data_dir;		// icons and the test page
  int		stall_seconds;		// a child silent this long is killed
  int		max_impressions;	// pages x copies per job
};
const PipelineConfig &Config();

// A job's printer stream on its way to the device: the job's pages count
// as their last byte leaves, and the end checks that the device took all.
class PrinterOutput {
 public:
  PrinterOutput(pappl_job_t *job, pappl_device_t *device);

  // False once the device has failed; error() says why.
  bool Write(const void *data, size_t length);
  bool Finish();
  const char *error() const { return (error_); }

 private:
  void CountPages();

  pappl_job_t		*job_;
  pappl_device_t	*device_;
  size_t		written_before_, forwarded_ = 0, counted_ = 0;
  size_t		limit_ = SIZE_MAX;	// where a canceled job's stream stops
  PageEnds		page_ends_;
  std::vector<size_t>	ends_;		// page ends in the stream, in order
  const char		*error_ = nullptr;
};

// The environment children get: fixed, as a spooler gives its filters.
std::vector<std::string> ChildEnvironment(const char *ppd);

class FilterPipeline {
 public:
  FilterPipeline(pappl_job_t *job, pappl_device_t *device);
  FilterPipeline(const FilterPipeline &) = delete;
  FilterPipeline &operator=(const FilterPipeline &) = delete;
  ~FilterPipeline();

  // Starts the filter with its options ("PrintDensity=3 PaperWeight=1").
  bool Start(const std::string &filter_options);

  // One page header, then its lines; false once the job cannot go on.
  bool StartPage(const cups_page_header2_t &header);
  bool WriteLine(const unsigned char *line, size_t length);

  // Ends the raster stream (or stops the filter if the job failed or was
  // cancelled), sends the rest and waits for the filter.  True when every
  // page reached the printer.
  bool Finish(bool ok);

  // For Ghostscript: where its error output goes, and whether to stop.
  int LogFd() const { return log_write_.get(); }
  bool Stopping();
  void Fail(const std::string &message);

  pappl_job_t *job() const { return job_; }

 private:
  static ssize_t WriteRaster(void *ctx, unsigned char *buffer, size_t length);
  void Pump();
  void LogChildLines(std::string *pending, const char *data, size_t length, bool flush);

  pappl_job_t		*job_;
  pappl_device_t	*device_;
  ChildProcess		filter_;
  UniqueFd		to_filter_, from_filter_, log_read_, log_write_;
  cups_raster_t		*raster_ = nullptr;
  std::thread		pump_;
  std::atomic<bool>	failed_{false};
  std::atomic<bool>	sending_{false};	// the pump is writing to the printer
  std::mutex		mutex_;
  std::string		error_;		// first failure, for the job message
  size_t		logged_ = 0;	// bytes of child output logged
  int			pages_ = 0;
};

// The filter's options for a job ("PrintDensity=3 PaperWeight=1").
std::string FilterOptionsFor(pappl_job_t *job, const pappl_pr_options_t *options);

// A spooled document printed by the application: the job's options, one
// filter for the job, and print_copy called once per copy.  A job
// cancelled just before it starts has no document any more.
using CopyPrinter = bool (*)(pappl_job_t *job, const char *filename,
                             const pappl_pr_options_t *options, FilterPipeline *pipeline);
bool PrintCopies(pappl_job_t *job, pappl_device_t *device, CopyPrinter print_copy);

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_FILTER_PIPELINE_H
