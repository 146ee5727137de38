//
// Run-length encoding of raster lines into Tamsel line records.
//
// Type 3 is PackBits with three twists: every data byte is complemented
// (the printer wants a set bit to mean toner), runs shorter than three stay
// inside literals, and "FF 00" closes every line.
//

#include "encoder.h"
#include "commands.h"
#include "staging.h"


//
// 'putLiterals()' - Write lit line bytes from *litpos as literal records.
//

static inline unsigned char *		// O - Next free output byte
putLiterals(unsigned char       *ppos,	// I - Next free output byte
            const unsigned char **litpos,
					// IO - First byte not yet encoded
            unsigned int        lit)	// I - Bytes to write
{
  const unsigned char *src = *litpos;

  while (lit > 0)
  {
    unsigned int count = lit > 128 ? 128 : lit;

    *ppos++ = (unsigned char)(count - 1);
    for (unsigned int i = 0; i < count; i ++)
      ppos[i] = (unsigned char)~src[i];

    ppos += count;
    src  += count;
    lit  -= count;
  }

  *litpos = src;
  return (ppos);
}


//
// 'putRepeats()' - Write a finished run of pack bytes; a rest of 1 or 2 stays pending.
//

static inline unsigned char *		// O - Next free output byte
putRepeats(unsigned char       *ppos,	// I - Next free output byte
           const unsigned char **litpos,// IO - First byte not yet encoded
           unsigned char       last,	// I - Byte of the run
           unsigned int        pack)	// I - Length of the run
{
  while (pack >= 128)
  {
    *ppos++ = 0x81;
    *ppos++ = (unsigned char)~last;
    *litpos += 128;
    pack    -= 128;
  }

  if (pack >= 3)
  {
    *ppos++ = (unsigned char)(1 - pack);
    *ppos++ = (unsigned char)~last;
    *litpos += pack;
  }

  return (ppos);
}


//
// 'CompressDataAndSend()' - Encode one raster line and stage its line record.
//

void
CompressDataAndSend(unsigned char *dataLine,	// I - First byte of the line
                    unsigned int  length,	// I - Bytes in the line
                    unsigned int  type)		// I - Encoding type, always 3
{
  unsigned char		*ppos = szCompressBuf;	// Next free payload byte
  unsigned char		toData[kLineRecordHeaderLen];
  unsigned int		datLen;
  unsigned char		lenlo, lenhi;


  (void)type;

  // An empty line is just the end marker; never look at dataLine[0].
  if (length > 0)
  {
    const unsigned char	*litpos = dataLine,	// First byte not yet encoded
			*pos = dataLine + 1,	// Next byte to examine
			*upper = dataLine + length;
    unsigned char	last = dataLine[0];	// Byte of the current run
    unsigned int	pack = 1;		// Length of the current run

    while (pos < upper)
    {
      unsigned char c = *pos++;

      if (c == last)
      {
        // The third equal byte makes a repeat: what came before it can now
        // go out as literals.
        if (++pack == 3)
          ppos = putLiterals(ppos, &litpos, (unsigned int)(pos - litpos - 3));
      }
      else
      {
        ppos = putRepeats(ppos, &litpos, last, pack);
        pack = 1;
        last = c;
      }
    }

    if (pack >= 3)
      ppos = putRepeats(ppos, &litpos, last, pack);

    ppos = putLiterals(ppos, &litpos, (unsigned int)(pos - litpos));
  }

  *ppos++ = 0xFF;
  *ppos++ = 0x00;

  datLen = (unsigned int)(ppos - szCompressBuf);
  lenlo  = (unsigned char)(datLen & 0xFF);
  lenhi  = (unsigned char)((datLen >> 8) & 0xFF);

  toData[0] = 0x1B;
  toData[1] = '*';
  toData[2] = 'A';
  toData[3] = 0x02;
  toData[4] = lenlo;
  toData[5] = lenhi;

  ImageDataCpy(toData, kLineRecordHeaderLen);
  ImageDataCpy(szCompressBuf, datLen);
}
