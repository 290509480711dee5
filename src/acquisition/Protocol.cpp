#include "acquisition/Protocol.h"

namespace proto {

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) noexcept {
  std::uint8_t hi = 0xFF, lo = 0xFF;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t x = static_cast<std::uint8_t>(data[i] ^ hi);
    x = static_cast<std::uint8_t>(x ^ (x >> 4));
    hi = static_cast<std::uint8_t>((x << 4) ^ lo ^ (x >> 3));
    lo = static_cast<std::uint8_t>((x << 5) ^ x);
  }
  return static_cast<std::uint16_t>((hi << 8) | lo);
}

std::size_t EscapeFrame(const std::uint8_t* body, std::size_t n, std::uint8_t* out,
                        std::size_t cap) noexcept {
  std::size_t k = 0;
  auto put = [&](std::uint8_t b) {
    if (k < cap) out[k] = b;
    ++k;
  };
  put(FrameEnd);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = body[i];
    if (b == FrameEnd) {
      put(FrameEsc);
      put(FrameEscEnd);
    } else if (b == FrameEsc) {
      put(FrameEsc);
      put(FrameEscEsc);
    } else {
      put(b);
    }
  }
  put(FrameEnd);
  return k <= cap ? k : 0;
}

}  // namespace proto
