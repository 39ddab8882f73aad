#include "lib/runtime/db.h"

#include <mysqld_error.h>
#include <errmsg.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "lib/base/kxlog.h"

namespace {

// One connection slot.  Slots are allocated one by one and never move or
// go away, so a thread keeps using its slot while others grow the table,
// and a statement still running when the layer is terminated (the daemon
// stops under running report threads) ends on intact memory.
struct DB_CONNECTION {
  bool in_use = false;  // a free slot has no parameters
  unsigned long generation = 0;  // db_generation when opened
  std::string dbname, dbip, dbuser, dbpass;
  MYSQL *cn = nullptr;  // null until connected, and after a lost session
  std::atomic<unsigned long> reconnects{0};
  std::atomic<unsigned int> last_error{0};  // of the last statement
  std::mutex busy;  // held while a statement uses cn
};

// Lock order: a slot's busy lock, then db_lock.
std::mutex db_lock;  // guards db_con and each slot's in_use, generation and parameters
// Never destroyed, not even at exit, for the same reason as the slots.
std::vector<std::unique_ptr<DB_CONNECTION>> &db_con = *new std::vector<std::unique_ptr<DB_CONNECTION>>;
std::atomic<bool> db_initialized{false};
// Raised by every db_terminate: a slot opened before it is closed once its
// running statement ends.
unsigned long db_generation = 0;
std::once_flag db_library_once;

constexpr int kRetrySeconds = 10;

// What db_escaped gives when it cannot escape: no statement that holds it
// reaches the server (short enough to need no memory of its own).
constexpr char kUnescaped[] = "\xff\xfe<unescaped>";
static_assert(sizeof kUnescaped - 1 <= 15, "kept within std::string's own buffer");

// The slot of an open handle, or null; caller holds db_lock.
DB_CONNECTION *db_slot_locked(int handle) {
  if (!db_initialized || handle < 1 || static_cast<size_t>(handle) > db_con.size()) return nullptr;
  DB_CONNECTION *c = db_con[handle - 1].get();
  return c->in_use && c->generation == db_generation ? c : nullptr;
}

DB_CONNECTION *db_slot(int handle) {
  std::lock_guard<std::mutex> g(db_lock);
  return db_slot_locked(handle);
}

// Closes the slot's connection and frees the slot; caller holds db_lock and
// the slot's busy lock.
void db_free_slot(DB_CONNECTION *c) {
  if (c->cn) mysql_close(c->cn);
  c->cn = nullptr;
  c->dbname.clear();
  c->dbip.clear();
  c->dbuser.clear();
  c->dbpass.clear();
  c->in_use = false;
}

// The slot of an open handle held for one statement: no other thread closes
// its connection meanwhile.  Empty for a closed or invalid handle.
class slot_use {
 public:
  explicit slot_use(int handle) {
    DB_CONNECTION *c = db_slot(handle);
    if (!c) return;
    busy_ = std::unique_lock<std::mutex>(c->busy);
    // Closed or terminated while this thread waited for the slot.
    std::lock_guard<std::mutex> g(db_lock);
    if (db_slot_locked(handle) == c) c_ = c;
  }
  ~slot_use() {
    if (!c_) return;
    std::lock_guard<std::mutex> g(db_lock);
    // The layer was terminated while the statement ran: its slot closes now.
    if (c_->in_use && c_->generation != db_generation) db_free_slot(c_);
  }
  slot_use(const slot_use &) = delete;
  slot_use &operator=(const slot_use &) = delete;
  DB_CONNECTION *get() const { return c_; }

