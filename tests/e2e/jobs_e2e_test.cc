// Every job's outcome lands exactly once: the real daemon with an instance
// row the database refuses, with replies lost between a statement and its
// answer (a relay on a socket of its own drops the session right after the
// server answered), killed between the statements that finish a report,
// and with an error text far longer than its column.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/base/kxfile.h"

#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

namespace fs = std::filesystem;

// A relay between clients and the database server on a Unix socket of its
// own. The first statement (of any session) that begins with `statement`
// meets the fault, once: either the server runs it and answers, and the
// relay drops the session before the answer reaches the client; or the
// relay kills the client process before the statement goes on.
class FaultRelay {
 public:
  enum class Fault { lose_reply, kill_client };

  FaultRelay(std::string statement, Fault fault) : statement_(std::move(statement)), fault_(fault) {
    const char *server = getenv("MYSQL_UNIX_PORT");
    if (!server) return;
    server_ = server;
    path_ = "/tmp/kxrelay-" + std::to_string(getpid()) + "-" + std::to_string(serial()++) + ".sock";
    unlink(path_.c_str());
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = address(path_);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_, 64) != 0 ||
        pipe2(stop_, O_CLOEXEC) != 0)
      return;
    thread_ = std::thread([this] { run(); });
  }
  ~FaultRelay() {
    if (thread_.joinable()) {
      (void)!write(stop_[1], "x", 1);
      thread_.join();
    }
    for (int fd : {listen_, stop_[0], stop_[1]})
      if (fd >= 0) close(fd);
    if (!path_.empty()) unlink(path_.c_str());
  }
  FaultRelay(const FaultRelay &) = delete;
  FaultRelay &operator=(const FaultRelay &) = delete;

  bool ok() const { return thread_.joinable(); }
  const std::string &path() const { return path_; }
  bool met() const { return met_.load(); }
  void set_victim(pid_t pid) { victim_.store(pid); }

 private:
  struct Session {
    int client = -1, server = -1;
    std::string from_client;  // bytes of a packet not yet complete
    std::string greeting;     // the server's first packet until complete
    bool greeted = false;
  };

  static int &serial() {
    static int n = 0;
    return n;
  }
  static sockaddr_un address(const std::string &path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
  }
  static bool write_all(int fd, const char *p, size_t n) { return file_write_all(fd, p, n); }
  // Reads exactly n bytes (30 s at most).
  static bool read_exactly(int fd, char *p, size_t n) {
    while (n > 0) {
      pollfd pf{fd, POLLIN, 0};
      if (poll(&pf, 1, 30000) <= 0) return false;
      ssize_t r = read(fd, p, n);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static size_t packet_length(const std::string &b) {
    return 4 + (static_cast<unsigned char>(b[0]) | static_cast<unsigned char>(b[1]) << 8 |
                static_cast<unsigned char>(b[2]) << 16);
  }

  static void end(Session &s) {
    if (s.client >= 0) close(s.client);
    if (s.server >= 0) close(s.server);
    s.client = s.server = -1;
  }

  // The client's complete packets go on to the server; the one statement
  // meets the fault. False when the session is over.
  bool from_client(Session &s) {
    while (s.from_client.size() >= 4 && s.from_client.size() >= packet_length(s.from_client)) {
      const size_t n = packet_length(s.from_client);
      const std::string packet = s.from_client.substr(0, n);
      s.from_client.erase(0, n);
      const bool query = n > 5 && packet[4] == 0x03;
      if (query && !met_.load() && packet.compare(5, statement_.size(), statement_) == 0) {
        met_.store(true);
        if (fault_ == Fault::kill_client) {
          if (victim_.load() > 0) kill(victim_.load(), SIGKILL);
        } else if (write_all(s.server, packet.data(), packet.size())) {
          // The server runs it and answers; the answer goes nowhere.
          char head[4];
          if (read_exactly(s.server, head, 4)) {
            std::string reply(packet_length(std::string(head, 4)) - 4, '\0');
            read_exactly(s.server, reply.data(), reply.size());
          }
        }
        return false;
      }
      if (!write_all(s.server, packet.data(), packet.size())) return false;
    }
    return true;
  }

  // The server's bytes go on to the client; its greeting without the offer
  // of TLS, so that the statements stay readable here.
  bool from_server(Session &s, const char *p, size_t n) {
    if (s.greeted) return write_all(s.client, p, n);
    s.greeting.append(p, n);
    if (s.greeting.size() < 4 || s.greeting.size() < packet_length(s.greeting)) return true;
    // Protocol byte, version text, connection id, 8 scramble bytes, filler,
    // then the low half of the capabilities (CLIENT_SSL is 0x0800).
    size_t at = 5 + strnlen(s.greeting.data() + 5, s.greeting.size() - 5) + 1 + 4 + 8 + 1;
    if (at + 1 < s.greeting.size()) s.greeting[at + 1] = static_cast<char>(s.greeting[at + 1] & ~0x08);
    s.greeted = true;
    return write_all(s.client, s.greeting.data(), s.greeting.size());
  }

  void run() {
    std::vector<Session> sessions;
    for (;;) {
      std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (const Session &s : sessions) {
        fds.push_back({s.client, POLLIN, 0});
        fds.push_back({s.server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents) break;
      const size_t known = sessions.size();
      if (fds[1].revents & POLLIN) {
        Session s;
        s.client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        s.server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = address(server_);
        if (s.client >= 0 && s.server >= 0 && connect(s.server, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
          sessions.push_back(s);
        else
          end(s);
      }
      for (size_t i = 0; i < known; i++) {
        Session &s = sessions[i];
        for (int side = 0; side < 2 && s.client >= 0; side++) {
          const pollfd &pf = fds[2 + 2 * i + side];
          if (!pf.revents) continue;
          char buf[65536];
          ssize_t r = read(pf.fd, buf, sizeof buf);
          if (r < 0 && errno == EINTR) continue;
          bool alive = r > 0;
          if (alive && side == 0) {
            s.from_client.append(buf, static_cast<size_t>(r));
            alive = from_client(s);
          } else if (alive) {
            alive = from_server(s, buf, static_cast<size_t>(r));
          }
          if (!alive) end(s);
        }
      }
      std::erase_if(sessions, [](const Session &s) { return s.client < 0; });
    }
    for (Session &s : sessions) end(s);
  }

  std::string statement_;
  Fault fault_;
  std::string server_, path_;
  int listen_ = -1;
  int stop_[2] = {-1, -1};
  std::atomic<bool> met_{false};
  std::atomic<pid_t> victim_{0};
  std::thread thread_;
};

std::string definition(time_t from, time_t to) {
  return kxtest::definition_of(kxtest::kOneLevelDefinition, from, to);
}

using kxtest::files_below;

class Jobs : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    fs::create_directories(d_.root() + "/tmp");
    ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('report_dir', '" + d_.store() +
                                "'), ('temp_dir', '" + d_.root() + "/tmp/'), "
                                "('process_demand_reports', '1'), ('process_scheduled_reports', '1'), "
                                "('concurrent_demand_reports', '2'), ('concurrent_scheduled_reports', '2'), "
                                "('max_parallel_reports', '3')"))
        << d_.admin().error();
    t0_ = time(nullptr) - 7200;
    reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1",
                      reqlog::sb_image(reqlog::sb_sample(50, static_cast<int32_t>(t0_), 10)));
  }
  void TearDown() override {
    if (d_.running()) d_.stop(SIGTERM);
  }

  void queue_demand(int id, const std::string &def, const std::string &email = "") {
    ASSERT_TRUE(d_.admin().exec("insert into demand_reports (report_id, name, login, email, next_run_time, "
                                "definition) values (" +
                                std::to_string(id) + ", 'd" + std::to_string(id) + "', 'admin', '" + email +
                                "', now() - interval 2 second, '" + def + "')"))
        << d_.admin().error();
  }
  // The daemon with its database sessions through the relay.
  bool start_through(FaultRelay &relay) {
    const std::string server = getenv("MYSQL_UNIX_PORT");
    setenv("MYSQL_UNIX_PORT", relay.path().c_str(), 1);
    bool started = d_.start();
    setenv("MYSQL_UNIX_PORT", server.c_str(), 1);
    relay.set_victim(d_.pid());
    return started;
  }
  // The job's status once it is saved (not "" and not "Started ...").
  std::string final_status(const std::string &table, int id, int seconds = 90) {
    return d_.wait_for_sql(
        "select status from " + table + " where report_id=" + std::to_string(id) + " and error_flag<>1 and status<>''",
        [](const std::string &v) { return !v.empty(); }, seconds);
  }
  std::string scalar(const std::string &sql) { return d_.admin().scalar(sql); }
  // The mails the stand-in script was asked to send: their -i arguments.
  std::vector<std::string> mails() {
    std::vector<std::string> out;
    std::string text = kxtest::read_text_file(d_.root() + "/mail.txt");
    for (size_t at = text.find("-i\n"); at != std::string::npos; at = text.find("-i\n", at + 3))
      out.push_back(text.substr(at + 3, text.find('\n', at + 3) - at - 3));
    return out;
  }

  kxtest::DaemonSandbox d_{"jobs"};
  time_t t0_ = 0;
};

// The database refuses the instance row of one report of a scheduled batch
// and of one demand report: those jobs fail with their error text, mail
// nobody and lose their files; the others are saved and mail a link to
// their own instance.
TEST_F(Jobs, ARefusedInstanceRowFailsOnlyItsJob) {
  ASSERT_TRUE(d_.admin().exec(
      "create trigger refuse_s before insert on scheduled_report_instance for each row "
      "if new.report_id=2 then signal sqlstate 'HY000' set mysql_errno=1114, message_text='The table is full'; "
      "end if;"
      "create trigger refuse_d before insert on demand_report_instance for each row "
      "if new.report_id=3 then signal sqlstate 'HY000' set mysql_errno=1114, message_text='The table is full'; "
      "end if"))
      << d_.admin().error();
  // Two daily reports due at today's midnight: one batch, one connection.
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const time_t midnight = mktime(&tm);
  reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_2",
                    reqlog::sb_image(reqlog::sb_sample(50, static_cast<int32_t>(midnight - 86400 + 3600), 10)));
  const std::string daily = "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";
  for (int id = 1; id <= 2; id++)
    ASSERT_TRUE(d_.admin().exec("insert into scheduled_reports (report_id, name, login, email, next_run_time, "
                                "run_interval, definition) values (" +
                                std::to_string(id) + ", 's', 'admin', 'a@x.example', from_unixtime(" +
                                std::to_string(midnight) + "), 27, '" + daily + "')"))
        << d_.admin().error();
  queue_demand(3, definition(t0_, t0_ + 1000), "a@x.example");
  queue_demand(4, definition(t0_, t0_ + 1000), "a@x.example");
  ASSERT_TRUE(d_.start());

  const std::string refused = "Error 10448: (process) Error saving the report instance in db";
  EXPECT_EQ(final_status("scheduled_reports", 2), refused) << d_.log("error");
  EXPECT_EQ(final_status("demand_reports", 3), refused) << d_.log("error");
  EXPECT_EQ(final_status("scheduled_reports", 1).rfind("Processed Ok [", 0), 0u) << d_.log("error");
  EXPECT_EQ(final_status("demand_reports", 4).rfind("Processed Ok [", 0), 0u) << d_.log("error");
  EXPECT_EQ(scalar("select error_flag from scheduled_reports where report_id=2"), "2");
  EXPECT_EQ(scalar("select error_flag from demand_reports where report_id=3"), "2");
  // The failed scheduled job keeps its due time: it is not skipped.
  EXPECT_EQ(scalar("select unix_timestamp(next_run_time) from scheduled_reports where report_id=2"),
            std::to_string(midnight));
  EXPECT_EQ(scalar("select count(*) from scheduled_report_instance"), "1");
  EXPECT_EQ(scalar("select count(*) from demand_report_instance"), "1");

  const std::string s1 = scalar("select rid from scheduled_report_instance where report_id=1");
  const std::string d4 = scalar("select rid from demand_report_instance where report_id=4");
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 4\n", 10));
  ASSERT_TRUE(d_.wait_for_log("message", "Finish scheduled report 1 ", 10));
  std::vector<std::string> sent = mails();
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"d" + d4, "s" + s1}));
  // Only the saved instances keep files.
  const std::string p1 = scalar("select path from scheduled_report_instance where report_id=1");
  const std::string p4 = scalar("select path from demand_report_instance where report_id=4");
  for (const std::string &f : files_below(d_.store()))
    EXPECT_TRUE(f.rfind(p1, 0) == 0 || f.rfind(p4, 0) == 0) << "left behind: " << f;
  EXPECT_TRUE(d_.running());
}

