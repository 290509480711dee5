// Report limits: parsing, evaluation against figure tables, verdict.
#include <gtest/gtest.h>

#include <cmath>

#include "report/Limits.h"

namespace {

const std::vector<std::string> kKnown = KnownFieldNames();

TEST(Limits, KnownNamesAreTheJsonFieldsOfCalcAndAllan) {
  for (const char* name : {"average_value_signal", "drift_error", "random_walk", "bias_error",
                           "q", "n", "b", "b_tau", "k", "r", "gaps", "skipped"})
    EXPECT_NE(std::find(kKnown.begin(), kKnown.end(), name), kKnown.end()) << name;
}

TEST(Limits, Parsing) {
  struct Case {
    const char* text;
    bool ok;
    const char* name;
    bool atMost;
    double bound;
    const char* errorPart;
  };
  const Case cases[] = {
      {"n<=0.005", true, "n", true, 0.005, ""},
      {"average_value_signal>=-20", true, "average_value_signal", false, -20, ""},
      {" b <= 5E-2 ", true, "b", true, 0.05, ""},
      {"random_walk=0.1", false, "", true, 0, "expected NAME<=VALUE or NAME>=VALUE"},
      {"noise<=1", false, "", true, 0, "unknown field 'noise'; known fields: average_value_signal, "},
      {"b<=", false, "", true, 0, "not a number: ''"},
      {"b<=nan", false, "", true, 0, "not a number: 'nan'"},
      {"b<=1e999", false, "", true, 0, "not a number"},
      {"B<=1", false, "", true, 0, "unknown field 'B'"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto limit = ParseLimit(c.text, kKnown, error);
    ASSERT_EQ(limit.has_value(), c.ok) << c.text << ": " << error;
    if (c.ok) {
      EXPECT_EQ(limit->Name, c.name);
      EXPECT_EQ(limit->AtMost, c.atMost);
      EXPECT_DOUBLE_EQ(limit->Bound, c.bound);
    } else {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.text << ": " << error;
    }
  }
}

TEST(Limits, EvaluationAndVerdict) {
  const double nan = std::nan("");
  const std::vector<TFigureTable> tables = {
      {"calc", {{"Random walk", "  0.00400", 0.004, "\u00B0/Vh"}, {"Drift error", "NAN", nan, "\u00B0/h"}}},
      {"allan", {{"B", "0.0512", 0.0512, "\u00B0/h"}}}};
  struct Case {
    const char* limit;
    bool pass;
    const char* measured;
    const char* note;
  };
  const Case cases[] = {
      {"random_walk<=0.004", true, "  0.00400", ""},  // the bound itself passes
      {"random_walk<=0.0039", false, "  0.00400", ""},
      {"random_walk>=0.004", true, "  0.00400", ""},
      {"b<=0.05", false, "0.0512", ""},
      {"b>=0.05", true, "0.0512", ""},
      {"drift_error<=1e9", false, "NAN", "not measurable"},
      {"drift_error>=-1e9", false, "NAN", "not measurable"},
      {"k<=1", false, "NAN", "not measurable"},  // known, but in no table given
  };
  for (const Case& c : cases) {
    std::string error;
    const auto limit = ParseLimit(c.limit, kKnown, error);
    ASSERT_TRUE(limit) << error;
    const auto results = EvaluateLimits({*limit}, tables);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Pass, c.pass) << c.limit;
    EXPECT_EQ(results[0].Measured, c.measured) << c.limit;
    EXPECT_EQ(results[0].Note, c.note) << c.limit;
    EXPECT_EQ(results[0].Limit.Text(), c.limit);
    EXPECT_EQ(Verdict(results), std::optional<bool>(c.pass)) << c.limit;
  }
  std::string error;
  const auto pass = *ParseLimit("random_walk<=0.01", kKnown, error);
  const auto fail = *ParseLimit("b<=0.05", kKnown, error);
  EXPECT_EQ(Verdict(EvaluateLimits({pass, pass}, tables)), std::optional<bool>(true));
  EXPECT_EQ(Verdict(EvaluateLimits({pass, fail}, tables)), std::optional<bool>(false));
  EXPECT_EQ(Verdict(EvaluateLimits({}, tables)), std::nullopt);
}

TEST(Limits, LimitsFileLines) {
  std::vector<std::string> rejected;
  const auto limits = ParseLimitLines("# unit 7\nn<=0.005\n\n  b >= 0.01\r\nfoo<=1\n", kKnown, rejected);
  ASSERT_EQ(limits.size(), 2u);
  EXPECT_EQ(LimitLines(limits), "n<=0.005\nb>=0.01\n");
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].rfind("line 5: ", 0), 0u) << rejected[0];
}

}  // namespace
