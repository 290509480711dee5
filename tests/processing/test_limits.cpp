// Report limits: parsing, evaluation against figure tables, verdict.
#include <gtest/gtest.h>

#include <cmath>

#include "files/HeaderText.h"
#include "report/BatchTable.h"
#include "report/Limits.h"
#include "report/ReportContent.h"
#include "report/Sha256.h"

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

// Each figure is compared as printed; a NaN figure is INCOMPLETE unless a
// NAME_upper figure bounds it; the verdict is the worst of the results.
TEST(Limits, EvaluationAndVerdict) {
  const double nan = std::nan("");
  const std::vector<TFigureTable> tables = {
      {"calc", {{"Random walk", "  0.00400", 0.004, "\u00B0/Vh"}, {"Drift error", "NAN", nan, "\u00B0/h"}}},
      {"allan",
       {{"B", "NAN", nan, "\u00B0/h"},
        {"B upper", "0.0123", 0.01234, "\u00B0/h"},
        {"B tau", "20.48", 20.480000000001272, "s"},
        {"K", "NAN", nan, ""},
        {"K upper", "NAN", nan, ""}}}};
  const struct {
    const char* limit;
    TVerdict result;
    const char* measured;
    const char* note;
  } cases[] = {
      {"random_walk<=0.004", TVerdict::Pass, "  0.00400", ""},  // the bound itself passes
      {"random_walk<=0.0039", TVerdict::Fail, "  0.00400", ""},
      {"random_walk>=0.004", TVerdict::Pass, "  0.00400", ""},
      {"b_tau<=20.48", TVerdict::Pass, "20.48", ""},  // as printed, not as stored
      {"b_tau>=20.48", TVerdict::Pass, "20.48", ""},
      {"b<=0.0123", TVerdict::Pass, "< 0.0123 (bound)", "the data bound it from above"},
      {"b<=0.0122", TVerdict::Incomplete, "< 0.0123 (bound)", "not measurable: only bounded from above"},
      {"b>=0.0124", TVerdict::Fail, "< 0.0123 (bound)", "the data bound it from above"},
      {"b>=0.0123", TVerdict::Incomplete, "< 0.0123 (bound)", "not measurable: only bounded from above"},
      {"k<=1", TVerdict::Incomplete, "NAN", "not measurable"},  // its bound is NaN too
      {"drift_error>=-1e9", TVerdict::Incomplete, "NAN", "not measurable"},
      {"r<=1", TVerdict::Incomplete, "NAN", "not measurable"},  // known, but in no table given
  };
  for (const auto& c : cases) {
    std::string error;
    const auto limit = ParseLimit(c.limit, kKnown, error);
    ASSERT_TRUE(limit) << error;
    const auto results = EvaluateLimits({*limit}, tables);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Result, c.result) << c.limit;
    EXPECT_EQ(results[0].Measured, c.measured) << c.limit;
    EXPECT_EQ(results[0].Note, c.note) << c.limit;
    EXPECT_EQ(Verdict(results), c.result) << c.limit;
  }
  std::string error;
  const auto pass = *ParseLimit("random_walk<=0.01", kKnown, error);
  const auto fail = *ParseLimit("random_walk>=0.01", kKnown, error);
  const auto open = *ParseLimit("drift_error<=1", kKnown, error);
  const struct {
    std::vector<TLimit> limits;
    TVerdict verdict;
    const char* name;
  } verdicts[] = {{{pass, pass}, TVerdict::Pass, "PASS"},
                  {{pass, open}, TVerdict::Incomplete, "INCOMPLETE"},
                  {{open, fail, pass}, TVerdict::Fail, "FAIL"},
                  {{}, TVerdict::None, "none"}};
  for (const auto& v : verdicts) {
    EXPECT_EQ(Verdict(EvaluateLimits(v.limits, tables)), v.verdict) << v.name;
    EXPECT_STREQ(VerdictName(v.verdict), v.name);
  }
  // Contradictory limits; a window that only one value fills is no contradiction.
  const auto low = *ParseLimit("n>=0.1", kKnown, error), high = *ParseLimit("n<=0.01", kKnown, error);
  EXPECT_EQ(ContradictoryLimits({high, pass, low}),
            "limits 'n<=0.01' and 'n>=0.1' contradict each other: no n can meet both");
  EXPECT_EQ(ContradictoryLimits({*ParseLimit("n<=0.1", kKnown, error), low, high, fail}).empty(), false);
  EXPECT_EQ(ContradictoryLimits({*ParseLimit("n<=0.1", kKnown, error), low, pass, fail}), "");
}

