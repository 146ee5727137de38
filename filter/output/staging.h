//
// Output staging for the Tamsel printer stream.
//
// Every byte the filter sends goes through ImageDataCpy() into a 5,120-byte
// buffer that leaves on standard output in whole 512-byte blocks; only
// the job's final write may be shorter.
//

#ifndef TAMSEL_OUTPUT_STAGING_H
#define TAMSEL_OUTPUT_STAGING_H

enum
{
  kImageCacheBufSize = 5120,		// Staging buffer size
  kOutputBlockSize   = 512		// Every write before the final flush
};

extern unsigned char	szImageCacheBuf[kImageCacheBufSize];
extern unsigned int	gImageCacheBufSize;
extern volatile int	gJobFinishFlag;
extern int		gWriteError;	// Set when a write to stdout fails

extern void	ImageDataCpy(const unsigned char *src, unsigned int len);
extern void	putCharArray(unsigned char *array, unsigned int length);

#endif // !TAMSEL_OUTPUT_STAGING_H
