#!/usr/bin/env bash
# Runs the programs of build tree $1 on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build}/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

# logpeek: small example request logs of the three formats, written by the
# project's own log writer into $work/logs and read from $work/run (logpeek
# reads "../logs/"). Its viewer start-up has no database, so it reports
# "Failed on Opening Database" on standard error on every run.
mkdir -p "$work/logs" "$work/run"
"$bin/write_example_logs" "$work/logs"
logpeek=$(cd "$bin" && pwd)/logpeek
echo "== logpeek -d"
(cd "$work/run" && TZ=UTC "$logpeek" -d)
echo "== logpeek -f kxlogger_requests_bin_example.log -s 3 -l 1"
(cd "$work/run" && TZ=UTC "$logpeek" -f kxlogger_requests_bin_example.log -s 3 -l 1)
echo "== logpeek -f kxlogger_requests_ext_example.log -s -1"
(cd "$work/run" && TZ=UTC "$logpeek" -f kxlogger_requests_ext_example.log -s -1)
echo "== logpeek -f kxlogger_requests_txt_dates.log -s 0 -l 2"
(cd "$work/run" && TZ=UTC "$logpeek" -f kxlogger_requests_txt_dates.log -s 0 -l 2)
