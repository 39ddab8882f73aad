#include "src/daemon/mainloop.h"

#include <libintl.h>
#include <mysql.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/base/kxraii.h"
#include "lib/runtime/db.h"
#include "lib/runtime/kxtime.h"
#include "src/daemon/housekeeping.h"
#include "src/daemon/mail.h"
#include "src/daemon/registry.h"
#include "src/daemon/workers.h"
#include "src/report/fields.h"
#include "src/report/report.h"
#include "src/report/reportlists.h"
#include "src/report/status.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"

std::atomic<int> reload_lists{0};

namespace {

time_t wall_clock() {
  time_t now = current_time.load();
  return now ? now : time(nullptr);
}

std::string time_text(time_t t) {
  char buf[32];
  format_date_time(t, buf, sizeof buf);
  return buf;
}

long long as_integer(const char *s) { return s ? strtoll(s, nullptr, 10) : 0; }

// Runs a claim statement and tells whether it took the row: the statement
// only changes a row that is still ready, so a row another server took is
// never taken again. A claim whose answer was lost with its session ran
// again on a new one and found the row taken: by this claim when the row
// holds this server and this very status.
bool claimed(int db, const char *table, const std::string &status, long long id) {
  const unsigned long session = db_reconnect_count(db);
  MYSQL *m = db_query(db,
                      "update %s as rep set status='%s', error_flag=1, server=%d where report_id=%lld and "
                      "error_flag=0",
                      table, status.c_str(), settings.server_id, id);
  if (!m) return false;
  if (mysql_affected_rows(m) == 1) return true;
  if (db_reconnect_count(db) == session) return false;
  db_result_ptr rs{db_execute2(db,
                               "select count(*) from %s as rep where report_id=%lld and error_flag=1 and server=%d "
                               "and status='%s'",
                               table, id, settings.server_id, status.c_str())};
  return rs && rs->fields[0] && strcmp(rs->fields[0], "1") == 0;
}

void release_claim(int db, const char *table, long long id) {
  db_query(db, "update %s as rep set error_flag=0, status='' where report_id=%lld", table, id);
}

// A row that cannot become a report run fails with its text; the queue goes on.
void fail_row(int db, const char *table, long long id) {
  const std::string text = db_escaped("Error: the job has no name, owner or definition");
  db_query(db, "update %s as rep set error_flag=2, status='%s' where report_id=%lld", table, text.c_str(), id);
  kxlog_send(KXLOG_ERROR, "Job %lld of %s cannot be run: no name or owner\n", id, table);
}

// Frees the reports of a batch (through next_task).
void free_batch(REPORT *head) {
  while (head) {
    REPORT *next = head->next_task;
    free_report(head);
    head = next;
  }
}

enum class claim_result { done, lost_lock, skip_pass };

// --- Steps 1 to 6 -------------------------------------------------------------

void serve_cancels(const dispatch_ops &ops) {
  db_result_ptr rs{db_execute2(support_db, "select report_id, type, time from cancel_report where server=%d",
                            settings.server_id)};
  if (!rs) return;
  int clone = db_open_clone(support_db);
  for (int eof = rs->eof; eof == 0; eof = rs->movenext(rs.get())) {
    long long id = as_integer(rs->fields[0]);
    const char *type = rs->fields[1] ? rs->fields[1] : "";
    int kind = 0;  // afresh for every row
    if (type[0] == 'd') kind = 1;
    if (type[0] == 's') kind = 2;
    if (type[0] == 'c') kind = 3;
    bool running = processed_reports_cancel(static_cast<int>(id), kind) != 0;
    if (running || ops.now() - as_integer(rs->fields[2]) > 60) {
      const std::string t = db_escaped(type);
      db_query(clone ? clone : support_db, "delete from cancel_report where report_id=%lld and type='%s'", id,
               t.c_str());
    }
  }
  if (clone) db_close(clone);
}

void maintenance(main_loop_state *state, const dispatch_ops &ops) {
  time_t now = ops.now();
  if (!(now > state->next_maintenance || state->started > 5)) return;
  report_clean_report_dir(support_db, settings.reports_directory);
  reporter_trim_reports(support_db, settings.reports_directory);
  state->next_maintenance = ops.now() + 3600;
  state->started = 0;
  db_query(support_db, "delete from file_reports where UNIX_TIMESTAMP(now())-UNIX_TIMESTAMP(last_read) > 3600");
}

void serve_deletions() {
  db_result_ptr rs{db_execute2(support_db, "select fid, path from delete_files where server=%d", settings.server_id)};
  if (!rs) return;
  int clone = db_open_clone(support_db);
  for (int eof = rs->eof; eof == 0; eof = rs->movenext(rs.get())) {
    long long fid = as_integer(rs->fields[0]);
    const char *path = rs->fields[1];
    bool drop = true;
    if (path && check_del_filename(path) && unlink(path) != 0 && errno != ENOENT) {
      kxlog_send(KXLOG_MESSAGE, "Can't remove file '%s': %s\n", path, strerror(errno));
      drop = false;
    }
    if (drop) db_query(clone ? clone : support_db, "delete from delete_files where fid=%lld", fid);
  }
  if (clone) db_close(clone);
}

void count_waiting(main_loop_state *state, const dispatch_ops &ops) {
  if (ops.now() % 5 != 0) return;
  static const char *const queries[3] = {
      "select count(*) from demand_reports rep left join run_on_servers run on rep.report_id = run.report_id AND "
      "run.type = 1 where (%s run.server=%d) and unix_timestamp(next_run_time)>0 and "
      "unix_timestamp(next_run_time)<unix_timestamp() and error_flag=0",
      "select count(*) from scheduled_reports rep left join run_on_servers run on rep.report_id = run.report_id AND "
      "run.type = 2 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60 and error_flag=0",
      "select count(*) from continuous_reports rep left join run_on_servers run on rep.report_id = run.report_id "
      "AND run.type = 3 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60 and "
      "error_flag=0",
  };
  for (int k = 0; k < 3; k++) {
    db_result_ptr rs{db_execute2(support_db, queries[k], state->job_filter.c_str(), settings.server_id)};
    state->waiting[k] = rs ? static_cast<int>(as_integer(rs->fields[0])) : state->published[k];
  }
}

// --- Steps 7 to 9: claiming ---------------------------------------------------

// Demand (kind 1) and continuous (kind 3) jobs: one report and one worker a row.
claim_result claim_single(main_loop_state *state, const dispatch_ops &ops, int kind) {
  const bool demand = kind == REPORT_DEMAND;
  const char *table = demand ? "demand_reports" : "continuous_reports";
  std::atomic<int> &running = demand ? demand_count : continuous_count;
  const int max = demand ? settings.demand_count_max : settings.continuous_count_max;
  const int db = support_db;
  const unsigned long session = db_reconnect_count(db);
  if (!db_query(db, demand ? "lock tables demand_reports as rep write, run_on_servers as run write"
                           : "lock tables continuous_reports as rep write, run_on_servers as run write")) {
    db_query(db, "unlock tables");
    return claim_result::done;
  }
  db_result_ptr rs{demand ? db_execute2(db,
                                     "select rep.report_id,name,login from demand_reports rep left join "
                                     "run_on_servers run on rep.report_id = run.report_id AND run.type = 1 where (%s "
                                     "run.server=%d) and unix_timestamp(next_run_time)>0  and "
                                     "unix_timestamp(next_run_time)<unix_timestamp()  and error_flag=0 order by "
                                     "next_run_time",
                                     state->job_filter.c_str(), settings.server_id)
                       : db_execute2(db,
                                     "select rep.report_id,unix_timestamp(next_run_time),name,login,run_interval "
                                     "from continuous_reports rep left join run_on_servers run on rep.report_id = "
                                     "run.report_id AND run.type = 3 where (%s run.server=%d) and "
                                     "unix_timestamp(next_run_time)<unix_timestamp()-60  and error_flag=0 order by "
                                     "next_run_time",
                                     state->job_filter.c_str(), settings.server_id)};
  claim_result result = claim_result::done;
  for (int eof = rs ? rs->eof : -1; eof == 0 && running.load() < max; eof = rs->movenext(rs.get())) {
    if (db_reconnect_count(db) != session) {
      result = claim_result::lost_lock;
      break;
    }
    char **f = rs->fields;
    long long id = as_integer(f[0]);
    const char *name = demand ? f[1] : f[2];
    const char *login = demand ? f[2] : f[3];
    time_t next_run = demand ? 0 : static_cast<time_t>(as_integer(f[1]));
    int interval = demand ? 0 : static_cast<int>(as_integer(f[4]));
    if (!demand) state->waiting[2]--;
    if (!name || !login) {
      fail_row(db, table, id);
      continue;
    }
    int clone = db_open_clone(db);
    REPORT *rep = clone ? new_report_initialize(kind, static_cast<int>(id), name, login, next_run, interval, clone,
                                                &settings)
                        : nullptr;
    if (!rep) {
      kxlog_send(KXLOG_ERROR, "Error during malloc\n");
      if (clone) db_close(clone);
      result = claim_result::skip_pass;
      break;
    }
    if (!claimed(db, table, db_escaped(status_text_at("Started Processing [%s]", ops.now()).c_str()), id)) {
      free_report(rep);
      db_close(clone);
      continue;
    }
    if (demand) {
      kxlog_send(KXLOG_MESSAGE, "Processing demand report %lld '%s' (%s)\n", id, name, login);
      state->started++;
      state->waiting[0]--;
    } else {
      kxlog_send(KXLOG_MESSAGE, "Processing continuous report %lld '%s' (%s) for time %s (%li)\n", id, name, login,
                 time_text(next_run).c_str(), static_cast<long>(next_run));
    }
    running.fetch_add(1);
    if (ops.start_worker(kind, rep) != 0) {
      running.fetch_sub(1);
      release_claim(db, table, id);
      free_report(rep);
      db_close(clone);
      result = claim_result::skip_pass;
      break;
    }
  }
  rs.reset();
  db_query(db, "unlock tables");
  if (result == claim_result::done && db_reconnect_count(db) != session) result = claim_result::lost_lock;
  return result;
}

// Scheduled jobs: batches of equal (run interval, next run time) share one
// worker, one connection and one pass over the logs.
claim_result claim_scheduled(main_loop_state *state, const dispatch_ops &ops) {
  const int db = support_db;
  const unsigned long session = db_reconnect_count(db);
  if (!db_query(db, "lock tables scheduled_reports as rep write, run_on_servers as run write")) {
    db_query(db, "unlock tables");
    return claim_result::done;
  }
  db_result_ptr rs{db_execute2(db,
                            "select rep.report_id,unix_timestamp(next_run_time),name,login,run_interval from "
                            "scheduled_reports rep left join run_on_servers run on rep.report_id = run.report_id AND "
                            "run.type = 2 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60 "
                            " and error_flag=0 order by run_interval, next_run_time",
                            state->job_filter.c_str(), settings.server_id)};
  claim_result result = claim_result::done;
  // Every batch takes at least its first row, so the rows run out and the
  // lock is given back in this pass whatever the setting holds.
  const int per_batch = settings.max_parallel_reports > 0 ? settings.max_parallel_reports : 1;
  int eof = rs ? rs->eof : -1;
  while (eof == 0 && scheduled_count.load() < settings.scheduled_count_max && result == claim_result::done) {
    int clone = db_open_clone(db);
    if (!clone) {
      kxlog_send(KXLOG_ERROR, "Error during malloc\n");
      result = claim_result::skip_pass;
      break;
    }
    REPORT *head = nullptr;
    int batch = 0;
    int key_interval = 0;
    int64_t key_time = 0;
    std::vector<long long> ids;
    while (eof == 0 && batch < per_batch) {
      if (db_reconnect_count(db) != session) {
        result = claim_result::lost_lock;
        break;
      }
      char **f = rs->fields;
      int interval = static_cast<int>(as_integer(f[4]));
      int64_t next_run = as_integer(f[1]);
      if (key_interval != 0 && (interval != key_interval || next_run != key_time)) break;  // next batch
      long long id = as_integer(f[0]);
      if (!f[2] || !f[3]) {
        fail_row(db, "scheduled_reports", id);
        eof = rs->movenext(rs.get());
        continue;
      }
      REPORT *rep = new_report_initialize(REPORT_SCHEDULED, static_cast<int>(id), f[2], f[3],
                                          static_cast<time_t>(next_run), interval, clone, &settings);
      if (!rep) {
        kxlog_send(KXLOG_ERROR, "Error during malloc\n");
        result = claim_result::skip_pass;
        break;
      }
      if (!claimed(db, "scheduled_reports", db_escaped(status_text_at("Started Processing [%s]", ops.now()).c_str()), id)) {
        free_report(rep);
        eof = rs->movenext(rs.get());
        continue;
      }
      key_interval = interval;
      key_time = next_run;
      kxlog_send(KXLOG_MESSAGE, "Processing scheduled report %lld '%s' (%s) for time %s (%li)\n", id, f[2], f[3],
                 time_text(static_cast<time_t>(next_run)).c_str(), static_cast<long>(next_run));
      state->started++;
      state->waiting[1]--;
      rep->next_task = head;
      if (head) head->prev_task = rep;
      head = rep;
      ids.push_back(id);
      batch++;
      eof = rs->movenext(rs.get());
    }
    if (!head) {
      db_close(clone);
      continue;
    }
    scheduled_count.fetch_add(1);
    if (result == claim_result::skip_pass || ops.start_worker(REPORT_SCHEDULED, head) != 0) {
      scheduled_count.fetch_sub(1);
      for (long long id : ids) release_claim(db, "scheduled_reports", id);
      free_batch(head);
      db_close(clone);
      result = claim_result::skip_pass;
      break;
    }
  }
  rs.reset();
  db_query(db, "unlock tables");
  if (result == claim_result::done && db_reconnect_count(db) != session) result = claim_result::lost_lock;
  return result;
}

// Runs a kind's claim sequence, from the lock again when the lock was lost.
bool claim_kind(claim_result (*claim)(main_loop_state *, const dispatch_ops &, int), main_loop_state *state,
                const dispatch_ops &ops, int kind) {
  for (int attempt = 0; attempt < 3; attempt++) {
    claim_result r = claim(state, ops, kind);
    if (r == claim_result::skip_pass) return false;
    if (r == claim_result::done) return true;
  }
  return true;
}

claim_result claim_scheduled_kind(main_loop_state *state, const dispatch_ops &ops, int) {
  return claim_scheduled(state, ops);
}

void publish_waiting(main_loop_state *state) {
  for (int &w : state->waiting)
    if (w < 0) w = 0;
  if (state->waiting[0] != state->published[0] || state->waiting[1] != state->published[1] ||
      state->waiting[2] != state->published[2])
    kxlog_send(KXLOG_MESSAGE, "Waiting in queue: demand %d; scheduled %d; continuous %d\n", state->waiting[0],
               state->waiting[1], state->waiting[2]);
  stats_num_dem_waiting = state->waiting[0];
  stats_num_sched_waiting = state->waiting[1];
  stats_num_cont_waiting = state->waiting[2];
  stats_num_waiting = state->waiting[0] + state->waiting[1] + state->waiting[2];
  for (int k = 0; k < 3; k++) state->published[k] = state->waiting[k];
}

}  // namespace

