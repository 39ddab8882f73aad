// This server's row found through its interface addresses: a child process
// in a private network namespace gets an interface with an address of its
// own, and the row of that address wins over the localhost fallback.
// Skipped where the machine does not allow a network namespace.
#include "src/support/runtime.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/config.h"
#include "lib/runtime/db.h"
#include "lib/base/kxnet.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"

using kxtest::AdminConnection;
using kxtest::TestDatabase;

namespace {

constexpr int kSkip = 77;
const char *const kAddress = "10.213.7.9";

// In the child: a namespace with an interface holding kAddress.
bool make_interface() {
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  const char *kinds[] = {"ip link add kxd0 type dummy", "ip link add kxd0 type veth peer name kxd1",
                         "ip tuntap add dev kxd0 mode tap"};
  bool made = false;
  for (const char *k : kinds) {
    if (system((std::string(k) + " >/dev/null 2>&1").c_str()) == 0) {
      made = true;
      break;
    }
  }
  if (!made) return false;
  std::string addr = std::string("ip addr add ") + kAddress + "/24 dev kxd0 >/dev/null 2>&1";
  return system(addr.c_str()) == 0 && system("ip link set kxd0 up >/dev/null 2>&1") == 0 &&
         system("ip link set lo up >/dev/null 2>&1") == 0;
}

// The child's part: 0 when the row of kAddress was found, kSkip without a
// namespace, another code naming the failing step.
int child(const std::string &dbname) {
  if (!make_interface()) return kSkip;
  char list[6272];
  if (getifip_get_ip_list(list, sizeof list) != 0) return 2;
  if (std::string(list).find(std::string("'") + kAddress + "'") == std::string::npos) {
    fprintf(stderr, "interface list without the address: %s\n", list);
    return 3;
  }
  setenv("reportdb", dbname.c_str(), 1);
  setenv("reportip", "localhost", 1);
  if (support_env_init() != 0) return 4;
  if (db_initialize() != -1) return 5;
  support_initialized = 1;  // only the database part of the start-up
  reporter_settings s;
  int rc = support_start(&s);
  if (rc != -1) return 6;
  if (s.server_id != 42) {
    fprintf(stderr, "server id %d\n", s.server_id);
    return 7;
  }
  if (std::string(email_url) != "'http://mail.internal/'") return 8;
  db_terminate();
  return 0;
}

// In a namespace with no interface but lo the list is empty: that is
// reported, and the database host "localhost" finds the localhost row.
int child_without_interfaces(const std::string &dbname, const std::string &errfile) {
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return kSkip;
  if (!freopen(errfile.c_str(), "w", stderr)) return 2;
  setvbuf(stderr, nullptr, _IONBF, 0);
  setenv("reportdb", dbname.c_str(), 1);
  setenv("reportip", "localhost", 1);
  if (support_env_init() != 0 || db_initialize() != -1) return 4;
  support_initialized = 1;
  reporter_settings s;
  if (support_start(&s) != -1) return 6;
  if (s.server_id != 3) return 7;
  db_terminate();
  return 0;
}

// Runs fn in a child process; its exit status, or -1.
int run_child(const std::function<int()> &fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(fn());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(StartupNetns, NoInterfaceAddressesFallBackToLocalhost) {
  KX_REQUIRE_DB();
  TestDatabase db("netns0");
  ASSERT_TRUE(db.ok()) << db.error();
  AdminConnection admin(db.name());
  ASSERT_TRUE(admin.exec("insert into servers (id, ip) values (3, 'localhost'), (4, '10.213.7.9')"));
  char tmpl[] = "/tmp/kxnetns.XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string errfile = tmpl;
  int rc = run_child([&] { return child_without_interfaces(db.name(), errfile); });
  std::string err = kxtest::read_text_file(errfile);
  unlink(tmpl);
  if (rc == kSkip) GTEST_SKIP() << "no private network namespace here";
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(err, "No interface IP addresses found\n");
}

TEST(StartupNetns, ServerRowFoundByInterfaceAddress) {
  KX_REQUIRE_DB();
  TestDatabase db("netns");
  ASSERT_TRUE(db.ok()) << db.error();
  AdminConnection admin(db.name());
  ASSERT_TRUE(admin.exec(std::string("insert into servers (id, ip, email_url, restricted) values "
                                     "(3, 'localhost', NULL, 0), (42, '") +
                         kAddress + "', 'http://mail.internal/', 1)"))
      << admin.error();
  int rc = run_child([&] { return child(db.name()); });
  if (rc == kSkip) GTEST_SKIP() << "no private network namespace with an interface here";
  EXPECT_EQ(rc, 0) << "the child failed at step " << rc;
}

}  // namespace
