#include "lib/base/kxnet.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/tmpdir.h"

namespace {

std::string ntop(const kx_ipaddr &ip) {
  char buf[KXNET_ADDRSTRLEN];
  const char *s = kxnet_ntop(&ip, buf, sizeof buf);
  return s ? s : "(null)";
}

kx_ipaddr addr(const char *text) {
  kx_ipaddr ip;
  EXPECT_EQ(kxnet_aton(text, &ip), 0) << text;
  return ip;
}

// --- Parsing --------------------------------------------------------------

struct ParseCase {
  const char *text;
  int rc;
  int family;
  const char *printed;  // for rc 0
};

TEST(KxnetAton, TableOfTexts) {
  const ParseCase cases[] = {
      {"10.1.2.3", 0, AF_INET, "10.1.2.3"},
      {"::1", 0, AF_INET6, "::1"},
      {"10.1.2.3 ", 0, AF_INET, "10.1.2.3"},           // trailing blank: retried
      {"10.1.2.3\t\r\n", 0, AF_INET, "10.1.2.3"},      // any trailing whitespace
      {"2001:db8::7  ", 0, AF_INET6, "2001:db8::7"},
      {"::ffff:10.1.2.3", 0, AF_INET6, "::ffff:10.1.2.3"},  // stays IPv6 when parsed from text
      {"255.255.255.255", 0, AF_INET, "255.255.255.255"},
      {" 10.1.2.3", -1, 0, nullptr},  // leading whitespace is refused
      {"10.1.2", -1, 0, nullptr},
      {"256.1.2.3", -1, 0, nullptr},
      {"10.1.2.3 x", -1, 0, nullptr},
      {"fe80::1%eth0", -1, 0, nullptr},
      {"", -1, 0, nullptr},
      {" ", -1, 0, nullptr},
      {"  ", -1, 0, nullptr},
  };
  for (const auto &c : cases) {
    kx_ipaddr ip;
    memset(&ip, 0x5A, sizeof ip);
    EXPECT_EQ(kxnet_aton(c.text, &ip), c.rc) << '"' << c.text << '"';
    if (c.rc == 0) {
      EXPECT_EQ(ip.family, c.family) << c.text;
      EXPECT_EQ(ntop(ip), c.printed) << c.text;
    } else {
      EXPECT_TRUE(kxnet_isdefaultip(&ip)) << c.text;
      EXPECT_EQ(ip.family, AF_INET) << c.text;
      EXPECT_EQ(ip.addr.ip, 0xFFFFFFFFu) << c.text;
    }
  }
}

TEST(KxnetAton, IPv4IsHeldInNetworkOrder) {
  kx_ipaddr ip = addr("10.1.2.3");
  const auto *b = reinterpret_cast<const unsigned char *>(&ip.addr.ip);
  EXPECT_EQ(b[0], 10);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[2], 2);
  EXPECT_EQ(b[3], 3);
  EXPECT_EQ(ip.addr.ip, htonl(0x0A010203u));
}

TEST(KxnetAton, NullTextAndNullAddress) {
  kx_ipaddr ip;
  memset(&ip, 0, sizeof ip);
  EXPECT_EQ(kxnet_aton(nullptr, &ip), -1);
  EXPECT_TRUE(kxnet_isdefaultip(&ip));
  EXPECT_EQ(kxnet_aton("10.1.2.3", nullptr), -1);
}

TEST(KxnetAton, AddrReturnsItsArgument) {
  kx_ipaddr ip;
  EXPECT_EQ(kxnet_addr("::1", &ip), &ip);
  EXPECT_EQ(ip.family, AF_INET6);
  EXPECT_EQ(kxnet_addr("nonsense", &ip), &ip);
  EXPECT_TRUE(kxnet_isdefaultip(&ip));
}

TEST(KxnetDefault, DefaultAddress) {
  kxnet_defaultip(nullptr);  // must not crash
  kx_ipaddr ip = addr("10.1.2.3");
  EXPECT_FALSE(kxnet_isdefaultip(&ip));
  kxnet_defaultip(&ip);
  EXPECT_TRUE(kxnet_isdefaultip(&ip));
  EXPECT_EQ(ntop(ip), "255.255.255.255");
  kx_ipaddr v6 = addr("ffff:ffff::");
  EXPECT_FALSE(kxnet_isdefaultip(&v6));
}

// --- Printing -------------------------------------------------------------

struct HostCase {
  const char *text;
  int size;
  const char *expected;  // null: the call fails
};