// A value printed to its uncertainty's two significant digits, and a
// limit at the edge decided by the printed value, as the page shows it.
TEST(Limits, FiguresPrintedToTheirUncertainty) {
  const struct {
    double value, u;
    const char *text, *uText;  // "x": left as it was
  } cases[] = {{0.0200712, 0.000341, "0.02007", "0.00034"}, {1.23456, 0.000996, "1.2346", "0.0010"},
               {-2.5, 0.25, "-2.50", "0.25"},               {12345.6, 345, "12350", "350"},
               {-1e-4, 0.25, "0.00", "0.25"},               {1.23456789e-10, 1.23e-14, "1.23457E-10", "1.2E-14"},
               {3.0, 0.0, "x", "x"},                        {NAN, 0.1, "x", "x"}};
  for (const auto& c : cases) {
    std::string text = "x", uText = "x";
    EXPECT_EQ(RoundToUncertainty(c.value, c.u, text, uText), std::string(c.uText) != "x") << c.text;
    EXPECT_EQ(text + " " + uText, std::string(c.text) + " " + c.uText);
  }
  TThermalResult thermal;
  thermal.B[0] = 0.0200712;
  thermal.BSe[0] = 0.000341;
  TAllanResult allan;
  allan.N.Found = true;
  allan.N.Value = 0.0093612, allan.N.Lo = 0.0087, allan.N.Hi = 0.0098512;
  TFigureTable t{"thermal", ThermalFigures(thermal)}, a{"allan", AllanFigures(allan)};
  RoundFiguresToUncertainty(t.Figures);
  RoundFiguresToUncertainty(a.Figures);
  std::string error, results;
  for (const char* text : {"b0<=0.02007", "b0>=0.020071", "n<=0.0094", "n_lo>=0.00870"})
    for (const TLimitResult& r : EvaluateLimits({*ParseLimit(text, kKnown, error)}, {t, a}))
      results += r.Measured + " " + VerdictName(r.Result) + ", ";
  EXPECT_EQ(results, "0.02007 PASS, 0.02007 FAIL, 0.00936 PASS, 0.00870 PASS, ");
}

