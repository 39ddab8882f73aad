#!/usr/bin/env bash
# Runs the programs of build tree $1 on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build}/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# kxreporter

# reportpeek: a small summary table (users, sub-report links, counters)
# written by the project's own table writer.
"$bin/write_example_table" "$work/example.tbl"
echo "== reportpeek example.tbl"
"$bin/reportpeek" "$work/example.tbl"
echo "== reportpeek -c example.tbl"
"$bin/reportpeek" -c "$work/example.tbl"
echo "== reportpeek -j example.tbl"
"$bin/reportpeek" -j "$work/example.tbl"
echo "== reportpeek -S bob example.tbl"
"$bin/reportpeek" -S bob "$work/example.tbl"