TEST(KxnetNtohost, TableOfBuffers) {
  const HostCase cases[] = {
      {"::1", 64, "[::1]"},
      {"10.1.2.3", 64, "10.1.2.3"},
      {"2001:db8::7", 14, "[2001:db8::7]"},  // exactly fits with its NUL
      {"2001:db8::7", 13, nullptr},
      {"::1", 4, nullptr},
      {"::", 5, "[::]"},
      {"::", 4, nullptr},
      {"10.1.2.3", 9, "10.1.2.3"},
      {"10.1.2.3", 8, nullptr},
  };
  for (const auto &c : cases) {
    kx_ipaddr ip = addr(c.text);
    // Guard bytes after the buffer catch any write past it.
    std::vector<char> buf(static_cast<size_t>(c.size) + 8, '#');
    char *r = kxnet_ntohost(&ip, buf.data(), c.size);
    if (c.expected) {
      ASSERT_EQ(r, buf.data()) << c.text << " size " << c.size;
      EXPECT_STREQ(r, c.expected);
    } else {
      EXPECT_EQ(r, nullptr) << c.text << " size " << c.size;
    }
    for (size_t i = static_cast<size_t>(c.size); i < buf.size(); ++i)
      EXPECT_EQ(buf[i], '#') << c.text << " size " << c.size << " wrote past the buffer";
  }
}

TEST(KxnetNtop, OtherFamilyGivesNull) {
  kx_ipaddr ip;
  memset(&ip, 0, sizeof ip);
  char buf[64];
  EXPECT_EQ(kxnet_ntop(&ip, buf, sizeof buf), nullptr);
  EXPECT_EQ(kxnet_ntoa(&ip), nullptr);
  EXPECT_EQ(kxnet_ntohost(&ip, buf, sizeof buf), nullptr);
  kx_ipaddr v6 = addr("2001:db8::7");
  char *s = kxnet_ntoa(&v6);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "2001:db8::7");
  free(s);
}

// --- Comparison and ranges ------------------------------------------------

TEST(KxnetCompare, TableOfPairs) {
  struct Case {
    const char *a, *b;
    int expected;
  } cases[] = {
      {"10.1.2.3", "10.1.2.3", 0},
      {"10.1.2.3", "10.1.2.4", 1},
      {"::1", "::1", 0},
      {"::1", "::2", 1},
      {"0.0.0.0", "::", 1},  // different families
      {"2001:db8::7", "2001:db8:0:0::7", 0},
  };
  for (const auto &c : cases) {
    kx_ipaddr a = addr(c.a), b = addr(c.b);
    EXPECT_EQ(kxnet_compare(&a, &b), c.expected) << c.a << " vs " << c.b;
  }
  // Two values of an unknown family compare equal by family alone.
  kx_ipaddr x, y;
  memset(&x, 0, sizeof x);
  memset(&y, 0, sizeof y);
  x.family = y.family = 99;
  y.addr.ip = 7;
  EXPECT_EQ(kxnet_compare(&x, &y), 0);
}

TEST(KxnetFallinRange, TableOfRanges) {
  struct Case {
    const char *ip, *net, *mask;
    int expected;
  } cases[] = {
      {"10.1.2.3", "10.1.0.0", "255.255.0.0", 0},
      {"10.2.2.3", "10.1.0.0", "255.255.0.0", 1},
      {"10.1.2.3", "10.1.2.3", "255.255.0.0", 1},  // net is compared byte for byte
      {"2001:db8::7", "2001:db8::", "ffff:ffff::", 0},
      {"2001:db9::7", "2001:db8::", "ffff:ffff::", 1},
      {"10.1.2.3", "10.1.0.0", "ffff:ffff::", 1},  // mask of another family
      {"::a01:203", "10.1.0.0", "255.255.0.0", 1},
  };
  for (const auto &c : cases) {
    kx_ipaddr ip = addr(c.ip), net = addr(c.net), mask = addr(c.mask);
    EXPECT_EQ(kxnet_fallin_range(&ip, &net, &mask), c.expected) << c.ip << " in " << c.net << "/" << c.mask;
  }
}

TEST(KxnetHash, HashInput) {
  kx_ipaddr v4 = addr("10.1.2.3");
  EXPECT_EQ(kxnet_hash_input(&v4), v4.addr.ip);
  kx_ipaddr v6 = addr("2001:db8::7");
  EXPECT_EQ(kxnet_hash_input(&v6), 14u);
}

