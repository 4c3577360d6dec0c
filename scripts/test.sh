#!/usr/bin/env bash
# Builds and runs every test: the formatting of every source file, the GCC
# and clang builds, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the packaging checks (plain build, install,
# manual pages, systemd unit, .deb, freestanding core), then each fuzz target
# for a bounded time (FUZZ_SECONDS each, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check-format.sh

for preset in dev clang asan; do
  echo "== $preset build and tests"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== packaging"
scripts/package-check.sh

scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
