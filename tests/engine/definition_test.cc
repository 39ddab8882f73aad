// The definition text parser: sections, value syntaxes, validation per
// report kind, the numbered error texts, and the refusal of field ids that
// do not fit a byte and of detail columns nothing can type.
#include <stdlib.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "lib/base/kxpath.h"
#include "lib/record/record.h"
#include "src/report/definition.h"
#include "src/report/fields.h"
#include "src/report/filter.h"
#include "src/report/report.h"
#include "src/report/reportlists.h"
#include "tests/fixtures/tmpdir.h"

namespace {

// A parsed definition of one report kind; the run is freed at the end.
class Parsed {
 public:
  Parsed(int kind, const std::string &text) {
    rep_ = new_report_initialize(kind, 1, "name", "owner", 0, 0, 0, nullptr);
    rc_ = report_definition_interpret_definition(rep_, text.c_str());
  }
  ~Parsed() { free_report(rep_); }
  Parsed(const Parsed &) = delete;
  Parsed &operator=(const Parsed &) = delete;

  REPORT *rep() const { return rep_; }
  REPORT_DEFINITION *def() const { return rep_->def; }
  REPORT_GROUP *group(int i) const { return rep_->def->group[i]; }
  bool ok() const { return rc_ == -1 && rep_->def != nullptr && rep_->error == nullptr; }
  std::string error() const { return rep_->error ? rep_->error : ""; }

