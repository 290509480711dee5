// SHA-256 (FIPS 180-4) of a file, which ties a report to the recording it
// was made from: anyone can check the recording kept with the report.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class TSha256 {
 public:
  // By the processor's SHA instructions where it has them and `instructions`
  // is set; by portable code otherwise. The digest is the same.
  explicit TSha256(bool instructions = true);
  void Add(const void* data, std::size_t size);
  // The digest as 64 lower-case hexadecimal digits; ends the computation.
  std::string Hex();
  // Whether this processor has the SHA instructions.
  static bool HasInstructions();

 private:
  void Blocks(const std::uint8_t* blocks, std::size_t count);
  void Block(const std::uint8_t* block);
  bool instructions_;
  std::uint32_t h_[8];
  std::uint8_t buffer_[64];
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;  // bytes
};

// The digest of the file at `path`; empty with `error` when it cannot be
// read (or `cancel` was set).
std::string FileSha256(const std::string& path, std::string& error, const std::atomic<bool>* cancel = nullptr,
                       std::int64_t* size = nullptr);
// The same with the bytes read in `size`: false with `error` when the file
// cannot be read.
bool Sha256File(const std::string& path, std::string& hex, std::int64_t& size, std::string& error);
// The digest of a text.
std::string Sha256Hex(const std::string& text);
