#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite: the plain build,
# then AddressSanitizer + UndefinedBehaviorSanitizer, then ThreadSanitizer on
# the tests labelled "concurrent". Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
for preset in default asan tsan; do
    echo "=== ${preset} ==="
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    ctest --preset "${preset}" -j "${jobs}"
done
