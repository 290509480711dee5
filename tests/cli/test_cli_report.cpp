// ratelog-cli report: verdict and exit code from the limits, the PDF's text
// (pdftotext), its validity (qpdf, pdfinfo, pdffonts) and the error paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "common/CliRun.h"
#include "common/FileSizeLimit.h"
#include "common/TestFiles.h"

#ifdef RATELOG_REPORT
namespace {

// Output and exit status of a shell command.
Result Shell(const std::string& command) {
  Result r{-1, "", ""};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Trim(const std::string& s) {
  const auto a = s.find_first_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// The first line of `text` that starts with `prefix` after its indent.
std::string LineStarting(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \f");  // a page starts with a form feed
    if (first != std::string::npos && line.compare(first, prefix.size(), prefix) == 0) return line;
  }
  return {};
}

// The line of `text` holding `part` (empty when none).
std::string LineWith(const std::string& text, const std::string& part) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (Has(line, part)) return line;
  return {};
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

class CliReport : public ::testing::Test {
 protected:
  // 2000 records at 100 Hz: 0.012 and 0.008 deg/s in turn, a mean of
  // 36 deg/h (36.0000009 with the single-precision values).
  void SetUp() override {
    Bytes b = RecordingHeader(100.0f);
    for (int i = 1; i <= 2000; ++i)
      AddRecord(b, static_cast<float>(i) * 0.01f, (i % 2) ? 0.012f : 0.008f,
                25.0f + static_cast<float>(i) * 0.001f);
    WriteBytes(rtd_, b);
    WriteBytes(settings_, {});
  }
  std::vector<std::string> Args(std::vector<std::string> more) const {
    std::vector<std::string> args = {"report", rtd_, "--settings", settings_};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  TTempDir tmp_;
  // A results store of the test's own: the control marks of a report read
  // the store, which the suite's other tests write to meanwhile.
  TTempDir dataDir_;
  TScopedEnv data_{"XDG_DATA_HOME", dataDir_.Path()};
  std::string rtd_ = tmp_.File("unit7.rtd"), settings_ = tmp_.File("Ratelog.ini"),
              pdf_ = tmp_.File("unit7.pdf");
};

TEST_F(CliReport, VerdictAndExitCodeFollowTheLimits) {
  const struct {
    std::vector<std::string> limits;
    int code;
    const char* verdict;
    std::vector<std::string> lines;
  } cases[] = {
      {{}, ExitOk, "none", {}},
      {{"--limit", "average_value_signal<=36.5", "--limit", "average_value_signal>=35.5"},
       ExitOk, "PASS",
       {"Limit\taverage_value_signal<=36.5\t36.00000\tPASS",
        "Limit\taverage_value_signal>=35.5\t36.00000\tPASS"}},
      {{"--limit", "average_value_signal<=36.5", "--limit=average_value_signal>=36.5"}, 3, "FAIL",
       {"Limit\taverage_value_signal<=36.5\t36.00000\tPASS",
        "Limit\taverage_value_signal>=36.5\t36.00000\tFAIL"}},
      // 20 s of data: no drift over 100 s windows: neither passed nor failed.
      {{"--limit", "drift_error<=1000", "--limit", "average_value_signal<=36.5"}, ExitIncomplete, "INCOMPLETE",
       {"Limit\tdrift_error<=1000\tNAN\tINCOMPLETE\tnot measurable"}},
      {{"--limit", "drift_error<=1000", "--limit", "average_value_signal>=36.5"}, 3, "FAIL", {}},
  };
  for (const auto& c : cases) {
    const Result r = Cli(Args(c.limits));
    SCOPED_TRACE(r.out + r.err);
    EXPECT_EQ(r.code, c.code);
    EXPECT_TRUE(Has(r.out, "Report\t" + pdf_ + "\n"));
    EXPECT_TRUE(Has(r.out, std::string("Verdict\t") + c.verdict + "\n"));
    for (const std::string& line : c.lines) EXPECT_TRUE(Has(r.out, line + "\n")) << line;
  }
  const Result json = Cli(Args({"--limit", "average_value_signal>=36.5", "--json"}));
  EXPECT_EQ(json.code, 3);
  EXPECT_EQ(json.out, "{\"report\": \"" + pdf_ +
                          "\", \"verdict\": \"FAIL\", \"limits\": [{\"limit\": "
                          "\"average_value_signal>=36.5\", \"measured\": 36, \"unit\": \"\u00B0/h\", "
                          "\"result\": \"FAIL\", \"note\": \"\"}]}\n");
}

// The text of the PDF holds what the report is for: the identification,
// each figure exactly as calc and allan print it, each limit with its
// result; the file is a valid A4 PDF with its fonts embedded.
TEST_F(CliReport, PdfHoldsTheFiguresAsTheCommandsPrintThem) {
  const Result r = Cli(Args({"--limit", "random_walk<=1", "--limit", "n>=1", "--limit",
                             "k<=1", "--begin", "2", "--end", "18"}));
  ASSERT_EQ(r.code, ExitIncomplete) << r.out << r.err;
  const Result text = Shell("pdftotext -layout '" + pdf_ + "' -");
  ASSERT_EQ(text.code, 0) << text.out;
  for (const char* part : {"Gyroscope test report", "VRDT40-123.456-00042", "unit7.rtd",
                           "05.12.2026 10:30", "2.000 .. 18.000", "100 Hz", "Page 1 of ",
                           "Ratelog 0.1.0", "report created", "Verdict: INCOMPLETE"})
    EXPECT_TRUE(Has(text.out, part)) << part;

  const Result calc = Cli({"calc", rtd_, "--settings", settings_, "--begin", "2", "--end", "18"});
  ASSERT_EQ(calc.code, 0);
  std::istringstream rows(calc.out);
  int figures = 0;
  for (std::string row; std::getline(rows, row); ++figures) {
    const auto tab = row.find('\t');
    const std::string caption = row.substr(0, tab);
    const std::string value = Trim(row.substr(tab + 1, row.find('\t', tab + 1) - tab - 1));
    EXPECT_TRUE(Has(LineStarting(text.out, caption + "  "), value)) << caption << " " << value;
  }
  EXPECT_EQ(figures, 4);
  const Result allan = Cli({"allan", rtd_, "--settings", settings_, "--begin", "2", "--end", "18"});
  ASSERT_EQ(allan.code, 0);
  std::istringstream lines(allan.out);
  int terms = 0, points = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cells;
    std::istringstream split(line);
    for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
    if (cells[0] == "B upper") {
      ++terms;  // no interval: as printed
      EXPECT_TRUE(Has(LineStarting(text.out, cells[0] + "  "), cells[1])) << line;
    } else if (std::string("QNBKR").find(cells[0]) != std::string::npos) {
      ++terms;  // the term's row of the noise terms table: its value to its interval's digits
      EXPECT_TRUE(RoundedFrom(Words(LineStarting(text.out, cells[0] + "  "))[2], cells[1])) << line;
    } else {  // a point: every column on one line of the points table, the deviations rounded
      ++points;
      const std::vector<std::string> row = Words(LineStarting(text.out, cells[0] + "  "));
      ASSERT_EQ(row.size(), cells.size()) << line;
      for (std::size_t k : {0, 2, 3}) EXPECT_EQ(row[k], cells[k]) << line;
      for (std::size_t k : {1, 4, 5}) EXPECT_TRUE(RoundedFrom(row[k], cells[k])) << row[k] << " of " << line;
    }
  }
  EXPECT_EQ(terms, 6);  // and B's bound
  EXPECT_GE(points, 8);
  for (const char* limit : {"random_walk<=1", "n>=1", "k<=1"}) {
    const std::string line = LineWith(text.out, limit);
    EXPECT_TRUE(Has(line, "FAIL") || Has(line, "PASS") || Has(line, "INCOMPLETE")) << limit << ": " << line;
  }
  EXPECT_TRUE(Has(LineWith(text.out, "k<=1"), "INCOMPLETE (not measurable)"));

  EXPECT_EQ(Shell("qpdf --check '" + pdf_ + "'").code, 0);
  EXPECT_TRUE(Has(Shell("strings '" + pdf_ + "'").out, "pdfaid:part=\"1\"")) << "PDF/A-1b declared";
  const Result info = Shell("pdfinfo '" + pdf_ + "'");
  const std::string pages = Trim(LineWith(info.out, "Pages:").substr(6));
  EXPECT_TRUE(Has(text.out, "Page " + pages + " of " + pages)) << info.out;
  EXPECT_TRUE(Has(info.out, "595 x 842 pts (A4)")) << info.out;
  EXPECT_TRUE(Has(info.out, "Keywords:        VRDT40-123.456-00042; verdict INCOMPLETE\n")) << info.out;
  const Result fonts = Shell("pdffonts '" + pdf_ + "'");
  std::istringstream fontLines(fonts.out);
  std::string header, rule, font;
  std::getline(fontLines, header);
  std::getline(fontLines, rule);
  const std::size_t emb = header.find("emb");
  int count = 0;
  for (; std::getline(fontLines, font); ++count)
    EXPECT_EQ(font.substr(emb, 3), "yes") << "not embedded: " << font;
  EXPECT_GE(count, 1) << fonts.out;
}

// The temperature model's figures are in the report and may be limited, by
// the names `thermal --json` gives them; a span without enough temperature
// change says so and fails such limits as not measurable.
TEST_F(CliReport, TemperatureSensitivityWhereTheSpanHasIt) {
  // 20 -> 40 -> 20 deg C at 2 deg C/min, 10 Hz: bias 3 + 0.2 T deg/h, a
  // rate term of 0.5 deg/h per deg C/min, small alternating noise.
  const std::string cycle = tmp_.File("cycle.rtd");
  Bytes b = RecordingHeader(10.0f);
  for (int i = 1; i <= 12000; ++i) {
    const double t = i * 0.1, rising = t < 600 ? 1 : -1;
    const double T = t < 600 ? 20 + t / 30 : 40 - (t - 600) / 30;
    const double bias = 3 + 0.2 * T + 0.5 * 2 * rising + ((i % 2) ? 0.05 : -0.05);
    AddRecord(b, static_cast<float>(t), static_cast<float>(bias / 3600), static_cast<float>(T));
  }
  WriteBytes(cycle, b);
  const Result json = Cli({"thermal", cycle, "--settings", settings_, "--json"});
  ASSERT_EQ(json.code, ExitOk) << json.err;
  std::vector<std::string> limits;
  const std::string figures = json.out.substr(0, json.out.find("\"order\""));
  for (std::size_t at = figures.find('"'); at != std::string::npos;
       at = figures.find('"', figures.find(':', at) + 1)) {
    const std::string name = figures.substr(at + 1, figures.find('"', at + 1) - at - 1);
    if (name != "tref_c") limits.insert(limits.end(), {"--limit", name + ">=-1e9"});
  }
  ASSERT_EQ(limits.size(), 2u * 23) << json.out;
  std::vector<std::string> args = {"report", cycle, "--settings", settings_, "--out", pdf_};
  args.insert(args.end(), limits.begin(), limits.end());
  args.insert(args.end(), {"--limit", "b1<=0.21", "--limit", "b1>=0.19", "--limit", "c<=0.4"});
  const Result r = Cli(args);
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_TRUE(Has(r.out, "PASS\n") && Has(LineWith(r.out, "\tc<=0.4\t"), "FAIL")) << r.out;
  EXPECT_TRUE(Has(LineWith(r.out, "\tb1>=0.19\t"), "PASS")) << r.out;
  const Result text = Shell("pdftotext -layout '" + pdf_ + "' -");
  ASSERT_TRUE(Has(text.out, "Temperature sensitivity")) << text.out;
  // b1 and c as `thermal` prints them.
  const Result printed = Cli({"thermal", cycle, "--settings", settings_});
  for (const char* name : {"b1 ", "c "}) {
    const std::string line = LineStarting(printed.out, name);
    const std::string value = line.substr(line.find(' ') + 1, line.find(' ', line.find(' ') + 1) - line.find(' ') - 1);
    EXPECT_TRUE(RoundedFrom(Words(LineStarting(text.out, std::string(name) + " "))[2], value)) << name << value;
  }
  // The ramp of the fixture alone cannot separate T from dT/dt: no model,
  // but its temperature range is measured, as `thermal` prints it.
  const Result flat = Cli(Args({"--limit", "b1<=1", "--limit", "t_min_c>=25", "--limit", "t_max_c<=27"}));
  EXPECT_EQ(flat.code, ExitIncomplete);
  EXPECT_TRUE(Has(flat.out, "Limit\tb1<=1\tNAN\tINCOMPLETE\tnot measurable\n")) << flat.out;
  const Result soak = Cli({"thermal", rtd_, "--settings", settings_});
  for (const char* name : {"t_min", "t_max"}) {
    const std::string line = LineStarting(soak.out, std::string(name) + " ");
    const std::string value = Split(line.substr(line.find_first_not_of(' ', std::strlen(name))), ' ')[0];
    EXPECT_TRUE(Has(LineWith(flat.out, std::string(name) + "_c"), "\t" + value + "\tPASS")) << line << flat.out;
  }
  const std::string page = Shell("pdftotext -layout '" + pdf_ + "' -").out;
  EXPECT_TRUE(Has(page, "Not measured: ")) << "no note";
  EXPECT_TRUE(Has(LineStarting(page, "b1 "), "\u2014") && Has(LineStarting(page, "b1 "), "no model (see above)")) << page;
}

TEST_F(CliReport, ClearErrors) {
  const Bytes recording = ReadBytes(rtd_);
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } cases[] = {
      {{"--limit", "noise<=1"}, ExitUsage,
       "unknown field 'noise'; known fields: average_value_signal, drift_error, random_walk, "
       "bias_error, confidence, gaps, gap_s, backward, skipped, q, n, b, b_tau, k, r, q_lo, q_hi, n_lo, "
       "n_hi, b_lo, b_hi, k_lo, k_hi, r_lo, r_hi, b_upper, b0, b0_se, "
       "b1, b1_se, b2, b2_se, b3, b3_se, c, c_se, bias_tref_deg_h, bias_tref_deg_h_se, residual_rms_deg_h, "
       "residual_rms_avg_deg_h, r2, t_min_c, t_max_c, hysteresis_deg_h, hysteresis_deg_h_se, n_raw, b_raw, "
       "n_compensated, b_compensated"},
      {{"--limit", "n<1"}, ExitUsage, "expected NAME<=VALUE or NAME>=VALUE"},
      {{"--limit", "n<=small"}, ExitUsage, "not a number: 'small'"},
      {{"--limit", "n<=0.01", "--limit", "n>=0.1"}, ExitUsage, "limits 'n<=0.01' and 'n>=0.1' contradict each other"},
      {{"--out", rtd_}, ExitFailure, "it is a recording; choose another name"},
      {{"--out", tmp_.File("other.RTD")}, ExitFailure, "it is a recording"},
      {{"--out", tmp_.File("no/such/folder/r.pdf")}, ExitFailure, "cannot write report"},
      {{"--out", tmp_.Path()}, ExitFailure, "cannot write report"},
      {{"--begin", "500", "--end", "600"}, ExitFailure, "no record between 500.000000 and 600.000000 s"},
  };
  for (const auto& c : cases) {
    const Result r = Cli(Args(c.args));
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args[1] << ": " << r.err;
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Result missing = Cli({"report", tmp_.File("gone.rtd"), "--settings", settings_});
  EXPECT_EQ(missing.code, ExitFailure);
  EXPECT_TRUE(Has(missing.err, "gone.rtd")) << missing.err;
  // The recording is untouched, and a failed report leaves no file.
  EXPECT_EQ(ReadBytes(rtd_), recording);
  struct stat st;
  EXPECT_NE(::stat(pdf_.c_str(), &st), 0);
  EXPECT_NE(::stat((tmp_.File("no/such/folder/r.pdf.part")).c_str(), &st), 0);
}

// The file at --out is replaced only by a complete report, and only when it
// is a regular file: a full disk (a file-size limit on the real program)
// fails naming the file with the older report and an unrelated
// "NAME.pdf.part" untouched; two reports to one name at once leave one
// whole report; Qt's notes stay off the tool's error output.
TEST_F(CliReport, OutputIsReplacedOnlyByACompleteReport) {
  const std::string cli = BuiltProgram("ratelog-cli"), copy = tmp_.File("unit8.rtd");
  WriteBytes(copy, ReadBytes(rtd_));
  const std::vector<std::string> quiet = {"QT_QPA_PLATFORM=", "XDG_RUNTIME_DIR="};
  const TProgramRun first = RunWithFileSizeLimit(RLIM_INFINITY, cli, Args({"--out", pdf_}), quiet);
  ASSERT_EQ(first.Code, ExitOk) << first.Err;
  // Only the tool's own lines (the results store says where the result went).
  for (std::size_t at = 0; at < first.Err.size(); at = first.Err.find('\n', at) + 1)
    EXPECT_EQ(first.Err.compare(at, 13, "ratelog-cli: "), 0) << first.Err;
  const Bytes older = ReadBytes(pdf_), other = {'k', 'e', 'e', 'p'};
  ASSERT_GT(older.size(), 64u * 1024);
  WriteBytes(pdf_ + ".part", other);
  for (const auto& args : {Args({"--out", pdf_}), Args({copy, "--out", pdf_})}) {
    const TProgramRun full = RunWithFileSizeLimit(64 * 1024, cli, args);
    EXPECT_EQ(full.Code, ExitFailure) << full.Err;
    EXPECT_TRUE(Has(full.Err, "cannot write report " + pdf_ + ": File too large")) << full.Err;
    EXPECT_EQ(full.Out, "");
    EXPECT_EQ(ReadBytes(pdf_), older);
  }
  EXPECT_EQ(ReadBytes(pdf_ + ".part"), other);
  EXPECT_EQ(Shell("ls -A '" + tmp_.Path() + "'").out, "Ratelog.ini\nunit7.pdf\nunit7.pdf.part\nunit7.rtd\nunit8.rtd\n");

  const std::string fifo = tmp_.File("fifo.pdf");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& args : {Args({"--out", fifo}), Args({copy, "--out", fifo})}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.code, ExitFailure);
    EXPECT_TRUE(Has(r.err, fifo + ": not a regular file (a FIFO)")) << r.err;
  }
  struct stat st;
  EXPECT_TRUE(::stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  ::unlink(fifo.c_str());

  std::string both;
  for (int i = 0; i < 2; ++i)
    both += "'" + cli + "' report '" + rtd_ + "' --settings '" + settings_ + "' --out '" + pdf_ + "' >/dev/null & ";
  EXPECT_EQ(Shell(both + "wait").out, "");
  EXPECT_EQ(Shell("qpdf --check '" + pdf_ + "' >/dev/null").code, 0);
}

// The text of pages first..last, the report's creation time and page
// numbers left out, runs of spaces as one.
std::string PdfText(const std::string& pdf, int first, int last) {
  const Result text = Shell("pdftotext -layout -f " + std::to_string(first) + " -l " + std::to_string(last) +
                            " '" + pdf + "' - | sed 's/report created [0-9.: ]*/report created/; s/Page [0-9]* of [0-9]*/Page/' | tr -s ' '");
  EXPECT_EQ(text.code, 0) << text.out;
  return text.out;
}

int Pages(const std::string& pdf) {
  return std::atoi(Trim(LineWith(Shell("pdfinfo '" + pdf + "'").out, "Pages:").substr(6)).c_str());
}

// Several recordings: a summary page with the batch table as `batch`
// prints it and every unit's labelled Allan curve, then each unit's report
// exactly as the report of that recording alone.
TEST_F(CliReport, BatchFormSummaryThenEachUnitsOwnReport) {
  std::vector<std::string> files;
  for (int unit = 1; unit <= 3; ++unit) {
    const std::string ident = "VRDT40-123.456-0000" + std::to_string(unit);
    Bytes b = RecordingHeader(100.0f, ident.c_str());
    for (int i = 1; i <= 1000 * unit; ++i)
      AddRecord(b, static_cast<float>(i) * 0.01f, ((i % 3) ? 0.012f : 0.007f) * static_cast<float>(unit), 25.0f);
    files.push_back(tmp_.File("unit" + std::to_string(unit) + ".rtd"));
    WriteBytes(files.back(), b);
  }
  // Without the results store: what other tests stored would mark units.
  const std::vector<std::string> limits = {"--settings", settings_, "--limit", "average_value_signal<=80", "--no-store"};
  std::vector<std::string> args = {"report", "--out", pdf_};
  args.insert(args.end(), files.begin(), files.end());
  args.insert(args.end(), limits.begin(), limits.end());
  const Result r = Cli(args);
  ASSERT_EQ(r.code, ExitLimitsFailed) << r.err;
  EXPECT_TRUE(Has(r.out, "Unit\t" + files[2] + "\tVRDT40-123.456-00003\tFAIL\taverage_value_signal<=80\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Verdict\tFAIL\n")) << r.out;

  args[0] = "batch";
  args.erase(args.begin() + 1, args.begin() + 3);
  const auto table = Split(Cli(args).out, '\n');
  ASSERT_EQ(table.size(), 9u);
  const std::string summary = PdfText(pdf_, 1, 1);
  for (const char* part : {"Gyroscope batch report", "Batch verdict"})
    EXPECT_TRUE(Has(summary, part)) << part;
  // Each unit's row (and the spread's) holds the figures of its row of the
  // batch table; its curve is labelled with its number and identification.
  int page = 2;
  for (std::size_t row = 1; row <= 7; ++row) {
    const auto cells = Split(table[row], '\t');
    const std::string label = row <= 3 ? std::to_string(row) : cells[0];
    std::string lines;
    for (const std::string& line : Split(summary, '\n'))
      if (LineStarting(line, label + " ") == line) lines += line + "\n";
    // The spread printed to a digit past the units' own (minimum and
    // maximum exactly as the unit's): the table's number rounded.
    const auto words = Words(lines);
    for (std::size_t c = 2; c < 14; ++c)
      EXPECT_TRUE(cells[c].empty() || (row <= 3 ? Has(lines, Trim(cells[c]))
                                                : std::any_of(words.begin(), words.end(), [&](const std::string& w) {
                                                    char* end = nullptr;
                                                    std::strtod(w.c_str(), &end);
                                                    return (w == "NAN" || (!*end && end != w.c_str())) &&
                                                           RoundedFrom(w, Trim(cells[c]));
                                                  })))
          << label << " column " << c << ": " << cells[c] << "\n" << lines;
    if (row > 3) continue;
    EXPECT_TRUE(Has(summary, label + ": " + cells[1])) << summary;
    const std::string one = tmp_.File("one.pdf");
    std::vector<std::string> single = {"report", files[row - 1], "--out", one};
    single.insert(single.end(), limits.begin(), limits.end());
    EXPECT_EQ(Cli(single).code, row == 3 ? ExitLimitsFailed : ExitOk);
    const int pages = Pages(one);
    EXPECT_TRUE(Has(LineWith(summary, "unit" + std::to_string(row) + ".rtd"), " " + std::to_string(page) + " "))
        << "its first page";
    EXPECT_EQ(PdfText(pdf_, page, page + pages - 1), PdfText(one, 1, pages)) << "unit " << row;
    page += pages;
  }
  // One page numbering over the whole document, each page naming its unit.
  EXPECT_EQ(Pages(pdf_), page - 1);
  for (int p = 1; p < page; ++p) {
    const std::string text = Shell("pdftotext -layout -f " + std::to_string(p) + " -l " + std::to_string(p) +
                                   " '" + pdf_ + "' -").out;
    EXPECT_TRUE(Has(text, "Page " + std::to_string(p) + " of " + std::to_string(page - 1))) << p;
    EXPECT_TRUE(Has(text, p == 1 ? "batch report of 3 units" : "VRDT40-123.456-0000")) << p;
  }

  // On a desktop whose language writes a decimal comma the summary holds the
  // same numbers (skipped where that language is not installed).
  if (locale_t german = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr)) {
    ::freelocale(german);
    args = {"report", "--out", tmp_.File("de.pdf")};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), limits.begin(), limits.end());
    const TProgramRun de = RunWithFileSizeLimit(RLIM_INFINITY, BuiltProgram("ratelog-cli"), args, {"LC_ALL=de_DE.UTF-8"});
    EXPECT_EQ(de.Code, ExitLimitsFailed) << de.Err;
    const auto withoutTime = [](const std::string& page) {
      std::string kept;
      for (const std::string& line : Split(page, '\n'))
        if (!Has(line, "report created")) kept += line + "\n";
      return kept;
    };
    EXPECT_EQ(withoutTime(PdfText(tmp_.File("de.pdf"), 1, 1)), withoutTime(summary));
  }

  // A batch report needs --out; a recording that cannot be read writes none.
  const Result noOut = Cli({"report", files[0], files[1], "--settings", settings_});
  EXPECT_EQ(noOut.code, ExitUsage);
  EXPECT_TRUE(Has(noOut.err, "needs --out FILE.pdf")) << noOut.err;
  const std::string other = tmp_.File("other.pdf");
  const Result missing = Cli({"report", files[0], tmp_.File("gone.rtd"), "--settings", settings_, "--out", other});
  EXPECT_EQ(missing.code, ExitFailure);
  EXPECT_TRUE(Has(missing.err, "gone.rtd")) << missing.err;
  struct stat st;
  EXPECT_NE(::stat(other.c_str(), &st), 0);
}

