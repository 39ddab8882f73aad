// Derived record fields and the small parsers the grouping engine uses on
// record values.
//
// The host (32), domain (48), search terms (53) and data words (70) of a row
// are computed the first time they are asked for and stored in the row's
// entry of that id, so a row pays for each derivation at most once. The
// entry holds a view, never a copy, of the host and domain (in this
// thread's host table, or for long hosts in its reused texts and the run's
// cache) and of the search terms (in the run's cache);
// views stay valid while the row is worked on, and the holder of the row
// clears the entry before its next row. Data words are text the row owns
// (RECORD_FLAG_OWNED). A derivation that gives nothing stores "-". A row
// without an entry of that id gets nothing stored; the value is then
// returned from a per-thread scratch text that stays valid until the next
// derivation of the same field on the same thread.
//
// The domain and the search terms depend on the run (its domain definition
// and search-term list); the rows of a scheduled batch are read by several
// runs, so those two values carry the stamp of the run that derived them and
// another run derives its own.
//
// Each run caches host -> domain and URL -> search terms in a bounded map:
// repeated hosts pay one URL explosion. Cached results equal the uncached
// derivation (the lists a run holds never change). Each thread keeps a
// bounded table of hosts, keyed by the URL's host bytes, that holds the
// host text and its domain for the run that asked last: a row whose host is
// there gets its host and domain as views of that entry with one hash of
// the host bytes, no copy and no allocation.
//
// Rows belong to one report thread; nothing here locks.
#pragma once

#include <string_view>

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "lib/record/category.h"
#include "src/report/report.h"

// The text that stands for "nothing derived".
#define FIELDS_NONE "-"

// --- Cached derivations on a row ------------------------------------------
// Each returns the stored or new value (owned by the row, or scratch as
// above), or null when the source field has no value.

// 32 from field 1.
const char *find_host(RECORD *row, const unsigned char *map);
// 48 from the row's host and rep's domain definition (field 1 needed).
const char *find_domain(REPORT *rep, RECORD *row, const unsigned char *map);
// 53 from field 1 and rep->searchterms.
const char *find_search_terms(REPORT *rep, RECORD *row, const unsigned char *map);
// 70 from field 64 when field 63 is 8, with the shared keyword engine.
const char *find_data_words(REPORT *rep, RECORD *row, const unsigned char *map);
// The derived text of field id (32, 48, 53, 70 as above; 46 the protocol of
// the row's URL, in this thread's scratch text until its next call) or null
// when it has none or id is not derived.
const char *find_derived(REPORT *rep, RECORD *row, const unsigned char *map, int id);

// Compute, store "-" for nothing, return the value (null only when memory
// runs out).
const char *get_host_save(RECORD *row, const unsigned char *map);
const char *get_domain_save(REPORT *rep, RECORD *row, const unsigned char *map);
const char *get_search_terms_save(REPORT *rep, RECORD *row, const unsigned char *map);
const char *get_data_words_save(REPORT *rep, RECORD *row, const unsigned char *map);

// --- Plain derivations on a value -----------------------------------------
// Each returns a new heap string (free()) or null.

// The host of a URL, lowercased, port kept: after "://", restarted after
// each "@", up to the first "/", "?" or "#". Null without "://".
char *get_host(const char *url);
// The domain of a host by the definition (null without one or for a null
// host); the host is not changed (its port is cut from a copy).
char *extract_domain(const char *host, const DOMAIN_DEFINITION *dd);
// extract_domain of get_host.
char *get_domain(const char *url, const DOMAIN_DEFINITION *dd);
// The search terms the run's search-term list extracts from the URL,
// URL-decoded and lowercased; null without a list or without terms.
char *get_search_terms(const char *url, REPORT *rep);
// The data words of a text (the run takes a keyword-engine reference on
// first use); null without an engine or words.
char *get_data_words(const char *text, REPORT *rep);
// The protocol of a URL: the text before "://", or for a host under the
// protocol-check suffix FIELDS_PROTOCOL_SUFFIX the two labels before it.
char *find_protocol(const char *url);
// find_protocol as a view into url (empty data for none); allocates nothing.
std::string_view find_protocol_view(const char *url);

// The cached forms of extract_domain and get_search_terms for run rep
// (equal results).
char *report_domain_of_host(REPORT *rep, const char *host);
char *report_search_terms_of_url(REPORT *rep, const char *url);

// Sets the number of entries of each of the run's caches (rounded up to a
// power of two, at least 1; emptied). The default is FIELDS_CACHE_SLOTS.
void report_field_cache_set_size(REPORT *rep, size_t slots);
#define FIELDS_CACHE_SLOTS 8192
// Keys longer than this are derived without the cache.
#define FIELDS_CACHE_MAX_KEY 512

// Sets the number of entries of the calling thread's host table (rounded up
// to a power of two, at least 1; emptied, so no row of this thread may still
// hold a host or domain derived before). The default is FIELDS_HOST_SLOTS.
void fields_set_thread_host_slots(size_t slots);
// 64 KiB: the table stays in the core's cache, and a host it misses costs
// less than a larger table's trip to memory for every row.
#define FIELDS_HOST_SLOTS 1024

// The 31-character host suffix the protocol check looks for.
#define FIELDS_PROTOCOL_SUFFIX ".proto.check.tallowmere.invalid"

// --- Utilities ------------------------------------------------------------

struct bandwidth_stats {
  int64_t input_bytes;
  int64_t output_bytes;
};

// Adds the categories of a value to set: for a string print type a list of
// decimal numbers separated by "," (an item that does not parse adds
// nothing; the list ends at the first character after an item that is not
// ","), otherwise a NUL-terminated string of category bytes. Null set or
// value: nothing.
void get_category(cat_t *set, uint8_t type, const void *value);

// "IB:<n>" and "OB:<n>" (each followed by ";" or the end) of text; any
// failure sets both to 0.
void get_bandwidth_stats(const char *text, bandwidth_stats *out);

// Bytes the row takes in a report table file with IP storage ip_type,
// summed up to the first entry without a value.
long long record_length(const RECORD *row, int ip_type);

// The type-hints table.
const Record *get_type_hints();

// t in local time as "%Y-%m-%d %H:%M:%S" into buf; the length written (0
// when it does not fit or the time cannot be converted).
size_t format_date_time(time_t t, char *buf, size_t size);
