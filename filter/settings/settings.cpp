//
// Job settings for the Tamsel printers.
//
// Everything here runs once per job, on the first page header; later pages
// keep the settings block and the margins found here.
//

#include "settings.h"
#include "../output/commands.h"

#include <math.h>
#include <stdlib.h>


PRINTER_SETTINGS	gPrinterSettings;
const int		gPrintDensityDefVar = 2;
const int		gPaperWeightDefVar = 1;
unsigned int		gMarginLeft = 0;
int			gMarginTop = 0;

// CRC-16/XMODEM: polynomial 0x1021, MSB first, initial value 0.
const unsigned short	crc16_tab[256] =
{
  0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50a5, 0x60c6, 0x70e7,
  0x8108, 0x9129, 0xa14a, 0xb16b, 0xc18c, 0xd1ad, 0xe1ce, 0xf1ef,
  0x1231, 0x0210, 0x3273, 0x2252, 0x52b5, 0x4294, 0x72f7, 0x62d6,
  0x9339, 0x8318, 0xb37b, 0xa35a, 0xd3bd, 0xc39c, 0xf3ff, 0xe3de,
  0x2462, 0x3443, 0x0420, 0x1401, 0x64e6, 0x74c7, 0x44a4, 0x5485,
  0xa56a, 0xb54b, 0x8528, 0x9509, 0xe5ee, 0xf5cf, 0xc5ac, 0xd58d,
  0x3653, 0x2672, 0x1611, 0x0630, 0x76d7, 0x66f6, 0x5695, 0x46b4,
  0xb75b, 0xa77a, 0x9719, 0x8738, 0xf7df, 0xe7fe, 0xd79d, 0xc7bc,
  0x48c4, 0x58e5, 0x6886, 0x78a7, 0x0840, 0x1861, 0x2802, 0x3823,
  0xc9cc, 0xd9ed, 0xe98e, 0xf9af, 0x8948, 0x9969, 0xa90a, 0xb92b,
  0x5af5, 0x4ad4, 0x7ab7, 0x6a96, 0x1a71, 0x0a50, 0x3a33, 0x2a12,
  0xdbfd, 0xcbdc, 0xfbbf, 0xeb9e, 0x9b79, 0x8b58, 0xbb3b, 0xab1a,
  0x6ca6, 0x7c87, 0x4ce4, 0x5cc5, 0x2c22, 0x3c03, 0x0c60, 0x1c41,
  0xedae, 0xfd8f, 0xcdec, 0xddcd, 0xad2a, 0xbd0b, 0x8d68, 0x9d49,
  0x7e97, 0x6eb6, 0x5ed5, 0x4ef4, 0x3e13, 0x2e32, 0x1e51, 0x0e70,
  0xff9f, 0xefbe, 0xdfdd, 0xcffc, 0xbf1b, 0xaf3a, 0x9f59, 0x8f78,
  0x9188, 0x81a9, 0xb1ca, 0xa1eb, 0xd10c, 0xc12d, 0xf14e, 0xe16f,
  0x1080, 0x00a1, 0x30c2, 0x20e3, 0x5004, 0x4025, 0x7046, 0x6067,
  0x83b9, 0x9398, 0xa3fb, 0xb3da, 0xc33d, 0xd31c, 0xe37f, 0xf35e,
  0x02b1, 0x1290, 0x22f3, 0x32d2, 0x4235, 0x5214, 0x6277, 0x7256,
  0xb5ea, 0xa5cb, 0x95a8, 0x8589, 0xf56e, 0xe54f, 0xd52c, 0xc50d,
  0x34e2, 0x24c3, 0x14a0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405,
  0xa7db, 0xb7fa, 0x8799, 0x97b8, 0xe75f, 0xf77e, 0xc71d, 0xd73c,
  0x26d3, 0x36f2, 0x0691, 0x16b0, 0x6657, 0x7676, 0x4615, 0x5634,
  0xd94c, 0xc96d, 0xf90e, 0xe92f, 0x99c8, 0x89e9, 0xb98a, 0xa9ab,
  0x5844, 0x4865, 0x7806, 0x6827, 0x18c0, 0x08e1, 0x3882, 0x28a3,
  0xcb7d, 0xdb5c, 0xeb3f, 0xfb1e, 0x8bf9, 0x9bd8, 0xabbb, 0xbb9a,
  0x4a75, 0x5a54, 0x6a37, 0x7a16, 0x0af1, 0x1ad0, 0x2ab3, 0x3a92,
  0xfd2e, 0xed0f, 0xdd6c, 0xcd4d, 0xbdaa, 0xad8b, 0x9de8, 0x8dc9,
  0x7c26, 0x6c07, 0x5c64, 0x4c45, 0x3ca2, 0x2c83, 0x1ce0, 0x0cc1,
  0xef1f, 0xff3e, 0xcf5d, 0xdf7c, 0xaf9b, 0xbfba, 0x8fd9, 0x9ff8,
  0x6e17, 0x7e36, 0x4e55, 0x5e74, 0x2e93, 0x3eb2, 0x0ed1, 0x1ef0
};

