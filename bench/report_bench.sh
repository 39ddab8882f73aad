#!/usr/bin/env bash
# The report benchmark: N generated request records (bench/report_loggen_bench.cc)
# reported by the real kxreporter against a private MariaDB, as one demand
# job (users, then domains, with hits, denied and bytes). Prints the time
# from the job's claim to "Processed Ok", records per second, the daemon's
# peak memory, checks the users' table and every user's domain table
# against the generator's counts, and shows where the time goes: the
# engine's stages over the same logs, then the other bench/ drivers.
#
#   bash bench/report_bench.sh [options]
#     -n N            records (default 200000)
#     -s SEED         generator seed (default 1)
#     -f FORMAT       bin, txt or mixed (default mixed: binary and text files
#                     in turn; only text records carry byte counts)
#     -b BUILD        build folder (default build)
#     -w DIR          work folder, kept (default: a new /tmp/kxreportbench.XXXXXX,
#                     removed at the end unless -k); must hold no logs yet
#     -k              keep the work folder (logs, Squid copy, report store)
#     -t SECONDS      give up on the job after this long (default 3600)
#     --setup-only    generate, set up and start the daemon, then stop
#                     (no job; checks the set-up steps)
#     --no-stages     skip the stage drivers
#     --sarg          also run SARG over the Squid copy (installed with
#     --goaccess      apt-get only when missing AND --install is given)
#     --install       allow apt-get install of sarg / goaccess (never in CI)
#
# Everything started here (database server, daemon) is stopped on exit,
# also on failure or interrupt. Exit status 0 only when the job ended
# "Processed Ok" and the totals matched.
set -u -o pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$here/.." && pwd)

records=200000 seed=1 format=mixed build=build work='' keep=0 timeout=3600
setup_only=0 stages=1 run_sarg=0 run_goaccess=0 install=0
while [ $# -gt 0 ]; do
  case "$1" in
    -n) records=$2; shift ;;
    -s) seed=$2; shift ;;
    -f) format=$2; shift ;;
    -b) build=$2; shift ;;
    -w) work=$2; shift ;;
    -k) keep=1 ;;
    -t) timeout=$2; shift ;;
    --setup-only) setup_only=1 ;;
    --no-stages) stages=0 ;;
    --sarg) run_sarg=1 ;;
    --goaccess) run_goaccess=1 ;;
    --install) install=1 ;;
    -h|--help) sed -n '2,29p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "report_bench: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$build" in /*) ;; *) build="$src/$build" ;; esac
bin="$build/bin"
for p in kxreporter reportpeek report_loggen_bench; do
  if [ ! -x "$bin/$p" ]; then
    echo "report_bench: $bin/$p is missing (cmake --build $build --target $p)" >&2
    exit 2
  fi
done

say() { printf '== %s\n' "$*"; }
fail() { echo "report_bench: FAILED: $*" >&2; exit 1; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# --- Clean-up of everything this script started --------------------------------
daemon_pid=
made_work=0
db_started=0
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$daemon_pid" 2>/dev/null && kill -KILL "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
  fi
  if [ "$db_started" = 1 ]; then testdb_stop; fi
  if [ "$made_work" = 1 ] && [ "$keep" = 0 ]; then
    case "$work" in /tmp/kxreportbench.*) rm -rf "$work" ;; esac
  elif [ -n "$work" ]; then
    echo "report_bench: work folder kept: $work" >&2
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/kxreportbench.XXXXXX) || fail "mktemp"
  made_work=1
else
  mkdir -p "$work" || fail "cannot create $work"
  work=$(cd "$work" && pwd)
fi

# --- 1. The logs ---------------------------------------------------------------------
say "generating $records records (seed $seed, format $format) in $work"
"$bin/report_loggen_bench" --out "$work" --records "$records" --seed "$seed" --format "$format" \
  | tee "$work/loggen.txt" || fail "the generator failed"
start=$(awk '$1 == "start" { print $2 }' "$work/loggen.txt")
end=$(awk '$1 == "end" { print $2 }' "$work/loggen.txt")

