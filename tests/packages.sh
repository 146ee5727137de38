#!/bin/sh
# The Debian packages, as an administrator meets them: build, lintian,
# install, print through the system's CUPS, upgrade (the queue's PPD is
# refreshed, the printer application keeps its state), remove and purge.
# Changes the machine (packages, a queue, cupsd, a system user) and puts it
# back as it was, also on failure.  Needs root and dpkg-buildpackage;
# BUILD is the tree with tcp-capture (default build); TAMSEL_KEEP_DEBS, if
# set, is a directory that keeps the packages built.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(cd "${BUILD:-build}" && pwd)

skip() { echo "packages: skipped: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v dpkg-buildpackage >/dev/null || skip "dpkg-buildpackage is missing (dpkg-dev)"
for p in printer-driver-tamsel tamsel-printer-app tamsel-tools; do
  dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q "installed" &&
    skip "$p is installed on this machine; not touching it"
done

work=$(mktemp -d /tmp/tamsel-packages.XXXXXX)
queue=tamsel-package-test
started_cupsd=""
had_user=""
id tamsel-printer-app >/dev/null 2>&1 && had_user=yes
capture_pid=""
app_pid=""

purge() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q printer-driver-tamsel tamsel-printer-app \
    tamsel-tools >/dev/null 2>&1
}
cleanup() {
  status=$?
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  for q in "$queue" "$queue-ipp" "$queue-raw"; do lpadmin -h /run/cups/cups.sock -x "$q" 2>/dev/null; done
  [ -n "$started_cupsd" ] && kill "$(cat "$work/cupsd.pid")" 2>/dev/null
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
  purge
  [ -z "$had_user" ] && id tamsel-printer-app >/dev/null 2>&1 && userdel tamsel-printer-app &&
    { getent group tamsel-printer-app >/dev/null && groupdel tamsel-printer-app; }
  rm -rf "$work" /run/tamsel-printer-app
  sed -i '/ tamsel$/d' /var/cache/cups/ppd-updates 2>/dev/null
  [ $status -eq 0 ] && echo "packages: passed" || echo "packages: FAILED"
  exit $status
}
trap cleanup EXIT INT TERM

fail() { echo "packages: $*" >&2; exit 1; }
since() { echo $(( $(date +%s) - $1 ))s; }

# Builds the packages from a copy of the sources into $work/$1, after the
# command $2, with DEB_BUILD_OPTIONS $3.
build_packages() {
  mkdir -p "$work/$1/src"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$src" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf -)
  else
    (cd "$src" && tar -cf - --exclude='./build*' --exclude=./out .)
  fi | tar -xf - -C "$work/$1/src"
  (cd "$work/$1/src" && eval "${2:-true}" &&
    DEB_BUILD_OPTIONS="${3:-}" dpkg-buildpackage -us -uc -b >"$work/$1/build.log" 2>&1) ||
    { tail -40 "$work/$1/build.log"; fail "dpkg-buildpackage failed ($1)"; }
}

