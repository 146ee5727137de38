//
// PDF: Ghostscript renders each copy at 600 dpi, 1 bit, set bit white, as
// a CUPS raster into a pipe; each page goes on to the filter as soon as
// it is rendered.  Nothing of the document is spooled.
//

#include "spooled_jobs.h"

#include "filter_pipeline.h"
#include "job_options.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace tamsel {
namespace {

struct GsOutput {
  FilterPipeline			*pipeline;
  int					fd;
  std::chrono::steady_clock::time_point	progress;
};

// Reads Ghostscript's raster a slice at a time, so that a cancel or a
// Ghostscript that stopped producing pages ends the wait.
ssize_t ReadRaster(void *ctx, unsigned char *buffer, size_t length)
{
  GsOutput *out = static_cast<GsOutput *>(ctx);

  for (;;)
  {
    if (out->pipeline->Stopping())
      return (-1);

    pollfd	pfd = { out->fd, POLLIN, 0 };
    int		n   = poll(&pfd, 1, 200);

    if (n < 0 && errno != EINTR)
      return (-1);
    if (n > 0)
    {
      ssize_t bytes = read(out->fd, buffer, length);

      if (bytes < 0 && errno == EINTR)
        continue;
      out->progress = std::chrono::steady_clock::now();
      return (bytes);
    }
    if (std::chrono::steady_clock::now() - out->progress > std::chrono::seconds(Config().stall_seconds))
    {
      out->pipeline->Fail("Ghostscript made no progress for " + std::to_string(Config().stall_seconds) +
                          " seconds and was stopped.");
      return (-1);
    }
  }
}

// One copy of the document, from Ghostscript to the filter.
bool RenderCopy(pappl_job_t *job, const char *filename, const pappl_pr_options_t *options,
                FilterPipeline *pipeline)
{
  const PipelineConfig	&config = Config();
  cups_page_header2_t	target = FilterHeader(options->media.size_name, options->media.size_width,
                                              options->media.size_length, 0, 0);
  std::vector<std::string> argv = {
    "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sstdout=%stderr",
    "-sDEVICE=cups", "-dcupsColorSpace=0", "-dcupsBitsPerColor=1", "-r600",
    "-dDEVICEWIDTHPOINTS=" + std::to_string(target.PageSize[0]),
    "-dDEVICEHEIGHTPOINTS=" + std::to_string(target.PageSize[1]),
    "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=%stdout", "-f", filename
  };
  UniqueFd	from_gs, gs_out;
  ChildProcess	gs;

  if (!MakePipe(&from_gs, &gs_out))
  {
    pipeline->Fail(std::string("Unable to create a pipe: ") + strerror(errno));
    return (false);
  }
  if (int err = gs.Start(config.ghostscript, argv, ChildEnvironment(nullptr), -1, gs_out.get(),
                         pipeline->LogFd()))
  {
    pipeline->Fail("Unable to run " + config.ghostscript + ": " + strerror(err));
    return (false);
  }
  gs_out.reset();

  GsOutput		out = { pipeline, from_gs.get(), std::chrono::steady_clock::now() };
  cups_raster_t		*in = cupsRasterOpenIO(ReadRaster, &out, CUPS_RASTER_READ);
  cups_page_header2_t	h;
  std::vector<unsigned char> line;
  bool			ok = in != nullptr;
  int			pages = 0;

  while (ok && cupsRasterReadHeader2(in, &h))
  {
    cups_page_header2_t page = FilterHeader(options->media.size_name, options->media.size_width,
                                            options->media.size_length, h.cupsWidth, h.cupsHeight);

    page.cupsBytesPerLine = h.cupsBytesPerLine;
    line.resize(h.cupsBytesPerLine);
    ok = pipeline->StartPage(page);
    for (unsigned y = 0; ok && y < h.cupsHeight; y ++)
      ok = cupsRasterReadPixels(in, line.data(), h.cupsBytesPerLine) &&
           pipeline->WriteLine(line.data(), line.size());
    if (ok)
      pages ++;
  }
  if (in)
    cupsRasterClose(in);
  from_gs.reset();

  // Ghostscript ends by itself once its output is done or closed; one that
  // does not is stopped.
  if (!gs.Wait(ok && !pipeline->Stopping() ? config.stall_seconds : 0.5))
    gs.Stop(2.0);

  if (pipeline->Stopping())
    return (false);
  if (!WIFEXITED(gs.status()) || WEXITSTATUS(gs.status()) != 0)
  {
    pipeline->Fail("Ghostscript could not render the PDF: it " + gs.Describe() + ".");
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    return (false);
  }
  if (!ok || pages == 0)
  {
    pipeline->Fail(ok ? "The PDF has no pages." : "The pages could not be passed to the filter.");
    return (false);
  }
  return (true);
}

}  // namespace

bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void *)
{
  return (PrintCopies(job, device, RenderCopy));
}

}  // namespace tamsel
