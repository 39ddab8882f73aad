#include "src/support/runtime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/runtime/config.h"
#include "lib/runtime/db.h"
#include "lib/runtime/kxlogfile.h"
#include "lib/base/kxnet.h"
#include "lib/runtime/kxpolicy.h"
#include "lib/runtime/kxsnmp.h"
#include "lib/base/kxstring.h"
#include "lib/runtime/kxtime.h"
#include "src/support/settings.h"

int support_initialized = 0;
int support_db = 0;
char *support_db_ip = nullptr;
char *support_db_user = nullptr;
char *support_db_pass = nullptr;
char *support_db_name = nullptr;
char *email_url = nullptr;

namespace {

// What the start-up has started, so that the stop undoes only that.
bool time_started = false;
bool log_started = false;
bool snmp_started = false;
bool db_started = false;
bool registry_started = false;

constexpr int kInterfaceListSize = 6272;

// email_url of a stopped runtime.  Report threads are not waited for at the
// stop and may be formatting a mail command with the text right then, so it
// is freed only by the next support_start (start-up: no report thread runs).
char *retired_email_url = nullptr;

const char *text_or_empty(const char *s) { return s ? s : ""; }

// The e-mail script's web-server argument from the server row.  Every form
// is quoted for the shell: the row's texts are not trusted in a command.
char *make_email_url(const char *email_col, const char *url_col, const char *ip_col) {
  if (email_col && *email_col) return string_escapeshellarg(email_col);
  if (url_col && *url_col) return string_escapeshellarg(url_col);
  char *formed = nullptr;
  if (asprintf(&formed, "http://%s:8080/zididevuzizazo", text_or_empty(ip_col)) < 0) return nullptr;
  char *quoted = string_escapeshellarg(formed);
  free(formed);
  return quoted;
}

}  // namespace

int support_env_init() {
  struct Var {
    const char *name;
    char **target;
  } vars[] = {{"reportip", &support_db_ip},
              {"reportlogin", &support_db_user},
              {"reportpassword", &support_db_pass},
              {"reportdb", &support_db_name}};
  for (auto &v : vars) {
    *v.target = getenv(v.name);
    if (!*v.target) {
      kxlog_send(KXLOG_ERROR, "Environment variable %s not set.\n", v.name);
      return -1;
    }
  }
  return 0;
}

int support_kxreporter_initialize(reporter_settings *s) {
  if (support_initialized == 1) return -1;
  // The client library is set up before the service threads start.
  db_library_initialize();
  configuration *config = config_configuration_create();
  if (!config) {
    kxlog_send(KXLOG_ERROR, "Failed to create config\n");
    return 0;
  }
  bool ok = config_configuration_add_line(config, "program_name kxreporter") == 0 &&
            config_configuration_add_line(config, "log_remoteadmin_enabled 0") == 0;
  if (!ok) {
    kxlog_send(KXLOG_ERROR, "Failed to create config\n");
  } else if (support_env_init() != 0) {
    printf("Could not initialize the environment\n");
    ok = false;
  } else if (kxtime_initialize() != 0) {
    printf("Could not initialize the time\n");
    ok = false;
  } else {
    time_started = true;
    log_started = true;  // a failed start may still have made logs
    if (kxlog_config_initialize(1, config, nullptr, nullptr) != 0) {
      ok = false;
    } else {
      snmp_started = true;  // likewise for the agent library
      if (snmp_lib_config_initialize(1, config, nullptr, nullptr) != 0) {
        ok = false;
      } else if (db_initialize() != -1) {
        printf("Error at database connect initialization\n");
        ok = false;
      } else {
        db_started = true;
      }
    }
  }
  fflush(stdout);
  config_configuration_free(config);
  if (!ok) return 0;
  support_initialized = 1;
  return support_start(s);
}

int support_viewer_initialize() {
  if (support_initialized == 1) return -1;
  static const char *const lines[] = {"module_config_dump false", "program_name kxviewer",
                                      "log_remoteadmin_enabled 0", "log_debug_enabled 0",
                                      "log_message_enabled 0",    "log_error_enabled 0"};
  for (const char *l : lines) {
    char *copy = strdup(l);
    if (!copy || config_persistant_add_line(copy) != 0) return 0;
  }
  if (kxpolicy_module_init() != 0) return 0;
  registry_started = true;
  if (kxpolicy_module_append("kxlog", kxlog_config_initialize, kxlog_config_dump, kxlog_config_terminate) != 0)
    return 0;
  support_initialized = 1;
  return support_start(nullptr);
}

int support_start(reporter_settings *s) {
  if (!support_initialized) return 0;
  if (support_db) {
    db_close(support_db);
    support_db = 0;
  }
  support_db = db_open(support_db_name, support_db_ip, support_db_user, support_db_pass);
  if (!support_db) {
    kxlog_send(KXLOG_ERROR, "Failed on Opening Database\n");
    return 0;
  }
  char list[kInterfaceListSize];
  list[0] = '\0';
  if (getifip_get_ip_list(list, sizeof list) != 0) {
    kxlog_send(KXLOG_ERROR, "Failed to get Interfaces IP list\n");
    return 0;
  }
  DB_RESULT *rs = nullptr;
  if (!list[0])
    kxlog_send(KXLOG_ERROR, "No interface IP addresses found\n");
  else
    rs = db_execute2(support_db, "select id, email_url, url, ip, restricted from servers where ip in (%s)", list);
  if (!rs && support_db_ip && (strcmp(support_db_ip, "localhost") == 0 || strcmp(support_db_ip, "127.0.0.1") == 0))
    rs = db_execute(support_db,
                    "select id, email_url, url, ip, restricted from servers where ip='localhost' or ip='127.0.0.1' ");
  if (!rs) {
    kxlog_send(KXLOG_MESSAGE, "ERROR: This server is not configured in the 'servers' table\n");
    kxlog_send(KXLOG_ERROR, "This server is not configured in the 'servers' table\n");
    kxlog_send(KXLOG_ERROR,
               "Check that a record with one of the following IPs '%s', is included in the reporter database on %s\n",
               list, text_or_empty(support_db_ip));
    return 0;
  }
  // NULL columns are absent values, never numbers or texts.
  if (s) {
    if (rs->fields[0]) s->server_id = atoi(rs->fields[0]);
    s->restricted = rs->fields[4] ? atoi(rs->fields[4]) : 0;
  }
  char *url = make_email_url(rs->fields[1], rs->fields[2], rs->fields[3]);
  rs->close(rs);
  free(email_url);
  free(retired_email_url);
  retired_email_url = nullptr;
  email_url = url;
  if (!email_url) {
    kxlog_send(KXLOG_ERROR, "Failed on Malloc, support_start\n");
    return 0;
  }
  return -1;
}

int support_terminate() {
  support_initialized = 0;
  if (email_url) {
    free(retired_email_url);
    retired_email_url = email_url;
    email_url = nullptr;
  }
  config_persistant_terminate();
  if (db_started) {
    db_terminate();
    db_started = false;
  }
  support_db = 0;
  if (snmp_started) {
    snmp_lib_config_terminate(1, nullptr);
    snmp_started = false;
  }
  if (log_started) {
    kxlog_config_terminate(1, nullptr);
    log_started = false;
  }
  if (registry_started) {
    kxpolicy_module_terminate();
    registry_started = false;
  }
  if (time_started) {
    kxtime_terminate();
    time_started = false;
  }
  return 0;
}

void reporter_load_settings() { reporter_load_settings_from(support_db, &settings); }