main_loop_state main_loop_state_at(time_t now) {
  main_loop_state s;
  s.next_maintenance = now + 3600;
  s.job_filter = settings.restricted == 0 ? "run.server is null or" : "";
  return s;
}

int check_del_filename(const char *name) {
  if (!name) return 0;
  kx_malloc_ptr<char> prefix{kxpath_append("/logs/kxlogger_requests_")};
  if (!prefix) return 0;
  size_t n = strlen(prefix.get());
  // Only a name directly in the logs folder: nothing after the prefix may
  // lead elsewhere.
  if (strncmp(name, prefix.get(), n) != 0 || strchr(name + n, '/') || strstr(name + n, "..")) {
    kxlog_send(KXLOG_MESSAGE, "Can't remove file '%s': wrong name\n", name);
    return 0;
  }
  struct stat st;
  if (stat(name, &st) != 0) {
    if (errno == ENOENT) return 1;
    kxlog_send(KXLOG_MESSAGE, "Can't fstat '%s': %s\n", name, strerror(errno));
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    kxlog_send(KXLOG_MESSAGE, "Can't remove '%s': is not a regular file\n", name);
    return 0;
  }
  return 1;
}

bool reporter_main_pass(main_loop_state *state, const dispatch_ops &ops) {
  serve_cancels(ops);
  maintenance(state, ops);
  serve_deletions();
  count_waiting(state, ops);
  if (ops.now() % 3600 == 0) reporter_process_unused_reports(support_db, &settings, ops.now());
  if (reload_lists.exchange(0)) report_definition_reload_lists();
  // Without a worker-start step the pass dispatches nothing.
  if (ops.start_worker) {
    if (demand_count.load() < settings.demand_count_max &&
        !claim_kind(claim_single, state, ops, REPORT_DEMAND))
      return false;
    if (scheduled_count.load() < settings.scheduled_count_max &&
        !claim_kind(claim_scheduled_kind, state, ops, REPORT_SCHEDULED))
      return false;
    if (continuous_count.load() < settings.continuous_count_max &&
        !claim_kind(claim_single, state, ops, REPORT_CONTINUOUS))
      return false;
  }
  publish_waiting(state);
  return true;
}

const dispatch_ops kDaemonDispatch = {wall_clock, start_report_worker};

void reporter_main_loop() {
  main_loop_state state = main_loop_state_at(wall_clock());
  dispatch_ops ops = kDaemonDispatch;
  if (!ops.now) ops.now = wall_clock;
  for (;;) {
    reporter_main_pass(&state, ops);
    sleep(1);
  }
}