 private:
  std::unique_lock<std::mutex> busy_;
  DB_CONNECTION *c_ = nullptr;
};

void log_connect_failure(const DB_CONNECTION &c) {
  kxlog_send(KXLOG_ERROR, "Could not connect to database.  (ip=%s  user=%s  db name=%s)\n",
             c.dbip.c_str(), c.dbuser.c_str(), c.dbname.c_str());
}

// A new client object connected with the slot's parameters (utf8mb4, so
// that escape_encode's backslashes can never end a multi-byte character).
// Null when the object cannot be made (*init_failed set, logged) or the
// connection fails (left to the caller to report).
MYSQL *db_connect(const DB_CONNECTION &c, bool *init_failed) {
  *init_failed = false;
  MYSQL *m = mysql_init(nullptr);
  if (!m) {
    kxlog_send(KXLOG_ERROR, "Could not initialize a mysql connection.\n");
    *init_failed = true;
    return nullptr;
  }
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!mysql_real_connect(m, c.dbip.c_str(), c.dbuser.c_str(), c.dbpass.c_str(), c.dbname.c_str(),
                          0, nullptr, 0)) {
    mysql_close(m);
    return nullptr;
  }
  return m;
}

// Errors after which the session is gone and a new one must be made.
bool session_lost(unsigned int err) {
  return err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST || err == ER_CONNECTION_KILLED ||
         err == ER_SERVER_SHUTDOWN || err == 4031 /* ER_CLIENT_INTERACTION_TIMEOUT */;
}

// Makes a new session on the slot (c->cn, null when the server refused;
// its message once per statement through *reported).  False when no client
// object could be made (logged): the statement must give up.
bool db_reconnect(DB_CONNECTION *c, bool *reported) {
  bool init_failed = false;
  c->cn = db_connect(*c, &init_failed);
  if (!c->cn) {
    if (init_failed) return false;
    if (!*reported) log_connect_failure(*c);
    *reported = true;
  }
  return true;
}

// A session whose statements form a transaction (autocommit off, or one
// begun): losing it loses them all, so none of them may be run again alone.
bool in_transaction(const MYSQL *m) {
  return (m->server_status & SERVER_STATUS_IN_TRANS) || !(m->server_status & SERVER_STATUS_AUTOCOMMIT);
}

// Errors after which the server has rolled back the statement whole.
bool lock_conflict(unsigned int err) { return err == ER_LOCK_DEADLOCK || err == ER_LOCK_WAIT_TIMEOUT; }

// Runs one statement on the slot.  A lost session is made anew for ever
// (the statement runs again every 10 seconds until the server answers),
// except inside a transaction: there the statement fails, and the caller,
// who sees db_reconnect_count change, starts its sequence again.  A
// deadlock or lock wait timeout of an autocommit statement is tried again a
// few times.  The client object on success, null on a statement error.
MYSQL *db_run(DB_CONNECTION *c, const char *query) {
  if (strstr(query, kUnescaped)) {
    kxlog_send(KXLOG_ERROR, "DB Error: '%s' sql='%s'\n", "a text could not be escaped (out of memory)", query);
    c->last_error.store(CR_OUT_OF_MEMORY);
    return nullptr;
  }
  bool reported = false;  // the failed-connect message once per statement
  int lock_retries = 0;
  for (;;) {
    if (!c->cn && !db_reconnect(c, &reported)) return nullptr;
    if (c->cn) {
      const bool transaction = in_transaction(c->cn);
      if (mysql_query(c->cn, query) == 0) {
        c->last_error.store(0);
        return c->cn;
      }
      unsigned int err = mysql_errno(c->cn);
      c->last_error.store(err);
      if (lock_conflict(err) && !transaction && lock_retries < kDbLockRetries) {
        // Rolled back whole: safe to run again after a short pause.
        lock_retries++;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 * lock_retries));
        continue;
      }
      if (!session_lost(err)) {
        kxlog_send(KXLOG_ERROR, "DB Error: '%s' sql='%s'\n", mysql_error(c->cn), query);
        return nullptr;
      }
      // The old session (and every table lock it held) is gone: drop its
      // client object and make a new one.
      if (transaction) kxlog_send(KXLOG_ERROR, "DB Error: '%s' sql='%s'\n", mysql_error(c->cn), query);
      mysql_close(c->cn);
      c->cn = nullptr;
      c->reconnects.fetch_add(1);
      // The next statement makes the new session.
      if (transaction) return nullptr;
      if (!db_reconnect(c, &reported)) return nullptr;
    }
    // No session, or a fresh one: the statement runs again after the wait.
    std::this_thread::sleep_for(std::chrono::seconds(kRetrySeconds));
    if (!db_initialized) return nullptr;  // the layer was stopped meanwhile
  }
}

