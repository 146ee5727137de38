//
// tamsel-printer-app: the Tamsel printers as an IPP Everywhere Printer
// Application.
//
// PAPPL does the IPP side and renders PWG raster, Apple raster, PNG and
// JPEG; PDF is rendered with Ghostscript.  The bytes the printer gets come
// from the real rastertotamsel: every job runs it as a child process, with
// the driver's PPD, hands it the job's pages as a CUPS raster stream and
// sends its output to the printer as it comes.
//
//   tamsel-printer-app server [-o server-port=N] [-o spool-directory=DIR]
//                             [-o log-file=FILE] [-o log-level=debug]
//   tamsel-printer-app add -d NAME -v socket://HOST -m tamsel
//   tamsel-printer-app submit -d NAME FILE ...
//
// TAMSEL_FILTER and TAMSEL_PPD override where the filter and the PPD are.
//

#include "filter_pipeline.h"
#include "job_options.h"
#include "spooled_jobs.h"

#include <pappl/pappl.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace tamsel {
namespace {

pappl_pr_driver_t tamsel_drivers[] = {
  { const_cast<char *>("tamsel"), const_cast<char *>("Tamsel Laser"),
    const_cast<char *>("MFG:Tamsel;MDL:Laser;CMD:TAMSEL;"), nullptr }
};

const int kMargin = 423;		// 12 points, as in the PPD, in 1/100 mm

// A job PAPPL renders (PWG and Apple raster, PNG, JPEG): its filter and
// one line in the filter's polarity.
struct RasterJob {
  explicit RasterJob(pappl_job_t *job, pappl_device_t *device) : pipeline(job, device) {}

  FilterPipeline		pipeline;
  std::vector<unsigned char>	line;
};

// Copies a file to the printer; any failure fails the job, with a message.
bool SendFile(pappl_job_t *job, const char *name, pappl_device_t *device)
{
  char		buffer[65536];
  ssize_t	bytes;
  bool		ok = true;
  int		fd = open(name, O_RDONLY | O_CLOEXEC);
  PrinterOutput	output(job, device);

  if (fd < 0)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open %s: %s", name, strerror(errno));
    return (false);
  }

  while (ok && !papplJobIsCanceled(job) && (bytes = read(fd, buffer, sizeof(buffer))) != 0)
  {
    if (bytes < 0 && errno == EINTR)
      continue;
    if (bytes < 0)
    {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read %s: %s", name, strerror(errno));
      ok = false;
    }
    else
      ok = output.Write(buffer, (size_t)bytes);
  }

  close(fd);
  if (!output.Finish())
  {
    papplJobSetMessage(job, "%s", output.error());
    ok = false;
  }
  return (ok);
}


//
// Raster callbacks: PAPPL renders the job and hands over lines.
//

bool StartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
  RasterJob *rj = new RasterJob(job, device);

  papplJobSetData(job, rj);
  if (rj->pipeline.Start(FilterOptionsFor(job, options)))
    return (true);

  // PAPPL ends the job here without calling EndJob.
  rj->pipeline.Finish(false);
  delete rj;
  papplJobSetData(job, nullptr);
  return (false);
}

bool StartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned)
{
  RasterJob		*rj = static_cast<RasterJob *>(papplJobGetData(job));
  cups_page_header2_t	h = FilterHeader(options->media.size_name, options->media.size_width,
                                         options->media.size_length, options->header.cupsWidth,
                                         options->header.cupsHeight);

  rj->line.assign(h.cupsBytesPerLine, 0xff);
  return (rj->pipeline.StartPage(h));
}

bool WriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned, const unsigned char *line)
{
  RasterJob	*rj = static_cast<RasterJob *>(papplJobGetData(job));
  size_t	n = rj->line.size();

  if (options->header.cupsBytesPerLine < n)
    n = options->header.cupsBytesPerLine;

  // PAPPL's set bit is black; the filter's is white.
  for (size_t i = 0; i < n; i ++)
    rj->line[i] = (unsigned char)~line[i];

  return (rj->pipeline.WriteLine(rj->line.data(), rj->line.size()));
}

bool EndPage(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned)
{
  return (true);
}

bool EndJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
  std::unique_ptr<RasterJob> rj(static_cast<RasterJob *>(papplJobGetData(job)));

  papplJobSetData(job, nullptr);
  return (rj && rj->pipeline.Finish(true));
}

// The printer's test page: the sample page, as a PDF.  PAPPL deletes the
// file of a finished job when it lies in the temporary directory, so each
// test page job gets a copy of its own there.
const char *TestPage(pappl_printer_t *, char *buffer, size_t bufsize)
{
  std::error_code	error;
  int			fd;

  snprintf(buffer, bufsize, "%s/tamsel-testpage-XXXXXX.pdf", papplGetTempDir());
  if ((fd = mkstemps(buffer, 4)) < 0)
    return (nullptr);
  close(fd);
  if (!std::filesystem::copy_file(Config().data_dir + "/testpage.pdf", buffer,
                                  std::filesystem::copy_options::overwrite_existing, error))
  {
    unlink(buffer);
    return (nullptr);
  }
  return (buffer);
}