// The batch's spread beside the units' printed figures: extremes as the
// unit's own text, mean and standard deviation one digit finer.
TEST(Limits, BatchSpreadPrintedToTheUnitsDigits) {
  std::vector<TBatchRow> rows(3);
  const std::pair<const char*, const char*> cells[3] = {{"15.02226", "1.2E-14"}, {"14.99494", "NAN"}, {"15.1053 ", "3E-15"}};
  for (std::size_t i = 0; i < 3; ++i)
    for (const char* text : {cells[i].first, cells[i].second})
      rows[i].Cells.push_back({"x", text, std::strtod(text, nullptr), ""});
  rows[1].Cells[1].Value = NAN;
  const struct {
    std::size_t column;
    double value;
    bool extreme;
    const char* shown;
  } cases[] = {{0, 15.040826666667, false, "15.040827"}, {0, 0.0574653785, false, "0.057465"},
               {0, 14.99494, true, "14.99494"},         {0, 15.1053, true, "15.1053"},
               {1, 7.5e-15, false, "7.5E-15"},          {0, NAN, false, "NAN"}};
  for (const auto& c : cases) EXPECT_EQ(BatchSpreadShown(rows, c.column, c.value, c.extreme), c.shown) << c.value;
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

namespace {

TEST(TestSpec, ParsedOrRefusedWithTheLine) {
  TTestSpec spec;
  std::vector<std::string> errors;
  ASSERT_TRUE(ParseTestSpec("# kept under revision control\nName: VRDT40 acceptance\nrevision: C\n"
                            "unit type: VRDT40\n\nrandom_walk<=0.005\nb <= 0.05\n",
                            kKnown, spec, errors))
      << errors[0];
  EXPECT_EQ(spec.Name + "|" + spec.Revision + "|" + spec.UnitType + "|" + LimitLines(spec.Limits),
            "VRDT40 acceptance|C|VRDT40|random_walk<=0.005\nb<=0.05\n");
  const struct {
    const char* text;
    const char* error;
  } bad[] = {{"name: a\nb<=1\n", "no 'revision:' line"},
             {"revision: 1\n", "no 'name:' line"},
             {"name: a\nrevision: 1\nname: b\n", "line 3: 'name' is given twice"},
             {"name: a\nrevision: 1\nowner: me\n", "line 3: unknown key 'owner'"},
             {"name: a\nrevision: 1\nnoise<=1\n", "line 3: limit 'noise<=1': unknown field"},
             {"name: a\nrevision: 1\nn<=0.01\nn>=0.1\n", "contradict each other"}};
  for (const auto& c : bad) {
    errors.clear();
    EXPECT_FALSE(ParseTestSpec(c.text, kKnown, spec, errors)) << c.text;
    ASSERT_EQ(errors.size(), 1u) << c.text;
    EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
  }
}

// Where a report goes by default (beside its recording, whatever dots the
// folders hold), which names are recordings it must not overwrite, and
// where the dialog keeps its limits and document fields.
TEST(ReportTexts, DefaultNames) {
  const std::pair<std::string, std::string> reports[] = {{"/data/run7.rtd", "/data/run7.pdf"},
                                                         {"/data.v2/run7", "/data.v2/run7.pdf"},
                                                         {"./run7", "./run7.pdf"},
                                                         {"run7.RTD", "run7.pdf"}};
  for (const auto& [recording, report] : reports) EXPECT_EQ(DefaultReportPath(recording), report);
  for (const auto& [path, recording] : {std::pair{"a.RTD", true}, {".rtd", true}, {"rtd", false}, {"a.rtd.pdf", false}})
    EXPECT_EQ(IsRecordingPath(path), recording) << path;
  const struct {
    const char *xdg, *home, *folder;
  } folders[] = {{"/cfg", "/home/a", "/cfg/ratelog/"},
                 {"", "/home/a", "/home/a/.config/ratelog/"},
                 {nullptr, "/home/a", "/home/a/.config/ratelog/"},
                 {nullptr, "", nullptr},
                 {nullptr, nullptr, nullptr}};
  for (const auto& f : folders) {
    const std::string folder = f.folder ? f.folder : "";
    EXPECT_EQ(ReportLimitsPath(f.xdg, f.home), f.folder ? folder + "report-limits.txt" : "");
    EXPECT_EQ(ReportDocumentPath(f.xdg, f.home), f.folder ? folder + "report-document.txt" : "");
  }
}

// The digest that ties a report to its recording: the examples of FIPS 180-4,
// by the processor's SHA instructions (where it has them) and without.
TEST(ReportTexts, Sha256OfTheStandardsExamples) {
  for (const bool instructions : {true, false}) {
    const auto digest = [&](const std::string& text, int times = 1) {
      TSha256 sha(instructions);
      for (int i = 0; i < times; ++i) sha.Add(text.data(), text.size());
      return sha.Hex();
    };
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest("aaaaaaaaaaaaaaaaaaaaaaaaa", 40000),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

// Header texts: UTF-8 stays, anything else is read in the chosen code page.
TEST(ReportTexts, HeaderTextDecoding) {
  const struct {
    const char* raw;
    const char* page;
    const char* shown;
  } cases[] = {{"\xC8\xE2\xE0\xED\xEE\xE2 \xC8.\xC8.", "windows-1251", "\u0418\u0432\u0430\u043D\u043E\u0432 \u0418.\u0418."},
               {"\xC8\xE2\xE0\xED\xEE\xE2", "windows-1252", "\u00C8\u00E2\u00E0\u00ED\u00EE\u00E2"},
               {"\xB9 7 \x98", "windows-1251", "\u2116 7 \uFFFD"},
               {"\u0418\u0432\u0430\u043D\u043E\u0432", "windows-1252", "\u0418\u0432\u0430\u043D\u043E\u0432"},
               {"VRDT40-123", "no such page", "VRDT40-123"}};
  for (const auto& c : cases) EXPECT_EQ(DecodeHeaderText(c.raw, c.page), c.shown) << c.raw;
}

}  // namespace
