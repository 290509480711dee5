#include "sim/DeviceModel.h"
#include "sim/RateTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "settings/Optionsprogramm.h"

namespace {

// Peak of the Allan deviation of a first-order Gauss-Markov process, as a
// fraction of the process's standard deviation (reached at 1.89 x its
// correlation time).
constexpr double GaussMarkovAllanPeak = 0.6174;

// Seconds per sample when a configured rate is unusable.
constexpr double FallbackPeriod = 0.1;

// A second generator for the faults, so that switching faults on or off
// never changes the signal.
constexpr std::uint64_t FaultSeedSalt = 0x9E3779B97F4A7C15ull;
// The rate random walk draws from its own sequence, so that switching it on
// leaves every other draw of a seed as it was.
constexpr std::uint64_t WalkSeedSalt = 0xD1B54A32D192ED03ull;
constexpr std::uint64_t QuantSeedSalt = 0x8CB92BA72F3D8DD7ull;

constexpr std::size_t OutReserve = 64 * 1024;

double PeriodOf(double rateHz) {
  return (std::isfinite(rateHz) && rateHz > 0) ? 1.0 / rateHz : FallbackPeriod;
}

}  // namespace

void TDeviceConfig::SetIdent(std::string_view text) {
  Ident.fill(0);
  std::memcpy(Ident.data(), text.data(), std::min(text.size(), Ident.size()));
}

TDeviceModel::TDeviceModel(const TDeviceConfig& config) : Config_(config) {
  Out_.reserve(OutReserve);
  Reset();
}

void TDeviceModel::Reset() {
  Stats_ = TDeviceStats{};
  ReqLength_ = 0;
  InFrame_ = false;
  Escaped_ = false;
  ReqBad_ = false;
  Out_.clear();
  OutHead_ = 0;
  Rng_.seed(Config_.Seed);
  FaultRng_.seed(Config_.Seed ^ FaultSeedSalt);
  WalkRng_.seed(Config_.Seed ^ WalkSeedSalt);
  QuantRng_.seed(Config_.Seed ^ QuantSeedSalt);
  Walk_ = QuantError_ = 0;
  HaveSpare_ = false;
  Spare_ = 0;
  Instability_ = 0;
  Streaming_ = false;
  StreamStart_ = 0;
  StreamIndex_ = 0;
  FrameCounter_ = Config_.FrameCounterStart;
  FramesSent_ = 0;
  HaveLastSample_ = false;
  LastReplyLineTime_ = 0;
}

void TDeviceModel::SetFixedSignal(float rateDegPerSec, float temperature) {
  Fixed_ = true;
  FixedRate_ = rateDegPerSec;
  FixedTemperature_ = temperature;
}

// ---------------------------------------------------------------- clock ---

double TDeviceModel::DeviceSeconds(double now) const {
  double t = Config_.ClockOffset + now;
  const double wrap = Config_.ClockWrapSeconds;
  if (wrap > 0 && std::isfinite(wrap)) {
    t = std::fmod(t, wrap);
    if (t < 0) t += wrap;
  }
  return t;
}

std::uint32_t TDeviceModel::TimeCounts(double now) const {
  const double scale = Config_.TimeScale;
  if (!(scale > 0) || !std::isfinite(scale)) return 0;
  // A hair above the exact quotient, so that a time that is a whole number
  // of counts in decimal (1.0 s = 115200 counts) does not lose a count to
  // rounding of the scale or of the caller's clock.
  const double x = std::floor((Config_.ClockOffset + now) / scale + 1e-6);
  if (!(std::fabs(x) < 9.0e18)) return 0;
  std::int64_t c = static_cast<std::int64_t>(x);
  const double wrap = Config_.ClockWrapSeconds;
  if (wrap > 0 && std::isfinite(wrap)) {
    const double wc = std::round(wrap / scale);
    if (wc >= 1 && wc < 9.0e18) {
      const auto m = static_cast<std::int64_t>(wc);
      c %= m;
      if (c < 0) c += m;
    }
  }
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(c));  // 32-bit counter
}

