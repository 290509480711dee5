// Recording files (.rtd): layout constants shared by the writer (inside the
// packet processor) and the reader.
//
// Current layout: a 760-byte header, then 12-byte records (time, rate,
// temperature as little-endian f32). Headerless older layout (read only):
// the sample value as f32 in bytes 0..3, then records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rtd {

inline constexpr std::size_t HeaderSize = 760;
inline constexpr std::size_t OldHeaderSize = 4;
inline constexpr std::size_t RecordSize = 12;

// Header fields: offset and width.
inline constexpr std::size_t IdentOffset = 0;
inline constexpr std::size_t IdentWidth = 28;
inline constexpr std::size_t IdentUsed = 25;         // bytes 25..27 stay zero
inline constexpr std::size_t VersionOffset = 28;     // u32, always 24611
inline constexpr std::size_t SampleOffset = 32;      // f32
inline constexpr std::size_t CreatedOffset = 40;     // f64 OLE Automation date, local time
inline constexpr std::size_t CompNameOffset = 48;
inline constexpr std::size_t CompNameWidth = 255;
inline constexpr std::size_t UserNameOffset = 303;
inline constexpr std::size_t UserNameWidth = 255;
inline constexpr std::size_t ReservedOffset = 558;   // 200 bytes cleared at creation
inline constexpr std::size_t ReservedWidth = 200;

inline constexpr std::uint32_t VersionMarker = 24611;  // 0x6023
inline constexpr char Signature[4] = {'V', 'R', 'D', 'T'};

// A file is of the current layout when it begins with the signature, or
// when it holds the version marker at its place: devices whose
// identification does not begin with "VRDT" still write the full header.
// In a headerless file those four bytes are the f32 time of the third
// record, and 0x00006023 is a denormal no recorded time takes.
// `header` holds at least the first 32 bytes (zero-filled for a short file).
inline bool IsCurrentLayout(const std::uint8_t* header) {
  if (std::memcmp(header, Signature, sizeof Signature) == 0) return true;
  std::uint32_t marker;
  std::memcpy(&marker, header + VersionOffset, sizeof marker);
  return marker == VersionMarker;
}

// Format versions given to a loaded recording (not stored in the file).
inline constexpr int FormatCurrent = 6;
inline constexpr int FormatHeaderless = 0;

}  // namespace rtd