// More units than a plot and a table take at their size (16): the summary
// goes on over further pages, sixteen units to a plot and to a part of
// each table, the spread's rows with the last units.
TEST_F(CliReport, SeventeenUnitsContinueOverPages) {
  std::vector<std::string> args = {"report", "--out", pdf_, "--settings", settings_, "--no-store"};
  for (int unit = 1; unit <= 17; ++unit) {
    const std::string ident = "VRDT40-123.456-" + std::to_string(10000 + unit);
    Bytes b = RecordingHeader(100.0f, ident.c_str());
    for (int i = 1; i <= 1000; ++i)
      AddRecord(b, static_cast<float>(i) * 0.01f, ((i % 3) ? 0.012f : 0.007f) * static_cast<float>(unit), 25.0f);
    args.push_back(tmp_.File("u" + std::to_string(unit) + ".rtd"));
    WriteBytes(args.back(), b);
  }
  const Result r = Cli(args);
  ASSERT_EQ(r.code, ExitOk) << r.err;
  // Unit k's mean rate: (667 x 0.012 + 333 x 0.007) / 1000 x k deg/s,
  // 37.206 x k deg/h; over the 17 units 37.206 x 9.
  EXPECT_TRUE(InOrder(PdfText(pdf_, 1, 4),
                      {"17 units \u2014 no limits", "Allan deviation of units 1 to 16", "Allan deviation of units 17 to 17",
                       "and results\n", "\n16 VRDT40-123.456-10016 u16.rtd", "and results (continued)",
                       "\n17 VRDT40-123.456-10017 u17.rtd", "Mean ", "Maximum ", "noise terms\n", "\n16 595.29",
                       "noise terms (continued)", "\n17 632.50", "\nMean 334.854", "\nMaximum 632.50"}));
}

}  // namespace
#endif  // RATELOG_REPORT
