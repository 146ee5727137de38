//
// tamsel-printer-app: the Tamsel printers as an IPP Everywhere Printer
// Application.
//
// PAPPL does the IPP side and renders PWG raster, Apple raster, PNG and
// JPEG; PDF is rendered here with Ghostscript.  The bytes the printer gets
// come from the real rastertotamsel: every job runs it as a child process,
// with the driver's PPD, and hands it the job's pages as a CUPS raster
// stream.
//
//   tamsel-printer-app server [-o server-port=N] [-o spool-directory=DIR]
//                             [-o log-file=FILE] [-o log-level=debug]
//   tamsel-printer-app add -d NAME -v socket://HOST -m tamsel
//   tamsel-printer-app submit -d NAME FILE ...
//
// TAMSEL_FILTER and TAMSEL_PPD override where the filter and the PPD are.
//

#include <pappl/pappl.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

pappl_pr_driver_t tamsel_drivers[] = {
  { const_cast<char *>("tamsel"), const_cast<char *>("Tamsel Laser"),
    const_cast<char *>("MFG:Tamsel;MDL:Laser;CMD:TAMSEL;"), nullptr }
};

// The filter's paper table knows these by their own point sizes.
struct Media {
  const char *pwg;
  unsigned   points[2];
};
const Media tamsel_media[] = {
  { "iso_a4_210x297mm",   { 595, 842 } },
  { "iso_a5_148x210mm",   { 420, 595 } },
  { "iso_b5_176x250mm",   { 498, 708 } },
  { "na_letter_8.5x11in", { 612, 792 } },
  { "na_legal_8.5x14in",  { 612, 1008 } }
};

// Media types, in the order of the PaperWeight choices 1 to 3.
const char *tamsel_types[] = { "stationery", "stationery-heavyweight", "cardstock" };

const int kMargin = 423;		// 12 points, as in the PPD, in 1/100 mm

std::string FilterPath()
{
  const char *env = getenv("TAMSEL_FILTER");
  return env ? env : TAMSEL_FILTER_PATH;
}

std::string PpdPath()
{
  const char *env = getenv("TAMSEL_PPD");
  return env ? env : TAMSEL_PPD_PATH;
}

// One job's filter process and the raster stream going into it.
struct FilterJob {
  pid_t		pid = -1;
  int		to_filter = -1;		// filter's standard input
  int		output = -1;		// filter's standard output, a spool file
  std::string	output_name;
  cups_raster_t	*ras = nullptr;
  std::vector<unsigned char> line;	// one line in the filter's polarity
};

// PrintDensity 1 to 5 from the job's darkness: the printer's configured
// darkness (0 to 100, 50 being the PPD's Normal) plus the job's
// print-darkness (-100 to 100).
int DensityFor(const pappl_pr_options_t *options)
{
  int darkness = options->darkness_configured + options->print_darkness;

  if (darkness < 0)
    darkness = 0;
  if (darkness > 100)
    darkness = 100;
  return (1 + (darkness * 4 + 50) / 100);
}

int PaperWeightFor(const pappl_pr_options_t *options)
{
  for (int i = 0; i < 3; i ++)
    if (!strcmp(options->media.type, tamsel_types[i]))
      return (i + 1);
  return (1);
}

// Page size in points as the filter's paper table expects it.
void PageSizeFor(const pappl_pr_options_t *options, cups_page_header2_t *h)
{
  for (const Media &m : tamsel_media)
    if (!strcmp(options->media.size_name, m.pwg))
    {
      h->PageSize[0] = m.points[0];
      h->PageSize[1] = m.points[1];
      h->cupsPageSize[0] = (float)m.points[0];
      h->cupsPageSize[1] = (float)m.points[1];
      return;
    }

  h->cupsPageSize[0] = options->media.size_width * 72.0f / 2540.0f;
  h->cupsPageSize[1] = options->media.size_length * 72.0f / 2540.0f;
  h->PageSize[0]     = (unsigned)lroundf(h->cupsPageSize[0]);
  h->PageSize[1]     = (unsigned)lroundf(h->cupsPageSize[1]);
}

