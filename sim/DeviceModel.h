// The gyroscope's side of the serial protocol: a static single-axis FOG that
// answers identification, data and OneCommand requests, or streams trigger
// frames, with a seeded noise model and faults on demand.
//
// The model knows nothing about ports: bytes from the program go in through
// Feed(), the device's bytes collect in an output buffer that the caller
// drains with Take(). The caller's clock drives the device clock, so the
// same seed and the same calls give the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <random>
#include <string_view>
#include <vector>

#include "acquisition/Protocol.h"
#include "files/Markers.h"

class TOptionProgramm;
struct TRateTable;

// Field types of the data reply.
enum class TDeviceTimeType : std::uint8_t { Float, Ulong };
enum class TDeviceTempType : std::uint8_t { Float, Long };

struct TDeviceConfig {
  // --- protocol ---
  std::uint8_t Address = 100;    // requests to other addresses are ignored
  std::uint8_t ReplyCode = 0x63; // byte 1 of every reply body
  std::uint8_t AdTime = 24;
  std::uint8_t AdSig = 0;
  std::uint8_t AdTemp = 3;
  std::uint8_t Command = 10;     // opcode answered with the rate alone
  TDeviceTimeType TimeType = TDeviceTimeType::Ulong;
  double TimeScale = 8.6805555e-06;  // s per ULONG count (115200 counts/s)
  TDeviceTempType TempType = TDeviceTempType::Float;
  double TempScale = static_cast<double>(0.1f);  // deg C per LONG count
  // Stream trigger frames once an identification request has been answered.
  bool TriggerMode = false;
  std::array<bool, 3> TrigMask{};  // Temperature, Count frame, Time
  double FreqImpulse = 100.0;      // trigger frames per second
  std::uint16_t FrameCounterStart = 0;
  std::array<char, proto::IdentLength> Ident{};  // zero-padded

  // --- signal (rates in deg/h, the unit of data sheets) ---
  double Bias = 2.0;              // constant bias, deg/h
  double EarthRate = 11.78;       // vertical Earth-rate component, deg/h
  double Arw = 0.01;              // angle random walk, deg/sqrt(h)
  // Bias instability, deg/h: the Allan deviation at its floor. Modelled as a
  // first-order Gauss-Markov process whose Allan deviation peaks at this
  // value (0.6174 x its own std dev) at about 1.89 x CorrelationTime.
  double BiasInstability = 0.05;
  double CorrelationTime = 100.0; // s
  // Rate random walk K, deg/h/sqrt(h): the rate wanders by K sqrt(t / 1 h).
  double RateRandomWalk = 0.0;
  // Rate ramp R, deg/h^2 (a warming gyroscope's bias creeps).
  double RateRamp = 0.0;
  // Angle quantum, arc-seconds (0: none): the angle the device reads out
  // carries a quantization error uniform over one quantum, independent
  // from sample to sample (a dithered read-out); the rate is the increment
  // of that angle over the sample period. Quantization noise Q = quantum /
  // sqrt(12).
  double AngleQuantum = 0.0;
  double TempStart = 25.0;        // deg C at time 0
  double TempDrift = 0.5;         // deg C per hour
  double TempCoefficient = 0.0;   // deg/h of bias per deg C away from TempStart
  // Temperature programme of a climatic chamber, in place of TempStart +
  // TempDrift: a ramp from TempFrom to TempTo at TempSlope deg C/min (then
  // holding TempTo), or a cycle TempFrom -> TempTo -> TempFrom repeated.
  enum class TTempProgramme : std::uint8_t { Drift, Ramp, Cycle };
  TTempProgramme TempProgramme = TTempProgramme::Drift;
  double TempFrom = 25.0, TempTo = 25.0, TempSlope = 1.0;
  // Thermal bias, deg/h: TempB1 T + TempB2 T^2 + TempRateCoefficient dT/dt
  // (T in deg C, dT/dt in deg C/min).
  double TempB1 = 0.0, TempB2 = 0.0, TempRateCoefficient = 0.0;
  // A rate table the gyroscope turns on (sim/RateTable.h; none: at rest);
  // its rate, read through the table's scale-factor model, adds to the rate.
  std::shared_ptr<const TRateTable> RateTable;
  double SampleRate = 10.0;       // Hz: nominal rate of polled samples
  std::uint64_t Seed = 1;

  // --- device clock ---
  double ClockOffset = 0.0;       // device clock at caller time 0, s
  double ClockWrapSeconds = 0.0;  // > 0: the clock wraps to 0 with this period

