#!/bin/sh
# test-in-chroot.sh RELEASE
#
# Builds and tests the driver in a Debian chroot made from the archive, as
# a new user of that release would: trixie (Debian 13) runs the whole test
# suite, plain and with the sanitizers, builds, checks, installs, upgrades
# and purges the packages, runs their as-installed tests, and builds the
# Release build type too;
# forky (testing) builds and runs the filter's tests, as an early warning
# of what the next CUPS and compiler change.
#
# Needs root and mmdebstrap.  The chroot is kept in
# ${TAMSEL_CHROOT_DIR:-/var/cache/tamsel-chroot}/RELEASE and reused by the
# next run; remove it to start from scratch.  The sources are copied in.
set -eu
cd "$(dirname "$0")/.."
release=${1:?usage: test-in-chroot.sh trixie|forky}
root=${TAMSEL_CHROOT_DIR:-/var/cache/tamsel-chroot}/$release
mirror=${TAMSEL_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "test-in-chroot: needs root" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "test-in-chroot: needs mmdebstrap" >&2; exit 1; }

aptopts=""
# The archive's testing suite may carry a Release file past its
# Valid-Until date; accept that for testing only.
[ "$release" = forky ] && aptopts='Acquire::Check-Valid-Until "false";'

t0=$(date +%s)
since() { echo $(( $(date +%s) - $1 ))s; }

if [ ! -e "$root/.tamsel-ready" ]; then
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  mmdebstrap --mode=root --variant=apt ${aptopts:+--aptopt="$aptopts"} \
    --include="$(sh scripts/install-deps.sh --list | tr ' ' ,),autopkgtest,sudo" \
    "$release" "$root" "$mirror"
  touch "$root/.tamsel-ready"
  echo "test-in-chroot: $release made in $(since "$t0")"
fi

. scripts/chroot-common.sh
cleanup() {
  status=$?
  set +e
  chroot_umount
  [ $status -eq 0 ] && echo "test-in-chroot: $release passed in $(since "$t0")" ||
    echo "test-in-chroot: $release FAILED"
  exit $status
}
trap cleanup EXIT INT TERM

chroot_mount
rm -rf "$root/build"
chroot_copy_sources /build/src
in_chroot() { in_chroot_dir /build/src "$1"; }

in_chroot 'sh scripts/install-deps.sh'
jobs=$(nproc 2>/dev/null || echo 2)
case $release in
  forky)
    in_chroot "cmake -S . -B build -DTAMSEL_WERROR=ON >/dev/null && cmake --build build -j $jobs &&
      ctest --test-dir build -j $jobs --output-on-failure -E 'PrinterApp|App'"
    ;;
  *)
    in_chroot "cmake -S . -B build -DTAMSEL_WERROR=ON >/dev/null && cmake --build build -j $jobs &&
      ctest --test-dir build -j $jobs --output-on-failure &&
      TAMSEL_KEEP_DEBS=/build/debs BUILD=build sh tests/packages.sh"
    # Debian's as-installed tests of the packages, on this chroot itself.
    in_chroot "s=0; autopkgtest /build/debs/*.deb /build/src -- null || s=\$?
      apt-get purge -y -q printer-driver-tamsel tamsel-printer-app tamsel-tools >/dev/null; exit \$s"
    echo "test-in-chroot: $release plain build, tests and packages in $(since "$t0")"
    in_chroot "cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_SANITIZE=ON \
      -DTAMSEL_WERROR=ON >/dev/null && cmake --build build-asan -j $jobs &&
      ctest --test-dir build-asan -j $jobs --output-on-failure"
    # GCC 14 warns at other optimisation levels than the tests build with.
    in_chroot "cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTAMSEL_WERROR=ON >/dev/null &&
      cmake --build build-release -j $jobs"
    ;;
esac
