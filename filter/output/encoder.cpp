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

#include <stdint.h>
#include <string.h>

// TAMSEL_PORTABLE builds the plain C++ path that arm64, ppc64el and s390x
// servers run, so that x86-64 builds can test it too.
#if defined(__SSE2__) && !defined(TAMSEL_PORTABLE)
#  define TAMSEL_SSE2 1
#  include <emmintrin.h>
#endif
// Debian builds for baseline x86-64; AVX2 is used where the CPU has it,
// chosen once per job (SelectLineEncoder()).
#if defined(TAMSEL_SSE2) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#  define TAMSEL_AVX2 1
#  include <immintrin.h>
#endif


//
// Globals...
//

int	gEncoderAvx2 = 0;			// Encode with AVX2?


//
// 'complementEnds()' - Complement n bytes as two words, from each end (sizeof(T) <= n <= 2 * sizeof(T)).
//

template <typename T>
static inline void
complementEnds(unsigned char       *dst,	// I - Destination
               const unsigned char *src,	// I - Source
               unsigned int        n)		// I - Bytes
{
  T a, b;

  memcpy(&a, src, sizeof(T));
  memcpy(&b, src + n - sizeof(T), sizeof(T));
  a = (T)~a;
  b = (T)~b;
  memcpy(dst, &a, sizeof(T));
  memcpy(dst + n - sizeof(T), &b, sizeof(T));
}


//
// 'complementCopy()' - Copy n bytes (1 to 128), complemented.
//
// Literals are mostly a few bytes long, so short copies are done as two
// overlapping word moves rather than a byte loop; nothing outside the n
// bytes is read or written.
//

static inline void
complementCopy(unsigned char       *dst,	// I - Destination
               const unsigned char *src,	// I - Source
               unsigned int        n)		// I - Bytes, 1 to 128
{
#ifdef TAMSEL_SSE2
  if (n >= 16)
  {
    const __m128i	ones = _mm_set1_epi8((char)0xFF);
    unsigned int	i;

    for (i = 0; i + 16 <= n; i += 16)
      _mm_storeu_si128((__m128i *)(dst + i),
                       _mm_xor_si128(_mm_loadu_si128((const __m128i *)(src + i)), ones));
    if (i < n)
      _mm_storeu_si128((__m128i *)(dst + n - 16),
                       _mm_xor_si128(_mm_loadu_si128((const __m128i *)(src + n - 16)), ones));
    return;
  }
#endif // TAMSEL_SSE2

  if (n > 16)
  {
    unsigned int i;

    for (i = 0; i + 8 <= n; i += 8)
      complementEnds<uint64_t>(dst + i, src + i, 8);
    if (i < n)
      complementEnds<uint64_t>(dst + n - 8, src + n - 8, 8);
    return;
  }

  if (n >= 8)
    complementEnds<uint64_t>(dst, src, n);
  else if (n >= 4)
    complementEnds<uint32_t>(dst, src, n);
  else
  {
    for (unsigned int i = 0; i < n; i ++)
      dst[i] = (unsigned char)~src[i];
  }
}


//
// 'putLiterals()' - Write lit line bytes from *litpos as literal records of at most 128.
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
    complementCopy(ppos, src, count);

    ppos += count;
    src  += count;
    lit  -= count;
  }

  *litpos = src;
  return (ppos);
}


//
// 'putRepeats()' - Write a finished run of pack bytes as repeats of at most 128.
//
// A rest of 1 or 2 bytes is not written: it stays pending and opens the
// next literal.  Returns the number of bytes left pending.
//

static inline unsigned int		// O - Bytes of the run left pending
putRepeats(unsigned char **ppos,	// IO - Next free output byte
           unsigned char last,		// I - Byte of the run
           unsigned int  pack)		// I - Length of the run, 3 or more
{
  unsigned char *out = *ppos;

  while (pack >= 128)
  {
    *out++ = 0x81;
    *out++ = (unsigned char)~last;
    pack  -= 128;
  }

  if (pack >= 3)
  {
    *out++ = (unsigned char)(1 - pack);
    *out++ = (unsigned char)~last;
    pack   = 0;
  }

  *ppos = out;
  return (pack);
}


//
// 'findRun()' - Find the first byte at or after pos that starts three equal bytes.
//
// This is where a run reaches its third byte, the moment the pending bytes
// before it become literals.  Sixteen positions are tested at a time.
//