t0=$(date +%s)
build_packages v1
echo "packages: built in $(since "$t0"):"
ls -l "$work"/v1/*.deb | awk '{print "  " $5 " bytes  " $9}' | sed "s|$work/v1/||"
lintian --fail-on error,warning "$work"/v1/*.changes ||
  fail "lintian reports errors or warnings"
if [ -n "${TAMSEL_KEEP_DEBS:-}" ]; then
  mkdir -p "$TAMSEL_KEEP_DEBS" && cp "$work"/v1/*.deb "$TAMSEL_KEEP_DEBS"/
fi

# The same tree, one version later: a newer PPD, and no tests (nocheck).
t1=$(date +%s)
build_packages v2 "sed -i 's/^Version 1.0\$/Version 1.0.1/' ppd/tamsel.drv &&
  { printf 'tamsel (1.0.0+1) bookworm; urgency=medium\n\n  * Test upgrade.\n\n -- Test <test@tamsel.example.org>  %s\n\n' \"\$(date -R)\"; cat debian/changelog; } > c &&
  mv c debian/changelog" nocheck
echo "packages: upgrade built in $(since "$t1")"

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$work"/v1/printer-driver-tamsel_*.deb \
  "$work"/v1/tamsel-printer-app_*.deb "$work"/v1/tamsel-tools_*.deb >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "install failed"; }
dpkg -L printer-driver-tamsel tamsel-printer-app tamsel-tools >"$work/files"

# The unit: valid, and a user of its own.
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$(grep '/tamsel-printer-app\.service$' "$work/files")" ||
    fail "systemd-analyze verify reports problems"
fi
id tamsel-printer-app | grep -q "(lp)" || fail "no tamsel-printer-app user in group lp"

# The system's cupsd, started here if it is not running.
if ! lpstat -h /run/cups/cups.sock -r 2>/dev/null | grep -qv not; then
  cupsd -f & echo $! >"$work/cupsd.pid"
  started_cupsd=yes
  for i in $(seq 50); do lpstat -h /run/cups/cups.sock -r 2>/dev/null | grep -qv not && break; sleep 0.2; done
fi
model=$(lpinfo -h /run/cups/cups.sock -m | awk '/Tamsel Laser/ {print $1; exit}')
[ "$model" = lsb/usr/tamsel/tamsel.ppd ] || fail "lpinfo -m does not list the Tamsel model (got '$model')"

mkdir "$work/capture"
"$build/tests/tcp-capture" "$work/capture" & capture_pid=$!
for i in $(seq 50); do [ -e "$work/capture/port" ] && break; sleep 0.1; done
lpadmin -h /run/cups/cups.sock -p "$queue" -E \
  -v "socket://127.0.0.1:$(cat "$work/capture/port")/?snmp=false" -m "$model"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/sample.pdf" samples/sample.ps

# print_and_check CONN QUEUE WHAT LP-OPTIONS [EXPECTED-LINE...]: prints the
# sample to QUEUE and checks that connection CONN brought one valid page
# whose decoded summary has every EXPECTED-LINE ("Density: 2").
print_and_check() {
  conn=$work/capture/conn-$1.prn what=$3
  job=$(lp -h /run/cups/cups.sock -d "$2" $4 "$work/sample.pdf" | sed -n 's/.*-\([0-9]*\) .*/\1/p')
  shift 4
  for i in $(seq 300); do [ -e "$conn" ] && break; sleep 0.1; done
  tamsel-decode "$conn" >"$work/decoded" 2>&1 || fail "no valid printer stream ($what)"
  for line in "Pages: 1" "$@"; do
    grep -q "^${line%%:*}: *${line#*: }$" "$work/decoded" ||
      fail "expected $line ($what): $(cat "$work/decoded")"
  done
}
print_and_check 1 "$queue" installed "-n 2 -o PrintDensity=2 -o media=A5" "Density: 2" \
  "Paper size: 3512 x 4958 dots (148.7 x 209.9 mm)" "Copies: 2"
# CUPS counts what the filter reports: one page, two copies.
for i in $(seq 100); do
  ipptool -tv "ipp://localhost/jobs/$job" /usr/share/cups/ipptool/get-job-attributes.test \
    >"$work/job-attrs" 2>&1
  grep -q "job-state (enum) = completed" "$work/job-attrs" && break; sleep 0.1
done
grep -q "job-media-sheets-completed (integer) = 2$" "$work/job-attrs" ||
  fail "CUPS did not count the job's 2 sheets: $(grep -e -completed -e job-state "$work/job-attrs")"
grep -q '^\*FileVersion: "1.0"' "/etc/cups/ppd/$queue.ppd" || fail "unexpected queue PPD"