double TDeviceModel::ClockReading(double now, bool counts) const {
  const double raw = Config_.ClockOffset + now;
  if (counts) {
    const double scale = Config_.TimeScale;
    if (!(scale > 0) || !std::isfinite(scale)) return raw;
    return std::floor(raw / scale + 1e-6);
  }
  return static_cast<double>(static_cast<float>(raw));
}

double TDeviceModel::SampleClock(double now, bool counts, bool afterLastReply) {
  // Replies leave one after the other: the next cannot be measured before
  // the last one went out on the line.
  if (HaveLastSample_ && afterLastReply) now = std::max(now, LastSampleNow_ + LastReplyLineTime_);
  if (HaveLastSample_ && !(now > LastSampleNow_ && ClockReading(now, counts) > LastReading_)) {
    // One count, or one f32 step at this time, further on.
    const double scale = Config_.TimeScale;
    const float last = static_cast<float>(Config_.ClockOffset + LastSampleNow_);
    double step = counts && scale > 0 && std::isfinite(scale)
                      ? scale
                      : static_cast<double>(std::nextafter(last, HUGE_VALF) - last);
    if (!(step > 0) || !std::isfinite(step)) step = 1e-6;
    now = std::max(now, LastSampleNow_);
    for (int i = 0; i < 64 && !(ClockReading(now, counts) > LastReading_); ++i, step *= 2)
      now = LastSampleNow_ + step;
  }
  HaveLastSample_ = true;
  LastSampleNow_ = now;
  LastReading_ = ClockReading(now, counts);
  return now;
}

// --------------------------------------------------------------- signal ---

double TDeviceModel::Normal() {
  // Box-Muller on our own uniforms: the same numbers with every library.
  if (HaveSpare_) {
    HaveSpare_ = false;
    return Spare_;
  }
  const double u1 = static_cast<double>((Rng_() >> 11) + 1) * 0x1p-53;  // (0, 1]
  const double u2 = static_cast<double>(Rng_() >> 11) * 0x1p-53;        // [0, 1)
  const double r = std::sqrt(-2.0 * std::log(u1));
  const double a = 2.0 * 3.14159265358979323846 * u2;
  Spare_ = r * std::sin(a);
  HaveSpare_ = true;
  return r * std::cos(a);
}

// One sample of the static gyroscope. dt is the nominal sample period.
//
// White rate noise from the angle random walk N (deg/sqrt(h)): the angle
// integrated over tau seconds has std dev N * sqrt(tau / 3600) deg; with
// samples of std dev s (deg/s) taken every dt seconds it has
// s * dt * sqrt(tau / dt). Equating: s = N / 60 / sqrt(dt) deg/s, that is
// 60 * N * sqrt(f) deg/h at a sample rate f.
void TDeviceModel::NextSignal(double now, double dt, float& rate, float& temperature) {
  if (Fixed_) {
    rate = FixedRate_;
    temperature = FixedTemperature_;
    return;
  }
  const TDeviceConfig& c = Config_;
  // Two draws per sample whatever the parameters, so that the sequence of
  // random numbers depends on the seed and the number of samples only.
  const double white = Normal();
  const double drive = Normal();

  double temp = 0, tempRate = 0;
  DeviceTemperature(c, now, temp, tempRate);
  const double thermal = c.TempB1 * temp + c.TempB2 * temp * temp + c.TempRateCoefficient * tempRate;

  const double sigmaGm = c.BiasInstability / GaussMarkovAllanPeak;
  const double a = c.CorrelationTime > 0 ? std::exp(-dt / c.CorrelationTime) : 0.0;
  Instability_ = a * Instability_ + sigmaGm * std::sqrt(1.0 - a * a) * drive;

  if (c.RateRandomWalk > 0) {
    const double u1 = static_cast<double>((WalkRng_() >> 11) + 1) * 0x1p-53;
    const double u2 = static_cast<double>(WalkRng_() >> 11) * 0x1p-53;
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
    Walk_ += c.RateRandomWalk * std::sqrt(dt / 3600.0) * g;
  }

  const double sigmaWhite = 60.0 * c.Arw / std::sqrt(dt);  // deg/h
  double rateH = c.Bias + c.EarthRate + c.TempCoefficient * (temp - c.TempStart) + Instability_ +
                 sigmaWhite * white + Walk_ + c.RateRamp * now / 3600.0;
  if (c.AngleQuantum > 0) {
    // The read-out's error moves the angle increment; arc-seconds per
    // second are deg/h.
    const double u = static_cast<double>(QuantRng_() >> 11) * 0x1p-53;
    const double error = (u - 0.5) * c.AngleQuantum;
    rateH += (error - QuantError_) / dt;
    QuantError_ = error;
  }
  rate = static_cast<float>(rateH / 3600.0);
  temperature = static_cast<float>(temp);
  // The climatic chamber's thermal bias (deg/h).
  if (thermal != 0) rate = static_cast<float>(rate + thermal / 3600.0);
  if (c.RateTable) rate = static_cast<float>(rate + c.RateTable->Output(c.RateTable->RateAt(now), temp));
}

