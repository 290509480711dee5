// What the single-port and the batch form of `ratelog-cli record` share:
// the stop signals, the hints for a port that does not open, and the run
// options that change the settings of this run only.
#pragma once

#include <string>

#include "cli/CliOptions.h"

namespace cli {

// Catches SIGINT and SIGTERM for the length of a run (Caught() tells which
// arrived, 0 while none); the previous handlers come back at the end.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  static int Caught();
  // "Ctrl-C" or "SIGTERM".
  static const char* Name(int sig);

 private:
  struct Saved;
  Saved* saved_;
};

// Why a port did not open, in words the user can act on (" (...)"), from
// the errno the link reported.
std::string PortHint(int osError);

// --mode, --sample, --seconds and --ident-timeout, applied to this run's
// settings (nothing is saved). UsageError for a value out of range.
struct RunLimits {
  double seconds = 0;         // 0: until Ctrl-C
  double identTimeout = 10;   // s
};
RunLimits ApplyRunOptions(const Options& o, TOptionProgramm& settings);

// The batch form: several ports at once, or --simulate N.
bool IsBatchRecord(const Options& o);
int RecordBatch(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace cli
