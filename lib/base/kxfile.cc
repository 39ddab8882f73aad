#include "lib/base/kxfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/base/kxlog.h"

namespace {

constexpr int kOpenSize = 32768;
constexpr size_t kPathMax = 2000;  // longest full path file_clear_all handles, NUL included

ssize_t read_retry(int fd, void *buf, size_t n) {
  for (;;) {
    ssize_t got = read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Makes sure at least one chunk is free after the held text.
bool ensure_chunk(file_buffer *b) {
  if (b->buffer_size - b->buffer_len >= b->buffer_chunk_size) return true;
  if (b->buffer_size > INT_MAX - b->buffer_chunk_size) return false;
  size_t next_off = b->next != nullptr ? static_cast<size_t>(b->next - b->buffer) : 0;
  size_t line_off = b->line != nullptr ? static_cast<size_t>(b->line - b->buffer) : 0;
  int grown = b->buffer_size + b->buffer_chunk_size;
  auto *buf = static_cast<char *>(realloc(b->buffer, static_cast<size_t>(grown)));
  if (buf == nullptr) return false;
  b->buffer = buf;
  b->buffer_size = grown;
  if (b->next != nullptr) b->next = buf + next_off;
  if (b->line != nullptr) b->line = buf + line_off;
  return true;
}

// Reads one chunk after the held text; returns the bytes read, 0 at end of
// file, -1 on failure.
ssize_t read_chunk(file_buffer *b) {
  if (!ensure_chunk(b)) return -1;
  ssize_t got = read_retry(b->fd, b->buffer + b->buffer_len, static_cast<size_t>(b->buffer_chunk_size - 1));
  if (got <= 0) return got;
  b->buffer_len += static_cast<int>(got);
  b->buffer[b->buffer_len] = '\0';
  return got;
}

// Removes everything below the open directory dir_fd (which it closes);
// path_len is the length of the directory's path including its final "/".
void clear_below(int dir_fd, size_t path_len) {
  DIR *dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return;
  }
  int fd = dirfd(dir);
  while (dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t full = path_len + strlen(name);
    // An entry whose path does not fit is left alone rather than cut short,
    // so the delete can never strike some other, shorter path.
    if (full + 1 > kPathMax) continue;
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (full + 2 > kPathMax) continue;
      // O_NOFOLLOW: a directory swapped for a link meanwhile is not entered.
      int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) clear_below(sub, full + 1);
      unlinkat(fd, name, AT_REMOVEDIR);
    } else {
      // Links, including links to directories, are removed as links.
      unlinkat(fd, name, 0);
    }
  }
  closedir(dir);
}

// The growing buffer of file_read_string and file_read_string_fd: starts at
// 501 bytes and grows by 500.  A new buffer (malloc, the caller frees) with
// *size set, or null (logged).
char *string_buffer_new(int *size) {
  *size = 501;
  auto *buf = static_cast<char *>(malloc(static_cast<size_t>(*size)));
  if (buf == nullptr) kxlog_send(KXLOG_ERROR, "Failed on Malloc, file_read_string\n");
  return buf;
}

// Makes room at *buf + len for one byte and a NUL after it.  False when the
// buffer cannot grow: then it is freed (logged) and must not be used.
bool string_buffer_room(char **buf, int *size, int len) {
  if (len + 1 < *size) return true;
  auto *grown = *size <= INT_MAX - 500 ? static_cast<char *>(realloc(*buf, static_cast<size_t>(*size) + 500)) : nullptr;
  if (grown == nullptr) {
    kxlog_send(KXLOG_ERROR, "Failed on realloc, file_read_string\n");
    free(*buf);
    return false;
  }
  *buf = grown;
  *size += 500;
  return true;
}

}  // namespace

char *file_read_string_fd(int fd) {
  int size = 0;
  char *buf = string_buffer_new(&size);
  if (buf == nullptr) return nullptr;
  int len = 0;
  for (;;) {
    char c;
    if (read_retry(fd, &c, 1) != 1) {
      free(buf);
      return nullptr;
    }
    if (!string_buffer_room(&buf, &size, len)) return nullptr;
    buf[len] = c;
    if (c == '\0') return buf;
    ++len;
  }
}

