#include "src/daemon/workers.h"

#include <fcntl.h>
#include <libintl.h>
#include <mysqld_error.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/base/kxraii.h"
#include "lib/base/kxstring.h"
#include "lib/runtime/db.h"
#include "src/daemon/mail.h"
#include "src/daemon/registry.h"
#include "src/report/continuous.h"
#include "src/report/definition.h"
#include "src/report/fields.h"
#include "src/report/group.h"
#include "src/report/logfile_window.h"
#include "src/report/period.h"
#include "src/report/report.h"
#include "src/report/report_load.h"
#include "src/report/status.h"
#include "src/report/subreport.h"
#include "src/report/tfile.h"
#include "src/support/settings.h"
#include "src/table/table.h"

namespace {

// Records a failure's text through the message catalogue.
void record_error(REPORT *rep, const char *text) { status_add_error(rep, "%s", dgettext("Tallowmere", text)); }

std::atomic<int> &running_count(int kind) {
  return kind == REPORT_DEMAND ? demand_count : kind == REPORT_SCHEDULED ? scheduled_count : continuous_count;
}

void close_queue(REPORT *rep) {
  if (rep->index_fd > 0) close(rep->index_fd);
  if (rep->index_fd_read > 0) close(rep->index_fd_read);
  rep->index_fd = rep->index_fd_read = -1;
}

long long first_integer(int db, const char *format, int id) {
  db_result_ptr rs{db_execute2(db, format, id)};
  return rs && rs->fields[0] ? strtoll(rs->fields[0], nullptr, 10) : -1;
}

// Unlinks rep from the batch list whose head is *head.
void unlink_task(REPORT **head, REPORT *rep) {
  if (rep->prev_task) rep->prev_task->next_task = rep->next_task;
  if (rep->next_task) rep->next_task->prev_task = rep->prev_task;
  if (*head == rep) *head = rep->next_task;
  rep->prev_task = rep->next_task = nullptr;
}

// Ends a report of a running batch at level 0: level terminated, outcome
// saved, freed. Its input is the batch's shared window, which it must not
// close.
void end_report(REPORT **head, REPORT *rep) {
  rep->input = nullptr;
  process_sub_report_terminate(rep);
  finalize_report(rep);
  unlink_task(head, rep);
  free_report(rep);
}

// How often the finishing of a report is tried when its session was lost
// or its transaction was rolled back for a deadlock or a lock wait.
constexpr int kFinishAttempts = 3;

enum class finish { saved, failed, again };

// What a finished demand or scheduled report records, in one transaction:
// its instance row, the instance limit, its next run and its status; a
// crash or a lost session leaves none of it, so the release at the next
// start cannot run a job twice whose run was recorded.
struct finishing {
  REPORT *rep = nullptr;
  const char *instances = nullptr;  // the kind's instance table
  const char *jobs = nullptr;       // the kind's job table
  std::string path, key, status;    // path and key escaped
  long elapsed = 0;
  // Found out by the transaction.
  std::string rid;        // the new instance's id
  bool mail = false;      // the job has an e-mail address
  long long deleted = 0;  // instances over the limit that were removed
};

// 1 when the run's instance row is there (f.rid set), 0 when it is not, -1
// when that cannot be read. An attempt whose commit went through before
// its session was lost has its row already.
int instance_row(finishing &f) {
  db_result_ptr rs{db_execute2(f.rep->db,
                               "select count(*), min(rid) from %s where report_id=%d and security_key='%s'",
                               f.instances, f.rep->report_id, f.key.c_str())};
  if (!rs || !rs->fields[0]) return -1;
  if (strcmp(rs->fields[0], "0") == 0 || !rs->fields[1]) return 0;
  f.rid = rs->fields[1];
  return 1;
}

// One attempt at the finishing transaction. A statement that fails rolls
// it all back: again when the session was lost or the server rolled back
// for a lock conflict, else failed.
finish finish_once(finishing &f) {
  REPORT *rep = f.rep;
  const int db = rep->db;
  const int id = rep->report_id;
  const bool demand = rep->report_type == REPORT_DEMAND;
  unsigned long session = db_reconnect_count(db);
  auto give_up = [&] {
    const unsigned int error = db_last_error(db);
    const bool lost = db_reconnect_count(db) != session;
    db_query(db, "rollback");
    db_query(db, "unlock tables");
    db_query(db, "set autocommit=1");
    return lost || error == ER_LOCK_DEADLOCK || error == ER_LOCK_WAIT_TIMEOUT ? finish::again : finish::failed;
  };
  // Every statement below runs on the session that began the transaction.
  auto same_session = [&] { return db_reconnect_count(db) == session; };
  if (!db_query(db, "set autocommit=0")) return give_up();
  session = db_reconnect_count(db);
  if (!db_query(db, "lock tables %s write, %s write", f.instances, f.jobs)) return give_up();
  int have = instance_row(f);
  if (have < 0 || !same_session()) return give_up();
  if (have == 0) {
    const bool inserted =
        demand ? db_query(db,
                          "insert into demand_report_instance (report_id, path, server, started_at, finished_at, size, "
                          "security_key) values (%d,'%s',%d,from_unixtime(unix_timestamp()-%ld),now(),%lli,'%s')",
                          id, f.path.c_str(), settings.server_id, f.elapsed, rep->size_written, f.key.c_str())
               : db_query(db,
                          "insert into scheduled_report_instance (report_id, path, server, started_at, finished_at, "
                          "size, security_key, report_date) values (%d,'%s',%d,from_unixtime(unix_timestamp()-%ld),"
                          "now(),%lli,'%s',from_unixtime(%li))",
                          id, f.path.c_str(), settings.server_id, f.elapsed, rep->size_written, f.key.c_str(),
                          static_cast<long>(rep->start));
    // The id is read back by the run's own key: a batch shares one
    // connection, so last_insert_id() may answer for another report.
    if (!inserted || instance_row(f) != 1 || !same_session()) return give_up();
  }
  f.deleted = 0;
  const int limit = rep->settings ? rep->settings->max_instances : 0;
  if (limit) {
    long long n = first_integer(db, demand ? "select count(*) from demand_report_instance where report_id=%d"
                                           : "select count(*) from scheduled_report_instance where report_id=%d",
                                id);
    if (n < 0 || !same_session()) return give_up();
    if (n > limit) {
      const bool deleted =
          demand ? db_query(db,
                            "delete from demand_report_instance  where report_id=%d order by finished_at limit %lld",
                            id, n - limit)
                 : db_query(db,
                            "delete from scheduled_report_instance where report_id=%d order by finished_at limit %lld",
                            id, n - limit);
      if (!deleted) return give_up();
      f.deleted = n - limit;
    }
  }
  {
    db_result_ptr mail{db_execute2(db, "select email from %s where report_id=%d", f.jobs, id)};
    if (!same_session()) return give_up();
    f.mail = mail && mail->fields[0] && *mail->fields[0];
  }
  const bool next =
      demand ? db_query(db, "update demand_reports set next_run_time=0 where report_id=%d", id)
             : db_query(db, "update scheduled_reports set next_run_time=from_unixtime(%li) where report_id=%d",
                        static_cast<long>(rep->next_run_time), id);
  if (!next || !same_session()) return give_up();
  if (!status_write_message(rep, db, f.status.c_str(), 0) || !same_session()) return give_up();
  if (!db_query(db, "commit") || !same_session()) return give_up();
  db_query(db, "unlock tables");
  db_query(db, "set autocommit=1");
  return finish::saved;
}

}  // namespace

