#!/bin/sh
# bench.sh [RUNS]
#
# Whole-filter benchmark: A4 600-dpi jobs of 20 pages (text-like, dithered
# grey, blank; uncompressed and compressed raster; and the sample page as
# Ghostscript renders it) through rastertotamsel, against two floors that
# only read every line with libcups: served by the filter's own 64 KB reads
# (the floor the filter is held to), and line by line (what a classic
# filter pays).  CUPS's sample rastertohp runs on the same uncompressed
# rasters as a peer.  All run interleaved RUNS times (default 11); the
# table has the minimum CPU seconds of each, the ratios filter/block floor
# and rastertohp/filter, pages per second and peak RSS.  Then the per-line
# micro-benchmarks.
set -e
cd "$(dirname "$0")/.."
runs=${1:-11}
pages=20
b=build-bench

cmake -S . -B $b -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
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
  PPD=$ppd $b/bench/peak-rss "$report" "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  read status signal rss user sys < "$report"
  [ "$status" = 0 ] || { echo "bench.sh: $* failed ($status $signal)" >&2; exit 1; }
  echo "$user $sys $start $end $rss" | awk '{ printf "%.4f %.4f %d\n", $1 + $2, $4 - $3, $5 }'
}

minimum() { sort -n | head -1; }

filter="$PWD/$b/filter/rastertotamsel"
floor="$PWD/$b/bench/read-floor"
ppd="$PWD/$b/ppd/tamsel.ppd"
: > $b/table.txt
printf '%-20s %8s %8s %6s %8s %8s %6s %8s %8s\n' job filter-s block-s ratio line-s hp-s hp/flt pages/s rss-KiB
for kind in $kinds; do
  for mode in plain compressed; do
    f=$jobs/$kind-$mode.ras
    [ -f "$f" ] || continue
    : > $b/f.txt; : > $b/g.txt; : > $b/l.txt; : > $b/w.txt; : > $b/r.txt; : > $b/h.txt
    i=0
    while [ $i -lt "$runs" ]; do
      run "$ppd" "$filter" 1 user bench 1 "" "$f" > $b/one.txt
      read cpu wall rss < $b/one.txt
      echo "$cpu" >> $b/f.txt; echo "$wall" >> $b/w.txt; echo "$rss" >> $b/r.txt
      run "$ppd" "$floor" --blocks "$f" | awk '{ print $1 }' >> $b/g.txt
      run "$ppd" "$floor" "$f" | awk '{ print $1 }' >> $b/l.txt
      if [ -n "$hp" ] && [ $mode = plain ]; then
         run "$PWD/$b/peer.ppd" "$hp" 1 user bench 1 "" "$f" | awk '{ print $1 }' >> $b/h.txt
      fi
      i=$((i + 1))
    done
    fcpu=$(minimum < $b/f.txt); gcpu=$(minimum < $b/g.txt); lcpu=$(minimum < $b/l.txt)
    wall=$(minimum < $b/w.txt)
    rss=$(sort -n $b/r.txt | tail -1)
    hcpu=$( [ -s $b/h.txt ] && minimum < $b/h.txt || echo -)
    echo "$kind-$mode $fcpu $gcpu $wall $rss $hcpu $pages $lcpu" | tee -a $b/table.txt |
      awk '{ printf "%-20s %8.3f %8.3f %6.2f %8.3f %8s %6s %8.1f %8d\n", $1, $2, $3,
             ($3 > 0 ? $2 / $3 : 0), $8, $6, ($6 == "-" || $2 == 0 ? "-" : sprintf("%.1f", $6 / $2)),
             $7 / $4, $5 }'
  done
done

# The chart: CPU milliseconds per page on uncompressed raster, the filter
# beside both floors and rastertohp, one group of bars per page type.
chart=${BENCH_CHART:-$b/bench.svg}
awk -v machine="$(nproc)-core $(uname -m), $(date +%Y-%m-%d)" '
  $1 ~ /-plain$/ { n++; name[n] = $1; sub(/-plain$/, "", name[n])
                   v[n, 1] = $2 * 1000 / $7; v[n, 2] = $3 * 1000 / $7; v[n, 3] = $8 * 1000 / $7
                   v[n, 4] = ($6 == "-" ? -1 : $6 * 1000 / $7)
                   for (k = 1; k <= 4; k++) if (v[n, k] > top) top = v[n, k] }
  END {
    split("filter,floor: 64 KB reads,floor: a read per line,rastertohp", label, ",")
    split("#2f6fb0,#9db7d5,#b9b9b9,#c8733a", color, ",")
    w = 140 + n * 180; if (w < 760) w = 760; h = 320; scale = 220 / (top > 0 ? top : 1)
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n", w, h
    printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
    printf "<text x=\"10\" y=\"18\" font-size=\"14\">CPU ms per A4 page, 600 dpi (%s)</text>\n", machine
    for (i = 1; i <= n; i++) {
      for (k = 1; k <= 4; k++) {
        if (v[i, k] < 0) continue
        x = 60 + (i - 1) * 180 + (k - 1) * 36; bh = v[i, k] * scale
        printf "<rect x=\"%d\" y=\"%.1f\" width=\"32\" height=\"%.1f\" fill=\"%s\"/>\n", x, 270 - bh, bh, color[k]
        printf "<text x=\"%d\" y=\"%.1f\" font-size=\"10\" text-anchor=\"middle\">%.2f</text>\n", x + 16, 266 - bh, v[i, k]
      }
      printf "<text x=\"%d\" y=\"288\" text-anchor=\"middle\">%s</text>\n", 60 + (i - 1) * 180 + 70, name[i]
    }
    printf "<line x1=\"50\" y1=\"270\" x2=\"%d\" y2=\"270\" stroke=\"black\"/>\n", w - 20
    for (k = 1; k <= 4; k++)
      printf "<rect x=\"%d\" y=\"300\" width=\"12\" height=\"12\" fill=\"%s\"/><text x=\"%d\" y=\"311\">%s</text>\n", 20 + (k - 1) * 180, color[k], 36 + (k - 1) * 180, label[k]
    print "</svg>"
  }' $b/table.txt > "$chart"
echo "chart: $chart"

one=$(run "$ppd" "$filter" 1 user bench 1 "" $jobs/text-1page.ras | awk '{ print $3 }')
many=$(run "$ppd" "$filter" 1 user bench 1 "" $jobs/text-plain.ras | awk '{ print $3 }')
echo "peak RSS: 1 page ${one} KiB, $pages pages ${many} KiB"

echo
$b/bench/line_bench --benchmark_min_time=0.2
