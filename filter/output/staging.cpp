//
// Output staging for the Tamsel printer stream.
//

#include "staging.h"

#include <stdio.h>
#include <string.h>


unsigned char	szImageCacheBuf[kImageCacheBufSize];
unsigned int	gImageCacheBufSize = 0;
volatile int	gJobFinishFlag = 0;
int		gWriteError = 0;


//
// 'ImageDataCpy()' - Append bytes to the staging buffer, or flush it when src is NULL.
//

void
ImageDataCpy(const unsigned char *src,	// I - Bytes to append, NULL to flush
             unsigned int        len)	// I - Number of bytes
{
  // Once the reader has gone, every further byte would be lost anyway.
  if (gWriteError)
    return;

  if (!src)
  {
    if (gImageCacheBufSize)
      putCharArray(szImageCacheBuf, gImageCacheBufSize);
    return;
  }

  // Flush when the new bytes would reach the end of the buffer; written as a
  // difference so that a huge len cannot wrap the sum.
  if (len >= kImageCacheBufSize - gImageCacheBufSize)
    putCharArray(szImageCacheBuf, gImageCacheBufSize);

  // A very wide line record can be larger than the buffer: fill it to the
  // brim and flush whole blocks until the rest fits, so that the byte order
  // and the 512-byte writes hold.
  while (len > kImageCacheBufSize - gImageCacheBufSize)
  {
    unsigned int chunk = kImageCacheBufSize - gImageCacheBufSize;

    memcpy(szImageCacheBuf + gImageCacheBufSize, src, chunk);
    gImageCacheBufSize += chunk;
    src                += chunk;
    len                -= chunk;

    putCharArray(szImageCacheBuf, gImageCacheBufSize);
  }

  if (len)
  {
    memcpy(szImageCacheBuf + gImageCacheBufSize, src, len);
    gImageCacheBufSize += len;
  }
}


//
// 'putCharArray()' - Write the whole 512-byte blocks of the staged bytes and carry the rest.
//

void
putCharArray(unsigned char *array,	// I - Staged bytes, always szImageCacheBuf
             unsigned int  length)	// I - Number of staged bytes
{
  unsigned int	blocks = length / kOutputBlockSize * kOutputBlockSize,
					// Bytes in whole blocks
		total = length - blocks;// Bytes carried to the next write


  // One call for all the whole blocks: stdio passes them on in multiples
  // of its own buffer, which is a multiple of the block size.
  if (blocks && fwrite(array, 1, blocks, stdout) != blocks)
  {
    // The reader is gone or the disk is full: drop the job's remaining
    // bytes rather than keep writing into the error.
    gWriteError        = 1;
    gImageCacheBufSize = 0;
    return;
  }

  if (gJobFinishFlag == 1)
  {
    if (total && fwrite(array + blocks, 1, total, stdout) != total)
      gWriteError = 1;

    // Flush even without a remainder: a write that fails inside stdio's
    // buffer only shows up here, and the spooler must hear about it.
    if (fflush(stdout))
      gWriteError = 1;
  }
  else
  {
    // The carry moves to the front; what lies beyond it is never read.
    memmove(szImageCacheBuf, array + blocks, total);
    gImageCacheBufSize = total;
  }
}
