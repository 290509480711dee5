// Writing a finished report to its file without ever leaving a half file
// or destroying what lies at the name: only a regular file (new or
// replaced) takes a report; the bytes go to a new file of a unique name in
// the target's folder, are flushed to the disk and renamed over the target
// only when every byte is written. Two reports to the same name at once
// each write their own temporary file; the name holds one complete report.
#pragma once

#include <cstddef>
#include <string>

// Why `path` cannot take a report, or empty: a name that exists and is no
// regular file (a folder, a FIFO, a device, a socket) is refused.
std::string ReportTargetProblem(const std::string& path);

// Writes `size` bytes to `path` as described above. False with `error`
// ("PATH: reason") when anything fails; the older file at `path` then
// stays as it was and no temporary file is left.
bool WriteReportFile(const std::string& path, const char* data, std::size_t size, std::string& error);
