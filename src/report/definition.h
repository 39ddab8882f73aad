// The report definition text and its parser.
//
// A definition is a text of lines (split at LF, each trimmed), grouped into
// sections by the header lines "[general]", "[group]", "[static_filter]",
// "[dynamic_filter]" and "[fields metadata precompiled]"; inside a section
// every "key=value" line is a setting. The parser turns it into the
// REPORT_DEFINITION of a report run (report.h) and validates it for the
// run's kind. Every failure is a numbered "(def)" error text recorded in the
// run with status_add_error; callers treat any recorded text as a failed
// load.
//
// Field ids in a definition are one byte: an id above 255 (or below 0) is
// refused rather than cut to its low byte, and a detail column whose type no
// input and no type hint can give is refused, since a column of type 0 would
// make a table nobody can read.
//
// The parser allocates what the definition owns with malloc (free it with
// free_report_definition); it takes references to the shared domain and
// search-term lists through the report, given back by free_report.
#pragma once

#include <regex.h>
#include <stdint.h>

#include <span>

struct REPORT;
struct REPORT_DEFINITION;
struct REPORT_GROUP;
struct SORT_OPTION;
struct VIEW_OPTION;
struct FILTER_RULE;

// The category a record without one is counted under.
#define REPORT_DEFAULT_CATEGORY 106

// Parses text into rep->def (a definition already there is freed first).
// Returns -1 when the definition was built; 0 when the parse ended on an
// error (rep->def is then null). Threshold and domain-expression errors
// leave the definition in place with the error text recorded: test
// rep->error, not only the result. Null rep gives 0; null text counts as
// an empty text (no groups).
int report_definition_interpret_definition(REPORT *rep, const char *text);

// The section readers. lines are the trimmed lines of the whole text (NUL
// terminated, writable: a key is cut at its "=" in place); first is the
// index of the line after the header. Each returns the index of the line
// that ends the section (a line beginning with "[" or lines.size()), or -1
// after recording an error. group is the index of the section's group.
int report_definition_interpret_general_section(REPORT *rep, REPORT_DEFINITION *def,
                                                std::span<char *const> lines, int first);
int report_definition_interpret_group_section(REPORT *rep, REPORT_DEFINITION *def,
                                              std::span<char *const> lines, int first,
                                              int group);
int report_definition_interpret_filter_section(REPORT *rep, REPORT_DEFINITION *def,
                                               std::span<char *const> lines, int first);
int report_definition_interpret_metadata_section(REPORT *rep, REPORT_DEFINITION *def,
                                                 std::span<char *const> lines, int first);

// --- Value syntaxes ---------------------------------------------------------

// Result of the value readers below.
enum report_definition_value_result {
  DEFINITION_VALUE_OK = 0,
  DEFINITION_VALUE_NOMEM = 1,     // nothing built
  DEFINITION_VALUE_BAD_FIELD = 2,  // a field id outside 0..255
};

// Field list ("summary", "details"): elements split at ",", trimmed; a
// whole number is appended; a number with trailing text only when its id is
// not in the list yet; a 0 ends the list. *out gets a new 0-terminated
// array (malloc) on DEFINITION_VALUE_OK, else null.
int report_definition_process_field_arr(const char *value, unsigned char **out);

// Order list: pairs (field, direction); a pair whose field is not a whole
// number is skipped, an odd last element ignored. *out gets a new array
// ended by {0, 0}, or null when no pair was kept. A direction outside the
// range of signed char is stored as 0, so validation refuses it.
int report_definition_process_field_orderby(const char *value, SORT_OPTION **out);

// View list: views split at single blanks, each written
// "keyword!fields!n!n...". *out gets the list in text order (null for none).
// A malformed view discards the whole value (DEFINITION_VALUE_OK
// with *out null), as does an empty value.
int report_definition_process_view(const char *value, VIEW_OPTION **out);

// Frees a view list (null-safe).
void report_definition_free_view_options(VIEW_OPTION *view);

// Threshold line "name:rule", AND-ed into the group's thresholds. Errors
// are recorded in rep (10150 to 10152) but do not stop the parse.
void report_definition_process_threshold(REPORT *rep, REPORT_DEFINITION *def, REPORT_GROUP *group,
                                         const char *value);

// "type,category": (type & 0xFF) + 256 * category.
int report_definition_process_catopt(const char *value);

// Metadata key "48": the domain definition. -1 when the parse must stop
// (error recorded, def gets no domain); 0 otherwise, also after a recorded
// regular-expression error (the domain stays).
int report_definition_process_domain_definition(REPORT *rep, REPORT_DEFINITION *def,
                                                const char *value);

// --- Validation -------------------------------------------------------------

// Checks the fields of group n (from 1) of the definition for the report's
// kind. 0 ok; -1 with the error recorded.
int report_definition_validate_group_fields(REPORT *rep, REPORT_GROUP *group, int n, int last);
int report_definition_validate_group_orderby(REPORT *rep, REPORT_GROUP *group, int n);

// -1 when no leaf of the tree tests field 31 (relative date), respectively
// field 7 (absolute date), else 0. An empty tree is free of both.
int check_for_relative_dates(const FILTER_RULE *tree);
int check_for_absolute_dates(const FILTER_RULE *tree);

// Whether a detail column on field id can ever be typed: the field has a
// type hint or is one the request-log readers deliver.
bool report_definition_detail_field_typed(unsigned field);

// The type byte of detail column `field` of the current level, from the
// input row's type byte (0 when the input lacks the field) or else the type
// hint (a category-list hint becomes a string). When neither gives a type,
// records "Error 10125: (def) Detail field %d has no type, group %d" (group
// counts from 1) and returns 0: the caller must fail the level.
uint8_t report_definition_detail_type(REPORT *rep, unsigned field, uint8_t input_type, int group);

// --- Definition objects -----------------------------------------------------

// free_report_definition (report.h) frees the definition and all it owns
// (filter, groups with their lists, views and thresholds, lang, tz, the
// domain definition, cat_filter); it lives in definition.cc.

// Joins (field 7 >= start) AND (field 7 <= end) in front of the filter.
// Returns -1 on success; 0 when memory runs out, the report and its
// definition left as they were (alive: the caller records the error and
// frees the report once).
int report_definition_add_date_range(REPORT *rep);

// Rows the views of the current level (rep->group_def) need: layout views
// skipped, a view of 0 records gives 0 (no limit), else the largest recs,
// tripled for trend views. 0 without a current level.
int report_definition_get_max_records(REPORT *rep);

// regcomp with a guard against patterns that glibc compiles too slowly or
// with too much memory ("((a{255}){255}){255}" takes seconds and
// gigabytes, a few thousand "(a*)*" seconds) or whose groups nest deeper
// than 100 (glibc parses them recursively and runs out of stack): those give
// REG_ESPACE without compiling. Long alternations are compiled nested, a few
// alternatives at a time (kxregex_compile); group (may be null) is a capture
// group number of the pattern as written and becomes its number in the
// compiled expression. Otherwise as regcomp.
int report_definition_regcomp(regex_t *re, const char *pattern, int cflags, int *group = nullptr);
