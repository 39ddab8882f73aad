// Small owners for what the C interfaces hand out: a descriptor, a malloc'ed
// block, a directory stream, a held pthread mutex. Each closes or frees what it
// holds when it goes out of scope; none can be copied.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <utility>

// One file descriptor; -1 holds nothing.
class kx_fd {
 public:
  kx_fd() = default;
  explicit kx_fd(int fd) : fd_(fd) {}
  ~kx_fd() { reset(); }
  kx_fd(kx_fd &&o) noexcept : fd_(o.release()) {}
  kx_fd &operator=(kx_fd &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  kx_fd(const kx_fd &) = delete;
  kx_fd &operator=(const kx_fd &) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held and takes fd. Returns close's result (0 when nothing
  // was held), for writers that must know their last bytes reached the file.
  int reset(int fd = -1) {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = fd;
    return rc;
  }

 private:
  int fd_ = -1;
};

// std::unique_ptr for memory from malloc/strdup/asprintf.
struct kx_free_deleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T>
using kx_malloc_ptr = std::unique_ptr<T, kx_free_deleter>;

// std::unique_ptr for a directory stream.
struct kx_closedir_deleter {
  void operator()(DIR *d) const {
    if (d) closedir(d);
  }
};
using kx_dir_ptr = std::unique_ptr<DIR, kx_closedir_deleter>;

// Holds a pthread mutex for a scope; a null mutex holds nothing (for objects
// made with or without their own lock).
class kx_mutex_guard {
 public:
  explicit kx_mutex_guard(pthread_mutex_t *m) : m_(m) {
    if (m_) pthread_mutex_lock(m_);
  }
  ~kx_mutex_guard() {
    if (m_) pthread_mutex_unlock(m_);
  }
  kx_mutex_guard(const kx_mutex_guard &) = delete;
  kx_mutex_guard &operator=(const kx_mutex_guard &) = delete;

 private:
  pthread_mutex_t *m_;
};