char *file_read_string(FILE *f) {
  if (f == nullptr) return nullptr;
  int size = 0;
  char *buf = string_buffer_new(&size);
  if (buf == nullptr) return nullptr;
  int len = 0;
  for (;;) {
    int c = getc(f);
    if (c == EOF) {
      free(buf);
      return nullptr;
    }
    if (!string_buffer_room(&buf, &size, len)) return nullptr;
    if (c == '\n') {
      if (len > 0 && buf[len - 1] == '\r') --len;
      buf[len] = '\0';
      return buf;
    }
    buf[len++] = static_cast<char>(c);
  }
}

int64_t file_size(const char *name) {
  struct stat st;
  if (file_stat(name, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int file_stat(const char *name, struct stat *st) {
  if (name == nullptr || st == nullptr) return -1;
  return stat(name, st) == 0 ? 0 : -1;
}

int file_exists(const char *name) {
  struct stat st;
  return file_stat(name, &st);
}

time_t file_last_accessed(const char *name) {
  struct stat st;
  if (file_stat(name, &st) != 0) return -1;
  return st.st_mtime;
}

int dir_exists(const char *path) {
  struct stat st;
  if (file_stat(path, &st) != 0) return KXFALSE;
  return S_ISDIR(st.st_mode) ? KXTRUE : KXFALSE;
}

int dir_create(const char *path) {
  if (path == nullptr) return KXFALSE;
  return mkdir(path, 0777) == 0 ? KXTRUE : KXFALSE;
}

namespace {

// Removes the entry name of the open directory dir_fd when it is a
// directory (with everything below it) or a link (as a link); path_len is
// the length of its full path, for the limit of clear_below.
void clear_entry(int dir_fd, const char *name, size_t path_len) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    unlinkat(dir_fd, name, 0);
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub >= 0) clear_below(sub, path_len + 1);
  unlinkat(dir_fd, name, AT_REMOVEDIR);
}

}  // namespace

void file_clear_at(int dir_fd, const char *name) {
  if (dir_fd < 0 || name == nullptr || *name == '\0' || strchr(name, '/') != nullptr) return;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return;
  clear_entry(dir_fd, name, strlen(name));
}

void file_clear_all(const char *path) {
  if (path == nullptr) return;
  size_t len = strlen(path);
  if (len <= 4 || len + 1 > kPathMax) return;
  // The last component is looked at, never followed: its parent is opened
  // and the entry removed from there.
  std::string dir(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t slash = dir.find_last_of('/');
  std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  if (name.empty() || name == "." || name == "..") return;
  int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  clear_entry(fd, name.c_str(), dir.size());
  close(fd);
}

file_buffer *file_buffer_open(const char *filename) {
  if (filename == nullptr) return nullptr;
  int fd = open(filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto *b = static_cast<file_buffer *>(malloc(sizeof(file_buffer)));
  char *buf = static_cast<char *>(malloc(kOpenSize));
  if (b == nullptr || buf == nullptr) {
    free(b);
    free(buf);
    close(fd);
    return nullptr;
  }
  buf[0] = '\0';
  b->buffer = buf;
  b->buffer_size = kOpenSize;
  b->buffer_chunk_size = FILE_BUFFER_SIZE;
  b->buffer_len = 0;
  b->line = buf;
  b->next = nullptr;
  b->fd = fd;
  return b;
}

int file_buffer_read_string(file_buffer *b) {
  if (b == nullptr) return 1;
  for (;;) {
    if (b->next != nullptr) {
      // Search by length, so a NUL byte in the file is just another byte.
      size_t left = static_cast<size_t>(b->buffer + b->buffer_len - b->next);
      auto *nl = static_cast<char *>(memchr(b->next, '\n', left));
      if (nl != nullptr) {
        char *cut = nl;
        if (nl > b->next && nl[-1] == '\r') cut = nl - 1;
        *cut = '\0';
        b->line = b->next;
        b->next = nl + 1;
        return 0;
      }
    }
    // Move the unread tail to the front, then read more behind it.
    int consumed = b->next != nullptr ? static_cast<int>(b->next - b->buffer) : 0;
    int tail = b->buffer_len - consumed;
    if (consumed > 0) memmove(b->buffer, b->buffer + consumed, static_cast<size_t>(tail));
    b->buffer_len = tail;
    b->buffer[tail] = '\0';
    b->next = b->buffer;
    b->line = b->buffer;
    ssize_t got = read_chunk(b);
    if (got < 0) return 1;
    if (got == 0) {
      if (tail == 0) return 1;
      // A last line without a final newline is still a line.
      b->line = b->buffer;
      b->next = b->buffer + b->buffer_len;
      return 0;
    }
  }
}

int file_buffer_read_all(file_buffer *b) {
  if (b == nullptr) return 1;
  for (;;) {
    ssize_t got = read_chunk(b);
    if (got < 0) return 1;
    if (got == 0) return 0;
  }
}

void file_buffer_close(file_buffer *b) {
  if (b == nullptr) return;
  free(b->buffer);
  close(b->fd);
  free(b);
}

int file_buffer_line_count(const file_buffer *b) {
  if (b == nullptr || b->buffer == nullptr) return 0;
  int count = 0;
  for (int i = 0; i < b->buffer_len; ++i) count += b->buffer[i] == '\n';
  return count;
}

int file_read_all_string(char **next, char **line) {
  if (next == nullptr || line == nullptr || *next == nullptr || **next == '\0') return 1;
  char *start = *next;
  char *nl = strchr(start, '\n');
  if (nl == nullptr) {
    *line = start;
    *next = start + strlen(start);
    return 0;
  }
  char *cut = nl > start && nl[-1] == '\r' ? nl - 1 : nl;
  *cut = '\0';
  *line = start;
  *next = nl + 1;
  return 0;
}

FILE *file_open(const char *name, const char *mode) {
  if (name == nullptr || mode == nullptr) return nullptr;
  FILE *f = fopen(name, mode);
  if (f == nullptr) kxlog_send(KXLOG_ERROR, "Could not open file %s mode %s\n", name, mode);
  return f;
}

int file_line_count(FILE *f) {
  if (f == nullptr) return -1;
  rewind(f);
  int count = 0;
  for (;;) {
    char *line = file_read_string(f);
    if (line == nullptr) break;
    free(line);
    ++count;
  }
  // file_read_string gives null at the end and on allocation failure alike;
  // only the end leaves the stream at end of file.
  bool at_end = feof(f) != 0;
  rewind(f);
  return at_end ? count : -1;
}

char *file_read_all_size(const char *name, int *size) {
  if (size != nullptr) *size = 0;
  if (name == nullptr) return nullptr;
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::string data;
  char chunk[16384];
  for (;;) {
    ssize_t got = read_retry(fd, chunk, sizeof(chunk));
    if (got < 0 || data.size() + static_cast<size_t>(got) >= INT_MAX) {
      close(fd);
      return nullptr;
    }
    if (got == 0) break;
    data.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  auto *out = static_cast<char *>(malloc(data.size() + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, data.data(), data.size());
  out[data.size()] = '\0';
  if (size != nullptr) *size = static_cast<int>(data.size());
  return out;
}

char *file_read_all(const char *name) { return file_read_all_size(name, nullptr); }

namespace {

// The loop of the four full transfers: call(done) moves the bytes from done
// on and returns its system call's result. Repeats until n bytes have moved,
// retrying interrupted calls; the bytes moved (fewer than n when a call moves
// none), or -1 when a call fails.
template <class Call>
ssize_t transfer_full(size_t n, Call call) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = call(done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

bool moved_all(ssize_t moved, size_t n) { return moved >= 0 && static_cast<size_t>(moved) == n; }

}  // namespace

bool file_write_all(int fd, const void *data, size_t n) {
  const auto *p = static_cast<const char *>(data);
  return moved_all(transfer_full(n, [&](size_t done) { return write(fd, p + done, n - done); }), n);
}

bool file_pwrite_all(int fd, const void *data, size_t n, off_t off) {
  const auto *p = static_cast<const char *>(data);
  return moved_all(
      transfer_full(n, [&](size_t done) { return pwrite(fd, p + done, n - done, off + static_cast<off_t>(done)); }), n);
}

ssize_t file_read_full(int fd, void *buf, size_t n) {
  auto *p = static_cast<unsigned char *>(buf);
  return transfer_full(n, [&](size_t done) { return read(fd, p + done, n - done); });
}

ssize_t file_pread_full(int fd, void *buf, size_t n, off_t off) {
  auto *p = static_cast<unsigned char *>(buf);
  return transfer_full(n, [&](size_t done) { return pread(fd, p + done, n - done, off + static_cast<off_t>(done)); });
}
