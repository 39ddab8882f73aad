// Mails through the stand-in e-mail script (scripts/standins), and the
// hourly unused-report warnings and stopping against the private MariaDB.
#include "src/daemon/mail.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/base/kxpath.h"
#include "lib/base/kxstring.h"
#include "lib/runtime/db.h"
#include "src/daemon/registry.h"
#include "src/report/report.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

// An install root whose bin/ holds the stand-in script, and the record of
// its calls: one argument a line, "--" after each call.
class MailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path().empty());
    std::string bin = root_.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    std::string target = std::string(KX_SOURCE_DIR) + "/scripts/standins/kxreporter_email.php";
    ASSERT_EQ(symlink(target.c_str(), (bin + "/kxreporter_email.php").c_str()), 0);
    free(kxpath_path);
    kxpath_path = strdup(root_.path().c_str());
    record_ = root_.file("calls.txt");
    setenv("KX_EMAIL_RECORD", record_.c_str(), 1);
    setenv("KX_EMAIL_ANSWER", "ok", 1);
    email_url = strdup("'http://admin.example'");
  }
  void TearDown() override {
    free(email_url);
    email_url = nullptr;
    unsetenv("KX_EMAIL_RECORD");
  }
  // The calls made, each as its argument list.
  std::vector<std::vector<std::string>> calls() const {
    std::vector<std::vector<std::string>> out(1);
    std::string text = kxtest::read_text_file(record_);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      std::string line = text.substr(pos, end - pos);
      pos = end == std::string::npos ? text.size() : end + 1;
      if (line == "--")
        out.emplace_back();
      else
        out.back().push_back(line);
    }
    out.pop_back();
    return out;
  }
  TempDir root_{"kxmailtest"};
  std::string record_;
};

TEST_F(MailTest, CommandFormsAndAnswers) {
  int before = stats_num_mail_sent;
  send_email(EMAIL_CMD_DEMAND, "12", "de_DE", nullptr);
  EXPECT_EQ(stats_num_mail_sent, before + 1);
  auto c = calls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0], (std::vector<std::string>{"-i", "d12", "-lang", "de_DE", "-webserver", "http://admin.example"}));

  // An address with a quote and ";" arrives as one argument and runs nothing.
  char *quoted = string_escapeshellarg("o'neil@x.example; touch pwned");
  send_email(EMAIL_CMD_TEST, quoted, "en_US; touch pwned2", nullptr);
  free(quoted);
  c = calls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1], (std::vector<std::string>{"-test", "-mailto", "o'neil@x.example; touch pwned", "-lang",
                                            "en_US; touch pwned2", "-webserver", "http://admin.example"}));
  EXPECT_NE(access("pwned", F_OK), 0);
  EXPECT_NE(access("pwned2", F_OK), 0);
}

TEST_F(MailTest, ErrorAnswerIsLoggedWithBlanksAndNotCounted) {
  setenv("KX_EMAIL_ANSWER", "err", 1);
  REPORT rep;
  rep.report_type = 1;
  rep.report_id = 12;
  rep.name = strdup("Top users");
  int before = stats_num_mail_sent;
  testing::internal::CaptureStderr();
  send_email(EMAIL_CMD_DEMAND, "4", "en_US", &rep);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(stats_num_mail_sent, before);
  EXPECT_EQ(err, "Email sending error for demand report 12 'Top users':  mail server refused  \n");
  free(rep.name);
  rep.name = nullptr;

  // No answer at all: neither counted nor logged.
  setenv("KX_EMAIL_ANSWER", "none", 1);
  testing::internal::CaptureStderr();
  send_email(EMAIL_CMD_DEMAND, "4", "en_US", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(stats_num_mail_sent, before);
}

class MailDbTest : public MailTest {
 protected:
  void SetUp() override {
    MailTest::SetUp();
    KX_REQUIRE_DB();
    ASSERT_TRUE(tdb_.ok()) << tdb_.error();
    db_ = tdb_.open_handle();
    ASSERT_NE(db_, 0);
    admin_ = std::make_unique<kxtest::AdminConnection>(tdb_.name());
  }
  void TearDown() override {
    if (db_) db_close(db_);
    MailTest::TearDown();
  }
  kxtest::TestDatabase tdb_{"mail"};
  int db_ = 0;
  std::unique_ptr<kxtest::AdminConnection> admin_;
};

TEST_F(MailDbTest, TestJobMailsAndIsDeletedEvenWithoutAddress) {
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, login, email) VALUES (3, 'a', 'a@x.example'),"
                           " (4, 'b', '')"));
  process_email_test(3, 1, db_, "en_US");
  process_email_test(4, 1, db_, "en_US");
  EXPECT_EQ(admin_->scalar("SELECT count(*) FROM demand_reports"), "0");
  auto c = calls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0][2], "a@x.example");
  // Other kinds do nothing.
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, login) VALUES (5, 'c')"));
  process_email_test(5, 3, db_, "en_US");
  EXPECT_EQ(admin_->scalar("SELECT count(*) FROM demand_reports"), "1");
}

TEST_F(MailDbTest, UnusedWarningsOncePerAddressThenStopping) {
  const time_t now = time(nullptr);
  // Owner o'x (a quote in the login) has two addresses, idle 31 days.
  ASSERT_TRUE(admin_->exec(
      "INSERT INTO scheduled_reports (login, email, edited, seen, error_flag) VALUES "
      "('o''x', 'one@x.example', now() - interval 31 day, now() - interval 31 day, 0),"
      "('o''x', 'two@x.example', now() - interval 31 day, now() - interval 31 day, 1),"
      "('busy', 'b@x.example', now(), now(), 0)"));
  reporter_settings s;
  s.unused_warning_time = 20;
  s.unused_disable_time = 0;
  testing::internal::CaptureStderr();
  reporter_process_unused_reports(db_, &s, now);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(admin_->scalar("SELECT count(*) FROM unused_warnings WHERE login='o''x'"), "2");
  EXPECT_EQ(admin_->scalar("SELECT count(DISTINCT `key`) FROM unused_warnings"), "2");
  EXPECT_NE(log.find("Unused reports Warning for account: o'x sent to one@x.example\n"), std::string::npos) << log;
  auto c = calls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0][0], "-warning");
  EXPECT_NE(c[0][4], c[1][4]);  // two keys

  // The next hour: no repeat.
  testing::internal::CaptureStderr();
  reporter_process_unused_reports(db_, &s, now + 3600);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(calls().size(), 2u);

  // Warnings off, stopping after 30 days.
  s.unused_warning_time = 0;
  s.unused_disable_time = 30;
  testing::internal::CaptureStderr();
  reporter_process_unused_reports(db_, &s, now);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Temporary disable Unused reports for account: o'x\n"), std::string::npos) << log;
  EXPECT_EQ(admin_->scalar("SELECT count(*) FROM scheduled_reports WHERE error_flag=3 AND status='Stopped "
                           "temporarily'"),
            "2");
  EXPECT_EQ(admin_->scalar("SELECT error_flag FROM scheduled_reports WHERE login='busy'"), "0");
  EXPECT_EQ(admin_->scalar("SELECT count(*) FROM unused_warnings"), "0");
  EXPECT_EQ(calls().size(), 2u);
}

}  // namespace
