#include "acquisition/Paket.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstring>
#include <system_error>

#include "files/OleDate.h"

static_assert(std::endian::native == std::endian::little,
              "records and header fields are written in host order");
static_assert(sizeof(SamplePoint) == rtd::RecordSize);

namespace {

using proto::GetLE;
using proto::PutLE;

// Display intervals for Resolution 2000, 4000 and 6000: 0.1, 0.04 and 0.02 s
// as single-precision constants.
constexpr double IntervalLow = static_cast<double>(0.1f);
constexpr double IntervalMiddle = static_cast<double>(0.04f);
constexpr double IntervalHigh = static_cast<double>(0.02f);

// A backward step of the hardware time larger than this is taken as a
// restart of the device's clock.
constexpr double TimeWrap = 5.0;

// Writes all n bytes at offset off. False with the OS error in err.
bool WriteAt(int fd, const void* data, std::size_t n, off_t off, int& err) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, off);
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (w == 0) {
      err = ENOSPC;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    off += w;
  }
  return true;
}

// Tables of the CRC: T0 advances the register by one byte, T1 by one more
// byte of zeros, so that two bytes take two independent look-ups.
struct CrcTables {
  std::array<std::uint16_t, 256> T0{};
  std::array<std::uint16_t, 256> T1{};
};

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (int i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    t.T0[static_cast<std::size_t>(i)] = crc;
  }
  for (int i = 0; i < 256; ++i) {
    const std::uint16_t v = t.T0[static_cast<std::size_t>(i)];
    t.T1[static_cast<std::size_t>(i)] =
        static_cast<std::uint16_t>(((v & 0xFF) << 8) ^ t.T0[static_cast<std::size_t>(v >> 8)]);
  }
  return t;
}
constexpr CrcTables Crc = MakeCrcTables();

void PutText(std::uint8_t* field, std::size_t width, const char* text) {
  std::memset(field, 0, width);
  const std::size_t n = ::strnlen(text, width - 1);
  std::memcpy(field, text, n);
}

}  // namespace

