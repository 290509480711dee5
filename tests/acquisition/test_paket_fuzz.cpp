// Randomised input for the packet processor: random bytes, valid frames with
// flipped bits, truncated frames, delimiter and escape runs, odd settings and
// random chunk sizes. Nothing may crash, hang or step outside a buffer, and
// the result must not depend on how the bytes were cut into receive events.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
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

template <typename T>
void Append(Bytes& b, T v) {
  std::uint8_t raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  b.insert(b.end(), raw, raw + sizeof v);
}

void AppendCrc(Bytes& b, std::size_t from) {
  const std::uint16_t crc = proto::Crc16(b.data() + from, b.size() - from);
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Int(0, 255)); }
  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return *(values.begin() + Int(0, static_cast<int>(values.size()) - 1));
  }

  float Value() {
    return Pick<float>({0.0f, 1.0f, -0.5f, 25.0f, 1e30f, -1e-30f,
                        std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity(),
                        static_cast<float>(Int(-100000, 100000)) * 1e-3f});
  }

  void RandomSettings(TPaket& p) {
    p.SetDefault();
    p.Mode = Pick<std::uint8_t>({0, 1, 2, 0, 1, 2, 7});
    p.TimeSource = Pick<std::uint8_t>({0, 1, 2, 9});
    p.TempType = Pick<std::uint8_t>({0, 1, 4});
    p.TrigMask = {Chance(50), Chance(50), Chance(50)};
    p.FreqImpulse = Pick<double>({100.0, 0.0, -3.0, 37.5, 1e9, 1e-9,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::infinity()});
    p.TimeScale = Pick<double>({8.6805555e-06, 0.0, 1e30, -1.0,
                                std::numeric_limits<double>::quiet_NaN()});
    p.TempScale = Pick<double>({0.10000000149011612, 0.0, 1e300});
    p.Sample = Pick<std::int32_t>({10, 125, 1, 0, -7, INT_MAX});
    p.Resolution = Pick<std::int16_t>({4000, 2000, 6000, 0, -1});
    p.MeanTime = Pick<std::int32_t>({50, 1, 0, -5, 2000});
    if (Chance(30)) {
      p.Address = Byte();
      p.AdTime = Pick<std::uint8_t>({24, 0, 3, Byte()});
      p.AdSig = Pick<std::uint8_t>({0, 24, Byte()});
      p.AdTemp = Pick<std::uint8_t>({3, 0, Byte()});
      p.Command = Pick<std::uint8_t>({10, 4, 0x14, Byte()});
    }
  }

  // A framed reply: identification, data, error or anything else.
  Bytes Reply() {
    Bytes body{Byte(), Byte()};
    body.push_back(Pick<std::uint8_t>({2, 2, 2, 3, Byte()}));
    const int kind = Int(0, 3);
    if (kind == 0) {
      for (int i = 0; i < Int(0, 30); ++i) body.push_back(static_cast<std::uint8_t>(Int('0', 'z')));
    } else if (kind == 1) {
      const int fields = Int(0, 4);
      for (int i = 0; i < fields; ++i) {
        if (Chance(50))
          Append(body, Value());
        else
          Append(body, static_cast<std::uint32_t>(rng_()));
      }
    } else if (kind == 2) {
      for (int i = 0; i < Int(0, 300); ++i) body.push_back(Byte());
    }
    AppendCrc(body, 0);
    Bytes wire(body.size() * 2 + 2);
    wire.resize(proto::EscapeFrame(body.data(), body.size(), wire.data(), wire.size()));
    return wire;
  }

  Bytes Trigger(const TPaket& p) {
    Bytes f{0xC0, 0xC0};
    Append(f, Value());
    while (static_cast<int>(f.size()) < 2 + p.TriggerLength) f.push_back(Byte());
    AppendCrc(f, 2);
    return f;
  }

  void Mutate(Bytes& b) {
    switch (Int(0, 5)) {
      case 0: b[static_cast<std::size_t>(Int(0, static_cast<int>(b.size()) - 1))] ^=
              static_cast<std::uint8_t>(1 << Int(0, 7)); break;
      case 1: b.resize(static_cast<std::size_t>(Int(0, static_cast<int>(b.size())))); break;
      case 2: b.insert(b.begin() + Int(0, static_cast<int>(b.size())), Pick<std::uint8_t>({0xC0, 0xDB})); break;
      case 3: b.erase(b.begin() + Int(0, static_cast<int>(b.size()) - 1)); break;
      default: break;  // left intact
    }
  }

  Bytes Stream(const TPaket& p, std::size_t size) {
    Bytes s;
    while (s.size() < size) {
      Bytes piece;
      switch (Int(0, 9)) {
        case 0:
          for (int i = Int(1, 400); i > 0; --i) piece.push_back(Byte());
          break;
        case 1:
          piece.assign(static_cast<std::size_t>(Int(1, 600)), Pick<std::uint8_t>({0xC0, 0xDB, 0x00}));
          break;
        case 2: case 3: case 4:
          piece = Reply();
          if (Chance(40)) Mutate(piece);
          break;
        default:
          piece = Trigger(p);
          if (Chance(30)) Mutate(piece);
          break;
      }
      s.insert(s.end(), piece.begin(), piece.end());
    }
    return s;
  }

  std::mt19937& Rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

