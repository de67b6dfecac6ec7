#include "cds/search_criteria.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cds/cds_limits.h"

namespace {

size_t Placeholders(const Sql& sql) {
  return static_cast<size_t>(std::count(sql.text.begin(), sql.text.end(), '?'));
}

bool Compiles(std::string_view criteria, Sql* out = nullptr) {
  Sql sql;
  std::string error;
  bool ok = Search_CompileCriteria(criteria, &sql, &error);
  if (ok) {
    EXPECT_EQ(Placeholders(sql), sql.values.size()) << criteria;
  } else {
    EXPECT_FALSE(error.empty()) << criteria;
  }
  if (out != nullptr) *out = sql;
  return ok;
}

// Operators and their meaning are proven against a library by the enumerator's tests;
// these are the grammar's edges and its limits.
TEST(SearchCriteriaTest, AcceptsTheGrammar) {
  for (const char* criteria :
       {"  *  ", "", "dc:title!=\"a\"", "upnp:class derivedFrom \"object.item\"",
        "upnp:album exists false", "UPNP:ARTIST = \"x\"", "dc:creator = \"\"",
        "((dc:title = \"a\" or dc:title = \"b\") and upnp:genre exists true)",
        "dc:title = \"with \\\"quotes\\\" and \\\\ backslash\"",
        "dc:title=\"a\"and(dc:title=\"b\")", "\tdc:title\n=\r\"a\"\v\f",
        "dc:title>=\"a\"or dc:title<\"b\""}) {
    EXPECT_TRUE(Compiles(criteria)) << criteria;
  }
}

TEST(SearchCriteriaTest, RejectsMalformedOrUnsupportedCriteria) {
  for (const char* criteria :
       {"dc:title", "dc:title = a", "dc:title = \"a", "dc:title = \"a\\x\"", "dc:title = \"a\\",
        "dc:title ! \"a\"", "dc:title exists maybe", "(dc:title = \"a\"", "dc:title = \"a\")",
        "dc:title = \"a\" and", "and dc:title = \"a\"", "dc:title = \"a\" dc:title = \"b\"",
        "dc:title = \"a\" xor dc:title = \"b\"", "upnp:rating = \"5\"", "* and dc:title = \"a\"",
        "dc:title like \"a\"", "\"a\" = dc:title", "dc:title = \"a\" or ()", "dc:title <"}) {
    EXPECT_FALSE(Compiles(criteria)) << criteria;
  }
}

TEST(SearchCriteriaTest, ValuesAreBoundNeverFormatted) {
  Sql sql;
  ASSERT_TRUE(
      Compiles("dc:title = \"x') or 1=1 --\" or upnp:album contains \"50%_off\\\\\"", &sql));
  EXPECT_EQ(sql.text.find("1=1"), std::string::npos);
  EXPECT_EQ(sql.text.find("50"), std::string::npos);
  ASSERT_EQ(sql.values.size(), 2u);
  EXPECT_EQ(std::get<std::string>(sql.values[0]), "x') or 1=1 --");
  // LIKE wildcards in a value match only themselves.
  EXPECT_EQ(std::get<std::string>(sql.values[1]), "%50\\%\\_off\\\\%");
}

TEST(SearchCriteriaTest, LimitsBoundTheStatement) {
  std::string deep;
  for (int i = 0; i < kSearchMaxDepth; ++i) deep += "(";
  deep += "dc:title = \"a\"";
  for (int i = 0; i < kSearchMaxDepth; ++i) deep += ")";
  EXPECT_TRUE(Compiles(deep));
  EXPECT_FALSE(Compiles("(" + deep + ")"));

  std::string many = "dc:title = \"a\"";
  for (int i = 1; i < kSearchMaxConditions; ++i) many += " or upnp:class = \"object.item\"";
  EXPECT_TRUE(Compiles(many));
  EXPECT_FALSE(Compiles(many + " or dc:title = \"b\""));

  EXPECT_FALSE(Compiles("dc:title = \"" + std::string(kSearchCriteriaMaxBytes, 'a') + "\""));
  // Deep nesting beyond every limit is refused without exhausting the stack.
  EXPECT_FALSE(Compiles(std::string(100000, '(')));
  // A caller may not want the reason.
  Sql sql;
  EXPECT_FALSE(Search_CompileCriteria("dc:title", &sql, nullptr));
  EXPECT_FALSE(
      Search_CompileCriteria(std::string(kSearchCriteriaMaxBytes + 1, ' '), &sql, nullptr));
}

}  // namespace