// Paper sizes the printer knows by their own dot counts, which differ
// slightly from what the points would compute to.
static const struct
{
  unsigned int	points[2];		// PageSize in points
  unsigned int	dots[2];		// Width and length at 600 dpi
} paperTable[] =
{
  { { 595, 842 }, { 4960, 7016 } },	// A4
  { { 420, 595 }, { 3512, 4958 } },	// A5
  { { 595, 420 }, { 4958, 3512 } },	// A5 landscape
  { { 498, 708 }, { 4176, 5908 } }	// B5 (176 x 250 mm)
};


//
// 'cyg_crc16()' - Compute the CRC-16 of a buffer.
//

unsigned short				// O - CRC, 0 for an empty buffer
cyg_crc16(const unsigned char *buf,	// I - Bytes
          int                 len)	// I - Number of bytes
{
  unsigned short	cksum = 0;


  for (int i = 0; i < len; i ++)
    cksum = (unsigned short)(crc16_tab[((cksum >> 8) ^ buf[i]) & 0xFF] ^ (cksum << 8));

  return (cksum);
}


//
// 'getSettingsChoice()' - Get the numeric value of an option's marked or default choice.
//

int					// O - Value, -1 when there is no choice
getSettingsChoice(const char *pOption,	// I - Option keyword
                  ppd_file_t *ppd)	// I - PPD file
{
  ppd_choice_t	*choice;
  ppd_option_t	*option;


  if ((choice = ppdFindMarkedChoice(ppd, pOption)) == NULL)
  {
    if ((option = ppdFindOption(ppd, pOption)) == NULL)
      return (-1);

    if ((choice = ppdFindChoice(option, option->defchoice)) == NULL)
      return (-1);
  }

  return (atoi(choice->choice));
}


//
// 'pointsToDots()' - Convert a page dimension in points to 600-dpi dots.
//
// The printer's firmware rounds in single precision, so we do too.  Values
// that are negative, not a number or absurdly large come from a broken
// header; they are pinned so that the margins stay allocatable.
//

unsigned int				// O - Dots
pointsToDots(float points)		// I - Points
{
  // volatile forces each step to be rounded to float: x87 arithmetic
  // (i386) would otherwise keep extended precision and lose a dot, e.g.
  // 72.24 points gives 602 dots in float and 601 in extended precision.
  volatile float product = points * 600.0f;
  volatile float dots    = product / 72.0f;


  if (!(dots >= 0.0f))			// Negative or NaN
    return (0);
  if (dots >= (float)kMaxPaperDots)	// Too large, or infinite
    return (kMaxPaperDots);

  return ((unsigned int)dots);
}


//
// 'parsePrinterSettings()' - Derive the settings block and the margins of the job.
//

