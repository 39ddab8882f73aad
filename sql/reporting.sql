-- The reporting database: the tables that the web administration fills and
-- kxreporter reads and updates.  Load it into an existing database:
--   mariadb DBNAME < sql/reporting.sql
-- Every table is created only when missing, and the single row of `global`
-- only when absent, so loading the file twice changes nothing.
--
-- Texts compare byte by byte (utf8mb4_nopad_bin): the daemon merges and
-- bisects results ordered by the server ("order by path", "order by qgroup")
-- with byte-wise comparisons, so the server's order must be the same.
-- Date-time columns are converted with unix_timestamp()/from_unixtime();
-- a zero next_run_time marks a demand job that is done.

CREATE TABLE IF NOT EXISTS settings (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL,
  value TEXT NULL,
  KEY name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS servers (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ip VARCHAR(255) NOT NULL,
  url VARCHAR(1024) NULL,
  email_url VARCHAR(1024) NULL,
  restricted INT NULL DEFAULT 0,
  KEY ip (ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS demand_reports (
  report_id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL DEFAULT '',
  login VARCHAR(255) NOT NULL DEFAULT '',
  definition MEDIUMTEXT NULL,
  status TEXT NULL,
  error_flag INT NOT NULL DEFAULT 0,
  server INT NULL,
  next_run_time DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  email VARCHAR(1024) NOT NULL DEFAULT '',
  ttl INT NOT NULL DEFAULT 0,
  KEY login (login),
  KEY queue (error_flag, next_run_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS scheduled_reports (
  report_id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL DEFAULT '',
  login VARCHAR(255) NOT NULL DEFAULT '',
  definition MEDIUMTEXT NULL,
  status TEXT NULL,
  error_flag INT NOT NULL DEFAULT 0,
  server INT NULL,
  next_run_time DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  email VARCHAR(1024) NOT NULL DEFAULT '',
  ttl INT NOT NULL DEFAULT 0,
  run_interval INT NOT NULL DEFAULT 0,
  edited DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  seen DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  KEY login (login),
  KEY queue (error_flag, next_run_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS continuous_reports (
  report_id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL DEFAULT '',
  login VARCHAR(255) NOT NULL DEFAULT '',
  definition MEDIUMTEXT NULL,
  status TEXT NULL,
  error_flag INT NOT NULL DEFAULT 0,
  server INT NULL,
  next_run_time DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  run_interval INT NOT NULL DEFAULT 0,
  report_table VARCHAR(64) NULL,
  KEY queue (error_flag, next_run_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- type: 1 demand, 2 scheduled, 3 continuous.
CREATE TABLE IF NOT EXISTS run_on_servers (
  report_id INT NOT NULL,
  type INT NOT NULL,
  server INT NOT NULL,
  PRIMARY KEY (report_id, type, server)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- type: "d", "s" or "c"; time: seconds since the epoch of the request.
CREATE TABLE IF NOT EXISTS cancel_report (
  report_id INT NOT NULL,
  type CHAR(1) NOT NULL,
  time BIGINT NOT NULL DEFAULT 0,
  server INT NULL,
  KEY server (server)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS delete_files (
  fid INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  path VARBINARY(4096) NOT NULL,
  server INT NULL,
  KEY server (server)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS file_reports (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  path VARBINARY(4096) NULL,
  last_read DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- path: the instance directory, report directory text included, ending "/".
CREATE TABLE IF NOT EXISTS demand_report_instance (
  rid INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  report_id INT NOT NULL,
  path VARBINARY(4096) NULL,
  server INT NULL,
  started_at DATETIME NULL,
  finished_at DATETIME NULL,
  size BIGINT NOT NULL DEFAULT 0,
  security_key VARCHAR(255) NOT NULL DEFAULT '',
  KEY report_id (report_id),
  KEY server (server)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS scheduled_report_instance (
  rid INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  report_id INT NOT NULL,
  path VARBINARY(4096) NULL,
  server INT NULL,
  started_at DATETIME NULL,
  finished_at DATETIME NULL,
  size BIGINT NOT NULL DEFAULT 0,
  security_key VARCHAR(255) NOT NULL DEFAULT '',
  report_date DATETIME NULL,
  KEY report_id (report_id),
  KEY server (server)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS quota_groups (
  login VARCHAR(255) NOT NULL PRIMARY KEY,
  qgroup VARCHAR(255) NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- quota in bytes; the row "_global_" is the default quota.
CREATE TABLE IF NOT EXISTS quotas (
  qgroup VARCHAR(255) NOT NULL PRIMARY KEY,
  quota BIGINT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE IF NOT EXISTS unused_warnings (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  login VARCHAR(255) NOT NULL,
  email VARCHAR(1024) NOT NULL DEFAULT '',
  `key` VARCHAR(255) NOT NULL DEFAULT '',
  `date` DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  KEY login (login)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- Exactly one row: the number of the next report file.
CREATE TABLE IF NOT EXISTS global (
  id TINYINT NOT NULL DEFAULT 1 PRIMARY KEY CHECK (id = 1),
  next_rep_file INT NOT NULL DEFAULT 1
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
INSERT IGNORE INTO global (id, next_rep_file) VALUES (1, 1);

CREATE TABLE IF NOT EXISTS html_extensions (
  extension VARCHAR(64) NOT NULL PRIMARY KEY
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