// A statement whose answer was lost with its session: the job still runs
// once, saves one instance and mails its link once.
class LostReply : public Jobs, public ::testing::WithParamInterface<const char *> {};

TEST_P(LostReply, NeitherRepeatsNorLosesTheStatementsEffect) {
  FaultRelay relay(GetParam(), FaultRelay::Fault::lose_reply);
  ASSERT_TRUE(relay.ok());
  queue_demand(1, definition(t0_, t0_ + 1000), "a@x.example");
  ASSERT_TRUE(start_through(relay));
  const std::string status = final_status("demand_reports", 1);
  EXPECT_TRUE(relay.met()) << "no statement began with: " << GetParam();
  EXPECT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  EXPECT_EQ(scalar("select error_flag from demand_reports where report_id=1"), "0");
  EXPECT_EQ(scalar("select count(*) from demand_report_instance where report_id=1"), "1");
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 1\n", 10));
  const std::string rid = scalar("select rid from demand_report_instance where report_id=1");
  EXPECT_EQ(mails(), std::vector<std::string>{"d" + rid});
  // Stopped, the job has the one outcome it had.
  d_.stop(SIGTERM);
  EXPECT_EQ(scalar("select count(*) from demand_report_instance"), "1");
}

INSTANTIATE_TEST_SUITE_P(Statements, LostReply,
                         ::testing::Values("update demand_reports as rep set status=",
                                           "insert into demand_report_instance", "commit"),
                         [](const auto &info) {
                           return std::string(info.index == 0   ? "Claim"
                                              : info.index == 1 ? "InstanceInsert"
                                                                : "Commit");
                         });

