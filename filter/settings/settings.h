//
// Job settings for the Tamsel printers: density, paper weight, copies,
// paper size and the image margins, from the PPD, the job options and the
// first page header.
//

#ifndef TAMSEL_SETTINGS_SETTINGS_H
#define TAMSEL_SETTINGS_SETTINGS_H

#include <cups/ppd.h>
#include <cups/raster.h>

typedef struct PRINTER_SETTINGS_STRUCT
{
  int	mPrintDensity;			// PrintDensity choice, or its default
  int	mPaperWeight;			// PaperWeight choice, or its default
} PRINTER_SETTINGS;

enum
{
  kMaxPaperDots	   = 1 << 20,		// Computed paper sizes are capped here (44 m),
					// which keeps the margins allocatable
  kImageWidthInset = 24			// Dots the printer cannot image across
};

extern PRINTER_SETTINGS		gPrinterSettings;
extern const int		gPrintDensityDefVar;
extern const int		gPaperWeightDefVar;
extern unsigned int		gMarginLeft;
extern int			gMarginTop;
extern const unsigned short	crc16_tab[256];

extern void		parsePrinterSettings(ppd_file_t *ppd, char *pSettings,
			                     cups_page_header2_t *header);
extern int		getSettingsChoice(const char *pOption, ppd_file_t *ppd);
extern unsigned short	cyg_crc16(const unsigned char *buf, int len);
extern unsigned int	pointsToDots(float points);

#endif // !TAMSEL_SETTINGS_SETTINGS_H
