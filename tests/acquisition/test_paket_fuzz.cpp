// Randomised input for the packet processor: random bytes, valid frames with
// flipped bits, truncated frames, delimiter and escape runs, odd settings and
// random chunk sizes. Nothing may crash, hang or step outside a buffer, and
// the result must not depend on how the bytes were cut into receive events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "acquisition/Paket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  int identified = 0;
  int failures = 0;
  void DeviceIdentified() override {
    ++identified;
    if (packet->Mode != ModeTrigger) packet->BuildDataRequest();
  }
  void IdentificationText(const std::string&) override {}
  void RecordingFailed(const std::string&, const std::string&) override { ++failures; }
};

void Put(Bytes& b, const void* v, std::size_t n) {
  const std::size_t at = b.size();
  b.resize(at + n);
  std::memcpy(b.data() + at, v, n);
}

void AddCrc(Bytes& b, std::size_t from) {
  const std::uint16_t crc = proto::Crc16(b.data() + from, b.size() - from);
  Put(b, &crc, 2);
}

Bytes Framed(const Bytes& body) {
  Bytes out(body.size() * 2 + 2);
  out.resize(proto::EscapeFrame(body.data(), body.size(), out.data(), out.size()));
  return out;
}

Bytes IdentReply() {
  Bytes b{0x64, 0x63, 0x02, 'F', 'O', 'G'};
  AddCrc(b, 0);
  return Framed(b);
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Int(0, 255)); }
  template <typename T>
  T Pick(std::initializer_list<T> v) {
    return v.begin()[Int(0, static_cast<int>(v.size()) - 1)];
  }

  void Settings(TPaket& p) {
    p.SetDefault();
    p.Mode = Pick<std::uint8_t>({0, 1, 2, 0, 1, 2, 7});
    p.TimeSource = Pick<std::uint8_t>({0, 1, 2, 9});
    p.TempType = Pick<std::uint8_t>({0, 1, 4});
    p.TrigMask = {Chance(50), Chance(50), Chance(50)};
    p.FreqImpulse = Pick<double>({100.0, 0.0, -3.0, 1e9, 1e-9, NAN, INFINITY});
    p.TimeScale = Pick<double>({8.6805555e-06, 0.0, 1e30, -1.0, NAN});
    p.TempScale = Pick<double>({0.10000000149011612, 0.0, 1e300});
    p.Sample = Pick<std::int32_t>({10, 125, 0, -7, INT_MAX});
    p.Resolution = Pick<std::int16_t>({4000, 2000, 6000, 0});
    p.MeanTime = Pick<std::int32_t>({50, 1, 0, -5, 2000});
    if (Chance(30)) {  // colliding or odd field addresses
      p.AdTime = Pick<std::uint8_t>({24, 0, Byte()});
      p.AdSig = Pick<std::uint8_t>({0, 24, Byte()});
      p.Command = Pick<std::uint8_t>({10, 4, 0x14, Byte()});
    }
  }

  Bytes Piece(const TPaket& p) {
    Bytes b;
    switch (Int(0, 9)) {
      case 0:
        for (int i = Int(1, 400); i > 0; --i) b.push_back(Byte());
        return b;
      case 1:
        return Bytes(static_cast<std::size_t>(Int(1, 600)), Pick<std::uint8_t>({0xC0, 0xDB, 0}));
      case 2: case 3: case 4: {  // framed reply: text, fields or noise
        b = {Byte(), Byte(), Pick<std::uint8_t>({2, 2, 2, 3, Byte()})};
        const int kind = Int(0, 2);
        for (int i = Int(0, kind == 2 ? 300 : 4); i > 0; --i) {
          const float f = Pick<float>({0.0f, -0.5f, 25.0f, 1e30f, NAN, INFINITY});
          const std::uint32_t u = static_cast<std::uint32_t>(rng_());
          if (kind == 2) b.push_back(Byte());
          else Put(b, Chance(50) ? static_cast<const void*>(&f) : &u, 4);
        }
        AddCrc(b, 0);
        b = Framed(b);
        break;
      }
      default: {  // trigger frame of the configured length
        b = {0xC0, 0xC0};
        while (static_cast<int>(b.size()) < 2 + p.TriggerLength) b.push_back(Byte());
        AddCrc(b, 2);
      }
    }
    if (Chance(35)) {
      const int at = Int(0, static_cast<int>(b.size()) - 1);
      switch (Int(0, 3)) {
        case 0: b[static_cast<std::size_t>(at)] ^= static_cast<std::uint8_t>(1 << Int(0, 7)); break;
        case 1: b.resize(static_cast<std::size_t>(at)); break;
        case 2: b.insert(b.begin() + at, Pick<std::uint8_t>({0xC0, 0xDB})); break;
        default: b.erase(b.begin() + at);
      }
    }
    return b;
  }

  Bytes Stream(const TPaket& p, std::size_t size) {
    Bytes s;
    while (s.size() < size) {
      const Bytes b = Piece(p);
      s.insert(s.end(), b.begin(), b.end());
    }
    return s;
  }

 private:
  std::mt19937 rng_;
};

class PaketFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ratelog-paketfuzz-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0); }
  std::unique_ptr<TPaket> Make(Owner& owner) {
    auto p = std::make_unique<TPaket>();
    owner.packet = p.get();
    p->SetListener(&owner);
    p->Clock = [] { return 46361.4375; };
    return p;
  }
  std::string dir;
};

TEST_F(PaketFuzz, RandomAndMutatedBytes) {
  Owner owner;
  auto p = Make(owner);
  Generator g(20261205);
  std::uint64_t samples = 0, replies = 0;
  const std::string path = dir + "/fuzz.rtd";
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    g.Settings(*p);
    p->Reset();
    const bool record = g.Chance(50);
    p->RecordName = path;
    p->RecordEnabled = record;
    p->BuildIdentRequest();
    if (g.Chance(80)) {
      const Bytes ident = IdentReply();
      p->Receive(ident.data(), ident.size());
    }
    const Bytes stream = g.Stream(*p, 100000);
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min<std::size_t>(
          static_cast<std::size_t>(g.Chance(5) ? g.Int(4097, 9000) : g.Int(1, 700)),
          stream.size() - at);
      p->Receive(stream.data() + at, n);
      at += n;
      ASSERT_TRUE(p->AccumLength >= 0 && p->AccumLength <= TPaket::BufferSize);
      ASSERT_TRUE(p->BlockCount >= 0 && p->BlockCount <= TPaket::BlockRecords);
      ASSERT_TRUE(p->FrameLength >= 0 && p->FrameLength <= TPaket::BufferSize - 2);
      ASSERT_TRUE(p->ChunkLength >= 0 && p->ChunkLength <= TPaket::ChunkSize);
      if (p->DisplayReady && g.Chance(20)) p->TakeSnapshot();
    }
    samples += p->SamplesAccepted;
    replies += p->RepliesReceived;
    const std::uint64_t accepted = p->SamplesAccepted;
    p->Reset();
    if (record && accepted > 0) {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      const long size = static_cast<long>(in.tellg());
      ASSERT_GE(size, 760);
      EXPECT_EQ((size - 760) % 12, 0);
      EXPECT_LT(static_cast<std::uint64_t>(size - 760) / 12, accepted);
    }
    ::unlink(path.c_str());
  }
  // The generator must reach the decoders, not only the frame checks.
  EXPECT_GT(samples, 1000u);
  EXPECT_GT(replies, 10000u);
  EXPECT_GT(owner.identified, 30);
  EXPECT_EQ(owner.failures, 0);
}

TEST_F(PaketFuzz, ChunkBoundariesDoNotMatter) {
  Generator g(4711);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    Owner o1, o2;
    auto whole = Make(o1), cut = Make(o2);
    g.Settings(*whole);
    cut->Assign(*whole);
    const std::string p1 = dir + "/whole.rtd", p2 = dir + "/cut.rtd";
    // The identification comes in a receive event of its own: the rest of
    // the event that ends identification is still read as framed replies,
    // so in Trigger mode the cut of that one event does matter.
    const Bytes ident = IdentReply();
    for (TPaket* p : {whole.get(), cut.get()}) {
      p->Reset();
      p->RecordName = p == whole.get() ? p1 : p2;
      p->RecordEnabled = true;
      p->BuildIdentRequest();
      p->Receive(ident.data(), ident.size());
    }
    const Bytes stream = g.Stream(*whole, 60000);
    whole->Receive(stream.data(), stream.size());
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(g.Int(1, 64)),
                                                   stream.size() - at);
      cut->Receive(stream.data() + at, n);
      at += n;
    }
    EXPECT_EQ(whole->SamplesAccepted, cut->SamplesAccepted);
    EXPECT_EQ(whole->CrcErrors, cut->CrcErrors);
    EXPECT_EQ(whole->ErrorReplies, cut->ErrorReplies);
    EXPECT_EQ(std::memcmp(&whole->Current, &cut->Current, sizeof(SamplePoint)), 0);
    whole->Reset();
    cut->Reset();
    EXPECT_EQ(o1.identified, o2.identified);
    std::ifstream a(p1, std::ios::binary), b(p2, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(a), {}), Bytes(std::istreambuf_iterator<char>(b), {}));
  }
}

}  // namespace
