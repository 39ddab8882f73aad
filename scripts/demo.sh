#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs (the three programs
# and the example writers, not the test suite), runs the viewers on the
# small bundled example, then runs a real report through kxreporter.
# scripts/test.sh builds and runs everything.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kxreporter reportpeek logpeek write_example_logs write_example_table
bash scripts/example.sh build
bash scripts/demo-report.sh build
