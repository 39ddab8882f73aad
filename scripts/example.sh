#!/usr/bin/env bash
# Runs the programs of build tree $1 on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build}/bin
ls "$bin"
