//
// Input side of the Tamsel raster filter: libcups served from large reads.
//

#include "rastertotamsel.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>


// libcups reads an uncompressed stream a line at a time, one read(2) each;
// serving it from this buffer costs one system call per 64 KB instead.
static unsigned char	szReadBuf[65536];
size_t			gReadPos = 0,	// Next byte of szReadBuf to serve
			gReadLen = 0;	// Bytes in szReadBuf
int			gReadEnd = 0;	// The input has ended


//
// 'ReadRaster()' - Serve libcups from reads of up to 64 KB on the input.
//
// A read returns whatever the producer has written so far; waiting to fill
// the buffer would hold back the lines of a slow producer.
//

ssize_t					// O - Bytes served, 0 at end, -1 on error
ReadRaster(void          *ctx,		// I - Input descriptor
           unsigned char *buffer,	// O - Bytes for libcups
           size_t        length)	// I - Bytes wanted
{
  int		fd = *(int *)ctx;
  ssize_t	bytes;


  if (gReadPos == gReadLen)
  {
    while ((bytes = read(fd, szReadBuf, sizeof(szReadBuf))) < 0)
      if (errno != EINTR)
        return (-1);

    gReadPos = 0;
    gReadLen = (size_t)bytes;
    gReadEnd = bytes == 0;
  }

  if (length > gReadLen - gReadPos)
    length = gReadLen - gReadPos;

  memcpy(buffer, szReadBuf + gReadPos, length);
  gReadPos += length;

  return ((ssize_t)length);
}


//
// 'InputRefused()' - Tell whether libcups stopped reading before the input ended.
//
// libcups ends the stream at a header it refuses as at a clean end.  Newer
// versions say why in their message (NULL when there is none); older ones
// refuse some headers silently, but leave their bytes unread.
//

int					// O - 1 if input was refused, 0 if not
InputRefused(int fd)			// I - Input descriptor
{
  const char	*message = cupsRasterErrorString();
  unsigned char	next;
  ssize_t	bytes;


  if ((message != NULL && message[0]) || gReadPos < gReadLen)
    return (1);

  if (gReadEnd)
    return (0);

  while ((bytes = read(fd, &next, 1)) < 0)
    if (errno != EINTR)
      return (0);

  return (bytes > 0);
}