# --- 2. Install root, database, settings ----------------------------------------------
# The install root is the work folder: bin/ with the stand-in e-mail script,
# store/ for the reports, work/ as the daemon's working folder (so that
# ../logs is the log folder the generator filled; the daemon's own log
# files go there too, as on a real server).
mkdir -p "$work/bin" "$work/store" "$work/work" "$work/var/run" "$work/snmp/persist"
ln -sf "$src/scripts/standins/kxreporter_email.php" "$work/bin/kxreporter_email.php"

say "starting the private MariaDB"
# shellcheck source=scripts/testdb.sh
source "$src/scripts/testdb.sh"
testdb_start || fail "the database did not start"
db_started=1
sql() { mariadb --no-defaults --socket="$MYSQL_UNIX_PORT" -u "$reportlogin" -p"$reportpassword" -N -B "$reportdb" "$@"; }

sql <<EOF || fail "set-up statements"
insert into servers (id, ip) values (5, 'localhost');
insert into settings (name, value) values
  ('report_dir', '$work/store/'),
  ('process_demand_reports', '1'),
  ('concurrent_demand_reports', '1'),
  ('max_report_size', '1099511627776'),
  ('max_temp_size', '1099511627776'),
  ('ip_type', '3');
EOF

# The SNMP agent listens on a free loopback port of its own.
snmp_port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null) \
  || snmp_port=$((20000 + RANDOM % 30000))
printf 'agentaddress udp:127.0.0.1:%s\nrocommunity kxbench-ro 127.0.0.1\n' "$snmp_port" >"$work/snmp/kxreporter-snmp.conf"

# --- 3. The daemon -------------------------------------------------------------------------
say "starting kxreporter"
(
  cd "$work/work" || exit 127
  export KX_PATH="$work" SNMPCONFPATH="$work/snmp" SNMP_PERSISTENT_DIR="$work/snmp/persist"
  export KX_EMAIL_RECORD="$work/mail.txt"
  exec "$bin/kxreporter" >"$work/kxreporter.stdout" 2>"$work/kxreporter.stderr"
) &
daemon_pid=$!
for _ in $(seq 1 300); do
  grep -q "Starting Report Generator" "$work/logs/kxreporter_message.log" 2>/dev/null && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "Starting Report Generator" "$work/logs/kxreporter_message.log" 2>/dev/null; then
  cat "$work/logs/kxreporter_error.log" "$work/kxreporter.stderr" 2>/dev/null | tail -20 >&2
  fail "kxreporter did not start"
fi
hwm_idle=$(awk '/^VmHWM/ { print $2 }' "/proc/$daemon_pid/status")
echo "kxreporter pid $daemon_pid, peak memory before the job ${hwm_idle} KiB"
if [ "$setup_only" = 1 ]; then
  say "set-up checked (--setup-only): $(grep -c "SETTINGS:" "$work/logs/kxreporter_message.log" 2>/dev/null || true) settings lines logged"
  grep "SETTINGS: server ID\|SETTINGS: reports directory\|demand reports -" "$work/logs/kxreporter_message.log" || true
  exit 0
fi