void
parsePrinterSettings(
    ppd_file_t          *ppd,		// I - PPD file
    char                *pSettings,	// I - Job options (argv[5])
    cups_page_header2_t *header)	// I - First page header
{
  cups_option_t		*options = NULL;
  int			numOptions;
  unsigned short	numCopies,
			crc16;
  unsigned int		paperWidth = 0,
			paperHight = 0,
			imageWidth;
  size_t		i;


  // Job options replace the PPD defaults.
  ppdMarkDefaults(ppd);
  numOptions = cupsParseOptions(pSettings, 0, &options);
  if (numOptions != 0 && options != NULL)
  {
    cupsMarkOptions(ppd, numOptions, options);
    cupsFreeOptions(numOptions, options);
  }

  // Density and weight: only a missing choice selects the default; the
  // printer takes the low byte of value + 16 as it comes.
  if ((gPrinterSettings.mPrintDensity = getSettingsChoice("PrintDensity", ppd)) == -1)
    gPrinterSettings.mPrintDensity = gPrintDensityDefVar;
  szDarknessCmd[4] = (unsigned char)(gPrinterSettings.mPrintDensity + 16);

  if ((gPrinterSettings.mPaperWeight = getSettingsChoice("PaperWeight", ppd)) == -1)
    gPrinterSettings.mPaperWeight = gPaperWeightDefVar;
  szPaperWeightCmd[4] = (unsigned char)(gPrinterSettings.mPaperWeight + 16);

  // Copies, protected by a CRC over the command's first five bytes.
  numCopies = (unsigned short)(header->NumCopies & 0xFFFF);
  if (numCopies == 0 || numCopies > 32767)
    numCopies = 1;

  szPrintNumCopiesCmd[3] = (unsigned char)(numCopies & 0xFF);
  szPrintNumCopiesCmd[4] = (unsigned char)(numCopies >> 8);
  crc16                  = cyg_crc16(szPrintNumCopiesCmd, 5);
  szPrintNumCopiesCmd[5] = (unsigned char)(crc16 & 0xFF);
  szPrintNumCopiesCmd[6] = (unsigned char)(crc16 >> 8);

  // Paper size in dots: the printer's own table first, else computed.
  for (i = 0; i < sizeof(paperTable) / sizeof(paperTable[0]); i ++)
    if (header->PageSize[0] == paperTable[i].points[0] &&
        header->PageSize[1] == paperTable[i].points[1])
    {
      paperWidth = paperTable[i].dots[0];
      paperHight = paperTable[i].dots[1];
      break;
    }

  if (i == sizeof(paperTable) / sizeof(paperTable[0]))
  {
    paperWidth = pointsToDots(header->cupsPageSize[0]);
    paperHight = pointsToDots(header->cupsPageSize[1]);
  }

  // The command carries 16 bits; the margins below use the full value.
  // Fields are stored a byte at a time, low byte first, so the stream is
  // the same on big-endian servers; do not replace this with a memcpy.
  szPaperSizeSelfdefCmd[2] = (unsigned char)(paperWidth & 0xFF);
  szPaperSizeSelfdefCmd[3] = (unsigned char)((paperWidth >> 8) & 0xFF);
  szPaperSizeSelfdefCmd[6] = (unsigned char)(paperHight & 0xFF);
  szPaperSizeSelfdefCmd[7] = (unsigned char)((paperHight >> 8) & 0xFF);

  // Centre a raster smaller than the paper; a paper narrower than the
  // printer's inset has no room for a margin.
  imageWidth = paperWidth > kImageWidthInset ? paperWidth - kImageWidthInset : 0;

  if (header->cupsWidth < imageWidth)
    gMarginLeft = (imageWidth - header->cupsWidth) >> 5;
  else
    gMarginLeft = 0;

  if (header->cupsHeight < paperHight)
    gMarginTop = (int)(((paperHight - header->cupsHeight) >> 4) * 3);
  else
    gMarginTop = 0;
}
