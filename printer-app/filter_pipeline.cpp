//
// One job's filter process, with its output streamed to the printer.
//

#include "filter_pipeline.h"

#include "job_options.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tamsel {
namespace {

using Clock = std::chrono::steady_clock;

const size_t kMaxLogBytes = 64 * 1024;	// child output logged per job

int EnvInt(const char *name, int fallback)
{
  const char	*value = getenv(name);
  char		*end;
  long		n = value ? strtol(value, &end, 10) : 0;

  return (value && *value && !*end && n > 0 && n < 1000000000 ? (int)n : fallback);
}

std::string EnvPath(const char *name, const char *fallback)
{
  const char *value = getenv(name);

  return (value && *value ? value : fallback);
}

void SetNonBlocking(int fd)
{
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

double Since(Clock::time_point t)
{
  return (std::chrono::duration<double>(Clock::now() - t).count());
}

}  // namespace

// Bytes the device has taken so far (written, not only buffered).
static size_t DeviceBytesWritten(pappl_device_t *device)
{
  pappl_devmetrics_t metrics;

  papplDeviceGetMetrics(device, &metrics);
  return (metrics.write_bytes);
}

PrinterOutput::PrinterOutput(pappl_job_t *job, pappl_device_t *device)
  : job_(job), device_(device), written_before_(DeviceBytesWritten(device))
{
  // A printer that takes nothing for this long fails the job, as a filter
  // that makes no progress does.
  papplDeviceSetStallTimeout(device, Config().stall_seconds);
}

bool PrinterOutput::Write(const void *data, size_t length)
{
  if (error_)
    return (false);

  size_t known = ends_.size();

  page_ends_.Feed(static_cast<const unsigned char *>(data), length, &ends_);

  // After a cancel the printer gets the rest of the page it is on (the
  // filter closes it), and nothing after it.
  if (limit_ == SIZE_MAX && papplJobIsCanceled(job_))
  {
    if (known > 0 && ends_[known - 1] == forwarded_)
      limit_ = forwarded_;
    else if (known < ends_.size())
      limit_ = ends_[known];
  }
  if (forwarded_ + length > limit_)
    length = limit_ > forwarded_ ? limit_ - forwarded_ : 0;

  Clock::time_point start = Clock::now();

  if (length && papplDeviceWrite(device_, data, length) < 0)
  {
    static const std::string stalled = "The printer took no data for " +
        std::to_string(Config().stall_seconds) + " seconds; the job was stopped.";

    error_ = Since(start) >= Config().stall_seconds - 1 ? stalled.c_str() :
             "Lost the connection to the printer; the job was stopped.";
    return (false);
  }
  forwarded_ += length;
  CountPages();
  return (true);
}

// The last bytes leave with the flush, which reports no error: the device's
// count of bytes written tells whether they all went out.
bool PrinterOutput::Finish()
{
  if (error_)
    return (false);

  papplDeviceFlush(device_);
  if (DeviceBytesWritten(device_) - written_before_ < forwarded_)
    error_ = "Lost the connection to the printer before the job's end reached it.";
  CountPages();
  return (!error_);
}

void PrinterOutput::CountPages()
{
  size_t	delivered = DeviceBytesWritten(device_) - written_before_;
  int		pages = 0;

  for (; counted_ < ends_.size() && ends_[counted_] <= delivered; counted_ ++)
    pages ++;
  if (pages)
    papplJobSetImpressionsCompleted(job_, pages);
}

const PipelineConfig &Config()
{
  static const PipelineConfig config = {
    EnvPath("TAMSEL_FILTER", TAMSEL_FILTER_PATH),
    EnvPath("TAMSEL_PPD", TAMSEL_PPD_PATH),
    EnvPath("TAMSEL_GHOSTSCRIPT", TAMSEL_GHOSTSCRIPT_PATH),
    EnvPath("TAMSEL_APP_DATA", TAMSEL_APP_DATA_DIR),
    EnvInt("TAMSEL_STALL_SECONDS", 120),
    EnvInt("TAMSEL_MAX_IMPRESSIONS", 10000)
  };
  return (config);
}

std::vector<std::string> ChildEnvironment(const char *ppd)
{
  std::vector<std::string> env = {
    "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "TMPDIR=/tmp", "HOME=/tmp"
  };

  if (ppd)
    env.push_back(std::string("PPD=") + ppd);
  return (env);
}

FilterPipeline::FilterPipeline(pappl_job_t *job, pappl_device_t *device)
  : job_(job), device_(device)
{
}

FilterPipeline::~FilterPipeline()
{
  if (raster_)
    cupsRasterClose(raster_);
  failed_ = true;
  to_filter_.reset();
  filter_.Stop(2.0);
  if (pump_.joinable())
    pump_.join();
}

bool FilterPipeline::Start(const std::string &filter_options)
{
  const PipelineConfig	&config = Config();
  UniqueFd		filter_in, filter_out;

  if (!MakePipe(&filter_in, &to_filter_) || !MakePipe(&from_filter_, &filter_out) ||
      !MakePipe(&log_read_, &log_write_))
  {
    Fail(std::string("Unable to create a pipe: ") + strerror(errno));
    return (false);
  }
  SetNonBlocking(to_filter_.get());
  SetNonBlocking(log_read_.get());

  const char *user = papplJobGetUsername(job_), *title = papplJobGetName(job_);
  std::vector<std::string> argv = {
    "rastertotamsel", std::to_string(papplJobGetID(job_)), user ? user : "user",
    title ? title : "job", "1", filter_options
  };

  if (int err = filter_.Start(config.filter, argv, ChildEnvironment(config.ppd.c_str()),
                              filter_in.get(), filter_out.get(), log_write_.get()))
  {
    Fail("Unable to run " + config.filter + ": " + strerror(err));
    return (false);
  }
  papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "Started %s (PID %d) with \"%s\"", config.filter.c_str(),
              (int)filter_.pid(), filter_options.c_str());