bool format_text(std::string *out, const char *format, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, format, ap2);
  va_end(ap2);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n) + 1);
  vsnprintf(out->data(), out->size(), format, ap);
  out->resize(static_cast<size_t>(n));
  return true;
}

}  // namespace

void db_library_initialize() {
  std::call_once(db_library_once, [] { mysql_library_init(0, nullptr, nullptr); });
}

int db_initialize() {
  db_library_initialize();
  std::lock_guard<std::mutex> g(db_lock);
  if (db_initialized) return 0;
  // The slots of an earlier run stay: free ones are reused, one whose
  // statement still runs is freed when it ends.
  db_initialized = true;
  return -1;
}

int db_terminate() {
  std::lock_guard<std::mutex> g(db_lock);
  if (!db_initialized) return 0;
  db_generation++;
  for (auto &c : db_con) {
    // A connection in use by a running statement is closed by that thread
    // when the statement ends (slot_use), never under it.
    std::unique_lock<std::mutex> busy(c->busy, std::try_to_lock);
    if (busy.owns_lock() && c->in_use) db_free_slot(c.get());
  }
  db_initialized = false;
  return -1;
}

int db_open(const char *dbname, const char *dbip, const char *dbuser, const char *dbpass) {
  if (!dbname || !dbip || !dbuser || !dbpass) return 0;
  DB_CONNECTION *c = nullptr;
  int handle = 0;
  {
    std::lock_guard<std::mutex> g(db_lock);
    if (!db_initialized) return 0;
    for (size_t i = 0; i < db_con.size(); i++) {
      if (!db_con[i]->in_use) {
        c = db_con[i].get();
        handle = static_cast<int>(i) + 1;
        break;
      }
    }
    try {
      if (!c) {
        db_con.push_back(std::make_unique<DB_CONNECTION>());
        c = db_con.back().get();
        handle = static_cast<int>(db_con.size());
      }
      c->dbname = dbname;
      c->dbip = dbip;
      c->dbuser = dbuser;
      c->dbpass = dbpass;
    } catch (...) {
      kxlog_send(KXLOG_ERROR, "Failed on Realloc, db_open\n");
      return 0;
    }
    c->in_use = true;
    c->generation = db_generation;
    c->reconnects.store(0);
    c->last_error.store(0);
    c->cn = nullptr;
  }
  bool init_failed = false;
  MYSQL *m = db_connect(*c, &init_failed);
  if (!m) {
    if (!init_failed) log_connect_failure(*c);
    // The slot goes back to the table at once.
    std::lock_guard<std::mutex> g(db_lock);
    c->in_use = false;
    return 0;
  }
  c->cn = m;
  return handle;
}

int db_open_clone(int handle) {
  std::string name, ip, user, pass;
  {
    std::lock_guard<std::mutex> g(db_lock);
    DB_CONNECTION *c = db_slot_locked(handle);
    if (!c) return 0;
    name = c->dbname;
    ip = c->dbip;
    user = c->dbuser;
    pass = c->dbpass;
  }
  return db_open(name.c_str(), ip.c_str(), user.c_str(), pass.c_str());
}

int db_close(int handle) {
  DB_CONNECTION *c = db_slot(handle);
  if (!c) return 0;
  // Waits for a statement that another thread runs on it.
  std::lock_guard<std::mutex> busy(c->busy);
  std::lock_guard<std::mutex> g(db_lock);
  if (db_slot_locked(handle) != c) return 0;
  db_free_slot(c);
  return -1;
}

MYSQL *db_query(int handle, const char *format, ...) {
  slot_use use(handle);
  DB_CONNECTION *c = use.get();
  if (!c) return nullptr;
  std::string q;
  va_list ap;
  va_start(ap, format);
  bool ok = format_text(&q, format, ap);
  va_end(ap);
  if (!ok) return nullptr;
  MYSQL *m = db_run(c, q.c_str());
  if (!m) return nullptr;
  // A statement that returned rows anyway: drop them, so the connection is
  // ready for the next statement.
  if (mysql_field_count(m) > 0) {
    MYSQL_RES *r = mysql_store_result(m);
    if (r) mysql_free_result(r);
  }
  return m;
}