void TDeviceModel::FillSample(TDeviceSample& s, double now, float rate,
                              float temperature) const {
  s.Now = now;
  s.Rate = rate;
  s.TimeCounts = TimeCounts(now);
  if (Config_.TimeType == TDeviceTimeType::Ulong || s.Kind == TDeviceSample::TKind::Trigger) {
    s.DeviceTime = static_cast<double>(s.TimeCounts) * Config_.TimeScale;
  } else {
    s.DeviceTime = DeviceSeconds(now);
  }
  s.Time = static_cast<float>(s.DeviceTime);
  s.Temperature = temperature;
}

// --------------------------------------------------------------- output ---

void TDeviceModel::Append(const std::uint8_t* p, std::size_t n) {
  if (OutHead_ == Out_.size()) {
    Out_.clear();
    OutHead_ = 0;
  } else if (OutHead_ >= OutReserve && OutHead_ * 2 >= Out_.size()) {
    Out_.erase(Out_.begin(), Out_.begin() + static_cast<std::ptrdiff_t>(OutHead_));
    OutHead_ = 0;
  }
  Out_.insert(Out_.end(), p, p + n);
}

void TDeviceModel::Take(std::vector<std::uint8_t>& out) {
  out.insert(out.end(), Out_.begin() + static_cast<std::ptrdiff_t>(OutHead_), Out_.end());
  Out_.clear();
  OutHead_ = 0;
}

std::size_t TDeviceModel::Take(std::uint8_t* dst, std::size_t cap) {
  const std::size_t k = std::min(cap, Pending());
  if (k > 0) std::memcpy(dst, Out_.data() + OutHead_, k);
  OutHead_ += k;
  if (OutHead_ == Out_.size()) {
    Out_.clear();
    OutHead_ = 0;
  }
  return k;
}

bool TDeviceModel::BeforeFrame() {
  const TDeviceConfig& c = Config_;
  const std::uint64_t k = ++FramesSent_;
  if (c.GarbageEvery > 0 && k % static_cast<std::uint64_t>(c.GarbageEvery) == 0) {
    std::uint8_t junk[64];
    std::int32_t left = std::clamp(c.GarbageLength, 0, 1 << 16);
    while (left > 0) {
      const std::size_t m = std::min<std::size_t>(sizeof junk, static_cast<std::size_t>(left));
      for (std::size_t i = 0; i < m; ++i) {
        // 255 values: everything but the delimiter.
        std::uint8_t b = static_cast<std::uint8_t>(FaultRng_() % 255);
        if (b >= proto::FrameEnd) ++b;
        junk[i] = b;
      }
      Append(junk, m);
      left -= static_cast<std::int32_t>(m);
    }
    ++Stats_.GarbageRuns;
  }
  if (c.OverlongEvery > 0 && k % static_cast<std::uint64_t>(c.OverlongEvery) == 0) {
    // 0xC0, printable filler (no delimiter or escape byte), 0xC0.
    std::uint8_t fill[64];
    const std::uint8_t end = proto::FrameEnd;
    Append(&end, 1);
    std::int32_t left = std::clamp(c.OverlongLength, 0, 1 << 16);
    std::uint32_t j = 0;
    while (left > 0) {
      const std::size_t m = std::min<std::size_t>(sizeof fill, static_cast<std::size_t>(left));
      for (std::size_t i = 0; i < m; ++i, ++j) fill[i] = static_cast<std::uint8_t>(0x20 + j % 0x5F);
      Append(fill, m);
      left -= static_cast<std::int32_t>(m);
    }
    Append(&end, 1);
    ++Stats_.OverlongFrames;
  }
  const bool bad = c.BadCrcEvery > 0 && k % static_cast<std::uint64_t>(c.BadCrcEvery) == 0;
  if (bad) ++Stats_.BadCrcFrames;
  return bad;
}