 private:
  REPORT *rep_ = nullptr;
  int rc_ = 0;
};

const char kDemandFilter[] = "[static_filter]\ndate=>= 100\n";
const char kSummary[] = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10\n";

std::string bytes(const unsigned char *p) {
  std::string s;
  for (; p && *p; ++p) s += std::to_string(*p) + ",";
  return s;
}

TEST(DefinitionParse, ValidDemandSummary) {
  Parsed p(REPORT_DEMAND,
           "[general]\nversion=1\n\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9, 10 ,12\n"
           "orderby=9,-1,3,1\ntopk=20\n[static_filter]\ndate=@ 100 200\nuser=== \"bob\"\n");
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_STREQ(p.def()->lang, "en_US");
  EXPECT_EQ(p.def()->tz, nullptr);
  EXPECT_EQ(p.rep()->default_cat, 106u);
  ASSERT_NE(p.def()->group[0], nullptr);
  EXPECT_EQ(p.def()->group[1], nullptr);
  REPORT_GROUP *g = p.group(0);
  EXPECT_EQ(g->type, 1);
  EXPECT_EQ(g->groupby, 3);
  EXPECT_EQ(g->topk, 20);
  EXPECT_EQ(bytes(g->summary), "9,10,12,");
  ASSERT_NE(g->orderby, nullptr);
  EXPECT_EQ(g->orderby[0].field, 9);
  EXPECT_EQ(g->orderby[0].order, -1);
  EXPECT_EQ(g->orderby[1].field, 3);
  EXPECT_EQ(g->orderby[1].order, 1);
  EXPECT_EQ(g->orderby[2].field, 0);
  EXPECT_TRUE(filter_tree_has_field(p.def()->filter, 7));
  EXPECT_TRUE(filter_tree_has_field(p.def()->filter, 3));
}

TEST(DefinitionParse, GeneralSection) {
  Parsed p(REPORT_SCHEDULED,
           "[general]\r\nlanguage = de_DE\r\nlanguage=fr_FR\r\ntimezone=Europe/Berlin\r\n"
           "[group]\r\ntype=SUMMARY\r\ngroupby=2\r\n[fields metadata precompiled]\r\n52=300\r\n");
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_STREQ(p.def()->lang, "fr_FR");
  EXPECT_STREQ(p.def()->tz, "Europe/Berlin");
  EXPECT_EQ(p.def()->btime, 300);
}

// The error texts of whole definitions, one case per rule.
struct ErrorCase {
  const char *what;
  int kind;
  std::string text;
  const char *error;  // "" for success
};

class DefinitionErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(DefinitionErrors, GivesItsText) {
  const ErrorCase &c = GetParam();
  Parsed p(c.kind, c.text);
  EXPECT_EQ(p.error(), c.error) << c.what;
  if (*c.error == '\0') {
    EXPECT_TRUE(p.ok()) << c.what;
  }
}

// "host0[.]com|host1[.]com|..." with n domains.
std::string domain_alternation(int n) {
  std::string alt;
  for (int i = 0; i < n; ++i) alt += (i ? "|host" : "host") + std::to_string(i) + "[.]com";
  return alt;
}

const std::string S = kSummary;
const std::string F = kDemandFilter;

INSTANTIATE_TEST_SUITE_P(
    Table, DefinitionErrors,
    testing::Values(
        ErrorCase{"no group", REPORT_DEMAND, "[general]\nversion=1\n" + F,
                  "Error 10106: (def) No report groups found"},
        ErrorCase{"group in an unknown section's place only", REPORT_DEMAND, "[groups]\ntype=SUMMARY\n" + F,
                  "Error 10106: (def) No report groups found"},
        ErrorCase{"blank before SUMMARY", REPORT_DEMAND, "[group]\ntype= SUMMARY\n" + F,
                  "Error 10118: (def) Invalid group type, group 1"},
        ErrorCase{"lower-case type", REPORT_DEMAND, S + "[group]\ntype=summary\n" + F,
                  "Error 10118: (def) Invalid group type, group 2"},
        ErrorCase{"version 2", REPORT_DEMAND, "[general]\nversion=2\n" + S + F,
                  "Error 10109: (def) Invalid report version"},
        ErrorCase{"second filter line rejected", REPORT_DEMAND,
                  S + "[static_filter]\ndate=>= 100\nuser=== bob\n",
                  "Error 10112: (def) User filter invalid, line 7"},
        ErrorCase{"dynamic filter joins static", REPORT_DEMAND,
                  S + F + "[dynamic_filter]\nip=== 10.0.0.1\n", ""},
        ErrorCase{"ip rule rejected", REPORT_DEMAND, S + F + "dstip=== nowhere\n",
                  "Error 10111: (def) IP filter invalid, line 7"},
        ErrorCase{"denied rule", REPORT_DEMAND, S + F + "denied=true\n",
                  "Error 10117: (def) Denied filter invalid, line 7"},
        ErrorCase{"denied TRUE", REPORT_DEMAND, S + F + "denied=TRUE\n", ""},
        ErrorCase{"numbered key rejected", REPORT_DEMAND, S + F + "9=== \"x\"\n",
                  "Error 10165: (def) Filter invalid, line 7"},
        ErrorCase{"unknown key", REPORT_DEMAND, S + F + "colour=== 3\n",
                  "Error 10166: (def) Unknown filter field: colour"},
        ErrorCase{"demand without filter", REPORT_DEMAND, S, "Error 10134: (def) Missing filter"},
        ErrorCase{"demand with reldate only", REPORT_DEMAND, S + "[static_filter]\nreldate=>= 0\n",
                  "Error 10135: (def) Demand reports cannot contain relative dates"},
        ErrorCase{"scheduled with date", REPORT_SCHEDULED, S + F,
                  "Error 10136: (def) Scheduled reports cannot contain absolute dates"},
        ErrorCase{"scheduled with reldate", REPORT_SCHEDULED, S + "[static_filter]\nreldate=>= 0\n", ""},
        // Number operands take a sign, as the C library reads them.
        ErrorCase{"reldate the day before", REPORT_SCHEDULED, S + "[static_filter]\nreldate=>= -86400\n", ""},
        ErrorCase{"date with a plus sign", REPORT_DEMAND, S + "[static_filter]\ndate=>= +100\n", ""},
        ErrorCase{"threshold with a sign", REPORT_DEMAND, S + "threshold=request_count:>= +1\n" + F, ""},
        ErrorCase{"date with trailing text", REPORT_DEMAND, S + "[static_filter]\ndate=>= 100abc\n",
                  "Error 10110: (def) Date filter invalid, line 6"},
        ErrorCase{"threshold with trailing text", REPORT_DEMAND, S + "threshold=request_count:>= 1:2\n" + F,
                  "Error 10150: (def) Invalid threshold filter for: request_count"},
        ErrorCase{"long alternation in a filter", REPORT_DEMAND,
                  S + F + "url=~ \"^http://(www[.])?(" + domain_alternation(200) + ")/\"\n", ""},
        ErrorCase{"scheduled without filter", REPORT_SCHEDULED, S, ""},
        ErrorCase{"continuous with date", REPORT_CONTINUOUS, S + F,
                  "Error 10137: (def) Continuous reports cannot contain absolute dates"},
        ErrorCase{"continuous with two groups", REPORT_CONTINUOUS, S + S,
                  "Error 10138: (def) Too many groups found for continuous report"},
        ErrorCase{"continuous percent", REPORT_CONTINUOUS, "[group]\ntype=SUMMARY\nsummary=9,33\n",
                  "Error 10142: (def) Continuous reports cannot contain percent totals, group 1"},
        ErrorCase{"demand percent", REPORT_DEMAND, "[group]\ntype=SUMMARY\nsummary=9,33\n" + F, ""},
        ErrorCase{"summary of a key field", REPORT_DEMAND, "[group]\ntype=SUMMARY\nsummary=9,3\n" + F,
                  "Error 10122: (def) Invalid summary field, group 1"},
        ErrorCase{"continuous without summary", REPORT_CONTINUOUS, "[group]\ntype=SUMMARY\ngroupby=3\n",
                  "Error 10123: (def) Missing Summary Info, group 1"},
        ErrorCase{"detail without fields", REPORT_DEMAND, "[group]\ntype=DETAIL\n" + F,
                  "Error 10126: (def) Missing detail field info, group 1"},
        ErrorCase{"continuous detail", REPORT_CONTINUOUS, "[group]\ntype=DETAIL\ndetails=1,3\n",
                  "Error 10124: (def) Continuous reports cannot have detail groups, group 1"},
        ErrorCase{"detail not last", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=1,3\n" + S + F,
                  "Error 10127: (def) Detail group must be last in the group list, group 1"},
        ErrorCase{"detail last", REPORT_DEMAND, S + "[group]\ntype=DETAIL\ndetails=1,3,32,46,52\n" + F, ""},
        ErrorCase{"continuous order", REPORT_CONTINUOUS, "[group]\ntype=SUMMARY\nsummary=9\norderby=9,1\n",
                  "Error 10132: (def) Continuous reports cannot be ordered, group 1"},
        ErrorCase{"order of the key", REPORT_DEMAND, S + "orderby=3,1,9,-1\n" + F, ""},
        ErrorCase{"order of another field", REPORT_DEMAND, S + "orderby=4,1\n" + F,
                  "Error 10128: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of a time bucket", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=22\nsummary=9\norderby=22,1\n" + F,
                  "Error 10140: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of a time bucket by date", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=22\nsummary=9\norderby=7,1\n" + F, ""},
        // Time buckets are 19 to 30, the month included; 18 and 31 are none.
        ErrorCase{"order of a month bucket by date", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=30\nsummary=9\norderby=7,-1\n" + F, ""},
        ErrorCase{"order of a minute bucket by date", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=19\nsummary=9\norderby=7,1\n" + F, ""},
        ErrorCase{"order of a month bucket by itself", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=30\nsummary=9\norderby=30,1\n" + F,
                  "Error 10140: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of field 18 by date", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=18\nsummary=9\norderby=7,1\n" + F,
                  "Error 10128: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of field 31 by date", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=31\nsummary=9\norderby=7,1\n" + F,
                  "Error 10128: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of a category grouping", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\norderby=5,1\n" + F,
                  "Error 10141: (def) Invalid orderby field, group 1"},
        ErrorCase{"order of a category grouping by 62", REPORT_DEMAND,
                  "[group]\ntype=SUMMARY\ngroupby=60\nsummary=9\norderby=62,-1\n" + F, ""},
        ErrorCase{"direction 2", REPORT_DEMAND, S + "orderby=9,2\n" + F,
                  "Error 10129: (def) Invalid orderby direction, group 1"},
        ErrorCase{"direction 257 is not 1", REPORT_DEMAND, S + "orderby=9,257\n" + F,
                  "Error 10129: (def) Invalid orderby direction, group 1"},
        ErrorCase{"detail direction", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=1\norderby=4,0\n" + F,
                  "Error 10131: (def) Invalid orderby direction, group 1"},
        ErrorCase{"detail order of any field", REPORT_DEMAND,
                  "[group]\ntype=DETAIL\ndetails=1\norderby=4,1\n" + F, ""},
        ErrorCase{"emailtest skips validation", REPORT_DEMAND, "[general]\nemailtest=1\n[group]\ntype=BAD\n", ""},
        ErrorCase{"emailtest needs a group", REPORT_DEMAND, "[general]\nemailtest=1\n",
                  "Error 10106: (def) No report groups found"},
        // Field ids are one byte: larger ones are refused, never folded.
        ErrorCase{"summary 265", REPORT_DEMAND, "[group]\ntype=SUMMARY\nsummary=265\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"details 257x", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=1,257x\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"groupby 264", REPORT_DEMAND, "[group]\ntype=SUMMARY\ngroupby=264\nsummary=9\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"groupby -1", REPORT_DEMAND, "[group]\ntype=SUMMARY\ngroupby=-1\nsummary=9\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"orderby 265", REPORT_DEMAND, S + "orderby=265,1\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"view field 300", REPORT_DEMAND, S + "view=pie!300!10!1\n" + F,
                  "Error 10119: (def) Invalid field id, group 1"},
        ErrorCase{"filter key 263", REPORT_DEMAND, S + F + "263=>= 1\n",
                  "Error 10165: (def) Filter invalid, line 7"},
        ErrorCase{"threshold 265", REPORT_DEMAND, S + "threshold=265:>= 1\n" + F,
                  "Error 10151: (def) Unknown threshold field: 265"},
        // A detail column whose type nothing can give.
        ErrorCase{"detail counter", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=1,9\n" + F,
                  "Error 10125: (def) Detail field 9 has no type, group 1"},
        ErrorCase{"detail time bucket", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=20\n" + F,
                  "Error 10125: (def) Detail field 20 has no type, group 1"},
        ErrorCase{"detail unknown id", REPORT_DEMAND, "[group]\ntype=DETAIL\ndetails=200\n" + F,
                  "Error 10125: (def) Detail field 200 has no type, group 1"},
        // Threshold and domain-expression errors do not stop the parse but
        // are recorded.
        ErrorCase{"unknown threshold", REPORT_DEMAND, S + "threshold=colour:>= 1\n" + F,
                  "Error 10151: (def) Unknown threshold field: colour"},
        ErrorCase{"rejected threshold", REPORT_DEMAND, S + "threshold= request_count :== \"x\"\n" + F,
                  "Error 10150: (def) Invalid threshold filter for: request_count"},
        ErrorCase{"rejected denied threshold", REPORT_DEMAND, S + "threshold=denied:yes\n" + F,
                  "Error 10152: (def) Invalid threshold filter for: denied"},
        ErrorCase{"domain without closing slash", REPORT_DEMAND,
                  S + F + "[fields metadata precompiled]\n48=/abc\n",
                  "Error 10158: (def) Invalid regular expression '/abc' in the domain definition (no "
                  "closing slash)"},
        ErrorCase{"domain pattern that does not compile", REPORT_DEMAND,
                  S + F + "[fields metadata precompiled]\n48=/a(b/1\n",
                  "Error 10159: (def) Invalid regular expression 'a(b' in the domain definition (can "
                  "not compile)"},
        ErrorCase{"plain domain pattern that does not compile", REPORT_DEMAND,
                  S + F + "[fields metadata precompiled]\n48=a[b\n",
                  "Error 10160: (def) Invalid regular expression 'a[b' in the domain definition (can "
                  "not compile)"},
        ErrorCase{"domain pattern too large to build", REPORT_DEMAND,
                  S + F + "[fields metadata precompiled]\n48=((a{255}){255}){255}\n",
                  "Error 10160: (def) Invalid regular expression '((a{255}){255}){255}' in the domain "
                  "definition (can not compile)"}));

TEST(DefinitionParse, RecordedErrorsKeepTheDefinition) {
  Parsed p(REPORT_DEMAND, S + "threshold=colour:>= 1\n" + F + "[fields metadata precompiled]\n48=/a\n");
  EXPECT_NE(p.def(), nullptr);  // the load fails on the text
  EXPECT_EQ(p.error(),
            "Error 10158: (def) Invalid regular expression '/a' in the domain definition (no closing slash)");
  ASSERT_NE(p.def()->domain, nullptr);
  EXPECT_EQ(p.def()->domain->type, 2);
  EXPECT_FALSE(p.def()->domain->regexp_set);
}

TEST(DefinitionParse, FilterErrorFreesOnceAndRunSurvives) {
  // A third line never read: the second ends the parse with its number.
  Parsed p(REPORT_DEMAND, S + "[static_filter]\nurl=% \"a\"\nurl=%\nurl=% \"b\"\n");
  EXPECT_EQ(p.def(), nullptr);
  EXPECT_EQ(p.error(), "Error 10114: (def) URL filter invalid, line 7");
  // The run is freed by the fixture without the definition.
}

TEST(DefinitionParse, FilterErrorKeepsAnEarlierText) {
  Parsed p(REPORT_DEMAND, S + "threshold=colour:>= 1\n" + "[static_filter]\ndate=<\n");
  EXPECT_EQ(p.def(), nullptr);
  EXPECT_EQ(p.error(), "Error 10151: (def) Unknown threshold field: colour");
}

TEST(DefinitionParse, FilterSectionsAreJoined) {
  Parsed p(REPORT_DEMAND, S + "[static_filter]\ndate=>= 100\n[dynamic_filter]\nhost=== \"a.b\"\n");
  ASSERT_TRUE(p.ok()) << p.error();
  const FILTER_RULE *f = p.def()->filter;
  ASSERT_EQ(f->operation, FILTER_AND);
  EXPECT_EQ(f->left->datatype, 7);
  EXPECT_EQ(f->right->datatype, 32);
}

TEST(DefinitionValues, FieldLists) {
  struct {
    const char *value;
    const char *list;
  } cases[] = {
      {"9,9", "9,9,"},       {"9, 9a", "9,"},     {"9,10a,10", "9,10,10,"}, {"12,0,13", "12,"},
      {"a,9", ""},           {" 9 , 12 ", "9,12,"}, {"9x,10", "9,10,"},    {"255", "255,"},
      {"", ""},              {"9,,10", "9,"},
  };
  for (const auto &c : cases) {
    unsigned char *list = nullptr;
    EXPECT_EQ(report_definition_process_field_arr(c.value, &list), DEFINITION_VALUE_OK) << c.value;
    EXPECT_EQ(bytes(list), c.list) << c.value;
    free(list);
  }
  for (const char *bad : {"265", "9,256", "-1", "9,300abc"}) {
    unsigned char *list = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(report_definition_process_field_arr(bad, &list), DEFINITION_VALUE_BAD_FIELD) << bad;
    EXPECT_EQ(list, nullptr);
  }
}

TEST(DefinitionValues, OrderLists) {
  SORT_OPTION *o = nullptr;
  ASSERT_EQ(report_definition_process_field_orderby("9,1,10", &o), DEFINITION_VALUE_OK);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o[0].field, 9);
  EXPECT_EQ(o[0].order, 1);
  EXPECT_EQ(o[1].field, 0);
  free(o);
  ASSERT_EQ(report_definition_process_field_orderby("x,1, 12 , -1 ", &o), DEFINITION_VALUE_OK);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o[0].field, 12);
  EXPECT_EQ(o[0].order, -1);
  EXPECT_EQ(o[1].field, 0);
  free(o);
  ASSERT_EQ(report_definition_process_field_orderby("x,1", &o), DEFINITION_VALUE_OK);
  EXPECT_EQ(o, nullptr);
}

TEST(DefinitionValues, Views) {
  VIEW_OPTION *v = nullptr;
  // A pie view needs four parts: the whole value is discarded.
  ASSERT_EQ(report_definition_process_view("line!9!10 pie!9!10", &v), DEFINITION_VALUE_OK);
  EXPECT_EQ(v, nullptr);
  ASSERT_EQ(report_definition_process_view("line!9", &v), DEFINITION_VALUE_OK);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, 2);
  EXPECT_EQ(v->recs, 0);
  EXPECT_EQ(bytes(v->fields), "9,");
  EXPECT_EQ(v->next, nullptr);
  report_definition_free_view_options(v);

  ASSERT_EQ(report_definition_process_view(
                "  summary!3,9!25!1!0!1!1!2 layout!1!2 bar_2d!7,9t!50!1 raw!3!5!1!1!1 odd!4!9 detail!1!7!1",
                &v),
            DEFINITION_VALUE_OK);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, 4);
  EXPECT_EQ(v->recs, 25);
  EXPECT_EQ(v->show_details, 1);
  EXPECT_EQ(v->show_totals, 0);
  EXPECT_EQ(v->clickable_flag, 1);
  EXPECT_EQ(v->include_parents, 1);
  EXPECT_EQ(v->show_count, 2);
  EXPECT_EQ(bytes(v->fields), "3,9,");
  VIEW_OPTION *l = v->next;
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->type, 6);
  EXPECT_EQ(l->horizontal, 1);
  EXPECT_EQ(l->show_headers, 2);
  VIEW_OPTION *b = l->next;
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->type, 1);
  EXPECT_EQ(b->recs, 50);
  EXPECT_EQ(b->trendline, 1);
  EXPECT_EQ(b->trendfields, 1);
  EXPECT_EQ(bytes(b->fields), "7,9,");
  VIEW_OPTION *r = b->next;
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, 7);
  EXPECT_EQ(r->show_count, 1);
  VIEW_OPTION *u = r->next;
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->type, 0);
  EXPECT_EQ(u->recs, 0);
  EXPECT_EQ(bytes(u->fields), "4,");
  VIEW_OPTION *d = u->next;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type, 5);
  EXPECT_EQ(d->recs, 7);
  EXPECT_EQ(d->clickable_flag, 1);
  EXPECT_EQ(d->next, nullptr);
  report_definition_free_view_options(v);

  for (const char *bad : {"pie", "pie!!10!1", "summary!3!1!1!1", "raw!3!1!1", "layout!1"}) {
    ASSERT_EQ(report_definition_process_view(bad, &v), DEFINITION_VALUE_OK) << bad;
    EXPECT_EQ(v, nullptr) << bad;
  }
}

