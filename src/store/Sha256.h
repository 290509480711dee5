// SHA-256 (FIPS 180-4) of a file or a text, as 64 lower-case hex digits:
// the fingerprint that ties a stored result to its recording.
#pragma once

#include <cstdint>
#include <string>

class TSha256 {
 public:
  TSha256();
  void Add(const void* data, std::size_t size);
  std::string HexDigest();  // ends the hash

 private:
  void Block(const std::uint8_t* p);
  std::uint32_t h_[8];
  std::uint8_t buffer_[64];
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

std::string Sha256Hex(const std::string& text);
// False with `error` when the file cannot be read; `size` is the bytes read.
bool Sha256File(const std::string& path, std::string& hex, std::int64_t& size, std::string& error);