// The daemon killed among the statements that finish a report: after the
// next start the job runs again and has one instance, not two.
TEST_F(Jobs, AKillWhileFinishingRunsTheJobOnceMore) {
  FaultRelay relay("update demand_reports set next_run_time=0", FaultRelay::Fault::kill_client);
  ASSERT_TRUE(relay.ok());
  queue_demand(1, definition(t0_, t0_ + 1000));
  ASSERT_TRUE(start_through(relay));
  d_.wait_exit(60);
  ASSERT_TRUE(relay.met()) << d_.log("error");
  EXPECT_EQ(scalar("select count(*) from demand_report_instance"), "0") << "an instance outlived its run";
  // The next start releases the job and runs it.
  ASSERT_TRUE(d_.start());
  const std::string status = final_status("demand_reports", 1);
  EXPECT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 1\n", 10));
  EXPECT_EQ(scalar("select count(*) from demand_report_instance where report_id=1"), "1");
}

// A definition refused with a 90 KB expression quoted in its error text:
// the job fails with the text shortened around its middle, and the next
// job goes on.
TEST_F(Jobs, AnErrorQuotingAHugeExpressionLands) {
  const std::string expression = "(" + std::string(90 * 1024, 'a');
  queue_demand(1, definition(t0_, t0_ + 1000) + "user=~ \"" + expression + "\"\n");
  queue_demand(2, definition(t0_, t0_ + 1000));
  ASSERT_TRUE(d_.start());
  const std::string status = final_status("demand_reports", 1);
  EXPECT_EQ(status.rfind("Error 10153: (def) Invalid regular expression '(aaa", 0), 0u)
      << status.substr(0, 200) << d_.log("error").substr(0, 2000);
  EXPECT_GE(status.size(), 200u);
  EXPECT_LE(status.size(), 1024u);
  EXPECT_NE(status.find("aaa...aaa"), std::string::npos);
  EXPECT_TRUE(status.ends_with("aaaa' in the filter")) << status.substr(status.size() < 40 ? 0 : status.size() - 40);
  EXPECT_EQ(scalar("select error_flag from demand_reports where report_id=1"), "2");
  EXPECT_EQ(final_status("demand_reports", 2).rfind("Processed Ok [", 0), 0u) << d_.log("error");
  EXPECT_TRUE(d_.running());
}

}  // namespace
