#!/bin/sh
# cups-serverbin.sh DIR FILTER
#
# Builds in DIR a CUPS server-bin tree that CUPS programs accept through
# CUPS_SERVERBIN: symlinks to everything of the system's, and a filter/
# directory with the system's filters plus a copy of FILTER.  CUPS refuses
# filters that others may write, so the tree is 0755 throughout.
set -e

dir=$1
filter=$2
serverbin=$(pkg-config --variable=cups_serverbin cups 2>/dev/null || true)
[ -n "$serverbin" ] || serverbin=$(cups-config --serverbin)

mkdir -p "$dir/filter"
chmod 0755 "$dir" "$dir/filter"
for entry in "$serverbin"/*; do
  name=$(basename "$entry")
  [ "$name" = filter ] || ln -sf "$entry" "$dir/$name"
done
for entry in "$serverbin"/filter/*; do
  ln -sf "$entry" "$dir/filter/"
done
rm -f "$dir/filter/rastertotamsel"
install -m 0755 "$filter" "$dir/filter/rastertotamsel"