  // --- faults ---
  bool Silent = false;            // answers and streams nothing
  std::int32_t ErrorReplies = 0;  // answer this many coming requests with status 3
                                  // (counts down as they are answered)
  bool ErrorAlways = false;       // answer every request with status 3
  std::int32_t BadCrcEvery = 0;   // every k-th frame sent carries a wrong CRC
  std::int32_t OverlongEvery = 0; // an over-long frame before every k-th frame
  std::int32_t OverlongLength = 300;  // bytes between its delimiters
  std::int32_t GarbageEvery = 0;  // garbage before every k-th frame
  std::int32_t GarbageLength = 7; // garbage bytes (never 0xC0)

  TDeviceConfig() { SetIdent("VRDT40-123.456-00042"); }
  // Copies up to 25 bytes of text, zero-padding the rest.
  void SetIdent(std::string_view text);
};

// The device's temperature (deg C) and its rate of change (deg C/min) at
// time t (s) of its clock.
void DeviceTemperature(const TDeviceConfig& c, double t, double& temperature, double& perMinute);
// The steps of the chamber's programme at times (s of the device's clock)
// in [from, to], as markers of a recording: "chamber to T \u00B0C" where a
// ramp or leg of the cycle starts, "chamber holds T \u00B0C" where a ramp
// ends. None for a drift or a programme without legs.
std::vector<TMarker> ChamberSteps(const TDeviceConfig& c, double from, double to);
// A temperature programme "ramp:FROM:TO:RATE" or "cycle:FROM:TO:RATE"
// (deg C, deg C, deg C/min), optionally followed by ":B1:B2:C", the thermal
// coefficients. False with `error` set when the text is not one.
bool ParseTempProfile(const std::string& text, TDeviceConfig& c, std::string& error);

// What the device put on the wire for one sample, decoded as the program
// should decode it.
struct TDeviceSample {
  enum class TKind : std::uint8_t { Data, OneCommand, Trigger };
  TKind Kind = TKind::Data;
  double Now = 0;            // caller's clock when the frame was produced
  double DeviceTime = 0;     // device clock, s, after any wrap
  std::uint32_t TimeCounts = 0;  // the ULONG time counter
  float Time = 0;            // time field value: f32 seconds or counts x TimeScale
  float Rate = 0;            // deg/s, as sent
  float Temperature = 0;     // deg C as the program decodes the field (0 for
                             // a trigger frame without it)
  std::int32_t TempCounts = 0;   // LONG counts (data) or 0.1 deg C units (trigger)
  std::uint16_t Frame = 0;   // trigger frame counter
  bool HasTime = false;      // the frame carried a time field
  bool HasTemperature = false;
  bool BadCrc = false;       // the frame was sent with a wrong CRC
};

struct TDeviceStats {
  std::uint64_t Requests = 0;         // well-formed requests to this address
  std::uint64_t BadRequests = 0;      // CRC, escape, length faults
  std::uint64_t OtherAddress = 0;     // well-formed requests to another address
  std::uint64_t Replies = 0;          // status 2 replies
  std::uint64_t ErrorReplies = 0;     // status 3 replies
  std::uint64_t TriggerFrames = 0;
  std::uint64_t BadCrcFrames = 0;
  std::uint64_t OverlongFrames = 0;
  std::uint64_t GarbageRuns = 0;
};

class TDeviceModel {
 public:
  // Longest request payload (with its CRC) the device accepts.
  static constexpr std::size_t MaxRequest = 256;
  static constexpr std::size_t MaxFields = MaxRequest / 2;
  static constexpr std::size_t MaxBody = 3 + 4 * MaxFields + 2;
  // The most trigger frames a second the device streams, whatever impulse
  // frequency it is set to: more cannot be produced and carried in real
  // time (a 16-byte frame at this rate is 320 kB/s).
  static constexpr double MaxFrameRate = 20000.0;
  // Replies go out at the identification and polling speed.
  static constexpr double ReplyBitsPerSecond = 115200.0;

  explicit TDeviceModel(const TDeviceConfig& config = TDeviceConfig{});

  // Back to the state after construction with the current configuration:
  // generators reseeded, stream stopped, receiver, output, frame counter and
  // statistics cleared. The configuration itself is kept.
  void Reset();

  // Takes bytes sent by the program at caller time now (s). Trigger frames
  // due by then go out first, then the replies to every request completed
  // by these bytes. Returns the number of bytes added to the output.
  // Requests may arrive in pieces; a 0xC0 both ends and opens a frame.
  // Requests with a wrong CRC, a bad escape, fewer than 5 bytes or more
  // than MaxRequest bytes are dropped; other addresses are ignored.
  // Replies: identification (status 2, 25 text bytes); data (one 4-byte
  // value per field address in request order, an unknown address reads 0);
  // the command opcode without field bytes (the rate alone); any other
  // opcode gets status 3.
  std::size_t Feed(const std::uint8_t* bytes, std::size_t n, double now);
  // Produces the trigger frames due by now. Returns the bytes added.
  std::size_t AdvanceTo(double now);