  raster_ = cupsRasterOpenIO(WriteRaster, this, CUPS_RASTER_WRITE);
  pump_   = std::thread(&FilterPipeline::Pump, this);
  return (raster_ != nullptr);
}

bool FilterPipeline::StartPage(const cups_page_header2_t &header)
{
  if (Stopping())
    return (false);

  if (++ pages_ > Config().max_impressions)
  {
    Fail("The job has more than " + std::to_string(Config().max_impressions) +
         " pages, copies included, which is the limit for one job.");
    return (false);
  }
  return (cupsRasterWriteHeader2(raster_, const_cast<cups_page_header2_t *>(&header)) != 0);
}

bool FilterPipeline::WriteLine(const unsigned char *line, size_t length)
{
  return (!Stopping() && cupsRasterWritePixels(raster_, const_cast<unsigned char *>(line),
                                               (unsigned)length) != 0);
}

bool FilterPipeline::Stopping()
{
  return (failed_ || papplJobIsCanceled(job_));
}

void FilterPipeline::Fail(const std::string &message)
{
  std::lock_guard<std::mutex> lock(mutex_);

  if (error_.empty())
  {
    error_ = message;
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
  }
  failed_ = true;
}

// Raster bytes into the filter, a slice at a time, so that a cancel, a
// lost printer or a filter that stopped reading ends the wait.
ssize_t FilterPipeline::WriteRaster(void *ctx, unsigned char *buffer, size_t length)
{
  FilterPipeline	*p = static_cast<FilterPipeline *>(ctx);
  int			fd = p->to_filter_.get();
  size_t		done = 0;
  bool			waiting = false;
  Clock::time_point	since;		// start of the current wait

  while (done < length)
  {
    if (p->Stopping())
      return (-1);

    // Written at once while the pipe has room; only a full pipe is waited
    // for, in slices.
    ssize_t bytes = write(fd, buffer + done, length - done);

    if (bytes > 0)
    {
      done    += (size_t)bytes;
      waiting = false;
      continue;
    }
    if (bytes < 0 && errno == EINTR)
      continue;
    if (bytes < 0 && errno != EAGAIN)
    {
      p->Fail(std::string("rastertotamsel stopped reading the job: ") + strerror(errno));
      return (-1);
    }

    // While the printer is what holds the filter up, the filter is not
    // stalled: the printer has a stall time of its own.
    if (!waiting || p->sending_)
    {
      waiting = true;
      since   = Clock::now();
    }
    else if (Since(since) > Config().stall_seconds)
    {
      p->Fail("rastertotamsel made no progress for " + std::to_string(Config().stall_seconds) +
              " seconds and was stopped.");
      return (-1);
    }

    pollfd pfd = { fd, POLLOUT, 0 };

    if (poll(&pfd, 1, 200) < 0 && errno != EINTR)
      return (-1);
  }
  return ((ssize_t)length);
}

// The filter's output to the printer as it comes; children's error output
// to the job's log.  Runs until the filter's output ends.
void FilterPipeline::Pump()
{
  char		buffer[65536];
  std::string	pending;
  PrinterOutput	output(job_, device_);

  for (;;)
  {
    pollfd fds[2] = { { from_filter_.get(), POLLIN, 0 }, { log_read_.get(), POLLIN, 0 } };

    if (poll(fds, 2, 200) < 0)
    {
      if (errno == EINTR)
        continue;
      break;
    }

    if (fds[1].revents & POLLIN)
    {
      ssize_t bytes = read(log_read_.get(), buffer, sizeof(buffer));

      if (bytes > 0)
        LogChildLines(&pending, buffer, (size_t)bytes, false);
    }

    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
    {
      ssize_t bytes = read(from_filter_.get(), buffer, sizeof(buffer));

      if (bytes < 0 && errno == EINTR)
        continue;
      if (bytes <= 0)
        break;
      // After a failed write the rest is read and dropped, so that the
      // filter is never stuck writing and can be told to stop.
      sending_ = true;
      if (!output.Write(buffer, (size_t)bytes) && !Stopping())
        Fail(output.error());
      sending_ = false;
    }
  }

  sending_ = true;
  if (!output.Finish() && !papplJobIsCanceled(job_))
    Fail(output.error());
  sending_ = false;

  for (ssize_t bytes; (bytes = read(log_read_.get(), buffer, sizeof(buffer))) > 0;)
    LogChildLines(&pending, buffer, (size_t)bytes, false);
  LogChildLines(&pending, "", 0, true);
}

