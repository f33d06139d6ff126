#!/usr/bin/env bash
# Sets up the machine, builds, and runs the main job on its built-in default:
# the loader's start-up checks on the signed sample plan in examples/plan
# (existence, integrity check, plan reading), printing the loader's verdict.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

echo
echo "=== The loader's start-up checks on examples/plan/Vorlane.ini ==="
if ./build/default/bin/vorlane-plan check examples/plan; then
    echo "Verdict: the loader accepts the sample plan."
else
    status=$?
    echo "Verdict: the loader refuses the sample plan (its message is above)."
    exit "$status"
fi
