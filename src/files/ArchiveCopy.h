// Save to server: a byte-for-byte copy of a recording into the archive
// folder tree <server>/<leading ident>/<trailing ident>/create_<time>__file_<name>.rtd.
// The folders must exist; they are not created. No window code here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A folder or file name part taken from the device or the user, made safe:
// "/", NUL and control characters become "_", and a part that is empty,
// "." or ".." becomes "_", so a path built from it stays inside its folder.
std::string SafePathPart(const std::string& part);

// The first 14 characters of the identification, and its characters from
// the 16th on (at most 19), both made safe.
std::string ArchiveLeadingPart(const std::string& ident);
std::string ArchiveTrailingPart(const std::string& ident);
// <server>/<leading>/<trailing>
std::string ArchiveFolder(const std::string& serverFolder, const std::string& ident);
// "create_" + "ddmmyyyy_hhnn_" of the creation time (OLE date) + "_file_" + name + ".rtd"
std::string ArchiveFileName(double created, const std::string& name);
// The name offered for the copy: the recording's file name without its
// folder and without a trailing ".rtd" (any case).
std::string DefaultArchiveName(const std::string& recordingPath);

struct TArchiveJob {
  std::string Source;        // the recording
  std::string ServerFolder;  // from the settings
  std::string Ident;         // identification string of the header
  double Created = 0;        // creation time of the header (OLE date)
  std::string Name;          // the name confirmed by the user
};

enum class TArchiveStatus {
  Complied,        // the target holds the whole recording
  NoServerFolder,  // the settings name no server folder
  Failed,          // nothing or an incomplete copy (removed again)
};

struct TArchiveResult {
  TArchiveStatus Status = TArchiveStatus::Complied;
  std::string Target;  // the target path
  std::string Path;    // the folder or file that was the problem
  std::string Reason;  // why
};

// progress(percent copied), each time the percentage changes.
using TArchiveProgress = std::function<void(int)>;

// The target path of a job (the name made safe).
std::string ArchiveTargetPath(const TArchiveJob& job);

// Copies the recording into a new file of the target folder and, once it
// is on the disk at full length, renames it to the target name: an existing
// copy (or a link) of that name is replaced only then, and never followed.
// On any failure the new file is removed and whatever had the target name
// stays as it was. The source is only ever read, and a target name that is
// the source itself is refused.
TArchiveResult SaveToServer(const TArchiveJob& job, const TArchiveProgress& progress = {});
