// The encoder as arm64, ppc64el and s390x servers build it, linked beside
// this machine's so that the fuzzer can compare the two byte for byte.
#define TAMSEL_PORTABLE 1
#define CompressDataAndSend CompressDataAndSendPortable
#define SelectLineEncoder SelectLineEncoderPortable
#define gEncoderAvx2 gEncoderAvx2Portable
#include "output/encoder.cpp"
