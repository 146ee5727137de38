#!/bin/sh
# Sets up a Debian 12 machine, builds the driver twice (plain, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in
# both builds; tests the Debian packages and runs PAPPL's own test suite;
# runs the printer application's tests under ThreadSanitizer; then the unit
# tests and the encoder fuzzer on the portable encoder that arm64, ppc64el
# and s390x servers run.
set -e
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh

# The PAPPL patch series round-trips through its git form unchanged.
sh scripts/pappl-patches.sh check

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSEL_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure
# PAPPL's own test suite on the patched PAPPL.
cmake --build build --target testpappl

# The Debian packages: built, checked, installed, upgraded and purged
# (root only; the machine is left as it was).
BUILD=build sh tests/packages.sh
# IPP conformance of the printer application, with ipptool's test files.
BUILD=build sh tests/ipp_conformance.sh

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_SANITIZE=ON -DTAMSEL_WERROR=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --output-on-failure
BUILD=build-asan sh tests/ipp_conformance.sh

# The printer application's threads, PAPPL's included, under
# ThreadSanitizer: a report that printer-app/sanitizer_defaults.cpp does not
# suppress fails the run.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_SANITIZE=thread -DTAMSEL_WERROR=ON
cmake --build build-tsan -j "$jobs" --target printer_app_tests tamsel-printer-app rastertotamsel \
  tcp-capture tamsel-ppd
rm -rf build-tsan/reports
mkdir build-tsan/reports
TSAN_OPTIONS="log_path=$(pwd)/build-tsan/reports/tsan" \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure -R '^PrinterApp\.'
if ls build-tsan/reports/tsan.* >/dev/null 2>&1; then
  cat build-tsan/reports/tsan.*
  echo "ThreadSanitizer reported the races above" >&2
  exit 1
fi

cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_SANITIZE=ON -DTAMSEL_SIMD=OFF \
  -DTAMSEL_WERROR=ON
cmake --build build-portable -j "$jobs" --target unit_tests
build-portable/tests/unit_tests

# A bounded fuzz run of every target: a minute each in CI, less by hand.
if [ "${CI:-}" = true ]; then
  sh scripts/fuzz.sh "${TAMSEL_FUZZ_SECONDS:-60}"
else
  sh scripts/fuzz.sh "${TAMSEL_FUZZ_SECONDS:-10}"
fi
TAMSEL_FUZZ_BUILD=build-fuzz-portable TAMSEL_FUZZ_TARGETS=encoder TAMSEL_SIMD=OFF \
  sh scripts/fuzz.sh 15
