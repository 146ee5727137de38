#!/bin/sh
# IPP conformance of tamsel-printer-app: ipptool's ipp-1.1, ipp-2.0 and
# ipp-everywhere test files against a running server, with the documents
# they print generated here.  Prints pass/fail/skip counts per file and
# fails when a test fails that is not listed in tests/ipp_known_failures.txt
# (each with the reason it is beyond the app's reach).
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(cd "${BUILD:-build}" && pwd)
app=$build/printer-app/tamsel-printer-app

skip() { echo "ipp conformance: skipped: $*"; exit 0; }
[ -x "$app" ] || skip "the printer application is not built"
command -v ipptool >/dev/null || skip "ipptool is missing (cups-ipp-utils)"
command -v gs >/dev/null || skip "ghostscript is missing"

work=$(mktemp -d /tmp/tamsel-ipp.XXXXXX)
chmod 755 "$work"
app_pid=""
capture_pid=""
cleanup() {
  status=$?
  [ -n "$app_pid" ] && { env SNAP_COMMON="$work/state" "$app" shutdown >/dev/null 2>&1; kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; }
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
  [ -n "${KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
  exit $status
}
trap cleanup EXIT INT TERM

# The test files, and beside them the documents they print.
cp /usr/share/cups/ipptool/*.test "$work/"
cd "$work"
doc() {  # doc NAME PAPER-POINTS-W PAPER-POINTS-H PAGES
  printf '%%!PS\n<< /PageSize [%s %s] >> setpagedevice\n1 1 %s { /n exch def /Helvetica 24 selectfont 72 %s 100 sub moveto (Page ) show n 3 string cvs show\n 72 72 %s 144 sub 200 rectstroke showpage } for\n' \
    "$2" "$3" "$4" "$3" "$2" >"$1.ps"
}
doc document-a4 595 842 3
doc document-letter 612 792 3
doc onepage-a4 595 842 1
doc onepage-letter 612 792 1
doc photo 288 432 1
for d in document-a4 document-letter onepage-a4 onepage-letter; do
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=$d.pdf $d.ps
done
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeg -r150 -sOutputFile=color.jpg photo.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r150 -sOutputFile=gray.jpg photo.ps
# Other resolutions and raster types only need to exist: the tests that
# print them are skipped for a 600-dpi black-1 printer.
for f in $(grep -ho 'pwg-raster-samples-[^ ]*\.pwg' ipp-everywhere.test | sort -u); do
  mkdir -p "$(dirname "$f")"
  : >"$f"
done
for d in document-a4 document-letter onepage-a4 onepage-letter color.jpg-4x6 gray.jpg-4x6; do
  case $d in *4x6) ps=photo.ps ;; *) ps=$d.ps ;; esac
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=1 \
    -sOutputFile=pwg-raster-samples-600dpi/black-1/$d-black-1-600dpi.pwg "$ps" 2>/dev/null
done

# A server with one printer on a stand-in for the printer's port.
mkdir state capture
"$build/tests/tcp-capture" capture >/dev/null 2>&1 & capture_pid=$!
for i in $(seq 50); do [ -e capture/port ] && break; sleep 0.1; done
port=$(( 30000 + $$ % 20000 ))
export SNAP_COMMON="$work/state"
"$app" server -o server-port=$port -o log-file="$work/log" -o log-level=info >app.err 2>&1 &
app_pid=$!
for i in $(seq 50); do "$app" printers >/dev/null 2>&1 && break; sleep 0.2; done
"$app" add -d tamsel -v "socket://127.0.0.1:$(cat capture/port)" -m tamsel >/dev/null
uri=ipp://localhost:$port/ipp/print/tamsel

for t in ipp-1.1 ipp-2.0 ipp-everywhere; do
  ipptool -I -T 30 -t -f document-a4.pdf "$uri" $t.test >$t.out 2>&1 || true
  echo "ipp conformance: $t.test: $(grep -c '\[PASS\]' $t.out) pass, $(grep -c '\[FAIL\]' $t.out || true) fail, $(grep -c '\[SKIP\]' $t.out || true) skip"
  # Every failed expectation must be a known one; a test that fails
  # without one (a wrong status, a lost connection) is never known.
  awk -v t=$t 'NR == FNR { if ($0 !~ /^#/ && NF) known[$1] = 1; next }
    /\[(PASS|SKIP|FAIL)\]$/ { if (name != "" && !seen) print t ": " name ": failed"; name = ""
                              if (/\[FAIL\]$/) { name = $0; sub(/^ +/, "", name); sub(/ +\[FAIL\]$/, "", name); seen = 0 } next }
    name != "" && /EXPECTED: / { a = $2; sub(/^\?/, "", a); seen = 1; if (!(a in known)) print t ": " name ": " $0 }
    END { if (name != "" && !seen) print t ": " name ": failed" }' \
    "$src/tests/ipp_known_failures.txt" $t.out >>unexpected
done
if [ -s unexpected ]; then
  sed 's/^/ipp conformance: unexpected: /' unexpected
  exit 1
fi

# What the test files do not check: the printer's id, the document size
# limits, and no claim of a certification nobody made.
attrs=$(ipptool -tv "$uri" get-printer-attributes.test)
echo "$attrs" | grep -q "printer-id (integer) = 1$" || { echo "ipp conformance: printer-id is not 1"; exit 1; }
echo "$attrs" | grep -q "pdf-k-octets-supported (rangeOfInteger) = 0-0" && { echo "ipp conformance: pdf-k-octets-supported is 0-0"; exit 1; }
echo "$attrs" | grep -q "mopria-certified" && { echo "ipp conformance: mopria-certified is claimed"; exit 1; }
# A sanitizer build reports what it found on standard error.
if grep -q "Sanitizer\|runtime error" app.err; then
  cat app.err
  echo "ipp conformance: the server reported memory or undefined-behaviour errors"
  exit 1
fi
echo "ipp conformance: passed"
