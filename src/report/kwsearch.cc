#include "src/report/kwsearch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "lib/base/kxfile.h"
#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/base/kxraii.h"
#include "lib/lists/serialcrypt.h"

namespace {

std::mutex current_engine_lock;
std::shared_ptr<kwsearch_engine> current_engine;
bool load_failed = false;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ends_with_kxz(const char *name) {
  size_t n = strlen(name);
  return n >= 4 && strcmp(name + n - 4, ".kxz") == 0;
}

// The engine for the keyword file, or null when it cannot be made or loaded.
std::shared_ptr<kwsearch_engine> load_engine() {
  kwsearch_engine *e = kwsearch_new_engine();
  if (!e) return nullptr;
  if (kwsearch_load_file(e, KWSEARCH_FILE) != 0) {
    kwsearch_destroy_engine(e);
    return nullptr;
  }
  try {
    return std::shared_ptr<kwsearch_engine>(e, kwsearch_destroy_engine);
  } catch (const std::bad_alloc &) {
    kwsearch_destroy_engine(e);
    return nullptr;
  }
}

int serialcrypt_line(char *line, void *data) { return kwsearch_add_line(line, data) < 0 ? 1 : 0; }

}  // namespace

kwsearch_engine *kwsearch_new_engine() {
  kwsearch_engine *e = new (std::nothrow) kwsearch_engine;
  if (e) e->engine = query_search_engine_new(0);
  if (!e || !e->engine) {
    delete e;
    kxlog_send(KXLOG_ERROR, "kw_search_new_engine: memory allocation error\n");
    return nullptr;
  }
  return e;
}

void kwsearch_destroy_engine(kwsearch_engine *engine) { delete engine; }

int kwsearch_add_line(char *line, void *cb_data) {
  auto *cb = static_cast<kwsearch_cb_data *>(cb_data);
  if (!line || !*line || *line == '#') return 0;
  const char *p = line;
  while (*p && !is_blank(*p)) ++p;
  const std::string *name;
  try {
    cb->details->emplace_back(line, static_cast<size_t>(p - line));
    name = &cb->details->back();
  } catch (const std::bad_alloc &) {
    kxlog_send(KXLOG_ERROR, "kw_search_all_line: memory allocation error\n");
    return -1;
  }
  while (is_blank(*p)) ++p;
  while (*p && !is_blank(*p)) ++p;  // the second field is not used
  while (is_blank(*p)) ++p;
  // An empty query would add nothing; it is refused like a malformed one.
  if (!*p || query_add_rule(cb->engine, p, const_cast<char *>(name->c_str()), 0) != 0)
    kxlog_send(KXLOG_ERROR, "kw_search_all_line: Can't add keyword/query '%s'\n", line);
  return 0;
}

int kwsearch_load_file(kwsearch_engine *engine, const char *file) {
  if (!engine || !file) return 1;
  kx_malloc_ptr<char> path(kxpath_append(file));
  if (!path) {
    kxlog_send(KXLOG_ERROR, "kwsearch_load_file: memory allocation error\n");
    return 1;
  }
  kwsearch_cb_data cb{engine->engine, &engine->details};
  if (!ends_with_kxz(file)) {
    file_buffer *fb = file_buffer_open(path.get());
    if (!fb) {
      kxlog_send(KXLOG_ERROR, "kw_search_load_file: Can't open the keyword file %s: %s.\n", file,
                 strerror(errno));
    } else {
      while (file_buffer_read_string(fb) == 0) {
        if (kwsearch_add_line(fb->line, &cb) < 0) break;
      }
      file_buffer_close(fb);
    }
  } else if (serialcrypt_add_file(path.get(), serialcrypt_line, &cb) != -1) {
    kxlog_send(KXLOG_ERROR, "kw_search_load_file: failed loading encrypted file %s\n", path.get());
  }
  kxlog_send(KXLOG_MESSAGE, "kw_search_load_file: %u lines loaded from the file %s\n",
             static_cast<unsigned>(engine->details.size()), path.get());
  if (query_search_engine_compile(engine->engine) != 0) {
    kxlog_send(KXLOG_ERROR, "kw_search_load_file: Failed engine compilation\n");
    return 1;
  }
  return 0;
}

std::shared_ptr<kwsearch_engine> kwsearch_get_engine() {
  std::lock_guard<std::mutex> g(current_engine_lock);
  if (!current_engine && !load_failed) {
    kwsearch_engine *e = kwsearch_new_engine();
    if (!e) return nullptr;
    if (kwsearch_load_file(e, KWSEARCH_FILE) != 0) {
      kwsearch_destroy_engine(e);
      load_failed = true;
      return nullptr;
    }
    try {
      current_engine = std::shared_ptr<kwsearch_engine>(e, kwsearch_destroy_engine);
    } catch (const std::bad_alloc &) {
      kwsearch_destroy_engine(e);
      return nullptr;
    }
  }
  return current_engine;
}

void kwsearch_release_engine(std::shared_ptr<kwsearch_engine> &engine) { engine.reset(); }

int kwsearch_reload_file() {
  std::shared_ptr<kwsearch_engine> fresh = load_engine();
  if (!fresh) {
    kxlog_send(KXLOG_ERROR, "kw_search_reload_file: keeping the current keyword engine\n");
    return 1;
  }
  {
    std::lock_guard<std::mutex> g(current_engine_lock);
    current_engine.swap(fresh);
    load_failed = false;
  }
  // fresh now holds the old engine: destroyed here unless a run holds it.
  return 0;
}

void kwsearch_terminate() {
  std::shared_ptr<kwsearch_engine> old;
  std::lock_guard<std::mutex> g(current_engine_lock);
  old.swap(current_engine);
  load_failed = false;
}

char *kwsearch_get_words(const kwsearch_engine *engine, const char *text) {
  if (!engine || !engine->engine || !text) return nullptr;
  query_search_state *state = query_search_state_new(engine->engine);
  if (!state) return nullptr;
  const int len = static_cast<int>(strnlen(text, INT32_MAX));
  char *out = nullptr;
  const query_search_allwords_result *res = query_search_allwords(engine->engine, text, len, state);
  if (res && res->num > 0) {
    // Sized exactly from the pieces, so no word can overrun it.
    size_t size = 1;
    for (int i = 0; i < res->num; ++i) {
      const query_search_allwords_word &w = res->words[static_cast<size_t>(i)];
      size += (i ? 2 : 0) + 5 + static_cast<size_t>(w.len > 0 ? w.len : 0) +
              strlen(static_cast<const char *>(w.data));
    }
    out = static_cast<char *>(malloc(size));
    if (out) {
      char *q = out;
      for (int i = 0; i < res->num; ++i) {
        const query_search_allwords_word &w = res->words[static_cast<size_t>(i)];
        if (i) {
          *q++ = ',';
          *q++ = ' ';
        }
        *q++ = '"';
        // The text's own form of the word; a negative offset counts back
        // from the end. Clipped to the text, whatever the engine says.
        long off = w.offset < 0 ? static_cast<long>(w.offset) + len : w.offset;
        long n = w.len > 0 ? w.len : 0;
        if (off < 0) off = 0;
        if (off > len) off = len;
        if (n > len - off) n = len - off;
        memcpy(q, text + off, static_cast<size_t>(n));
        q += n;
        *q++ = '"';
        *q++ = ':';
        *q++ = '"';
        const char *name = static_cast<const char *>(w.data);
        size_t nl = strlen(name);
        memcpy(q, name, nl);
        q += nl;
        *q++ = '"';
      }
      *q = '\0';
    }
  }
  query_search_state_destroy(state);
  return out;
}
