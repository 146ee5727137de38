#!/bin/sh
# fuzz.sh [SECONDS]
#
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for SECONDS (default 60) on a corpus seeded with real rasters
# (all sync words) and real printer streams.  Findings are written to
# build-fuzz/findings/; copy a crashing input into tests/regressions/ (as
# .ras for the filter, .prn for the decoder) so the tests replay it.
#
# Long runs: sh scripts/fuzz.sh 3600  (corpora persist in build-fuzz/corpus/)
# TAMSEL_FUZZ_TARGETS picks targets, TAMSEL_SIMD=OFF fuzzes the portable
# encoder (in TAMSEL_FUZZ_BUILD, default build-fuzz).
set -e
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${TAMSEL_FUZZ_BUILD:-build-fuzz}
targets=${TAMSEL_FUZZ_TARGETS:-encoder decoder filter}

if ! command -v clang++ >/dev/null || ! ls -d /usr/lib/llvm-*/lib/clang >/dev/null 2>&1; then
  echo "fuzz.sh: needs clang and libclang-rt-dev" >&2
  exit 1
fi

# The seeds come from the regular build's tools.
[ -x build/tests/make-raster ] || {
  cmake -S . -B build >/dev/null && cmake --build build -j "$(nproc)" >/dev/null
}

CC=clang CXX=clang++ cmake -S . -B "$out" -DTAMSEL_FUZZ=ON -DBUILD_TESTING=OFF \
  -DTAMSEL_SIMD="${TAMSEL_SIMD:-ON}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j "$(nproc)" >/dev/null

corpus=$out/corpus
mkdir -p $corpus/filter $corpus/decoder $corpus/encoder $out/findings
for kind in v1 v2 v3 pwg; do
  build/tests/make-raster seed-$kind $corpus/filter/seed-$kind.ras
  PPD=build/ppd/tamsel.ppd build/filter/rastertotamsel 1 user seed 1 "" \
    $corpus/filter/seed-$kind.ras > $corpus/decoder/seed-$kind.prn || true
done
cp tests/regressions/*.ras $corpus/filter/ 2>/dev/null || true
cp tests/regressions/*.prn $corpus/decoder/ 2>/dev/null || true
printf '\377\377\377\000\000\000\001\002\003\003\003\003\004' > $corpus/encoder/seed

# libcups sizes a compressed stream's line buffer from the header before
# the filter can check it; let such an allocation fail as it would on a
# small print server instead of stopping the run.
export ASAN_OPTIONS=allocator_may_return_null=1

status=0
for target in $targets; do
  case $target in
    encoder) max_len=8192 ;;   # lines staged whole (to 4,571 bytes) and flushed as they are staged
    *)       max_len=65536 ;;
  esac
  echo "== ${target}_fuzzer, ${seconds}s"
  if ! $out/fuzz/${target}_fuzzer -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=8192 \
      -max_len=$max_len -print_final_stats=1 -artifact_prefix=$out/findings/${target}- \
      $corpus/$target 2> $out/${target}.log; then
    tail -40 $out/${target}.log
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" $out/${target}.log || true
done
exit $status
