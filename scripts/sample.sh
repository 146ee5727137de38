#!/bin/sh
# Sets up a Debian 12 or 13 machine, builds the driver, and prints the bundled
# sample page through the real CUPS filter chain (pdftopdf, gstoraster,
# rastertotamsel) into out/sample.prn.  Then decodes the printer stream,
# prints its summary and writes out/sample-1.png, the page as the printer
# would image it.
set -e
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh --sample

# Its own tree without tests, so that the sample needs no test tools.
cmake -S . -B build-sample -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-sample -j "$(nproc 2>/dev/null || echo 2)" --target rastertotamsel tamsel-decode tamsel-ppd >/dev/null

mkdir -p out
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=out/sample.pdf samples/sample.ps

serverbin=$(mktemp -d /tmp/tamsel-serverbin-XXXXXX)
trap 'rm -rf "$serverbin"' EXIT
sh scripts/cups-serverbin.sh "$serverbin" build-sample/filter/rastertotamsel

# -e: use the PPD's filters; without it cupsfilter quietly makes PostScript.
CUPS_SERVERBIN=$serverbin cupsfilter -e -p build-sample/ppd/tamsel.ppd -m printer/tamsel \
  -o PrintDensity=4 out/sample.pdf > out/sample.prn 2> out/cupsfilter.log ||
  { cat out/cupsfilter.log; exit 1; }

build-sample/tools/tamsel-decode --png out/sample out/sample.prn
echo "Wrote out/sample.prn and out/sample-1.png"