  // Trigger streaming: the first frame is due one impulse period after now,
  // frame k at now + k / FreqImpulse. The frame counter runs on from where
  // it stood (FrameCounterStart after construction or Reset). A device in
  // TriggerMode starts by itself when it answers an identification request.
  void StartStreaming(double now);
  // Trigger frames per second actually streamed: FreqImpulse, at most
  // MaxFrameRate.
  double FrameRate() const;
  // Says so when FreqImpulse is more than the device streams; empty else.
  std::string FrameRateNotice() const;
  void StopStreaming() { Streaming_ = false; }
  bool Streaming() const { return Streaming_; }

  // Replaces the signal by constants (no noise) until ClearFixedSignal.
  void SetFixedSignal(float rateDegPerSec, float temperature);
  void ClearFixedSignal() { Fixed_ = false; }
  // Answers the next n requests with status 3.
  void FailNext(std::int32_t n) { Config_.ErrorReplies = n; }

  std::size_t Pending() const { return Out_.size() - OutHead_; }
  // Appends every pending byte to out.
  void Take(std::vector<std::uint8_t>& out);
  // Moves up to cap pending bytes to dst; returns how many.
  std::size_t Take(std::uint8_t* dst, std::size_t cap);

  TDeviceConfig& Config() { return Config_; }
  const TDeviceConfig& Config() const { return Config_; }
  const TDeviceStats& Stats() const { return Stats_; }

  // Device clock at caller time now: seconds (after any wrap) and the
  // ULONG counter.
  double DeviceSeconds(double now) const;
  std::uint32_t TimeCounts(double now) const;

  // Called for every sample put on the wire (the "truth" of a run).
  std::function<void(const TDeviceSample&)> OnSample;

  // A device that speaks the protocol the given settings expect: address,
  // field addresses, command, time and temperature types and scales,
  // trigger mode, mask and frequency, poll rate and Earth rate.
  static TDeviceConfig ConfigFor(const TOptionProgramm& settings);

 private:
  void HandleRequest(double now);
  void ReplyIdent();
  void ReplyData(double now);
  void ReplyOneCommand(double now);
  void ReplyError();
  void EmitTriggerFrame(double frameTime);
  // Adds the CRC (wrong when a fault is due) and sends body as a framed,
  // escaped reply. Returns true when the CRC was made wrong.
  bool SendReply(std::size_t n);
  // Faults that precede a frame; returns true when this frame's CRC must be
  // wrong.
  bool BeforeFrame();
  void Append(const std::uint8_t* p, std::size_t n);
  void NextSignal(double now, double dt, float& rate, float& temperature);
  double Normal();
  void FillSample(TDeviceSample& s, double now, float rate, float temperature) const;
  // The caller time of a new sample: `now`, moved on just enough that its
  // time field is later than the previous sample's (two requests read at
  // the same moment still get two clock readings).
  // afterLastReply: a polled reply, measured no earlier than the previous
  // reply took to go out (trigger frames keep their own schedule).
  double SampleClock(double now, bool counts, bool afterLastReply);
  // The time field as an unwrapped, monotonic number: counts or f32 seconds.
  double ClockReading(double now, bool counts) const;

  TDeviceConfig Config_;
  TDeviceStats Stats_;

  // request receiver
  std::array<std::uint8_t, MaxRequest> Req_{};
  std::size_t ReqLength_ = 0;
  bool InFrame_ = false;
  bool Escaped_ = false;
  bool ReqBad_ = false;

  std::array<std::uint8_t, MaxBody> Body_{};
  std::array<std::uint8_t, 2 * MaxBody + 2> EscBuf_{};
  std::vector<std::uint8_t> Out_;
  std::size_t OutHead_ = 0;

  // signal state
  std::mt19937_64 Rng_;
  std::mt19937_64 FaultRng_;
  bool HaveSpare_ = false;
  double Spare_ = 0;
  double Instability_ = 0;  // deg/h, Gauss-Markov state
  std::mt19937_64 WalkRng_;  // the rate random walk's own draws
  double Walk_ = 0;          // deg/h
  std::mt19937_64 QuantRng_;  // the quantization error's own draws
  double QuantError_ = 0;     // arcsec, the error of the last read-out
  bool Fixed_ = false;
  float FixedRate_ = 0;
  float FixedTemperature_ = 0;

  // stream state
  bool Streaming_ = false;
  double StreamStart_ = 0;
  std::uint64_t StreamIndex_ = 0;  // frames sent since StreamStart_
  std::uint16_t FrameCounter_ = 0;

  std::uint64_t FramesSent_ = 0;   // replies and trigger frames, for the faults

  // clock of the last sample
  bool HaveLastSample_ = false;
  double LastSampleNow_ = 0;
  double LastReading_ = 0;
  double LastReplyLineTime_ = 0;  // s the last reply took on the line
};
