#!/bin/sh
# install-deps.sh [--sample] [--list]
#
# Installs what building and testing the driver needs on Debian 12 or 13;
# with --sample only what building it and printing the sample needs.  With
# --list prints the packages instead.  Runs apt only when something is
# missing; needs root (or sudo) then.
set -e

SAMPLE="cmake g++ make pkg-config libcups2-dev libcupsimage2-dev libpng-dev cups cups-client
cups-filters cups-ppdc ghostscript"
PACKAGES="$SAMPLE libgtest-dev libbenchmark-dev poppler-utils clang libclang-rt-dev
libavahi-client-dev libgnutls28-dev libjpeg-dev libpam0g-dev libusb-1.0-0-dev zlib1g-dev patch
cups-ipp-utils curl procps build-essential debhelper dpkg-dev lintian systemd git chromium"

list=$PACKAGES print=""
for arg; do
  case $arg in
    --sample) list=$SAMPLE ;;
    --list) print=yes ;;
    *) echo "usage: install-deps.sh [--sample] [--list]" >&2; exit 2 ;;
  esac
done
[ -n "$print" ] && { echo $list; exit 0; }

missing=""
for p in $list; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
else
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends $missing