# The printer application as its unit runs it: its user, its directories,
# its environment and command, and the port its settings file gives (the
# one the README documents).
mkdir -p /run/tamsel-printer-app /var/lib/tamsel-printer-app
touch "$work/app.log"
chmod 711 "$work"
chown tamsel-printer-app: /run/tamsel-printer-app /var/lib/tamsel-printer-app "$work/app.log"
unit=$(grep '/tamsel-printer-app\.service$' "$work/files")
app_env=$(sed -n 's/^Environment=//p' "$unit" | tr '\n' ' ')
app_cmd=$(sed -n 's/^ExecStart=//p' "$unit")
app_port=$(sed -n 's/^server-port=//p' /etc/tamsel-printer-app.conf)
[ "$app_port" = 8631 ] || fail "the service's settings do not give port 8631"
start_app() {
  # shellcheck disable=SC2086
  setpriv --reuid=tamsel-printer-app --regid=tamsel-printer-app --init-groups \
    env -i PATH=/usr/bin:/bin $app_env $app_cmd 2>>"$work/app.log" & app_pid=$!
  for i in $(seq 50); do
    curl -sf -o /dev/null "http://localhost:$app_port/" && tamsel-printer-app printers >/dev/null 2>&1 &&
      return
    sleep 0.2
  done
  cat "$work/app.log"
  fail "the printer application did not start as its unit starts it, on port $app_port"
}
stop_app() {
  tamsel-printer-app shutdown >/dev/null; wait "$app_pid"; app_pid=""
}
start_app
tamsel-printer-app add -d kept -v "socket://127.0.0.1:$(cat "$work/capture/port")" -m tamsel ||
  fail "root cannot add a printer to the service"

# A driverless CUPS queue on it: the job's quality and paper reach the
# printer (draft is a density level lighter than the default 3).
lpadmin -h /run/cups/cups.sock -p "$queue-ipp" -E -v "ipp://localhost:$app_port/ipp/print/kept" \
  -m everywhere || fail "CUPS cannot make a driverless queue for the printer application"
print_and_check 2 "$queue-ipp" "the driverless queue" "-o print-quality=3 -o MediaType=Cardstock" \
  "Density: 2" "Paper weight: 3"
# A raw queue passes the job's options as they are: exact darkness.
lpadmin -h /run/cups/cups.sock -p "$queue-raw" -E -v "ipp://localhost:$app_port/ipp/print/kept" \
  -m raw 2>/dev/null
print_and_check 3 "$queue-raw" "the raw queue" "-o print-darkness=-50 -o media-type=cardstock" \
  "Density: 1" "Paper weight: 3"
lpadmin -h /run/cups/cups.sock -x "$queue-ipp"
lpadmin -h /run/cups/cups.sock -x "$queue-raw"
stop_app

# An administrator's settings survive the upgrade.
echo '#listen-hostname=kept.example.org' >>/etc/tamsel-printer-app.conf
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$work"/v2/printer-driver-tamsel_*.deb \
  "$work"/v2/tamsel-printer-app_*.deb "$work"/v2/tamsel-tools_*.deb >"$work/upgrade.log" 2>&1 ||
  { cat "$work/upgrade.log"; fail "upgrade failed"; }
grep -q '^\*FileVersion: "1.0.1"' "/etc/cups/ppd/$queue.ppd" ||
  fail "the queue's PPD was not refreshed on upgrade: $(grep -h Updating "$work/upgrade.log")"
grep -q '^#listen-hostname=kept.example.org$' /etc/tamsel-printer-app.conf ||
  fail "the upgrade replaced the administrator's /etc/tamsel-printer-app.conf"
print_and_check 4 "$queue" upgraded ""
start_app
tamsel-printer-app printers | grep -q "^kept" || fail "the printer application lost its printer on upgrade"
stop_app

# Remove keeps the application's state; purge takes it and every file.
lpadmin -h /run/cups/cups.sock -x "$queue"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tamsel-printer-app >/dev/null 2>&1
[ -d /var/lib/tamsel-printer-app ] || fail "remove took the printer application's state"
purge
[ ! -e /var/lib/tamsel-printer-app ] || fail "purge left /var/lib/tamsel-printer-app"
while read -r f; do
  [ -d "$f" ] || [ ! -e "$f" ] || fail "purge left $f"
done <"$work/files"
echo "packages: all steps in $(since "$t0")"
