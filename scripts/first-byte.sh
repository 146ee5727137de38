#!/bin/sh
# first-byte.sh [PAGES]
#
# How soon a PDF job starts printing through tamsel-printer-app: submits
# an A4 PDF of PAGES pages (default 50) to a server of its own whose
# printer is a capture listener on loopback.  Prints the time from
# submission to the first byte, to the first page data and to the end of
# the job at the printer, next to the time Ghostscript alone takes to
# render the first page.
set -e
cd "$(dirname "$0")/.."
pages=${1:-50}
b=build

cmake -S . -B $b >/dev/null
cmake --build $b -j "$(nproc)" >/dev/null

dir=$(mktemp -d)
trap 'kill $server $capture 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkdir "$dir/state" "$dir/spool" "$dir/capture"
now() { date +%s.%N; }

printf '%%!PS\n1 1 %s { pop 0 1 400 { dup 72 add 72 moveto 0 600 rlineto stroke } for\n' "$pages" > "$dir/doc.ps"
printf '/Helvetica 24 selectfont 72 760 moveto (Page) show showpage } for\n' >> "$dir/doc.ps"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 -sOutputFile="$dir/doc.pdf" "$dir/doc.ps"

start=$(now)
gs -q -dNOPAUSE -dBATCH -dSAFER -dLastPage=1 -sDEVICE=cups -dcupsColorSpace=0 -dcupsBitsPerColor=1 \
  -r600 -sOutputFile=/dev/null "$dir/doc.pdf"
gs_first=$(awk "BEGIN { print $(now) - $start }")

export SNAP_COMMON="$dir/state" TAMSEL_FILTER=$b/filter/rastertotamsel TAMSEL_PPD=$b/ppd/tamsel.ppd
app=$b/printer-app/tamsel-printer-app
$b/tests/tcp-capture "$dir/capture" & capture=$!
$app server -o server-port=0 -o spool-directory="$dir/spool" -o log-file="$dir/log" & server=$!
while ! $app printers >/dev/null 2>&1 || [ ! -f "$dir/capture/port" ]; do sleep 0.1; done
$app add -d bench -v "socket://127.0.0.1:$(cat "$dir/capture/port")" -m tamsel >/dev/null

start=$(now)
$app submit -d bench "$dir/doc.pdf" >/dev/null
while [ ! -s "$dir/capture/conn-1.part" ] && [ ! -s "$dir/capture/conn-1.prn" ]; do sleep 0.01; done
first=$(awk "BEGIN { print $(now) - $start }")
size() { cat "$dir"/capture/conn-1.* 2>/dev/null | wc -c; }
while [ "$(size)" -lt 65536 ]; do sleep 0.01; done
first_page=$(awk "BEGIN { print $(now) - $start }")
while [ ! -f "$dir/capture/conn-1.prn" ]; do sleep 0.05; done
done_at=$(awk "BEGIN { print $(now) - $start }")

printf 'PDF of %s A4 pages\n' "$pages"
printf '  Ghostscript alone, first page rendered:  %6.2f s\n' "$gs_first"
printf '  first byte at the printer:               %6.2f s\n' "$first"
printf '  first 64 KB (page data) at the printer:  %6.2f s\n' "$first_page"
printf '  whole job at the printer:                %6.2f s\n' "$done_at"
$app shutdown >/dev/null 2>&1 || true