void CheckInvariants(const TPaket& p) {
  ASSERT_GE(p.AccumLength, 0);
  ASSERT_LE(p.AccumLength, TPaket::BufferSize);
  ASSERT_GE(p.BlockCount, 0);
  ASSERT_LE(p.BlockCount, TPaket::BlockRecords);
  ASSERT_GE(p.FrameLength, 0);
  ASSERT_LE(p.FrameLength, TPaket::BufferSize - 2);
  ASSERT_GE(p.ChunkLength, 0);
  ASSERT_LE(p.ChunkLength, TPaket::ChunkSize);
  ASSERT_GE(p.RequestLength, 0);
  ASSERT_LE(p.RequestLength, TPaket::BufferSize);
}

long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

class PaketFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ratelog-paketfuzz-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0); }
  std::string dir;
};

TEST_F(PaketFuzz, RandomAndMutatedBytes) {
  auto p = std::make_unique<TPaket>();
  Owner owner;
  owner.packet = p.get();
  p->SetListener(&owner);
  p->SetHostNames("fuzz", "fuzz");
  p->Clock = [] { return 46361.4375; };
  Generator g(20261205);

  std::uint64_t bytes = 0, samples = 0, replies = 0;
  const std::string path = dir + "/fuzz.rtd";
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    g.RandomSettings(*p);
    p->Reset();
    const bool record = g.Chance(50);
    if (record) {
      p->RecordName = path;
      p->RecordEnabled = true;
    }
    p->BuildIdentRequest();
    // Identify early in most rounds, so that the later receivers run too.
    if (g.Chance(80)) {
      Bytes ident{0x64, 0x63, 0x02, 'F', 'O', 'G'};
      AppendCrc(ident, 0);
      Bytes wire(ident.size() * 2 + 2);
      wire.resize(proto::EscapeFrame(ident.data(), ident.size(), wire.data(), wire.size()));
      p->Receive(wire.data(), wire.size());
    }
    const Bytes stream = g.Stream(*p, 100000);
    std::size_t at = 0;
    while (at < stream.size()) {
      std::size_t n = static_cast<std::size_t>(g.Chance(5) ? g.Int(4097, 9000) : g.Int(1, 700));
      n = std::min(n, stream.size() - at);
      p->Receive(stream.data() + at, n);
      at += n;
      CheckInvariants(*p);
      if (p->DisplayReady && g.Chance(20)) {
        const DisplayRecord d = p->TakeSnapshot();
        (void)d;
        ASSERT_FALSE(p->DisplayReady);
      }
    }
    bytes += stream.size();
    samples += p->SamplesAccepted;
    replies += p->RepliesReceived;
    const std::uint64_t accepted = p->SamplesAccepted;
    p->Reset();
    if (record && accepted > 0) {
      const long size = FileSize(path);
      ASSERT_GE(size, 760);
      EXPECT_EQ((size - 760) % 12, 0);
      EXPECT_LE(static_cast<std::uint64_t>(size - 760) / 12, accepted - 1);
    }
    ::unlink(path.c_str());
  }
  EXPECT_GE(bytes, 6000000u);
  // The generator must reach the decoders, not only the frame checks.
  EXPECT_GT(samples, 1000u);
  EXPECT_GT(replies, 10000u);
  EXPECT_GT(owner.identified, 20);
  EXPECT_EQ(owner.failures, 0);
}

TEST_F(PaketFuzz, ChunkBoundariesDoNotMatter) {
  Generator g(4711);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    auto whole = std::make_unique<TPaket>();
    auto cut = std::make_unique<TPaket>();
    Owner o1, o2;
    o1.packet = whole.get();
    o2.packet = cut.get();
    whole->SetListener(&o1);
    cut->SetListener(&o2);
    g.RandomSettings(*whole);
    cut->Assign(*whole);
    const std::string p1 = dir + "/whole.rtd", p2 = dir + "/cut.rtd";
    for (auto* p : {whole.get(), cut.get()}) {
      p->Clock = [] { return 1.0; };
      p->Reset();
      p->RecordName = p == whole.get() ? p1 : p2;
      p->RecordEnabled = true;
      p->BuildIdentRequest();
    }
    // The identification comes in a receive event of its own: the rest of
    // the event that ends identification is still read as framed replies,
    // so in Trigger mode that event's cut would matter.
    Bytes ident{0x64, 0x63, 0x02, 'I', 'D'};
    AppendCrc(ident, 0);
    Bytes wire(ident.size() * 2 + 2);
    wire.resize(proto::EscapeFrame(ident.data(), ident.size(), wire.data(), wire.size()));
    whole->Receive(wire.data(), wire.size());
    cut->Receive(wire.data(), wire.size());
    ASSERT_TRUE(whole->Identified);
    const Bytes stream = g.Stream(*whole, 60000);
    whole->Receive(stream.data(), stream.size());
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(g.Int(1, 64)), stream.size() - at);
      cut->Receive(stream.data() + at, n);
      at += n;
    }
    EXPECT_EQ(whole->SamplesAccepted, cut->SamplesAccepted);
    EXPECT_EQ(whole->RepliesReceived, cut->RepliesReceived);
    EXPECT_EQ(whole->CrcErrors, cut->CrcErrors);
    EXPECT_EQ(whole->ErrorReplies, cut->ErrorReplies);
    EXPECT_EQ(o1.identified, o2.identified);
    EXPECT_EQ(std::memcmp(&whole->Current, &cut->Current, sizeof(SamplePoint)), 0);
    EXPECT_EQ(std::memcmp(&whole->AverageEngine.Average, &cut->AverageEngine.Average, sizeof(double)), 0);
    whole->Reset();
    cut->Reset();
    std::ifstream a(p1, std::ios::binary), b(p2, std::ios::binary);
    const Bytes fa{std::istreambuf_iterator<char>(a), {}};
    const Bytes fb{std::istreambuf_iterator<char>(b), {}};
    EXPECT_EQ(fa, fb);
  }
}

}  // namespace