bool TDeviceModel::SendReply(std::size_t n) {
  const bool bad = BeforeFrame();
  std::uint16_t crc = proto::Crc16(Body_.data(), n);
  if (bad) crc = static_cast<std::uint16_t>(crc ^ 0xFFFF);
  Body_[n] = static_cast<std::uint8_t>(crc & 0xFF);
  Body_[n + 1] = static_cast<std::uint8_t>(crc >> 8);
  const std::size_t k = proto::EscapeFrame(Body_.data(), n + 2, EscBuf_.data(), EscBuf_.size());
  Append(EscBuf_.data(), k);
  LastReplyLineTime_ = static_cast<double>(k) * 10.0 / ReplyBitsPerSecond;
  return bad;
}

// ------------------------------------------------------------- requests ---

std::size_t TDeviceModel::Feed(const std::uint8_t* bytes, std::size_t n, double now) {
  const std::size_t before = Pending();
  AdvanceTo(now);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = bytes[i];
    if (c == proto::FrameEnd) {
      // A delimiter ends the frame in progress and opens the next one, so
      // requests work with or without a delimiter in front of each.
      if (InFrame_ && (ReqLength_ > 0 || ReqBad_)) {
        if (ReqBad_ || Escaped_) {
          ++Stats_.BadRequests;
        } else {
          HandleRequest(now);
        }
      }
      InFrame_ = true;
      ReqLength_ = 0;
      Escaped_ = false;
      ReqBad_ = false;
      continue;
    }
    if (!InFrame_ || ReqBad_) continue;  // outside a frame, or dropping one
    std::uint8_t b = c;
    if (Escaped_) {
      Escaped_ = false;
      if (c == proto::FrameEscEnd) {
        b = proto::FrameEnd;
      } else if (c == proto::FrameEscEsc) {
        b = proto::FrameEsc;
      } else {
        ReqBad_ = true;
        continue;
      }
    } else if (c == proto::FrameEsc) {
      Escaped_ = true;
      continue;
    }
    if (ReqLength_ >= Req_.size()) {
      ReqBad_ = true;  // too long for the device: dropped up to the next delimiter
      continue;
    }
    Req_[ReqLength_++] = b;
  }
  return Pending() - before;
}

void TDeviceModel::HandleRequest(double now) {
  // Address, sender code, opcode, CRC at least.
  if (ReqLength_ < 5) {
    ++Stats_.BadRequests;
    return;
  }
  const std::size_t m = ReqLength_ - 2;
  if (proto::GetLE<std::uint16_t>(&Req_[m]) != proto::Crc16(Req_.data(), m)) {
    ++Stats_.BadRequests;
    return;
  }
  if (Req_[0] != Config_.Address) {
    ++Stats_.OtherAddress;
    return;
  }
  ++Stats_.Requests;
  if (Config_.Silent) return;
  if (Config_.ErrorAlways || Config_.ErrorReplies > 0) {
    if (Config_.ErrorReplies > 0) --Config_.ErrorReplies;
    ReplyError();
    return;
  }
  const std::uint8_t op = Req_[2];
  if (op == proto::OP_IDENT) {
    ReplyIdent();
    if (Config_.TriggerMode && !Streaming_) StartStreaming(now);
  } else if (op == Config_.Command && m == 3) {
    ReplyOneCommand(now);
  } else if (op == proto::OP_READ) {
    ReplyData(now);
  } else {
    ReplyError();  // a command this device does not know
  }
}

