#include "files/Markers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "processing/NumberFormat.h"

namespace {

constexpr char kFirstLine[] = "# Ratelog markers";

std::string OneLine(const std::string& note) {
  std::string out = note;
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

// A time written in the C locale's form, whatever the program's locale.
bool ReadTime(const std::string& text, double& time) {
  if (text.empty()) return false;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> time;
  return !in.fail() && in.eof() && std::isfinite(time);
}

}  // namespace

std::string MarkersPath(const std::string& recording) {
  const std::size_t slash = recording.find_last_of('/');
  const std::size_t dot = recording.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    std::string extension = recording.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".rtd") return recording.substr(0, dot) + ".markers.txt";
  }
  return recording + ".markers.txt";
}

std::string MarkersText(std::vector<TMarker> markers) {
  std::stable_sort(markers.begin(), markers.end(),
                   [](const TMarker& a, const TMarker& b) { return a.Time < b.Time; });
  std::string text = std::string(kFirstLine) + "\n";
  for (const TMarker& m : markers) text += FormatGeneral(m.Time, '.', 10) + "\t" + OneLine(m.Note) + "\n";
  return text;
}

std::vector<TMarker> ParseMarkers(const std::string& text, int* skipped) {
  std::vector<TMarker> markers;
  int bad = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    TMarker m;
    if (!ReadTime(line.substr(0, tab), m.Time)) {
      ++bad;
      continue;
    }
    if (tab != std::string::npos) m.Note = line.substr(tab + 1);
    markers.push_back(std::move(m));
  }
  std::stable_sort(markers.begin(), markers.end(),
                   [](const TMarker& a, const TMarker& b) { return a.Time < b.Time; });
  if (skipped) *skipped = bad;
  return markers;
}

bool LoadMarkers(const std::string& recording, std::vector<TMarker>& markers, std::string& error) {
  markers.clear();
  const std::string path = MarkersPath(recording);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = path + ": cannot be read";
    return false;
  }
  markers = ParseMarkers(text);
  return true;
}

bool SaveMarkers(const std::string& recording, const std::vector<TMarker>& markers,
                 std::string& error) {
  const std::string path = MarkersPath(recording);
  const std::string part = path + ".part";
  const std::string text = MarkersText(markers);
  std::FILE* f = std::fopen(part.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (ok && std::rename(part.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    error = path + ": " + std::strerror(errno);
    std::remove(part.c_str());
  }
  return ok;
}