DB_RESULT *db_execute_0(int handle, const char *query) {
  if (!query) return nullptr;
  slot_use use(handle);
  DB_CONNECTION *c = use.get();
  if (!c) return nullptr;
  MYSQL *m = db_run(c, query);
  if (!m) return nullptr;
  MYSQL_RES *r = mysql_store_result(m);
  if (!r) {
    c->last_error.store(mysql_errno(m));
    if (mysql_errno(m) != 0)
      kxlog_send(KXLOG_ERROR, "DB Error: '%s' sql='%s'\n", mysql_error(m), query);
    return nullptr;
  }
  auto *rs = static_cast<DB_RESULT *>(calloc(1, sizeof(DB_RESULT)));
  if (!rs) {
    kxlog_send(KXLOG_ERROR, "Failed on Malloc, db_execute\n");
    mysql_free_result(r);
    return nullptr;
  }
  rs->result = r;
  rs->record_count = static_cast<unsigned long>(mysql_num_rows(r));
  rs->movenext = db_rs_movenext;
  rs->close = db_rs_close;
  rs->eof = 0;
  rs->movenext(rs);
  return rs;
}

DB_RESULT *db_execute(int handle, const char *query) {
  DB_RESULT *rs = db_execute_0(handle, query);
  if (rs && rs->eof) {
    rs->close(rs);
    return nullptr;
  }
  return rs;
}

DB_RESULT *db_execute2(int handle, const char *format, ...) {
  std::string q;
  va_list ap;
  va_start(ap, format);
  bool ok = format_text(&q, format, ap);
  va_end(ap);
  if (!ok) {
    kxlog_send(KXLOG_ERROR, "Failed on vasprintf, db_execute2\n");
    return nullptr;
  }
  return db_execute(handle, q.c_str());
}

int db_rs_movenext(DB_RESULT *rs) {
  if (!rs) return -1;
  if (rs->eof == 0) {
    rs->fields = rs->result ? mysql_fetch_row(rs->result) : nullptr;
    if (rs->fields) {
      rs->lengths = mysql_fetch_lengths(rs->result);
    } else {
      rs->lengths = nullptr;
      rs->eof = -1;
    }
  }
  return rs->eof;
}

void db_rs_close(DB_RESULT *rs) {
  if (!rs) return;
  if (rs->result) mysql_free_result(rs->result);
  free(rs);
}

unsigned long db_reconnect_count(int handle) {
  DB_CONNECTION *c = db_slot(handle);
  return c ? c->reconnects.load() : 0;
}

unsigned int db_last_error(int handle) {
  DB_CONNECTION *c = db_slot(handle);
  return c ? c->last_error.load() : 0;
}

char *escape_encode(const char *str) {
  if (!str) return static_cast<char *>(calloc(1, 1));
  size_t n = strlen(str);
  auto *out = static_cast<char *>(malloc(2 * n + 1));
  if (!out) return nullptr;
  char *p = out;
  for (const char *s = str; *s; s++) {
    switch (*s) {
      case '\b': *p++ = '\\'; *p++ = 'b'; break;
      case '\t': *p++ = '\\'; *p++ = 't'; break;
      case '\n': *p++ = '\\'; *p++ = 'n'; break;
      case '\r': *p++ = '\\'; *p++ = 'r'; break;
      case '"': *p++ = '\\'; *p++ = '"'; break;
      case '\'': *p++ = '\\'; *p++ = '\''; break;
      case '\\': *p++ = '\\'; *p++ = '\\'; break;
      default: *p++ = *s;
    }
  }
  *p = '\0';
  return out;
}

std::string db_escaped(const char *str) {
  char *e = escape_encode(str);
  if (!e) return kUnescaped;
  std::string out(e);
  free(e);
  return out;
}