// Starts rastertotamsel for a job, its output going to a spool file.
bool StartFilter(pappl_job_t *job, const pappl_pr_options_t *options, FilterJob *fj)
{
  char	name[1024];
  int	in[2];

  if ((fj->output = papplJobOpenFile(job, name, sizeof(name), nullptr, "prn", "w")) < 0)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create spool file: %s", strerror(errno));
    return (false);
  }
  fj->output_name = name;

  // Close-on-exec, so that a filter started for another printer at the
  // same moment cannot inherit this job's pipe and keep it open.
  if (pipe2(in, O_CLOEXEC))
  {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create a pipe: %s", strerror(errno));
    return (false);
  }

  std::string filter = FilterPath(), ppd_env = "PPD=" + PpdPath();
  std::string settings = "PrintDensity=" + std::to_string(DensityFor(options)) +
                         " PaperWeight=" + std::to_string(PaperWeightFor(options));
  std::string job_id = std::to_string(papplJobGetID(job));
  const char *user = papplJobGetUsername(job), *title = papplJobGetName(job);
  std::string user_s = user ? user : "user", title_s = title ? title : "job";
  std::string copies = "1";
  char *argv[] = { const_cast<char *>("rastertotamsel"), job_id.data(), user_s.data(),
                   title_s.data(), copies.data(), settings.data(), nullptr };

  std::vector<char *> envp;
  for (char **e = environ; *e; e ++)
    if (strncmp(*e, "PPD=", 4))
      envp.push_back(*e);
  envp.push_back(ppd_env.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fj->output, 1);
  // Nothing else of the server's: other jobs' files and PAPPL's own pipes.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  int err = posix_spawn(&fj->pid, filter.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);

  if (err)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run %s: %s", filter.c_str(), strerror(err));
    close(in[1]);
    fj->pid = -1;
    return (false);
  }

  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Started %s (PID %d) with \"%s\"", filter.c_str(),
              (int)fj->pid, settings.c_str());
  fj->to_filter = in[1];
  fj->ras       = cupsRasterOpen(fj->to_filter, CUPS_RASTER_WRITE);
  return (fj->ras != nullptr);
}

// Copies a file to the printer; any failure fails the job, with a message.
bool SendFile(pappl_job_t *job, const char *name, pappl_device_t *device)
{
  char		buffer[65536];
  ssize_t	bytes;
  bool		ok = true;
  int		fd = open(name, O_RDONLY | O_CLOEXEC);

  if (fd < 0)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open %s: %s", name, strerror(errno));
    return (false);
  }

  while (ok && (bytes = read(fd, buffer, sizeof(buffer))) != 0)
  {
    if (bytes < 0 && errno == EINTR)
      continue;
    if (bytes < 0)
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read %s: %s", name, strerror(errno));
    else if (papplDeviceWrite(device, buffer, (size_t)bytes) < 0)
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to write to the printer");
    else
      continue;
    ok = false;
  }

  close(fd);
  papplDeviceFlush(device);
  return (ok);
}

// Ends the raster stream, waits for the filter, and on success sends what
// it wrote to the printer.  The filter's exit status decides the job.
bool FinishFilter(pappl_job_t *job, pappl_device_t *device, FilterJob *fj)
{
  bool	ok = false;
  int	status = 0;

  if (fj->ras)
    cupsRasterClose(fj->ras);
  if (fj->to_filter >= 0)
    close(fj->to_filter);
  fj->ras       = nullptr;
  fj->to_filter = -1;

  if (fj->pid > 0)
  {
    while (waitpid(fj->pid, &status, 0) < 0 && errno == EINTR);

    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
      ok = true;
    else if (WIFEXITED(status))
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "rastertotamsel failed with status %d", WEXITSTATUS(status));
    else
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "rastertotamsel crashed on signal %d", WTERMSIG(status));
  }

  if (fj->output >= 0)
    close(fj->output);
  fj->output = -1;

  if (ok && device)
    ok = SendFile(job, fj->output_name.c_str(), device);

  if (!fj->output_name.empty())
    unlink(fj->output_name.c_str());

  delete fj;
  papplJobSetData(job, nullptr);
  return (ok);
}

// The header the filter reads: 1 bit, set bit white, 600 dpi, the page
// size its paper table knows, one copy (PAPPL repeats pages for copies).
cups_page_header2_t MakeHeader(const pappl_pr_options_t *options, unsigned width, unsigned height)
{
  cups_page_header2_t h;

  memset(&h, 0, sizeof(h));
  strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0]  = h.HWResolution[1] = 600;
  h.NumCopies        = 1;
  h.cupsWidth        = width;
  h.cupsHeight       = height;
  h.cupsBitsPerColor = 1;
  h.cupsBitsPerPixel = 1;
  h.cupsBytesPerLine = (width + 7) / 8;
  h.cupsColorOrder   = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace   = CUPS_CSPACE_W;
  h.cupsNumColors    = 1;
  PageSizeFor(options, &h);
  return (h);
}


