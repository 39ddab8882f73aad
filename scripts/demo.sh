#!/usr/bin/env bash
# Installs what is missing, builds, runs the viewers on the small bundled
# example, then runs a real report through kxreporter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
bash scripts/example.sh build
bash scripts/demo-report.sh build
