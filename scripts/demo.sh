#!/usr/bin/env bash
# The main job from a clean clone: installs missing build packages, builds the command-line
# tool (Release, in build-demo/) and runs `brindle demo`, which builds a small configuration
# database under ./brindle-data/, shows it, exports, imports, dumps and checks it. Safe to
# run again. Extra arguments go to the demo (for example --db PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=${BRINDLE_JOBS:-2}
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=OFF \
    >/dev/null
cmake --build build-demo -j "$jobs" --target brindle_tool
echo
echo "Built build-demo/tools/brindle"
build-demo/tools/brindle demo "$@"