//
// Raster callbacks: PAPPL renders the job and hands over lines.
//

bool StartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *)
{
  FilterJob *fj = new FilterJob;

  papplJobSetData(job, fj);
  if (StartFilter(job, options, fj))
    return (true);

  // PAPPL ends the job here without calling EndJob.
  FinishFilter(job, nullptr, fj);
  return (false);
}

bool StartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned)
{
  FilterJob		*fj = static_cast<FilterJob *>(papplJobGetData(job));
  cups_page_header2_t	h = MakeHeader(options, options->header.cupsWidth, options->header.cupsHeight);

  fj->line.resize(h.cupsBytesPerLine);
  return (cupsRasterWriteHeader2(fj->ras, &h) != 0);
}

bool WriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned, const unsigned char *line)
{
  FilterJob	*fj = static_cast<FilterJob *>(papplJobGetData(job));
  size_t	n = fj->line.size();

  if (options->header.cupsBytesPerLine < n)
    n = options->header.cupsBytesPerLine;

  // PAPPL's set bit is black; the filter's is white.
  for (size_t i = 0; i < n; i ++)
    fj->line[i] = (unsigned char)~line[i];

  return (cupsRasterWritePixels(fj->ras, fj->line.data(), (unsigned)fj->line.size()) != 0);
}

bool EndPage(pappl_job_t *, pappl_pr_options_t *, pappl_device_t *, unsigned)
{
  return (true);
}

bool EndJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
  FilterJob *fj = static_cast<FilterJob *>(papplJobGetData(job));

  return (fj ? FinishFilter(job, device, fj) : false);
}

// Raw printer streams (already Tamsel commands) pass straight through.
bool PrintFile(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
  // A job cancelled just before it starts has no document any more.
  const char *filename = papplJobGetFilename(job);

  return (filename && SendFile(job, filename, device));
}


//
// PDF: Ghostscript renders the pages at 600 dpi, 1 bit, set bit white, as
// a CUPS raster, which goes to the filter once per copy.
//

bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void *)
{
  // A job cancelled just before it starts has no document any more.
  const char		*filename = papplJobGetFilename(job);
  if (!filename)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "No document to print");
    return (false);
  }

  pappl_pr_options_t	*options = papplJobCreatePrintOptions(job, INT_MAX, false);
  char			ras_name[1024];
  int			ras_fd = papplJobOpenFile(job, ras_name, sizeof(ras_name), nullptr, "ras", "w");
  bool			ok = false;

  if (ras_fd < 0 || !options)
  {
    if (ras_fd >= 0)
      close(ras_fd);
    if (options)
      papplJobDeletePrintOptions(options);
    return (false);
  }
  close(ras_fd);

  cups_page_header2_t target = MakeHeader(options, 0, 0);
  std::string out = std::string("-sOutputFile=") + ras_name;
  std::string width = "-dDEVICEWIDTHPOINTS=" + std::to_string(target.PageSize[0]);
  std::string height = "-dDEVICEHEIGHTPOINTS=" + std::to_string(target.PageSize[1]);
  std::string input = filename;
  const char *argv[] = { "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                         "-sDEVICE=cups", "-dcupsColorSpace=0", "-dcupsBitsPerColor=1",
                         "-r600", width.c_str(), height.c_str(), "-dFIXEDMEDIA", "-dPDFFitPage",
                         out.c_str(), input.c_str(), nullptr };
  pid_t pid;
  int	status = 0, err;
  posix_spawn_file_actions_t actions;

  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Rendering PDF with Ghostscript");
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if ((err = posix_spawnp(&pid, "gs", &actions, nullptr, const_cast<char **>(argv), environ)) != 0)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run Ghostscript: %s", strerror(err));
  else
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR);
  posix_spawn_file_actions_destroy(&actions);

  if (err || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
  {
    if (!err)
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript could not render the PDF");
  }
  else
  {
    FilterJob	*fj = new FilterJob;
    int		copies = options->copies > 0 ? options->copies : 1;

    papplJobSetData(job, fj);
    ok = StartFilter(job, options, fj);

    for (int copy = 0; ok && copy < copies && !papplJobIsCanceled(job); copy ++)
    {
      int			fd = open(ras_name, O_RDONLY | O_CLOEXEC);
      cups_raster_t		*in = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
      cups_page_header2_t	h;

      if (!in)
      {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the rendered pages: %s", strerror(errno));
        ok = false;
      }

      while (ok && in && cupsRasterReadHeader2(in, &h) && !papplJobIsCanceled(job))
      {
        cups_page_header2_t page = MakeHeader(options, h.cupsWidth, h.cupsHeight);

        page.cupsBytesPerLine = h.cupsBytesPerLine;
        fj->line.resize(h.cupsBytesPerLine);
        ok = cupsRasterWriteHeader2(fj->ras, &page) != 0;
        for (unsigned y = 0; ok && y < h.cupsHeight; y ++)
          ok = cupsRasterReadPixels(in, fj->line.data(), h.cupsBytesPerLine) &&
               cupsRasterWritePixels(fj->ras, fj->line.data(), h.cupsBytesPerLine);
        papplJobSetImpressionsCompleted(job, 1);
      }
      if (in)
        cupsRasterClose(in);
      if (fd >= 0)
        close(fd);
    }

    ok = FinishFilter(job, device, fj) && ok;
  }

  unlink(ras_name);
  papplJobDeletePrintOptions(options);
  return (ok);
}