TEST(KxnetSubnet, SingleIpMask) {
  kx_ipaddr mask;
  kx_ipaddr v4 = addr("10.1.2.3");
  kxnet_singleip_subnet(&v4, &mask);
  EXPECT_EQ(mask.family, AF_INET);
  EXPECT_EQ(ntop(mask), "255.255.255.255");
  kx_ipaddr v6 = addr("::1");
  kxnet_singleip_subnet(&v6, &mask);
  EXPECT_EQ(mask.family, AF_INET6);
  EXPECT_EQ(ntop(mask), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
  EXPECT_EQ(kxnet_fallin_range(&v6, &v6, &mask), 0);
}

TEST(KxnetNetmask, TableOfMasks) {
  struct Case {
    const char *text;
    int expected;
  } cases[] = {
      {"255.255.255.0", 24},
      {"255.255.255.255", 32},
      {"255.255", 16},
      {"255.255.128.0", 17},
      {"255.254.0.0", 15},
      {"255.0.255.0", 8},  // fields after the end are not examined
      {"0.0.0.0", 0},
      {"255.255.255.1", -1},
      {"255.255.255.255.255", -1},  // above 32
      {"255.abc.0.0", -1},
      {"ffff:ffff::", 32},
      {"ffff:fff0::", 28},
      {"ffff:e000::", 19},
      {"ffff:c", 18},
      {"ffff:8", 17},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128},
      {"::", 0},
      {"ffff:g::", -1},
      {"FFFF::", -1},  // upper-case digits are not mask text
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff:f", -1},  // above 128
  };
  for (const auto &c : cases) EXPECT_EQ(kxnet_netmask_to_cidr(c.text), c.expected) << c.text;
  EXPECT_EQ(kxnet_netmask_to_cidr(nullptr), 32);
}

// --- Interface queries ------------------------------------------------------

