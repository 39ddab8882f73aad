// Category levels and time-bucket levels: the two roads of
// group_add_record that do not group by one value per row.
#include <cstring>
#include <new>

#include "src/report/group.h"
#include "src/report/group_record.h"
#include "src/report/status.h"
#include "src/table/table.h"

// --- Time buckets -------------------------------------------------------------------

namespace {

long long bucket_seconds(int code) {
  switch (code) {
    case 19: return 60;
    case 20: return 300;
    case 21: return 600;
    case 22: return 1800;
    case 23: return 3600;
    case 24: return 7200;
    case 25: return 21600;
    case 26: return 43200;
    case 27: return 86400;
    case 28: return 172800;
    case 29: return 604800;
    default: return 0;
  }
}

}  // namespace

void adjust_for_time_change(const report_tz &tz, struct tm *tm) {
  struct tm copy = *tm;
  if (tz.mktime(&copy) == -1) return;
  tm->tm_sec = copy.tm_sec;
  tm->tm_min = copy.tm_min;
  tm->tm_hour = copy.tm_hour;
  tm->tm_mday = copy.tm_mday;
  tm->tm_mon = copy.tm_mon;
  tm->tm_year = copy.tm_year;
}

time_t group_date_start_time(const report_tz &tz, time_t t, int code) {
  if (code < FIELD_TIMEBUCKET_FIRST || code > FIELD_TIMEBUCKET_LAST) return 0;
  struct tm tm;
  if (!tz.localtime(t, &tm)) return 0;
  tm.tm_sec = 0;
  if (code >= 23) tm.tm_min = 0;
  if (code >= 27) {
    tm.tm_hour = 0;
    // Midnight may lie on the other side of a daylight-saving change than
    // t: let the zone say which offset it has.
    tm.tm_isdst = -1;
  }
  if (code == 30) tm.tm_mday = 1;
  time_t r = tz.mktime(&tm);
  return r == -1 ? 0 : r;
}

time_t group_date_next_time(const report_tz &tz, time_t start, int code) {
  if (code >= FIELD_TIMEBUCKET_FIRST && code < FIELD_TIMEBUCKET_LAST) {
    long long len = bucket_seconds(code);
    return start == 0 ? static_cast<time_t>(len) : start + static_cast<time_t>(len);
  }
  if (code != FIELD_TIMEBUCKET_LAST || start == 0) return 0;
  struct tm tm;
  if (!tz.localtime(start, &tm)) return 0;
  tm.tm_mon += 1;
  // The same local time a month on, whichever offset that day has.
  tm.tm_isdst = -1;
  adjust_for_time_change(tz, &tm);
  time_t r = tz.mktime(&tm);
  return r == -1 || r <= start ? 0 : r;
}

namespace {

GROUP_INDEX *new_bucket(GROUP_TREE *gl, TABLE *input, REPORT *rep, int64_t start, int index_fd) {
  return group_make_summary(gl, input, GROUP_DETAIL_BUFFER_SIZE, rep, &start, index_fd);
}

}  // namespace

int group_add_time_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input,
                          REPORT *rep, TABLE *output) {
  if (!gl->trunk) {
    gl->trunk = new_bucket(gl, input, rep, gl->start_time, index_fd);
    if (!gl->trunk) {
      if (!rep->error) status_add_error(rep, "%s", "Error 10308: (group) Unable to make group summary");
      return 1;
    }
  }
  const Record *e = record_find(rec, map, FIELD_DATE);
  const int64_t t = e && e->data ? static_cast<int64_t>(record_value_uint(*e)) : 0;
  if (gl->next_time > 0 && t >= gl->next_time && gl->bucket_length > 0)
    rep->recs_todo += (t - gl->next_time) / gl->bucket_length;
  // A next start of 0 (a month that cannot be computed) keeps the open
  // bucket for the rest of the input.
  while (gl->next_time > 0 && t >= gl->next_time) {
    GROUP_INDEX *open = gl->trunk;
    // The open browse window belongs to this bucket.
    if (gl->browse_index >= 0) {
      open->counters[gl->browse_index] += open->browse_end - open->browse_start;
      open->browse_start = open->browse_end;
    }
    gl->trunk = nullptr;
    if (output) {
      int64_t n = 0;
      const bool written = table_write_record(output, open->rec, &n) != 0;
      group_free_item(open);
      if (!written) {
        status_add_error(rep, "%s", "Error 10309: (group) Error when writing a record");
        return 1;
      }
      rep->size_written += n;
    } else {
      // A level without an output table (a continuous report's) keeps its
      // finished buckets until the level is written to the database.
      try {
        gl->finished.push_back(open);
      } catch (const std::bad_alloc &) {
        group_free_item(open);
        if (!rep->error) status_add_error(rep, "%s", "Error 10300: (group) Unable to make group summary");
        return 1;
      }
    }
    rep->sort_todo++;
    rep->recs_done++;
    gl->trunk = new_bucket(gl, input, rep, gl->next_time, index_fd);
    if (!gl->trunk) {
      if (!rep->error) status_add_error(rep, "%s", "Error 10300: (group) Unable to make group summary");
      return 1;
    }
    gl->next_time = static_cast<int32_t>(group_date_next_time(rep->zone, gl->next_time, gl->group_type));
  }
  GROUP_ANALYZE a;
  group_analyze_record(rec, map, &a, gl, rep, group_record_mask(gl));
  if (gl->save_details) {
    if (!save_temp_data(rec, map, rep, gl, gl->trunk, &a)) return 1;
    rep->recs_todo++;
  }
  group_increase_summaries(gl->trunk, &a);
  return 0;
}

