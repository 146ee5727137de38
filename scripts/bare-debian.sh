#!/bin/sh
# bare-debian.sh RELEASE
#
# The README's first commands on a bare Debian (bookworm or trixie): a
# minbase system made from the archive, unpacked afresh for every run so
# that nothing an earlier run installed can hide a missing package.  As
# root there, with services kept from starting (no systemd):
#   - sh scripts/sample.sh: the summary reports one page and the page image
#     is written;
#   - the README's package build and install; the installed filter and PPD
#     then print the sample through cupsfilter.
#
# Needs root and mmdebstrap.  The minbase tarball is kept in
# ${TAMSEL_CHROOT_DIR:-/var/cache/tamsel-chroot}/RELEASE-minbase.tar.
set -eu
cd "$(dirname "$0")/.."
release=${1:?usage: bare-debian.sh bookworm|trixie}
cache=${TAMSEL_CHROOT_DIR:-/var/cache/tamsel-chroot}
base=$cache/$release-minbase.tar
mirror=${TAMSEL_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "bare-debian: needs root" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "bare-debian: needs mmdebstrap" >&2; exit 1; }

t0=$(date +%s)
since() { echo $(( $(date +%s) - $1 ))s; }
fail() { echo "bare-debian: $release: $*" >&2; exit 1; }

# The commands are the README's own; a change there must reach this check.
sample='sh scripts/sample.sh'
build='apt-get build-dep -y ./ && dpkg-buildpackage -us -uc -b'
install='apt-get install -y ../printer-driver-tamsel_1.0.0_*.deb ../tamsel-tools_1.0.0_*.deb ../tamsel-printer-app_1.0.0_*.deb'
for c in "$sample" "$build" "$install"; do
  grep -qxF "    $c" README.md || fail "README.md no longer says: $c"
done

if [ ! -s "$base" ]; then
  mkdir -p "$cache"
  mmdebstrap --mode=root --variant=minbase "$release" "$cache/$release-new.tar" "$mirror"
  mv "$cache/$release-new.tar" "$base"
fi

root=$(mktemp -d "/var/tmp/tamsel-bare-$release.XXXXXX")
. scripts/chroot-common.sh
cleanup() {
  status=$?
  set +e
  chroot_umount
  # Only with nothing mounted below it: never delete through a mount.
  if grep -q " $root/" /proc/self/mounts; then
    echo "bare-debian: $root left in place: still mounted" >&2
  else
    rm -rf "$root"
  fi
  [ $status -eq 0 ] && echo "bare-debian: $release passed in $(since "$t0")" ||
    echo "bare-debian: $release FAILED"
  exit $status
}
trap cleanup EXIT INT TERM

tar -xf "$base" -C "$root"
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
chroot_mount --own-dev
chroot_copy_sources /root/tamsel
in_chroot() { in_chroot_dir /root/tamsel "$1"; }

in_chroot "$sample" > "$root/sample.log" 2>&1 || { tail -30 "$root/sample.log"; fail "$sample failed"; }
grep -qx 'Pages: *1' "$root/sample.log" || { cat "$root/sample.log"; fail "the sample is not one page"; }
[ -s "$root/root/tamsel/out/sample-1.png" ] || fail "no out/sample-1.png"
echo "bare-debian: $release: sample printed in $(since "$t0")"

in_chroot "$build" > "$root/build.log" 2>&1 || { tail -40 "$root/build.log"; fail "package build failed"; }
in_chroot "$install" > "$root/install.log" 2>&1 || { tail -30 "$root/install.log"; fail "install failed"; }
# The installed filter and PPD, as a queue would run them.
in_chroot "cupsfilter -e -p /usr/share/ppd/tamsel/tamsel.ppd -m printer/tamsel out/sample.pdf \
    > installed.prn 2>/dev/null && tamsel-decode installed.prn" > "$root/installed.log" 2>&1 ||
  { cat "$root/installed.log"; fail "the installed driver did not print the sample"; }
grep -qx 'Pages: *1' "$root/installed.log" || { cat "$root/installed.log"; fail "installed: not one page"; }
echo "bare-debian: $release: packages built and installed in $(since "$t0")"
