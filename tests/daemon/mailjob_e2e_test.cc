// The e-mail test job through the real daemon: the administration queues a
// demand or scheduled job whose definition asks for a test mail; the daemon
// mails the job's address through the mail script and deletes the job,
// whatever the script answers.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"

namespace {

constexpr char kTestMail[] = "[general]\nversion=1\nemailtest=1\nlanguage=de_DE\n[group]\n";

class MailJob : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('report_dir', '" + d_.store() +
                                "'), ('concurrent_demand_reports', '2'), ('concurrent_scheduled_reports', '2')"));
    // The daemon inherits the answer the stand-in script gives.
    setenv("KX_EMAIL_ANSWER", GetParam(), 1);
  }
  void TearDown() override {
    if (d_.running()) d_.stop(SIGTERM);
    unsetenv("KX_EMAIL_ANSWER");
  }

  kxtest::DaemonSandbox d_{"mailjob"};
};

TEST_P(MailJob, MailsTheAddressAndDeletesTheJob) {
  const std::string ok = GetParam();
  ASSERT_TRUE(d_.admin().exec(std::string("insert into demand_reports (report_id, name, login, email, next_run_time, "
                                          "definition) values "
                                          "(1, 'test', 'admin', 'o''neil@x.example', now() - interval 2 second, '") +
                              kTestMail + "'), (2, 'test', 'admin', '', now() - interval 2 second, '" + kTestMail +
                              "')"))
      << d_.admin().error();
  ASSERT_TRUE(d_.admin().exec(std::string("insert into scheduled_reports (report_id, name, login, email, "
                                          "next_run_time, run_interval, definition) values "
                                          "(3, 'test', 'admin', 'ops@x.example', now() - interval 2 minute, 27, '") +
                              kTestMail + "')"))
      << d_.admin().error();
  ASSERT_TRUE(d_.start());
  const auto gone = [](const std::string &v) { return v == "0"; };
  EXPECT_EQ(d_.wait_for_sql("select count(*) from demand_reports", gone), "0") << d_.log("error");
  EXPECT_EQ(d_.wait_for_sql("select count(*) from scheduled_reports", gone), "0") << d_.log("error");
  // No run: no instance, no outcome.
  EXPECT_EQ(d_.admin().scalar("select count(*) from demand_report_instance"), "0");
  EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_report_instance"), "0");
  const std::string log = d_.log("message");
  EXPECT_EQ(log.find("Processed "), std::string::npos) << log;
  EXPECT_EQ(log.find("Canceled "), std::string::npos) << log;
  EXPECT_EQ(d_.log("error").find("Error processing"), std::string::npos) << d_.log("error");

  // One test mail each for the two addresses (the empty one gets none), in
  // the definition's language; the script runs before the row goes.
  const std::string mails = kxtest::read_text_file(d_.root() + "/mail.txt");
  const std::string webserver = "-webserver\nhttp://localhost:8080/zididevuzizazo\n--\n";
  EXPECT_EQ(kxtest::count_of(mails, "-test\n"), 2u) << mails;
  EXPECT_EQ(kxtest::count_of(mails, "-test\n-mailto\no'neil@x.example\n-lang\nde_DE\n" + webserver), 1u) << mails;
  EXPECT_EQ(kxtest::count_of(mails, "-test\n-mailto\nops@x.example\n-lang\nde_DE\n" + webserver), 1u) << mails;
  // A refused mail is logged, in the words of the script after "ERR:",
  // once a mail.
  const std::string refused = "Email sending error:  mail server refused  \n";
  if (ok == "err") {
    EXPECT_TRUE(d_.wait_for_log_count("error", refused, 2)) << d_.log("error");
  }
  EXPECT_EQ(kxtest::count_of(d_.log("error"), refused), ok == "err" ? 2u : 0u) << d_.log("error");
}

INSTANTIATE_TEST_SUITE_P(Answers, MailJob, ::testing::Values("ok", "err"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
