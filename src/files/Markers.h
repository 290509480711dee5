// Markers of a recording: notes at a time (a door opened, the chamber
// reached its step, the unit was touched), kept beside the recording in a
// small text file of their own, so that the recording's format stays as it
// is. "run.rtd" has its markers in "run.markers.txt": a line
// "# Ratelog markers" and then one marker a line, the time in seconds (the
// recording's own time, as many digits as it needs, '.' as decimal point),
// a tab and the note (UTF-8, tabs and line breaks of a note become spaces).
#pragma once

#include <string>
#include <vector>

struct TMarker {
  double Time = 0;
  std::string Note;
  bool operator==(const TMarker& other) const { return Time == other.Time && Note == other.Note; }
};

// The markers file of a recording: its name with ".rtd" (any case) replaced
// by ".markers.txt", or ".markers.txt" added to a name without it.
std::string MarkersPath(const std::string& recording);

// The text of the file, markers in time order (equal times in the order
// given).
std::string MarkersText(std::vector<TMarker> markers);

// The markers of a file's text, in time order. Lines that are no marker
// (empty, comments, no time) are skipped and counted in `skipped`.
std::vector<TMarker> ParseMarkers(const std::string& text, int* skipped = nullptr);

// Reads the markers of `recording` (none when it has no markers file):
// false with `error` when the file exists but cannot be read.
bool LoadMarkers(const std::string& recording, std::vector<TMarker>& markers, std::string& error);
// Writes all markers of `recording` (a whole new file, in place of the
// old one only once complete): false with `error` when it cannot be.
bool SaveMarkers(const std::string& recording, const std::vector<TMarker>& markers,
                 std::string& error);