TEST(KxifGetIfreq, RejectsBadNames) {
  struct ifreq ifr;
  const char *names[] = {nullptr, "", "abcdefghijklmnop" /* 16 characters */};
  for (const char *n : names) {
    errno = 0;
    EXPECT_EQ(kxif_get_ifreq(n, &ifr), -1);
    EXPECT_EQ(errno, EINVAL) << (n ? n : "(null)");
  }
  errno = 0;
  EXPECT_EQ(kxif_get_ifreq("lo", nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(kxif_get_ipv4_addr("lo", nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  struct in_addr a;
  EXPECT_EQ(kxif_get_ipv4_addr("nosuchif0", &a), -1);
  EXPECT_NE(errno, 0);
}

// --- The list builder -------------------------------------------------------

struct ListCase {
  int size;
  std::vector<const char *> addresses;
  const char *expected;
  int skipped;  // error messages expected
};

TEST(GetifipListCallback, NeverWritesPastTheBuffer) {
  const ListCase cases[] = {
      {64, {"10.0.0.5", "fe80::1"}, "'10.0.0.5','fe80::1'", 0},
      {64, {}, "", 0},
      {12, {"10.0.0.5"}, "'10.0.0.5'", 0},                  // 8 + 4 bytes: fits
      {11, {"10.0.0.5"}, "", 1},                            // one byte short
      {20, {"10.0.0.5", "fe80::1"}, "'10.0.0.5'", 1},       // no room for the second
      {21, {"10.0.0.5", "fe80::1", "1.2.3.4"}, "'10.0.0.5','fe80::1'", 1},
      {1, {"1.2.3.4"}, "", 1},
  };
  for (const auto &c : cases) {
    std::vector<char> buf(static_cast<size_t>(c.size) + 8, '#');
    buf[0] = '\0';
    getifip_get_ip_list_callback_data list{buf.data(), buf.data(), c.size};
    testing::internal::CaptureStderr();
    for (const char *a : c.addresses) EXPECT_EQ(getifip_get_ip_list_callback("eth0", a, &list), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(buf.data(), c.expected) << "size " << c.size;
    int messages = 0;
    for (size_t p = 0; (p = err.find("IP list: too many IP addresses, no buffer space for ", p)) != std::string::npos;
         ++p)
      ++messages;
    EXPECT_EQ(messages, c.skipped) << "size " << c.size << ": " << err;
    for (size_t i = static_cast<size_t>(c.size); i < buf.size(); ++i)
      ASSERT_EQ(buf[i], '#') << "size " << c.size << " wrote past the buffer";
    EXPECT_EQ(list.size, c.size - static_cast<int>(strlen(c.expected)));
  }
}

TEST(GetifipList, RejectsNoBuffer) {
  char buf[4];
  EXPECT_EQ(getifip_get_ip_list(nullptr, 10), 1);
  EXPECT_EQ(getifip_get_ip_list(buf, 0), 1);
  EXPECT_EQ(getifip_get_ip_list(buf, -5), 1);
}

// --- The IPv6 address file ----------------------------------------------------

class Inet6File : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  std::string walk(const std::string &content) {
    FILE *f = fopen(path_.c_str(), "w");
    EXPECT_NE(f, nullptr);
    if (!f) return "";
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    std::string seen;
    EXPECT_EQ(getifip_foreach_ipv6(path_.c_str(), collect, &seen), 0);
    return seen;
  }
  static int collect(const char *ifname, const char *ip, void *data) {
    *static_cast<std::string *>(data) += std::string("[") + ifname + "] " + ip + "\n";
    return 0;
  }
  TempDir tmp_{"kxnet_test"};
  std::string dir_ = tmp_.path(), path_ = dir_ + "/if_inet6";
};

TEST_F(Inet6File, TableOfLines) {
  const std::string a = "20010db8000000000000000000000007";
  struct Case {
    std::string content, expected;
  } cases[] = {
      {a + " 03 40 00 80       d0\n", "[d0] 2001:db8::7\n"},
      {a + " 03 40 00 80       d0", "[d0] 2001:db8::7\n"},  // last line without newline
      {a + " 03 40 00 80       d0\r\n", "[d0] 2001:db8::7\n"},
      {"00000000000000000000000000000001 01 80 10 80       lo\n", ""},
      {"fe800000000000000000000000000001 02 40 20 80     eth0\n" + a + " 03 40 00 80 wan0\n",
       "[eth0] fe80::1\n[wan0] 2001:db8::7\n"},
      {"20010db80000000000000000000000 03 40 00 80 short0\n", ""},    // 30 digits
      {"20010db800000000000000000000000g 03 40 00 80 bad0\n", ""},    // not hex
      {a + "\n", ""},                                                 // no name
      // A line longer than 127 characters is dropped whole; its tail is not
      // taken for a line of its own.
      {a + " 03 40 00 80 " + std::string(150, 'x') + " " + a + " tail0\n" + a + " 03 40 00 80 ok0\n",
       "[ok0] 2001:db8::7\n"},
      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(walk(c.content), c.expected) << c.content;
}

TEST_F(Inet6File, NonZeroFromTheCallbackStopsTheWalk) {
  FILE *f = fopen(path_.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("fe800000000000000000000000000001 02 40 20 80 eth0\n"
        "20010db8000000000000000000000007 03 40 00 80 wan0\n", f);
  fclose(f);
  auto first_only = [](const char *ifname, const char *ip, void *data) {
    collect(ifname, ip, data);
    return 1;
  };
  std::string seen;
  EXPECT_EQ(getifip_foreach_ipv6(path_.c_str(), first_only, &seen), 0);
  EXPECT_EQ(seen, "[eth0] fe80::1\n");
}

TEST_F(Inet6File, MissingFileIsNotAnError) {
  std::string seen;
  EXPECT_EQ(getifip_foreach_ipv6((dir_ + "/none").c_str(), collect, &seen), 0);
  EXPECT_EQ(getifip_foreach_ipv6(nullptr, collect, &seen), 0);
  EXPECT_EQ(seen, "");
}

// --- Interface listing in a private network namespace ----------------------

// Runs `setup` (shell commands) and then `body` in a forked child that has
// its own network namespace, so the host's interfaces are never touched.
// Returns the child's output; *skip gets a reason when the machine does not
// allow a private namespace.
template <typename Body>
std::string run_in_netns(const char *setup, Body body, std::string *skip) {
  skip->clear();
  if (geteuid() != 0) {
    *skip = "a private network namespace needs root";
    return "";
  }
  int fds[2];
  if (pipe(fds) != 0) {
    *skip = std::string("pipe failed: ") + strerror(errno);
    return "";
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    *skip = std::string("fork failed: ") + strerror(errno);
    return "";
  }
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    if (unshare(CLONE_NEWNET) != 0) {
      out = std::string("SKIP unshare(CLONE_NEWNET) failed: ") + strerror(errno);
    } else if (system(setup) != 0) {
      out = "SKIP could not set up the test interfaces (ip command failed)";
    } else {
      out = body();
    }
    size_t off = 0;
    while (off < out.size()) {
      ssize_t n = write(fds[1], out.data() + off, out.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *skip = "";
    return "CHILD FAILED";
  }
  if (out.rfind("SKIP ", 0) == 0) {
    *skip = out.substr(5);
    return "";
  }
  return out;
}

// One dummy interface d0 with an IPv4 and an IPv6 address. Kernels without
// the dummy type get a veth pair instead (its peer d1 stays down and holds
// no address).
const char kSetupD0[] =
    "exec >/dev/null 2>&1; ip link set lo up || exit 1; "
    "{ ip link add d0 type dummy || ip link add d0 type veth peer name d1; } || exit 1; "
    "ip addr add 192.0.2.7/24 dev d0 && ip -6 addr add 2001:db8::7/64 dev d0 && ip link set d0 up";

const char kSetupLoopbackOnly[] = "exec >/dev/null 2>&1; ip link set lo up";

std::string list_result(int size) {
  std::vector<char> buf(static_cast<size_t>(size));
  int rc = getifip_get_ip_list(buf.data(), size);
  return "RC " + std::to_string(rc) + "\nLIST " + buf.data() + "\n";
}

TEST(GetifipList, LoopbackOnlyGivesAnEmptyList) {
  std::string skip;
  std::string out = run_in_netns(kSetupLoopbackOnly, [] { return list_result(256); }, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(out, "RC 0\nLIST \n");
}

TEST(GetifipList, DummyInterfaceAddresses) {
  std::string skip;
  std::string out = run_in_netns(
      kSetupD0,
      [] {
        std::string r = list_result(1024);
        // Each address with the interface name as the walk reports it.
        getifip_foreach_ip(
            [](const char *ifname, const char *ip, void *data) {
              *static_cast<std::string *>(data) += std::string("IF [") + ifname + "] " + ip + "\n";
              return 0;
            },
            &r);
        struct in_addr a;
        if (kxif_get_ipv4_addr("d0", &a) == 0) {
          char t[KXNET_ADDRSTRLEN];
          r += std::string("D0 ") + inet_ntop(AF_INET, &a, t, sizeof t) + "\n";
        }
        return r;
      },
      &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_NE(out.find("RC 0\n"), std::string::npos) << out;
  size_t v4 = out.find("'192.0.2.7'");
  size_t v6 = out.find("'2001:db8::7'");
  ASSERT_NE(v4, std::string::npos) << out;
  ASSERT_NE(v6, std::string::npos) << out;
  EXPECT_LT(v4, v6) << "IPv4 addresses come first: " << out;
  EXPECT_NE(out.find("LIST '192.0.2.7','"), std::string::npos) << out;
  EXPECT_EQ(out.find("127.0.0.1"), std::string::npos) << out;
  EXPECT_EQ(out.find("'::1'"), std::string::npos) << out;
  // The IPv6 interface name is the bare name, without the line's newline.
  EXPECT_NE(out.find("IF [d0] 2001:db8::7\n"), std::string::npos) << out;
  EXPECT_NE(out.find("IF [d0] 192.0.2.7\n"), std::string::npos) << out;
  EXPECT_NE(out.find("D0 192.0.2.7\n"), std::string::npos) << out;
}

TEST(GetifipList, SmallBufferKeepsTheFirstAddress) {
  std::string skip;
  // Room for "'192.0.2.7'" (9 + 4 bytes) but not for ",'2001:db8::7'".
  std::string out = run_in_netns(
      kSetupD0,
      [] {
        // Debug messages are dropped without log files; errors reach stderr,
        // which the child sends along with its result.
        int errpipe[2];
        if (pipe(errpipe) != 0) return std::string("SKIP pipe failed");
        int saved = dup(2);
        dup2(errpipe[1], 2);
        close(errpipe[1]);
        std::string r = list_result(14);
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        char chunk[4096];
        ssize_t n;
        while ((n = read(errpipe[0], chunk, sizeof chunk)) > 0) r.append(chunk, static_cast<size_t>(n));
        close(errpipe[0]);
        return r;
      },
      &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(out.find("RC 0\nLIST '192.0.2.7'\n"), 0u) << out;
  EXPECT_NE(out.find("IP list: too many IP addresses, no buffer space for 2001:db8::7\n"), std::string::npos)
      << out;
}

// --- Time helpers -------------------------------------------------------------

TEST(KxTimespec, AddsSecondsAndMilliseconds) {
  struct timespec before, ts;
  clock_gettime(CLOCK_REALTIME, &before);
  kxtimespec(&ts, 2, 0);
  EXPECT_GE(ts.tv_sec, before.tv_sec + 2);
  EXPECT_GE(ts.tv_nsec, 0);
  EXPECT_LT(ts.tv_nsec, 1000000000L);
  kxtimespec(&ts, 0, 1500);
  double t = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  double b = static_cast<double>(before.tv_sec) + static_cast<double>(before.tv_nsec) / 1e9;
  EXPECT_GE(t, b + 1.5);
  EXPECT_LT(ts.tv_nsec, 1000000000L);
  kxtimespec(nullptr, 1, 0);  // must not crash
}

}  // namespace
