// File and directory helpers: a buffered line reader for list files,
// NUL-separated string reading, directory tests and recursive deletion.
//
// The directory tests return KXTRUE (-1) for yes and KXFALSE (0) for no.
// New heap strings belong to the caller (free()).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "lib/base/kxcommon.h"

#define FILE_BUFFER_SIZE 16384

// A buffered line reader over one open file.
struct file_buffer {
  char *buffer;           // heap; its content is always NUL-terminated
  int buffer_size;        // bytes allocated (32768 at open)
  int buffer_chunk_size;  // growth step, FILE_BUFFER_SIZE
  int buffer_len;         // bytes held
  char *line;             // the current line, inside buffer
  char *next;             // first unread byte; null before the first read
  int fd;                 // the open descriptor
};

// Reads single bytes from fd up to a NUL byte and returns them as a new heap
// string; the descriptor is left just after the NUL. Null when the input ends
// or a read fails before a NUL (the bytes read are lost), or on allocation
// failure (logged at level 4).
char *file_read_string_fd(int fd);

// Reads one line up to "\n" from f into a new heap string, without the
// newline and without a CR right before it. Null at end of file when no
// newline follows, or on allocation failure (logged).
char *file_read_string(FILE *f);

// Size in bytes from stat; -1 on failure.
int64_t file_size(const char *name);

// stat of name into st: 0 ok, -1 on failure or for a null name.
int file_stat(const char *name, struct stat *st);

// 0 when stat of name succeeds, -1 otherwise.
int file_exists(const char *name);

// Modification time from stat; -1 on failure.
time_t file_last_accessed(const char *name);

// KXTRUE when path exists (following links) and is a directory, else KXFALSE.
int dir_exists(const char *path);

// mkdir with mode 0777, no parents: KXTRUE on success, KXFALSE on failure.
int dir_create(const char *path);

// Deletes the directory path (which must end with "/") and everything below
// it. A null path or one of 4 characters or fewer is ignored. Symbolic links
// are removed as links, never followed (path itself included: a link there
// loses the link only); an entry whose full path would not fit 2000 bytes is
// left alone. Failures to remove are ignored.
void file_clear_all(const char *path);

// The same for the entry name (one component) of the open directory dir_fd:
// a directory goes with everything below it, a link as a link; other
// entries stay. Nothing on the way is followed.
void file_clear_at(int dir_fd, const char *name);

// Opens filename read-only for line reading. Null when it cannot be opened or
// on allocation failure. Close with file_buffer_close.
file_buffer *file_buffer_open(const char *filename);

// Makes b->line the next line (without "\n" and without a CR before it).
// The line stays valid until the next call. A last line without a final
// newline is returned too. 0 when a line is ready; 1 at end of file, on a
// read or allocation failure, or for a null b.
int file_buffer_read_string(file_buffer *b);

// Reads the rest of the file into b's buffer (b->buffer, b->buffer_len).
// 0 ok, 1 on a read or allocation failure or for a null b.
int file_buffer_read_all(file_buffer *b);

// Frees the buffer, closes the descriptor, frees b; null-safe.
void file_buffer_close(file_buffer *b);

// Number of "\n" bytes held in b's buffer (b->buffer_len bytes); 0 for a
// null b.
int file_buffer_line_count(const file_buffer *b);

// The line splitter of file_buffer_read_string over text the caller holds
// whole (as file_read_all gives it): *next points at the first unread byte.
// Cuts the next line in place (at its "\n", or at a CR right before it),
// points *line at it and moves *next past it; a last line without a final
// newline is returned too, and *next then points at the text's NUL. 0 when a
// line is ready; 1 at the end of the text or for null arguments.
int file_read_all_string(char **next, char **line);

// fopen of name in mode; on failure logs "Could not open file %s mode %s\n"
// at level 4 and returns null.
FILE *file_open(const char *name, const char *mode);

// Rewinds f, counts the lines that file_read_string returns (a last line
// without a newline is not counted), rewinds f again. -1 for a null f or on
// allocation failure.
int file_line_count(FILE *f);

// The whole file as a new NUL-terminated heap string; *size (when not null)
// receives its length in bytes. Null when the file cannot be opened or read,
// or on allocation failure.
char *file_read_all_size(const char *name, int *size);
char *file_read_all(const char *name);

// Writes all n bytes at data to fd, retrying short writes and interrupted
// calls. False when a write fails or writes nothing (fd's position is then
// somewhere inside the bytes).
bool file_write_all(int fd, const void *data, size_t n);
// As file_write_all at offset off (fd's position does not move).
bool file_pwrite_all(int fd, const void *data, size_t n, off_t off);

// Reads until n bytes are in buf or the file ends, retrying short reads and
// interrupted calls. The bytes read (less than n only at the end of the
// file), or -1 on an error.
ssize_t file_read_full(int fd, void *buf, size_t n);
// As file_read_full at offset off (fd's position does not move).
ssize_t file_pread_full(int fd, void *buf, size_t n, off_t off);