//
// Driver and system setup.
//

bool DriverCallback(pappl_system_t *, const char *driver_name, const char *, const char *,
                    pappl_pr_driver_data_t *data, ipp_t **, void *)
{
  if (strcmp(driver_name, "tamsel"))
    return (false);

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

  data->num_media = (int)(sizeof(tamsel_media) / sizeof(tamsel_media[0]));
  for (int i = 0; i < data->num_media; i ++)
    data->media[i] = tamsel_media[i].pwg;

  data->num_source = 1;
  data->source[0]  = "main";

  data->num_type = 3;
  for (int i = 0; i < 3; i ++)
    data->type[i] = tamsel_types[i];

  pappl_media_col_t &m = data->media_default;
  strncpy(m.size_name, "iso_a4_210x297mm", sizeof(m.size_name) - 1);
  strncpy(m.source, "main", sizeof(m.source) - 1);
  strncpy(m.type, "stationery", sizeof(m.type) - 1);
  m.size_width    = 21000;
  m.size_length   = 29700;
  m.left_margin   = m.right_margin = kMargin;
  m.top_margin    = m.bottom_margin = kMargin;
  data->media_ready[0] = m;

  // Five darkness levels, as the PPD's PrintDensity; 50 is Normal.
  data->darkness_supported  = 5;
  data->darkness_configured = 50;
  data->darkness_default    = 0;

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

  pappl_system_t *system = papplSystemCreate(
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE, "Tamsel Printer App", port,
      "_print,_universal", cupsGetOption("spool-directory", num_options, options),
      cupsGetOption("log-file", num_options, options), loglevel,
      cupsGetOption("auth-service", num_options, options), false);
  if (!system)
    return (nullptr);

  // Loopback unless told otherwise: a print server is opened on purpose.
  if ((value = cupsGetOption("listen-hostname", num_options, options)) == nullptr)
    value = "localhost";
  papplSystemAddListeners(system, value);

  papplSystemSetPrinterDrivers(system, 1, tamsel_drivers, AutoAdd, nullptr, DriverCallback, nullptr);
  // PAPPL 1.3's web interface needs footer HTML to render.
  papplSystemSetFooterHTML(system, "Tamsel Printer App " TAMSEL_VERSION);
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdf, nullptr);

  static pappl_version_t version = {};
  strncpy(version.name, "tamsel-printer-app", sizeof(version.name) - 1);
  strncpy(version.sversion, TAMSEL_VERSION, sizeof(version.sversion) - 1);
  papplSystemSetVersions(system, 1, &version);

  return (system);
}

}  // namespace


int main(int argc, char *argv[])
{
  // A filter that exits early must give a failed write, not end the server.
  signal(SIGPIPE, SIG_IGN);

  return (papplMainloop(argc, argv, TAMSEL_VERSION, "Tamsel Printer App " TAMSEL_VERSION,
                        (int)(sizeof(tamsel_drivers) / sizeof(tamsel_drivers[0])), tamsel_drivers,
                        AutoAdd, DriverCallback, nullptr, nullptr, SystemCallback, nullptr,
                        nullptr));
}
