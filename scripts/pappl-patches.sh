#!/bin/sh
# pappl-patches.sh unpack DIR | export DIR | check
#
# The printer application's PAPPL is the tarball in third_party/pappl/ plus
# the series in third_party/pappl/patches/, applied in order.  To change
# the series, work on it as git history:
#
#   unpack DIR   the tarball in a new git work tree DIR, tagged "upstream",
#                with one commit per patch on top (branch "series");
#   export DIR   the commits of DIR since "upstream" written back as the
#                series (the old patch files are replaced);
#   check        unpack and export into temporary directories: the series
#                must come back byte for byte.
#
# So a patch is changed with "git rebase -i upstream" in DIR, rebuilt and
# tested there, and exported; the commit message is the patch's header
# (description, Forwarded:, Test:).  The build itself never uses git.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
series=$top/third_party/pappl/patches

# One tarball, whatever its version.
set -- "$@" ""
cmd=$1 dir=${2:-}
tarball=$(ls "$top"/third_party/pappl/pappl*.tar.gz)
[ "$(echo "$tarball" | wc -l)" -eq 1 ] || { echo "pappl-patches: one tarball expected" >&2; exit 1; }

# The user's git configuration must not change what is written.
git_clean() {
  d=$1
  shift
  GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null git -C "$d" \
    -c user.name=rastertotamsel -c user.email=tamsel@localhost "$@"
}

unpack() {
  [ ! -e "$1" ] || { echo "pappl-patches: $1 exists" >&2; exit 1; }
  mkdir -p "$1"
  tar -xzf "$tarball" -C "$1" --strip-components=1
  git_clean "$1" init -q -b series
  git_clean "$1" add -A
  git_clean "$1" commit -q -m "$(basename "$tarball") as released"
  git_clean "$1" tag upstream
  for p in "$series"/*.patch; do
    git_clean "$1" am -q --committer-date-is-author-date "$p" ||
      { echo "pappl-patches: $(basename "$p") does not apply" >&2; exit 1; }
  done
}

export_series() {
  out=$2
  rm -f "$out"/*.patch
  git_clean "$1" format-patch -q --zero-commit --no-signature --no-numbered --abbrev=7 \
    -o "$out" upstream..HEAD
}

case $cmd in
  unpack)
    [ -n "$dir" ] || { echo "usage: pappl-patches.sh unpack DIR" >&2; exit 2; }
    unpack "$dir"
    echo "pappl-patches: $dir: $(git_clean "$dir" rev-list --count upstream..HEAD) patches on $(basename "$tarball")"
    ;;
  export)
    [ -n "$dir" ] || { echo "usage: pappl-patches.sh export DIR" >&2; exit 2; }
    dir=$(cd "$dir" && pwd)
    export_series "$dir" "$series"
    echo "pappl-patches: wrote $(ls "$series"/*.patch | wc -l) patches to third_party/pappl/patches"
    ;;
  check)
    tmp=$(mktemp -d /tmp/pappl-patches.XXXXXX)
    trap 'rm -rf "$tmp"' EXIT
    unpack "$tmp/tree"
    mkdir "$tmp/out"
    export_series "$tmp/tree" "$tmp/out"
    diff -r "$series" "$tmp/out" >&2 ||
      { echo "pappl-patches: the series does not come back as it is" >&2; exit 1; }
    echo "pappl-patches: $(ls "$series"/*.patch | wc -l) patches round-trip"
    ;;
  *)
    echo "usage: pappl-patches.sh unpack DIR | export DIR | check" >&2
    exit 2
    ;;
esac
