// Connects with a time limit to a real listener on the loopback address,
// the standard streams sent to /dev/null, and a thread's CPU placement.
#include "lib/base/kxconnect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "lib/base/kxcpuinfo.h"

namespace {

// A listening TCP socket on 127.0.0.1 at a free port.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) return;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
};

TEST(KxConnect, ConnectsToAListenerAndFailsOnAClosedPort) {
  kxconnect_init();
  Listener l;
  ASSERT_GT(l.port, 0);
  int s = kxconnect("127.0.0.1", l.port, 2);
  ASSERT_GE(s, 0);
  EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);  // blocking again
  int peer = accept(l.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(write(s, "hi", 2), 2);
  char buf[2];
  ASSERT_EQ(read(peer, buf, 2), 2);
  EXPECT_EQ(memcmp(buf, "hi", 2), 0);
  close(peer);
  close(s);

  // The non-blocking form and its status check.
  s = kxconnect_nb("localhost", l.port);
  ASSERT_GE(s, 0);
  EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(kxconnect_checkstatus(s, 2000), 0);
  close(s);

  int closed_port = l.port;
  close(l.fd);
  l.fd = -1;
  EXPECT_EQ(kxconnect("127.0.0.1", closed_port, 1), -1);
  EXPECT_EQ(kxconnect("no-such-host.invalid", 80, 1), -1);
  EXPECT_EQ(kxconnect("127.0.0.1", 0, 1), -1);
  EXPECT_EQ(kxconnect_nb(nullptr, 80), -1);
  EXPECT_EQ(kxconnect_addr_nb(nullptr), -1);
}

TEST(KxConnect, AddressListSkipsEntriesThatFailAtOnce) {
  Listener l;
  ASSERT_GT(l.port, 0);
  // Two entries: an address family no socket can be made for, then the
  // listener; whichever is tried first, the listener is reached.
  sockaddr_in good{};
  good.sin_family = AF_INET;
  good.sin_port = htons(static_cast<uint16_t>(l.port));
  good.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addrinfo second{};
  second.ai_family = AF_INET;
  second.ai_socktype = SOCK_STREAM;
  second.ai_addr = reinterpret_cast<sockaddr *>(&good);
  second.ai_addrlen = sizeof good;
  addrinfo first = second;
  first.ai_family = 12345;
  first.ai_next = &second;
  for (int round = 0; round < 8; ++round) {
    int s = kxconnect_addr_nb(&first);
    ASSERT_GE(s, 0);
    EXPECT_EQ(kxconnect_checkstatus(s, 2000), 0);
    close(s);
    int peer = accept(l.fd, nullptr, nullptr);
    if (peer >= 0) close(peer);
  }
  second.ai_family = 12345;
  EXPECT_EQ(kxconnect_addr_nb(&first), -1);
}

TEST(KxConnect, DaemonizeSendsTheStandardStreamsToDevNull) {
  pid_t pid = fork();
  if (pid == 0) {
    if (daemonize() != 0) _exit(2);
    char link[64];
    ssize_t n = readlink("/proc/self/fd/1", link, sizeof link - 1);
    if (n <= 0) _exit(3);
    link[n] = '\0';
    _exit(strcmp(link, "/dev/null") == 0 && write(2, "gone\n", 5) == 5 ? 0 : 4);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(KxCpuInfo, AppliesAffinityPolicyAndPriority) {
  kxcpuinfo info;
  kxcpuinfo_init(&info);
  EXPECT_EQ(info.affinity_all, 1);
  EXPECT_EQ(CPU_COUNT(&info.affinity_set), KXCPUINFO_MAX_CPUS);
  EXPECT_EQ(info.priority_set, 0);
  EXPECT_EQ(info.scheduler_set, 0);

  cpu_set_t mine;
  ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &mine)) ++cpu;
  std::thread t([&] {
    kxcpuinfo one;
    kxcpuinfo_init(&one);
    one.affinity_all = 0;
    CPU_ZERO(&one.affinity_set);
    CPU_SET(cpu, &one.affinity_set);
    one.scheduler_set = 1;
    one.scheduler = KXCPUINFO_SCHED_BATCH;
    EXPECT_EQ(kxcpuinfo_set(pthread_self(), &one), 0);
    cpu_set_t now;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof now, &now), 0);
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &now));
    int policy = -1;
    sched_param p{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &p), 0);
    EXPECT_EQ(policy, SCHED_BATCH);

    // A priority that the batch policy does not have is refused.
    kxcpuinfo bad;
    kxcpuinfo_init(&bad);
    CPU_ZERO(&bad.affinity_set);
    bad.priority_set = 1;
    bad.priority = 50;
    EXPECT_EQ(kxcpuinfo_set(pthread_self(), &bad), -1);
  });
  t.join();
  EXPECT_EQ(kxcpuinfo_set(pthread_self(), nullptr), -1);
}

}  // namespace
