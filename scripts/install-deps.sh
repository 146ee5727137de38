#!/bin/sh
# Installs what building and testing the driver needs on Debian 12.
# Runs apt only when something is missing; needs root (or sudo) then.
set -e

PACKAGES="cmake g++ make pkg-config libcups2-dev libcupsimage2-dev libgtest-dev
libbenchmark-dev libpng-dev cups cups-client cups-filters cups-ppdc
ghostscript poppler-utils clang libclang-rt-14-dev libavahi-client-dev libgnutls28-dev libjpeg-dev libpam0g-dev
libusb-1.0-0-dev zlib1g-dev patch cups-ipp-utils curl procps
debhelper dpkg-dev lintian systemd git chromium"

missing=""
for p in $PACKAGES; do
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