TEST(DefinitionValues, CategoryOption) {
  EXPECT_EQ(report_definition_process_catopt("2,5"), 1282);
  EXPECT_EQ(report_definition_process_catopt("258"), 2);
  EXPECT_EQ(report_definition_process_catopt("3"), 3);
  Parsed p(REPORT_DEMAND, S + "catoption=1,1\n[group]\ntype=SUMMARY\ngroupby=4\ncatoption=2,5\n" + F);
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(p.def()->cats_group_option, 1282);
}

TEST(DefinitionValues, CategoryGroupNeedsTheMap) {
  const std::string text = S + "catgroup= 4\n" + F;
  Parsed p(REPORT_DEMAND, text);  // no map loaded: the restriction is dropped
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(p.group(0)->catgroup, 0);
  const category_group_map groups{{7, {3, 0}}};
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, nullptr);
  rep->category_groups = &groups;
  ASSERT_EQ(report_definition_interpret_definition(rep, text.c_str()), -1);
  EXPECT_EQ(rep->def->group[0]->catgroup, 4);
  rep->category_groups = nullptr;
  free_report(rep);
}

TEST(DefinitionValues, Thresholds) {
  Parsed p(REPORT_DEMAND, S + "threshold=request_count:>= 10\nthreshold=order:<= 3\n" + F);
  ASSERT_TRUE(p.ok()) << p.error();
  const FILTER_RULE *t = p.group(0)->threshold;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->operation, FILTER_AND);
  EXPECT_TRUE(filter_tree_has_field(t, 9));
  EXPECT_TRUE(filter_tree_has_field(t, 36));
  // A value without ":" leaves the group with no thresholds.
  Parsed q(REPORT_DEMAND, S + "threshold=request_count:>= 10\nthreshold=nothing\n" + F);
  ASSERT_TRUE(q.ok()) << q.error();
  EXPECT_EQ(q.group(0)->threshold, nullptr);
}

