// A database of its own for one test executable on the private server that
// scripts/testdb.sh starts (MYSQL_UNIX_PORT and the report* variables), made
// from sql/reporting.sql and dropped again at the end.  Without the server
// the tests skip.
#pragma once

#include <mysql.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"

namespace kxtest {

inline const char *env_or(const char *name, const char *fallback) {
  const char *v = getenv(name);
  return v ? v : fallback;
}

inline bool db_server_available() { return getenv("MYSQL_UNIX_PORT") != nullptr; }

#define KX_REQUIRE_DB()                                                                  \
  do {                                                                                   \
    if (!kxtest::db_server_available())                                                  \
      GTEST_SKIP() << "MYSQL_UNIX_PORT is not set: no test database server "             \
                      "(run the tests through scripts/test.sh or source scripts/testdb.sh)"; \
  } while (0)

// A raw client connection for setting up and checking rows behind the back
// of the layer under test.
class AdminConnection {
 public:
  explicit AdminConnection(const std::string &db = std::string()) {
    m_ = mysql_init(nullptr);
    mysql_options(m_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(m_, "localhost", env_or("reportlogin", "root"),
                            env_or("reportpassword", ""), db.empty() ? nullptr : db.c_str(), 0,
                            getenv("MYSQL_UNIX_PORT"), CLIENT_MULTI_STATEMENTS)) {
      error_ = mysql_error(m_);
      mysql_close(m_);
      m_ = nullptr;
    }
  }
  ~AdminConnection() {
    if (m_) mysql_close(m_);
  }
  AdminConnection(const AdminConnection &) = delete;
  AdminConnection &operator=(const AdminConnection &) = delete;

  bool ok() const { return m_ != nullptr; }
  const std::string &error() const { return error_; }

  // Runs every statement of sql; false with error() set on the first error.
  bool exec(const std::string &sql) {
    if (!m_) return false;
    if (mysql_real_query(m_, sql.data(), sql.size()) != 0) {
      error_ = mysql_error(m_);
      return false;
    }
    for (;;) {
      MYSQL_RES *r = mysql_store_result(m_);
      if (r) mysql_free_result(r);
      int st = mysql_next_result(m_);
      if (st > 0) {
        error_ = mysql_error(m_);
        return false;
      }
      if (st < 0) return true;
    }
  }

  // The first column of the first row ("NULL" for SQL NULL, "" for no row).
  std::string scalar(const std::string &sql) {
    if (!m_ || mysql_query(m_, sql.c_str()) != 0) {
      error_ = m_ ? mysql_error(m_) : "no connection";
      return "<error: " + error_ + ">";
    }
    MYSQL_RES *r = mysql_store_result(m_);
    if (!r) return "";
    MYSQL_ROW row = mysql_fetch_row(r);
    std::string v = !row ? "" : row[0] ? row[0] : "NULL";
    mysql_free_result(r);
    return v;
  }

  MYSQL *raw() { return m_; }

 private:
  MYSQL *m_ = nullptr;
  std::string error_;
};

inline std::string read_text_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Database "kxtest_<tag>_<pid>" holding the reporting schema.
class TestDatabase {
 public:
  explicit TestDatabase(const std::string &tag)
      : name_("kxtest_" + tag + "_" + std::to_string(getpid())) {
    AdminConnection a;
    if (!a.ok()) {
      error_ = "connect: " + a.error();
      return;
    }
    if (!a.exec("DROP DATABASE IF EXISTS " + name_ + "; CREATE DATABASE " + name_ +
                " CHARACTER SET utf8mb4")) {
      error_ = "create: " + a.error();
      return;
    }
    AdminConnection s(name_);
    std::string schema = read_text_file(std::string(KX_SOURCE_DIR) + "/sql/reporting.sql");
    if (schema.empty()) {
      error_ = "sql/reporting.sql is missing or empty";
      return;
    }
    if (!s.exec(schema)) {
      error_ = "schema: " + s.error();
      return;
    }
    ok_ = true;
  }
  ~TestDatabase() {
    AdminConnection a;
    a.exec("DROP DATABASE IF EXISTS " + name_);
  }
  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  const std::string &name() const { return name_; }

  // A handle of the database layer on this database (the layer initialised
  // first when it is not yet); 0 when the connection fails.
  int open_handle() const {
    db_initialize();
    return db_open(name_.c_str(), "localhost", env_or("reportlogin", "root"), env_or("reportpassword", ""));
  }

 private:
  std::string name_;
  std::string error_;
  bool ok_ = false;
};

}  // namespace kxtest
