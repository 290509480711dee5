#include "report/Sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define RATELOG_SHA_INSTRUCTIONS 1
#endif

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

#ifdef RATELOG_SHA_INSTRUCTIONS
// The blocks by the x86 SHA extensions, four rounds a step (two by two:
// after two rounds the old A, B, E, F are the new C, D, G, H). The state is
// held as (A, B, E, F) and (C, D, G, H), the form the round instruction
// takes; each step's four message words follow from the four steps before.
__attribute__((target("sha,sse4.1,ssse3"))) void BlocksByInstructions(std::uint32_t h[8], const std::uint8_t* p,
                                                                      std::size_t count) {
  const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);
  __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
  for (; count > 0; --count, p += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i w[4];  // the message words of the last four steps, step g at w[g % 4]
    for (int g = 0; g < 16; ++g) {
      __m128i& words = w[g % 4];
      if (g < 4) {
        words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), byteOrder);
      } else {
        const __m128i& last = w[(g - 1) % 4];
        const __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(words, w[(g - 3) % 4]),
                                          _mm_alignr_epi8(last, w[(g - 2) % 4], 4));
        words = _mm_sha256msg2_epu32(sum, last);
      }
      __m128i wk = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      wk = _mm_shuffle_epi32(wk, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace

TSha256::TSha256(bool instructions)
    : instructions_(instructions && HasInstructions()),
      h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

bool TSha256::HasInstructions() {
#ifdef RATELOG_SHA_INSTRUCTIONS
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool sse = (c & bit_SSSE3) && (c & bit_SSE4_1);
    return sse && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
  }();
  return has;
#else
  return false;
#endif
}

void TSha256::Blocks(const std::uint8_t* blocks, std::size_t count) {
#ifdef RATELOG_SHA_INSTRUCTIONS
  if (instructions_) return BlocksByInstructions(h_, blocks, count);
#endif
  for (; count > 0; --count, blocks += 64) Block(blocks);
}

void TSha256::Block(const std::uint8_t* p) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = static_cast<std::uint32_t>(p[4 * i]) << 24 | static_cast<std::uint32_t>(p[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
  h_[5] += f;
  h_[6] += g;
  h_[7] += h;
}

void TSha256::Add(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  length_ += size;
  if (used_ > 0) {
    const std::size_t take = std::min(size, sizeof buffer_ - used_);
    std::memcpy(buffer_ + used_, p, take);
    used_ += take;
    p += take;
    size -= take;
    if (used_ < sizeof buffer_) return;
    Blocks(buffer_, 1);
    used_ = 0;
  }
  Blocks(p, size / 64);
  p += size / 64 * 64;
  size %= 64;
  std::memcpy(buffer_, p, size);
  used_ = size;
}

std::string TSha256::Hex() {
  const std::uint64_t bits = length_ * 8;
  const std::uint8_t one = 0x80, zero = 0;
  Add(&one, 1);
  while (used_ != 56) Add(&zero, 1);
  std::uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  Add(tail, 8);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint32_t v : h_)
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(v >> shift) & 0xF];
  return hex;
}

std::string FileSha256(const std::string& path, std::string& error, const std::atomic<bool>* cancel,
                       std::int64_t* size) {
  if (size) *size = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return {};
  }
  constexpr std::size_t kChunk = 1 << 20;
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  TSha256 sha;
  for (;;) {
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      ::close(fd);
      error = "cancelled";
      return {};
    }
    const ssize_t n = ::read(fd, buffer.get(), kChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = path + ": " + std::strerror(errno);
      ::close(fd);
      return {};
    }
    if (n == 0) break;
    sha.Add(buffer.get(), static_cast<std::size_t>(n));
    if (size) *size += n;
  }
  ::close(fd);
  return sha.Hex();
}

bool Sha256File(const std::string& path, std::string& hex, std::int64_t& size, std::string& error) {
  hex = FileSha256(path, error, nullptr, &size);
  return !hex.empty();
}

std::string Sha256Hex(const std::string& text) {
  TSha256 sha;
  sha.Add(text.data(), text.size());
  return sha.Hex();
}
