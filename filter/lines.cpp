//
// Line-level operations of the Tamsel raster filter.
//

#include "rastertotamsel.h"
#include "output/commands.h"
#include "output/encoder.h"
#include "output/staging.h"
#include "settings/settings.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>


unsigned int		gPage = 0;
int			gFeed = 0;
volatile sig_atomic_t	gCanceled = 0;


//
// 'SendBlankLineData()' - Stage one blank-line command per owed line.
//

void
SendBlankLineData(int lines)		// I - Number of blank lines
{
  for (; lines > 0; lines --)
    ImageDataCpy(szBlankLineCmd, kBlankLineCmdLen);
}


//
// 'SendOneLineData()' - Send the pending blank lines, then encode and stage the current line.
//

void
SendOneLineData(cups_page_header2_t *header)	// I - Current page header
{
  if (gFeed > 0)
  {
    SendBlankLineData(gFeed);
    gFeed = 0;
  }

  CompressDataAndSend(szRasterBuf, ((header->cupsWidth + 7) >> 3) + gMarginLeft, 3);
}


//
// 'PageHeaderUsable()' - Tell whether a page can be printed without overrunning anything.
//
// libcups accepts headers whose line is shorter than their width needs or
// a gigabyte long; such a page, or one whose line would not fit a line
// record's 16-bit length, ends the usable input.  A width of 0 is fine: its
// lines encode to the left margin alone.
//

int					// O - 1 if usable, 0 if not
PageHeaderUsable(const cups_page_header2_t *header)	// I - Page header
{
  uint64_t	pixelBytes = ((uint64_t)header->cupsWidth + 7) / 8;


  // An empty line would make the white test's extent wrap below.
  if ((uint64_t)gMarginLeft + header->cupsBytesPerLine == 0)
    return (0);

  if (header->cupsBytesPerLine < pixelBytes)
    return (0);

  if ((uint64_t)gMarginLeft + header->cupsBytesPerLine > kMaxEncodedLine)
    return (0);

  return (1);
}


//
// 'AllocatePageBuffers()' - Allocate the line and compression buffers of a page, all white.
//

int					// O - 1 on success, 0 on failure
AllocatePageBuffers(const cups_page_header2_t *header)	// I - Page header
{
  // PageHeaderUsable() has bounded both sizes well inside 32 bits.
  unsigned int	lineLen = gMarginLeft + header->cupsBytesPerLine;


  szRasterBuf   = (unsigned char *)malloc(lineLen + 1);
  szCompressBuf = (unsigned char *)malloc(2 * lineLen + 2);

  if (!szRasterBuf || !szCompressBuf)
  {
    free(szRasterBuf);
    free(szCompressBuf);
    szRasterBuf   = NULL;
    szCompressBuf = NULL;
    return (0);
  }

  memset(szRasterBuf, 0xFF, lineLen + 1);
  memset(szCompressBuf, 0xFF, 2 * lineLen + 2);

  return (1);
}
