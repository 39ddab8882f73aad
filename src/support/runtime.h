// Runtime start-up and stop shared by the daemon and the viewer tools, the
// main database connection, and the identification of this server in the
// `servers` table.
//
// Daemon order: configuration lines in code, database variables from the
// environment, time service, logging, SNMP agent, database layer, then
// support_start.  support_terminate stops in reverse, and only the services
// that the start-up actually started.
#pragma once

struct reporter_settings;

// 1 once a runtime start-up (daemon or viewer) has run; 0 after
// support_terminate.
extern int support_initialized;
// Handle of the main database connection; 0 = none.
extern int support_db;
// The environment variables reportip, reportlogin, reportpassword and
// reportdb (pointers into the environment, not copied; null when unset).
extern char *support_db_ip, *support_db_user, *support_db_pass, *support_db_name;
// The web-server argument of the e-mail script, already quoted for the
// shell (owned here; null before support_start succeeded and after
// support_terminate, whose text stays readable for threads that still hold it).
extern char *email_url;

// The daemon's runtime start-up: -1 on success (also when already
// initialised), 0 on failure after the step's own words.  settings gets the
// server id and restricted flag of this server's row.
int support_kxreporter_initialize(reporter_settings *settings);

// The viewer tools' start-up: persistent lines that disable every log, the
// module registry with the logging module; then support_start without
// settings (which fails without database variables, reported and to be
// ignored by the viewer).  -1 at once when already initialised; 0 when the
// registry fails; else the result of support_start.
int support_viewer_initialize();

// Opens the main connection from the environment variables and finds this
// server's row by its interface addresses (or, with a database host of
// "localhost" or "127.0.0.1", a row whose ip is one of those).  Fills
// server_id and restricted when settings is non-null, and email_url.  -1 on
// success, 0 on failure (also when support_initialized is 0).  A main
// connection of an earlier call is closed first.
int support_start(reporter_settings *settings);

// Stops what the start-up started: persistent configuration lines,
// database layer, SNMP agent, logging, module registry, time service.
// Returns 0.
int support_terminate();

// Reads the four database variables: 0 when all are set, -1 at the first
// missing one ("Environment variable NAME not set.\n" at level 4).
int support_env_init();

// Fills `settings` (src/support/settings.h) from the main connection
// (support_db) with reporter_load_settings_from.
void reporter_load_settings();