TEST(DefinitionValues, DomainExpression) {
  Parsed p(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=/^www\\.([a-z]+)\\/x/\\2\n");
  ASSERT_TRUE(p.ok()) << p.error();
  const DOMAIN_DEFINITION *d = p.def()->domain;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type, 2);
  EXPECT_TRUE(d->regexp_set);
  EXPECT_EQ(d->regexp_part, 2);
  EXPECT_EQ(regexec(&d->regexp, "WWW.Example/x", 0, nullptr, 0), 0);
  Parsed q(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=/a/\n48=b\n");
  ASSERT_TRUE(q.ok()) << q.error();
  EXPECT_EQ(q.def()->domain->regexp_part, 0);
  EXPECT_EQ(regexec(&q.def()->domain->regexp, "B", 0, nullptr, 0), 0);
}

// The domain a definition's expression gives for a host.
std::string domain_of(const Parsed &p, const char *host) {
  char *d = extract_domain(host, p.def()->domain);
  std::string out = d ? d : "(null)";
  free(d);
  return out;
}

TEST(DefinitionValues, LongDomainAlternations) {
  for (int n : {200, 5000}) {
    Parsed p(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=/^(.*[.])?(" + domain_alternation(n) +
                                ")$/2\n");
    ASSERT_TRUE(p.ok()) << p.error();
    EXPECT_EQ(domain_of(p, "www.host42.com"), "host42.com");
    EXPECT_EQ(domain_of(p, "a.b.host199.com"), "host199.com");
    EXPECT_EQ(domain_of(p, "x.host4999.com"), n > 4999 ? "host4999.com" : "x.host4999.com");
    EXPECT_EQ(domain_of(p, "other.org"), "other.org");  // no match: the host
  }
  // Groups after a long alternation keep their numbers.
  std::string many;
  for (int i = 0; i < 40; ++i) many += (i ? "|a" : "a") + std::to_string(i);
  Parsed q(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=/^(x[.])?(" + many +
                              ")[.]([a-z]+)[.]([a-z]+)$/4\n");
  ASSERT_TRUE(q.ok()) << q.error();
  EXPECT_EQ(domain_of(q, "x.a7.org.uk"), "uk");
  EXPECT_EQ(domain_of(q, "a39.example.com"), "com");
  Parsed r(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=/^(" + many + ")[.]([a-z]+)$/2\n");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(domain_of(r, "a12.org"), "org");
}

TEST(DefinitionValues, DomainListWithSharedList) {
  TempDir root("kxdef");
  ASSERT_FALSE(root.path().empty());
  std::string lists = root.path() + "/var/lib/lists";
  ASSERT_EQ(system(("mkdir -p " + lists).c_str()), 0);
  std::ofstream(lists + "/reportdomains.dat") << "co.uk\ncom.au\n";
  setenv("KX_PATH", root.path().c_str(), 1);
  kxpath_init();
  report_definition_initialize();
  {
    Parsed p(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=|*,example.org\n");
    ASSERT_TRUE(p.ok()) << p.error();
    const DOMAIN_DEFINITION *d = p.def()->domain;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, 1);
    EXPECT_NE(d->global_list, nullptr);
    EXPECT_NE(p.rep()->domains_list, nullptr);
    ASSERT_NE(d->list, nullptr);
    EXPECT_EQ(d->list->loaded_count, 1);
  }
  {
    Parsed p(REPORT_DEMAND, S + F + "[fields metadata precompiled]\n48=|example.org,\n");
    EXPECT_EQ(p.def(), nullptr);
    EXPECT_EQ(p.error(), "Error 10164: (def) Could not all  to domain list");
  }
  report_definition_terminate();
}

TEST(DefinitionValues, MaxRecords) {
  Parsed p(REPORT_DEMAND, S + "view=pie!3!50!1 bar_2d!3,9t!20!0 layout!1!1\n" + F);
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(report_definition_get_max_records(p.rep()), 0);  // no current level
  p.rep()->group_def = p.group(0);
  EXPECT_EQ(report_definition_get_max_records(p.rep()), 60);
  Parsed q(REPORT_DEMAND, S + "view=pie!3!50!1 line!3\n" + F);
  ASSERT_TRUE(q.ok()) << q.error();
  q.rep()->group_def = q.group(0);
  EXPECT_EQ(report_definition_get_max_records(q.rep()), 0);
  Parsed r(REPORT_DEMAND, S + "view=layout!1!1\n" + F);
  r.rep()->group_def = r.group(0);
  EXPECT_EQ(report_definition_get_max_records(r.rep()), 0);
}

TEST(DefinitionObjects, DateRangeInFront) {
  Parsed p(REPORT_SCHEDULED, S + "[static_filter]\nuser=== \"bob\"\n");
  ASSERT_TRUE(p.ok()) << p.error();
  p.rep()->start = 1000;
  p.rep()->end = 2000;
  ASSERT_EQ(report_definition_add_date_range(p.rep()), -1);
  const FILTER_RULE *f = p.def()->filter;
  ASSERT_EQ(f->operation, FILTER_AND);
  EXPECT_EQ(f->right->datatype, 3);
  EXPECT_EQ(f->right->parent, f);
  const FILTER_RULE *range = f->left;
  ASSERT_EQ(range->operation, FILTER_AND);
  EXPECT_EQ(range->left->comparetype, FILTER_GE);
  EXPECT_EQ(*static_cast<uint64_t *>(range->left->data), 1000u);
  EXPECT_EQ(range->right->comparetype, FILTER_LE);
  EXPECT_EQ(*static_cast<uint64_t *>(range->right->data), 2000u);
  EXPECT_EQ(check_for_absolute_dates(f), 0);
  EXPECT_EQ(check_for_relative_dates(f), -1);
  EXPECT_EQ(check_for_absolute_dates(nullptr), -1);
}

TEST(DefinitionObjects, DetailTypes) {
  Parsed p(REPORT_DEMAND, S + F);
  EXPECT_EQ(report_definition_detail_type(p.rep(), 3, 0x26, 2), 0x26);
  EXPECT_EQ(report_definition_detail_type(p.rep(), 3, 0, 2), 0x16);
  EXPECT_EQ(report_definition_detail_type(p.rep(), 62, 0, 2), 0x83);
  EXPECT_EQ(p.error(), "");
  EXPECT_EQ(report_definition_detail_type(p.rep(), 59, 0, 2), 0);
  EXPECT_EQ(p.error(), "Error 10125: (def) Detail field 59 has no type, group 2");
  EXPECT_TRUE(report_definition_detail_field_typed(59));  // request logs carry it
  EXPECT_FALSE(report_definition_detail_field_typed(9));
}

TEST(DefinitionRegex, Guard) {
  regex_t re;
  for (const char *ok : {"^www\\.(.*)$", "a{100}", "(a{10}){10}", "[{}(]x{3}", "(((a)))", "[[:alpha:]]+\\.co\\.uk"}) {
    ASSERT_EQ(report_definition_regcomp(&re, ok, REG_EXTENDED), 0) << ok;
    regfree(&re);
  }
  std::string deep(200, '(');
  deep += "a" + std::string(200, ')');
  std::string stars;
  for (int i = 0; i < 1000; ++i) stars += "a**";
  for (const std::string &big :
       {std::string("((a{255}){255}){255}"), std::string("a{1000}{1000}"), deep, stars})
    EXPECT_EQ(report_definition_regcomp(&re, big.c_str(), REG_EXTENDED), REG_ESPACE) << big;
}

TEST(DefinitionParse, OddTexts) {
  const char kNoGroups[] = "Error 10106: (def) No report groups found";
  const char kNoType[] = "Error 10118: (def) Invalid group type, group 1";
  const struct {
    const char *text, *error;
  } cases[] = {
      {"", kNoGroups},
      {"\n\n", kNoGroups},
      {"[general]\n=", kNoGroups},
      {"[GROUP]\ntype=SUMMARY", kNoGroups},        // headers are compared exactly
      {"[group]type=SUMMARY", kNoGroups},           // a header is the whole line
      {"[group]", kNoType},
      {"[group]\n[group", kNoType},                 // "[group" ends the section, opens none
      {"=\n[group]\n=\n", kNoType},                // a key-less setting is ignored
      {"[group]\n=SUMMARY\ntype", kNoType},
      {" [group] \r\n type=SUMMARY \r\n", ""},     // lines are trimmed
      {"[group]\ntype=SUMMARY\n[group]\ntype=DETAIL", "Error 10126: (def) Missing detail field info, group 2"},
      {"[group]\ntype=SUMMARY\n[unknown]\ntype=DETAIL", ""},  // an unknown section is skipped
  };
  for (const auto &c : cases) {
    Parsed p(REPORT_SCHEDULED, c.text);
    EXPECT_EQ(p.error(), c.error) << c.text;
    EXPECT_EQ(p.ok(), *c.error == '\0') << c.text;
    EXPECT_EQ(p.def() != nullptr, *c.error == '\0') << c.text;
  }
  Parsed n(REPORT_SCHEDULED, "[group]\ntype=SUMMARY\n");
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(report_definition_interpret_definition(n.rep(), nullptr), 0);  // as an empty text
  EXPECT_EQ(n.error(), kNoGroups);
  EXPECT_EQ(n.def(), nullptr);
  EXPECT_EQ(report_definition_interpret_definition(nullptr, "[group]"), 0);
}

}  // namespace
