#!/bin/sh
# Sets up a Debian 12 machine, builds the driver twice (plain, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in
# both builds; tests the Debian packages; then the unit tests and the
# encoder fuzzer on the portable encoder that arm64, ppc64el and s390x
# servers run.
set -e
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh

# The PAPPL patch series round-trips through its git form unchanged.
sh scripts/pappl-patches.sh check

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSEL_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

# The Debian packages: built, checked, installed, upgraded and purged
# (root only; the machine is left as it was).
BUILD=build sh tests/packages.sh
# IPP conformance of the printer application, with ipptool's test files.
BUILD=build sh tests/ipp_conformance.sh

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_SANITIZE=ON -DTAMSEL_WERROR=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --output-on-failure
BUILD=build-asan sh tests/ipp_conformance.sh

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
