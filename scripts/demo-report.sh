#!/usr/bin/env bash
# Runs a real report with the programs of build tree $1: a private MariaDB
# with the reporting schema, example request logs of the three formats, a
# demand job (users, then each user's domains, with hits and bytes) and a
# scheduled daily job; kxreporter runs until both are done, reportpeek prints
# the finished tables and snmpwalk the daemon's counters. Everything it
# starts is stopped again, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
bin=$(cd "${1:-build}/bin" && pwd)

# shellcheck source=/dev/null
source scripts/testdb.sh
root=$(mktemp -d /tmp/kxdemo.XXXXXX)
daemon=
cleanup() {
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
    kill -TERM "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
  fi
  testdb_stop >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT
testdb_start 2>/dev/null
sql() { mariadb --no-defaults -u "$reportlogin" -p"$reportpassword" -N -B "$reportdb" -e "$1"; }

# The install root: the stand-ins of the web administration's scripts, the
# request logs in ../logs of the daemon's working folder, the report store.
mkdir -p "$root/bin" "$root/webadmin/bin" "$root/logs" "$root/work" "$root/store" "$root/tmp" "$root/snmp/persist"
ln -s "$src/scripts/standins/kxreporter_email.php" "$root/bin/kxreporter_email.php"
ln -s "$src/tests/fixtures/webadmin/kxreporter_get_categories.php" "$root/webadmin/bin/kxreporter_get_categories.php"
"$bin/write_example_logs" "$root/logs"

# The in-process SNMP agent on a free loopback port.
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'agentaddress udp:127.0.0.1:%s\nrocommunity demo 127.0.0.1\n' "$port" >"$root/snmp/kxreporter-snmp.conf"

# The example logs hold 2025-12-10 07:00 to 07:06 UTC.
sql "insert into servers (id, ip) values (1, 'localhost');
insert into settings (name, value) values ('report_dir', '$root/store/'), ('temp_dir', '$root/tmp/'),
  ('process_demand_reports', '1'), ('process_scheduled_reports', '1'),
  ('concurrent_demand_reports', '2'), ('concurrent_scheduled_reports', '2'), ('max_parallel_reports', '3');
insert into demand_reports (report_id, name, login, email, next_run_time, definition) values
  (1, 'Users and their domains', 'admin', 'admin@example.org', now() - interval 2 second,
   '[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,11,65\norderby=9,-1\n[group]\ntype=SUMMARY\ngroupby=48\nsummary=9,65\norderby=9,-1\n[static_filter]\ndate=@ 1765349000 1765360000\n[fields metadata precompiled]\n48=|*\n');
insert into scheduled_reports (report_id, name, login, next_run_time, run_interval, definition) values
  (1, 'Daily groups', 'admin', from_unixtime(1765411200), 27,
   '[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=4\nsummary=9,10,11\n');"

echo "== kxreporter"
(cd "$root/work" && env KX_PATH="$root" TZ=UTC SNMPCONFPATH="$root/snmp" SNMP_PERSISTENT_DIR="$root/snmp/persist" \
  KX_EMAIL_RECORD="$root/mail.txt" "$bin/kxreporter") &
daemon=$!
for ((i = 0; i < 300; i++)); do
  done_jobs=$(sql "select (select count(*) from demand_reports where status like 'Processed Ok%' or status like 'Error%')
                 + (select count(*) from scheduled_reports where status like 'Processed Ok%' or status like 'Error%')")
  [ "$done_jobs" -ge 2 ] && break
  sleep 0.2
done
sql "select 'demand', report_id, status from demand_reports union all select 'scheduled', report_id, status from scheduled_reports"

demand=$(sql "select path from demand_report_instance where report_id=1")
scheduled=$(sql "select path from scheduled_report_instance where report_id=1")
[ -n "$demand" ] && [ -n "$scheduled" ] || { echo "the jobs did not finish"; exit 1; }
echo "== reportpeek: demand report, users"
TZ=UTC "$bin/reportpeek" "${demand}root"
echo "(INPUTBYTES is 0: byte counts come only from the bandwidth events of text request logs,"
echo " records with TYPE 1 and DATA \"IB:n;OB:m\"; these example logs hold none. See docs/operations.md.)"
# Rows count from 0 for -s; the first user is the first row of the CSV form.
sub=$("$bin/reportpeek" -s 0 "${demand}root")
first=$("$bin/reportpeek" -c -r 1 "${demand}root" | cut -d, -f1 | tr -d '"')
echo "== reportpeek: the domains of the first user, $first ($sub)"
TZ=UTC "$bin/reportpeek" "${demand}$sub"
echo "== reportpeek: scheduled report, groups"
TZ=UTC "$bin/reportpeek" "${scheduled}root"
echo "== mail script called with"
grep -v -- '^--$' "$root/mail.txt" | tr '\n' ' '
echo
echo "== snmpwalk"
SNMPCONFPATH="$root/snmp/tools" SNMP_PERSISTENT_DIR="$root/snmp/tools" MIBS= snmpwalk -v2c -c demo -On "127.0.0.1:$port" .1.3.6.1.4.1.47263.1.6 | head -20
