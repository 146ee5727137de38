#!/bin/sh
# bench.sh [RUNS]
#
# Whole-filter benchmark: A4 600-dpi jobs of 20 pages (text-like, dithered
# grey, blank; uncompressed and compressed raster; and the sample page as
# Ghostscript renders it) through rastertotamsel,
# against a floor program that only reads every line with libcups, run
# alternately RUNS times (default 5).  Prints median CPU seconds, the ratio
# filter/floor, pages per second and peak RSS, and CUPS's sample rastertohp
# on the same uncompressed rasters as a peer figure.  Then the per-line
# micro-benchmarks.
set -e
cd "$(dirname "$0")/.."
runs=${1:-5}
pages=20
b=build-bench

cmake -S . -B $b -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build $b -j "$(nproc)" >/dev/null

jobs=$b/jobs
mkdir -p $jobs
for kind in text dithered blank; do
  for mode in plain compressed; do
    f=$jobs/$kind-$mode.ras
    [ -f "$f" ] || $b/bench/make-bench-job $kind $pages $f $mode
  done
done
[ -f $jobs/text-1page.ras ] || $b/bench/make-bench-job text 1 $jobs/text-1page.ras

# A real document as well: the sample page, rendered by Ghostscript as the
# CUPS chain would render it, 20 times.
kinds="text dithered blank"
if command -v gs >/dev/null; then
  if [ ! -f $jobs/sample-plain.ras ]; then
    set --
    i=0
    while [ $i -lt $pages ]; do set -- "$@" samples/sample.ps; i=$((i + 1)); done
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=cups -dcupsColorSpace=0 -dcupsBitsPerColor=1 \
      -r600 -sOutputFile=$jobs/sample-plain.ras "$@"
  fi
  kinds="$kinds sample"
fi

# The peer: CUPS's sample HP driver with a PPD for the same page.
hp=$(cups-config --serverbin)/filter/rastertohp
if [ -x "$hp" ] && command -v ppdc >/dev/null; then
  cat > $b/peer.drv <<'DRV'
#include <font.defs>
#include <media.defs>
Font *
Manufacturer "Peer"
Version 1.0
DriverType hp
ManualCopies yes
ColorDevice no
Filter application/vnd.cups-raster 50 rastertohp
ColorModel Gray/Grayscale k chunky 0
Resolution - 1 0 0 0 "600dpi/600 DPI"
*MediaSize A4
{ ModelName "Peer Laser" PCFileName "peer.ppd" }
DRV
  ppdc -d $b $b/peer.drv
else
  hp=""
fi

report=$(mktemp)
trap 'rm -f "$report"' EXIT

