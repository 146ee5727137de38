//
// Tamsel raster filter for CUPS.
//
// Usage:
//
//   rastertotamsel job-id user title copies options [file]
//
// Reads a CUPS raster stream of one bit per pixel (a set bit is white) and
// writes the printer's command stream to stdout.  The exit status reports
// success (0 when pages were printed, 1 otherwise); the only message is a
// "PAGE:" line per page, which CUPS needs for its page accounting.
//

#include "rastertotamsel.h"
#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "settings/settings.h"

#include <cups/ppd.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>


// A run of white lines longer than this is sent in pieces; the stream is
// the same, and gFeed cannot overflow on an endless white page.
static const int	kMaxPendingFeed = 1 << 20;


//
// 'CancelJob()' - Note that the spooler cancelled the job.
//

static void
CancelJob(int sig)			// I - Signal number (unused)
{
  (void)sig;

  gCanceled = 1;
}


//
// 'main()' - Turn the raster stream into the printer's command stream.
//

int					// O - Exit status
main(int  argc,				// I - Number of command-line arguments
     char *argv[])			// I - Command-line arguments
{
  int			fd;		// Raster input
  ppd_file_t		*ppd;		// Printer's PPD
  cups_raster_t		*ras;		// Raster stream
  cups_page_header2_t	header;		// Current page header
  unsigned int		mCurLine;	// Lines read on this page
  const char		*ppdFile;	// PPD path
  int			badPage = 0;	// A page header could not be used
  struct sigaction	action;


  setbuf(stderr, NULL);

  // A reader that goes away must give us a failed write, not kill us; a
  // cancelled job still closes its current page so the printer is not left
  // inside it.
  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, NULL);
  // Restart interrupted calls: a write cut short by the signal must not
  // look like a failed one.
  action.sa_handler = CancelJob;
  action.sa_flags   = SA_RESTART;
  sigaction(SIGTERM, &action, NULL);

  if (argc != 6 && argc != 7)
    return (1);

  if (argc == 7)
  {
    if ((fd = open(argv[6], O_RDONLY)) == -1)
    {
      sleep(1);
      return (1);
    }
  }
  else
    fd = 0;

  if ((ppdFile = getenv("PPD")) == NULL || (ppd = ppdOpenFile(ppdFile)) == NULL)
  {
    if (fd != 0)
      close(fd);
    return (1);
  }

  gReadPos = gReadLen = 0;
  gReadEnd = 0;
  ras      = cupsRasterOpenIO(ReadRaster, &fd, CUPS_RASTER_READ);

  gJobFinishFlag     = 0;
  gImageCacheBufSize = 0;
  gWriteError        = 0;
  SelectLineEncoder();
  memset(szZeroCmd, 0, sizeof(szZeroCmd));
  memset(szImageCacheBuf, 0, sizeof(szImageCacheBuf));

  ImageDataCpy(szZeroCmd, kZeroCmdLen);
  JobSetup();

  gPage = 0;

  while (!gCanceled && !gWriteError && cupsRasterReadHeader2(ras, &header))
  {
    if (gPage == 0)
      parsePrinterSettings(ppd, argv[5], &header);

    // Nothing of a page we cannot handle is sent; it ends the usable input.
    if (!PageHeaderUsable(&header) || !AllocatePageBuffers(&header))
    {
      badPage = 1;
      break;
    }

    if (gPage == 0)
      sendSettingsToPrinter();

    gPage ++;

    PageSetup();

    gFeed = gMarginTop;

    for (mCurLine = 0; mCurLine < header.cupsHeight && !gCanceled && !gWriteError;
         mCurLine ++)
    {
      int		mvOffset;	// Pixels used in the last byte
      unsigned int	cmpLenth;	// Extent of the shifted comparison
      int		cmpret;

      if (cupsRasterReadPixels(ras, szRasterBuf + gMarginLeft, header.cupsBytesPerLine) == 0)
        break;

      // Ghostscript fills the bits beyond cupsWidth with 0; force them white
      // or no line of a real page would ever be blank.
      if ((mvOffset = (int)(header.cupsWidth & 7)) != 0)
        szRasterBuf[gMarginLeft + header.cupsBytesPerLine - 1] |= (unsigned char)(0xFF >> mvOffset);

      // The buffer equals itself shifted by one byte only when all its bytes
      // are equal; byte 0 says whether they are white.
      cmpLenth = gMarginLeft + header.cupsBytesPerLine - 1;
      cmpret   = memcmp(szRasterBuf, szRasterBuf + 1, cmpLenth);

      if (cmpret == 0 && szRasterBuf[0] == 0xFF)
      {
        if (++ gFeed >= kMaxPendingFeed)
        {
          SendBlankLineData(gFeed);
          gFeed = 0;
        }
      }
      else
        SendOneLineData(&header);
    }

    if (gFeed > 0)
    {
      SendBlankLineData(gFeed);
      gFeed = 0;
    }

    PageFinish();

    // The printer makes the copies, so CUPS learns them from us.
    if (!gWriteError)
      fprintf(stderr, "PAGE: %u %u\n", gPage,
              szPrintNumCopiesCmd[3] | (szPrintNumCopiesCmd[4] << 8));
  }

  // A header libcups refused cut the job short: a failure, not a clean end.
  if (!gCanceled && !gWriteError && !badPage && InputRefused(fd))
    badPage = 1;

  JobFinish();

  ppdClose(ppd);
  if (ras)
    cupsRasterClose(ras);
  if (fd != 0)
    close(fd);

  if (gPage == 0 || badPage || gWriteError)
    return (1);

  return (0);
}