void TDeviceModel::ReplyError() {
  Body_[0] = Config_.Address;
  Body_[1] = Config_.ReplyCode;
  Body_[2] = proto::STATUS_ERROR;
  SendReply(3);
  ++Stats_.ErrorReplies;
}

void TDeviceModel::ReplyIdent() {
  Body_[0] = Config_.Address;
  Body_[1] = Config_.ReplyCode;
  Body_[2] = proto::STATUS_OK;
  std::memcpy(&Body_[3], Config_.Ident.data(), proto::IdentLength);
  SendReply(3 + proto::IdentLength);
  ++Stats_.Replies;
}

void TDeviceModel::ReplyOneCommand(double now) {
  now = SampleClock(now, Config_.TimeType == TDeviceTimeType::Ulong, true);
  float rate, temperature;
  NextSignal(now, PeriodOf(Config_.SampleRate), rate, temperature);
  Body_[0] = Config_.Address;
  Body_[1] = Config_.ReplyCode;
  Body_[2] = proto::STATUS_OK;
  proto::PutLE<float>(&Body_[3], rate);
  const bool bad = SendReply(7);
  ++Stats_.Replies;
  if (OnSample) {
    TDeviceSample s;
    s.Kind = TDeviceSample::TKind::OneCommand;
    FillSample(s, now, rate, temperature);
    s.BadCrc = bad;
    OnSample(s);
  }
}

// One 4-byte value per field address of the request, in request order.
// The addresses are compared as the program compares them (time, then
// rate, then temperature); an address the device does not know reads 0.
void TDeviceModel::ReplyData(double now) {
  const TDeviceConfig& c = Config_;
  now = SampleClock(now, c.TimeType == TDeviceTimeType::Ulong, true);
  float rate, temperature;
  NextSignal(now, PeriodOf(c.SampleRate), rate, temperature);

  TDeviceSample s;
  s.Kind = TDeviceSample::TKind::Data;
  FillSample(s, now, rate, temperature);
  if (c.TempType == TDeviceTempType::Long) {
    double counts = 0;
    if (c.TempScale != 0 && std::isfinite(c.TempScale)) {
      counts = std::round(static_cast<double>(temperature) / c.TempScale);
      counts = std::clamp(counts, -2147483648.0, 2147483647.0);
      if (std::isnan(counts)) counts = 0;
    }
    s.TempCounts = static_cast<std::int32_t>(counts);
    s.Temperature = static_cast<float>(s.TempCounts * c.TempScale);
  }

  Body_[0] = c.Address;
  Body_[1] = c.ReplyCode;
  Body_[2] = proto::STATUS_OK;
  std::size_t p = 3;
  const std::size_t m = ReqLength_ - 2;
  for (std::size_t i = 3; i < m; i += 2) {
    const std::uint8_t a = Req_[i];
    std::uint8_t* q = &Body_[p];
    if (a == c.AdTime) {
      if (c.TimeType == TDeviceTimeType::Ulong) {
        proto::PutLE<std::uint32_t>(q, s.TimeCounts);
      } else {
        proto::PutLE<float>(q, s.Time);
      }
      s.HasTime = true;
    } else if (a == c.AdSig) {
      proto::PutLE<float>(q, rate);
    } else if (a == c.AdTemp) {
      if (c.TempType == TDeviceTempType::Long) {
        proto::PutLE<std::int32_t>(q, s.TempCounts);
      } else {
        proto::PutLE<float>(q, temperature);
      }
      s.HasTemperature = true;
    } else {
      proto::PutLE<std::uint32_t>(q, 0);
    }
    p += 4;
  }
  s.BadCrc = SendReply(p);
  ++Stats_.Replies;
  if (OnSample) OnSample(s);
}

// -------------------------------------------------------------- trigger ---

void TDeviceModel::StartStreaming(double now) {
  Streaming_ = true;
  StreamStart_ = now;
  StreamIndex_ = 0;
}

double TDeviceModel::FrameRate() const {
  const double f = Config_.FreqImpulse;
  if (std::isnan(f) || f <= 0) return 0;
  return std::min(f, MaxFrameRate);
}

