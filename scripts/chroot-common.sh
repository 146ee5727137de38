# Sourced by the chroot scripts, with $root set to the chroot: mounts the
# file systems a build and apt need (chroot_mount), undoes them
# (chroot_umount), copies the source tree in (chroot_copy_sources DIR) and
# runs a command in a directory of it (in_chroot_dir DIR COMMAND).
mounts=""

# Listed innermost last; chroot_umount unmounts in the reverse order.
mount_in() {
  mount "$@"
  eval "m=\${$#}"
  mounts="${m#"$root"} $mounts"
}

chroot_mount() {
  mount_in -t proc proc "$root/proc"
  mount_in -t sysfs sys "$root/sys"
  if [ "${1:-}" = --own-dev ]; then
    # Device nodes of the chroot's own (mmdebstrap makes them): nothing of
    # the host's /dev is reachable, so the tree can be deleted safely.
    mount_in -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  else
    mount_in --rbind /dev "$root/dev"
    mount --make-rslave "$root/dev"
  fi
  mount_in -t tmpfs tmpfs "$root/run"
  mount_in -t tmpfs tmpfs "$root/tmp"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
}

chroot_umount() {
  for m in $mounts; do umount -R "$root$m" 2>/dev/null || umount -l "$root$m"; done
  mounts=""
}

# The tracked and new files of the work tree (or, outside git, the tree
# without its builds).
chroot_copy_sources() {
  rm -rf "${root:?}$1"
  mkdir -p "$root$1"
  if git rev-parse --git-dir >/dev/null 2>&1; then
    git ls-files -co --exclude-standard -z | xargs -0 tar -cf -
  else
    tar -cf - --exclude='./build*' --exclude=./out .
  fi | tar -xf - -C "$root$1"
}

in_chroot_dir() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive CI="${CI:-}" TAMSEL_RELEASE="$release" \
    sh -euc "cd $1 && $2" </dev/null
}