// Children write lines as CUPS filters do ("ERROR: ...", "DEBUG: ...").
// The job's log takes at most kMaxLogBytes of them.
void FilterPipeline::LogChildLines(std::string *pending, const char *data, size_t length, bool flush)
{
  pending->append(data, length);

  size_t start = 0, end;

  while ((end = pending->find('\n', start)) != std::string::npos || (flush && start < pending->size()))
  {
    if (end == std::string::npos)
      end = pending->size();

    std::string line = pending->substr(start, end - start);

    start = end + 1;
    // The filter's page accounting for CUPS: the app counts pages itself,
    // and a long job's lines must not take the room of error messages.
    if (!line.compare(0, 5, "PAGE:"))
    {
      papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
      continue;
    }
    if (line.empty() || logged_ > kMaxLogBytes)
      continue;

    logged_ += line.size();
    if (logged_ > kMaxLogBytes)
    {
      papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "Further output of the job's programs is not logged.");
      continue;
    }

    pappl_loglevel_t level = PAPPL_LOGLEVEL_INFO;

    if (!line.compare(0, 6, "ERROR:"))
      level = PAPPL_LOGLEVEL_ERROR;
    else if (!line.compare(0, 8, "WARNING:"))
      level = PAPPL_LOGLEVEL_WARN;
    else if (!line.compare(0, 6, "DEBUG:"))
      level = PAPPL_LOGLEVEL_DEBUG;
    papplLogJob(job_, level, "%s", line.c_str());
  }

  pending->erase(0, start < pending->size() ? start : pending->size());
  // A child that never ends a line still cannot fill memory.
  if (pending->size() > 4096)
    pending->clear();
}

bool FilterPipeline::Finish(bool ok)
{
  const int stall = Config().stall_seconds;

  if (raster_)
    cupsRasterClose(raster_);
  raster_ = nullptr;

  // End of the raster stream; a failed or cancelled job's filter is told
  // to stop, and closes the page it is in so the printer is not left
  // inside one.
  to_filter_.reset();
  if ((!ok || Stopping()) && filter_.Running())
    filter_.Signal(SIGTERM);

  // The filter's last pages may wait for a slow printer: only time it
  // spends otherwise counts.
  for (int idle = 0; filter_.pid() > 0 && !filter_.Wait(1.0);)
  {
    idle = sending_ ? 0 : idle + 1;
    if (idle >= stall)
    {
      Fail("rastertotamsel did not finish within " + std::to_string(stall) + " seconds and was stopped.");
      filter_.Stop(2.0);
      break;
    }
  }
  if (pump_.joinable())
    pump_.join();

  if (!papplJobIsCanceled(job_) && !(WIFEXITED(filter_.status()) && WEXITSTATUS(filter_.status()) == 0))
    Fail("rastertotamsel " + filter_.Describe() + ".");

  bool success = ok && !failed_;

  if (!error_.empty())
    papplJobSetMessage(job_, "%s", error_.c_str());
  return (success);
}

std::string FilterOptionsFor(pappl_job_t *job, const pappl_pr_options_t *options)
{
  // A CUPS raw queue sends media-type on its own, not inside media-col.
  ipp_attribute_t	*attr = papplJobGetAttribute(job, "media-type");
  const char		*type = attr ? ippGetString(attr, 0, nullptr) : nullptr;

  return (FilterOptions(DensityFor(options->darkness_configured, options->print_darkness, options->print_quality),
                        PaperWeightFor(type ? type : options->media.type)));
}

bool PrintCopies(pappl_job_t *job, pappl_device_t *device, CopyPrinter print_copy)
{
  const char *filename = papplJobGetFilename(job);

  if (!filename)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "No document to print");
    return (false);
  }

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, INT_MAX, false);

  if (!options)
    return (false);

  FilterPipeline	pipeline(job, device);
  int			copies = options->copies > 0 ? options->copies : 1;
  bool			ok = pipeline.Start(FilterOptionsFor(job, options));

  for (int copy = 0; ok && copy < copies; copy ++)
    ok = print_copy(job, filename, options, &pipeline);

  ok = pipeline.Finish(ok);
  papplJobDeletePrintOptions(options);
  return (ok);
}

}  // namespace tamsel