static inline const unsigned char *	// O - Start of the run, or upper
findRun(const unsigned char *pos,	// I - First byte to test
        const unsigned char *upper)	// I - End of the line
{
#ifdef TAMSEL_SSE2
  while (upper - pos >= 18)
  {
    __m128i a = _mm_loadu_si128((const __m128i *)pos),
	    b = _mm_loadu_si128((const __m128i *)(pos + 1)),
	    c = _mm_loadu_si128((const __m128i *)(pos + 2));
    int	    mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, b),
                                                   _mm_cmpeq_epi8(b, c)));

    if (mask)
      return (pos + __builtin_ctz((unsigned)mask));

    pos += 16;
  }
#endif // TAMSEL_SSE2

  for (; upper - pos >= 3; pos ++)
    if (pos[0] == pos[1] && pos[1] == pos[2])
      return (pos);

  return (upper);
}


//
// 'findRunEnd()' - Find the first byte after pos that differs from *pos.
//

static inline const unsigned char *	// O - End of the run, or upper
findRunEnd(const unsigned char *pos,	// I - First byte of the run
           const unsigned char *upper)	// I - End of the line
{
  unsigned char last = *pos;

#ifdef TAMSEL_SSE2
  __m128i want = _mm_set1_epi8((char)last);

  while (upper - pos >= 16)
  {
    int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)pos), want));

    if (mask != 0xFFFF)
      return (pos + __builtin_ctz(~(unsigned)mask));

    pos += 16;
  }
#endif // TAMSEL_SSE2

  while (pos < upper && *pos == last)
    pos ++;

  return (pos);
}


#ifdef TAMSEL_SSE2
//
// 'windowMasks()' - Bit i: bytes i and i + 1 are equal (*same), and so are i + 2 (*runs).
//
// For the 64 bytes from pos; reads 66.
//

static inline void
windowMasks(const unsigned char *pos,	// I - First byte of the window
            uint64_t            *same,	// O - Equal to the next byte
            uint64_t            *runs)	// O - Starts three equal bytes
{
  uint64_t s = 0, r = 0;

  for (int k = 0; k < 64; k += 16)
  {
    __m128i a  = _mm_loadu_si128((const __m128i *)(pos + k)),
	    b  = _mm_loadu_si128((const __m128i *)(pos + k + 1)),
	    c  = _mm_loadu_si128((const __m128i *)(pos + k + 2)),
	    ab = _mm_cmpeq_epi8(a, b);

    s |= (uint64_t)(unsigned)_mm_movemask_epi8(ab) << k;
    r |= (uint64_t)(unsigned)_mm_movemask_epi8(_mm_and_si128(ab, _mm_cmpeq_epi8(b, c))) << k;
  }

  *same = s;
  *runs = r;
}
#endif // TAMSEL_SSE2


#ifdef TAMSEL_AVX2
//
// 'windowMasksAvx2()' - windowMasks() 32 bytes at a time.
//

__attribute__((target("avx2")))
static inline void
windowMasksAvx2(const unsigned char *pos,	// I - First byte of the window
                uint64_t            *same,	// O - Equal to the next byte
                uint64_t            *runs)	// O - Starts three equal bytes
{
  uint64_t s = 0, r = 0;

  for (int k = 0; k < 64; k += 32)
  {
    __m256i a  = _mm256_loadu_si256((const __m256i *)(pos + k)),
	    b  = _mm256_loadu_si256((const __m256i *)(pos + k + 1)),
	    c  = _mm256_loadu_si256((const __m256i *)(pos + k + 2)),
	    ab = _mm256_cmpeq_epi8(a, b);

    s |= (uint64_t)(uint32_t)_mm256_movemask_epi8(ab) << k;
    r |= (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_and_si256(ab, _mm256_cmpeq_epi8(b, c))) << k;
  }

  *same = s;
  *runs = r;
}
#endif // TAMSEL_AVX2


//
// 'encodeLine()' - Encode the payload of a line of 1 or more bytes, but for its end marker.
//
// One forward pass: the bytes from litpos on are pending until a run of
// three or more equal bytes turns up; then they go out as literals and the
// run as repeats.
//