int initialize_report(REPORT *rep) {
  processed_reports_add(rep);
  char *process_path = nullptr;
  const char *failure = nullptr;
  if (!load_report_definition(rep, time(nullptr))) goto failed;
  // A zone that cannot be loaded leaves the run on UTC, as glibc does.
  report_load_zone(rep);
  if (rep->def->email_test) {
    process_email_test(rep->report_id, rep->report_type, rep->db, rep->def->lang ? rep->def->lang : "en_US");
    processed_reports_del(rep);
    return 0;
  }
  if (rep->report_type == REPORT_DEMAND) {
    if (!report_find_demand_period(rep)) {
      failure = "Error 10431: (process) Date Range Not Found or Invalid";
      goto failed;
    }
  } else {
    time_t cutoff = 0;
    if (!report_calculate_period(rep, &cutoff)) {
      failure = "Error 10447: (process) Error processing the next run time value";
      goto failed;
    }
    if (!report_definition_add_date_range(rep)) {
      failure = "Error 10445: (process) Memory Allocation Error";
      goto failed;
    }
    report_translate_relative_dates(rep);
  }
  process_path = tfile_process_file(rep);
  if (!process_path) {
    failure = "Error 10435: (process) Error creating a report filename";
    goto failed;
  }
  rep->index_fd = open(process_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (rep->index_fd < 0) {
    failure = "Error 10436: (process) Error creating a report file";
    goto failed;
  }
  rep->index_fd_read = open(process_path, O_RDONLY | O_CLOEXEC);
  if (rep->index_fd_read < 0) {
    failure = "Error 10437: (process) Error opening a report file";
    goto failed;
  }
  // Only the two descriptors reach the queue from here on.
  unlink(process_path);
  free(process_path);
  return -1;

failed:
  if (failure) record_error(rep, failure);
  close_queue(rep);
  if (process_path) {
    unlink(process_path);
    free(process_path);
  }
  status_save(rep, rep->db, nullptr, 0);
  processed_reports_del(rep);
  return 0;
}

void finalize_report(REPORT *rep) {
  close_queue(rep);
  bool saved = false;
  kx_malloc_ptr<char> key;
  if (rep->cancel.load()) {
    // A stopped scheduled run is due again at its next period, not at once.
    if (rep->report_type == REPORT_SCHEDULED && rep->next_run_time)
      db_query(rep->db, "update scheduled_reports set next_run_time=from_unixtime(%lld) where report_id=%d",
               static_cast<long long>(rep->next_run_time), rep->report_id);
  } else if (rep->error) {
    stats_count(&stats_num_rep_errors);
  } else if (!(key = kx_malloc_ptr<char>(string_security_key()))) {
    stats_count(&stats_num_rep_errors);
    record_error(rep, "Error 10449: (process) Memory Allocation Error");
  } else {
    const bool demand = rep->report_type == REPORT_DEMAND;
    finishing f;
    f.rep = rep;
    f.instances = demand ? "demand_report_instance" : "scheduled_report_instance";
    f.jobs = demand ? "demand_reports" : "scheduled_reports";
    f.path = db_escaped(rep->root_path);
    f.key = db_escaped(key.get());
    f.status = status_text_at("Processed Ok [%s]", time(nullptr));
    f.elapsed = static_cast<long>(time(nullptr) - rep->process_start);
    finish result = finish::again;
    for (int attempt = 0; attempt < kFinishAttempts && result == finish::again; attempt++) result = finish_once(f);
    // Sessions lost each time, the last one maybe after its commit: the row
    // tells.
    if (result == finish::again && instance_row(f) == 1) result = finish::saved;
    if (result != finish::saved) {
      stats_count(&stats_num_rep_errors);
      record_error(rep, "Error 10448: (process) Error saving the report instance in db");
    } else {
      saved = true;
      stats_count(demand ? &stats_num_dem_processed : &stats_num_sched_processed);
      status_log_saved(rep, f.status.c_str());
      const int limit = rep->settings ? rep->settings->max_instances : 0;
      if (!demand && f.deleted > 0)
        kxlog_send(KXLOG_MESSAGE,
                   "Delete %lld oldest instances of scheduled report %d '%s' (%s) that exceed max number of "
                   "instances (%d)\n",
                   f.deleted, rep->report_id, rep->name ? rep->name : "", rep->owner ? rep->owner : "", limit);
      bool thresholds = true;
      for (REPORT_GROUP **g = rep->def && rep->def->group ? rep->def->group : nullptr; g && *g; g++)
        if ((*g)->threshold && !(*g)->threshold_reached) thresholds = false;
      if (f.mail && thresholds)
        send_email(demand ? EMAIL_CMD_DEMAND : EMAIL_CMD_SCHEDULED, f.rid.c_str(),
                   rep->def && rep->def->lang ? rep->def->lang : "en_US", rep);
      if (demand) {
        kxlog_send(KXLOG_MESSAGE, "Finish demand report %d\n", rep->report_id);
      } else {
        long long n = first_integer(rep->db, "select count(*) from scheduled_report_instance where report_id=%d",
                                    rep->report_id);
        kxlog_send(KXLOG_MESSAGE, "Finish scheduled report %d (%lld instances)\n", rep->report_id, n < 0 ? 0 : n);
      }
    }
  }
  // A saved report has its status already; a failed or cancelled one gets
  // it here.
  if (!saved) status_save(rep, rep->db, nullptr, 0);
  processed_reports_del(rep);
}

void *run_reports(void *arg) {
  REPORT *head = static_cast<REPORT *>(arg);
  const int kind = head->report_type;
  const int db = head->db;
  // 1. Initialise every report of the batch.
  for (REPORT *r = head, *next = nullptr; r; r = next) {
    next = r->next_task;
    if (!initialize_report(r)) {
      unlink_task(&head, r);
      free_report(r);
    }
  }
  if (!head) {
    running_count(kind).fetch_sub(1);
    db_close(db);
    return nullptr;
  }
  stats_last_report_started.store(time(nullptr));
  logfile_window_install();
  // 3. One window, over the period of the first report.
  TABLE *window = table_open(TABLE_LOGFILE, head, nullptr, nullptr, db, 0);
  if (!window) {
    for (REPORT *r = head, *next = nullptr; r; r = next) {
      next = r->next_task;
      record_error(r, "Error 10401: (process) Unable to open log file");
      finalize_report(r);
      unlink_task(&head, r);
      free_report(r);
    }
  } else {
    // 4. Level 0 of every report on the shared input.
    for (REPORT *r = head, *next = nullptr; r; r = next) {
      next = r->next_task;
      if (!process_sub_report_start(r, nullptr, 0, window)) end_report(&head, r);
    }
    for (REPORT *r = head; r; r = r->next_task) r->recs_todo = head->recs_todo;
    // 5. Every record, for every report in order.
    while (head && table_read_record(window) == -1) {
      for (REPORT *r = head, *next = nullptr; r; r = next) {
        next = r->next_task;
        if (r->cancel.load()) {
          end_report(&head, r);
          continue;
        }
        r->recs_done++;
        if (!logfile_filter_record(r, window->rec, window->map)) continue;
        int ok = r->group_def->type == GROUP_TYPE_SUMMARY
                     ? process_sub_report_record_summary(r, window->rec, window->map)
                     : process_sub_report_record_detail(r, window->rec, window->map);
        if (!ok) end_report(&head, r);
      }
    }
    // 6. The window is shared: no report closes it.
    for (REPORT *r = head; r; r = r->next_task) r->input = nullptr;
    table_close(window);
    // 7. Reports that end at level 0.
    for (REPORT *r = head, *next = nullptr; r; r = next) {
      next = r->next_task;
      bool second = r->group_def->type == GROUP_TYPE_SUMMARY && (r->def->group[1] != nullptr || r->spill);
      if (second) continue;
      process_sub_report_finalize(r);
      end_report(&head, r);
    }
    // 8. The second stage of each remaining report.
    for (REPORT *r = head, *next = nullptr; r; r = next) {
      next = r->next_task;
      unlink_task(&head, r);
      const int clone = db_open_clone(db);
      std::atomic<int> &count = running_count(kind);
      count.fetch_add(1);
      pthread_t thread;
      if (clone) r->db = clone;
      if (!clone || pthread_create(&thread, nullptr, run_report_step2, r) != 0) {
        // Without its own connection the outcome is saved on the batch's.
        count.fetch_sub(1);
        r->db = db;
        record_error(r, "Error 10450: (process) Unable to create a new thread");
        process_sub_report_terminate(r);
        finalize_report(r);
        if (clone) db_close(clone);
        free_report(r);
        continue;
      }
      // A thread that cannot be detached runs on all the same; it is logged.
      if (pthread_detach(thread) != 0) kxlog_send(KXLOG_ERROR, "Error in pthread_detach\n");
    }
  }
  stats_last_report_finished.store(time(nullptr));
  running_count(kind).fetch_sub(1);
  db_close(db);
  return nullptr;
}

void *run_report_step2(void *arg) {
  REPORT *rep = static_cast<REPORT *>(arg);
  const int kind = rep->report_type;
  bool ok = true;
  if (rep->spill && !process_sub_report_process_spill(rep, 0)) ok = false;
  if (ok && !process_sub_report_finalize(rep)) ok = false;
  process_sub_report_terminate(rep);
  if (ok && rep->def->group[0] && rep->def->group[1]) process_report_queue(rep);
  finalize_report(rep);
  stats_last_report_finished.store(time(nullptr));
  running_count(kind).fetch_sub(1);
  db_close(rep->db);
  free_report(rep);
  return nullptr;
}

int process_continuous_report(REPORT *rep, int db) {
  rep->group_def = rep->def && rep->def->group ? rep->def->group[0] : nullptr;
  logfile_window_install();
  TABLE *window = rep->group_def ? table_open(TABLE_LOGFILE, rep, nullptr, nullptr, db, 0) : nullptr;
  if (!window) {
    record_error(rep, "Error 10420: (process) Unable to open report file");
    return 0;
  }
  GROUP_TREE *tree = group_initialize(rep, 0, 1000, window->rec, window->map);
  if (!tree) {
    table_close(window);
    record_error(rep, "Error 10421: (process) Error initializing group list");
    return 0;
  }
  rep->groups = tree;
  int result = -1;
  while (table_read_record(window) == -1) {
    if (!logfile_filter_record(rep, window->rec, window->map)) continue;
    int r = group_add_record(tree, window->rec, window->map, -1, window, rep, nullptr);
    if (r == 1) {
      result = 0;
      break;
    }
    if (r == 2) {
      record_error(rep, "Error 10422: (process) Too many groups found in the report");
      result = 0;
      break;
    }
  }
  if (result && !group_write_db(tree, rep, db)) {
    record_error(rep, "Error 10423: (process) Error writing to a report file");
    result = 0;
  }
  rep->groups = nullptr;
  if (!group_terminate(tree) && result) {
    record_error(rep, "Error 10424: (process) Error writing to a report file");
    result = 0;
  }
  table_close(window);
  return result;
}

void *run_continuous_report(void *arg) {
  REPORT *rep = static_cast<REPORT *>(arg);
  const int db = rep->db;
  std::string status;
  time_t cutoff = 0;
  if (load_report_definition(rep, time(nullptr))) {
    report_load_zone(rep);
    db_result_ptr rs{db_execute2(db, "select report_table from continuous_reports where report_id=%d", rep->report_id)};
    const char *table = rs && rs->fields[0] ? rs->fields[0] : nullptr;
    if (!table) {
      record_error(rep, "Error 10427: (process) Error reading continuous report info from db");
    } else if (!continuous_table_name_valid(table)) {
      // The name never reaches SQL unchecked.
      record_error(rep, "Error 10427: (process) Error reading continuous report info from db");
    } else {
      free(rep->table);
      rep->table = strdup(table);
    }
    rs.reset();
    if (!rep->error && !report_calculate_period(rep, &cutoff))
      record_error(rep, "Error 10432: (process) Error processing the next run time value");
    if (!rep->error && !report_definition_add_date_range(rep))
      record_error(rep, "Error 10444: (process) Memory Allocation Error");
    if (!rep->error) {
      report_translate_relative_dates(rep);
      stats_last_report_started.store(time(nullptr));
      if (process_continuous_report(rep, db)) {
        stats_last_report_finished.store(time(nullptr));
        stats_count(&stats_num_cont_processed);
        if (cutoff) {
          db_query(db, "delete from `%s` where date<=%lld", rep->table, static_cast<long long>(cutoff));
          db_query(db, "delete from `%s_di` where date<=%lld", rep->table, static_cast<long long>(cutoff));
        }
        db_query(db, "update continuous_reports set next_run_time=from_unixtime(%li) where report_id=%d",
                 static_cast<long>(rep->next_run_time), rep->report_id);
        status = status_text_at("Processed Ok [%s]", rep->start);
        kxlog_send(KXLOG_MESSAGE, "Finish continuous report %d\n", rep->report_id);
      } else {
        if (rep->error) stats_count(&stats_num_rep_errors);
        stats_last_report_finished.store(time(nullptr));
      }
    }
  }
  status_save(rep, db, status.empty() ? nullptr : status.c_str(), 0);
  continuous_count.fetch_sub(1);
  db_close(db);
  free_report(rep);
  return nullptr;
}

int start_report_worker(int kind, REPORT *rep) {
  pthread_t thread;
  void *(*fn)(void *) = kind == REPORT_CONTINUOUS ? run_continuous_report : run_reports;
  if (pthread_create(&thread, nullptr, fn, rep) != 0) {
    kxlog_send(KXLOG_ERROR, "Error in pthread_create\n");
    return 1;
  }
  // Once created the thread owns the reports; a failed detach is only logged.
  if (pthread_detach(thread) != 0)
    kxlog_send(KXLOG_ERROR, kind == REPORT_DEMAND ? "Error in pthread_detach\n" : "Error in pthread_detatch\n");
  return 0;
}
