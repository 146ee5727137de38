//
// Job loop of the Tamsel raster filter.
//

#ifndef TAMSEL_RASTERTOTAMSEL_H
#define TAMSEL_RASTERTOTAMSEL_H

#include <cups/raster.h>
#include <signal.h>

extern unsigned int		gPage;		// Pages begun in this job
extern int			gFeed;		// Blank lines owed to the printer
extern volatile sig_atomic_t	gCanceled;	// SIGTERM received
extern size_t			gReadPos,	// Input buffer: next byte to serve
				gReadLen;	// and bytes in it
extern int			gReadEnd;	// The input has ended

extern ssize_t	ReadRaster(void *ctx, unsigned char *buffer, size_t length);
extern int	InputRefused(int fd);
extern void	SendOneLineData(cups_page_header2_t *header);
extern void	SendBlankLineData(int lines);
extern int	PageHeaderUsable(const cups_page_header2_t *header);
extern int	AllocatePageBuffers(const cups_page_header2_t *header);

#endif // !TAMSEL_RASTERTOTAMSEL_H