std::string TDeviceModel::FrameRateNotice() const {
  if (!Config_.TriggerMode || !(Config_.FreqImpulse > MaxFrameRate)) return "";
  char text[200];
  std::snprintf(text, sizeof text,
                "the virtual gyroscope streams at most %.0f frames/s; impulse frequency %g Hz is "
                "more than it can send in real time",
                MaxFrameRate, Config_.FreqImpulse);
  return text;
}

std::size_t TDeviceModel::AdvanceTo(double now) {
  if (!Streaming_) return 0;
  const double f = FrameRate();
  if (!(f > 0)) return 0;
  const std::size_t before = Pending();
  for (;;) {
    // Times from the frame index, so that no rounding piles up.
    const double t = StreamStart_ + static_cast<double>(StreamIndex_ + 1) / f;
    if (!(t <= now)) break;
    ++StreamIndex_;
    if (Config_.Silent) {
      ++FrameCounter_;  // the device runs on, the line stays quiet
      continue;
    }
    EmitTriggerFrame(t);
  }
  return Pending() - before;
}

// 0xC0 0xC0, payload, CRC of the payload; no escaping. A payload byte of
// 0xC0 goes out as it is, as the real device sends it.
void TDeviceModel::EmitTriggerFrame(double t) {
  const TDeviceConfig& c = Config_;
  t = SampleClock(t, true, false);
  float rate, temperature;
  NextSignal(t, PeriodOf(FrameRate()), rate, temperature);

  TDeviceSample s;
  s.Kind = TDeviceSample::TKind::Trigger;
  FillSample(s, t, rate, temperature);
  s.Frame = FrameCounter_;

  std::uint8_t frame[2 + 12 + 2];
  frame[0] = proto::FrameEnd;
  frame[1] = proto::FrameEnd;
  std::size_t p = 2;
  proto::PutLE<float>(&frame[p], rate);
  p += 4;
  if (c.TrigMask[0]) {
    const double tenths =
        std::clamp(std::round(static_cast<double>(temperature) * 10.0), -32768.0, 32767.0);
    s.TempCounts = std::isnan(tenths) ? 0 : static_cast<std::int32_t>(tenths);
    s.Temperature = static_cast<float>(s.TempCounts * 0.1);
    s.HasTemperature = true;
    proto::PutLE<std::int16_t>(&frame[p], static_cast<std::int16_t>(s.TempCounts));
    p += 2;
  } else {
    s.Temperature = 0;
  }
  if (c.TrigMask[1]) {
    proto::PutLE<std::uint16_t>(&frame[p], FrameCounter_);
    p += 2;
  }
  if (c.TrigMask[2]) {
    proto::PutLE<std::uint32_t>(&frame[p], s.TimeCounts);
    s.HasTime = true;
    p += 4;
  }
  ++FrameCounter_;

  s.BadCrc = BeforeFrame();
  std::uint16_t crc = proto::Crc16(&frame[2], p - 2);
  if (s.BadCrc) crc = static_cast<std::uint16_t>(crc ^ 0xFFFF);
  frame[p++] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[p++] = static_cast<std::uint8_t>(crc >> 8);
  Append(frame, p);
  ++Stats_.TriggerFrames;
  if (OnSample) OnSample(s);
}

// ------------------------------------------------------------- settings ---

TDeviceConfig TDeviceModel::ConfigFor(const TOptionProgramm& settings) {
  TDeviceConfig c;
  c.Address = settings.Address;
  c.ReplyCode = settings.SenderCode;
  c.AdTime = settings.AdTime;
  c.AdSig = settings.AdSig;
  c.AdTemp = settings.AdTemp;
  c.Command = settings.Command;
  c.TimeType = settings.TimeSource == TimeHardFloat ? TDeviceTimeType::Float
                                                    : TDeviceTimeType::Ulong;
  c.TimeScale = settings.TimeScale;
  c.TempType = settings.TempType == TempLong ? TDeviceTempType::Long : TDeviceTempType::Float;
  c.TempScale = settings.TempScale;
  c.TriggerMode = settings.Mode == ModeTrigger;
  c.TrigMask = settings.TrigMask;
  c.FreqImpulse = settings.SafeFreqImpulse();
  c.SampleRate = settings.SafeSample();
  c.EarthRate = settings.EarthRate;
  return c;
}

