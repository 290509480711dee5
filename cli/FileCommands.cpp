#include "cli/FileCommands.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <utility>

#include "cli/CliCommands.h"
#include "files/ArchiveCopy.h"
#include "files/ExportText.h"
#include "files/OleDate.h"
#include "files/RecordingReader.h"
#include "settings/Optionsprogramm.h"

namespace cli {

int Export(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"export needs one recording file"};
  TExportJob job;
  job.SourceName = o.positional[0];

  TRecordingInfo info;
  std::string error;
  if (!TRecordingReader::ReadInfo(job.SourceName, info, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  job.Sample = info.Sample;
  job.FormatVersion = info.FormatVersion;
  // The default window holds every record: from the smallest to the
  // largest record time.
  double smallest = 0, largest = 0;
  if ((!o.Get("begin") || !o.Get("end")) && !RecordTimeRange(job.SourceName, smallest, largest, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  job.BeginTime = o.Number("begin").value_or(smallest);
  job.EndTime = o.Number("end").value_or(largest);
  if (job.BeginTime > job.EndTime) std::swap(job.BeginTime, job.EndTime);
  job.Rate = o.Flag("rate");
  job.Temperature = o.Flag("temperature");
  job.Excel = o.Flag("excel");
  const auto target = o.Get("out");
  job.BaseName = target ? ExportBaseFromChosen(*target) : ExportBaseFromRecording(job.SourceName);
  job.Now = OleDateNow();

  const TExportResult r = RunTextExport(job);
  for (const std::string& file : r.Files) out << file << "\n";
  switch (r.Status) {
    case TExportStatus::Complied:
      return ExitOk;
    case TExportStatus::SourceMissing:
    case TExportStatus::SourceUnreadable:
      err << "ratelog-cli: cannot read recording " << r.Reason << "\n";
      break;
    case TExportStatus::OutputFailed:
      err << "ratelog-cli: cannot write export file " << r.Path << ": " << r.Reason << "\n";
      break;
    case TExportStatus::OutputIsRecording:
      err << "ratelog-cli: cannot write export file " << r.Path
          << ": it is a recording; choose another name\n";
      break;
    case TExportStatus::BadRecording:
      err << "ratelog-cli: bad recording in file: a record's time is not a number; the export "
             "stops there\n";
      break;
  }
  return ExitFailure;
}

int Archive(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"archive needs one recording file"};
  TArchiveJob job;
  job.Source = o.positional[0];
  TRecordingInfo info;
  std::string error;
  if (!TRecordingReader::ReadInfo(job.Source, info, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  if (info.FormatVersion != rtd::FormatCurrent) {
    err << "ratelog-cli: " << job.Source
        << ": a recording without header (older layout) has no identification to archive it under\n";
    return ExitFailure;
  }
  if (const auto server = o.Get("server")) {
    job.ServerFolder = *server;
  } else {
    TOptionProgramm settings;
    if (!LoadSettings(o, settings, err)) return ExitFailure;
    job.ServerFolder = settings.ServerFolder;
  }
  job.Ident = info.Ident;
  job.Created = info.Created;
  job.Name = o.Get("name").value_or(DefaultArchiveName(job.Source));

  const TArchiveResult r = SaveToServer(job);
  if (r.Status == TArchiveStatus::NoServerFolder) {
    err << "ratelog-cli: not saved: no server folder is set (--server DIR or the settings)\n";
    return ExitFailure;
  }
  if (r.Status != TArchiveStatus::Complied) {
    err << "ratelog-cli: not saved: " << r.Path << ": " << r.Reason << "\n";
    return ExitFailure;
  }
  out << r.Target << "\n";
  return ExitOk;
}

}  // namespace cli
