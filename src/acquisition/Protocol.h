// Wire protocol of the gyroscope: constants, checksum, byte stuffing and
// little-endian field access. Shared by the packet processor and the device
// model, so both sides of the link agree byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace proto {

inline constexpr std::uint8_t FrameEnd = 0xC0;      // delimiter
inline constexpr std::uint8_t FrameEsc = 0xDB;      // escape
inline constexpr std::uint8_t FrameEscEnd = 0xDC;   // 0xDB 0xDC stands for 0xC0
inline constexpr std::uint8_t FrameEscEsc = 0xDD;   // 0xDB 0xDD stands for 0xDB

inline constexpr std::uint8_t OP_READ = 0x04;
inline constexpr std::uint8_t OP_IDENT = 0x14;
inline constexpr std::uint8_t STATUS_OK = 2;
inline constexpr std::uint8_t STATUS_ERROR = 3;

inline constexpr int IdentLength = 25;      // identification text bytes in a reply
inline constexpr int MaxFrame = 255;        // accumulator and frame buffer size

// Default identification string, shown and stored whenever the device has
// not identified itself.
inline constexpr char DefaultIdent[] = "VRDT40-000.000-00000";

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, not reflected, no final XOR),
// byte-wise form. Check value 0x29B1 for "123456789".
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) noexcept;

// Writes 0xC0, the escaped bytes, 0xC0 into out (capacity cap). Returns the
// number of bytes written, or 0 when they do not fit.
std::size_t EscapeFrame(const std::uint8_t* body, std::size_t n, std::uint8_t* out,
                        std::size_t cap) noexcept;

// Little-endian field access; memcpy keeps unaligned reads well defined.
template <typename T>
inline T GetLE(const std::uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
inline void PutLE(std::uint8_t* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace proto