template <bool kAvx2>
static inline unsigned char *		// O - Next free payload byte
encodeLine(unsigned char       *ppos,	// I - First free payload byte
           const unsigned char *dataLine,// I - First byte of the line
           unsigned int        length)	// I - Bytes in the line, 1 or more
{
  const unsigned char	*litpos = dataLine,	// First byte not yet encoded
			*pos = dataLine,	// Next byte to examine
			*upper = dataLine + length;

#ifdef TAMSEL_SSE2
  // The same pass, 64 bytes at a time: the masks of the window give
  // every place a run starts (what findRun() looks for) and where each
  // run ends (findRunEnd()), so the records of a window are found with
  // bit operations and its bytes are compared once.
  while (upper - pos >= 66)
  {
    uint64_t	same, runs;

#ifdef TAMSEL_AVX2
    if constexpr (kAvx2)
      windowMasksAvx2(pos, &same, &runs);
    else
#endif // TAMSEL_AVX2
    windowMasks(pos, &same, &runs);

    while (runs)
    {
      unsigned int	start = (unsigned int)__builtin_ctzll(runs);
      uint64_t	ends  = ~same >> start;	// Bit j: the run's last byte is start + j
      const unsigned char *run = pos + start,
			*runEnd;

      ppos = putLiterals(ppos, &litpos, (unsigned int)(run - litpos));

      if (!ends)
      {
        // Equal through byte 64: the run goes on past the window.
        runEnd = findRunEnd(pos + 64, upper);
        litpos = runEnd - putRepeats(&ppos, *run, (unsigned int)(runEnd - run));
        pos    = runEnd;
        goto nextWindow;
      }

      unsigned int next = start + (unsigned int)__builtin_ctzll(ends) + 1;

      runEnd = pos + next;
      litpos = runEnd - putRepeats(&ppos, *run, next - start);
      runs   = next < 64 ? runs & (~(uint64_t)0 << next) : 0;
    }

    // No run starts in the rest of the window: its bytes stay pending.
    pos += 64;

    nextWindow:;
  }
#endif // TAMSEL_SSE2

  while (pos < upper)
  {
    const unsigned char *run = findRun(pos, upper),
			  *runEnd;

    ppos = putLiterals(ppos, &litpos, (unsigned int)(run - litpos));
    if (run == upper)
      break;

    runEnd = findRunEnd(run, upper);
    litpos = runEnd - putRepeats(&ppos, *run, (unsigned int)(runEnd - run));
    pos    = runEnd;
  }

  return (putLiterals(ppos, &litpos, (unsigned int)(upper - litpos)));
}


#ifdef TAMSEL_AVX2
//
// 'encodeLineAvx2()' - encodeLine() compiled for AVX2, everything it calls inlined.
//

__attribute__((target("avx2"), flatten))
static unsigned char *			// O - Next free payload byte
encodeLineAvx2(unsigned char       *ppos,	// I - First free payload byte
               const unsigned char *dataLine,// I - First byte of the line
               unsigned int        length)	// I - Bytes in the line, 1 or more
{
  return (encodeLine<true>(ppos, dataLine, length));
}


//
// 'SelectLineEncoder()' - Choose the line encoder for this CPU, once per job.
//

void
SelectLineEncoder(void)
{
  __builtin_cpu_init();
  gEncoderAvx2 = __builtin_cpu_supports("avx2");
}
#else
void
SelectLineEncoder(void)
{
}
#endif // TAMSEL_AVX2


//
// 'CompressDataAndSend()' - Encode one raster line and stage its line record.
//

void
CompressDataAndSend(unsigned char *dataLine,	// I - First byte of the line
                    unsigned int  length,	// I - Bytes in the line
                    unsigned int  type)		// I - Encoding type, always 3
{
  unsigned char		*record,		// Header of the line record
			*payload,		// First payload byte
			*ppos,			// Next free payload byte
			toData[kLineRecordHeaderLen];
  unsigned int		datLen;
  // Worst case: every byte a literal, a count per 128, and the end marker.
  unsigned int		worst = kLineRecordHeaderLen + length + (length + 127) / 128 + 2;
  // A record that cannot reach the end of the staging buffer is encoded in
  // place there, saving a copy; any other goes through ImageDataCpy(),
  // which flushes as it fills.
  int			inPlace = !gWriteError && worst < kImageCacheBufSize - gImageCacheBufSize;


  (void)type;

  record = inPlace ? szImageCacheBuf + gImageCacheBufSize : toData;
  ppos   = payload = inPlace ? record + kLineRecordHeaderLen : szCompressBuf;

  // An empty line is just the end marker.
  if (length > 0)
  {
#ifdef TAMSEL_AVX2
    if (gEncoderAvx2)
      ppos = encodeLineAvx2(ppos, dataLine, length);
    else
#endif // TAMSEL_AVX2
    ppos = encodeLine<false>(ppos, dataLine, length);
  }

  *ppos++ = 0xFF;
  *ppos++ = 0x00;

  datLen = (unsigned int)(ppos - payload);

  // Byte by byte, low byte first: the same stream on big-endian servers.
  record[0] = 0x1B;
  record[1] = '*';
  record[2] = 'A';
  record[3] = 0x02;
  record[4] = (unsigned char)(datLen & 0xFF);
  record[5] = (unsigned char)((datLen >> 8) & 0xFF);

  if (inPlace)
    gImageCacheBufSize += kLineRecordHeaderLen + datLen;
  else
  {
    ImageDataCpy(toData, kLineRecordHeaderLen);
    ImageDataCpy(szCompressBuf, datLen);
  }
}
