// ratelog-cli db: the results store (init, import, history, trend, export),
// and the calls by which the analyses store their results.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "report/ReportContent.h"

namespace cli {

int Db(const Options& o, std::ostream& out, std::ostream& err);

// The embedded SQLite file in the user's data folder: the default store,
// and where results for a server that cannot be reached wait.
std::string QueuePath();

// Stores the results of `units` (`command`: "report", "batch") in the store
// that --db, RATELOG_DB, the store settings or the default name, unless
// --no-store; then names each figure outside its unit type's control
// limits. Never fails the analysis: problems are messages on err, results
// that cannot reach a server are queued (and said so). What was stored or
// queued and the control marks are messages on err, so that the command's
// own output (its table, its one JSON object) stays as it is.
void StoreResults(const Options& o, const char* command, const std::vector<TReportContent>& units,
                  std::ostream& err);

// calc, allan and thermal with --store: the figures as the command printed
// them, over the span [begin, end] of the recording (the first positional
// argument), with the options that shaped them; as StoreResults otherwise.
void StoreFigures(const Options& o, const char* command, double begin, double end,
                  const std::vector<TFigure>& figures, std::ostream& err);

// scalefactor and positions: each unit's figures, with the options of the
// command line as its settings; as StoreResults otherwise.
void StoreCommandResults(const Options& o, const char* command, std::vector<TReportContent> units,
                         std::ostream& err);

// For report: each unit's figures outside its type's control limits in
// the store (OutsideControl) and, with `pages`, the unit's history for its
// trend pages (History). The store is only read (--no-store too): where
// there is none nothing is added; a store that cannot be read is a message
// on err and the report goes on without.
void AddStoreHistory(const Options& o, std::vector<TReportContent>& units, bool pages, std::ostream& err);

}  // namespace cli