// --- Categories ------------------------------------------------------------------------

namespace {

bool list_holds(const std::vector<uint32_t> &groups, uint32_t g) {
  for (uint32_t x : groups) {
    if (x == 0) break;
    if (x == g) return true;
  }
  return false;
}

}  // namespace

int group_add_category_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input,
                              REPORT *rep) {
  GROUP_ANALYZE a;
  group_analyze_record(rec, map, &a, gl, rep, group_record_mask(gl));

  cat_t *set = gl->catset;
  cat_clear(set);
  const Record *e = record_find(rec, map, gl->output_code);
  if (!e || !e->data) {
    e = record_find(rec, map, gl->source_type);
    if (e && !e->data) e = nullptr;
  }
  if (!e) cat_add(set, rep->default_cat);
  else if (StorageType(e->datatype) == STORT_INT32) cat_add(set, static_cast<uint32_t>(record_value_uint(*e)));
  else get_category(set, e->datatype, e->data);

  const REPORT_DEFINITION *def = rep->def;
  const int option = def ? def->cats_group_option : 0;
  if ((option >> 8) && set->num > 1) {
    cat_clear(set);
    cat_add(set, rep->default_cat);
  }
  const int mode = option & 0xFF;
  const cat_t *filter = def ? def->cat_filter : nullptr;
  const int catgroup = def && def->group ? def->group[gl->group_level]->catgroup : 0;
  const category_group_map *groups = rep->category_groups;
  bool default_counted = false;
  bool prepared = false;  // the detail row, made once for all the row's categories

  for (uint32_t i = 0; i < set->num; ++i) {
    uint32_t c = set->catnums[i];
    if (mode) {
      if (filter) {
        bool in = cat_has(filter, c);
        if (mode == 1 ? !in : in) continue;
      } else if (mode == 1) {
        continue;
      }
    }
    const std::vector<uint32_t> *list = nullptr;
    if (groups) {
      auto it = groups->find(c);
      if (it == groups->end()) {
        // Only a category-group map can say a category is unknown.
        c = rep->default_cat;
        it = groups->find(c);
      }
      if (it != groups->end()) list = &it->second;
    }
    if (catgroup && list && !list_holds(*list, static_cast<uint32_t>(catgroup))) continue;
    uint32_t key = group_display_category(rep, c);
    // The set is sorted and unique and a category only ever stands for
    // itself or the default: the default alone can come twice, and the row
    // counts there once.
    if (key == rep->default_cat) {
      if (default_counted) continue;
      default_counted = true;
    }

    GROUP_INDEX *item = group_lookup(gl, &key);
    if (!item) {
      item = group_make_summary(gl, input, GROUP_DETAIL_BUFFER_SIZE, rep, &key, index_fd);
      if (!item) {
        if (!rep->error) status_add_error(rep, "%s", "Error 10302: (group) Unable to make group summary for category");
        return 1;
      }
      int r = group_add(gl, item);
      if (r == 0) {
        group_destroy_item(item);
        status_add_error(rep, "%s", "Error 10303: (group) Unable to add summary record to group list");
        return 1;
      }
      if (r == 1) {
        group_destroy_item(item);
        continue;
      }
    }
    group_increase_summaries(item, &a);
    if (gl->save_details) {
      if (gl->datarec && item->tbl) {
        if (!prepared && !group_prep_temp_data(rec, map, gl->datarec.get(), rep, gl, &a)) return 1;
        prepared = true;
        if (!save_prepared_temp_data(rep, gl, item)) {
          group_reset_temp_data(gl->datarec.get());
          return 1;
        }
      }
      rep->recs_todo++;
    }
  }
  if (prepared) group_reset_temp_data(gl->datarec.get());
  return 0;
}
