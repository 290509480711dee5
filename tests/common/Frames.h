// Frames as they travel between the program and the gyroscope, built for
// tests: little-endian fields, the CRC (low byte first), byte stuffing
// between delimiters, requests, replies and trigger frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "acquisition/Protocol.h"

using Bytes = std::vector<std::uint8_t>;

// The program's requests with the default settings.
inline const Bytes IdentRequest{0xC0, 0x64, 0x63, 0x14, 0xFB, 0x87, 0xC0};
inline const Bytes DataRequest{0xC0, 0x64, 0x63, 0x04, 0x18, 0x00, 0x00,
                               0x00, 0x03, 0x00, 0x26, 0xBA, 0xC0};
inline const Bytes OneCommandRequest{0xC0, 0x64, 0x63, 0x0A, 0x04, 0x74, 0xC0};

// The bytes of the values, little-endian, one after the other.
template <typename... T>
Bytes Le(T... v) {
  Bytes b;
  auto put = [&b](auto x) {
    const std::size_t at = b.size();
    b.resize(at + sizeof x);
    std::memcpy(b.data() + at, &x, sizeof x);
  };
  (put(v), ...);
  return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// b with the CRC of its bytes from `from` on appended.
inline Bytes WithCrc(Bytes b, std::size_t from = 0) {
  const std::uint16_t crc = proto::Crc16(b.data() + from, b.size() - from);
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
  return b;
}

// A request or reply body with its CRC, escaped between delimiters.
inline Bytes Frame(const Bytes& body) {
  const Bytes in = WithCrc(body);
  Bytes out(in.size() * 2 + 2);
  out.resize(proto::EscapeFrame(in.data(), in.size(), out.data(), out.size()));
  return out;
}

// A reply as the device puts it on the wire: two leading bytes, the status,
// the data.
inline Bytes ReplyFrame(std::uint8_t status, const Bytes& data = {}) {
  return Frame(Cat({{0x64, 0x63, status}, data}));
}
inline Bytes IdentReply(const std::string& text) {
  return ReplyFrame(proto::STATUS_OK, Bytes(text.begin(), text.end()));
}

// A trigger frame: the sync pair, the payload, the CRC of the payload.
inline Bytes TriggerFrame(const Bytes& payload) { return WithCrc(Cat({{0xC0, 0xC0}, payload}), 2); }