# --- 4. The demand job ------------------------------------------------------------------
# The generator wrote the report to run over its period: users, then each
# user's domains, with hits (9), denied (11), input and output bytes (65,
# 66), ordered by hits.
definition=$(sed "s/'/''/g" "$work/definition.txt") || fail "no definition.txt"
job=$(sql -e "insert into demand_reports (name, login, definition, next_run_time)
  values ('report bench', 'bench', '$definition', now() - interval 1 second); select last_insert_id();") \
  || fail "inserting the job"
t_insert=$(now)
say "demand job $job queued"

t_claim='' t_done='' status='' flag=''
deadline=$(awk -v a="$t_insert" -v t="$timeout" 'BEGIN { printf "%d", a + t }')
while :; do
  row=$(sql -e "select error_flag, ifnull(status, '') from demand_reports where report_id=$job") || fail "polling the job"
  flag=${row%%$'\t'*}
  status=${row#*$'\t'}
  t=$(now)
  if [ -z "$t_claim" ] && [ "$flag" != 0 ]; then t_claim=$t; fi
  case "$status" in "Processed Ok"*) t_done=$t; break ;; esac
  if [ "$flag" = 2 ] || { [ "$flag" != 0 ] && [ -n "$status" ] && [ "${status#Started Processing}" = "$status" ]; }; then
    fail "the job ended: $status"
  fi
  kill -0 "$daemon_pid" 2>/dev/null || fail "kxreporter exited ($(tail -3 "$work/logs/kxreporter_error.log" 2>/dev/null))"
  if [ "${t%.*}" -ge "$deadline" ]; then
    fail "no \"Processed Ok\" after $timeout s (error_flag $flag, status '$status'; the daemon claims nothing until its report workers run)"
  fi
  # Keep the daemon's peak memory in view while it works.
  sleep 0.05
done
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$daemon_pid/status")
# The claim was seen by polling; when the whole job fell between two polls
# the insert time stands in for it (at most one main-loop pass early).
claim_note=
if [ "$t_claim" = "$t_done" ]; then t_claim=$t_insert; claim_note=" (claim not seen: from the insert)"; fi
secs=$(elapsed "$t_claim" "$t_done")
inst=$(sql -e "select path, timestampdiff(second, started_at, finished_at), size from demand_report_instance where report_id=$job") \
  || fail "reading the instance"
root_path=$(cut -f1 <<<"$inst")
inst_secs=$(cut -f2 <<<"$inst")
inst_size=$(cut -f3 <<<"$inst")
say "job $job: $status"
awk -v n="$records" -v s="$secs" -v note="$claim_note" -v is="$inst_secs" -v h="$hwm" -v h0="$hwm_idle" -v sz="$inst_size" 'BEGIN {
  printf "  claim to \"Processed Ok\"  %.3f s%s\n", s, note
  printf "  records per second      %.0f  (%.2f Mrec/s)\n", (s > 0 ? n / s : 0), (s > 0 ? n / s / 1e6 : 0)
  printf "  instance started..finished %s s (whole seconds, the daemon'"'"'s own clock)\n", is
  printf "  report size             %s bytes\n", sz
  printf "  peak memory (VmHWM)     %d KiB (%d KiB before the job)\n", h, h0 }'

# --- 5. Totals check ------------------------------------------------------------------
"$bin/reportpeek" -j "${root_path}root" >"$work/root.json" || fail "reportpeek could not read ${root_path}root"
python3 - "$work/root.json" "$work/counts.json" "$bin/reportpeek" "$root_path" <<'EOF' || fail "the report's totals differ from the generator's counts"
import json, subprocess, sys
root = json.load(open(sys.argv[1]))
want = json.load(open(sys.argv[2]))
reportpeek, root_path = sys.argv[3], sys.argv[4]
if "error" in root:
    sys.exit("reportpeek: " + root["error"])
rows = {r["3"]: r for r in root["records"]}
col = {"hits": "9", "denied": "11", "input_bytes": "65", "output_bytes": "66"}
bad = 0
def problem(text):
    global bad
    bad += 1
    if bad <= 10: print("  " + text)
tot = {k: 0 for k in col}
dom_rows = dom_ok = 0
for user, c in want["users"].items():
    r = rows.get(user)
    if r is None:
        problem(f"missing user {user}"); continue
    for k, f in col.items():
        got = int(r.get(f, 0)); tot[k] += got
        if got != c[k]: problem(f"{user} {k}: report {got}, generated {c[k]}")
    # The user's domain table: one row per visited domain, the same sums.
    link = r.get("18", "")
    if not link:
        problem(f"{user}: no domain table"); continue
    sub = json.loads(subprocess.run([reportpeek, "-j", root_path + link], capture_output=True, text=True).stdout)
    if "error" in sub:
        problem(f"{user}: domain table {link}: {sub['error']}"); continue
    sums = dict(zip(sub["fields"], (int(v) for v in sub["sum"])))
    n = len(sub["records"]); dom_rows += n
    good = n == c["domains"]
    if not good: problem(f"{user}: {n} domain rows, generated {c['domains']} domains")
    for k, f in col.items():
        if sums.get(f, 0) != c[k]:
            good = False; problem(f"{user} domains' {k}: {sums.get(f, 0)}, generated {c[k]}")
    dom_ok += good
