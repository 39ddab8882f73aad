#include "lib/base/kxconnect.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"

namespace {

// A non-blocking socket with a connect to a started; -1 when the connect
// failed at once.
int start_connect(const struct addrinfo *a) {
  int s = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
  if (s < 0) return -1;
  if (connect(s, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) return s;
  close(s);
  return -1;
}

}  // namespace

int daemonize() {
  // Without close-on-exec: when a standard stream was closed, /dev/null takes
  // its number and must stay open in programs started later.
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return -1;
  int rc = 0;
  for (int target = 0; target <= 2; ++target)
    if (dup2(fd, target) < 0) rc = -1;
  if (fd > 2) close(fd);
  return rc;
}

void kxconnect_init() { srand(static_cast<unsigned>(time(nullptr))); }

int kxconnect_addr_nb(const struct addrinfo *list) {
  std::vector<const struct addrinfo *> all;
  for (const struct addrinfo *a = list; a != nullptr; a = a->ai_next) all.push_back(a);
  if (all.empty()) return -1;
  // Spread the first attempts of many clients over the addresses.
  const struct addrinfo *first = all[static_cast<size_t>(rand()) % all.size()];
  int s = start_connect(first);
  if (s >= 0) return s;
  for (const struct addrinfo *a : all) {
    if (a == first) continue;
    s = start_connect(a);
    if (s >= 0) return s;
  }
  return -1;
}

int kxconnect_nb(const char *host, int port) {
  if (host == nullptr || port <= 0 || port > 65535) return -1;
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) return -1;
  int s = kxconnect_addr_nb(list);
  freeaddrinfo(list);
  return s;
}

int kxconnect_checkstatus(int sock, int msec) {
  struct pollfd p {sock, POLLOUT, 0};
  int n;
  do {
    n = poll(&p, 1, msec < 0 ? 0 : msec);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    kxlog_send(KXLOG_DEBUG, "kxconnect_checkstatus is connecting\n");
    return -2;
  }
  if (n < 0) return -1;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
    kxlog_send(KXLOG_DEBUG, "kxconnect_checkstatus getsockopt return errore\n");
    return -1;
  }
  if (err != 0) {
    kxlog_send(KXLOG_DEBUG, "kxconnect_checkstatus getsocketopt find error=0x%x\n", static_cast<unsigned>(err));
    return -1;
  }
  return 0;
}

int kxconnect(const char *host, int port, int seconds) {
  int s = kxconnect_nb(host, port);
  if (s < 0) return -1;
  int ms = seconds > 0 && seconds < 2000000 ? seconds * 1000 : 0;
  if (kxconnect_checkstatus(s, ms) != 0) {
    close(s);
    return -1;
  }
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(s);
    return -1;
  }
  return s;
}