// ---------------------------------------------------------- temperature ---

void DeviceTemperature(const TDeviceConfig& c, double t, double& temperature, double& perMinute) {
  using P = TDeviceConfig::TTempProgramme;
  const double span = c.TempTo - c.TempFrom;
  const double leg = c.TempSlope > 0 ? std::fabs(span) / c.TempSlope * 60.0 : 0.0;  // s
  const double sign = span < 0 ? -1.0 : 1.0;
  if (c.TempProgramme == P::Drift || !(leg > 0)) {
    temperature = c.TempProgramme == P::Drift ? c.TempStart + c.TempDrift * t / 3600.0 : c.TempFrom;
    perMinute = c.TempProgramme == P::Drift ? c.TempDrift / 60.0 : 0.0;
    return;
  }
  if (t < 0) t = 0;
  if (c.TempProgramme == P::Ramp) {
    const bool done = t >= leg;
    temperature = done ? c.TempTo : c.TempFrom + sign * c.TempSlope * t / 60.0;
    perMinute = done ? 0.0 : sign * c.TempSlope;
    return;
  }
  const double phase = std::fmod(t, 2 * leg);
  const bool up = phase < leg;
  temperature = up ? c.TempFrom + sign * c.TempSlope * phase / 60.0
                   : c.TempTo - sign * c.TempSlope * (phase - leg) / 60.0;
  perMinute = (up ? sign : -sign) * c.TempSlope;
}

std::vector<TMarker> ChamberSteps(const TDeviceConfig& c, double from, double to) {
  using P = TDeviceConfig::TTempProgramme;
  const double leg = c.TempSlope > 0 ? std::fabs(c.TempTo - c.TempFrom) / c.TempSlope * 60.0 : 0.0;  // s
  std::vector<TMarker> steps;
  if (c.TempProgramme == P::Drift || !(leg > 0) || !(to >= from)) return steps;
  const auto add = [&](double time, const char* what, double temperature) {
    char note[64];
    std::snprintf(note, sizeof note, "chamber %s %.1f \u00B0C", what, temperature);
    if (from <= time && time <= to) steps.push_back({time, note});
  };
  if (c.TempProgramme == P::Ramp) {
    add(0, "to", c.TempTo);
    add(leg, "holds", c.TempTo);
    return steps;
  }
  // The legs from the one under way at `from` (a few thousand a week at
  // most at any slope a chamber runs).
  for (double k = std::max(0.0, std::floor(from / leg)); k * leg <= to && steps.size() < 100000; ++k)
    add(k * leg, "to", std::fmod(k, 2) == 0 ? c.TempTo : c.TempFrom);
  return steps;
}

bool ParseTempProfile(const std::string& text, TDeviceConfig& c, std::string& error) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(':', from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  error = "a temperature profile is ramp:FROM:TO:RATE or cycle:FROM:TO:RATE (deg C, deg C, "
          "deg C/min), optionally followed by :B1:B2:C";
  if ((parts.size() != 4 && parts.size() != 7) || (parts[0] != "ramp" && parts[0] != "cycle"))
    return false;
  double v[6] = {0, 0, 0, 0, 0, 0};
  for (std::size_t i = 1; i < parts.size(); ++i) {
    char* end = nullptr;
    v[i - 1] = std::strtod(parts[i].c_str(), &end);
    if (parts[i].empty() || *end != 0 || !std::isfinite(v[i - 1])) return false;
  }
  if (!(v[2] > 0)) {
    error = "the temperature profile's rate must be a positive number of deg C/min";
    return false;
  }
  c.TempProgramme = parts[0] == "ramp" ? TDeviceConfig::TTempProgramme::Ramp
                                       : TDeviceConfig::TTempProgramme::Cycle;
  c.TempFrom = v[0];
  c.TempTo = v[1];
  c.TempSlope = v[2];
  if (parts.size() == 7) {
    c.TempB1 = v[3];
    c.TempB2 = v[4];
    c.TempRateCoefficient = v[5];
  }
  error.clear();
  return true;
}