extra = set(rows) - set(want["users"])
if extra: problem(f"users in the report only: {sorted(extra)[:5]}")
print(f"  users {len(rows)} (generated {len(want['users'])}); hits {tot['hits']} (generated {want['records']}); "
      f"denied {tot['denied']} ({want['denied']}); input bytes {tot['input_bytes']} ({want['input_bytes']}); "
      f"output bytes {tot['output_bytes']} ({want['output_bytes']})")
print(f"  domain tables: {dom_ok} of {len(want['users'])} as generated ({dom_rows} rows)")
sys.exit(1 if bad else 0)
EOF
echo "  totals match the generator's counts"

# --- 6. Where the time goes ---------------------------------------------------------------
if [ "$stages" = 1 ]; then
  say "stages over these logs (the engine's steps in one process; rates of the $records input records)"
  "$bin/report_loggen_bench" --stages "$work" | tee "$work/stages.txt" || fail "the stage run failed"
  say "stage drivers on their own data"
  for d in reqlog_bench window_bench filter_bench group_bench sort_bench report_table_bench; do
    [ -x "$bin/$d" ] || { echo "  ($d not built)"; continue; }
    case "$d" in
      reqlog_bench) args=() ;;  # one million records of each format
      sort_bench) args=("$((records < 5000000 ? records : 5000000))") ;;
      *) args=("$records") ;;
    esac
    echo "-- $d ${args[*]+"${args[*]}"}"
    "$bin/$d" ${args[@]+"${args[@]}"} 2>&1 | grep -E 'rec/s|records/s|rows/s|peak|failed|refused' | sed 's/^ */  /'
  done | tee -a "$work/stages.txt"
fi

# --- 7. Other reporters on the Squid copy ---------------------------------------------
need_tool() {  # name package
  command -v "$1" >/dev/null 2>&1 && return 0
  if [ "$install" = 1 ]; then
    say "installing $2 (Debian package)"
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y "$2" >/dev/null; else sudo apt-get install -y "$2" >/dev/null; fi
    command -v "$1" >/dev/null 2>&1 && return 0
  fi
  echo "  $1 is not installed (add --install to install the $2 package)"
  return 1
}
timed() {  # label command...: wall seconds and peak memory of the command
  local t0 t1
  t0=$(now)
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >"$work/$1.out" 2>&1
  local rc=$?
  t1=$(now)
  local s
  s=$(elapsed "$t0" "$t1")
  awk -v l="$1" -v s="$s" -v n="$records" -v m="$(tail -1 "$work/time.txt")" -v rc="$rc" \
    'BEGIN { printf "  %-10s %8.2f s  %10.0f records/s  peak %s KiB  exit %s\n", l, s, n / s, m, rc }'
}
if [ "$run_sarg" = 1 ] && need_tool sarg sarg; then
  say "SARG over $work/squid/access.log"
  mkdir -p "$work/sarg"
  printf 'access_log %s\noutput_dir %s\nresolve_ip no\ndate_format e\noverwrite_report yes\n' \
    "$work/squid/access.log" "$work/sarg" >"$work/sarg.conf"
  timed sarg -f "$work/sarg.conf" -l "$work/squid/access.log" -o "$work/sarg" -d "$(date -u -d "@$start" +%d/%m/%Y)-$(date -u -d "@$end" +%d/%m/%Y)"
fi
if [ "$run_goaccess" = 1 ] && need_tool goaccess goaccess; then
  say "GoAccess over $work/squid/access.log"
  # The Squid native fields spelled out: GoAccess 1.7's predefined SQUID
  # format stumbles over these lines without a global configuration.
  timed goaccess "$work/squid/access.log" --no-global-config --log-format='%x.%^ %~%L %h %^/%s %b %m %U %e %^' \
    --date-format=%s --time-format=%s -o "$work/goaccess.html"
fi
exit 0
