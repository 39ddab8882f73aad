// MySQL access layer: connections named by small integer handles,
// printf-style statements, result sets that stand on their first row, and
// a reconnect-and-retry when the server connection is lost.
//
// A handle is 1 + the index of a slot in the process-wide connection table;
// 0 means failure.  One connection must not be used by two threads at once:
// each thread works on its own handle (db_open_clone).  Slots never move, so
// threads may open and close handles while others run statements.
//
// Truth values of the set-up and close calls: -1 success, 0 failure.
#pragma once

#include <mysql.h>

#include <memory>
#include <string>

// One result set, stored whole on the client side.  `fields` holds the
// current row's values by column index (null for SQL NULL), `lengths` their
// byte lengths; `eof` is 0 while a row is current and -1 past the last row.
// Call the operations through the record: rs->movenext(rs), rs->close(rs).
struct DB_RESULT {
  MYSQL_RES *result;
  MYSQL_ROW fields;
  unsigned long *lengths;
  unsigned long record_count;
  int (*movenext)(DB_RESULT *rs);
  void (*close)(DB_RESULT *rs);
  int eof;
};

// Initialises the MySQL client library's global state, once per process
// (later calls do nothing).  The library's own set-up is not thread-safe:
// call it on the main thread before any other thread starts.  It reads
// MYSQL_UNIX_PORT then.
void db_library_initialize();

// Creates the empty connection table and initialises the client library
// (once per process; call it before any thread uses the layer).  -1 ok; 0
// when already initialised.
int db_initialize();

// Closes every connection and frees every slot.  -1 ok, 0 when not
// initialised.  Threads may still be inside a statement (the daemon stops
// under running report threads): such a statement ends normally and its
// connection is closed when it ends; every later call on any handle fails.
int db_terminate();

// Opens a connection (utf8mb4) to host dbip as dbuser with dbpass, database
// dbname; the strings are copied.  "localhost" goes through the Unix socket
// (MYSQL_UNIX_PORT or the client's default).  The handle, or 0 when not
// initialised, an argument is null, or the connection fails (logged).
int db_open(const char *dbname, const char *dbip, const char *dbuser, const char *dbpass);

// A further connection with the stored parameters of an open handle; 0 for
// an invalid or closed handle or when the connection fails.
int db_open_clone(int handle);

// Closes the connection and frees its slot for the next db_open (after a
// statement that another thread runs on it has ended).  -1 ok; 0 when not
// initialised, the handle is out of range or already closed.
int db_close(int handle);

// Formats and runs a statement without fetching a result.  Non-null (the
// client object, to be used only as a success test) on success; null on a
// statement error (logged with the statement), on a closed handle or when
// formatting fails.  A lost server connection is reconnected and the
// statement run again every 10 seconds until the server answers; but a
// statement of a transaction (autocommit off) is not run again: it fails,
// the transaction is gone with the old session, db_reconnect_count tells,
// and the next statement makes a new session (in autocommit again).  An
// autocommit statement refused for a deadlock or a lock wait timeout is
// run again up to kDbLockRetries times.  A statement that holds the text
// of a failed db_escaped fails without reaching the server.
MYSQL *db_query(int handle, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Runs query and stores its whole result, moved to the first row (`eof` -1
// for an empty result).  Null on error, for a statement without a result
// set, or on allocation failure.  The caller closes the result.
DB_RESULT *db_execute_0(int handle, const char *query);

// As db_execute_0, but an empty result gives null: a non-null result always
// has a current row.
DB_RESULT *db_execute(int handle, const char *query);

// printf-style db_execute.  db_execute_0 and db_execute run their statement
// as db_query does.
DB_RESULT *db_execute2(int handle, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The `movenext` and `close` operations of every DB_RESULT.  movenext steps
// to the next row and returns `eof`; after the last row `fields` and
// `lengths` are null.  close frees the result and the record (null-safe).
int db_rs_movenext(DB_RESULT *rs);
void db_rs_close(DB_RESULT *rs);

// How many times an autocommit statement that the server rolled back for a
// deadlock (1213) or a lock wait timeout (1205) is run again before it fails.
constexpr int kDbLockRetries = 5;

// The server's error number of the handle's last statement: 0 after one that
// succeeded; 0 for an invalid handle.
unsigned int db_last_error(int handle);

// How many times the handle's session was lost and replaced by a new one
// since it was opened; 0 for an invalid handle.  A caller that holds table
// locks compares the count before and after its statements: a change means
// the locks went with the old session and the sequence must start again.
unsigned long db_reconnect_count(int handle);

// A new heap string (free with free()) for use inside a quoted SQL string
// literal: backspace, tab, line feed, carriage return, both quotes and the
// backslash are escaped with a backslash.  Null str gives an empty string;
// null on allocation failure.  Sound for the utf8mb4 connections made here.
char *escape_encode(const char *str);

// Owns a result set and closes it when it goes out of scope.
struct db_result_closer {
  void operator()(DB_RESULT *rs) const {
    if (rs) rs->close(rs);
  }
};
using db_result_ptr = std::unique_ptr<DB_RESULT, db_result_closer>;

// escape_encode as a string (empty for null).  When memory runs out it is a
// text that makes every statement holding it fail (logged), so a statement
// never runs with an empty text in its place.
std::string db_escaped(const char *str);