# run PPD PROGRAM ARGS... < input: prints "cpu-seconds wall-seconds peak-rss-KiB"
run() {
  ppd=$1
  shift
  start=$(date +%s.%N)
  PPD=$ppd $b/tests/peak-rss "$report" "$@" > /dev/null
  end=$(date +%s.%N)
  read status signal rss user sys < "$report"
  [ "$status" = 0 ] || { echo "bench.sh: $* failed ($status $signal)" >&2; exit 1; }
  echo "$user $sys $start $end $rss" | awk '{ printf "%.4f %.4f %d\n", $1 + $2, $4 - $3, $5 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

filter="$PWD/$b/filter/rastertotamsel"
floor="$PWD/$b/bench/read-floor"
ppd="$PWD/$b/ppd/tamsel.ppd"
: > $b/table.txt
printf '%-20s %9s %9s %7s %9s %9s %9s\n' job filter-s floor-s ratio pages/s rss-KiB rastertohp-s
for kind in $kinds; do
  for mode in plain compressed; do
    f=$jobs/$kind-$mode.ras
    [ -f "$f" ] || continue
    : > $b/f.txt; : > $b/g.txt; : > $b/w.txt; : > $b/r.txt; : > $b/h.txt
    i=0
    while [ $i -lt "$runs" ]; do
      run "$ppd" "$filter" 1 user bench 1 "" "$f" > $b/one.txt
      read cpu wall rss < $b/one.txt
      echo "$cpu" >> $b/f.txt; echo "$wall" >> $b/w.txt; echo "$rss" >> $b/r.txt
      run "$ppd" "$floor" "$f" | awk '{ print $1 }' >> $b/g.txt
      if [ -n "$hp" ] && [ $mode = plain ]; then
        run "$PWD/$b/peer.ppd" "$hp" 1 user bench 1 "" "$f" 2>/dev/null | awk '{ print $1 }' >> $b/h.txt
      fi
      i=$((i + 1))
    done
    fcpu=$(median < $b/f.txt); gcpu=$(median < $b/g.txt); wall=$(median < $b/w.txt)
    rss=$(sort -n $b/r.txt | tail -1)
    hcpu=$( [ -s $b/h.txt ] && median < $b/h.txt || echo -)
    echo "$kind-$mode $fcpu $gcpu $wall $rss $hcpu $pages" | tee -a $b/table.txt |
      awk '{ printf "%-20s %9.3f %9.3f %7.2f %9.1f %9d %9s\n", $1, $2, $3, ($3 > 0 ? $2 / $3 : 0), $7 / $4, $5, $6 }'
  done
done

# The chart: CPU milliseconds per page on uncompressed raster, the filter
# beside the floor and rastertohp, one group of bars per page type.
chart=${BENCH_CHART:-$b/bench.svg}
awk -v machine="$(nproc)-core $(uname -m), $(date +%Y-%m-%d)" '
  $1 ~ /-plain$/ { n++; name[n] = $1; sub(/-plain$/, "", name[n])
                   v[n, 1] = $2 * 1000 / $7; v[n, 2] = $3 * 1000 / $7; v[n, 3] = ($6 == "-" ? -1 : $6 * 1000 / $7)
                   for (k = 1; k <= 3; k++) if (v[n, k] > top) top = v[n, k] }
  END {
    split("filter,floor (reading only),rastertohp", label, ","); split("#2f6fb0,#9db7d5,#c8733a", color, ",")
    w = 120 + n * 150; h = 320; scale = 220 / (top > 0 ? top : 1)
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n", w, h
    printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
    printf "<text x=\"10\" y=\"18\" font-size=\"14\">CPU ms per A4 page, 600 dpi (%s)</text>\n", machine
    for (i = 1; i <= n; i++) {
      for (k = 1; k <= 3; k++) {
        if (v[i, k] < 0) continue
        x = 60 + (i - 1) * 150 + (k - 1) * 36; bh = v[i, k] * scale
        printf "<rect x=\"%d\" y=\"%.1f\" width=\"32\" height=\"%.1f\" fill=\"%s\"/>\n", x, 270 - bh, bh, color[k]
        printf "<text x=\"%d\" y=\"%.1f\" font-size=\"10\" text-anchor=\"middle\">%.2f</text>\n", x + 16, 266 - bh, v[i, k]
      }
      printf "<text x=\"%d\" y=\"288\" text-anchor=\"middle\">%s</text>\n", 60 + (i - 1) * 150 + 52, name[i]
    }
    printf "<line x1=\"50\" y1=\"270\" x2=\"%d\" y2=\"270\" stroke=\"black\"/>\n", w - 20
    for (k = 1; k <= 3; k++)
      printf "<rect x=\"%d\" y=\"300\" width=\"12\" height=\"12\" fill=\"%s\"/><text x=\"%d\" y=\"311\">%s</text>\n", 60 + (k - 1) * 150, color[k], 76 + (k - 1) * 150, label[k]
    print "</svg>"
  }' $b/table.txt > "$chart"
echo "chart: $chart"

one=$(run "$ppd" "$filter" 1 user bench 1 "" $jobs/text-1page.ras | awk '{ print $3 }')
many=$(run "$ppd" "$filter" 1 user bench 1 "" $jobs/text-plain.ras | awk '{ print $3 }')
echo "peak RSS: 1 page ${one} KiB, $pages pages ${many} KiB"

echo
$b/bench/line_bench --benchmark_min_time=0.2
