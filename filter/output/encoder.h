//
// Run-length encoding of raster lines into Tamsel line records.
//

#ifndef TAMSEL_OUTPUT_ENCODER_H
#define TAMSEL_OUTPUT_ENCODER_H

enum
{
  kLineRecordHeaderLen = 6,
  kMaxEncodedLine      = 65024		// Longest line whose worst-case payload
					// (n + ceil(n/128) + 2) fits the 16-bit
					// length field
};

extern int	gEncoderAvx2;		// Encode with AVX2 (set by SelectLineEncoder())

extern void	SelectLineEncoder(void);
extern void	CompressDataAndSend(unsigned char *dataLine, unsigned int length,
		                    unsigned int type);

#endif // !TAMSEL_OUTPUT_ENCODER_H
