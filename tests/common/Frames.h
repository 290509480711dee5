// Reply frames as the device puts them on the wire: two leading bytes, the
// status, the data, the CRC (low byte first), escaped between delimiters.
#pragma once

#include <cstdint>
#include <vector>

#include "acquisition/Protocol.h"

inline std::vector<std::uint8_t> ReplyFrame(std::uint8_t status,
                                            const std::vector<std::uint8_t>& data = {}) {
  std::vector<std::uint8_t> body{0x64, 0x63, status};
  body.insert(body.end(), data.begin(), data.end());
  const std::uint16_t crc = proto::Crc16(body.data(), body.size());
  body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  body.push_back(static_cast<std::uint8_t>(crc >> 8));
  std::vector<std::uint8_t> out(body.size() * 2 + 2);
  out.resize(proto::EscapeFrame(body.data(), body.size(), out.data(), out.size()));
  return out;
}