std::uint16_t TPaket::Crc16(const std::uint8_t* data, std::size_t n) noexcept {
  std::uint16_t crc = 0xFFFF;
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const std::uint16_t x = static_cast<std::uint16_t>(crc ^ ((data[i] << 8) | data[i + 1]));
    crc = static_cast<std::uint16_t>(Crc.T1[x >> 8] ^ Crc.T0[x & 0xFF]);
  }
  if (i < n) crc = static_cast<std::uint16_t>((crc << 8) ^ Crc.T0[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

TPaket::TPaket() : Clock(&OleDateNow) {
  TriggerLength = 4;
  DisplayInterval = IntervalMiddle;
}

TPaket::~TPaket() {
  // The owner may already be gone: nothing is reported from here.
  Listener = nullptr;
  CloseRecording();
}

void TPaket::SetHostNames(const std::string& computer, const std::string& user) {
  HostComputer.fill(0);
  HostUser.fill(0);
  std::memcpy(HostComputer.data(), computer.data(),
              std::min(computer.size(), HostComputer.size() - 1));
  std::memcpy(HostUser.data(), user.data(), std::min(user.size(), HostUser.size() - 1));
  PutHostNames();
}

void TPaket::PutHostNames() {
  PutText(Header.data() + rtd::CompNameOffset, rtd::CompNameWidth, HostComputer.data());
  PutText(Header.data() + rtd::UserNameOffset, rtd::UserNameWidth, HostUser.data());
}

void TPaket::PrepareHeader() {
  Header.fill(0);
  PutText(Header.data() + rtd::IdentOffset, rtd::IdentWidth, proto::DefaultIdent);
  PutLE<std::uint32_t>(Header.data() + rtd::VersionOffset, rtd::VersionMarker);
  PutHostNames();
  PutLE<float>(Header.data() + rtd::SampleOffset, static_cast<float>(Sample));
}

std::string TPaket::HeaderIdent() const {
  const char* text = reinterpret_cast<const char*>(Header.data() + rtd::IdentOffset);
  return std::string(text, ::strnlen(text, rtd::IdentUsed));
}

// What a run and the end of identification both start from: an empty
// block, the clocks at zero, no samples, an empty receiver.
void TPaket::ClearClocks() {
  BlockCount = 0;
  SoftTime = 0;
  TimeOffset = 0;
  ErrorReplies = 0;
  ChunkLength = 0;
  AccumLength = 0;
  Current = SamplePoint{};
  Decoded = SamplePoint{};
  Previous = SamplePoint{};
  PreviousFrameTime = 0;
}

void TPaket::Reset() {
  // Records still waiting in Block belong to the run that ends here.
  CloseRecording();

  RecordName.clear();
  RecordEnabled = false;
  HeaderWritten = false;
  Identified = false;
  RecordFailed = false;
  FileOffset = 0;

  ClearClocks();
  FrameFrequency = 0;
  Block.fill(SamplePoint{});
  Snapshot = DisplayRecord{};
  DisplayReady = false;
  RepliesReceived = 0;
  CrcErrors = 0;
  SamplesAccepted = 0;

  TriggerLength = 4 + (TrigMask[TrigTemperature] ? 2 : 0) + (TrigMask[TrigCountFrame] ? 2 : 0) +
                  (TrigMask[TrigTime] ? 4 : 0);
  PollStep = 1.0 / SafeSample();
  TriggerStep = 1.0 / SafeFreqImpulse();
  LastShownTime = 0;
  switch (Resolution) {
    case 2000: DisplayInterval = IntervalLow; break;
    case 4000: DisplayInterval = IntervalMiddle; break;
    case 6000: DisplayInterval = IntervalHigh; break;
    default: break;  // keeps the interval in force
  }

  AverageEngine.Reset();
  AverageEngine.Assign(*this);

  PrepareHeader();
}

// ---------------------------------------------------------------------------
// Requests

void TPaket::BuildFrame(const std::uint8_t* payload, std::size_t n) {
  RequestLength = 0;
  RequestPayloadLength = 0;
  if (n + 2 > RequestPayload.size() || (payload == nullptr && n > 0)) return;
  std::uint8_t body[RequestSize];
  if (n > 0) std::memcpy(body, payload, n);
  const std::uint16_t crc = Crc16(payload, n);
  body[n] = static_cast<std::uint8_t>(crc & 0xFF);
  body[n + 1] = static_cast<std::uint8_t>(crc >> 8);
  const std::size_t len = proto::EscapeFrame(body, n + 2, Request.data(), BufferSize);
  if (len == 0) return;
  if (n > 0) std::memcpy(RequestPayload.data(), payload, n);
  RequestPayloadLength = static_cast<std::int32_t>(n);
  RequestLength = static_cast<std::int32_t>(len);
  std::memcpy(SendBuffer.data(), Request.data(), len);
}

void TPaket::BuildIdentRequest() {
  const std::uint8_t payload[3] = {Address, SenderCode, proto::OP_IDENT};
  BuildFrame(payload, sizeof payload);
}

void TPaket::BuildDataRequest() {
  std::uint8_t payload[9];
  std::size_t n = 0;
  payload[n++] = Address;
  payload[n++] = SenderCode;
  payload[n++] = proto::OP_READ;
  if (Mode == ModeOneCommand) {
    payload[2] = Command;
  } else {
    if (TimeSource == TimeHardFloat || TimeSource == TimeHardUlong) {
      payload[n++] = AdTime;
      payload[n++] = 0;
    }
    payload[n++] = AdSig;
    payload[n++] = 0;
    payload[n++] = AdTemp;
    payload[n++] = 0;
  }
  BuildFrame(payload, n);
}

// ---------------------------------------------------------------------------
// Receivers

void TPaket::Receive(const std::uint8_t* bytes, std::size_t n) {
  if (bytes == nullptr) return;
  while (n > 0) {
    const std::size_t k = std::min<std::size_t>(n, ChunkSize);
    ReceiveChunk(bytes, static_cast<int>(k));
    bytes += k;
    n -= k;
  }
}

void TPaket::ReceiveChunk(const std::uint8_t* bytes, int n) {
  std::memcpy(Chunk.data(), bytes, static_cast<std::size_t>(n));
  ChunkLength = n;
  // The bound is taken once: identification clears ChunkLength while the
  // chunk is being read.
  const int count = ChunkLength;
  if (!Identified) {
    const int used = ParseStream(0, count);
    if (!Identified) return;
    // A device in Trigger mode streams right after its answer: the rest of
    // this chunk holds its first frames, for the trigger receiver, which
    // starts from an empty accumulator.
    if (Mode == ModeTrigger && used < count) {
      AccumLength = 0;
      ParseTriggerStream(used, count);
    }
  } else if (Mode == ModeTrigger) {
    ParseTriggerStream(0, count);
  } else {
    ParseStream(0, count);
  }
  CheckDisplayPace();
}

// Framed replies from Chunk[from] to Chunk[count - 1]. In Trigger mode the
// loop ends right after the reply that ends identification; returns the
// index of the first byte not taken.
int TPaket::ParseStream(int from, int count) {
  const std::uint8_t* in = Chunk.data();
  std::int32_t len = AccumLength;
  for (int i = from; i < count; ++i) {
    const std::uint8_t c = in[i];
    if (c == proto::FrameEnd) {
      if (len == 0) {
        Accum[0] = c;
        len = 1;
      } else if (len == 1) {
        // repeated delimiter: the frame stays at its start
      } else if (len < BufferSize) {
        Accum[static_cast<std::size_t>(len++)] = c;
        AccumLength = len;
        if (!Identified) {
          if (CheckFrame()) HandleReply();
          if (Identified && Mode == ModeTrigger) {
            AccumLength = 0;
            return i + 1;
          }
        } else if (Mode == ModeOneCommand) {
          if (CheckFrame()) HandleOneCommandReply();
        } else if (Mode != ModeTrigger) {
          if (CheckFrame()) HandleReply();
        }
        len = 0;
      } else {
        len = 0;  // too long, dropped
      }
    } else if (len == 0) {
      // outside a frame
    } else if (len < BufferSize) {
      Accum[static_cast<std::size_t>(len++)] = c;
    } else {
      len = 0;  // too long, dropped
    }
  }
  AccumLength = len;
  return count;
}

void TPaket::ParseTriggerStream(int from, int count) {
  const std::int32_t last = TriggerLength + 3;  // index of the last CRC byte
  const std::uint8_t* in = Chunk.data();
  std::int32_t len = AccumLength;
  for (int i = from; i < count; ++i) {
    const std::uint8_t c = in[i];
    if (len < 2) {
      // The two sync bytes; anything else before or between them is skipped.
      if (c == proto::FrameEnd) Accum[static_cast<std::size_t>(len++)] = c;
    } else if (c == proto::FrameEnd && len == 2) {
      // further delimiters after the sync pair
    } else if (len >= BufferSize) {
      len = 0;
    } else if (len > last) {
      Accum[static_cast<std::size_t>(len++)] = c;  // only after TriggerLength was changed
    } else {
      // Payload and CRC bytes are taken as they come, 0xC0 included: copy
      // up to the end of the frame at once.
      const int need = last + 1 - len;
      const int take = std::min(need, count - i);
      std::memcpy(Accum.data() + len, in + i, static_cast<std::size_t>(take));
      len += take;
      i += take - 1;
      if (take == need) {
        AccumLength = len;
        if (CheckTriggerFrame()) HandleTriggerFrame();
        len = 0;
      }
    }
  }
  AccumLength = len;
}

bool TPaket::CheckFrame() {
  // Unescape between the delimiters.
  const int end = AccumLength - 1;
  int m = 0;
  for (int i = 1; i < end; ++i) {
    std::uint8_t b = Accum[static_cast<std::size_t>(i)];
    if (b == proto::FrameEsc && i + 1 < end) {
      const std::uint8_t e = Accum[static_cast<std::size_t>(++i)];
      b = e == proto::FrameEscEnd ? proto::FrameEnd : e == proto::FrameEscEsc ? proto::FrameEsc : e;
    }
    FrameBuffer[static_cast<std::size_t>(m++)] = b;
  }
  if (m < 5) {
    FrameLength = 0;
    ++CrcErrors;
    return false;
  }
  FrameLength = m - 2;
  const std::uint16_t stored = GetLE<std::uint16_t>(FrameBuffer.data() + FrameLength);
  if (stored != Crc16(FrameBuffer.data(), static_cast<std::size_t>(FrameLength))) {
    ++CrcErrors;
    return false;
  }
  ++RepliesReceived;
  return true;
}

bool TPaket::CheckTriggerFrame() {
  const int len = AccumLength;
  if (len < 4) {
    FrameLength = 0;
    ++CrcErrors;
    return false;
  }
  std::memcpy(FrameBuffer.data(), Accum.data(), static_cast<std::size_t>(len));
  FrameLength = len - 2;
  const std::uint16_t stored = GetLE<std::uint16_t>(FrameBuffer.data() + FrameLength);
  if (stored != Crc16(FrameBuffer.data() + 2, static_cast<std::size_t>(len - 4))) {
    ++CrcErrors;
    return false;
  }
  ++RepliesReceived;
  return true;
}

// ---------------------------------------------------------------------------
// Handlers

void TPaket::HandleReply() {
  const std::uint8_t* b = FrameBuffer.data();
  const std::uint8_t status = b[2];
  const std::uint8_t opcode = RequestPayloadLength >= 3 ? RequestPayload[2] : 0;

  if (status == proto::STATUS_OK && opcode == proto::OP_READ && RequestPayloadLength >= 3) {
    // One 4-byte value per requested address, in request order, and nothing
    // else: a reply of another length answers another request (a late
    // identification reply after the data request was built) and is
    // dropped like a frame with a wrong CRC.
    const int fields = (RequestPayloadLength - 3) / 2;
    if (FrameLength != 3 + 4 * fields) return;
    int p = 3;
    for (int i = 3; i < RequestPayloadLength; i += 2) {
      const std::uint8_t a = RequestPayload[static_cast<std::size_t>(i)];
      float* field;
      float value;
      if (a != AdTime && a != AdSig && a != AdTemp) continue;
      if (a == AdTime) {
        field = &Decoded.Time;
        value = TimeSource == TimeHardFloat
                    ? GetLE<float>(b + p)
                    : static_cast<float>(static_cast<double>(GetLE<std::uint32_t>(b + p)) *
                                         TimeScale);
      } else if (a == AdSig) {
        field = &Decoded.Rate;
        value = GetLE<float>(b + p);
      } else {
        field = &Decoded.Temperature;
        value = TempType == TempLong
                    ? static_cast<float>(static_cast<double>(GetLE<std::int32_t>(b + p)) *
                                         TempScale)
                    : GetLE<float>(b + p);
      }
      p += 4;
      *field = value;
      if (std::isnan(value)) return;
    }
    ReconstructTime();
    AcceptSample();
    return;
  }

  if (status == proto::STATUS_OK && opcode == proto::OP_IDENT && !Identified) {
    ClearClocks();
    // A short reply leaves the rest of the text zero.
    std::uint8_t* ident = Header.data() + rtd::IdentOffset;
    std::memset(ident, 0, rtd::IdentWidth);
    const int avail = std::clamp(FrameLength - 3, 0, static_cast<int>(rtd::IdentUsed));
    std::memcpy(ident, b + 3, static_cast<std::size_t>(avail));
    Identified = true;
    if (Listener) {
      Listener->IdentificationText(HeaderIdent());
      Listener->DeviceIdentified();
    }
    return;
  }

  if (status == proto::STATUS_ERROR) {
    if (!Identified && ErrorReplies >= 10) {
      ErrorReplies = 0;
      Identified = true;
      if (Listener) {
        Listener->IdentificationText(HeaderIdent());
        Listener->DeviceIdentified();
      }
    }
    ++ErrorReplies;
  }
}

void TPaket::HandleOneCommandReply() {
  const std::uint8_t* b = FrameBuffer.data();
  if (b[2] != proto::STATUS_OK || RequestPayloadLength < 3 || RequestPayload[2] != Command) return;
  // The rate alone: any other length answers another request.
  if (FrameLength != 7) return;
  Decoded.Rate = GetLE<float>(b + 3);
  ReconstructTime();
  AcceptSample();
}

void TPaket::HandleTriggerFrame() {
  const std::uint8_t* f = FrameBuffer.data();
  SoftTime += TriggerStep;
  Decoded.Time = static_cast<float>(SoftTime);
  Decoded.Rate = GetLE<float>(f + 2);
  int p = 6;
  if (TrigMask[TrigTemperature] && p + 2 <= FrameLength) {
    Decoded.Temperature = static_cast<float>(GetLE<std::int16_t>(f + p) * 0.1);
    p += 2;
  } else {
    Decoded.Temperature = 0;
  }
  if (TrigMask[TrigCountFrame] && p + 2 <= FrameLength) {
    Snapshot.frame = GetLE<std::uint16_t>(f + p);
    p += 2;
  } else {
    Snapshot.frame = 0;
  }
  if (TrigMask[TrigTime] && p + 4 <= FrameLength) {
    const double t = static_cast<double>(GetLE<std::uint32_t>(f + p)) * TimeScale;
    const double prev = PreviousFrameTime;
    // Equal times (or a restart exactly at 0) keep the last frequency.
    double period;
    if (prev - t > TimeWrap) {
      TimeOffset += prev;
      period = t;
    } else {
      period = t - prev;
    }
    if (period != 0.0) FrameFrequency = 1.0 / period;
    PreviousFrameTime = t;
    Previous.Time = static_cast<float>(t);
    Decoded.Time = static_cast<float>(t + TimeOffset);
  }
  AcceptSample();
}

void TPaket::ReconstructTime() {
  // A OneCommand reply carries no time: its samples always take the
  // software clock, whatever time source is stored.
  if (Mode != ModeOneCommand && (TimeSource == TimeHardFloat || TimeSource == TimeHardUlong)) {
    if (static_cast<double>(Previous.Time) - static_cast<double>(Decoded.Time) > TimeWrap)
      TimeOffset += Previous.Time;
    Previous.Time = Decoded.Time;
    Decoded.Time = static_cast<float>(static_cast<double>(Decoded.Time) + TimeOffset);
  } else {
    SoftTime += PollStep;
    Decoded.Time = static_cast<float>(SoftTime);
    Previous = Decoded;
  }
}

void TPaket::AcceptSample() {
  Current = Decoded;
  ++SamplesAccepted;
  AverageEngine.AddSample(Current.Time, Current.Rate, Current.Temperature);
  if (RecordEnabled) WriteRecord();
}

void TPaket::CheckDisplayPace() {
  const double t = Current.Time;
  if (t != 0.0 && t - LastShownTime >= DisplayInterval) {
    LastShownTime = t;
    DisplayReady = true;
  }
}

DisplayRecord TPaket::TakeSnapshot() {
  Snapshot.time = Current.Time;
  Snapshot.rate = Current.Rate;
  Snapshot.temperature = Current.Temperature;
  Snapshot.average = AverageEngine.Average;
  AverageEngine.UpdateRms();
  Snapshot.rms = AverageEngine.Rms;
  Snapshot.minRms = AverageEngine.MinRms;
  Snapshot.frameFrequency = FrameFrequency;
  DisplayReady = false;
  return Snapshot;
}

// ---------------------------------------------------------------------------
// Recording

void TPaket::ReportFailure(int error) {
  if (RecordFailed) return;
  RecordFailed = true;
  if (Listener) Listener->RecordingFailed(RecordName, std::system_category().message(error));
}

void TPaket::WriteRecord() {
  if (!HeaderWritten) {
    // The sample that creates the file is not stored.
    CreateRecording();
    return;
  }
  if (Current.Time != 0.0f) Block[static_cast<std::size_t>(BlockCount++)] = Current;
  if (BlockCount >= BlockRecords) {
    if (FileHandle != -1)
      WriteBlock();
    else
      BlockCount = 0;  // no file: the records are dropped
  }
}

void TPaket::CreateRecording() {
  HeaderWritten = true;
  // A recording ends where its file can take no more: a file-size limit is
  // a failed write (reported, the run goes on), never the program's end.
  std::signal(SIGXFSZ, SIG_IGN);
  int fd;
  do {
    fd = ::open(RecordName.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    ReportFailure(errno);
    return;
  }
  FileHandle = fd;
  PutLE<double>(Header.data() + rtd::CreatedOffset, Clock ? Clock() : OleDateNow());
  std::memset(Header.data() + rtd::ReservedOffset, 0, rtd::ReservedWidth);
  int err = 0;
  if (!WriteAt(fd, Header.data(), Header.size(), 0, err)) {
    // Without a whole header the file would be read as the old layout:
    // leave it empty and record nothing more.
    ReportFailure(err);
    if (::ftruncate(fd, 0) != 0) {
      // nothing more can be done about it
    }
    ::close(fd);
    FileHandle = -1;
    return;
  }
  FileOffset = static_cast<std::int64_t>(rtd::HeaderSize);
}

void TPaket::WriteBlock() {
  const std::size_t bytes = static_cast<std::size_t>(BlockCount) * rtd::RecordSize;
  BlockCount = 0;
  int err = 0;
  if (WriteAt(FileHandle, Block.data(), bytes, static_cast<off_t>(FileOffset), err)) {
    FileOffset += static_cast<std::int64_t>(bytes);
  } else {
    // The recording ends here for the rest of the run: a later write that
    // succeeded again would leave an unmarked gap. Cut a partly written
    // record away so that the file stays a clean prefix of the run.
    if (::ftruncate(FileHandle, static_cast<off_t>(FileOffset)) != 0) {
      // a device that cannot be cut (a pipe, /dev/full) keeps what it got
    }
    ::close(FileHandle);
    FileHandle = -1;
    ReportFailure(err);
  }
}

void TPaket::CloseRecording() {
  if (FileHandle != -1 && BlockCount > 0) WriteBlock();  // closes the file when it fails
  if (FileHandle != -1) {
    if (::close(FileHandle) != 0 && errno != EINTR) ReportFailure(errno);
    FileHandle = -1;
  }
  BlockCount = 0;
  RecordEnabled = false;
}