// Raw printer streams (already Tamsel commands) pass straight through.
bool PrintFile(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
  // A job cancelled just before it starts has no document any more.
  const char *filename = papplJobGetFilename(job);

  return (filename && SendFile(job, filename, device));
}


//
// Driver and system setup.
//

bool DriverCallback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                    const char *, pappl_pr_driver_data_t *data, ipp_t **driver_attrs, void *)
{
  if (strcmp(driver_name, "tamsel"))
    return (false);

  // Every way of adding a printer (IPP, web form, command line, a saved
  // state) comes through here.
  if (!DeviceUriAllowed(device_uri))
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refused device URI \"%s\": only socket://, usb://, "
             "dnssd:// and snmp:// printers can be added.", device_uri ? device_uri : "");
    return (false);
  }

  data->printfile_cb  = PrintFile;
  data->rstartjob_cb  = StartJob;
  data->rstartpage_cb = StartPage;
  data->rwriteline_cb = WriteLine;
  data->rendpage_cb   = EndPage;
  data->rendjob_cb    = EndJob;
  data->format        = "application/vnd.tamsel";

  strncpy(data->make_and_model, "Tamsel Laser", sizeof(data->make_and_model) - 1);
  data->ppm             = 20;
  data->kind            = PAPPL_KIND_DOCUMENT;
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default   = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types    = PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->num_resolution  = 1;
  data->x_resolution[0] = data->y_resolution[0] = 600;
  data->x_default       = data->y_default = 600;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default   = PAPPL_SIDES_ONE_SIDED;
  data->left_right      = kMargin;
  data->bottom_top      = kMargin;

  data->num_media = (int)kNumMedia;
  for (int i = 0; i < data->num_media; i ++)
    data->media[i] = kMedia[i].pwg;
  // Custom sizes, as the PPD's range: 216 x 360 to 612 x 1008 points.
  data->media[data->num_media ++] = "custom_min_3x5in";
  data->media[data->num_media ++] = "custom_max_8.5x14in";

  data->num_source = 1;
  data->source[0]  = "main";

  data->num_type = 3;
  for (int i = 0; i < 3; i ++)
    data->type[i] = kMediaTypes[i];

  pappl_media_col_t &m = data->media_default;
  strncpy(m.size_name, "iso_a4_210x297mm", sizeof(m.size_name) - 1);
  strncpy(m.source, "main", sizeof(m.source) - 1);
  strncpy(m.type, "stationery", sizeof(m.type) - 1);
  m.size_width    = 21000;
  m.size_length   = 29700;
  m.left_margin   = m.right_margin = kMargin;
  m.top_margin    = m.bottom_margin = kMargin;
  data->media_ready[0] = m;

  data->testpage_cb = TestPage;
  static const char * const icon_sizes[3] = { "48", "128", "512" };
  for (int i = 0; i < 3; i ++)
    snprintf(data->icons[i].filename, sizeof(data->icons[i].filename), "%s/icon-%s.png",
             Config().data_dir.c_str(), icon_sizes[i]);

  // Five darkness levels, as the PPD's PrintDensity; 50 is Normal.
  data->darkness_supported  = 5;
  data->darkness_configured = 50;
  data->darkness_default    = 0;

  // What IPP Everywhere asks of every printer, as true of this one: no
  // colour management, one-sided sheets, no preferred attributes.
  if (!*driver_attrs)
    *driver_attrs = ippNew();
  ippAddString(*driver_attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default", nullptr, "auto");
  ippAddString(*driver_attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported", nullptr, "auto");
  ippAddString(*driver_attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "pwg-raster-document-sheet-back", nullptr, "normal");
  ippAddBoolean(*driver_attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);

  return (true);
}

const char *AutoAdd(const char *, const char *, const char *device_id, void *)
{
  return (device_id && strstr(device_id, "MFG:Tamsel;") ? "tamsel" : nullptr);
}

pappl_system_t *SystemCallback(int num_options, cups_option_t *options, void *)
{
  const char	*value;
  int		port = 0;
  pappl_loglevel_t loglevel = PAPPL_LOGLEVEL_WARN;

  if ((value = cupsGetOption("server-port", num_options, options)) != nullptr)
    port = atoi(value);
  if ((value = cupsGetOption("log-level", num_options, options)) != nullptr)
  {
    if (!strcmp(value, "debug"))
      loglevel = PAPPL_LOGLEVEL_DEBUG;
    else if (!strcmp(value, "info"))
      loglevel = PAPPL_LOGLEVEL_INFO;
    else if (!strcmp(value, "error"))
      loglevel = PAPPL_LOGLEVEL_ERROR;
  }

  // What this app asks of PAPPL beyond its defaults (the options come from
  // third_party/pappl/patches/):
  // - AUTH_PEER_UID: local clients are known by their user id; without an
  //   authentication service only root and the server's own user
  //   administer, and jobs belong to their owners' login names.
  // - CONNECTION_PER_JOB: each job gets a connection of its own, and a
  //   printer that cannot be reached is offline, not stopped.
  // - DEFER_CONNECTION: the connection opens with the job's first bytes
  //   (not while Ghostscript renders), and at the job's end the printer
  //   must close its end, or the job is not reported printed.
  // - SPOOL_RASTER: a raster that cannot print now is spooled, since
  //   PrintRasterFile prints it from the spool, instead of refused as busy.
  // - DARKNESS_AS_NAME: print-darkness from a CUPS raw queue, which CUPS
  //   2.4 sends as a name, is taken as its number.
  // - DRIVER_IMPRESSIONS: job-impressions-completed is the filter's count
  //   of pages the printer was sent; PAPPL does not count them too.
  const pappl_soptions_t soptions =
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_AUTH_PEER_UID |
      PAPPL_SOPTIONS_CONNECTION_PER_JOB | PAPPL_SOPTIONS_DEFER_CONNECTION |
      PAPPL_SOPTIONS_SPOOL_RASTER | PAPPL_SOPTIONS_DARKNESS_AS_NAME |
      PAPPL_SOPTIONS_DRIVER_IMPRESSIONS;
  pappl_system_t *system = papplSystemCreate(soptions, "Tamsel Printer App", port,
      "_print,_universal", cupsGetOption("spool-directory", num_options, options),
      cupsGetOption("log-file", num_options, options), loglevel,
      cupsGetOption("auth-service", num_options, options), false);
  if (!system)
    return (nullptr);

  // Each connection has a thread; PAPPL's default follows the file limit
  // (tens of thousands).  Connections beyond these wait to be accepted.
  papplSystemSetMaxClients(system, 64);

  // Loopback unless told otherwise: a print server is opened on purpose.
  if ((value = cupsGetOption("listen-hostname", num_options, options)) == nullptr)
    value = "localhost";
  // A server that listens nowhere would still advertise its printers.
  if (!papplSystemAddListeners(system, value))
  {
    fprintf(stderr,
            "tamsel-printer-app: Cannot listen on \"%s\", port %d: the name is not an address "
            "of this machine, or the port is in use.\n",
            value, papplSystemGetHostPort(system));
    papplSystemDelete(system);
    return (nullptr);
  }

  papplSystemSetPrinterDrivers(system, 1, tamsel_drivers, AutoAdd, nullptr, DriverCallback, nullptr);
  // PAPPL's web interface needs footer HTML to render.
  papplSystemSetFooterHTML(system, "Tamsel Printer App " TAMSEL_VERSION);
  // The app's own icon in the page header and the browser tab, instead of
  // PAPPL's (the first resource added for a path is the one served).
  std::string icon = Config().data_dir + "/icon-48.png", favicon = Config().data_dir + "/icon-128.png";
  papplSystemAddResourceFile(system, "/navicon.png", "image/png", icon.c_str());
  papplSystemAddResourceFile(system, "/favicon.png", "image/png", favicon.c_str());
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdf, nullptr);
  papplSystemAddMIMEFilter(system, "image/pwg-raster", "image/pwg-raster", PrintRasterFile, nullptr);
  papplSystemAddMIMEFilter(system, "image/urf", "image/pwg-raster", PrintRasterFile, nullptr);

  static pappl_version_t version = {};
  strncpy(version.name, "tamsel-printer-app", sizeof(version.name) - 1);
  strncpy(version.sversion, TAMSEL_VERSION, sizeof(version.sversion) - 1);
  papplSystemSetVersions(system, 1, &version);

  return (system);
}

}  // namespace
}  // namespace tamsel


int main(int argc, char *argv[])
{
  // A filter that exits early must give a failed write, not end the server.
  signal(SIGPIPE, SIG_IGN);

  using namespace tamsel;

  // The server runs as a system service: a command that finds it stopped
  // says so rather than start a private server on the service's state,
  // and the service's own user listens in the socket directory, where
  // root's commands look.
  papplMainloopSetOptions(PAPPL_MLOPTIONS_NO_PRIVATE_SERVER | PAPPL_MLOPTIONS_SERVICE_SOCKET);

  // No printer writes to a file, for root neither.
  papplDeviceRemoveScheme("file");

  return (papplMainloop(argc, argv, TAMSEL_VERSION, "Tamsel Printer App " TAMSEL_VERSION,
                        (int)(sizeof(tamsel_drivers) / sizeof(tamsel_drivers[0])), tamsel_drivers,
                        AutoAdd, DriverCallback, nullptr, nullptr, SystemCallback, nullptr,
                        nullptr));
}
